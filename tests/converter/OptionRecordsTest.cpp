// The input and output option records: their initial values, the fields an
// output record hands to a real engine instance (in emission order), the
// target, the hook ranges, the extra option lines and the timestamp.
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "converter/OptionRecords.h"
#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "tests/support/RecordedLog.h"

namespace {

using TMetadataList = std::vector<std::pair<std::string, std::string>>;

using TRanges = std::vector<std::pair<int64_t, int64_t>>;

// The engine's hook ranges as (Start, End) pairs.
TRanges Ranges(const TCustomFFmpeg& AEngine) {
  TRanges ranges;
  for (const THookRange& range : AEngine.FHookRanges) ranges.emplace_back(range.Start, range.End);
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

class OptionRecords : public ::testing::Test {
protected:
  void SetUp() override {
    E.Prepare();
    ClearLogLines();
  }

  int64_t CodecOption(int AMediaType, const char* AName) const {
    int64_t value = -1;
    EXPECT_GE(lib::av_opt_get_int(E.FOptionStore.Codec[AMediaType], AName, 0, &value), 0) << AName;
    return value;
  }
  int64_t FormatOption(const char* AName) const {
    int64_t value = -1;
    EXPECT_GE(lib::av_opt_get_int(E.FOptionStore.Format, AName, 0, &value), 0) << AName;
    return value;
  }
  std::string OutputFormatName() const { return E.FOutputFormat ? E.FOutputFormat->name : "(none)"; }
  bool Logged(const std::string& AText) const {
    for (const TRecordedLine& line : LogLines())
      if (line.Text == AText) return true;
    return false;
  }

  TCustomFFmpeg E;
};

// ---- Initial values ----

TEST_F(OptionRecords, InitSetsEveryFieldToItsInitialValue) {
  TInputOptions in;
  in.FileName = u"x.avi";
  in.FileFormat = "avi";
  in.StartTimeMs = 5;
  in.StartTime = 6;
  in.ProgramID = 7;
  in.ExtraOptions = "a=b";
  in.InputReserved1 = in.InputReserved2 = 9;
  InitInputOptions(in);
  EXPECT_TRUE(in.FileName.empty());
  EXPECT_TRUE(in.FileFormat.empty());
  EXPECT_EQ(in.StartTimeMs, -1);
  EXPECT_EQ(in.StartTime, -1);
  EXPECT_EQ(in.ProgramID, -1);
  EXPECT_TRUE(in.ExtraOptions.empty());
  EXPECT_EQ(in.InputReserved1, 0);
  EXPECT_EQ(in.InputReserved2, 0);

  TOutputOptions out;
  out.FileName = u"y.3gp";
  out.OutputReserved = ".3gp";
  out.FileFormat = "3gp";
  out.PacketSize = out.MuxRate = out.AudioVolume = out.AudioChannels = 3;
  out.MuxDelay = out.MuxPreload = 1.5f;
  out.AudioCodec = out.AudioPreset = out.AudioLanguage = out.AudioTag = "x";
  out.AudioDisable = out.VideoDisable = out.SubtitleDisable = out.CopyTimestamps = true;
  out.AudioSync = 4;
  out.VideoSync = 2;
  out.CropTop = out.CropBottom = out.CropLeft = out.CropRight = 2;
  out.PadTop = out.PadBottom = out.PadLeft = out.PadRight = 2;
  out.PadColor = 0xFFFFFF;
  out.GroupPictureSize = out.VideoBitrate = out.VideoMaxRate = out.VideoMinRate = 5;
  out.VideoBitrateTolerance = out.VideoBufSize = 5;
  out.FrameRate = out.FrameSize = out.FrameAspectRatio = out.VideoFilters = "y";
  out.StartTimeMs = out.RecordingTimeMs = 8;
  out.StartTime = out.RecordingTime = 9;
  out.Metadata.Timestamp = 3.0;
  out.Metadata.Year = 2000;
  out.Metadata.Track = 1;
  out.Metadata.Title = out.Metadata.Genre = "z";
  out.Target = 2;
  out.TargetNorm = 2;
  out.TargetDefaultNorm = 0;
  out.CustomHook = out.BeforeHook = out.JoinInputs = true;
  out.HookRanges = "1-2";
  out.ExtraOptions = "a=b";
  out.OutputReserved1 = out.OutputReserved2 = 1;
  InitOutputOptions(out);
  EXPECT_TRUE(out.FileName.empty());
  EXPECT_TRUE(out.OutputReserved.empty());
  EXPECT_TRUE(out.FileFormat.empty());
  EXPECT_EQ(out.PacketSize, -1);
  EXPECT_EQ(out.MuxRate, -1);
  EXPECT_EQ(out.MuxDelay, -1.0f);
  EXPECT_EQ(out.MuxPreload, -1.0f);
  EXPECT_TRUE(out.AudioCodec.empty());
  EXPECT_TRUE(out.AudioPreset.empty());
  EXPECT_FALSE(out.AudioDisable);
  EXPECT_EQ(out.AudioVolume, -1);
  EXPECT_EQ(out.AudioChannels, -1);
  EXPECT_EQ(out.AudioSync, 0);
  EXPECT_EQ(out.VideoSync, -1);
  EXPECT_EQ(out.CropTop, -1);
  EXPECT_EQ(out.PadRight, -1);
  EXPECT_EQ(out.PadColor, 0);
  EXPECT_EQ(out.GroupPictureSize, -1);
  EXPECT_EQ(out.VideoBufSize, -1);
  EXPECT_TRUE(out.FrameAspectRatio.empty());
  EXPECT_FALSE(out.CopyTimestamps);
  EXPECT_EQ(out.StartTimeMs, -1);
  EXPECT_EQ(out.StartTime, -1);
  EXPECT_EQ(out.RecordingTimeMs, -1);
  EXPECT_EQ(out.RecordingTime, -1);
  EXPECT_EQ(out.Metadata.Timestamp, -1.0);
  EXPECT_EQ(out.Metadata.Year, -1);
  EXPECT_EQ(out.Metadata.Track, -1);
  EXPECT_TRUE(out.Metadata.Title.empty());
  EXPECT_TRUE(out.Metadata.Genre.empty());
  EXPECT_EQ(out.Target, 0);
  EXPECT_EQ(out.TargetNorm, 0);
  EXPECT_EQ(out.TargetDefaultNorm, 1);
  EXPECT_FALSE(out.CustomHook);
  EXPECT_FALSE(out.BeforeHook);
  EXPECT_FALSE(out.JoinInputs);
  EXPECT_TRUE(out.HookRanges.empty());
  EXPECT_TRUE(out.ExtraOptions.empty());
  EXPECT_EQ(out.OutputReserved1, 0);
  EXPECT_EQ(out.OutputReserved2, 0);
}

// ---- A fresh record ----

TEST_F(OptionRecords, AFreshRecordChangesNothingButTheAlwaysStoredValues) {
  TOutputOptions options;
  InitOutputOptions(options);
  ApplyOutputOptions(E, options);
  ApplyTarget(E, options);
  ParseHookRanges(E, options.HookRanges);
  ApplyExtraOptions(E, options.ExtraOptions, TExtraOptionGroup::General);
  ApplyExtraOptions(E, options.ExtraOptions, TExtraOptionGroup::Preset);

  EXPECT_EQ(E.FOutputFormat, nullptr);
  EXPECT_EQ(E.FInputFormat, nullptr);
  EXPECT_EQ(E.FStartTime, 0);
  EXPECT_EQ(E.FRecordingTime, INT64_MAX);
  EXPECT_EQ(E.FTotalDuration, -1);
  EXPECT_EQ(E.FRecordingTimestamp, 0);
  EXPECT_TRUE(E.FMetadata.empty());
  EXPECT_FLOAT_EQ(E.FMuxPreload, 0.5f);
  EXPECT_FLOAT_EQ(E.FMuxMaxDelay, 0.7f);
  EXPECT_TRUE(E.FAudioCodecName.empty());
  EXPECT_TRUE(E.FVideoCodecName.empty());
  EXPECT_TRUE(E.FSubtitleCodecName.empty());
  EXPECT_EQ(E.FAudioStreamCopy + E.FVideoStreamCopy + E.FSubtitleStreamCopy, 0);
  EXPECT_EQ(E.FAudioVolume, 256);
  EXPECT_EQ(E.FAudioChannels, 2);
  EXPECT_EQ(E.FAudioSampleRate, 44100);
  EXPECT_EQ(E.FFrameWidth, 0);
  EXPECT_EQ(E.FFrameHeight, 0);
  EXPECT_EQ(E.FFrameRate.num, 0);
  EXPECT_EQ(E.FFrameRate.den, 0);
  EXPECT_EQ(E.FFrameAspectRatio, 0.0f);
  EXPECT_EQ(E.FFrameTopBand + E.FFrameBottomBand + E.FFrameLeftBand + E.FFrameRightBand, 0);
  EXPECT_EQ(E.FFramePadTop + E.FFramePadBottom + E.FFramePadLeft + E.FFramePadRight, 0);
  EXPECT_EQ(E.FAudioCodecTag + E.FVideoCodecTag + E.FSubtitleCodecTag, 0u);
  EXPECT_TRUE(E.FVideoFilters.empty());
  EXPECT_TRUE(E.FHookRanges.empty());
  EXPECT_EQ(E.FHookRangeCount, 0);
  EXPECT_TRUE(E.FOptionStore.Names.empty());
  EXPECT_TRUE(E.FPrivateOptions.empty());
  // The always-stored values: their defaults...
  EXPECT_EQ(E.FAudioSyncMethod, 0);
  EXPECT_EQ(E.FVideoSyncMethod, -1);
  EXPECT_FALSE(E.FAudioDisable);
  EXPECT_FALSE(E.FVideoDisable);
  EXPECT_FALSE(E.FSubtitleDisable);
  EXPECT_FALSE(E.FCopyTs);
  EXPECT_TRUE(E.FAudioLanguage.empty());
  EXPECT_TRUE(E.FSubtitleLanguage.empty());
  // ...and the record's black, which the pad colour conversion makes
  // (0, 128, 128), not the engine's own (16, 128, 128).
  EXPECT_EQ(E.FPadColor[0], 0);
  EXPECT_EQ(E.FPadColor[1], 128);
  EXPECT_EQ(E.FPadColor[2], 128);
}

TEST_F(OptionRecords, TheAlwaysStoredValuesAreStored) {
  // Non-default values first, so that the record's defaults are seen to be
  // written back.
  E.SetAudioDisable(true);
  E.SetVideoDisable(true);
  E.SetSubtitleDisable(true);
  E.SetCopyTimestamps(true);
  E.SetAudioSyncMethod(3);
  E.SetVideoSyncMethod(2);
  E.SetAudioLanguage("eng");
  E.SetSubtitleLanguage("ger");
  TOutputOptions options;
  ApplyOutputOptions(E, options);
  EXPECT_FALSE(E.FAudioDisable);
  EXPECT_FALSE(E.FVideoDisable);
  EXPECT_FALSE(E.FSubtitleDisable);
  EXPECT_FALSE(E.FCopyTs);
  EXPECT_EQ(E.FAudioSyncMethod, 0);
  EXPECT_EQ(E.FVideoSyncMethod, -1);
  EXPECT_TRUE(E.FAudioLanguage.empty());
  EXPECT_TRUE(E.FSubtitleLanguage.empty());
}

// ---- Typed setters ----

TEST_F(OptionRecords, FieldsReachTheTypedSetters) {
  TOutputOptions o;
  o.FileFormat = "3gp";
  o.MuxDelay = 0.25f;
  o.MuxPreload = 0.44f;
  o.AudioCodec = "aac";
  o.AudioDisable = true;
  o.AudioVolume = 0;  // >= 0 is passed
  o.AudioChannels = 1;
  o.AudioSampleRate = 8000;
  o.AudioLanguage = "eng";
  o.AudioSync = 1;
  o.AudioTag = "mp4a";
  o.VideoCodec = "copy";
  o.VideoDisable = true;
  o.FrameRate = "30000/1001";
  o.FrameSize = "176x144";
  o.FrameAspectRatio = "4:3";
  o.PadTop = 2;
  o.PadBottom = 4;
  o.PadLeft = 6;
  o.PadRight = 0;
  o.PadColor = 255;  // pure red
  o.VideoSync = 0;
  o.VideoTag = "XVID";
  o.VideoFilters = "hflip";
  o.SubtitleCodec = "mov_text";
  o.SubtitleDisable = true;
  o.SubtitleLanguage = "ger";
  o.CopyTimestamps = true;
  ApplyOutputOptions(E, o);

  EXPECT_EQ(OutputFormatName(), "3gp");
  EXPECT_FLOAT_EQ(E.FMuxMaxDelay, 0.25f);
  EXPECT_FLOAT_EQ(E.FMuxPreload, 0.44f);
  EXPECT_EQ(E.FAudioCodecName, "aac");
  EXPECT_TRUE(E.FAudioDisable);
  EXPECT_EQ(E.FAudioVolume, 0);
  EXPECT_EQ(E.FAudioChannels, 1);
  EXPECT_EQ(E.FAudioSampleRate, 8000);
  EXPECT_EQ(E.FAudioLanguage, "eng");
  EXPECT_EQ(E.FAudioSyncMethod, 1);
  EXPECT_EQ(E.FAudioCodecTag, 0x6134706du);  // "mp4a", the first letter lowest
  EXPECT_TRUE(E.FVideoCodecName.empty());
  EXPECT_EQ(E.FVideoStreamCopy, 1);
  EXPECT_TRUE(E.FVideoDisable);
  EXPECT_EQ(E.FFrameRate.num, 30000);
  EXPECT_EQ(E.FFrameRate.den, 1001);
  EXPECT_EQ(E.FFrameWidth, 176);
  EXPECT_EQ(E.FFrameHeight, 144);
  EXPECT_FLOAT_EQ(E.FFrameAspectRatio, 4.0f / 3.0f);
  EXPECT_EQ(E.FFramePadTop, 2);
  EXPECT_EQ(E.FFramePadBottom, 4);
  EXPECT_EQ(E.FFramePadLeft, 6);
  EXPECT_EQ(E.FFramePadRight, 0);
  EXPECT_EQ(E.FPadColor[0], 76);
  EXPECT_EQ(E.FPadColor[1], 85);
  EXPECT_EQ(E.FPadColor[2], 255);
  EXPECT_EQ(E.FVideoSyncMethod, 0);
  EXPECT_EQ(E.FVideoCodecTag & 0xFF, static_cast<uint32_t>('X'));
  EXPECT_EQ(E.FVideoFilters, "hflip");
  EXPECT_EQ(E.FSubtitleCodecName, "mov_text");
  EXPECT_TRUE(E.FSubtitleDisable);
  EXPECT_EQ(E.FSubtitleLanguage, "ger");
  EXPECT_TRUE(E.FCopyTs);
  // None of these is a library option.
  EXPECT_TRUE(E.FOptionStore.Names.empty());
}

TEST_F(OptionRecords, NumbersAtTheirInitialValuesAreNotPassed) {
  E.SetMuxMaxDelay(0.3f);
  E.SetAudioVolume(100);
  E.SetAudioChannels(1);
  E.SetFrameSize("352x288");
  TOutputOptions o;
  o.MuxDelay = 0;      // not > 0
  o.AudioVolume = -1;  // not >= 0
  o.AudioChannels = 0; // not > 0
  o.CropTop = -1;
  ApplyOutputOptions(E, o);
  EXPECT_FLOAT_EQ(E.FMuxMaxDelay, 0.3f);
  EXPECT_EQ(E.FAudioVolume, 100);
  EXPECT_EQ(E.FAudioChannels, 1);
  EXPECT_EQ(E.FFrameHeight, 288);
  EXPECT_EQ(E.FFrameTopBand, 0);
}

TEST_F(OptionRecords, PadColourTakesRgbAndASystemColourAsBlack) {
  TOutputOptions o;
  o.PadColor = 0xFFFFFF;  // white
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FPadColor[0], 255);
  EXPECT_EQ(E.FPadColor[1], 128);
  EXPECT_EQ(E.FPadColor[2], 128);
  // Bits above the colour (palette flags of the original platform) are ignored.
  o.PadColor = 0x01FFFFFF;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FPadColor[0], 255);
  // A system colour (the original platform's clBtnFace) has no RGB value here.
  o.PadColor = static_cast<int>(0xFF00000Fu);
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FPadColor[0], 0);
  EXPECT_EQ(E.FPadColor[1], 128);
  EXPECT_EQ(E.FPadColor[2], 128);
}

