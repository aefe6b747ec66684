// The option table and dispatcher: the named options, the typed setters,
// their checks and messages, and the pass-through to the libraries' option
// contexts and to the private options of muxers and encoders.
#include <dlfcn.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/FrameHook.h"
#include "runtime/lib/AVFormat.h"
#include "tests/engine/InspectableEngine.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

constexpr const char* kVerticalCrop =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
constexpr const char* kHorizontalCrop =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

using transcodetest::RaisedBy;

// Gives the tests the engine's protected helpers.
class TOptionsEngine : public TInspectableEngine {
 public:
  using TCustomFFmpeg::SplitTargetText;
};

class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    E.Prepare();
    ClearLogLines();
  }

  void Set(const std::string& AName, const std::string& AValue) { E.SetOption(AName, AValue); }

  // The message of the FFmpegException that the option raises.
  std::string Raised(const std::string& AName, const std::string& AValue) {
    return RaisedBy([&] { E.SetOption(AName, AValue); });
  }

  int64_t CodecOption(int AMediaType, const char* AName) const {
    int64_t value = -1;
    EXPECT_GE(lib::av_opt_get_int(E.OptionStore().Codec[AMediaType], AName, 0, &value), 0) << AName;
    return value;
  }

  std::string HookModule(const char* ABaseName) const { return SystemPath(ModuleDir()) + ABaseName; }

  TOptionsEngine E;
};

// ---- Defaults ----

// Every setting of the configuration equals a new instance's.
void ExpectLikeNew(const TInspectableEngine& E) {
  const TInspectableEngine fresh;
  // clang-format off
#define SAME(field) EXPECT_EQ(E.field, fresh.field) << #field;
#define SAME_SETTING(part, field) EXPECT_EQ(E.Settings().part.field, fresh.Settings().part.field) << #field;
  SAME(FInputFileCount) SAME(FOutputFileCount) SAME(FStreamMapCount) SAME(FMetaDataMapCount) SAME(FHookRangeIndex)
  SAME(FHookRangeCount)
  SAME_SETTING(Mux, FInputFormat) SAME_SETTING(Mux, FOutputFormat) SAME_SETTING(Mux, FStartTime)
  SAME_SETTING(Mux, FInputTsOffset) SAME_SETTING(Mux, FRecordingTime) SAME_SETTING(Mux, FRecordingTimestamp)
  SAME_SETTING(Mux, FLoopInput) SAME_SETTING(Mux, FLoopOutput) SAME_SETTING(Mux, FMuxPreload)
  SAME_SETTING(Mux, FMuxMaxDelay) SAME_SETTING(Mux, FLimitFileSize) SAME_SETTING(Mux, FProgramId)
  SAME_SETTING(Video, FFrameWidth) SAME_SETTING(Video, FFrameHeight) SAME_SETTING(Video, FFrameAspectRatio)
  SAME_SETTING(Video, FFramePixFmt) SAME_SETTING(Video, FFrameRate.num) SAME_SETTING(Video, FFrameRate.den)
  SAME_SETTING(Video, FFrameTopBand) SAME_SETTING(Video, FFrameBottomBand) SAME_SETTING(Video, FFrameLeftBand)
  SAME_SETTING(Video, FFrameRightBand) SAME_SETTING(Video, FFramePadTop) SAME_SETTING(Video, FFramePadBottom)
  SAME_SETTING(Video, FFramePadLeft) SAME_SETTING(Video, FFramePadRight) SAME_SETTING(Video, FPadColor[0])
  SAME_SETTING(Video, FPadColor[1]) SAME_SETTING(Video, FPadColor[2]) SAME_SETTING(Video, FMaxFrames[0])
  SAME_SETTING(Video, FMaxFrames[1]) SAME_SETTING(Video, FMaxFrames[2]) SAME_SETTING(Video, FMaxFrames[3])
  SAME_SETTING(Video, FVideoQScale) SAME_SETTING(Video, FIntraMatrix) SAME_SETTING(Video, FInterMatrix)
  SAME_SETTING(Video, FVideoRcOverride) SAME_SETTING(Video, FVideoDisable) SAME_SETTING(Video, FVideoDiscard)
  SAME_SETTING(Video, FVideoCodecName) SAME_SETTING(Video, FVideoStreamCopy) SAME_SETTING(Video, FVideoCodecTag)
  SAME_SETTING(Video, FSameQuality) SAME_SETTING(Video, FDoDeinterlace) SAME_SETTING(Video, FIntraOnly)
  SAME_SETTING(Video, FQpHist) SAME_SETTING(Video, FForceFps) SAME_SETTING(Video, FTopFieldFirst)
  SAME_SETTING(Video, FMeThreshold) SAME_SETTING(Video, FIntraDcPrecision) SAME_SETTING(Video, FVideoFilters)
  SAME_SETTING(Video, FUseFilters) SAME_SETTING(Video, FVideoChannel) SAME_SETTING(Video, FVideoStandard)
  SAME_SETTING(Video, FVideoGlobalHeader) SAME_SETTING(Video, FDoPass) SAME_SETTING(Video, FPassLogFilePrefix)
  SAME_SETTING(Audio, FAudioSampleRate) SAME_SETTING(Audio, FAudioChannels) SAME_SETTING(Audio, FChannelLayout)
  SAME_SETTING(Audio, FAudioSampleFmt) SAME_SETTING(Audio, FAudioQScale) SAME_SETTING(Audio, FAudioDisable)
  SAME_SETTING(Audio, FAudioCodecName) SAME_SETTING(Audio, FAudioStreamCopy) SAME_SETTING(Audio, FAudioCodecTag)
  SAME_SETTING(Audio, FAudioLanguage) SAME_SETTING(Audio, FAudioVolume)
  SAME_SETTING(Subtitle, FSubtitleDisable) SAME_SETTING(Subtitle, FSubtitleCodecName)
  SAME_SETTING(Subtitle, FSubtitleStreamCopy) SAME_SETTING(Subtitle, FSubtitleCodecTag)
  SAME_SETTING(Subtitle, FSubtitleLanguage)
  SAME_SETTING(Run, FVideoSyncMethod) SAME_SETTING(Run, FAudioSyncMethod) SAME_SETTING(Run, FAudioDriftThreshold)
  SAME_SETTING(Run, FDtsDeltaThreshold) SAME_SETTING(Run, FCopyTs) SAME_SETTING(Run, FShortest)
  SAME_SETTING(Run, FInputSync) SAME_SETTING(Run, FRateEmu) SAME_SETTING(Run, FExitOnError)
  SAME_SETTING(Run, FCopyInitialNonKeyframes) SAME_SETTING(Run, FDoHexDump) SAME_SETTING(Run, FDoPktDump)
  SAME_SETTING(Run, FDoPsnr) SAME_SETTING(Run, FVstatsFileName) SAME_SETTING(Run, FVerbose)
  SAME_SETTING(Run, FThreadCount) SAME_SETTING(Run, FSwsFlags) SAME_SETTING(Run, FPgmyuvCompat)
  SAME_SETTING(Run, FUsingVhook) SAME_SETTING(Run, FHookRanges.size()) SAME_SETTING(Run, FPrivateOptions.size())
  SAME_SETTING(Mux, FInputTsScale)
  // clang-format on
#undef SAME_SETTING
#undef SAME
}

