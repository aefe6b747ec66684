// Targets (norm detection and the settings of each disc or tape standard),
// presets (the built-in table, composed names, preset files, their messages
// and the translation of the old option names, proved on a real libx264
// encoder), bitstream filter chains and the video statistics file name.
#include <cctype>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/OptionContexts.h"
#include "runtime/Text.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

using transcodetest::RaisedBy;
using transcodetest::TOptionList;
using TTargetsEngine = transcodetest::TTestEngine;

int64_t IntOption(void* AObject, const char* AName) {
  int64_t value = -1;
  EXPECT_GE(lib::av_opt_get_int(AObject, AName, 0, &value), 0) << AName;
  return value;
}

int64_t VideoOption(TCustomFFmpeg& E, const char* AName) {
  return IntOption(E.OptionStore().Codec[AVMEDIA_TYPE_VIDEO], AName);
}

// The value of the last private option of that name, or "(none)".
std::string PrivateOption(const TCustomFFmpeg& E, const std::string& AName) {
  std::string value = "(none)";
  for (const TPrivateOption& option : E.Settings().Run.FPrivateOptions)
    if (option.Name == AName) value = option.Value;
  return value;
}

std::string OutputFormatName(const TCustomFFmpeg& E) {
  return E.Settings().Mux.FOutputFormat ? E.Settings().Mux.FOutputFormat->name : "(none)";
}

void WriteText(const std::string& APath, const std::string& AText) {
  std::ofstream file(APath, std::ios::binary);
  file << AText;
}

// A short AVI clip (its stream rate is the exact rate asked for).
std::string VideoClip(int AFpsNum, int AFpsDen) {
  testmedia::ClipSpec clip;
  clip.container = "avi";
  clip.width = 160;
  clip.height = 120;
  clip.fpsNum = AFpsNum;
  clip.fpsDen = AFpsDen;
  clip.durationSec = 0.4;
  return testmedia::CachedClip(clip);
}

class Targets : public ::testing::Test {
 protected:
  void SetUp() override { ClearLogLines(); }
  TTargetsEngine E;
};

// ---- Norms ----

TEST_F(Targets, DetectingTheNormNeedsAFrameRate) {
  EXPECT_EQ(RaisedBy([&] { E.SetOption("target", "vcd"); }), "frame_rate is invalid.");
  EXPECT_EQ(RaisedBy([&] { E.SetTarget("dvd", "auto", "pal"); }), "frame_rate is invalid.");
  // Nothing was set.
  EXPECT_EQ(E.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 0);
  // A norm that is given needs none.
  EXPECT_EQ(RaisedBy([&] { E.SetOption("target", "pal-vcd"); }), "(nothing raised)");
}

TEST_F(Targets, OnlyAnAudioInputGivesNoFrameRate) {
  testmedia::ClipSpec clip;
  clip.container = "wav";
  clip.durationSec = 0.3;
  ASSERT_TRUE(E.In(testmedia::CachedClip(clip))) << E.LastError();
  EXPECT_EQ(RaisedBy([&] { E.SetTarget("dvd", "auto", "pal"); }), "frame_rate is invalid.");
}

TEST_F(Targets, TheFrameRateSettingDecidesFirst) {
  struct TCase {
    const char* Rate;
    int Width, Height;
    const char* Assumed;
  };
  for (const TCase& c :
       {TCase{"25", 720, 576, "PAL"}, TCase{"30000/1001", 720, 480, "NTSC"}, TCase{"24000/1001", 720, 480, "NTSC"}}) {
    TTargetsEngine engine;
    ClearLogLines();
    engine.Set({{"r", c.Rate}, {"target", "dvd"}});
    EXPECT_EQ(engine.Settings().Video.FFrameWidth, c.Width) << c.Rate;
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, c.Height) << c.Rate;
    EXPECT_TRUE(Logged(llVerbose, std::string("Assuming ") + c.Assumed + " for target.")) << c.Rate;
  }
  // 24000/1001 decides NTSC, but the rate of the target is by norm.
  TTargetsEngine engine;
  engine.Set({{"r", "24000/1001"}, {"target", "dvd"}});
  EXPECT_EQ(engine.Settings().Video.FFrameRate.num, 30000);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.den, 1001);
}

TEST_F(Targets, DvdAfterA2997InputIsNtsc) {
  ASSERT_TRUE(E.In(VideoClip(30000, 1001))) << E.LastError();
  ASSERT_EQ(E.Settings().Video.FFrameRate.num, 30000);
  ASSERT_EQ(E.Settings().Video.FFrameRate.den, 1001);
  ClearLogLines();
  E.SetOption("target", "dvd");
  EXPECT_TRUE(Logged(llVerbose, "Assuming NTSC for target."));
  EXPECT_EQ(OutputFormatName(E), "dvd");
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 720);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 480);
  EXPECT_EQ(E.Settings().Video.FFrameRate.num, 30000);
  EXPECT_EQ(E.Settings().Video.FFrameRate.den, 1001);
  EXPECT_EQ(E.Settings().Audio.FAudioSampleRate, 48000);
  EXPECT_EQ(VideoOption(E, "g"), 18);
  // The input gave its own aspect ratio (160x120): no default is assumed.
  EXPECT_FLOAT_EQ(E.Settings().Video.FFrameAspectRatio, 4.0f / 3.0f);
  EXPECT_FALSE(LogContains("for aspect ratio"));

  // Without verbosity the detected norm is not logged.
  TTargetsEngine quiet;
  ASSERT_TRUE(quiet.In(VideoClip(30000, 1001))) << quiet.LastError();
  quiet.FSettings.Run.FVerbose = 0;
  ClearLogLines();
  quiet.SetOption("target", "dvd");
  EXPECT_EQ(quiet.Settings().Video.FFrameHeight, 480);
  EXPECT_FALSE(LogContains("for target"));
}