TEST_F(OptionRecords, AnEmptyFormatKeepsTheTargetsFormat) {
  TOutputOptions o;
  o.Target = 1;
  o.TargetNorm = 1;
  ApplyTarget(E, o);
  ApplyOutputOptions(E, o);
  EXPECT_EQ(OutputFormatName(), "vcd");
  // A given format wins, because the record's fields come after the target.
  o.FileFormat = "mpeg";
  ApplyOutputOptions(E, o);
  EXPECT_EQ(OutputFormatName(), "mpeg");
  o.FileFormat = "no_such_format";
  EXPECT_EQ(RaisedBy([&] { ApplyOutputOptions(E, o); }), "Unknown output format: no_such_format");
}

// ---- Times ----

TEST_F(OptionRecords, StartTimeInMicrosecondsWinsOverMilliseconds) {
  TOutputOptions o;
  o.StartTimeMs = 2000;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FStartTime, 2000000);
  o.StartTime = 5000000;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FStartTime, 5000000);
}

TEST_F(OptionRecords, RecordingTimeGivesTheDurationAndTheExpectedTotal) {
  TOutputOptions o;
  o.RecordingTimeMs = 30000;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FRecordingTime, 30000000);
  EXPECT_EQ(E.FTotalDuration, 30000);

  TCustomFFmpeg other;
  other.Prepare();
  o.RecordingTime = 45678901;  // wins; total = value div 1000
  ApplyOutputOptions(other, o);
  EXPECT_EQ(other.FRecordingTime, 45678901);
  EXPECT_EQ(other.FTotalDuration, 45678);
}