TEST_F(Options, DefaultsOfANewAndOfAPreparedEngine) {
  // The values a new instance starts with that mean something: no limit
  // of time or frames, automatic video sync, unity volume, black padding,
  // 44.1 kHz stereo, bicubic scaling, one thread, normal verbosity.
  const TCustomFFmpeg fresh;
  EXPECT_EQ(fresh.Settings().Mux.FRecordingTime, INT64_MAX);
  for (int max : fresh.Settings().Video.FMaxFrames) EXPECT_EQ(max, 2147483647);
  EXPECT_EQ(fresh.Settings().Mux.FLoopOutput, -1);
  EXPECT_FLOAT_EQ(fresh.Settings().Mux.FMuxPreload, 0.5f);
  EXPECT_FLOAT_EQ(fresh.Settings().Mux.FMuxMaxDelay, 0.7f);
  EXPECT_EQ(fresh.Settings().Video.FFramePixFmt, -1);
  EXPECT_EQ(fresh.Settings().Video.FPadColor[0], 16);
  EXPECT_EQ(fresh.Settings().Video.FPadColor[1], 128);
  EXPECT_EQ(fresh.Settings().Video.FPadColor[2], 128);
  EXPECT_EQ(fresh.Settings().Video.FTopFieldFirst, -1);
  EXPECT_EQ(fresh.Settings().Video.FIntraDcPrecision, 8);
  EXPECT_EQ(fresh.Settings().Audio.FAudioSampleRate, 44100);
  EXPECT_EQ(fresh.Settings().Audio.FAudioChannels, 2);
  EXPECT_EQ(fresh.Settings().Audio.FAudioSampleFmt, -1);
  EXPECT_FLOAT_EQ(fresh.Settings().Audio.FAudioQScale, -99999.0f);
  EXPECT_EQ(fresh.Settings().Audio.FAudioVolume, 256);
  EXPECT_EQ(fresh.Settings().Run.FVideoSyncMethod, -1);
  EXPECT_EQ(fresh.Settings().Run.FAudioSyncMethod, 0);
  EXPECT_FLOAT_EQ(fresh.Settings().Run.FAudioDriftThreshold, 0.1f);
  EXPECT_FLOAT_EQ(fresh.Settings().Run.FDtsDeltaThreshold, 10.0f);
  EXPECT_EQ(fresh.Settings().Run.FVerbose, 1);
  EXPECT_EQ(fresh.Settings().Run.FThreadCount, 1);
  EXPECT_EQ(fresh.Settings().Run.FSwsFlags, 4);
  {
    SCOPED_TRACE("freshly prepared");
    ExpectLikeNew(E);
  }

  // Change much of the configuration, then prepare again.
  const std::vector<std::pair<std::string, std::string>> options = {{"map", "0.1"},
                                                                    {"map_meta_data", "0:0"},
                                                                    {"itsscale", "1:2.0"},
                                                                    {"f", "avi"},
                                                                    {"ss", "5"},
                                                                    {"itsoffset", "1"},
                                                                    {"t", "9"},
                                                                    {"timestamp", "2010-01-01T00:00:00Z"},
                                                                    {"loop_input", ""},
                                                                    {"loop_output", "3"},
                                                                    {"muxpreload", "0.9"},
                                                                    {"muxdelay", "0.1"},
                                                                    {"fs", "100"},
                                                                    {"programid", "4"},
                                                                    {"s", "640x480"},
                                                                    {"croptop", "2"},
                                                                    {"cropleft", "2"},
                                                                    {"padtop", "2"},
                                                                    {"padright", "2"},
                                                                    {"aspect", "4:3"},
                                                                    {"pix_fmt", "yuv422p"},
                                                                    {"r", "25"},
                                                                    {"padcolor", "255"},
                                                                    {"vframes", "9"},
                                                                    {"aframes", "9"},
                                                                    {"dframes", "9"},
                                                                    {"qscale", "3"},
                                                                    {"intra_matrix", std::string(63, ',')},
                                                                    {"inter_matrix", std::string(63, ',')},
                                                                    {"rc_override", "x"},
                                                                    {"vn", ""},
                                                                    {"vdt", "1"},
                                                                    {"vcodec", "copy"},
                                                                    {"acodec", "copy"},
                                                                    {"scodec", "copy"},
                                                                    {"vtag", "XVID"},
                                                                    {"atag", "abcd"},
                                                                    {"stag", "abcd"},
                                                                    {"sameq", ""},
                                                                    {"deinterlace", ""},
                                                                    {"intra", ""},
                                                                    {"qphist", ""},
                                                                    {"force_fps", ""},
                                                                    {"top", "1"},
                                                                    {"me_threshold", "1"},
                                                                    {"dc", "9"},
                                                                    {"vfilters", "null"},
                                                                    {"vc", "1"},
                                                                    {"tvstd", "pal"},
                                                                    {"vglobal", "1"},
                                                                    {"pass", "1"},
                                                                    {"passlogfile", "p"},
                                                                    {"ar", "8000"},
                                                                    {"ac", "1"},
                                                                    {"sample_fmt", "s16"},
                                                                    {"aq", "1"},
                                                                    {"an", ""},
                                                                    {"alang", "eng"},
                                                                    {"vol", "100"},
                                                                    {"sn", ""},
                                                                    {"slang", "eng"},
                                                                    {"vsync", "1"},
                                                                    {"async", "1"},
                                                                    {"adrift_threshold", "1"},
                                                                    {"dts_delta_threshold", "1"},
                                                                    {"copyts", ""},
                                                                    {"shortest", ""},
                                                                    {"isync", ""},
                                                                    {"re", ""},
                                                                    {"xerror", ""},
                                                                    {"copyinkf", "1"},
                                                                    {"hex", ""},
                                                                    {"dump", ""},
                                                                    {"psnr", ""},
                                                                    {"vstats_file", "v.log"},
                                                                    {"v", "0"},
                                                                    {"f", "pgmyuv"},
                                                                    {"muxrate", "1411200"}};
  for (const auto& [name, value] : options) ASSERT_NO_THROW(Set(name, value)) << name;
  E.SetHookRanges({{0, 1}});
  // Not configuration: kept by a new preparation.
  E.AddMetadata("title", "kept");
  E.FInputCodecCount = 2;
  E.FOutputCodecCount = 3;

  E.Prepare();
  {
    SCOPED_TRACE("prepared again");
    ExpectLikeNew(E);
  }
  ASSERT_EQ(E.Settings().Mux.FMetadata.size(), 1u);
  EXPECT_EQ(E.Settings().Mux.FMetadata[0].second, "kept");
  EXPECT_EQ(E.FInputCodecCount, 2);
  EXPECT_EQ(E.FOutputCodecCount, 3);
  EXPECT_TRUE(E.OptionStore().Names.empty());
  E.FInputCodecCount = 0;
  E.FOutputCodecCount = 0;
}