TEST_F(Targets, TheInputStreamsDecideWhenTheFrameRateSettingDoesNot) {
  // The frame-rate setting no longer says PAL or NTSC; the stream does.
  ASSERT_TRUE(E.In(VideoClip(25, 1))) << E.LastError();
  E.SetOption("r", "10");
  E.SetTarget("vcd", "auto", "ntsc");
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 288);
  EXPECT_EQ(E.Settings().Video.FFrameRate.num, 25);

  // Without a real base frame rate the stream's average frame rate counts;
  // without either, the stream decides nothing.
  TTargetsEngine engine;
  ASSERT_TRUE(engine.In(VideoClip(30000, 1001))) << engine.LastError();
  AVStream* stream = engine.InputFile(0)->streams[0];
  ASSERT_EQ(stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
  stream->r_frame_rate = AVRational{0, 0};
  stream->avg_frame_rate = AVRational{30000, 1001};
  engine.SetOption("r", "10");
  engine.SetTarget("vcd", "auto", "pal");
  EXPECT_EQ(engine.Settings().Video.FFrameHeight, 240);

  stream->avg_frame_rate = AVRational{0, 0};
  engine.SetOption("r", "10");
  engine.SetTarget("vcd", "auto", "pal");
  EXPECT_EQ(engine.Settings().Video.FFrameHeight, 288);
}

TEST_F(Targets, A24FpsInputFallsBackToTheDefaultNorm) {
  const std::string clip = VideoClip(24, 1);
  struct TCase {
    const char* DefaultNorm;
    int Height;
    int RateNum, RateDen;
  };
  for (const TCase& c : {TCase{"ntsc", 480, 30000, 1001}, TCase{"pal", 576, 25, 1}, TCase{"film", 480, 24000, 1001},
                         TCase{"secam", 576, 25, 1}}) {
    TTargetsEngine engine;
    ASSERT_TRUE(engine.In(clip)) << engine.LastError();
    ASSERT_EQ(engine.Settings().Video.FFrameRate.num, 24);
    ClearLogLines();
    engine.SetTarget("dvd", "auto", c.DefaultNorm);
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, c.Height) << c.DefaultNorm;
    EXPECT_EQ(engine.Settings().Video.FFrameRate.num, c.RateNum) << c.DefaultNorm;
    EXPECT_EQ(engine.Settings().Video.FFrameRate.den, c.RateDen) << c.DefaultNorm;
    // FILM is reported as NTSC, whose settings it shares.
    EXPECT_TRUE(Logged(llVerbose, std::string("Assuming ") + (c.Height == 576 ? "PAL" : "NTSC") + " for target."))
        << c.DefaultNorm;
  }
  // The option's default norm is NTSC.
  ASSERT_TRUE(E.In(clip)) << E.LastError();
  E.SetOption("target", "svcd");
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 480);
}

TEST_F(Targets, AGivenNormIsNotDetectedNorLogged) {
  E.Set({{"r", "25"}, {"target", "ntsc-vcd"}});
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 240);
  EXPECT_FALSE(LogContains("for target"));
  // Norm names are exact.
  EXPECT_EQ(RaisedBy([&] { TTargetsEngine().SetTarget("vcd", "PAL", "pal"); }), "frame_rate is invalid.");
}

// ---- The targets ----