// ---- Target ----

TEST_F(OptionRecords, TargetWithAnUnknownNormIsDetectedAndFallsBackToTheDefaultNorm) {
  TOutputOptions o;
  o.Target = 1;
  o.TargetNorm = 7;  // "auto"
  // "auto" needs a frame rate to detect from.
  EXPECT_EQ(RaisedBy([&] { ApplyTarget(E, o); }), "frame_rate is invalid.");

  // 24 frames/s decides nothing: the default norm does, "pal" for 1...
  E.FFrameRate = AVRational{24, 1};
  ApplyTarget(E, o);
  EXPECT_EQ(OutputFormatName(), "vcd");
  EXPECT_EQ(E.FVideoCodecName, "mpeg1video");
  EXPECT_EQ(E.FFrameWidth, 352);
  EXPECT_EQ(E.FFrameHeight, 288);
  EXPECT_EQ(E.FFrameRate.num, 25);
  EXPECT_EQ(E.FFrameRate.den, 1);
  EXPECT_TRUE(Logged("Assuming PAL for target."));

  // ...and "ntsc" for any other value.
  TCustomFFmpeg ntsc;
  ntsc.Prepare();
  ntsc.FFrameRate = AVRational{24, 1};
  o.TargetDefaultNorm = 5;
  ApplyTarget(ntsc, o);
  EXPECT_EQ(ntsc.FFrameWidth, 352);
  EXPECT_EQ(ntsc.FFrameHeight, 240);
  EXPECT_EQ(ntsc.FFrameRate.num, 30000);
  EXPECT_EQ(ntsc.FFrameRate.den, 1001);
}