// ---- Dispatch ----

TEST_F(Options, NamesAreExactAndUnknownOnesChangeNothing) {
  EXPECT_NO_THROW(Set("no_such_option", "1"));
  EXPECT_NO_THROW(Set("Threads", "2"));  // not "threads"
  EXPECT_NO_THROW(Set("S", "352x288"));  // not "s"
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 0);
  EXPECT_TRUE(E.OptionStore().Names.empty());
  EXPECT_TRUE(E.Settings().Run.FPrivateOptions.empty());
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(Options, ThreadsRaisesAndDoNothingOptionsLog) {
  EXPECT_EQ(Raised("threads", "2"), "TODO: option - threads");
  for (const char* name : {"L", "h", "version", "formats", "i", "y", "benchmark"}) {
    ClearLogLines();
    ASSERT_NO_THROW(Set(name, "x"));
    EXPECT_TRUE(Logged(llInfo, std::string("Do nothing: option - ") + name)) << name;
  }
}

TEST_F(Options, FlagsAreTrueUnlessTheValueIsZero) {
  const std::vector<std::pair<const char*, bool (*)(const TEngineSettings&)>> flags = {
      {"dump", [](const TEngineSettings& S) { return S.Run.FDoPktDump; }},
      {"hex", [](const TEngineSettings& S) { return S.Run.FDoHexDump; }},
      {"re", [](const TEngineSettings& S) { return S.Run.FRateEmu; }},
      {"loop_input", [](const TEngineSettings& S) { return S.Mux.FLoopInput; }},
      {"shortest", [](const TEngineSettings& S) { return S.Run.FShortest; }},
      {"intra", [](const TEngineSettings& S) { return S.Video.FIntraOnly; }},
      {"vn", [](const TEngineSettings& S) { return S.Video.FVideoDisable; }},
      {"sameq", [](const TEngineSettings& S) { return S.Video.FSameQuality; }},
      {"deinterlace", [](const TEngineSettings& S) { return S.Video.FDoDeinterlace; }},
      {"psnr", [](const TEngineSettings& S) { return S.Run.FDoPsnr; }},
      {"qphist", [](const TEngineSettings& S) { return S.Video.FQpHist; }},
      {"force_fps", [](const TEngineSettings& S) { return S.Video.FForceFps; }},
      {"an", [](const TEngineSettings& S) { return S.Audio.FAudioDisable; }},
      {"sn", [](const TEngineSettings& S) { return S.Subtitle.FSubtitleDisable; }},
      {"isync", [](const TEngineSettings& S) { return S.Run.FInputSync; }}};
  for (const auto& [name, field] : flags) {
    SCOPED_TRACE(name);
    Set(name, "");
    EXPECT_TRUE(field(E.Settings()));
    Set(name, "0");
    EXPECT_FALSE(field(E.Settings()));
    Set(name, "1");
    EXPECT_TRUE(field(E.Settings()));
    Set(name, "00");  // only "0" itself is false
    EXPECT_TRUE(field(E.Settings()));
  }
  // Options that set their flag whatever the value.
  Set("copyts", "0");
  EXPECT_TRUE(E.Settings().Run.FCopyTs);
  Set("xerror", "0");
  EXPECT_TRUE(E.Settings().Run.FExitOnError);
}

TEST_F(Options, IntegerOptionsReachTheirFields) {
  const std::vector<std::pair<const char*, std::function<int(const TCustomFFmpeg&)>>> integers = {
      {"dframes", [](const TCustomFFmpeg& e) { return e.Settings().Video.FMaxFrames[2]; }},
      {"vframes", [](const TCustomFFmpeg& e) { return e.Settings().Video.FMaxFrames[0]; }},
      {"aframes", [](const TCustomFFmpeg& e) { return e.Settings().Video.FMaxFrames[1]; }},
      {"loop_output", [](const TCustomFFmpeg& e) { return e.Settings().Mux.FLoopOutput; }},
      {"v", [](const TCustomFFmpeg& e) { return e.Settings().Run.FVerbose; }},
      {"vsync", [](const TCustomFFmpeg& e) { return e.Settings().Run.FVideoSyncMethod; }},
      {"async", [](const TCustomFFmpeg& e) { return e.Settings().Run.FAudioSyncMethod; }},
      {"vglobal", [](const TCustomFFmpeg& e) { return e.Settings().Video.FVideoGlobalHeader; }},
      {"programid", [](const TCustomFFmpeg& e) { return e.Settings().Mux.FProgramId; }},
      {"copyinkf", [](const TCustomFFmpeg& e) { return e.Settings().Run.FCopyInitialNonKeyframes; }},
      {"vdt", [](const TCustomFFmpeg& e) { return e.Settings().Video.FVideoDiscard; }},
      {"me_threshold", [](const TCustomFFmpeg& e) { return e.Settings().Video.FMeThreshold; }},
      {"top", [](const TCustomFFmpeg& e) { return e.Settings().Video.FTopFieldFirst; }},
      {"dc", [](const TCustomFFmpeg& e) { return e.Settings().Video.FIntraDcPrecision; }},
      {"vc", [](const TCustomFFmpeg& e) { return e.Settings().Video.FVideoChannel; }},
      {"ar", [](const TCustomFFmpeg& e) { return e.Settings().Audio.FAudioSampleRate; }},
      {"ac", [](const TCustomFFmpeg& e) { return e.Settings().Audio.FAudioChannels; }},
      {"vol", [](const TCustomFFmpeg& e) { return e.Settings().Audio.FAudioVolume; }},
      {"padtop", [](const TCustomFFmpeg& e) { return e.Settings().Video.FFramePadTop; }},
      {"padbottom", [](const TCustomFFmpeg& e) { return e.Settings().Video.FFramePadBottom; }},
      {"padleft", [](const TCustomFFmpeg& e) { return e.Settings().Video.FFramePadLeft; }},
      {"padright", [](const TCustomFFmpeg& e) { return e.Settings().Video.FFramePadRight; }}};
  for (const auto& [name, field] : integers) {
    SCOPED_TRACE(name);
    Set(name, "$1F");  // hexadecimal
    EXPECT_EQ(field(E), 31);
    Set(name, " 12 ");
    EXPECT_EQ(field(E), 12);
    EXPECT_THROW(Set(name, "twelve"), EConvertError);
    EXPECT_EQ(field(E), 12);
  }
  Set("fs", "5000000000");
  EXPECT_EQ(E.Settings().Mux.FLimitFileSize, 5000000000u);
  EXPECT_THROW(Set("fs", "big"), EConvertError);
}

