// The input and output option records: their reset, the fields an output
// record hands to a real engine instance (in emission order), the target,
// the hook ranges, the extra option lines and the timestamp.
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "converter/OptionRecords.h"
#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "tests/engine/InspectableEngine.h"
#include "tests/support/RecordedLog.h"

namespace {

using TMetadataList = std::vector<std::pair<std::string, std::string>>;
using TRanges = std::vector<std::pair<int64_t, int64_t>>;

constexpr const char* kVerticalCrop =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

// The engine's hook ranges as (Start, End) pairs.
TRanges Ranges(const TCustomFFmpeg& AEngine) {
  TRanges ranges;
  for (const THookRange& range : AEngine.Settings().Run.FHookRanges) ranges.emplace_back(range.Start, range.End);
  return ranges;
}

std::string RaisedBy(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const FFmpegException& error) {
    return error.what();
  }
  return "(nothing raised)";
}

// Sets TZ for the life of the object and puts the previous value back.
class TTimeZone {
 public:
  explicit TTimeZone(const char* AZone) {
    if (const char* old = std::getenv("TZ")) FOld = old;
    ::setenv("TZ", AZone, 1);
    ::tzset();
  }
  ~TTimeZone() {
    if (FOld)
      ::setenv("TZ", FOld->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> FOld;
};

// A prepared engine instance.
struct TEngine : TInspectableEngine {
  TEngine() { Prepare(); }
};

std::string OutputFormatName(const TCustomFFmpeg& AEngine) {
  return AEngine.Settings().Mux.FOutputFormat ? AEngine.Settings().Mux.FOutputFormat->name : "(none)";
}

// The settings an output record reaches (all but the pad colour) are the
// same in both instances.
void ExpectSameSettings(const TInspectableEngine& A, const TInspectableEngine& B) {
  // clang-format off
#define SAME(field) EXPECT_EQ(A.field, B.field) << #field;
  SAME(Settings().Mux.FOutputFormat) SAME(Settings().Mux.FInputFormat) SAME(Settings().Mux.FStartTime) SAME(Settings().Mux.FRecordingTime) SAME(TotalDuration())
  SAME(Settings().Mux.FRecordingTimestamp) SAME(Settings().Mux.FMetadata.size()) SAME(Settings().Mux.FMuxPreload) SAME(Settings().Mux.FMuxMaxDelay) SAME(Settings().Audio.FAudioCodecName)
  SAME(Settings().Video.FVideoCodecName) SAME(Settings().Subtitle.FSubtitleCodecName) SAME(Settings().Audio.FAudioStreamCopy) SAME(Settings().Video.FVideoStreamCopy)
  SAME(Settings().Subtitle.FSubtitleStreamCopy) SAME(Settings().Audio.FAudioVolume) SAME(Settings().Audio.FAudioChannels) SAME(Settings().Audio.FAudioSampleRate) SAME(Settings().Video.FFrameWidth)
  SAME(Settings().Video.FFrameHeight) SAME(Settings().Video.FFrameRate.num) SAME(Settings().Video.FFrameRate.den) SAME(Settings().Video.FFrameAspectRatio) SAME(Settings().Video.FFrameTopBand)
  SAME(Settings().Video.FFrameBottomBand) SAME(Settings().Video.FFrameLeftBand) SAME(Settings().Video.FFrameRightBand) SAME(Settings().Video.FFramePadTop) SAME(Settings().Video.FFramePadBottom)
  SAME(Settings().Video.FFramePadLeft) SAME(Settings().Video.FFramePadRight) SAME(Settings().Audio.FAudioCodecTag) SAME(Settings().Video.FVideoCodecTag) SAME(Settings().Subtitle.FSubtitleCodecTag)
  SAME(Settings().Video.FVideoFilters) SAME(Settings().Run.FHookRanges.size()) SAME(FHookRangeCount) SAME(OptionStore().Names)
  SAME(Settings().Run.FPrivateOptions.size()) SAME(Settings().Run.FAudioSyncMethod) SAME(Settings().Run.FVideoSyncMethod) SAME(Settings().Audio.FAudioDisable)
  SAME(Settings().Video.FVideoDisable) SAME(Settings().Subtitle.FSubtitleDisable) SAME(Settings().Run.FCopyTs) SAME(Settings().Audio.FAudioLanguage) SAME(Settings().Subtitle.FSubtitleLanguage)
  // clang-format on
#undef SAME
}

class OptionRecords : public ::testing::Test {
 protected:
  void SetUp() override { ClearLogLines(); }

  int64_t CodecOption(int AMediaType, const char* AName) const {
    int64_t value = -1;
    EXPECT_GE(lib::av_opt_get_int(E.OptionStore().Codec[AMediaType], AName, 0, &value), 0) << AName;
    return value;
  }
  bool Logged(const std::string& AText) const {
    for (const TRecordedLine& line : LogLines())
      if (line.Text == AText) return true;
    return false;
  }

  TEngine E;
};

// ---- Reset and a fresh record ----

TEST_F(OptionRecords, InitInputOptionsPutsEveryFieldBackToNotGiven) {
  TInputOptions in;
  in.FileName = u"x.avi";
  in.FileFormat = in.ExtraOptions = "avi";
  in.StartTimeMs = in.ProgramID = in.InputReserved1 = in.InputReserved2 = 7;
  in.StartTime = 6;
  InitInputOptions(in);
  EXPECT_TRUE(in.FileName.empty() && in.FileFormat.empty() && in.ExtraOptions.empty());
  EXPECT_EQ(in.StartTimeMs, -1);
  EXPECT_EQ(in.StartTime, -1);
  EXPECT_EQ(in.ProgramID, -1);
  EXPECT_EQ(in.InputReserved1 + in.InputReserved2, 0);
}

// A record filled in and then reset hands on nothing but the always-stored
// values (audio and video sync, the disable flags, copyts, the languages):
// their defaults are written back over what the engine had, and the
// record's black, which the pad colour conversion makes (0, 128, 128), not
// the engine's own (16, 128, 128). The fields the component reads itself
// are reset as well.
TEST_F(OptionRecords, AResetRecordChangesNothingButTheAlwaysStoredValues) {
  E.SetAudioDisable(true);
  E.SetVideoDisable(true);
  E.SetSubtitleDisable(true);
  E.SetCopyTimestamps(true);
  E.SetAudioSyncMethod(3);
  E.SetVideoSyncMethod(2);
  E.SetAudioLanguage("eng");
  E.SetSubtitleLanguage("ger");
  TOutputOptions options;
  options.FileName = u"y.3gp";
  options.OutputReserved = options.FileFormat = options.AudioCodec = options.VideoPreset = options.FrameSize = "x";
  options.HookRanges = options.ExtraOptions = options.Metadata.Title = options.AudioLanguage = "1-2";
  options.PacketSize = options.MuxRate = options.AudioVolume = options.AudioChannels = options.VideoBitrate = 3;
  options.CropTop = options.PadRight = options.GroupPictureSize = options.VideoBufSize = 3;
  options.StartTimeMs = options.RecordingTimeMs = options.OutputReserved1 = options.OutputReserved2 = 8;
  options.StartTime = options.RecordingTime = 9;
  options.MuxDelay = options.MuxPreload = 1.5f;
  options.AudioSync = options.VideoSync = options.Target = options.TargetNorm = 2;
  options.TargetDefaultNorm = 0;
  options.PadColor = 0xFFFFFF;
  options.Metadata.Timestamp = 3.0;
  options.Metadata.Year = options.Metadata.Track = 2000;
  options.AudioDisable = options.VideoDisable = options.SubtitleDisable = options.CopyTimestamps = true;
  options.CustomHook = options.BeforeHook = options.JoinInputs = true;
  InitOutputOptions(options);
  ApplyOutputOptions(E, options);
  ApplyTarget(E, options);
  ParseHookRanges(E, options.HookRanges);
  ApplyExtraOptions(E, options.ExtraOptions, TExtraOptionGroup::General);
  ApplyExtraOptions(E, options.ExtraOptions, TExtraOptionGroup::Preset);
  ExpectSameSettings(E, TEngine());
  EXPECT_EQ(E.Settings().Video.FPadColor[0], 0);
  EXPECT_EQ(E.Settings().Video.FPadColor[1], 128);
  EXPECT_EQ(E.Settings().Video.FPadColor[2], 128);
  EXPECT_TRUE(options.FileName.empty() && options.OutputReserved.empty());
  EXPECT_EQ(options.TargetDefaultNorm, 1);
  EXPECT_FALSE(options.CustomHook || options.BeforeHook || options.JoinInputs);
  EXPECT_EQ(options.OutputReserved1 + options.OutputReserved2, 0);
}

// ---- The fields, in emission order ----

// Each field, in emission order, reaches the setting of the option it
// stands for: a record filled in and the same values given by name make the
// same engine settings. None of these is a library option.
TEST_F(OptionRecords, FieldsReachTheSettingsOfTheirOptions) {
  using TSet = std::function<void(TOutputOptions&)>;
  const std::vector<std::tuple<TSet, const char*, const char*>> fields = {
      {[](TOutputOptions& o) { o.MuxDelay = 0.25f; }, "muxdelay", "0.25"},
      {[](TOutputOptions& o) { o.MuxPreload = 0.44f; }, "muxpreload", "0.44"},
      {[](TOutputOptions& o) { o.AudioCodec = "aac"; }, "acodec", "aac"},
      {[](TOutputOptions& o) { o.AudioDisable = true; }, "an", "1"},
      {[](TOutputOptions& o) { o.AudioVolume = 0; }, "vol", "0"},  // >= 0 is passed
      {[](TOutputOptions& o) { o.AudioChannels = 1; }, "ac", "1"},
      {[](TOutputOptions& o) { o.AudioSampleRate = 8000; }, "ar", "8000"},
      {[](TOutputOptions& o) { o.AudioLanguage = "eng"; }, "alang", "eng"},
      {[](TOutputOptions& o) { o.AudioSync = 1; }, "async", "1"},
      {[](TOutputOptions& o) { o.AudioTag = "mp4a"; }, "atag", "mp4a"},
      {[](TOutputOptions& o) { o.VideoCodec = "copy"; }, "vcodec", "copy"},
      {[](TOutputOptions& o) { o.VideoDisable = true; }, "vn", "1"},
      {[](TOutputOptions& o) { o.FrameRate = "30000/1001"; }, "r", "30000/1001"},
      {[](TOutputOptions& o) { o.FrameSize = "176x144"; }, "s", "176x144"},
      {[](TOutputOptions& o) { o.FrameAspectRatio = "4:3"; }, "aspect", "4:3"},
      {[](TOutputOptions& o) { o.PadTop = 2; }, "padtop", "2"},
      {[](TOutputOptions& o) { o.PadBottom = 4; }, "padbottom", "4"},
      {[](TOutputOptions& o) { o.PadLeft = 6; }, "padleft", "6"},
      {[](TOutputOptions& o) { o.PadColor = 255; }, "padcolor", "255"},  // pure red
      {[](TOutputOptions& o) { o.VideoSync = 0; }, "vsync", "0"},
      {[](TOutputOptions& o) { o.VideoTag = "XVID"; }, "vtag", "XVID"},
      {[](TOutputOptions& o) { o.VideoFilters = "hflip"; }, "vfilters", "hflip"},
      {[](TOutputOptions& o) { o.SubtitleCodec = "mov_text"; }, "scodec", "mov_text"},
      {[](TOutputOptions& o) { o.SubtitleDisable = true; }, "sn", "1"},
      {[](TOutputOptions& o) { o.SubtitleLanguage = "ger"; }, "slang", "ger"},
      {[](TOutputOptions& o) { o.CopyTimestamps = true; }, "copyts", "1"},
  };
  TOutputOptions o;
  TEngine byName;
  o.FileFormat = "3gp";  // the output's format only ("f" names the input's too)
  byName.SetOutputFormat("3gp");
  for (const auto& [set, name, value] : fields) {
    set(o);
    byName.SetOption(name, value);
  }
  ApplyOutputOptions(E, o);
  ExpectSameSettings(E, byName);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(E.Settings().Video.FPadColor[i], byName.Settings().Video.FPadColor[i]) << i;
  EXPECT_TRUE(E.OptionStore().Names.empty());
  // Every value differs from the engine's own default, so a field that is
  // not passed on shows.
  const TEngine fresh;
  EXPECT_NE(E.Settings().Audio.FAudioVolume, fresh.Settings().Audio.FAudioVolume);
  EXPECT_NE(E.Settings().Run.FVideoSyncMethod, fresh.Settings().Run.FVideoSyncMethod);
  EXPECT_NE(E.Settings().Video.FPadColor[0], fresh.Settings().Video.FPadColor[0]);
}

TEST_F(OptionRecords, NumbersAtTheirInitialValuesAreNotPassed) {
  E.SetMuxMaxDelay(0.3f);
  E.SetAudioVolume(100);
  E.SetAudioChannels(1);
  E.SetFrameSize("352x288");
  TOutputOptions o;
  o.MuxDelay = 0;       // not > 0
  o.AudioVolume = -1;   // not >= 0
  o.AudioChannels = 0;  // not > 0
  o.CropTop = -1;
  ApplyOutputOptions(E, o);
  EXPECT_FLOAT_EQ(E.Settings().Mux.FMuxMaxDelay, 0.3f);
  EXPECT_EQ(E.Settings().Audio.FAudioVolume, 100);
  EXPECT_EQ(E.Settings().Audio.FAudioChannels, 1);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 288);
  EXPECT_EQ(E.Settings().Video.FFrameTopBand, 0);
}

TEST_F(OptionRecords, PadColourTakesRgbAndASystemColourAsBlack) {
  // Bits above the colour (palette flags of the original platform) are
  // ignored; a system colour (the original platform's clBtnFace) has no RGB
  // value here.
  struct TCase {
    int Colour;
    int Y;
  };
  for (const TCase& c : {TCase{0xFFFFFF, 255}, TCase{0x01FFFFFF, 255}, TCase{static_cast<int>(0xFF00000Fu), 0}}) {
    TOutputOptions o;
    o.PadColor = c.Colour;
    ApplyOutputOptions(E, o);
    EXPECT_EQ(E.Settings().Video.FPadColor[0], c.Y) << std::hex << c.Colour;
    EXPECT_EQ(E.Settings().Video.FPadColor[1], 128);
    EXPECT_EQ(E.Settings().Video.FPadColor[2], 128);
  }
}

TEST_F(OptionRecords, AnEmptyFormatKeepsTheTargetsFormat) {
  TOutputOptions o;
  o.Target = 1;
  o.TargetNorm = 1;
  ApplyTarget(E, o);
  ApplyOutputOptions(E, o);
  EXPECT_EQ(OutputFormatName(E), "vcd");
  // A given format wins, because the record's fields come after the target.
  o.FileFormat = "mpeg";
  ApplyOutputOptions(E, o);
  EXPECT_EQ(OutputFormatName(E), "mpeg");
  o.FileFormat = "no_such_format";
  EXPECT_EQ(RaisedBy([&] { ApplyOutputOptions(E, o); }), "Unknown output format: no_such_format");
}

// The 64-bit fields win over the millisecond ones; the recording time also
// gives the expected total (value div 1000).
TEST_F(OptionRecords, TimesInMicrosecondsWinOverMilliseconds) {
  TOutputOptions o;
  o.StartTimeMs = 2000;
  o.RecordingTimeMs = 30000;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.Settings().Mux.FStartTime, 2000000);
  EXPECT_EQ(E.Settings().Mux.FRecordingTime, 30000000);
  EXPECT_EQ(E.TotalDuration(), 30000);

