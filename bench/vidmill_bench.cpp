// vidmill_bench: times the engine on a 1280x720 clip converted to the MP4
// and the DVD profile, and measures with a sampling profiler how much of
// the process's CPU time is spent outside the codec libraries (the engine's
// own code, scaling, resampling, muxing, the C library).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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
#include <stdexcept>
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
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/SwResample.h"
#include "runtime/lib/SwScale.h"
#include "tests/media/TestMedia.h"

namespace {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

const char kUsage[] =
    "usage: vidmill_bench [options]\n"
    "  --seconds N              length of the source clip in seconds (default 30)\n"
    "  --profile NAME|all       conversions to run: mp4, dvd, 3gp, avi, vcd, flv, wmv,\n"
    "                           mp4-nocorrections\n"
    "                           (default all: mp4 and dvd; with --table all seven)\n"
    "  --table                  one table: the seven profiles on a 1280x720 clip of N s\n"
    "                           and a 320x240 clip of 2N s (N = --seconds), each in its own\n"
    "                           process, the raw loop for MP4 and the batch of vidmill-cli\n"
    "  --batch-files N          files of the batch in --table (default 8, 0 = no batch)\n"
    "  --batch-format F         vidmill-cli --format of the batch (default mp4)\n"
    "  --repeat N               runs of each conversion (default 1); with --table each\n"
    "                           row is the median run, and the batch runs min(N, 3) rounds\n"
    "  --threads N              threads of each conversion's codecs and scaler (default 1,\n"
    "                           as in a full batch; 0 = the processors, as a lone file)\n"
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
  // The first two are the default set (--profile all); the table runs the
  // seven profiles.
  static const std::vector<TProfile> profiles = {
      {"mp4", "out.mp4", {}, "MP4, the container's default encoders, same size"},
      {"dvd", "out.mpg", {{"target", "pal-dvd"}}, "DVD (target pal-dvd)"},
      {"3gp",
       "out.3gp",
       {{"s", "128x96"}, {"ar", "8000"}, {"ac", "1"}, {"ab", "7400"}},
       "3GP 128x96, mono 8 kHz 7.4 kbit/s audio"},
      {"avi", "out.avi", {}, "AVI, the container's default encoders, same size"},
      {"vcd", "out.vcd.mpg", {{"target", "pal-vcd"}}, "VCD (target pal-vcd)"},
      {"flv", "out.flv", {{"ar", "22050"}}, "FLV, audio at 22.05 kHz"},
      {"wmv", "out.wmv", {{"vcodec", "wmv2"}, {"acodec", "wmav2"}}, "WMV (wmv2 + wmav2)"},
      // Against "mp4": what the picture corrections cost a source that needs
      // none (8-bit 4:2:0, upright, progressive, SDR): they are switched off.
      {"mp4-nocorrections",
       "out.mp4",
       {{"autorotate", "0"}, {"auto_deinterlace", "0"}, {"tonemap", "0"}},
       "MP4 as mp4, the picture corrections switched off"},
  };
  return profiles;
}

// Libraries whose CPU time counts as codec time: libavcodec and the
// encoder and decoder libraries it is built against (and the engine's own
// AMR-NB encoder library).
const std::set<std::string>& CodecLibraries() {
  static const std::set<std::string> names = {"libavcodec",
                                              "libx264",
                                              "libx265",
                                              "libmp3lame",
                                              "libvorbis",
                                              "libvorbisenc",
                                              "libogg",
                                              "libtheoraenc",
                                              "libtheoradec",
                                              "libopus",
                                              "libvpx",
                                              "libaom",
                                              "libdav1d",
                                              "librav1e",
                                              "libSvtAv1Enc",
                                              "libxvidcore",
                                              "libspeex",
                                              "libtwolame",
                                              "libshine",
                                              "libgsm",
                                              "libcodec2",
                                              "libopenjp2",
                                              "libwebp",
                                              "libwebpmux",
                                              "libjxl",
                                              "libjxl_threads",
                                              "libzvbi",
                                              "libsnappy",
                                              "librsvg-2",
                                              "libopencore-amrnb",
                                              "libopencore-amrwb",
                                              "libvo-amrwbenc",
                                              "libfdk-aac",
                                              "libva",
                                              "libva-drm",
                                              "libva-x11",
                                              "libvdpau",
                                              "libmfx"};
  return names;
}

bool IsCodecLibrary(const std::string& AName) { return CodecLibraries().count(AName) != 0; }

bool gVerbose = false;
int gThreads = 1;  // the codecs' threads of each conversion (--threads)

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
  if (used == 0 || used != AValue.size() || n < 1 || n > 100000) Usage("bad value for " + AOption + ": " + AValue);
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
  double FirstProgressSeconds = -1;  // from the start of the run to the first progress report
  int64_t OutputBytes = 0;
  size_t Samples = 0, Dropped = 0;
  std::vector<bench::TObjectSamples> Objects;

  double CpuSeconds() const { return UserSeconds + SystemSeconds; }
};

