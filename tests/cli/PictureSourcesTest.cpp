// Sources whose pictures devices do not play as they are: 4:4:4, 4:2:2 and
// 10-bit pictures, phone recordings with a display rotation, portrait and
// wide pictures, interlaced fields, non-square pixels, high dynamic range.
// Each is converted by vidmill-cli into the seven formats and every output
// is read back as a player would: 8-bit 4:2:0, upright, progressive, at the
// source's proportions (black bars included) with only the display aspects
// its format honours, and MP4's H.264 at a profile and level devices take.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/media/ReadBack.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

struct TSource {
  std::string Name;
  testmedia::ClipSpec Spec;
};

std::vector<TSource> Sources() {
  auto clip = [](const std::string& AContainer, int AWidth, int AHeight) {
    testmedia::ClipSpec spec;
    spec.container = AContainer;
    spec.width = AWidth;
    spec.height = AHeight;
    spec.durationSec = 1.0;
    return spec;
  };
  std::vector<TSource> sources;
  auto add = [&](const std::string& AName, testmedia::ClipSpec ASpec) { sources.push_back({AName, ASpec}); };
  testmedia::ClipSpec spec = clip("mp4", 401, 301);
  spec.pixelFormat = "yuv444p";
  add("h264_444", spec);
  spec = clip("mkv", 320, 240);
  spec.pixelFormat = "yuv422p";
  add("h264_422", spec);
  spec = clip("mp4", 320, 240);
  spec.pixelFormat = "yuv420p10le";
  add("h264_10bit", spec);
  spec.videoCodec = "libx265";
  add("hevc_10bit", spec);
  spec = clip("mp4", 360, 640);
  spec.rotation = 90;
  add("phone_90", spec);
  spec = clip("mov", 360, 640);
  spec.rotation = 270;
  add("phone_270", spec);
  spec = clip("mp4", 320, 240);
  spec.rotation = 180;
  spec.mirrored = true;
  add("turned_180_mirrored", spec);
  add("portrait", clip("mp4", 360, 640));
  add("wide", clip("mp4", 640, 360));
  spec = clip("ts", 720, 576);
  spec.interlaced = true;
  add("interlaced_h264", spec);
  spec = clip("mpg", 720, 576);
  spec.interlaced = true;
  add("interlaced_mpeg2", spec);
  spec = clip("mp4", 720, 576);
  spec.sarNum = 16;
  spec.sarDen = 15;
  add("pal_16_15", spec);
  spec = clip("mp4", 320, 240);
  spec.videoCodec = "libx265";
  spec.transfer = "pq";
  add("hdr_pq", spec);
  return sources;
}

double DisplayAspectOf(const testmedia::ClipSpec& ASpec) {
  const double sar = ASpec.sarNum > 0 ? static_cast<double>(ASpec.sarNum) / ASpec.sarDen : 1.0;
  return sar * ASpec.width / ASpec.height;
}

struct TFormat {
  std::string Name, Suffix;
  std::vector<double> FrameAspects;  // what the frame may show; empty: the picture's own
  bool SquarePixels = false;
};
const std::vector<TFormat> kFormats = {
    {"3gp", ".3gp", {}, true},
    {"mp4", ".mp4", {}, false},
    {"avi", ".avi", {}, false},
    {"vcd", "_vcd_auto.mpg", {4.0 / 3}, false},
    {"dvd", "_dvd_auto.mpg", {4.0 / 3, 16.0 / 9}, false},
    {"flv", ".flv", {}, true},
    {"wmv", ".wmv", {}, false},
};

}  // namespace