  TEngine other;
  o.StartTime = 5000000;
  o.RecordingTime = 45678901;
  ApplyOutputOptions(other, o);
  EXPECT_EQ(other.Settings().Mux.FStartTime, 5000000);
  EXPECT_EQ(other.Settings().Mux.FRecordingTime, 45678901);
  EXPECT_EQ(other.TotalDuration(), 45678);
}

TEST_F(OptionRecords, CodecBeforePresetNamesThePreset) {
  TOutputOptions o;
  o.VideoCodec = "libx264";
  o.VideoPreset = "hq";  // "libx264-hq", composed with the codec set just before
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.Settings().Video.FVideoCodecName, "libx264");
  EXPECT_FALSE(E.OptionStore().Names.empty());

  TEngine audio;
  TOutputOptions a;
  a.AudioCodec = "aac";
  a.AudioPreset = "ipod320";
  a.AudioDisable = true;  // after the preset in emission order
  EXPECT_EQ(RaisedBy([&] { ApplyOutputOptions(audio, a); }), "Preset \"aac-ipod320\" not found");
  // Fields before the failing one stay applied, later ones were not reached.
  EXPECT_EQ(audio.Settings().Audio.FAudioCodecName, "aac");
  EXPECT_FALSE(audio.Settings().Audio.FAudioDisable);
}

