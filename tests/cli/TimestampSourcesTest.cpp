// Sources whose timestamps other tools wrote: streams that start at 3600 s or
// an hour apart, a clip with a single key frame, a clock that jumps, wraps
// or repeats itself. Each is converted by vidmill-cli into the seven formats
// (the window's profiles), and every output is read back as a player would
// read it: it plays as long as the source, from the picture at the start
// position on, and keeps the source's real delay between sound and picture.
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/media/ReadBack.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

struct TSource {
  std::string Name;
  testmedia::ClipSpec Spec;
  double PlaySeconds;       // how long the source plays
  double AudioDelay = NAN;  // sound after picture, seconds (NAN: not checked)
};

testmedia::ClipSpec Clip(const std::string& AContainer, const std::string& AAudioCodec = "") {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  spec.audioCodec = AAudioCodec;
  spec.durationSec = 4.0;
  return spec;
}

std::vector<TSource> Sources() {
  std::vector<TSource> sources;
  auto add = [&](const std::string& AName, testmedia::ClipSpec ASpec, double APlay, double ADelay = NAN) {
    sources.push_back({AName, ASpec, APlay, ADelay});
  };
  // Transport streams as GStreamer's muxer writes them, starting at 3600 s.
  for (int gop : {-1, 12})
    for (bool audio : {true, false}) {
      testmedia::ClipSpec spec = Clip("ts", "mp2");
      spec.audio = audio;
      spec.videoStartSec = spec.audioStartSec = 3600;
      spec.keyFrameInterval = gop;
      add(std::string("ts3600_") + (audio ? "av" : "v") + (gop < 0 ? "_one_key" : "_key12"), spec, 4.0);
    }
  testmedia::ClipSpec late = Clip("ts", "mp2");
  late.videoStartSec = late.audioStartSec = 95000;  // about 26 hours in
  add("ts95000", late, 4.0);
  testmedia::ClipSpec wrap = Clip("ts", "mp2");
  wrap.videoStartSec = wrap.audioStartSec = 95442;  // the 33-bit clock wraps after 1.7 s
  add("ts_wrap", wrap, 4.0);
  testmedia::ClipSpec jump = Clip("ts", "mp2");
  jump.jumpAtSec = 2;
  jump.jumpSec = 60;
  add("ts_jump", jump, 4.0);
  // Picture an hour after the sound: a muxing error, not a delay.
  testmedia::ClipSpec asf = Clip("asf");
  asf.fpsNum = 15;
  asf.videoStartSec = 3600;
  add("asf_video3600", asf, 4.0);
  testmedia::ClipSpec mp4 = Clip("mp4");
  mp4.videoStartSec = 3600;
  add("mp4_video3600", mp4, 4.0);
  // Sound 1.5 s after the picture: a real delay, kept.
  testmedia::ClipSpec delayed = Clip("mp4");
  delayed.audioStartSec = 1.5;
  add("mp4_audio1500", delayed, 5.5, 1.5);
  testmedia::ClipSpec repeated = Clip("mkv");
  repeated.videoCodec = "mpeg4";
  repeated.duplicateEvery = 10;
  add("mkv_repeated", repeated, 4.0);
  return sources;
}

struct TFormat {
  std::string Name, Suffix;
};
const std::vector<TFormat> kFormats = {{"3gp", ".3gp"},          {"mp4", ".mp4"},          {"avi", ".avi"},
                                       {"vcd", "_vcd_auto.mpg"}, {"dvd", "_dvd_auto.mpg"}, {"flv", ".flv"},
                                       {"wmv", ".wmv"}};

}  // namespace

TEST(TimestampSources, EachPlaysItsLengthFromTheStartPictureInEveryFormat) {
  TTempFolder temp("vidmill-timestamps");
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
    // A clock that runs away would fill the disk: the bound ends such a run.
    const TProgramRun run = RunProgram(VIDMILL_CLI, args, temp.Path(), 120);
    ASSERT_FALSE(run.TimedOut);
    EXPECT_EQ(run.Status, 0) << run.Err;
    for (const TSource& source : sources) {
      SCOPED_TRACE(source.Name);
      const fs::path output = out / (source.Name + "_(new)" + format.Suffix);
      const testmedia::FileReadBack file = testmedia::ReadBack(output.string());
      ASSERT_TRUE(file.opened) << file.error;
      const double tolerance = std::max(1.0, 0.03 * source.PlaySeconds);
      EXPECT_NEAR(file.PlaySeconds(), source.PlaySeconds, tolerance);
      const testmedia::StreamReadBack* video = file.Video();
      const testmedia::StreamReadBack* audio = file.Audio();
      ASSERT_NE(video, nullptr);
      EXPECT_EQ(audio != nullptr, source.Spec.audio);
      EXPECT_EQ(video->decodeErrors, 0);
      EXPECT_NEAR(video->Seconds(), source.Spec.durationSec, tolerance);
      // The conversion starts one picture in: the first picture shown is
      // the source's second, whatever key frames the source has.
      EXPECT_EQ(video->first.BarFrame(), 1);
      if (audio) {
        ASSERT_NE(audio->firstAudibleUs, AV_NOPTS_VALUE) << "the sound is there";
        EXPECT_NEAR((audio->endUs - audio->firstAudibleUs) / 1e6, source.Spec.durationSec, tolerance);
      }
      if (!std::isnan(source.AudioDelay) && audio) {
        // Against the source's own second picture, which is shown first.
        const double secondPicture = static_cast<double>(source.Spec.fpsDen) / source.Spec.fpsNum;
        const double delay = (audio->firstAudibleUs - video->firstUs) / 1e6;
        EXPECT_NEAR(delay, source.AudioDelay - secondPicture, 0.040);
      }
    }
  }
}