// What each target sets; the options given before it show what it keeps
// (an aspect ratio already set) and what it forces (stereo for VCD, two
// channels instead of one for SVCD and DVD, not instead of six).
TEST_F(Targets, TheSettingsOfEachTarget) {
  struct TCase {
    const char* Target;
    TOptionList Before;
    const char *Format, *VideoCodec, *AudioCodec;
    int Width, Height, RateNum, Gop, BitRate, MaxRate, MinRate, BufSize, AudioBitRate, PacketSize;
    const char *MuxRate, *ScanOffset;
    float Preload;
    int SampleRate, Channels;
    float Aspect;
    const char* AspectLog;  // empty: none
  };
  const TCase cases[] = {
      {"pal-vcd",   {},
       "vcd",       "mpeg1video",
       "mp2",       352,
       288,         25,
       15,          1150000,
       1150000,     1150000,
       327680,      224000,
       2324,        "1411200",
       "(none)",    0.44f,
       44100,       2,
       4.0f / 3.0f, "Assuming 4:3 for aspect ratio"},
      {"ntsc-vcd",   {{"ac", "6"}, {"aspect", "16:9"}},
       "vcd",        "mpeg1video",
       "mp2",        352,
       240,          30000,
       18,           1150000,
       1150000,      1150000,
       327680,       224000,
       2324,         "1411200",
       "(none)",     0.44f,
       44100,        2,
       16.0f / 9.0f, ""},
      // The old codec flag is the MPEG-2 video encoder's private option.
      {"pal-svcd",  {{"ac", "1"}},
       "svcd",      "mpeg2video",
       "mp2",       480,
       576,         25,
       15,          2040000,
       2516000,     0,
       1835008,     224000,
       2324,        "(none)",
       "1",         0.5f,
       44100,       2,
       4.0f / 3.0f, "Assuming 4:3 for aspect ratio"},
      {"ntsc-svcd", {{"ac", "6"}},
       "svcd",      "mpeg2video",
       "mp2",       480,
       480,         30000,
       18,          2040000,
       2516000,     0,
       1835008,     224000,
       2324,        "(none)",
       "1",         0.5f,
       44100,       6,
       4.0f / 3.0f, "Assuming 4:3 for aspect ratio"},
      {"pal-dvd",    {{"ac", "1"}},
       "dvd",        "mpeg2video",
       "ac3",        720,
       576,          25,
       15,           6000000,
       9000000,      0,
       1835008,      448000,
       2048,         "10080000",
       "(none)",     0.5f,
       48000,        2,
       16.0f / 9.0f, "Assuming 16:9 for aspect ratio"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Target);
    TTargetsEngine engine;
    ClearLogLines();
    engine.Set(c.Before);
    engine.SetOption("target", c.Target);
    EXPECT_EQ(OutputFormatName(engine), c.Format);
    EXPECT_EQ(engine.Settings().Video.FVideoCodecName, c.VideoCodec);
    EXPECT_EQ(engine.Settings().Audio.FAudioCodecName, c.AudioCodec);
    EXPECT_EQ(engine.Settings().Video.FFrameWidth, c.Width);
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, c.Height);
    EXPECT_EQ(engine.Settings().Video.FFrameRate.num, c.RateNum);
    EXPECT_EQ(engine.Settings().Video.FFrameRate.den, c.RateNum == 25 ? 1 : 1001);
    EXPECT_EQ(VideoOption(engine, "g"), c.Gop);
    EXPECT_EQ(VideoOption(engine, "b"), c.BitRate);
    EXPECT_EQ(VideoOption(engine, "maxrate"), c.MaxRate);
    EXPECT_EQ(VideoOption(engine, "minrate"), c.MinRate);
    EXPECT_EQ(VideoOption(engine, "bufsize"), c.BufSize);
    EXPECT_EQ(IntOption(engine.OptionStore().Codec[AVMEDIA_TYPE_AUDIO], "b"), c.AudioBitRate);
    EXPECT_EQ(IntOption(engine.OptionStore().Format, "packetsize"), c.PacketSize);
    EXPECT_EQ(PrivateOption(engine, "muxrate"), c.MuxRate);
    EXPECT_EQ(PrivateOption(engine, "scan_offset"), c.ScanOffset);
    EXPECT_FLOAT_EQ(engine.Settings().Mux.FMuxPreload, c.Preload);
    EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, c.SampleRate);
    EXPECT_EQ(engine.Settings().Audio.FAudioChannels, c.Channels);
    EXPECT_FLOAT_EQ(engine.Settings().Video.FFrameAspectRatio, c.Aspect);
    if (*c.AspectLog) {
      EXPECT_TRUE(Logged(llInfo, c.AspectLog));
    } else {
      EXPECT_FALSE(LogContains("for aspect ratio"));
    }
  }
}

TEST_F(Targets, DvPixelFormatsByNormAndKind) {
  struct TCase {
    const char* Target;
    AVPixelFormat PixFmt;
    int Height;
    int RateNum;
  };
  for (const TCase& c :
       {TCase{"pal-dv", AV_PIX_FMT_YUV420P, 576, 25}, TCase{"ntsc-dv", AV_PIX_FMT_YUV411P, 480, 30000},
        TCase{"film-dv", AV_PIX_FMT_YUV411P, 480, 24000}, TCase{"pal-dv50", AV_PIX_FMT_YUV422P, 576, 25},
        TCase{"ntsc-dv50", AV_PIX_FMT_YUV422P, 480, 30000}}) {
    TTargetsEngine engine;
    ClearLogLines();
    engine.Set({{"ac", "1"}, {"target", c.Target}});
    EXPECT_EQ(OutputFormatName(engine), "dv") << c.Target;
    EXPECT_EQ(engine.Settings().Video.FFramePixFmt, c.PixFmt) << c.Target;
    EXPECT_EQ(engine.Settings().Video.FFrameWidth, 720) << c.Target;
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, c.Height) << c.Target;
    EXPECT_EQ(engine.Settings().Video.FFrameRate.num, c.RateNum) << c.Target;
    EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 48000) << c.Target;
    EXPECT_EQ(engine.Settings().Audio.FAudioChannels, 2) << c.Target;
    // The format's own codecs, no bit rates, no aspect ratio.
    EXPECT_EQ(engine.Settings().Video.FVideoCodecName, "") << c.Target;
    EXPECT_EQ(engine.Settings().Audio.FAudioCodecName, "") << c.Target;
    EXPECT_TRUE(engine.OptionStore().Names.empty()) << c.Target;
    EXPECT_EQ(engine.Settings().Video.FFrameAspectRatio, 0) << c.Target;
    EXPECT_FALSE(LogContains("for aspect ratio")) << c.Target;
  }
}