TEST_F(Options, ValuesThatAreIgnoredWhenOutOfRange) {
  Set("padtop", "4");
  Set("padtop", "-1");
  EXPECT_EQ(E.Settings().Video.FFramePadTop, 4);
  Set("ar", "0");
  Set("ac", "-2");
  EXPECT_EQ(E.Settings().Audio.FAudioSampleRate, 44100);
  EXPECT_EQ(E.Settings().Audio.FAudioChannels, 2);
  Set("vol", "-1");
  EXPECT_EQ(E.Settings().Audio.FAudioVolume, 256);
  Set("vol", "0");
  EXPECT_EQ(E.Settings().Audio.FAudioVolume, 0);
  Set("programid", "-1");
  EXPECT_EQ(E.Settings().Mux.FProgramId, 0);
  Set("muxdelay", "0");
  Set("muxpreload", "-1");
  EXPECT_FLOAT_EQ(E.Settings().Mux.FMuxMaxDelay, 0.7f);
  EXPECT_FLOAT_EQ(E.Settings().Mux.FMuxPreload, 0.5f);
  // Sync methods are stored as they come.
  Set("vsync", "-5");
  EXPECT_EQ(E.Settings().Run.FVideoSyncMethod, -5);
}

TEST_F(Options, FloatOptionsUseTheCLocale) {
  Set("adrift_threshold", "0.25");
  Set("dts_delta_threshold", "2.5");
  Set("aq", "3.5");
  Set("muxdelay", "0.125");
  Set("muxpreload", "0.44");
  EXPECT_FLOAT_EQ(E.Settings().Run.FAudioDriftThreshold, 0.25f);
  EXPECT_FLOAT_EQ(E.Settings().Run.FDtsDeltaThreshold, 2.5f);
  EXPECT_FLOAT_EQ(E.Settings().Audio.FAudioQScale, 3.5f);
  EXPECT_FLOAT_EQ(E.Settings().Mux.FMuxMaxDelay, 0.125f);
  EXPECT_FLOAT_EQ(E.Settings().Mux.FMuxPreload, 0.44f);
  EXPECT_THROW(Set("aq", "0,5"), EConvertError);
}

TEST_F(Options, TextOptionsReachTheirFields) {
  Set("rc_override", "0,10,2");
  Set("passlogfile", "/tmp/pass");
  Set("vstats_file", "/tmp/v.log");
  Set("tvstd", "NTSC");
  Set("alang", "eng");
  Set("slang", "fre");
  Set("vfilters", "hflip");
  Set("vfilters", "");  // an empty value changes nothing
  EXPECT_EQ(E.Settings().Video.FVideoRcOverride, "0,10,2");
  EXPECT_EQ(E.Settings().Video.FPassLogFilePrefix, "/tmp/pass");
  EXPECT_EQ(E.Settings().Run.FVstatsFileName, "/tmp/v.log");
  EXPECT_EQ(E.Settings().Video.FVideoStandard, "NTSC");
  EXPECT_EQ(E.Settings().Audio.FAudioLanguage, "eng");
  EXPECT_EQ(E.Settings().Subtitle.FSubtitleLanguage, "fre");
  EXPECT_EQ(E.Settings().Video.FVideoFilters, "hflip");
}

TEST_F(Options, MetadataPairs) {
  Set("metadata", "title=A=B");
  Set("metadata", "comment=");
  ASSERT_EQ(E.Settings().Mux.FMetadata.size(), 2u);
  EXPECT_EQ(E.Settings().Mux.FMetadata[0], std::make_pair(std::string("title"), std::string("A=B")));
  EXPECT_EQ(E.Settings().Mux.FMetadata[1], std::make_pair(std::string("comment"), std::string("")));
  EXPECT_EQ(Raised("metadata", "title"), "Missing =");
  EXPECT_EQ(E.FSettings.Mux.FMetadata.size(), 2u);
  E.FSettings.Mux.FMetadata.clear();
}

// ---- Times ----

TEST_F(Options, DurationsAndDates) {
  Set("t", "10");
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 10000000);
  EXPECT_EQ(E.TotalDuration(), 10000);
  Set("t", "0");  // not above 0: unchanged
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 10000000);
  EXPECT_EQ(Raised("t", "garbage"), "Invalid duration specification for t: garbage");
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 10000000);

  Set("ss", "1:02.5");
  EXPECT_EQ(E.Settings().Mux.FStartTime, 62500000);
  Set("itsoffset", "-2");
  EXPECT_EQ(E.Settings().Mux.FInputTsOffset, -2000000);
  EXPECT_EQ(Raised("itsoffset", "x"), "Invalid duration specification for itsoffset: x");

  // Seconds since 1970, rounded to the nearest second.
  Set("timestamp", "2010-01-02T03:04:05.7Z");
  EXPECT_EQ(E.Settings().Mux.FRecordingTimestamp, 1262401446);
  Set("timestamp", "2010-01-02T03:04:05.2Z");
  EXPECT_EQ(E.Settings().Mux.FRecordingTimestamp, 1262401445);
  EXPECT_EQ(Raised("timestamp", "garbage"), "Invalid date specification for timestamp: garbage");
}

TEST_F(Options, TimeSetters) {
  E.SetRecordingTimeMs(1500);
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 1500000);
  EXPECT_EQ(E.TotalDuration(), 1500);
  E.SetRecordingTimeMs(0);
  E.SetRecordingTime(-1);
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 1500000);
  E.SetRecordingTime(2500999);
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 2500999);
  EXPECT_EQ(E.TotalDuration(), 2500);
  E.SetStartTime(-5);
  EXPECT_EQ(E.Settings().Mux.FStartTime, 0);
  E.SetStartTime(7);
  EXPECT_EQ(E.Settings().Mux.FStartTime, 7);
}

// ---- Formats ----

