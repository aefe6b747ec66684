// vidmill-mkmedia: writes one synthetic test clip (see TestMedia.h for what
// the picture and the sound look like).
#include "tests/media/ReadBack.h"
#include "tests/media/TestMedia.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

const char kUsage[] =
    "usage: vidmill-mkmedia [options] OUTPUT\n"
    "       vidmill-mkmedia --read FILE   (what a player gets out of FILE)\n"
    "  --container C   avi mp4 mkv mpg flv asf|wmv 3gp mov ts ogg wav mp3 png jpg\n"
    "                  (default: from the OUTPUT extension)\n"
    "  --vcodec X      video encoder (libavcodec name); default per container\n"
    "  --acodec X      audio encoder (libavcodec name); default per container\n"
    "  --size WxH      picture size (320x240)\n"
    "  --rate N[/D]    frame rate (25)\n"
    "  --sar N:D       sample aspect ratio (not set)\n"
    "  --ar HZ         sample rate (44100)\n"
    "  --ac N          channels (2)\n"
    "  --duration S    seconds (2)\n"
    "  --tone HZ       sine frequency (1000)\n"
    "  --vb BPS        video bit rate (encoder-dependent default)\n"
    "  --ab BPS        audio bit rate (encoder-dependent default)\n"
    "  --no-video      audio only\n"
    "  --no-audio      video only\n"
    "  --vstart S      first video timestamp in seconds (0)\n"
    "  --astart S      first audio timestamp in seconds (0)\n"
    "  --start S       both\n"
    "  --gop N         pictures per key frame (one per second; -1: the first only)\n"
    "  --jump AT:BY    timestamps jump BY seconds forward at AT seconds\n"
    "  --dup N         every Nth picture repeats the timestamp before it\n"
    "  --pix-fmt F     pixel format (yuv444p, yuv422p, yuv420p10le, ...)\n"
    "  --rotate D      display rotation, degrees clockwise (90, 180, 270)\n"
    "  --mirror        the display matrix also mirrors the picture\n"
    "  --interlaced    coded as interlaced, top field first\n"
    "  --pq            10-bit BT.2020 PQ (HDR)\n"
    "  --texture       a fine moving texture, costly to encode like camera footage\n";

[[noreturn]] void Usage(const std::string& error) {
  if (!error.empty()) std::fprintf(stderr, "vidmill-mkmedia: %s\n", error.c_str());
  std::fputs(kUsage, stderr);
  std::exit(2);
}

int ToInt(const std::string& opt, const std::string& v) {
  size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != v.size()) Usage("bad number for " + opt + ": " + v);
  return n;
}

double ToDouble(const std::string& opt, const std::string& v) {
  size_t used = 0;
  double d = 0;
  try {
    d = std::stod(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != v.size()) Usage("bad number for " + opt + ": " + v);
  return d;
}

void ToPair(const std::string& opt, const std::string& v, char sep, int& a, int& b) {
  const size_t at = v.find(sep);
  if (at == std::string::npos) Usage("expected A" + std::string(1, sep) + "B for " + opt + ": " + v);
  a = ToInt(opt, v.substr(0, at));
  b = ToInt(opt, v.substr(at + 1));
}

std::string ContainerFromExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "wmv") return "asf";
  if (ext == "mpeg" || ext == "vob") return "mpg";
  if (ext == "jpeg") return "jpg";
  if (ext == "m4v") return "mp4";
  return ext;
}

}  // namespace