TEST_F(Targets, AnUnknownTargetIsRaisedOnceTheNormIsDecided) {
  EXPECT_EQ(RaisedBy([&] { E.SetOption("target", "cd"); }), "frame_rate is invalid.");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("target", "pal-cd"); }), "Unknown target type");
  EXPECT_EQ(RaisedBy([&] { E.SetTarget("VCD", "pal", "pal"); }), "Unknown target type");
  E.SetOption("r", "25");
  ClearLogLines();
  EXPECT_EQ(RaisedBy([&] { E.SetOption("target", "cd"); }), "Unknown target type");
  EXPECT_TRUE(Logged(llVerbose, "Assuming PAL for target."));
  EXPECT_EQ(E.Settings().Mux.FOutputFormat, nullptr);
}

// ---- The old option names ----

TEST(TargetsOldOptions, RetiredNamesAndValues) {
  using E = TTargetsEngine;
  EXPECT_EQ(E::TranslateOldOption("cqp", "0"), (TOptionList{{"qp", "0"}}));
  EXPECT_EQ(E::TranslateOldOption("directpred", "0"), (TOptionList{{"direct-pred", "none"}}));
  EXPECT_EQ(E::TranslateOldOption("directpred", "1"), (TOptionList{{"direct-pred", "spatial"}}));
  EXPECT_EQ(E::TranslateOldOption("directpred", "2"), (TOptionList{{"direct-pred", "temporal"}}));
  EXPECT_EQ(E::TranslateOldOption("directpred", "3"), (TOptionList{{"direct-pred", "auto"}}));
  EXPECT_EQ(E::TranslateOldOption("directpred", "7"), (TOptionList{{"directpred", "7"}}));
  EXPECT_EQ(E::TranslateOldOption("me_method", "umh"), (TOptionList{{"motion-est", "umh"}}));
  EXPECT_EQ(E::TranslateOldOption("me_method", "epzs"), (TOptionList{{"motion-est", "dia"}}));
  EXPECT_EQ(E::TranslateOldOption("me_method", "full"), (TOptionList{{"motion-est", "esa"}}));
  EXPECT_EQ(E::TranslateOldOption("me_method", "x1"), (TOptionList{{"motion-est", "hex"}}));
  EXPECT_EQ(E::TranslateOldOption("me_method", "1"), (TOptionList{{"me_method", "1"}}));
  // Options that kept their names pass as they are.
  EXPECT_EQ(E::TranslateOldOption("subq", "7"), (TOptionList{{"subq", "7"}}));
  EXPECT_EQ(E::TranslateOldOption("cmp", "+chroma"), (TOptionList{{"cmp", "+chroma"}}));
  EXPECT_EQ(E::TranslateOldOption("flags", "+loop"), (TOptionList{{"flags", "+loop"}}));
}

TEST(TargetsOldOptions, RetiredFlagsBecomeOptionsOfTheirOwn) {
  using E = TTargetsEngine;
  EXPECT_EQ(
      E::TranslateOldOption("flags2", "+mixed_refs+wpred+dct8x8+fastpskip"),
      (TOptionList{{"mixed-refs", "1"}, {"weightb", "1"}, {"weightp", "smart"}, {"8x8dct", "1"}, {"fast-pskip", "1"}}));
  EXPECT_EQ(E::TranslateOldOption("flags2", "-wpred-dct8x8"),
            (TOptionList{{"weightb", "0"}, {"weightp", "none"}, {"8x8dct", "0"}}));
  EXPECT_EQ(E::TranslateOldOption("flags2", "+bpyramid-mbtree"),
            (TOptionList{{"b-pyramid", "normal"}, {"mbtree", "0"}}));
  // Flags that still exist stay flags of the codec context.
  EXPECT_EQ(E::TranslateOldOption("flags2", "+fast-mixed_refs+local_header"),
            (TOptionList{{"flags2", "+fast+local_header"}, {"mixed-refs", "0"}}));
  EXPECT_EQ(E::TranslateOldOption("flags2", "+fast"), (TOptionList{{"flags2", "+fast"}}));
  EXPECT_EQ(E::TranslateOldOption("flags", "+scan_offset"), (TOptionList{{"scan_offset", "1"}}));
  EXPECT_EQ(E::TranslateOldOption("flags", "+loop+scan_offset"),
            (TOptionList{{"flags", "+loop"}, {"scan_offset", "1"}}));
}