TEST_F(Options, FormatsByName) {
  Set("f", "avi");
  ASSERT_NE(E.Settings().Mux.FInputFormat, nullptr);
  ASSERT_NE(E.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_STREQ(E.Settings().Mux.FInputFormat->name, "avi");
  EXPECT_STREQ(E.Settings().Mux.FOutputFormat->name, "avi");

  // An output-only format: the input side becomes null.
  Set("f", "ipod");
  EXPECT_EQ(E.Settings().Mux.FInputFormat, nullptr);
  ASSERT_NE(E.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_STREQ(E.Settings().Mux.FOutputFormat->name, "ipod");

  EXPECT_EQ(Raised("f", "nosuchformat"), "Unknown input or output format: nosuchformat");
  EXPECT_EQ(E.Settings().Mux.FInputFormat, nullptr);
  EXPECT_EQ(E.Settings().Mux.FOutputFormat, nullptr);
}

TEST_F(Options, FormatSettersSetOneSideOnly) {
  E.SetOutputFormat("mp4");
  ASSERT_NE(E.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_STREQ(E.Settings().Mux.FOutputFormat->name, "mp4");
  EXPECT_EQ(E.Settings().Mux.FInputFormat, nullptr);
  E.SetInputFormat("wav");
  ASSERT_NE(E.Settings().Mux.FInputFormat, nullptr);
  EXPECT_STREQ(E.Settings().Mux.FInputFormat->name, "wav");
  EXPECT_STREQ(E.Settings().Mux.FOutputFormat->name, "mp4");

  EXPECT_EQ(RaisedBy([&] { E.SetInputFormat("nosuch"); }), "Unknown input format: nosuch");
  EXPECT_EQ(RaisedBy([&] { E.SetInputFormat("ipod"); }), "Unknown input format: ipod");
  EXPECT_EQ(RaisedBy([&] { E.SetOutputFormat("nosuch"); }), "Unknown output format: nosuch");
  // A failed setter keeps what was set.
  EXPECT_STREQ(E.Settings().Mux.FInputFormat->name, "wav");
  EXPECT_STREQ(E.Settings().Mux.FOutputFormat->name, "mp4");
}

TEST_F(Options, PgmyuvBecomesImage2) {
  Set("f", "pgmyuv");
  EXPECT_TRUE(E.Settings().Run.FPgmyuvCompat);
  ASSERT_NE(E.Settings().Mux.FInputFormat, nullptr);
  ASSERT_NE(E.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_STREQ(E.Settings().Mux.FInputFormat->name, "image2");
  EXPECT_STREQ(E.Settings().Mux.FOutputFormat->name, "image2");
  EXPECT_TRUE(Logged(llInfo, "pgmyuv format is deprecated, use image2"));
}

// ---- Video ----

TEST_F(Options, FrameSize) {
  Set("s", "");  // nothing
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 0);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 0);
  Set("s", "cif");
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 352);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 288);
  Set("s", "720x576");
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 720);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 576);
  EXPECT_EQ(Raised("s", "big"), "Incorrect frame size");
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 720);
  // An odd size is refused but kept.
  EXPECT_EQ(Raised("s", "351x288"), "Frame size must be a multiple of 2");
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 351);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 288);
  EXPECT_EQ(Raised("s", "352x287"), "Frame size must be a multiple of 2");
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 287);
}

TEST_F(Options, FrameRate) {
  Set("r", "");
  EXPECT_EQ(E.Settings().Video.FFrameRate.den, 0);
  Set("r", "30000/1001");
  EXPECT_EQ(E.Settings().Video.FFrameRate.num, 30000);
  EXPECT_EQ(E.Settings().Video.FFrameRate.den, 1001);
  Set("r", "pal");
  EXPECT_EQ(E.Settings().Video.FFrameRate.num, 25);
  EXPECT_EQ(E.Settings().Video.FFrameRate.den, 1);
  EXPECT_EQ(Raised("r", "fast"), "Incorrect frame rate");
  EXPECT_EQ(Raised("r", "0/1"), "Incorrect frame rate");
  EXPECT_EQ(E.Settings().Video.FFrameRate.num, 25);
  EXPECT_EQ(E.Settings().Video.FFrameRate.den, 1);
}

TEST_F(Options, AspectRatio) {
  Set("aspect", "16:9");
  EXPECT_FLOAT_EQ(E.Settings().Video.FFrameAspectRatio, 1.7777778f);
  Set("aspect", "1.5");
  EXPECT_FLOAT_EQ(E.Settings().Video.FFrameAspectRatio, 1.5f);
  for (const char* bad : {"4:0", "abc", "x:3", "4:-3", "0", ""})
    EXPECT_EQ(Raised("aspect", bad), "Incorrect aspect ratio specification.") << bad;
  EXPECT_FLOAT_EQ(E.Settings().Video.FFrameAspectRatio, 1.5f);
  E.SetFrameAspectRatio("4:3");
  EXPECT_FLOAT_EQ(E.Settings().Video.FFrameAspectRatio, 4.0f / 3.0f);
}

TEST_F(Options, CropNeedsAFrameSizeFirst) {
  EXPECT_EQ(Raised("croptop", "0"), kVerticalCrop);
  EXPECT_EQ(Raised("cropbottom", "0"), kVerticalCrop);
  EXPECT_EQ(Raised("cropleft", "0"), kHorizontalCrop);
  EXPECT_EQ(Raised("cropright", "0"), kHorizontalCrop);
  Set("croptop", "-4");  // negative: ignored
  EXPECT_EQ(E.Settings().Video.FFrameTopBand, 0);
}

TEST_F(Options, CropShrinksTheFrame) {
  Set("s", "352x288");
  Set("croptop", "8");
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 280);
  EXPECT_EQ(E.Settings().Video.FFrameTopBand, 8);
  Set("cropbottom", "10");
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 270);
  EXPECT_EQ(E.Settings().Video.FFrameBottomBand, 10);
  Set("cropleft", "2");
  Set("cropright", "4");
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 346);
  EXPECT_EQ(E.Settings().Video.FFrameLeftBand, 2);
  EXPECT_EQ(E.Settings().Video.FFrameRightBand, 4);
  // The remaining size is the limit.
  EXPECT_EQ(Raised("cropright", "346"), kHorizontalCrop);
  EXPECT_EQ(Raised("croptop", "270"), kVerticalCrop);
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 346);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 270);
  EXPECT_EQ(E.Settings().Video.FFrameTopBand, 8);
  E.SetCropTop(269);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 1);
}