std::string EncoderName(const TCustomFFmpeg& AEngine, int AMediaType) {
  for (const TOutputStreamSetup& setup : AEngine.OutputStreamSetups(0)) {
    const AVCodecContext* codec = setup.Codec;
    if (codec && codec->codec && codec->codec->type == AMediaType) return codec->codec->name;
    if (setup.AmrNb && AMediaType == AVMEDIA_TYPE_AUDIO) return "amr-nb(opencore)";
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
    finished = ASender->Finished();
    failed = ASender->HasException();
    exception = ASender->ExceptionMessage();
  };
  // The last report is the final one, with the frame count of the first
  // video output stream.
  int frames = -1;
  std::chrono::steady_clock::time_point started, firstProgress;
  bool progressed = false;
  engine->FOnProgress = [&](TCustomFFmpeg*, int AFrameNumber, int, int, float, float, int64_t, int) {
    if (!progressed) firstProgress = std::chrono::steady_clock::now();
    progressed = true;
    frames = AFrameNumber;
  };

  if (!engine->OpenInputFile(FromLocal8Bit(AInput))) {
    result.Error = "cannot open the input " + AInput + ": " + engine->LastError();
    return result;
  }
  if (!SetOptions(*engine, AProfile.Options, result.Error)) return result;
  if (engine->OpenOutputFile(FromLocal8Bit(AOutput.string()), false) < 0) {
    result.Error = "cannot open the output " + AOutput.string() + ": " + engine->LastError();
    return result;
  }
  result.VideoEncoder = EncoderName(*engine, AVMEDIA_TYPE_VIDEO);
  result.AudioEncoder = EncoderName(*engine, AVMEDIA_TYPE_AUDIO);

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  engine->SetThreadCount(gThreads);
  started = std::chrono::steady_clock::now();
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
  if (progressed) result.FirstProgressSeconds = std::chrono::duration<double>(firstProgress - started).count();
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
    result.Error =
        "encoded " + std::to_string(result.Frames) + " video frames, expected " + std::to_string(AExpectedFrames);
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
  std::printf("  first progress report  %8.0f ms\n", AResult.FirstProgressSeconds * 1000);
  std::printf("  frames encoded         %8d\n", AResult.Frames);
  std::printf("  frames per second      %8.1f\n", AResult.WallSeconds > 0 ? AResult.Frames / AResult.WallSeconds : 0.0);
  std::printf("  process CPU            %8.2f s  (user %.2f s, system %.2f s; %.2f cores busy)\n", AResult.CpuSeconds(),
              AResult.UserSeconds, AResult.SystemSeconds,
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

// ---- The raw loop: the physical limit of the MP4 conversion ----

// Copies every settable option of one object (an AVCodecContext or an
// encoder's private context) to another of the same class, as text.
// Only the options whose value differs from the fresh object's are set;
// the white lists and channel layouts are left alone (the layout is copied
// as a field).
void CopyOptions(void* AFrom, void* ATo) {
  if (!AFrom || !ATo) return;
  const AVOption* option = nullptr;
  while ((option = lib::av_opt_next(AFrom, option)) != nullptr) {
    if (option->type == AV_OPT_TYPE_CONST || (option->flags & AV_OPT_FLAG_READONLY)) continue;
    const std::string name = option->name;
    if (name.find("whitelist") != std::string::npos || name.find("ch_layout") != std::string::npos ||
        name.find("channel_layout") != std::string::npos)
      continue;
    uint8_t* value = nullptr;
    uint8_t* fresh = nullptr;
    if (lib::av_opt_get(AFrom, option->name, 0, &value) >= 0 && value &&
        (lib::av_opt_get(ATo, option->name, 0, &fresh) < 0 || !fresh ||
         std::string(reinterpret_cast<const char*>(value)) != reinterpret_cast<const char*>(fresh))) {
      lib::av_opt_set(ATo, option->name, reinterpret_cast<const char*>(value), 0);
    }
    lib::av_free(value);
    lib::av_free(fresh);
  }
}

// An encoder set up like the engine's: the same encoder, options and
// stream parameters.
AVCodecContext* CloneEncoder(const AVCodecContext* AEngine) {
  const AVCodec* codec = lib::avcodec_find_encoder(AEngine->codec_id);
  if (AEngine->codec) codec = AEngine->codec;
  if (!codec) throw std::runtime_error("no encoder for the engine's stream");
  AVCodecContext* ctx = lib::avcodec_alloc_context3(codec);
  CopyOptions(const_cast<AVCodecContext*>(AEngine), ctx);
  CopyOptions(AEngine->priv_data, ctx->priv_data);
  ctx->width = AEngine->width;
  ctx->height = AEngine->height;
  ctx->pix_fmt = AEngine->pix_fmt;
  ctx->sample_aspect_ratio = AEngine->sample_aspect_ratio;
  ctx->time_base = AEngine->time_base;
  ctx->framerate = AEngine->framerate;
  ctx->sample_rate = AEngine->sample_rate;
  ctx->sample_fmt = AEngine->sample_fmt;
  lib::av_channel_layout_copy(&ctx->ch_layout, &AEngine->ch_layout);
  ctx->bit_rate = AEngine->bit_rate;
  ctx->flags = AEngine->flags;
  ctx->thread_count = AEngine->thread_count;
  return ctx;
}

void Check(int AResult, const char* AWhat) {
  if (AResult < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    lib::av_strerror(AResult, text, sizeof text);
    throw std::runtime_error(std::string(AWhat) + ": " + text);
  }
}

// The MP4 conversion done by a minimal loop of library calls: demux, decode,
// scale (only when the size or pixel format differs), resample (through a
// FIFO for the encoder's frame size), encode, mux. The encoders are set up
// from the engine's own (an engine instance opens the same input and output
// and is then discarded), so both do the same codec work.
TRunResult RawConvert(const std::string& AInput, const std::filesystem::path& AOutput, int AExpectedFrames,
                      bench::TSamplingProfiler& AProfiler) {
  TRunResult result;
  std::error_code ignored;
  AVCodecContext* venc = nullptr;
  AVCodecContext* aenc = nullptr;
  {
    const std::filesystem::path probe = AOutput.parent_path() / "engine-settings.mp4";
    auto engine = std::make_unique<TCustomFFmpeg>();
    engine->Prepare();
    if (!engine->OpenInputFile(FromLocal8Bit(AInput)) ||
        engine->OpenOutputFile(FromLocal8Bit(probe.string()), false) < 0)
      throw std::runtime_error("the engine cannot open the MP4 conversion: " + engine->LastError());
    for (const TOutputStreamSetup& setup : engine->OutputStreamSetups(0)) {
      if (!setup.Codec) continue;
      if (setup.Codec->codec_type == AVMEDIA_TYPE_VIDEO && !venc) venc = CloneEncoder(setup.Codec);
      if (setup.Codec->codec_type == AVMEDIA_TYPE_AUDIO && !aenc) aenc = CloneEncoder(setup.Codec);
    }
    engine.reset();
    std::filesystem::remove(probe, ignored);
  }
  if (!venc || !aenc) throw std::runtime_error("the engine's MP4 conversion has no video or no audio encoder");
  result.VideoEncoder = venc->codec->name;
  result.AudioEncoder = aenc->codec->name;

  AVFormatContext* in = nullptr;
  Check(lib::avformat_open_input(&in, AInput.c_str(), nullptr, nullptr), "open input");
  Check(lib::avformat_find_stream_info(in, nullptr), "stream info");
  int vIndex = -1, aIndex = -1;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVMediaType type = in->streams[i]->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_VIDEO && vIndex < 0) vIndex = static_cast<int>(i);
    if (type == AVMEDIA_TYPE_AUDIO && aIndex < 0) aIndex = static_cast<int>(i);
  }
  if (vIndex < 0 || aIndex < 0) throw std::runtime_error("the source has no video or no audio");
  auto openDecoder = [&](int AIndex) {
    const AVCodec* codec = lib::avcodec_find_decoder(in->streams[AIndex]->codecpar->codec_id);
    AVCodecContext* ctx = lib::avcodec_alloc_context3(codec);
    Check(lib::avcodec_parameters_to_context(ctx, in->streams[AIndex]->codecpar), "decoder parameters");
    ctx->pkt_timebase = in->streams[AIndex]->time_base;
    Check(lib::avcodec_open2(ctx, codec, nullptr), "open decoder");
    return ctx;
  };

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto started = std::chrono::steady_clock::now();
  AProfiler.Start();

  AVCodecContext* vdec = openDecoder(vIndex);
  AVCodecContext* adec = openDecoder(aIndex);
  AVFormatContext* out = nullptr;
  Check(lib::avformat_alloc_output_context2(&out, nullptr, "mp4", AOutput.c_str()), "output context");
  if (out->oformat->flags & AVFMT_GLOBALHEADER) {
    venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  Check(lib::avcodec_open2(venc, venc->codec, nullptr), "open video encoder");
  Check(lib::avcodec_open2(aenc, aenc->codec, nullptr), "open audio encoder");
  AVStream* vs = lib::avformat_new_stream(out, nullptr);
  AVStream* as = lib::avformat_new_stream(out, nullptr);
  Check(lib::avcodec_parameters_from_context(vs->codecpar, venc), "video parameters");
  Check(lib::avcodec_parameters_from_context(as->codecpar, aenc), "audio parameters");
  vs->time_base = venc->time_base;
  as->time_base = aenc->time_base;
  Check(lib::avio_open(&out->pb, AOutput.c_str(), AVIO_FLAG_WRITE), "open output");
  Check(lib::avformat_write_header(out, nullptr), "write header");

  SwsContext* sws = nullptr;
  SwrContext* swr = nullptr;
  Check(lib::swr_alloc_set_opts2(&swr, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate, &adec->ch_layout,
                                 adec->sample_fmt, adec->sample_rate, 0, nullptr),
        "resampler");
  Check(lib::swr_init(swr), "resampler init");
  AVAudioFifo* fifo = lib::av_audio_fifo_alloc(aenc->sample_fmt, aenc->ch_layout.nb_channels, 4096);
  AVPacket* packet = lib::av_packet_alloc();
  AVPacket* encoded = lib::av_packet_alloc();
  AVFrame* frame = lib::av_frame_alloc();
  AVFrame* scaled = lib::av_frame_alloc();
  AVFrame* audio = lib::av_frame_alloc();
  AVFrame* resampled = lib::av_frame_alloc();
  int64_t audioPts = 0;
  int videoFrames = 0;

  auto drain = [&](AVCodecContext* AEnc, AVStream* AStream) {
    while (lib::avcodec_receive_packet(AEnc, encoded) >= 0) {
      if (AEnc == venc) ++videoFrames;
      lib::av_packet_rescale_ts(encoded, AEnc->time_base, AStream->time_base);
      encoded->stream_index = AStream->index;
      Check(lib::av_interleaved_write_frame(out, encoded), "write packet");
    }
  };
  auto encodeVideo = [&](AVFrame* AFrame) {
    AVFrame* source = AFrame;
    if (AFrame && (AFrame->width != venc->width || AFrame->height != venc->height || AFrame->format != venc->pix_fmt)) {
      sws = lib::sws_getCachedContext(sws, AFrame->width, AFrame->height, static_cast<AVPixelFormat>(AFrame->format),
                                      venc->width, venc->height, venc->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
      lib::av_frame_unref(scaled);
      scaled->width = venc->width;
      scaled->height = venc->height;
      scaled->format = venc->pix_fmt;
      Check(lib::av_frame_get_buffer(scaled, 0), "scaled frame");
      lib::sws_scale(sws, AFrame->data, AFrame->linesize, 0, AFrame->height, scaled->data, scaled->linesize);
      scaled->pts = AFrame->pts;
      source = scaled;
    }
    if (source) {
      source->pts = lib::av_rescale_q(AFrame->best_effort_timestamp, in->streams[vIndex]->time_base, venc->time_base);
      source->pict_type = AV_PICTURE_TYPE_NONE;
    }
    Check(lib::avcodec_send_frame(venc, source), "encode video");
    drain(venc, vs);
  };
  auto encodeAudio = [&](bool AFlush) {
    const int size = aenc->frame_size > 0 ? aenc->frame_size : 1024;
    while (lib::av_audio_fifo_size(fifo) >= size || (AFlush && lib::av_audio_fifo_size(fifo) > 0)) {
      const int n = std::min(size, lib::av_audio_fifo_size(fifo));
      lib::av_frame_unref(audio);
      audio->nb_samples = n;
      audio->format = aenc->sample_fmt;
      audio->sample_rate = aenc->sample_rate;
      lib::av_channel_layout_copy(&audio->ch_layout, &aenc->ch_layout);
      Check(lib::av_frame_get_buffer(audio, 0), "audio frame");
      lib::av_audio_fifo_read(fifo, reinterpret_cast<void**>(audio->data), n);
      audio->pts = audioPts;
      audioPts += n;
      Check(lib::avcodec_send_frame(aenc, audio), "encode audio");
      drain(aenc, as);
    }
    if (AFlush) {
      Check(lib::avcodec_send_frame(aenc, nullptr), "flush audio");
      drain(aenc, as);
    }
  };
  auto resample = [&](const AVFrame* AFrame) {
    const int room = lib::swr_get_out_samples(swr, AFrame ? AFrame->nb_samples : 0);
    if (room <= 0) return;
    lib::av_frame_unref(resampled);
    resampled->nb_samples = room;
    resampled->format = aenc->sample_fmt;
    resampled->sample_rate = aenc->sample_rate;
    lib::av_channel_layout_copy(&resampled->ch_layout, &aenc->ch_layout);
    Check(lib::av_frame_get_buffer(resampled, 0), "resample buffer");
    const int n = lib::swr_convert(swr, resampled->extended_data, room,
                                   AFrame ? const_cast<const uint8_t**>(AFrame->extended_data) : nullptr,
                                   AFrame ? AFrame->nb_samples : 0);
    if (n > 0) lib::av_audio_fifo_write(fifo, reinterpret_cast<void**>(resampled->extended_data), n);
  };
  auto decode = [&](AVCodecContext* ADec, const AVPacket* APacket) {
    Check(lib::avcodec_send_packet(ADec, APacket), "decode");
    while (lib::avcodec_receive_frame(ADec, frame) >= 0) {
      if (ADec == vdec) {
        encodeVideo(frame);
      } else {
        resample(frame);
        encodeAudio(false);
      }
      lib::av_frame_unref(frame);
    }
  };

  while (lib::av_read_frame(in, packet) >= 0) {
    if (packet->stream_index == vIndex)
      decode(vdec, packet);
    else if (packet->stream_index == aIndex)
      decode(adec, packet);
    lib::av_packet_unref(packet);
  }
  decode(vdec, nullptr);
  decode(adec, nullptr);
  resample(nullptr);
  encodeVideo(nullptr);
  encodeAudio(true);
  Check(lib::av_write_trailer(out), "write trailer");
  lib::avio_closep(&out->pb);

  AProfiler.Stop();
  const auto ended = std::chrono::steady_clock::now();
  getrusage(RUSAGE_SELF, &after);

  lib::av_frame_free(&frame);
  lib::av_frame_free(&scaled);
  lib::av_frame_free(&audio);
  lib::av_frame_free(&resampled);
  lib::av_packet_free(&packet);
  lib::av_packet_free(&encoded);
  lib::av_audio_fifo_free(fifo);
  lib::swr_free(&swr);
  lib::sws_freeContext(sws);
  lib::avcodec_free_context(&vdec);
  lib::avcodec_free_context(&adec);
  lib::avcodec_free_context(&venc);
  lib::avcodec_free_context(&aenc);
  lib::avformat_free_context(out);
  lib::avformat_close_input(&in);

  result.WallSeconds = std::chrono::duration<double>(ended - started).count();
  result.UserSeconds = CpuSeconds(after.ru_utime) - CpuSeconds(before.ru_utime);
  result.SystemSeconds = CpuSeconds(after.ru_stime) - CpuSeconds(before.ru_stime);
  result.Frames = videoFrames;
  result.FirstProgressSeconds = -1;
  result.Samples = AProfiler.Count();
  result.Dropped = AProfiler.Dropped();
  result.Objects = bench::SamplesByObject(AProfiler);
  result.OutputBytes = static_cast<int64_t>(std::filesystem::file_size(AOutput, ignored));
  if (ignored) result.OutputBytes = 0;
  if (std::abs(result.Frames - AExpectedFrames) > std::max(2, AExpectedFrames / 50))
    result.Error =
        "encoded " + std::to_string(result.Frames) + " video frames, expected " + std::to_string(AExpectedFrames);
  else
    result.Ok = result.OutputBytes > 0;
  if (!result.Ok && result.Error.empty()) result.Error = "the raw loop left no output";
  return result;
}

// ---- The table: every profile in a child process ----

double ObjectPercent(const std::vector<bench::TObjectSamples>& AObjects, const std::string& AName) {
  size_t total = 0, part = 0;
  for (const bench::TObjectSamples& object : AObjects) {
    total += object.Samples;
    if (object.Name == AName) part += object.Samples;
  }
  return Percent(part, total);
}

double OutsidePercent(const std::vector<bench::TObjectSamples>& AObjects) {
  size_t total = 0, codecs = 0;
  for (const bench::TObjectSamples& object : AObjects) {
    total += object.Samples;
    if (IsCodecLibrary(object.Name)) codecs += object.Samples;
  }
  return Percent(total - codecs, total);
}

const TProfile* FindProfile(const std::string& AName) {
  for (const TProfile& profile : Profiles())
    if (profile.Name == AName) return &profile;
  return nullptr;
}

// What a child process reports on its standard output, one line:
//   RESULT ok <frames> <wall> <first progress> <bytes> <outside %> <cpu> <swscale %> <video encoder> <audio encoder>
//   RESULT fail <message>
void PrintChildResult(const TRunResult& AResult) {
  if (!AResult.Ok) {
    std::printf("RESULT fail %s\n", AResult.Error.c_str());
  } else {
    std::printf("RESULT ok %d %.6f %.6f %lld %.3f %.6f %.3f %s %s\n", AResult.Frames, AResult.WallSeconds,
                AResult.FirstProgressSeconds, static_cast<long long>(AResult.OutputBytes),
                OutsidePercent(AResult.Objects), AResult.CpuSeconds(), ObjectPercent(AResult.Objects, "libswscale"),
                AResult.VideoEncoder.c_str(), AResult.AudioEncoder.c_str());
  }
  std::fflush(stdout);
}

struct TChildRun {
  bool Started = false;
  int Status = -1;         // exit status, -1 when killed by a signal or not started
  double WallSeconds = 0;  // fork to reaping
  long MaxRssKb = 0;       // ru_maxrss of the child
  double CpuSeconds = 0;   // its user + system time
  std::string Output;      // its standard output when captured
};

// Runs AArgs[0] with the arguments AArgs, standard output captured or sent
// to /dev/null, standard error inherited or written to AErrorLog.
TChildRun RunChild(const std::vector<std::string>& AArgs, bool ACapture, const std::string& AErrorLog = "") {
  TChildRun run;
  int fds[2] = {-1, -1};
  if (ACapture && pipe(fds) != 0) return run;
  std::vector<char*> argv;
  for (const std::string& arg : AArgs) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    if (ACapture) {
      close(fds[0]);
      close(fds[1]);
    }
    return run;
  }
  if (pid == 0) {
    int out = ACapture ? fds[1] : open("/dev/null", O_WRONLY);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    if (ACapture) close(fds[0]);
    if (!AErrorLog.empty()) {
      const int err = open(AErrorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  run.Started = true;
  if (ACapture) {
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
      if (n > 0) run.Output.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.MaxRssKb = usage.ru_maxrss;
  run.CpuSeconds = CpuSeconds(usage.ru_utime) + CpuSeconds(usage.ru_stime);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string SelfPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("vidmill_bench") : self.string();
}

struct TTableRow {
  std::string Clip, Profile, Encoders, Error;
  int Runs = 1;
  int Frames = 0;
  double Wall = 0, Fps = 0, FirstProgress = -1, Outside = 0, Cpu = 0, Swscale = 0;
  long MaxRssKb = 0;
  int64_t Bytes = 0;
};

TTableRow RunProfileInChild(const std::string& AClip, const std::string& AProfile, const std::string& AInput,
                            const std::filesystem::path& ADir, int AExpectedFrames) {
  TTableRow row;
  row.Clip = AClip;
  row.Profile = AProfile;
  std::vector<std::string> args = {SelfPath(),    "--run-one", AProfile,
                                   "--input",     AInput,      "--out-dir",
                                   ADir.string(), "--expect",  std::to_string(AExpectedFrames)};
  if (gVerbose) args.push_back("--verbose");
  args.insert(args.end(), {"--threads", std::to_string(gThreads)});
  const TChildRun run = RunChild(args, true);
  row.MaxRssKb = run.MaxRssKb;
  const size_t at = run.Output.rfind("RESULT ");
  if (!run.Started) {
    row.Error = "cannot start a child process";
  } else if (at == std::string::npos) {
    row.Error = "the child process ended without a result (status " + std::to_string(run.Status) + ")";
  } else {
    std::string line = run.Output.substr(at + 7);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.rfind("ok ", 0) != 0) {
      row.Error = line.rfind("fail ", 0) == 0 ? line.substr(5) : line;
    } else {
      char video[128] = "", audio[128] = "";
      long long bytes = 0;
      if (std::sscanf(line.c_str() + 3, "%d %lf %lf %lld %lf %lf %lf %127s %127s", &row.Frames, &row.Wall,
                      &row.FirstProgress, &bytes, &row.Outside, &row.Cpu, &row.Swscale, video, audio) != 9) {
        row.Error = "unreadable result: " + line;
      } else {
        row.Bytes = bytes;
        row.Encoders = std::string(video) + "+" + audio;
        row.Fps = row.Wall > 0 ? row.Frames / row.Wall : 0;
      }
    }
  }
  return row;
}

void PrintTableHeader() {
  std::printf("\n%-12s %-7s %-22s %5s %6s %6s %6s %7s %6s %6s %6s %7s %5s\n", "clip", "profile", "encoders", "frames",
              "wall s", "fps", "cpu s", "fps/cpu", "1st ms", "RSS MB", "out kB", "outside", "sws");
  std::printf("%s\n", std::string(113, '-').c_str());
}

void PrintTableRow(const TTableRow& ARow) {
  if (!ARow.Error.empty()) {
    std::printf("%-12s %-7s FAILED: %s\n", ARow.Clip.c_str(), ARow.Profile.c_str(), ARow.Error.c_str());
  } else {
    const std::string first = ARow.FirstProgress < 0 ? "-" : Format("%.0f", ARow.FirstProgress * 1000);
    std::printf("%-12s %-7s %-22s %5d %6.2f %6.1f %6.2f %7.1f %6s %6.1f %6.0f %6.1f%% %4.1f%%\n", ARow.Clip.c_str(),
                ARow.Profile.c_str(), ARow.Encoders.c_str(), ARow.Frames, ARow.Wall, ARow.Fps, ARow.Cpu,
                ARow.Cpu > 0 ? ARow.Frames / ARow.Cpu : 0.0, first.c_str(), ARow.MaxRssKb / 1024.0,
                static_cast<double>(ARow.Bytes) / 1e3, ARow.Outside, ARow.Swscale);
  }
  std::fflush(stdout);
}

// Makes (or finds in the cache) the source clip: H.264 + stereo 44.1 kHz
// AAC in MP4, 25 fps.
std::string MakeClip(int AWidth, int AHeight, int ASeconds, int AVideoBitRate) {
  testmedia::ClipSpec spec;
  spec.container = "mp4";  // libx264 + aac
  spec.width = AWidth;
  spec.height = AHeight;
  spec.fpsNum = kFps;
  spec.fpsDen = 1;
  spec.sampleRate = 44100;
  spec.channels = 2;
  spec.durationSec = ASeconds;
  spec.videoBitRate = AVideoBitRate;  // a typical rate for the size, so decoding costs what it would
  spec.audioBitRate = 128000;
  const auto made = std::chrono::steady_clock::now();
  std::string source = testmedia::CachedClip(spec);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count();
  std::printf("source: %s\n        %d s, %dx%d %d fps H.264 + stereo 44.1 kHz AAC (%s%s)\n", source.c_str(), ASeconds,
              AWidth, AHeight, kFps, Size(static_cast<double>(std::filesystem::file_size(source))).c_str(),
              took > 1 ? Format(", made in %.1f s", took).c_str() : ", cached");
  std::fflush(stdout);
  return source;
}

bool MakeTempDir(std::filesystem::path& ADir) {
  std::error_code error;
  ADir = std::filesystem::temp_directory_path() / ("vidmill-bench-" + std::to_string(getpid()));
  std::filesystem::remove_all(ADir, error);
  std::filesystem::create_directories(ADir, error);
  if (error) {
    std::fprintf(stderr, "vidmill_bench: cannot create %s: %s\n", ADir.c_str(), error.message().c_str());
    return false;
  }
  return true;
}

// Batch throughput: AFiles copies (symbolic links) of ASource converted by
// the command-line front end with --jobs 1 and then --jobs 2, ARounds times
// (the medians are compared).
int RunBatch(const std::string& ACli, const std::string& ASource, const std::string& AFormat, int AFiles, int ARounds,
             const std::filesystem::path& ADir) {
  std::error_code error;
  if (!std::filesystem::exists(ACli, error)) {
    std::printf("\nbatch: not measured, %s is not built\n", ACli.c_str());
    return 0;
  }
  const std::filesystem::path in = ADir / "batch-in";
  std::filesystem::create_directories(in, error);
  std::vector<std::string> files;
  for (int i = 0; i < AFiles; ++i) {
    const std::filesystem::path link = in / Format("clip%d.mp4", i + 1);
    std::filesystem::create_symlink(ASource, link, error);
    files.push_back(link.string());
  }
  std::vector<double> walls[2];
  long maxRss[2] = {0, 0};
  int status = 0;
  std::printf("\nbatch: %d files (%s), --format %s, vidmill-cli, %d round%s of --jobs 1 then --jobs 2\n", AFiles,
              std::filesystem::path(ASource).filename().c_str(), AFormat.c_str(), ARounds, ARounds > 1 ? "s" : "");
  for (int round = 0; round < ARounds && status == 0; ++round) {
    for (int jobs = 1; jobs <= 2; ++jobs) {
      const std::filesystem::path out = ADir / Format("batch-out-%d", jobs);
      std::filesystem::create_directories(out, error);
      std::vector<std::string> args = {ACli,     "--format",          AFormat, "--out", out.string(),
                                       "--jobs", std::to_string(jobs)};
      args.insert(args.end(), files.begin(), files.end());
      const std::string log = (ADir / Format("batch-%d.log", jobs)).string();
      const TChildRun run = RunChild(args, false, log);
      size_t outputs = 0;
      for (const auto& entry : std::filesystem::directory_iterator(out, error))
        outputs += entry.is_regular_file() ? 1 : 0;
      walls[jobs - 1].push_back(run.WallSeconds);
      maxRss[jobs - 1] = std::max(maxRss[jobs - 1], run.MaxRssKb);
      if (ARounds > 1)
        std::printf("  round %d --jobs %d   wall %7.2f s   CPU %6.2f s (%.2f cores busy)\n", round + 1, jobs,
                    run.WallSeconds, run.CpuSeconds, run.WallSeconds > 0 ? run.CpuSeconds / run.WallSeconds : 0.0);
      if (run.Status != 0 || outputs != static_cast<size_t>(AFiles)) {
        status = 1;
        std::printf("  FAILED: --jobs %d exited with %d and left %zu outputs; its last messages:\n", jobs, run.Status,
                    outputs);
        std::FILE* file = std::fopen(log.c_str(), "r");
        std::vector<std::string> lines;
        char line[1024];
        while (file && std::fgets(line, sizeof line, file)) {
          lines.push_back(line);
          if (lines.size() > 10) lines.erase(lines.begin());
        }
        if (file) std::fclose(file);
        for (const std::string& text : lines) std::printf("    %s", text.c_str());
      }
      std::filesystem::remove_all(out, error);
    }
  }
  if (status == 0) {
    double median[2];
    for (int j = 0; j < 2; ++j) {
      median[j] = Median(walls[j]);
      std::printf("  --jobs %d   wall %7.2f s%s   %6.2f files/min   peak RSS of the CLI %.1f MB\n", j + 1, median[j],
                  ARounds > 1 ? " (median)" : "", median[j] > 0 ? 60.0 * AFiles / median[j] : 0.0, maxRss[j] / 1024.0);
    }
    if (median[1] > 0) std::printf("  throughput --jobs 2 / --jobs 1: %.2f x\n", median[0] / median[1]);
  }
  std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();

  int seconds = 30, repeat = 1, expect = 0, batchFiles = 8;
  bool table = false;
  std::string which = "all", runOne, input, outDir, batchFormat = "mp4";
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
      if (which != "all" && !FindProfile(which)) Usage("unknown profile: " + which);
    } else if (arg == "--repeat") {
      repeat = PositiveInt(arg, value());
    } else if (arg == "--table") {
      table = true;
    } else if (arg == "--batch-files") {
      batchFiles = std::stoi(value());
      if (batchFiles < 0 || batchFiles > 100) Usage("bad value for --batch-files");
    } else if (arg == "--batch-format") {
      batchFormat = value();
    } else if (arg == "--run-one") {  // internal: one conversion in a child process of --table
      runOne = value();
    } else if (arg == "--input") {
      input = value();
    } else if (arg == "--out-dir") {
      outDir = value();
    } else if (arg == "--expect") {
      expect = PositiveInt(arg, value());
    } else if (arg == "--threads") {
      gThreads = std::stoi(value());
      if (gThreads < 0 || gThreads > 64) Usage("bad value for --threads");
      if (gThreads == 0) gThreads = ProcessorCount();
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
  if ((!mediaDir || !*mediaDir) && *VIDMILL_BENCH_MEDIA_DIR)
    setenv("VIDMILL_TEST_MEDIA_DIR", VIDMILL_BENCH_MEDIA_DIR, 1);

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

  // A child of --table: one conversion, the result on one line.
  if (!runOne.empty()) {
    TRunResult result;
    if (input.empty() || outDir.empty() || expect == 0) Usage("--run-one needs --input, --out-dir and --expect");
    try {
      // A small buffer (2^17 samples, 1 MB) keeps the profiler's share of the peak memory small.
      bench::TSamplingProfiler profiler(size_t{1} << 17, kSampleIntervalUs);
      if (runOne == "raw-mp4") {
        result = RawConvert(input, std::filesystem::path(outDir) / "raw.mp4", expect, profiler);
      } else {
        const TProfile* profile = FindProfile(runOne);
        if (!profile) Usage("unknown profile: " + runOne);
        result = Convert(*profile, input, std::filesystem::path(outDir) / profile->File, expect, profiler);
      }
    } catch (const std::exception& e) {
      result.Ok = false;
      result.Error = e.what();
    }
    PrintChildResult(result);
    return result.Ok ? 0 : 1;
  }

  std::filesystem::path dir;
  int status = 0;
  if (table) {
    // 1280x720 for N s and 320x240 for 2N s (default 30 and 60).
    const int big = seconds, small = 2 * seconds;
    struct TClip {
      std::string Label, Path;
      int Frames;
    };
    std::vector<TClip> clips;
    try {
      clips.push_back({Format("1280x720 %ds", big), MakeClip(1280, 720, big, 2500000), big * kFps});
      clips.push_back({Format("320x240 %ds", small), MakeClip(320, 240, small, 500000), small * kFps});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vidmill_bench: cannot make the source clip: %s\n", e.what());
      return 1;
    }
    if (!MakeTempDir(dir)) return 1;
    std::printf(
        "\nEach conversion runs in its own process (peak RSS = its ru_maxrss); wall is the engine's run,\n"
        "1st ms the time from the start of the run to the first progress report, outside%% the share of\n"
        "the CPU time sampled outside the codec libraries. raw-mp4 is the minimal decode+scale+encode\n"
        "loop of the bench with the engine's MP4 encoder settings.\n");
    PrintTableHeader();
    std::map<std::string, TTableRow> mp4Row, rawRow;
    for (const TClip& clip : clips) {
      std::vector<std::string> names;
      for (const TProfile& profile : Profiles())
        if ((which == "all" && profile.Name != "mp4-nocorrections") || which == profile.Name)
          names.push_back(profile.Name);
      if (which == "all" || which == "mp4") names.push_back("raw-mp4");
      for (const std::string& name : names) {
        // With --repeat N the row of the run with the median wall time is shown,
        // with the highest peak memory of the N runs.
        std::vector<TTableRow> runs;
        long maxRss = 0;
        for (int r = 0; r < repeat; ++r) {
          runs.push_back(RunProfileInChild(clip.Label, name, clip.Path, dir, clip.Frames));
          maxRss = std::max(maxRss, runs.back().MaxRssKb);
          std::error_code ignored;
          for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
            if (entry.is_regular_file()) std::filesystem::remove(entry.path(), ignored);
          if (!runs.back().Error.empty()) break;
        }
        TTableRow row = runs.back();
        if (row.Error.empty()) {
          std::sort(runs.begin(), runs.end(), [](const TTableRow& a, const TTableRow& b) { return a.Wall < b.Wall; });
          row = runs[runs.size() / 2];
          row.MaxRssKb = maxRss;
          row.Runs = static_cast<int>(runs.size());
        }
        PrintTableRow(row);
        if (!row.Error.empty())
          status = 1;
        else if (name == "mp4")
          mp4Row[clip.Label] = row;
        else if (name == "raw-mp4")
          rawRow[clip.Label] = row;
      }
    }
    std::printf("\n");
    for (const TClip& clip : clips) {
      if (!mp4Row.count(clip.Label) || !rawRow.count(clip.Label)) continue;
      const TTableRow& e = mp4Row[clip.Label];
      const TTableRow& r = rawRow[clip.Label];
      if (r.Wall <= 0 || r.Cpu <= 0) continue;
      std::printf("engine overhead, %s MP4: wall engine / raw loop %.2f / %.2f s = %.3f; CPU %.2f / %.2f s = %.3f\n",
                  clip.Label.c_str(), e.Wall, r.Wall, e.Wall / r.Wall, e.Cpu, r.Cpu, e.Cpu / r.Cpu);
    }
    if (repeat > 1) std::printf("(each row: the median of %d runs by wall time; RSS: the highest)\n", repeat);
    if (batchFiles > 0)
      status |= RunBatch(Utf16ToUtf8(ModuleDir()) + "vidmill-cli", clips[1].Path, batchFormat, batchFiles,
                         std::min(repeat, 3), dir);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
  }

  std::string source;
  try {
    source = MakeClip(1280, 720, seconds, 2500000);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidmill_bench: cannot make the source clip: %s\n", e.what());
    return 1;
  }
  const int expectedFrames = seconds * kFps;
  if (!MakeTempDir(dir)) return 1;

  bench::TSamplingProfiler profiler(kSampleCapacity, kSampleIntervalUs);
  try {
    for (const TProfile& profile : Profiles()) {
      // "all" is the default pair, mp4 and dvd.
      if (which == "all" ? (profile.Name != "mp4" && profile.Name != "dvd") : which != profile.Name) continue;
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
  std::error_code error;
  std::filesystem::remove_all(dir, error);
  return status;
}