TEST(TargetsOldOptions, PartitionFlagsBecomeLibx264sList) {
  using E = TTargetsEngine;
  EXPECT_EQ(E::TranslateOldOption("partitions", "+parti8x8+parti4x4+partp8x8+partb8x8"),
            (TOptionList{{"partitions", "i8x8,i4x4,p8x8,b8x8"}}));
  // Additions build the list from nothing, in libx264's order.
  EXPECT_EQ(E::TranslateOldOption("partitions", "+partb8x8+parti4x4"), (TOptionList{{"partitions", "i4x4,b8x8"}}));
  EXPECT_EQ(E::TranslateOldOption("partitions", "+partp4x4+partp8x8-partp4x4"), (TOptionList{{"partitions", "p8x8"}}));
  // Removals first take away from the encoder's default set.
  EXPECT_EQ(E::TranslateOldOption("partitions", "-partb8x8"), (TOptionList{{"partitions", "i8x8,i4x4,p8x8"}}));
  EXPECT_EQ(E::TranslateOldOption("partitions", "-parti8x8-parti4x4-partp8x8-partb8x8"),
            (TOptionList{{"partitions", "none"}}));
  EXPECT_EQ(E::TranslateOldOption("partitions", "-partb8x8+partp4x4"),
            (TOptionList{{"partitions", "i8x8,i4x4,p8x8,p4x4"}}));
  // Lists of the new kind are left alone.
  EXPECT_EQ(E::TranslateOldOption("partitions", "p8x8,b8x8"), (TOptionList{{"partitions", "p8x8,b8x8"}}));
  EXPECT_EQ(E::TranslateOldOption("partitions", "all"), (TOptionList{{"partitions", "all"}}));
}

// ---- Presets ----

// The built-in names, in table order.
const char* const kPresetNames[] = {
    "libx264-baseline",
    "libx264-default",
    "libx264-fastfirstpass",
    "libx264-hq",
    "libx264-ipod320",
    "libx264-ipod640",
    "libx264-lossless_fast",
    "libx264-lossless_max",
    "libx264-lossless_medium",
    "libx264-lossless_slow",
    "libx264-lossless_slower",
    "libx264-lossless_ultrafast",
    "libx264-main",
    "libx264-max",
    "libx264-normal",
    "libx264-slowfirstpass",
};

TEST_F(Targets, APresetNameComposedWithTheVideoCodec) {
  E.Set({{"vcodec", "libx264"}, {"vpre", "hq"}});
  EXPECT_EQ(VideoOption(E, "subq"), 8);
  EXPECT_EQ(VideoOption(E, "refs"), 4);
  EXPECT_EQ(VideoOption(E, "bf"), 3);
  EXPECT_EQ(VideoOption(E, "g"), 250);
  EXPECT_EQ(PrivateOption(E, "motion-est"), "umh");
  EXPECT_EQ(PrivateOption(E, "b_strategy"), "2");
  EXPECT_EQ(PrivateOption(E, "direct-pred"), "auto");
  EXPECT_EQ(PrivateOption(E, "partitions"), "i8x8,i4x4,p8x8,b8x8");
  EXPECT_EQ(E.Settings().Video.FVideoCodecName, "libx264");
}

TEST_F(Targets, ADirectNameAppliesWhateverTheCodec) {
  E.Set({{"vcodec", "mpeg4"}, {"vpre", "libx264-default"}});
  EXPECT_EQ(VideoOption(E, "subq"), 7);
  EXPECT_EQ(PrivateOption(E, "direct-pred"), "spatial");
  // Without a codec name too, and in any letter case.
  TTargetsEngine bare;
  bare.SetOption("vpre", "LibX264-Main");
  EXPECT_EQ(PrivateOption(bare, "8x8dct"), "0");
  bare.Set({{"vcodec", "libx264"}, {"vpre", "BASELINE"}});
  EXPECT_EQ(PrivateOption(bare, "coder"), "0");
  EXPECT_EQ(VideoOption(bare, "bf"), 0);
}

TEST_F(Targets, TheCodecNameOfAnotherKindIsTheFallback) {
  // "vpre" without a video codec name falls through to the subtitle codec.
  E.Set({{"scodec", "libx264"}, {"vpre", "ipod320"}});
  EXPECT_EQ(VideoOption(E, "level"), 13);
  // "apre" takes the audio codec name when there is one.
  E.SetOption("acodec", "aac");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("apre", "ipod320"); }), "Preset \"aac-ipod320\" not found");
  TTargetsEngine none;
  EXPECT_EQ(RaisedBy([&] { none.SetOption("vpre", "hq"); }), "Preset \"hq\" not found");
  EXPECT_EQ(RaisedBy([&] { none.SetOption("spre", "libx264-fast"); }), "Preset \"libx264-fast\" not found");
  none.SetOption("vcodec", "libx264");
  EXPECT_EQ(RaisedBy([&] { none.SetOption("vpre", "slow"); }), "Preset \"libx264-slow\" not found");
  // Nothing happens without a kind or a value.
  none.ApplyPreset("", "hq");
  none.ApplyPreset("vpre", "");
  EXPECT_TRUE(none.OptionStore().Names.empty());
}