TEST_F(Options, PadColourIsConvertedToYUV) {
  struct TCase {
    const char* Value;
    int Y, U, V;
  };
  for (const TCase& c : {TCase{"0", 0, 128, 128}, TCase{"$FFFFFF", 255, 128, 128}, TCase{"255", 76, 85, 255},
                         TCase{"$336699", 112, 94, 158}, TCase{"$7F336699", 112, 94, 158},  // high bits ignored
                         TCase{"$FF0000", 29, 255, 107}}) {
    Set("padcolor", c.Value);
    EXPECT_EQ(E.Settings().Video.FPadColor[0], c.Y) << c.Value;
    EXPECT_EQ(E.Settings().Video.FPadColor[1], c.U) << c.Value;
    EXPECT_EQ(E.Settings().Video.FPadColor[2], c.V) << c.Value;
  }
}

TEST_F(Options, PixelFormats) {
  Set("pix_fmt", "yuv422p");
  EXPECT_EQ(E.Settings().Video.FFramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(Raised("pix_fmt", "nosuch"), "Unknown pixel format requested: nosuch");

  ClearLogLines();
  Set("pix_fmt", "list");
  // The header and one line per format the library describes: more than the
  // 60 lines of the old fixed table.
  int formats = 0;
  while (lib::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(formats))) ++formats;
  ASSERT_EQ(LogLines().size(), static_cast<size_t>(formats) + 1);
  EXPECT_GT(LogLines().size(), 61u);
  EXPECT_EQ(LogLines()[0].Text, "name nb_components nb_bits");
  EXPECT_EQ(LogLines()[1].Text.substr(0, 7), "yuv420p");
  for (const TRecordedLine& line : LogLines()) {
    EXPECT_EQ(line.Level, llInfo);
    EXPECT_EQ(line.Text, Trim(line.Text));
  }
}

TEST_F(Options, SampleFormats) {
  Set("sample_fmt", "s16");
  EXPECT_EQ(E.Settings().Audio.FAudioSampleFmt, AV_SAMPLE_FMT_S16);
  EXPECT_NO_THROW(Set("sample_fmt", "nosuch"));  // not checked
  EXPECT_EQ(E.Settings().Audio.FAudioSampleFmt, -1);

  ClearLogLines();
  Set("sample_fmt", "list");
  ASSERT_EQ(LogLines().size(), static_cast<size_t>(AV_SAMPLE_FMT_NB) + 1);
  EXPECT_EQ(LogLines()[0].Text, "name   depth");
  EXPECT_EQ(LogLines()[1].Text.substr(0, 2), "u8");
  EXPECT_EQ(LogLines().back().Text.substr(0, 4), "s64p");
}

TEST_F(Options, QualityAndPass) {
  Set("pass", "1");
  EXPECT_EQ(E.Settings().Video.FDoPass, 1);
  Set("pass", "2");
  EXPECT_EQ(E.Settings().Video.FDoPass, 2);
  EXPECT_EQ(Raised("pass", "3"), "pass number can be only 1 or 2");
  EXPECT_EQ(Raised("pass", "0"), "pass number can be only 1 or 2");
  EXPECT_EQ(E.Settings().Video.FDoPass, 2);

  Set("qscale", "255");
  EXPECT_FLOAT_EQ(E.Settings().Video.FVideoQScale, 255.0f);
  Set("qscale", "0.5");
  EXPECT_FLOAT_EQ(E.Settings().Video.FVideoQScale, 0.5f);
  for (const char* bad : {"0", "256", "-1", "255.01"})
    EXPECT_EQ(Raised("qscale", bad), "qscale must be > 0.0 and <= 255") << bad;
  EXPECT_FLOAT_EQ(E.Settings().Video.FVideoQScale, 0.5f);
}

TEST_F(Options, Matrices) {
  std::string values;
  for (int i = 1; i <= 64; ++i) values += (i > 1 ? "," : "") + std::to_string(i * 100);
  Set("intra_matrix", values);
  ASSERT_NE(E.Settings().Video.FIntraMatrix, nullptr);
  EXPECT_EQ((*E.Settings().Video.FIntraMatrix)[0], 100);
  EXPECT_EQ((*E.Settings().Video.FIntraMatrix)[63], 6400);
  EXPECT_EQ(E.Settings().Video.FInterMatrix, nullptr);

  // 63 values: the 63rd coefficient (index 62) has no comma after it.
  std::string short63 = values.substr(0, values.rfind(','));
  EXPECT_EQ(Raised("inter_matrix", short63), "Syntax error in matrix \"" + short63 + "\" at coeff 62");

  // A second matrix starts from zero; bad numbers give 0; more than 64
  // values are ignored.
  std::string second = "x,7" + std::string(62, ',') + ",9,10";
  Set("intra_matrix", second);
  EXPECT_EQ((*E.Settings().Video.FIntraMatrix)[0], 0);
  EXPECT_EQ((*E.Settings().Video.FIntraMatrix)[1], 7);
  EXPECT_EQ((*E.Settings().Video.FIntraMatrix)[2], 0);
  EXPECT_EQ((*E.Settings().Video.FIntraMatrix)[63], 0);
  EXPECT_EQ(Raised("intra_matrix", "1,2"), "Syntax error in matrix \"1,2\" at coeff 1");
}

// ---- Codecs and tags ----

TEST_F(Options, CodecNamesAndStreamCopy) {
  struct TNames {
    const char* Option;
    const std::string& (*Name)(const TEngineSettings&);
    int (*Copy)(const TEngineSettings&);
  };
  for (const TNames& kind :
       {TNames{"vcodec", [](const TEngineSettings& S) -> const std::string& { return S.Video.FVideoCodecName; },
               [](const TEngineSettings& S) { return S.Video.FVideoStreamCopy; }},
        TNames{"acodec", [](const TEngineSettings& S) -> const std::string& { return S.Audio.FAudioCodecName; },
               [](const TEngineSettings& S) { return S.Audio.FAudioStreamCopy; }},
        TNames{"scodec", [](const TEngineSettings& S) -> const std::string& { return S.Subtitle.FSubtitleCodecName; },
               [](const TEngineSettings& S) { return S.Subtitle.FSubtitleStreamCopy; }}}) {
    SCOPED_TRACE(kind.Option);
    Set(kind.Option, "somecodec");
    EXPECT_EQ(kind.Name(E.Settings()), "somecodec");
    EXPECT_EQ(kind.Copy(E.Settings()), 0);
    Set(kind.Option, "copy");
    EXPECT_EQ(kind.Name(E.Settings()), "");
    EXPECT_EQ(kind.Copy(E.Settings()), 1);
    Set(kind.Option, "other");  // a later name does not clear the copy
    EXPECT_EQ(kind.Name(E.Settings()), "other");
    EXPECT_EQ(kind.Copy(E.Settings()), 1);
    Set(kind.Option, "");  // nothing
    EXPECT_EQ(kind.Name(E.Settings()), "other");
  }
  EXPECT_EQ(E.Settings().Video.FVideoCodecName, "other");
  EXPECT_EQ(E.Settings().Audio.FAudioCodecName, "other");
}