// One line per stream of what reading FILE back gives.
int PrintReadBack(const std::string& APath) {
  const testmedia::FileReadBack file = testmedia::ReadBack(APath);
  if (!file.opened) {
    std::fprintf(stderr, "vidmill-mkmedia: %s\n", file.error.c_str());
    return 1;
  }
  std::printf("%s: %s, plays %.3f s\n", APath.c_str(), file.format.c_str(), file.PlaySeconds());
  for (const testmedia::StreamReadBack& s : file.streams) {
    const double first = s.firstUs == AV_NOPTS_VALUE ? 0 : s.firstUs / 1e6;
    const char* pixels = av_get_pix_fmt_name(s.pixelFormat);
    if (s.type == AVMEDIA_TYPE_VIDEO)
      std::printf(
          "  video %s (profile %d, level %d) %dx%d %s aspect %.3f (content %.3f%s), %lld pictures, "
          "%.3f..%.3f s, rotation %.0f%s, colours %s/%s/%s, errors %d\n",
          s.codec.c_str(), s.profile, s.level, s.width, s.height, pixels ? pixels : "?", s.DisplayAspect(),
          s.ContentAspect(), s.middle.Upright() ? ", upright" : ", NOT upright", static_cast<long long>(s.frames),
          first, first + s.Seconds(), s.rotation, s.interlaced ? ", interlaced" : "",
          av_color_primaries_name(s.primaries), av_color_transfer_name(s.transfer), av_color_space_name(s.matrix),
          s.decodeErrors);
    if (s.type == AVMEDIA_TYPE_VIDEO && !s.middle.rgb.empty()) {
      const testmedia::RgbPicture content = s.middle.Crop(s.middle.Content());
      const testmedia::Rect box = s.middle.Content();
      std::printf("    content %d,%d %dx%d; quadrants:", box.x, box.y, box.w, box.h);
      for (testmedia::Quadrant q : {testmedia::Quadrant::TopLeft, testmedia::Quadrant::TopRight,
                                    testmedia::Quadrant::BottomLeft, testmedia::Quadrant::BottomRight}) {
        const testmedia::MeanRgb m =
            testmedia::QuadrantMean(content.rgb.data(), content.width * 3, content.width, content.height, q);
        std::printf(" (%.0f,%.0f,%.0f)", m.r, m.g, m.b);
      }
      std::printf("\n");
    }
    if (s.type == AVMEDIA_TYPE_AUDIO)
      std::printf("  audio %s %d Hz %d ch, %.3f..%.3f s, heard from %.3f s, errors %d\n", s.codec.c_str(), s.sampleRate,
                  s.channels, first, first + s.Seconds(),
                  s.firstAudibleUs == AV_NOPTS_VALUE ? -1.0 : s.firstAudibleUs / 1e6, s.decodeErrors);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--read") return PrintReadBack(argv[2]);
  testmedia::ClipSpec spec;
  spec.container.clear();
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage("missing value for " + a);
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--container") {
      spec.container = value();
    } else if (a == "--vcodec") {
      spec.videoCodec = value();
    } else if (a == "--acodec") {
      spec.audioCodec = value();
    } else if (a == "--size") {
      ToPair(a, value(), 'x', spec.width, spec.height);
    } else if (a == "--rate") {
      const std::string v = value();
      if (v.find('/') != std::string::npos)
        ToPair(a, v, '/', spec.fpsNum, spec.fpsDen);
      else
        spec.fpsNum = ToInt(a, v), spec.fpsDen = 1;
    } else if (a == "--sar") {
      ToPair(a, value(), ':', spec.sarNum, spec.sarDen);
    } else if (a == "--ar") {
      spec.sampleRate = ToInt(a, value());
    } else if (a == "--ac") {
      spec.channels = ToInt(a, value());
    } else if (a == "--duration") {
      spec.durationSec = ToDouble(a, value());
    } else if (a == "--tone") {
      spec.toneHz = ToDouble(a, value());
    } else if (a == "--vb") {
      spec.videoBitRate = ToInt(a, value());
    } else if (a == "--ab") {
      spec.audioBitRate = ToInt(a, value());
    } else if (a == "--no-video") {
      spec.video = false;
    } else if (a == "--no-audio") {
      spec.audio = false;
    } else if (a == "--vstart") {
      spec.videoStartSec = ToDouble(a, value());
    } else if (a == "--astart") {
      spec.audioStartSec = ToDouble(a, value());
    } else if (a == "--start") {
      spec.videoStartSec = spec.audioStartSec = ToDouble(a, value());
    } else if (a == "--gop") {
      spec.keyFrameInterval = ToInt(a, value());
    } else if (a == "--jump") {
      const std::string v = value();
      const size_t at = v.find(':');
      if (at == std::string::npos) Usage("expected AT:BY for " + a + ": " + v);
      spec.jumpAtSec = ToDouble(a, v.substr(0, at));
      spec.jumpSec = ToDouble(a, v.substr(at + 1));
    } else if (a == "--dup") {
      spec.duplicateEvery = ToInt(a, value());
    } else if (a == "--pix-fmt") {
      spec.pixelFormat = value();
    } else if (a == "--rotate") {
      spec.rotation = ToInt(a, value());
    } else if (a == "--mirror") {
      spec.mirrored = true;
    } else if (a == "--interlaced") {
      spec.interlaced = true;
    } else if (a == "--pq") {
      spec.transfer = "pq";
    } else if (a == "--texture") {
      spec.texture = true;
    } else if (!a.empty() && a[0] == '-') {
      Usage("unknown option " + a);
    } else if (output.empty()) {
      output = a;
    } else {
      Usage("only one OUTPUT please");
    }
  }
  if (output.empty()) Usage("no OUTPUT given");
  if (spec.container.empty()) spec.container = ContainerFromExtension(output);
  if (spec.container.empty()) Usage("cannot tell the container from " + output + "; give --container");

  try {
    const testmedia::ResolvedSpec r = testmedia::Resolve(spec);
    testmedia::MakeClip(spec, output);
    std::printf("%s: %s%s%s\n", output.c_str(), r.video ? r.videoCodec.c_str() : "", r.video && r.audio ? " + " : "",
                r.audio ? r.audioCodec.c_str() : "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidmill-mkmedia: %s\n", e.what());
    return 1;
  }
  return 0;
}