TEST_F(OptionRecords, TargetKindsAndGivenNorms) {
  TOutputOptions o;
  o.Target = 2;
  o.TargetNorm = 2;  // "ntsc": no detection, so no frame rate is needed
  ApplyTarget(E, o);
  EXPECT_EQ(OutputFormatName(), "svcd");
  EXPECT_EQ(E.FFrameWidth, 480);
  EXPECT_EQ(E.FFrameHeight, 480);
  EXPECT_FALSE(Logged("Assuming NTSC for target."));

  TCustomFFmpeg dvd;
  dvd.Prepare();
  o.Target = 3;
  o.TargetNorm = 1;
  ApplyTarget(dvd, o);
  EXPECT_EQ(dvd.FOutputFormat ? std::string(dvd.FOutputFormat->name) : "", "dvd");
  EXPECT_EQ(dvd.FAudioCodecName, "ac3");
  EXPECT_EQ(dvd.FFrameWidth, 720);
  EXPECT_EQ(dvd.FFrameHeight, 576);
}

TEST_F(OptionRecords, NoTargetPassesNothing) {
  TOutputOptions o;
  for (int target : {0, 4, -1}) {
    o.Target = target;
    ApplyTarget(E, o);  // would raise (no frame rate) if anything were passed
  }
  EXPECT_EQ(E.FOutputFormat, nullptr);
  EXPECT_TRUE(E.FVideoCodecName.empty());
  EXPECT_EQ(E.FFrameWidth, 0);
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
}