TEST_F(Targets, APresetFile) {
  TTempFolder folder;
  const std::string path = folder / "mine.preset";
  WriteText(path, "\r\n  vcodec=libx264\r\ng=33\r\n\r\n bf = 2 \r\nacodec=copy\rflags2=+wpred\r\n");
  E.SetOption("vpre", path);
  EXPECT_EQ(E.Settings().Video.FVideoCodecName, "libx264");
  EXPECT_EQ(E.Settings().Audio.FAudioStreamCopy, 1);
  EXPECT_EQ(VideoOption(E, "g"), 33);
  EXPECT_EQ(VideoOption(E, "bf"), 2);
  // Files are in the old option names as well.
  EXPECT_EQ(PrivateOption(E, "weightp"), "smart");
}

TEST_F(Targets, AnEmptyPresetFileIsNotFound) {
  TTempFolder folder;
  const std::string path = folder / "empty.preset";
  WriteText(path, "");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("vpre", path); }), "Preset \"" + path + "\" not found");
  E.SetOption("vcodec", "libx264");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("vpre", path); }), "Preset \"libx264-" + path + "\" not found");
  // A folder is no file either.
  TTargetsEngine engine;
  EXPECT_EQ(RaisedBy([&] { engine.SetOption("vpre", folder / ""); }), "Preset \"" + (folder / "") + "\" not found");
}

TEST_F(Targets, PresetLineSyntax) {
  TTempFolder folder;
  const std::string path = folder / "bad.preset";
  for (const char* line : {"justaword", "=5", "g="}) {
    WriteText(path, std::string("g=12\n") + line + "\nbf=4\n");
    TTargetsEngine engine;
    EXPECT_EQ(RaisedBy([&] { engine.SetOption("vpre", path); }), path + ": Invalid syntax: \"" + line + "\"");
    // The lines before stay applied, the ones after are not.
    EXPECT_EQ(VideoOption(engine, "g"), 12) << line;
    EXPECT_NE(VideoOption(engine, "bf"), 4) << line;
  }
}

TEST_F(Targets, PresetLinesTheLibrariesRefuse) {
  TTempFolder folder;
  const std::string path = folder / "bad.preset";
  WriteText(path, "g=12\nno_such_option = 1\n");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("vpre", path); }),
            path + ": Invalid option or argument: \"no_such_option = 1\", parsed as \"no_such_option \" = \" 1\"");
  EXPECT_EQ(VideoOption(E, "g"), 12);
  WriteText(path, "bf=many\n");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("vpre", path); }),
            path + ": Invalid option or argument: \"bf=many\", parsed as \"bf\" = \"many\"");
}

// What a libx264 encoder opened with an engine's stored options reports.
struct TX264Open {
  int Result = -1;
  std::vector<std::string> Unused;              // dictionary entries libx264 did not take
  std::map<std::string, std::string> Settings;  // x264's own "options:" of the first packet
  int Profile = -1, Level = -1;                 // of the sequence parameter set
};

// Opens libx264 as an output stream's encoder is opened: the stored generic
// options with the video|encoding mask, the private ones as the open
// dictionary. Then encodes one frame to read back what x264 was set to.
TX264Open OpenX264(TCustomFFmpeg& E) {
  TX264Open open;
  const AVCodec* codec = lib::avcodec_find_encoder_by_name("libx264");
  if (!codec) return open;
  AVCodecContext* context = lib::avcodec_alloc_context3(codec);
  context->width = 64;
  context->height = 64;
  context->time_base = AVRational{1, 25};
  context->framerate = AVRational{25, 1};
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  ApplySetOptions(E.OptionStore(), E.OptionStore().Codec[AVMEDIA_TYPE_VIDEO], context,
                  AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  AVDictionary* options = nullptr;
  for (const TPrivateOption& option : E.Settings().Run.FPrivateOptions)
    lib::av_dict_set(&options, option.Name.c_str(), option.Value.c_str(), 0);
  {
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    open.Result = lib::avcodec_open2(context, codec, &options);
  }
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = lib::av_dict_get(options, "", entry, AV_DICT_IGNORE_SUFFIX)))
    open.Unused.push_back(std::string(entry->key) + "=" + entry->value);
  lib::av_dict_free(&options);

  if (open.Result >= 0) {
    AVFrame* frame = lib::av_frame_alloc();
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    lib::av_frame_get_buffer(frame, 0);
    for (int plane = 0; plane < 3; ++plane)
      std::memset(frame->data[plane], 100, static_cast<size_t>(frame->linesize[plane]) * (plane ? 32 : 64));
    frame->pts = 0;
    lib::avcodec_send_frame(context, frame);
    lib::avcodec_send_frame(context, nullptr);
    lib::av_frame_free(&frame);
    AVPacket* packet = lib::av_packet_alloc();
    while (lib::avcodec_receive_packet(context, packet) == 0) {
      const std::string data(reinterpret_cast<const char*>(packet->data), packet->size);
      size_t at = data.find("options: ");
      if (open.Settings.empty() && at != std::string::npos) {
        const std::string text = data.substr(at + 9, data.find('\0', at) - at - 9);
        size_t pos = 0;
        while (pos < text.size()) {
          size_t end = text.find(' ', pos);
          if (end == std::string::npos) end = text.size();
          const std::string word = text.substr(pos, end - pos);
          const size_t equal = word.find('=');
          if (equal != std::string::npos) open.Settings[word.substr(0, equal)] = word.substr(equal + 1);
          pos = end + 1;
        }
      }
      for (size_t i = 0; open.Profile < 0 && i + 6 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 7) {
          open.Profile = static_cast<unsigned char>(data[i + 4]);
          open.Level = static_cast<unsigned char>(data[i + 6]);
        }
      lib::av_packet_unref(packet);
    }
    lib::av_packet_free(&packet);
  }
  std::lock_guard<std::recursive_mutex> lock(CodecLock());
  lib::avcodec_free_context(&context);
  return open;
}