TEST_F(OptionRecords, LaterFieldsOverrideThePreset) {
  TOutputOptions o;
  o.VideoPreset = "libx264-ipod320";  // maxrate=768000, bufsize=3000000
  ApplyOutputOptions(E, o);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "maxrate"), 768000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bufsize"), 3000000);
  o.VideoMaxRate = 500000;
  o.VideoBufSize = 1000000;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "maxrate"), 500000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bufsize"), 1000000);
}

TEST_F(OptionRecords, FrameSizeBeforeCropping) {
  TOutputOptions o;
  o.FrameSize = "352x288";
  o.CropTop = 8;
  o.CropBottom = 8;
  o.CropLeft = 16;
  o.CropRight = 0;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 272);
  EXPECT_EQ(E.Settings().Video.FFrameWidth, 336);
  EXPECT_EQ(E.Settings().Video.FFrameTopBand, 8);
  EXPECT_EQ(E.Settings().Video.FFrameBottomBand, 8);
  EXPECT_EQ(E.Settings().Video.FFrameLeftBand, 16);
  EXPECT_EQ(E.Settings().Video.FFrameRightBand, 0);

  // Without a frame size the crop is outside the picture.
  TEngine bare;
  TOutputOptions c;
  c.CropTop = 0;
  EXPECT_EQ(RaisedBy([&] { ApplyOutputOptions(bare, c); }), kVerticalCrop);
}