TEST_F(OptionRecords, AnEmptyHookTextGivesNoRanges) {
  ParseHookRanges(E, "1-2");
  ParseHookRanges(E, "   ");
  EXPECT_TRUE(E.FHookRanges.empty());
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

TEST_F(OptionRecords, YearZeroAndTrackMinusOnePassNoMetadata) {
  TOutputOptions o;
  o.Metadata.Year = 0;
  o.Metadata.Track = -1;
  ApplyOutputOptions(E, o);
  EXPECT_TRUE(E.FMetadata.empty());
}

TEST_F(OptionRecords, MetadataInEmissionOrder) {
  TOutputOptions o;
  o.Metadata.Year = 2010;
  o.Metadata.Track = 3;
  o.Metadata.Title = "Title";
  o.Metadata.Author = "Author";
  o.Metadata.Copyright = "";
  o.Metadata.Comment = "Comment";
  o.Metadata.Album = "Album";
  o.Metadata.Genre = "Genre";
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FMetadata, (TMetadataList{{"year", "2010"},
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
  EXPECT_EQ(E.FRecordingTimestamp, 946684800);

  // The same local date in another zone is another instant.
  {
    TTimeZone west("UTC+5");
    EXPECT_EQ(DateTimeToUnixSeconds(date), 946684800 + 13 * 3600);
  }
  EXPECT_EQ(DateTimeToUnixSeconds(date), 946684800);
}

TEST_F(OptionRecords, TimestampZeroIsNowAndNegativeIsNotGiven) {
  TTimeZone zone("UTC-8");
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  const double local = NowDateTime();
  EXPECT_NEAR(local, now / 86400.0 + 25569.0 + 8.0 / 24.0, 5.0 / 86400.0);

  TOutputOptions o;
  o.Metadata.Timestamp = -1.0;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FRecordingTimestamp, 0);
  o.Metadata.Timestamp = -0.5;
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FRecordingTimestamp, 0);

  o.Metadata.Timestamp = 0;
  ApplyOutputOptions(E, o);
  EXPECT_NEAR(static_cast<double>(E.FRecordingTimestamp), static_cast<double>(now), 5.0);
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

  EXPECT_EQ(FormatOption("packetsize"), 2324);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "ab"), 64);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "bt"), 4000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 25);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 96);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "maxrate"), 1150000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "minrate"), 100000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bt"), 8000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "bufsize"), 327680);
  EXPECT_EQ(E.FOptionStore.Names, (std::vector<std::string>{"packetsize", "ab", "bt", "g", "b", "maxrate", "minrate",
                                                            "bt", "bufsize"}));
  // "muxrate" is a private option of the MPEG muxers in the libraries in use.
  ASSERT_EQ(E.FPrivateOptions.size(), 1u);
  EXPECT_EQ(E.FPrivateOptions[0].Name, "muxrate");
  EXPECT_EQ(E.FPrivateOptions[0].Value, "1411200");
  EXPECT_FALSE(LogContains("bitrate parameter is set too low"));
  // Not through the dispatcher's typed fields either.
  EXPECT_EQ(E.FAudioSampleRate, 44100);
}

