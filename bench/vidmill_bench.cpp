// vidmill_bench: times the engine on a 1280x720 clip converted to the MP4
// and the DVD profile, and measures with a sampling profiler how much of
// the process's CPU time is spent outside the codec libraries (the engine's
// own code, scaling, resampling, muxing, the C library).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "bench/SamplingProfiler.h"
#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "tests/media/TestMedia.h"

namespace {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

const char kUsage[] =
    "usage: vidmill_bench [options]\n"
    "  --seconds N              length of the source clip in seconds (default 30)\n"
    "  --profile mp4|dvd|all    conversions to run (default all)\n"
    "  --repeat N               runs of each conversion (default 1)\n"
    "  --verbose                show every line the engine and the libraries log\n"
    "                           (default: errors only)\n";

constexpr int kWidth = 1280, kHeight = 720, kFps = 25;
// One SIGPROF per millisecond of process CPU time requested; the kernel
// checks CPU timers at its tick, so the real rate may be lower. The buffer
// holds over half an hour of CPU time at the requested rate.
constexpr int kSampleIntervalUs = 1000;
constexpr size_t kSampleCapacity = size_t{1} << 21;

struct TProfile {
  std::string Name;
  std::string File;
  TOptionList Options;  // given before the output is opened
  std::string What;
};

const std::vector<TProfile>& Profiles() {
  static const std::vector<TProfile> profiles = {
      {"mp4", "out.mp4", {}, "MP4, the container's default encoders, same size"},
      {"dvd", "out.mpg", {{"target", "pal-dvd"}}, "DVD (target pal-dvd)"},
  };
  return profiles;
}

// Libraries whose CPU time counts as codec time: libavcodec and the
// encoder and decoder libraries it is built against (and the engine's own
// AMR-NB encoder library).
const std::set<std::string>& CodecLibraries() {
  static const std::set<std::string> names = {
      "libavcodec",   "libx264",        "libx265",        "libmp3lame",       "libvorbis",    "libvorbisenc",
      "libogg",       "libtheoraenc",   "libtheoradec",   "libopus",          "libvpx",       "libaom",
      "libdav1d",     "librav1e",       "libSvtAv1Enc",   "libxvidcore",      "libspeex",     "libtwolame",
      "libshine",     "libgsm",         "libcodec2",      "libopenjp2",       "libwebp",      "libwebpmux",
      "libjxl",       "libjxl_threads", "libzvbi",        "libsnappy",        "librsvg-2",    "libopencore-amrnb",
      "libopencore-amrwb", "libvo-amrwbenc", "libfdk-aac", "libva",          "libva-drm",    "libva-x11",
      "libvdpau",     "libmfx"};
  return names;
}

bool IsCodecLibrary(const std::string& AName) { return CodecLibraries().count(AName) != 0; }

bool gVerbose = false;

[[noreturn]] void Usage(const std::string& AError) {
  if (!AError.empty()) std::fprintf(stderr, "vidmill_bench: %s\n", AError.c_str());
  std::fputs(kUsage, stderr);
  std::exit(2);
}

int PositiveInt(const std::string& AOption, const std::string& AValue) {
  size_t used = 0;
  long n = 0;
  try {
    n = std::stol(AValue, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != AValue.size() || n < 1 || n > 100000)
    Usage("bad value for " + AOption + ": " + AValue);
  return static_cast<int>(n);
}

std::string Size(double ABytes) {
  return ABytes < 1e6 ? Format("%.1f kB", ABytes / 1e3) : Format("%.1f MB", ABytes / 1e6);
}

double CpuSeconds(const timeval& AValue) { return static_cast<double>(AValue.tv_sec) + AValue.tv_usec / 1e6; }

// ---- One conversion ----

struct TRunResult {
  bool Ok = false;
  std::string Error;
  std::string VideoEncoder, AudioEncoder;
  double WallSeconds = 0, UserSeconds = 0, SystemSeconds = 0;
  int Frames = 0;
  int64_t OutputBytes = 0;
  size_t Samples = 0, Dropped = 0;
  std::vector<bench::TObjectSamples> Objects;

  double CpuSeconds() const { return UserSeconds + SystemSeconds; }
};

std::string EncoderName(const TCustomFFmpeg& AEngine, int AMediaType) {
  for (const TOutputStreamSetup& setup : AEngine.FOutputStreamSetups[0]) {
    const AVCodecContext* codec = setup.Codec;
    if (codec && codec->codec && codec->codec->type == AMediaType) return codec->codec->name;
  }
  return "-";
}

bool SetOptions(TCustomFFmpeg& AEngine, const TOptionList& AOptions, std::string& AError) {
  for (const auto& [name, value] : AOptions) {
    try {
      AEngine.SetOption(name, value);
    } catch (const std::exception& e) {
      AError = "option " + name + "=" + value + ": " + e.what();
      return false;
    }
  }
  return true;
}

// Converts AInput with a fresh engine instance, inline on this thread, with
// the profiler sampling only the run itself (not the set-up).
TRunResult Convert(const TProfile& AProfile, const std::string& AInput, const std::filesystem::path& AOutput,
                   int AExpectedFrames, bench::TSamplingProfiler& AProfiler) {
  TRunResult result;
  std::error_code ignored;
  std::filesystem::remove(AOutput, ignored);

  auto engine = std::make_unique<TCustomFFmpeg>();
  engine->Prepare();
  int terminations = 0;
  bool finished = false, failed = false;
  std::string exception;
  engine->FOnTerminate = [&](TCustomFFmpeg* ASender) {
    ++terminations;
    finished = ASender->FFinished.load();
    failed = ASender->FHasException.load();
    exception = ASender->FExceptionMessage;
  };
  // The last report is the final one, with the frame count of the first
  // video output stream.
  int frames = -1;
  engine->FOnProgress = [&](TCustomFFmpeg*, int AFrameNumber, int, int, float, float, int64_t, int) {
    frames = AFrameNumber;
  };

  if (!engine->OpenInputFile(FromLocal8Bit(AInput))) {
    result.Error = "cannot open the input " + AInput + ": " + engine->FLastError;
    return result;
  }
  if (!SetOptions(*engine, AProfile.Options, result.Error)) return result;
  if (engine->OpenOutputFile(FromLocal8Bit(AOutput.string()), false) < 0) {
    result.Error = "cannot open the output " + AOutput.string() + ": " + engine->FLastError;
    return result;
  }
  result.VideoEncoder = EncoderName(*engine, AVMEDIA_TYPE_VIDEO);
  result.AudioEncoder = EncoderName(*engine, AVMEDIA_TYPE_AUDIO);

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto started = std::chrono::steady_clock::now();
  AProfiler.Start();
  engine->Start(false);
  AProfiler.Stop();
  const auto ended = std::chrono::steady_clock::now();
  getrusage(RUSAGE_SELF, &after);
  // The terminate event of an inline run normally fires before Start
  // returns; anything handed to the main thread is served here.
  const auto deadline = ended + std::chrono::seconds(30);
  WaitServing([&] { return terminations > 0 || std::chrono::steady_clock::now() >= deadline; });
  engine.reset();

  result.WallSeconds = std::chrono::duration<double>(ended - started).count();
  result.UserSeconds = CpuSeconds(after.ru_utime) - CpuSeconds(before.ru_utime);
  result.SystemSeconds = CpuSeconds(after.ru_stime) - CpuSeconds(before.ru_stime);
  result.Frames = std::max(frames, 0);
  result.Samples = AProfiler.Count();
  result.Dropped = AProfiler.Dropped();
  result.Objects = bench::SamplesByObject(AProfiler);
  result.OutputBytes = static_cast<int64_t>(std::filesystem::file_size(AOutput, ignored));
  if (ignored) result.OutputBytes = 0;

  if (terminations != 1) {
    result.Error = "the engine reported " + std::to_string(terminations) + " terminations instead of one";
  } else if (failed || !finished) {
    result.Error = "the conversion failed: " + (exception.empty() ? std::string("(no message)") : exception);
  } else if (result.OutputBytes <= 0) {
    result.Error = "the conversion left no output in " + AOutput.string();
  } else if (std::abs(result.Frames - AExpectedFrames) > std::max(2, AExpectedFrames / 50)) {
    // Same frame rate in and out: every source frame is encoded once.
    result.Error = "encoded " + std::to_string(result.Frames) + " video frames, expected " +
                   std::to_string(AExpectedFrames);
  } else {
    result.Ok = true;
  }
  return result;
}

// ---- Report ----

double Percent(size_t APart, size_t AWhole) {
  return AWhole == 0 ? 0.0 : 100.0 * static_cast<double>(APart) / static_cast<double>(AWhole);
}

// The shares of the libraries in fixed rows; the rest is summed under
// "other" with its biggest members named.
void PrintShares(const std::vector<bench::TObjectSamples>& AObjects) {
  size_t total = 0;
  std::map<std::string, size_t> byName;
  for (const bench::TObjectSamples& object : AObjects) {
    total += object.Samples;
    byName[object.Name] += object.Samples;
  }
  auto take = [&](const std::string& AName) {
    auto it = byName.find(AName);
    if (it == byName.end()) return size_t{0};
    const size_t n = it->second;
    byName.erase(it);
    return n;
  };
  auto others = [&](bool ACodec, size_t& ASum) {
    std::vector<std::pair<size_t, std::string>> list;
    for (auto it = byName.begin(); it != byName.end();) {
      if (IsCodecLibrary(it->first) == ACodec) {
        list.emplace_back(it->second, it->first);
        ASum += it->second;
        it = byName.erase(it);
      } else {
        ++it;
      }
    }
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text;
    for (size_t i = 0; i < list.size() && i < 5; ++i)
      text += (i ? ", " : "") + list[i].second + " " + Format("%.1f", Percent(list[i].first, total));
    if (list.size() > 5) text += ", ...";
    return text;
  };
  auto row = [&](const char* AGroup, const std::string& AName, size_t ASamples, const std::string& ANote = "") {
    std::printf("    %-7s %-22s %6.1f %%%s%s\n", AGroup, AName.c_str(), Percent(ASamples, total),
                ANote.empty() ? "" : "  ", ANote.c_str());
  };

  std::printf("  CPU time by shared object (%% of %zu samples):\n", total);
  const size_t avcodec = take("libavcodec"), x264 = take("libx264");
  size_t otherCodecs = 0;
  const std::string otherCodecNames = others(true, otherCodecs);
  row("codec", "libavcodec", avcodec);
  row("codec", "libx264", x264);
  row("codec", "other codec libs", otherCodecs, otherCodecNames);
  const size_t codecs = avcodec + x264 + otherCodecs;
  for (const char* name : {"libswscale", "libswresample", "libavformat", "libavutil", "libavfilter", "libc"})
    row("engine", name, take(name));
  row("engine", "vidmill_bench (engine)", take("(program)"));
  size_t rest = 0;
  const std::string restNames = others(false, rest);
  row("engine", "other", rest, restNames);
  std::printf("  codecs                 %6.1f %%\n", Percent(codecs, total));
  // Standard error of a share estimated from independent samples.
  const double outside = Percent(total - codecs, total) / 100.0;
  const double error = total > 0 ? 100.0 * std::sqrt(outside * (1 - outside) / static_cast<double>(total)) : 0.0;
  std::printf("  OUTSIDE THE CODECS     %6.1f %%  (+/- %.1f; engine code, scaling, resampling, muxing, libc, ...)\n",
              100.0 * outside, error);
}

void PrintRun(const TProfile& AProfile, int ARun, int ARepeat, const TRunResult& AResult) {
  std::printf("\n== %s: %s", AProfile.Name.c_str(), AProfile.What.c_str());
  if (ARepeat > 1) std::printf(" (run %d of %d)", ARun + 1, ARepeat);
  std::printf("\n  encoders               %s + %s\n", AResult.VideoEncoder.c_str(), AResult.AudioEncoder.c_str());
  std::printf("  wall                   %8.2f s\n", AResult.WallSeconds);
  std::printf("  frames encoded         %8d\n", AResult.Frames);
  std::printf("  frames per second      %8.1f\n",
              AResult.WallSeconds > 0 ? AResult.Frames / AResult.WallSeconds : 0.0);
  std::printf("  process CPU            %8.2f s  (user %.2f s, system %.2f s; %.2f cores busy)\n",
              AResult.CpuSeconds(), AResult.UserSeconds, AResult.SystemSeconds,
              AResult.WallSeconds > 0 ? AResult.CpuSeconds() / AResult.WallSeconds : 0.0);
  std::printf("  output                 %s\n", Size(static_cast<double>(AResult.OutputBytes)).c_str());
  std::printf("  samples                %8zu  (%.0f per CPU second%s)\n", AResult.Samples,
              AResult.CpuSeconds() > 0 ? AResult.Samples / AResult.CpuSeconds() : 0.0,
              AResult.Dropped ? Format(", %zu dropped: buffer full", AResult.Dropped).c_str() : "");
  PrintShares(AResult.Objects);
  std::fflush(stdout);
}

double Median(std::vector<double> AValues) {
  std::sort(AValues.begin(), AValues.end());
  const size_t n = AValues.size();
  return n == 0 ? 0.0 : n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
}

void PrintSummary(const TProfile& AProfile, const std::vector<TRunResult>& ARuns) {
  std::vector<double> wall, fps, cpu;
  std::map<std::string, size_t> pooled;
  for (const TRunResult& run : ARuns) {
    wall.push_back(run.WallSeconds);
    fps.push_back(run.WallSeconds > 0 ? run.Frames / run.WallSeconds : 0.0);
    cpu.push_back(run.CpuSeconds());
    for (const bench::TObjectSamples& object : run.Objects) pooled[object.Name] += object.Samples;
  }
  std::vector<bench::TObjectSamples> objects;
  for (const auto& [name, samples] : pooled) objects.push_back({name, samples});
  std::printf("\n== %s: summary of %zu runs\n", AProfile.Name.c_str(), ARuns.size());
  std::printf("  wall (median)          %8.2f s  (min %.2f, max %.2f)\n", Median(wall),
              *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()));
  std::printf("  frames per second      %8.1f  (median)\n", Median(fps));
  std::printf("  process CPU (median)   %8.2f s\n", Median(cpu));
  PrintShares(objects);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();

  int seconds = 30, repeat = 1;
  std::string which = "all";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage("missing value for " + arg);
      return argv[++i];
    };
    if (arg == "--seconds") {
      seconds = PositiveInt(arg, value());
    } else if (arg == "--profile") {
      which = value();
      if (which != "all" && which != "mp4" && which != "dvd") Usage("unknown profile: " + which);
    } else if (arg == "--repeat") {
      repeat = PositiveInt(arg, value());
    } else if (arg == "--verbose") {
      gVerbose = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      Usage("unknown argument: " + arg);
    }
  }

  // Clips are cached with the test suite's, unless the caller chose a folder.
  const char* mediaDir = std::getenv("VIDMILL_TEST_MEDIA_DIR");
  if ((!mediaDir || !*mediaDir) && *VIDMILL_BENCH_MEDIA_DIR) setenv("VIDMILL_TEST_MEDIA_DIR", VIDMILL_BENCH_MEDIA_DIR, 1);

  TFFLogger logger;
  logger.SetLogLevel(gVerbose ? llDebug : llError);
  logger.OnLog = [](TObject*, uint32_t, TLogLevel ALevel, const std::string& AText) {
    if (gVerbose || ALevel <= llError) std::fprintf(stderr, "%s\n", AText.c_str());
  };
  FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
  if (!FFmpegLoader().LoadLibs(kConverterLibraries)) {
    std::fprintf(stderr, "vidmill_bench: cannot load the media libraries: %s\n", FFmpegLoader().LastError().c_str());
    return 1;
  }

  testmedia::ClipSpec spec;
  spec.container = "mp4";  // libx264 + aac
  spec.width = kWidth;
  spec.height = kHeight;
  spec.fpsNum = kFps;
  spec.fpsDen = 1;
  spec.sampleRate = 44100;
  spec.channels = 2;
  spec.durationSec = seconds;
  spec.videoBitRate = 2500000;  // a typical rate for 720p, so decoding costs what it would
  spec.audioBitRate = 128000;
  std::string source;
  try {
    const auto made = std::chrono::steady_clock::now();
    source = testmedia::CachedClip(spec);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count();
    std::printf("source: %s\n        %d s, %dx%d %d fps H.264 + stereo 44.1 kHz AAC (%s%s)\n", source.c_str(),
                seconds, kWidth, kHeight, kFps, Size(static_cast<double>(std::filesystem::file_size(source))).c_str(),
                took > 1 ? Format(", made in %.1f s", took).c_str() : ", cached");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidmill_bench: cannot make the source clip: %s\n", e.what());
    return 1;
  }
  const int expectedFrames = seconds * kFps;

  std::error_code error;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vidmill-bench-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir, error);
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "vidmill_bench: cannot create %s: %s\n", dir.c_str(), error.message().c_str());
    return 1;
  }

  bench::TSamplingProfiler profiler(kSampleCapacity, kSampleIntervalUs);
  int status = 0;
  try {
    for (const TProfile& profile : Profiles()) {
      if (which != "all" && which != profile.Name) continue;
      std::vector<TRunResult> runs;
      for (int run = 0; run < repeat; ++run) {
        TRunResult result = Convert(profile, source, dir / profile.File, expectedFrames, profiler);
        if (!result.Ok) {
          std::fprintf(stderr, "vidmill_bench: %s: %s\n", profile.Name.c_str(), result.Error.c_str());
          status = 1;
          break;
        }
        PrintRun(profile, run, repeat, result);
        runs.push_back(std::move(result));
      }
      if (status != 0) break;
      if (runs.size() > 1) PrintSummary(profile, runs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidmill_bench: %s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir, error);
  return status;
}