// ---- Options by name to the library option contexts ----

TEST_F(OptionRecords, RatesAndSizesLandInTheOptionStore) {
  TOutputOptions o;
  o.PacketSize = 2324;
  o.MuxRate = 1411200;
  o.AudioBitrate = 64;  // low, but not through the dispatcher: no warning
  o.AudioBitrateTolerance = 4000;
  o.GroupPictureSize = 25;
  o.VideoBitrate = 96;
  o.VideoMaxRate = 1150000;
  o.VideoMinRate = 100000;
  o.VideoBitrateTolerance = 8000;
  o.VideoBufSize = 327680;
  ApplyOutputOptions(E, o);

  int64_t packetSize = -1;
  EXPECT_GE(lib::av_opt_get_int(E.OptionStore().Format, "packetsize", 0, &packetSize), 0);
  EXPECT_EQ(packetSize, 2324);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "ab"), 64);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "bt"), 4000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 25);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 96);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "maxrate"), 1150000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "minrate"), 100000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bt"), 8000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bufsize"), 327680);
  EXPECT_EQ(E.OptionStore().Names,
            (std::vector<std::string>{"packetsize", "ab", "bt", "g", "b", "maxrate", "minrate", "bt", "bufsize"}));
  // "muxrate" is a private option of the MPEG muxers in the libraries in use.
  ASSERT_EQ(E.Settings().Run.FPrivateOptions.size(), 1u);
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[0].Name, "muxrate");
  EXPECT_EQ(E.Settings().Run.FPrivateOptions[0].Value, "1411200");
  EXPECT_FALSE(LogContains("bitrate parameter is set too low"));
  // Not through the dispatcher's typed fields either.
  EXPECT_EQ(E.Settings().Audio.FAudioSampleRate, 44100);
}