TEST_F(Options, CodecTagsAreLittleEndian) {
  Set("vtag", "XVID");
  EXPECT_EQ(E.Settings().Video.FVideoCodecTag, 0x44495658u);  // 'X' in the lowest byte
  EXPECT_EQ(E.Settings().Video.FVideoCodecTag & 0xFF, static_cast<uint32_t>('X'));
  Set("vtag", "");
  EXPECT_EQ(E.Settings().Video.FVideoCodecTag, 0x44495658u);
  EXPECT_EQ(Raised("vtag", "XVIDS"), "video tag parameter must be 4 chars");
  EXPECT_EQ(E.Settings().Video.FVideoCodecTag, 0x44495658u);

  Set("atag", "mp4a");
  EXPECT_EQ(E.Settings().Audio.FAudioCodecTag, 0x6134706Du);
  EXPECT_EQ(Raised("atag", "abc"), "audio tag parameter must be 4 chars");
  Set("stag",
      "\xff"
      "abc");
  EXPECT_EQ(E.Settings().Subtitle.FSubtitleCodecTag, 0x636261FFu);
  EXPECT_EQ(Raised("stag", "ab"), "subtitle tag parameter must be 4 chars");
}

// ---- Maps ----

TEST_F(Options, StreamMapsAndTheirSync) {
  Set("map", "0.1");
  Set("map", "0.1:1.0");
  Set("map", "0x1a:010");
  Set("map", "2");
  ASSERT_EQ(E.FStreamMapCount, 4);
  auto expectMap = [&](int AIndex, int AFile, int AStream, int ASyncFile, int ASyncStream) {
    SCOPED_TRACE(AIndex);
    const TStreamMap& map = E.FStreamMaps[AIndex];
    EXPECT_EQ(map.FileIndex, AFile);
    EXPECT_EQ(map.StreamIndex, AStream);
    EXPECT_EQ(map.SyncFileIndex, ASyncFile);
    EXPECT_EQ(map.SyncStreamIndex, ASyncStream);
  };
  expectMap(0, 0, 1, 0, 1);
  expectMap(1, 0, 1, 1, 0);
  expectMap(2, 26, 8, 26, 8);  // hexadecimal, octal
  expectMap(3, 2, 0, 2, 0);
}

TEST_F(Options, StreamMapTableIsFull) {
  for (int i = 0; i < MAX_STREAM_MAPS; ++i) ASSERT_NO_THROW(Set("map", "0.0")) << i;
  EXPECT_EQ(E.FStreamMapCount, 400);
  EXPECT_EQ(Raised("map", "1.1"), "Too many stream maps (at most 400)");
  EXPECT_EQ(E.FStreamMapCount, 400);
  EXPECT_EQ(E.FStreamMaps[399].FileIndex, 0);
}

TEST_F(Options, MetadataMaps) {
  Set("map_meta_data", "1:0");
  Set("map_meta_data", "0x2.3");
  ASSERT_EQ(E.FMetaDataMapCount, 2);
  EXPECT_EQ(E.FMetaDataMaps[0].OutFile, 1);
  EXPECT_EQ(E.FMetaDataMaps[0].InFile, 0);
  EXPECT_EQ(E.FMetaDataMaps[1].OutFile, 2);
  EXPECT_EQ(E.FMetaDataMaps[1].InFile, 3);
  for (int i = 2; i < MAX_META_DATA_MAPS; ++i) ASSERT_NO_THROW(Set("map_meta_data", "0:0")) << i;
  EXPECT_EQ(Raised("map_meta_data", "0:0"), "Too many metadata maps (at most 20)");
  EXPECT_EQ(E.FMetaDataMapCount, 20);
}

TEST_F(Options, TimestampScales) {
  EXPECT_EQ(Raised("itsscale", "25:1.0"), "stream index over MAX_STREAMS(20)");
  EXPECT_EQ(Raised("itsscale", "20:1.0"), "stream index over MAX_STREAMS(20)");
  for (double scale : E.Settings().Mux.FInputTsScale) ASSERT_EQ(scale, 0.0);

  // The scales hold for the input that opens next (it takes them over).
  Set("itsscale", "19:2");
  EXPECT_EQ(E.Settings().Mux.FInputTsScale[19], 2.0);
  Set("itsscale", "2:0.5");
  EXPECT_EQ(E.Settings().Mux.FInputTsScale[2], 0.5);
  EXPECT_EQ(E.Settings().Mux.FInputTsScale[19], 2.0);

  EXPECT_NE(Raised("itsscale", "-1:2"), "(nothing raised)");
  E.FInputFileCount = MAX_FILES;
  EXPECT_EQ(Raised("itsscale", "0:2"), "Too many input files (at most 20)");
  E.FInputFileCount = 0;
}

// ---- Bit rates and the library option contexts ----

TEST_F(Options, LowBitRateWarnsAndIsKept) {
  const std::string warning = "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  Set("ab", "64");
  EXPECT_TRUE(Logged(llWarning, warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 64);

  ClearLogLines();
  Set("b", "500000");
  EXPECT_FALSE(LogContains("bitrate parameter"));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 500000);

  // "vb" is the video context's "b"; the audio one keeps its value.
  Set("vb", "800");
  EXPECT_TRUE(Logged(llWarning, warning));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 800);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 500000);  // "b" reached every codec context

  // A value the library refuses: no warning.
  ClearLogLines();
  Set("ab", "fast");
  EXPECT_FALSE(LogContains("bitrate parameter"));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 500000);
}

TEST_F(Options, LibraryOptionsReachTheOptionContexts) {
  EXPECT_TRUE(E.OptDefault("g", "25"));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 25);
  EXPECT_TRUE(E.OptDefault(" probesize ", " 5000000 "));
  int64_t probesize = 0;
  ASSERT_GE(lib::av_opt_get_int(E.OptionStore().Format, "probesize", 0, &probesize), 0);
  EXPECT_EQ(probesize, 5000000);
  // Through the dispatcher and the integer setter.
  Set("bf", "3");
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bf"), 3);
  E.SetLibraryOption("refs", 4);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "refs"), 4);
  EXPECT_EQ(E.OptionStore().Names, (std::vector<std::string>{"g", "probesize", "bf", "refs"}));
  EXPECT_TRUE(E.Settings().Run.FPrivateOptions.empty());

  EXPECT_FALSE(E.OptDefault("", "1"));
  EXPECT_FALSE(E.OptDefault("g", "  "));
  EXPECT_FALSE(E.OptDefault("no_such_option", "1"));
  // A known option with a bad value is not taken for a private one, not
  // even when an encoder has a private option of that name ("level").
  EXPECT_FALSE(E.OptDefault("g", "many"));
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 25);
  EXPECT_FALSE(E.OptDefault("level", "many"));
  EXPECT_TRUE(E.Settings().Run.FPrivateOptions.empty());
}