// ---- Emission order ----

TEST_F(OptionRecords, CodecBeforePresetNamesThePreset) {
  TOutputOptions o;
  o.VideoCodec = "libx264";
  o.VideoPreset = "hq";  // "libx264-hq", composed with the codec set just before
  ApplyOutputOptions(E, o);
  EXPECT_EQ(E.FVideoCodecName, "libx264");
  EXPECT_FALSE(E.FOptionStore.Names.empty());

  TCustomFFmpeg audio;
  audio.Prepare();
  TOutputOptions a;
  a.AudioCodec = "aac";
  a.AudioPreset = "ipod320";
  a.AudioDisable = true;  // after the preset in emission order
  EXPECT_EQ(RaisedBy([&] { ApplyOutputOptions(audio, a); }), "Preset \"aac-ipod320\" not found");
  // Fields before the failing one stay applied, later ones were not reached.
  EXPECT_EQ(audio.FAudioCodecName, "aac");
  EXPECT_FALSE(audio.FAudioDisable);
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
  EXPECT_EQ(E.FFrameHeight, 272);
  EXPECT_EQ(E.FFrameWidth, 336);
  EXPECT_EQ(E.FFrameTopBand, 8);
  EXPECT_EQ(E.FFrameBottomBand, 8);
  EXPECT_EQ(E.FFrameLeftBand, 16);
  EXPECT_EQ(E.FFrameRightBand, 0);

  // Without a frame size the crop is outside the picture.
  TCustomFFmpeg bare;
  bare.Prepare();
  TOutputOptions c;
  c.CropTop = 0;
  EXPECT_EQ(RaisedBy([&] { ApplyOutputOptions(bare, c); }),
            "Vertical crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");
}