// ---- Target ----

// Target 1, 2, 3 are vcd, svcd, dvd (others pass nothing); norm 1 is pal,
// 2 ntsc, others auto, which detects the norm from the frame rate; 24
// frames/s decides nothing, so the default norm does: 1 is pal, others ntsc.
TEST_F(OptionRecords, TargetKindsNormsAndTheDefaultNorm) {
  TOutputOptions o;
  for (int target : {0, 4, -1}) {
    o.Target = target;
    ApplyTarget(E, o);  // would raise (no frame rate) if anything were passed
  }
  EXPECT_EQ(E.Settings().Mux.FOutputFormat, nullptr);
  o.Target = 1;
  o.TargetNorm = 7;
  EXPECT_EQ(RaisedBy([&] { ApplyTarget(E, o); }), "frame_rate is invalid.");

  struct TCase {
    int Target, Norm, DefaultNorm;
    const char* Format;
    int Height, RateNum;
    const char* Assumed;  // empty: nothing detected
  };
  for (const TCase& c : {TCase{1, 7, 1, "vcd", 288, 25, "Assuming PAL for target."},
                         TCase{1, 0, 5, "vcd", 240, 30000, "Assuming NTSC for target."},
                         TCase{2, 2, 1, "svcd", 480, 30000, ""}, TCase{3, 1, 0, "dvd", 576, 25, ""}}) {
    SCOPED_TRACE(c.Format);
    TEngine engine;
    if (*c.Assumed) engine.SetFrameRate("24");  // a given norm needs no frame rate
    o.Target = c.Target;
    o.TargetNorm = c.Norm;
    o.TargetDefaultNorm = c.DefaultNorm;
    ClearLogLines();
    ApplyTarget(engine, o);
    EXPECT_EQ(OutputFormatName(engine), c.Format);
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, c.Height);
    EXPECT_EQ(engine.Settings().Video.FFrameRate.num, c.RateNum);
    EXPECT_EQ(engine.Settings().Video.FFrameRate.den, c.RateNum == 25 ? 1 : 1001);
    EXPECT_EQ(LogContains("for target."), *c.Assumed != 0);
    if (*c.Assumed) {
      EXPECT_TRUE(Logged(c.Assumed));
    }
  }
}