TEST_F(Options, OptionsOfMuxersAndEncodersAreKeptForLater) {
  EXPECT_TRUE(E.OptDefault("muxrate", "1411200"));
  Set("preload", "440000");
  // x264's private options when the library has the encoder, else one of
  // the MPEG video encoders'.
  const bool x264 = lib::avcodec_find_encoder_by_name("libx264") != nullptr;
  Set(x264 ? "preset" : "sc_threshold", x264 ? "slow" : "40");
  ASSERT_EQ(E.Settings().Run.FPrivateOptions.size(), 3u);
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[0].Name, "muxrate");
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[0].Value, "1411200");
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[1].Name, "preload");
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[1].Value, "440000");
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[2].Name, x264 ? "preset" : "sc_threshold");
  EXPECT_TRUE(E.OptionStore().Names.empty());
}

TEST(OptionsUnprepared, OptDefaultNeedsTheOptionContexts) {
  TCustomFFmpeg engine;  // never prepared
  EXPECT_FALSE(engine.OptDefault("g", "25"));
  EXPECT_FALSE(engine.OptDefault("muxrate", "1411200"));
  EXPECT_TRUE(engine.Settings().Run.FPrivateOptions.empty());
}

// ---- Logger, targets, streams, hooks ----

TEST_F(Options, LogLevelByName) {
  Set("loglevel", "warning");
  EXPECT_EQ(FFLoggerInstance()->LogLevel(), llWarning);
  Set("loglevel", "48");
  EXPECT_EQ(FFLoggerInstance()->LogLevel(), llDebug);
  EXPECT_THROW(Set("loglevel", "loud"), EConvertError);
  FFLoggerInstance()->SetLogLevel(llInfo);
}

TEST_F(Options, TargetNormPrefix) {
  struct TCase {
    const char* Text;
    const char* Target;
    const char* Norm;
  };
  for (const TCase& c :
       {TCase{"pal-dvd", "dvd", "pal"}, TCase{" ntsc-vcd ", "vcd", "ntsc"}, TCase{"film-dv50", "dv50", "film"},
        TCase{"svcd", "svcd", "auto"}, TCase{"PAL-dvd", "PAL-dvd", "auto"}, TCase{"secam-dvd", "secam-dvd", "auto"}}) {
    std::string target, norm;
    TOptionsEngine::SplitTargetText(c.Text, target, norm);
    EXPECT_EQ(target, c.Target) << c.Text;
    EXPECT_EQ(norm, c.Norm) << c.Text;
  }
}

TEST_F(Options, NewStreamsNeedAnOutput) {
  for (const char* name : {"newvideo", "newaudio", "newsubtitle"})
    EXPECT_EQ(Raised(name, ""), "At least one output file must be specified") << name;
}

TEST_F(Options, HookRangesAreSortedByTheirEnd) {
  const std::vector<THookRange> ranges = {{0, 300}, {10, 100}, {5, 200}, {1, 50}};
  E.FHookRangeIndex = 3;
  E.SetHookRanges(ranges);
  ASSERT_EQ(E.Settings().Run.FHookRanges.size(), 4u);
  EXPECT_EQ(E.FHookRangeCount, 4);
  EXPECT_EQ(E.FHookRangeIndex, 0);
  const int64_t ends[] = {50, 100, 200, 300};
  const int64_t starts[] = {1, 10, 5, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(E.Settings().Run.FHookRanges[i].End, ends[i]);
    EXPECT_EQ(E.Settings().Run.FHookRanges[i].Start, starts[i]);
  }
  EXPECT_EQ(ranges[0].End, 300);  // the caller's list is copied
  E.SetHookRanges({});
  EXPECT_EQ(E.FHookRangeCount, 0);
}

TEST_F(Options, VideoHookWithoutProcessIsRefused) {
  const std::string value = HookModule("libvidmill_options_test_hook_noprocess.so") + " 4";
  EXPECT_EQ(Raised("vhook", value), "Failed to add video hook function: " + value);
  EXPECT_FALSE(E.Settings().Run.FUsingVhook);
  EXPECT_TRUE(E.FHookState->Chain.empty());
  EXPECT_TRUE(LogContains("Failed to find Process entrypoint"));

  const std::string missing = HookModule("libvidmill_no_such_hook.so");
  EXPECT_EQ(Raised("vhook", missing), "Failed to add video hook function: " + missing);
  // A band height of 0 is refused by the module's Configure.
  const std::string refused = HookModule("libvidmill_options_test_hook.so") + " 0";
  EXPECT_EQ(Raised("vhook", refused), "Failed to add video hook function: " + refused);
  EXPECT_FALSE(E.Settings().Run.FUsingVhook);
  EXPECT_EQ(Raised("vhook", ""), "Failed to add video hook function: ");
}

TEST_F(Options, VideoHooksAreChainedAndTheModuleLoadedOnce) {
  const std::string module = HookModule("libvidmill_options_test_hook.so");
  Set("vhook", module + "  2");  // blanks separate the words
  EXPECT_TRUE(E.Settings().Run.FUsingVhook);
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto* configured = static_cast<int*>(::dlsym(handle, "ConfigureCount"));
  ASSERT_NE(configured, nullptr);
  const int before = *configured;
  Set("vhook", module + "|3");         // "|" separates the words
  EXPECT_EQ(*configured, before + 1);  // the same loaded copy configured it
  ::dlclose(handle);

  const TFrameHookChain& chain = E.FHookState->Chain;
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].Process, chain[1].Process);
  EXPECT_NE(chain[0].Context, chain[1].Context);
  EXPECT_EQ(E.FHookState->HookText, module + "  2\n" + module + "|3");

  // The chain inverts 2 rows and then 3 rows of a 16x8 luma plane.
  std::vector<uint8_t> luma(16 * 8, 10);
  TFramePicture picture{};
  picture.data[0] = luma.data();
  picture.linesize[0] = 16;
  ProcessFrameHooks(E.FHookState->Chain, &picture, AV_PIX_FMT_YUV420P, 16, 8, 0);
  EXPECT_EQ(luma[0], 10);            // inverted twice
  EXPECT_EQ(luma[16 * 1 + 5], 10);   // inverted twice
  EXPECT_EQ(luma[16 * 2 + 5], 245);  // third row: once
  EXPECT_EQ(luma[16 * 3 + 5], 10);   // untouched
}

}  // namespace