std::string Joined(const std::vector<std::string>& AWords) {
  std::string text;
  for (const std::string& word : AWords) text += word + " ";
  return text;
}

TEST_F(Targets, EveryBuiltInPresetConfiguresAWorkingLibx264Encoder) {
  ASSERT_NE(lib::avcodec_find_encoder_by_name("libx264"), nullptr);
  // The settings x264 reports that each preset must have made.
  const std::map<std::string, std::map<std::string, std::string>> expected = {
      {"libx264-baseline", {{"cabac", "0"}, {"bframes", "0"}, {"weightp", "0"}, {"8x8dct", "0"}}},
      {"libx264-default",
       {{"cabac", "1"},      {"ref", "3"},       {"analyse", "0x3:0x113"}, {"me", "hex"},       {"subme", "7"},
        {"mixed_ref", "1"},  {"me_range", "16"}, {"chroma_me", "1"},       {"trellis", "1"},    {"8x8dct", "1"},
        {"fast_pskip", "1"}, {"bframes", "3"},   {"b_adapt", "1"},         {"direct", "1"},     {"weightb", "1"},
        {"weightp", "2"},    {"keyint", "250"},  {"keyint_min", "25"},     {"scenecut", "40"},  {"qcomp", "0.60"},
        {"qpmin", "10"},     {"qpmax", "51"},    {"qpstep", "4"},          {"ip_ratio", "1.41"}}},
      {"libx264-fastfirstpass",
       {{"analyse", "0x1:0"},
        {"me", "dia"},
        {"subme", "2"},
        {"ref", "1"},
        {"trellis", "0"},
        {"8x8dct", "0"},
        {"direct", "3"}}},
      {"libx264-hq", {{"me", "umh"}, {"subme", "8"}, {"ref", "4"}, {"b_adapt", "2"}, {"direct", "3"}}},
      {"libx264-ipod320",
       {{"cabac", "0"}, {"bframes", "0"}, {"weightp", "0"}, {"vbv_maxrate", "768"}, {"vbv_bufsize", "3000"}}},
      {"libx264-ipod640", {{"ref", "1"}, {"vbv_maxrate", "10000"}, {"vbv_bufsize", "10000"}}},
      {"libx264-lossless_fast",
       {{"rc", "cqp"}, {"qp", "0"}, {"analyse", "0x1:0x11"}, {"me", "hex"}, {"subme", "3"}, {"ref", "2"}}},
      {"libx264-lossless_max", {{"rc", "cqp"}, {"qp", "0"}, {"me", "esa"}, {"ref", "16"}, {"fast_pskip", "0"}}},
      {"libx264-lossless_medium", {{"rc", "cqp"}, {"qp", "0"}, {"subme", "5"}, {"analyse", "0x3:0x113"}}},
      {"libx264-lossless_slow", {{"rc", "cqp"}, {"qp", "0"}, {"me", "umh"}, {"subme", "6"}, {"ref", "3"}}},
      {"libx264-lossless_slower",
       {{"rc", "cqp"}, {"qp", "0"}, {"analyse", "0x3:0x133"}, {"me", "umh"}, {"subme", "8"}, {"ref", "4"}}},
      {"libx264-lossless_ultrafast",
       {{"rc", "cqp"}, {"qp", "0"}, {"analyse", "0x1:0"}, {"me", "dia"}, {"subme", "0"}, {"weightp", "0"}}},
      {"libx264-main", {{"8x8dct", "0"}}},
      {"libx264-max",
       {{"me", "tesa"},
        {"subme", "10"},
        {"ref", "16"},
        {"bframes", "16"},
        {"trellis", "2"},
        {"fast_pskip", "0"},
        {"analyse", "0x3:0x133"}}},
      {"libx264-normal", {{"subme", "6"}, {"ref", "2"}, {"trellis", "0"}, {"direct", "3"}}},
      {"libx264-slowfirstpass", {{"subme", "7"}, {"b_adapt", "2"}, {"ref", "2"}, {"trellis", "0"}}},
  };
  // Profiles (profile_idc) and levels (level_idc) of the sequence header.
  const std::map<std::string, int> profiles = {{"libx264-baseline", 66},         {"libx264-default", 100},
                                               {"libx264-ipod320", 66},          {"libx264-ipod640", 66},
                                               {"libx264-lossless_medium", 244}, {"libx264-main", 77}};
  const std::map<std::string, int> levels = {{"libx264-ipod320", 13}, {"libx264-ipod640", 30}};

  for (const char* name : kPresetNames) {
    SCOPED_TRACE(name);
    TTargetsEngine engine;
    engine.SetOption("vcodec", "libx264");
    ASSERT_EQ(RaisedBy([&] { engine.SetOption("vpre", name + std::strlen("libx264-")); }), "(nothing raised)");
    const TX264Open open = OpenX264(engine);
    ASSERT_GE(open.Result, 0);
    EXPECT_TRUE(open.Unused.empty()) << Joined(open.Unused);
    ASSERT_FALSE(open.Settings.empty());
    for (const auto& [key, value] : expected.at(name)) {
      auto it = open.Settings.find(key);
      if (it == open.Settings.end()) {
        ADD_FAILURE() << "x264 reports no " << key;
        continue;
      }
      EXPECT_EQ(it->second, value) << key;
    }
    if (profiles.count(name)) {
      EXPECT_EQ(open.Profile, profiles.at(name));
    }
    if (levels.count(name)) {
      EXPECT_EQ(open.Level, levels.at(name));
    }
  }
}