// ---- Hook ranges ----

TEST_F(OptionRecords, HookRangesKeepTheValidOnesSortedByEnd) {
  ParseHookRanges(E, "100-200, 50-80, 300-250");
  EXPECT_EQ(Ranges(E), (TRanges{{50, 80}, {100, 200}}));
  EXPECT_EQ(E.FHookRangeCount, 2);
  EXPECT_EQ(E.FHookRangeIndex, 0);
  // Blanks around the bounds, an end below 0 (a negative start cannot be
  // written: the first "-" splits), a one-point range, hexadecimal, a
  // trailing comma.
  ParseHookRanges(E, "  0 - 0 ,3--1,  7 -  9, $10-$20,  ");
  EXPECT_EQ(Ranges(E), (TRanges{{0, 0}, {7, 9}, {16, 32}}));
  EXPECT_EQ(E.FHookRangeCount, 3);
  // An empty text gives none.
  ParseHookRanges(E, "   ");
  EXPECT_TRUE(E.Settings().Run.FHookRanges.empty());
  EXPECT_EQ(E.FHookRangeCount, 0);
}

TEST_F(OptionRecords, BadHookTextRaisesTheConversionError) {
  ParseHookRanges(E, "1-2");
  // No "-": the whole piece is the start and the end is empty.
  EXPECT_EQ(RaisedBy([&] { ParseHookRanges(E, "100"); }), "'' is not a valid integer value");
  EXPECT_EQ(RaisedBy([&] { ParseHookRanges(E, "10-20, abc-200"); }), "'abc' is not a valid integer value");
  EXPECT_EQ(RaisedBy([&] { ParseHookRanges(E, "10-2x"); }), "'2x' is not a valid integer value");
  EXPECT_EQ(RaisedBy([&] { ParseHookRanges(E, "1-2,,3-4"); }), "'' is not a valid integer value");
  // A failed text hands nothing on.
  EXPECT_EQ(Ranges(E), (TRanges{{1, 2}}));
}