// ---- Extra option lines ----

TEST_F(OptionRecords, WindowsLineBreaksAndATrailingBlankLineAreLikePlainLineFeeds) {
  const std::string windows = "s=352x288\r\ncroptop=8\r\nab=64000\r\nmetadata=title=a=b\r\n\r\n";
  const std::string plain = "s=352x288\ncroptop=8\nab=64000\nmetadata=title=a=b\n";
  const std::string carriage = "s=352x288\rcroptop=8\rab=64000\rmetadata=title=a=b";
  TCustomFFmpeg others[2];
  ApplyExtraOptions(E, windows, TExtraOptionGroup::General);
  others[0].Prepare();
  ApplyExtraOptions(others[0], plain, TExtraOptionGroup::General);
  others[1].Prepare();
  ApplyExtraOptions(others[1], carriage, TExtraOptionGroup::General);
  for (TCustomFFmpeg* engine : {&E, &others[0], &others[1]}) {
    EXPECT_EQ(engine->FFrameWidth, 352);
    EXPECT_EQ(engine->FFrameHeight, 280);
    EXPECT_EQ(engine->FFrameTopBand, 8);
    int64_t rate = 0;
    EXPECT_GE(lib::av_opt_get_int(engine->FOptionStore.Codec[AVMEDIA_TYPE_AUDIO], "b", 0, &rate), 0);
    EXPECT_EQ(rate, 64000);
    // Split at the first "=" only.
    EXPECT_EQ(engine->FMetadata, (TMetadataList{{"title", "a=b"}}));
    EXPECT_EQ(engine->FOptionStore.Names, E.FOptionStore.Names);
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
      "VPRE=hq\n"       // names compare case-sensitively: a general line
      " vcodec=mpeg4\n";  // names are not trimmed: no such option
  ApplyExtraOptions(E, text, TExtraOptionGroup::General);
  EXPECT_EQ(E.FVideoCodecName, "libx264");
  EXPECT_EQ(E.FAudioStreamCopy, 1);
  EXPECT_TRUE(E.FCopyTs);  // a line without "=" is a name with an empty value
  EXPECT_TRUE(E.FOptionStore.Names.empty());  // the preset is not applied yet

  ApplyExtraOptions(E, text, TExtraOptionGroup::Preset);
  EXPECT_FALSE(E.FOptionStore.Names.empty());  // "libx264-hq"

  // The new-stream lines reach the dispatcher, which needs an output.
  EXPECT_EQ(RaisedBy([&] { ApplyExtraOptions(E, text, TExtraOptionGroup::NewStream); }),
            "At least one output file must be specified");

  TCustomFFmpeg empty;
  empty.Prepare();
  ApplyExtraOptions(empty, "", TExtraOptionGroup::NewStream);
  ApplyExtraOptions(empty, " \r\n \r\n", TExtraOptionGroup::General);
  EXPECT_TRUE(empty.FOptionStore.Names.empty());
}

TEST_F(OptionRecords, ExtraOptionLinesRaiseWhatTheDispatcherRaises) {
  EXPECT_EQ(RaisedBy([&] { ApplyExtraOptions(E, "s=352x288\npass=3\ncroptop=8", TExtraOptionGroup::General); }),
            "pass number can be only 1 or 2");
  // The lines before the failing one stay applied.
  EXPECT_EQ(E.FFrameHeight, 288);
  EXPECT_EQ(E.FFrameTopBand, 0);
}

}  // namespace