TEST(PictureSources, EachComesOutUprightProgressive8Bit420AtItsProportionsInEveryFormat) {
  TTempFolder temp("vidmill-pictures");
  const std::vector<TSource> sources = Sources();
  std::vector<std::string> paths;
  for (const TSource& source : sources) {
    const fs::path link = temp.Path() / (source.Name + testmedia::Resolve(source.Spec).extension);
    fs::create_symlink(testmedia::CachedClip(source.Spec), link);
    paths.push_back(link.string());
  }
  for (const TFormat& format : kFormats) {
    SCOPED_TRACE(format.Name);
    const fs::path out = temp.Path() / format.Name;
    fs::create_directories(out);
    std::vector<std::string> args = {"--format", format.Name, "--jobs", "2", "--out", out.string() + "/"};
    args.insert(args.end(), paths.begin(), paths.end());
    const TProgramRun run = RunProgram(VIDMILL_CLI, args, temp.Path(), 300);
    ASSERT_FALSE(run.TimedOut);
    EXPECT_EQ(run.Status, 0) << run.Err.substr(run.Err.size() > 3000 ? run.Err.size() - 3000 : 0);
    for (const TSource& source : sources) {
      SCOPED_TRACE(source.Name);
      const fs::path output = out / (source.Name + "_(new)" + format.Suffix);
      const testmedia::FileReadBack file = testmedia::ReadBack(output.string());
      ASSERT_TRUE(file.opened) << file.error;
      const testmedia::StreamReadBack* video = file.Video();
      ASSERT_NE(video, nullptr);
      EXPECT_EQ(video->pixelFormat, AV_PIX_FMT_YUV420P) << "8-bit 4:2:0";
      EXPECT_FALSE(video->interlaced);
      EXPECT_EQ(video->rotation, 0) << "upright in its pixels, not by a display matrix";
      const bool hdr = source.Spec.transfer == "pq";
      EXPECT_TRUE(video->middle.Upright(hdr ? 72 : 48)) << "the pattern is upright and unmirrored";
      // The content between the bars keeps the source's proportions, to
      // within 2 % or the two pixels a scaled edge may blur.
      const testmedia::Rect content = video->middle.Content();
      const double tolerance = std::max(0.02, 2.5 / std::min(content.w, content.h));
      EXPECT_NEAR(video->ContentAspect() / DisplayAspectOf(source.Spec), 1.0, tolerance);
      if (format.SquarePixels) {
        EXPECT_TRUE(video->sampleAspect.num == 0 || video->sampleAspect.num == video->sampleAspect.den);
      }
      if (!format.FrameAspects.empty()) {
        double nearest = 10;
        for (double aspect : format.FrameAspects)
          nearest = std::min(nearest, std::fabs(video->DisplayAspect() / aspect - 1));
        EXPECT_LT(nearest, 0.02) << "a frame aspect the format shows: " << video->DisplayAspect();
      }
      if (format.Name == "dvd" && DisplayAspectOf(source.Spec) > 1.7) {
        EXPECT_NEAR(video->DisplayAspect(), 16.0 / 9, 0.03) << "a wide source stays anamorphic 16:9";
      }
      if (format.Name == "mp4") {
        EXPECT_TRUE(video->profile == FF_PROFILE_H264_HIGH || video->profile == FF_PROFILE_H264_MAIN) << video->profile;
        EXPECT_LE(video->level, 41);
      }
      if (hdr) {
        // Tone-mapped, not grey: the red quadrant is still clearly red, and
        // where the output carries colour tags they say BT.709.
        const testmedia::RgbPicture picture = video->middle.Crop(content);
        const testmedia::MeanRgb red = testmedia::QuadrantMean(picture.rgb.data(), picture.width * 3, picture.width,
                                                               picture.height, testmedia::Quadrant::TopLeft);
        EXPECT_GT(red.r - std::max(red.g, red.b), 120) << red.r << "," << red.g << "," << red.b;
        if (video->transfer != AVCOL_TRC_UNSPECIFIED || format.Name == "mp4") {
          EXPECT_EQ(video->transfer, AVCOL_TRC_BT709);
          EXPECT_EQ(video->primaries, AVCOL_PRI_BT709);
          EXPECT_EQ(video->matrix, AVCOL_SPC_BT709);
        }
      }
    }
  }
}