// ---- Metadata and timestamp ----

TEST_F(OptionRecords, MetadataInEmissionOrder) {
  TOutputOptions o;
  o.Metadata.Year = 0;  // year 0 and track -1 are not given
  o.Metadata.Track = -1;
  ApplyOutputOptions(E, o);
  EXPECT_TRUE(E.Settings().Mux.FMetadata.empty());

  o.Metadata.Year = 2010;
  o.Metadata.Track = 3;
  o.Metadata.Title = "Title";
  o.Metadata.Author = "Author";
  o.Metadata.Copyright = "";
  o.Metadata.Comment = "Comment";
  o.Metadata.Album = "Album";
  o.Metadata.Genre = "Genre";
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.Settings().Mux.FMetadata, (TMetadataList{{"year", "2010"},
                                                       {"track", "3"},
                                                       {"title", "Title"},
                                                       {"author", "Author"},
                                                       {"comment", "Comment"},
                                                       {"album", "Album"},
                                                       {"genre", "Genre"}}));
}

TEST_F(OptionRecords, TimestampOfAKnownLocalDate) {
  TTimeZone zone("UTC-8");  // eight hours east of UTC, no daylight saving
  // 2000-01-01 08:00 local is 2000-01-01 00:00 UTC.
  const double date = 36526.0 + 8.0 / 24.0;
  EXPECT_EQ(DateTimeToUnixSeconds(date), 946684800);
  EXPECT_EQ(DateTimeToUnixSeconds(36526.5), 946684800 + 4 * 3600);
  // Fractions of a second round to the nearest second.
  EXPECT_EQ(DateTimeToUnixSeconds(date + 0.4 / 86400.0), 946684800);
  EXPECT_EQ(DateTimeToUnixSeconds(date + 0.6 / 86400.0), 946684801);

  TOutputOptions o;
  o.Metadata.Timestamp = date;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.Settings().Mux.FRecordingTimestamp, 946684800);

  // The same local date in another zone is another instant.
  TTimeZone west("UTC+5");
  EXPECT_EQ(DateTimeToUnixSeconds(date), 946684800 + 13 * 3600);
}

TEST_F(OptionRecords, TimestampZeroIsNowAndNegativeIsNotGiven) {
  TTimeZone zone("UTC-8");
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  EXPECT_NEAR(NowDateTime(), now / 86400.0 + 25569.0 + 8.0 / 24.0, 5.0 / 86400.0);

  TOutputOptions o;
  for (double notGiven : {-1.0, -0.5}) {
    o.Metadata.Timestamp = notGiven;
    ApplyOutputOptions(E, o);
    EXPECT_EQ(E.Settings().Mux.FRecordingTimestamp, 0) << notGiven;
  }
  o.Metadata.Timestamp = 0;
  ApplyOutputOptions(E, o);
  EXPECT_NEAR(static_cast<double>(E.Settings().Mux.FRecordingTimestamp), static_cast<double>(now), 5.0);
}