TEST_F(Targets, PresetsAddUpAsTheyAreGiven) {
  // The old pairing: the default preset, then a profile preset on top.
  E.Set({{"vcodec", "libx264"}, {"vpre", "default"}, {"vpre", "baseline"}});
  const TX264Open open = OpenX264(E);
  ASSERT_GE(open.Result, 0);
  EXPECT_TRUE(open.Unused.empty()) << Joined(open.Unused);
  EXPECT_EQ(open.Profile, 66);
  EXPECT_EQ(open.Settings.at("subme"), "7");  // from the default preset
  EXPECT_EQ(open.Settings.at("cabac"), "0");  // from the baseline preset
}

// ---- Bitstream filters ----

std::vector<std::string> FilterNames(const TBitstreamFilterChain& AChain) {
  std::vector<std::string> names;
  for (const AVBSFContext* context : AChain.Filters) names.push_back(context->filter->name);
  return names;
}

TEST_F(Targets, BitstreamFiltersThatAreNotGiven) {
  E.Set({{"vbsf", "=x"}, {"vbsf", ""}});
  E.SetBitstreamFilter("", "null");
  EXPECT_TRUE(E.Settings().Video.FVideoBitstreamFilters.Empty());
  EXPECT_TRUE(E.Settings().Audio.FAudioBitstreamFilters.Empty());
  EXPECT_TRUE(E.Settings().Subtitle.FSubtitleBitstreamFilters.Empty());
}

TEST_F(Targets, UnknownBitstreamFilters) {
  EXPECT_EQ(RaisedBy([&] { E.SetOption("vbsf", "no_such_filter"); }), "Unknown bitstream filter no_such_filter");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("absf", " no_such_filter=a "); }), "Unknown bitstream filter no_such_filter=a");
  EXPECT_TRUE(E.Settings().Video.FVideoBitstreamFilters.Empty());
  EXPECT_TRUE(E.Settings().Audio.FAudioBitstreamFilters.Empty());
}

TEST_F(Targets, BitstreamFiltersChainInOrderPerKind) {
  E.Set({{"absf", "aac_adtstoasc"}, {"absf", "null"}});
  EXPECT_EQ(FilterNames(E.Settings().Audio.FAudioBitstreamFilters),
            (std::vector<std::string>{"aac_adtstoasc", "null"}));
  // The name ends at the first "=".
  E.SetOption("vbsf", "h264_mp4toannexb=opt=more");
  EXPECT_EQ(FilterNames(E.Settings().Video.FVideoBitstreamFilters), (std::vector<std::string>{"h264_mp4toannexb"}));
  // "s" and any other kind letter go to subtitles.
  E.SetOption("sbsf", "null");
  E.SetBitstreamFilter("xbsf", "noise");
  EXPECT_EQ(FilterNames(E.Settings().Subtitle.FSubtitleBitstreamFilters), (std::vector<std::string>{"null", "noise"}));
  EXPECT_EQ(E.Settings().Audio.FAudioBitstreamFilters.Filters.size(), 2u);
  // Not initialised yet: the stream's parameters are set by the run.
  EXPECT_EQ(E.Settings().Video.FVideoBitstreamFilters.Filters[0]->par_in->codec_id, AV_CODEC_ID_NONE);
}

// ---- The video statistics file ----

TEST_F(Targets, VideoStatisticsFileName) {
  auto clock = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H%M%S", &local);
    return std::string(text);
  };
  const std::string before = clock();
  E.SetOption("vstats", "");
  const std::string after = clock();
  const std::string folder = ToLocal8Bit(ModuleDir());
  const std::string& name = E.Settings().Run.FVstatsFileName;
  ASSERT_EQ(name.size(), folder.size() + std::strlen("vstats_hhnnss.log")) << name;
  EXPECT_EQ(name.substr(0, folder.size() + 7), folder + "vstats_");
  EXPECT_EQ(name.substr(name.size() - 4), ".log");
  const std::string stamp = name.substr(folder.size() + 7, 6);
  EXPECT_TRUE(stamp == before || stamp == after) << stamp;
  E.SetVideoStatistics(false);
  EXPECT_EQ(E.Settings().Run.FVstatsFileName, "");
}

}  // namespace