// ---- Extra option lines ----

TEST_F(OptionRecords, WindowsLineBreaksAndATrailingBlankLineAreLikePlainLineFeeds) {
  const std::string texts[] = {"s=352x288\r\ncroptop=8\r\nab=64000\r\nmetadata=title=a=b\r\n\r\n",
                               "s=352x288\ncroptop=8\nab=64000\nmetadata=title=a=b\n",
                               "s=352x288\rcroptop=8\rab=64000\rmetadata=title=a=b"};
  std::vector<std::string> firstNames;
  for (const std::string& text : texts) {
    TEngine engine;
    ApplyExtraOptions(engine, text, TExtraOptionGroup::General);
    EXPECT_EQ(engine.Settings().Video.FFrameWidth, 352);
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, 280);
    EXPECT_EQ(engine.Settings().Video.FFrameTopBand, 8);
    int64_t rate = 0;
    EXPECT_GE(lib::av_opt_get_int(engine.OptionStore().Codec[AVMEDIA_TYPE_AUDIO], "b", 0, &rate), 0);
    EXPECT_EQ(rate, 64000);
    // Split at the first "=" only.
    EXPECT_EQ(engine.Settings().Mux.FMetadata, (TMetadataList{{"title", "a=b"}}));
    if (&text == &texts[0]) firstNames = engine.OptionStore().Names;
    EXPECT_EQ(engine.OptionStore().Names, firstNames);
  }
}

TEST_F(OptionRecords, EachPassHandsOnlyTheLinesOfItsGroup) {
  const std::string text =
      "newvideo\n"
      "vcodec=libx264\n"
      "vpre=hq\n"
      "newaudio=\n"
      "acodec=copy\n"
      "copyts\n"
      "VPRE=hq\n"         // names compare case-sensitively: a general line
      " vcodec=mpeg4\n";  // names are not trimmed: no such option
  ApplyExtraOptions(E, text, TExtraOptionGroup::General);
  EXPECT_EQ(E.Settings().Video.FVideoCodecName, "libx264");
  EXPECT_EQ(E.Settings().Audio.FAudioStreamCopy, 1);
  EXPECT_TRUE(E.Settings().Run.FCopyTs);       // a line without "=" is a name with an empty value
  EXPECT_TRUE(E.OptionStore().Names.empty());  // the preset is not applied yet

  ApplyExtraOptions(E, text, TExtraOptionGroup::Preset);
  EXPECT_FALSE(E.OptionStore().Names.empty());  // "libx264-hq"

  // The new-stream lines reach the dispatcher, which needs an output.
  EXPECT_EQ(RaisedBy([&] { ApplyExtraOptions(E, text, TExtraOptionGroup::NewStream); }),
            "At least one output file must be specified");

  TEngine empty;
  ApplyExtraOptions(empty, "", TExtraOptionGroup::NewStream);
  ApplyExtraOptions(empty, " \r\n \r\n", TExtraOptionGroup::General);
  EXPECT_TRUE(empty.OptionStore().Names.empty());
}

TEST_F(OptionRecords, ExtraOptionLinesRaiseWhatTheDispatcherRaises) {
  EXPECT_EQ(RaisedBy([&] { ApplyExtraOptions(E, "s=352x288\npass=3\ncroptop=8", TExtraOptionGroup::General); }),
            "pass number can be only 1 or 2");
  // The lines before the failing one stay applied.
  EXPECT_EQ(E.Settings().Video.FFrameHeight, 288);
  EXPECT_EQ(E.Settings().Video.FFrameTopBand, 0);
}

}  // namespace
