// The input and output option records of a conversion task: their initial
// values, the passing of an output record's fields to the engine instance in
// emission order, the target, the hook ranges, the extra option lines and
// the local date-time of the timestamp.
#include "converter/OptionRecords.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"

void InitInputOptions(TInputOptions& AOptions) { AOptions = TInputOptions{}; }

void InitOutputOptions(TOutputOptions& AOptions) { AOptions = TOutputOptions{}; }

namespace {

// The options that the record hands by name, with the decimal text of the
// value, to the library option contexts instead of to the dispatcher (whose
// bit-rate option would add its low-bit-rate warning for "ab" and "vb").
//
// They go through the engine's pass-through OptDefault: for every name that
// one of the generic contexts of FOptionStore knows it is exactly
// SetGenericOption(FOptionStore, name, text). It adds one thing, and that is
// needed here: in the libraries in use "muxrate" is no generic option any
// more but a private option of the MPEG muxers ("mpeg", "vcd", "svcd",
// "dvd", "vob", "mpegts"), which SetGenericOption alone would drop without a
// word; OptDefault keeps it in FPrivateOptions for the output's muxer.
void PassGeneric(TCustomFFmpeg& AEngine, const char* AName, int AValue) {
  AEngine.OptDefault(AName, std::to_string(AValue));
}

// A colour of the record as the engine's SetPadColor takes it: red in bits
// 0-7, green in 8-15, blue in 16-23 (the setter ignores the bits above).
// A negative value is a "system colour" of the original platform (an index
// into the desktop's colour scheme, looked up by the operating system). It
// has no meaning on Linux, and its low bits are an index, not a colour, so it
// is taken as black, the record's initial colour.
int PadColorRGB(int AColor) { return AColor < 0 ? 0 : AColor; }

const char* TargetNormText(int ANorm) {
  switch (ANorm) {
    case 1:
      return "pal";
    case 2:
      return "ntsc";
    default:
      return "auto";
  }
}

const char* TargetDefaultNormText(int ANorm) { return ANorm == 1 ? "pal" : "ntsc"; }

// The 64-bit integer of a hook range bound, raising the engine's exception
// with the text of the conversion error.
int64_t HookBound(const std::string& AText) {
  try {
    return StrToInt64(AText);
  } catch (const EConvertError& error) {
    throw FFmpegException(error.what());
  }
}

TExtraOptionGroup GroupOf(const std::string& AName) {
  if (AName == "newvideo" || AName == "newaudio" || AName == "newsubtitle") return TExtraOptionGroup::NewStream;
  if (AName == "apre" || AName == "vpre" || AName == "spre") return TExtraOptionGroup::Preset;
  return TExtraOptionGroup::General;
}

void ApplyAudioOptions(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
  const TOutputOptions& o = AOptions;
  AEngine.SetAudioCodec(o.AudioCodec);         // empty: ignored by the setter
  AEngine.ApplyPreset("apre", o.AudioPreset);  // empty: ignored by the setter
  AEngine.SetAudioDisable(o.AudioDisable);
  if (o.AudioVolume >= 0) AEngine.SetAudioVolume(o.AudioVolume);
  if (o.AudioChannels > 0) AEngine.SetAudioChannels(o.AudioChannels);
  if (o.AudioSampleRate > 0) AEngine.SetAudioSampleRate(o.AudioSampleRate);
  if (o.AudioBitrate > 0) PassGeneric(AEngine, "ab", o.AudioBitrate);
  if (o.AudioBitrateTolerance > 0) PassGeneric(AEngine, "abt", o.AudioBitrateTolerance);
  AEngine.SetAudioLanguage(o.AudioLanguage);
  AEngine.SetAudioSyncMethod(o.AudioSync);
  AEngine.SetAudioTag(o.AudioTag);
}

void ApplyVideoOptions(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
  const TOutputOptions& o = AOptions;
  AEngine.SetVideoCodec(o.VideoCodec);
  AEngine.ApplyPreset("vpre", o.VideoPreset);
  AEngine.SetVideoDisable(o.VideoDisable);
  AEngine.SetFrameRate(o.FrameRate);  // empty: ignored by the setter
  AEngine.SetFrameSize(o.FrameSize);  // empty: ignored by the setter
  // The aspect setter takes an empty text for a ratio of 0 and raises, so
  // the empty text (not given) is held back here.
  if (!o.FrameAspectRatio.empty()) AEngine.SetFrameAspectRatio(o.FrameAspectRatio);
  if (o.CropTop >= 0) AEngine.SetCropTop(o.CropTop);
  if (o.CropBottom >= 0) AEngine.SetCropBottom(o.CropBottom);
  if (o.CropLeft >= 0) AEngine.SetCropLeft(o.CropLeft);
  if (o.CropRight >= 0) AEngine.SetCropRight(o.CropRight);
  if (o.PadTop >= 0) AEngine.SetPadTop(o.PadTop);
  if (o.PadBottom >= 0) AEngine.SetPadBottom(o.PadBottom);
  if (o.PadLeft >= 0) AEngine.SetPadLeft(o.PadLeft);
  if (o.PadRight >= 0) AEngine.SetPadRight(o.PadRight);
  // Always stored. The record's black (0) becomes (0, 128, 128), while the
  // engine's own default is (16, 128, 128); it is seen only where pads are
  // drawn.
  AEngine.SetPadColor(PadColorRGB(o.PadColor));
  // The GOP size is the codec option "g": "gop" is no option name of the
  // libraries (old or new), and passed as it stands it would be dropped.
  if (o.GroupPictureSize > 0) PassGeneric(AEngine, "g", o.GroupPictureSize);
  if (o.VideoBitrate > 0) PassGeneric(AEngine, "vb", o.VideoBitrate);
  if (o.VideoMaxRate > 0) PassGeneric(AEngine, "maxrate", o.VideoMaxRate);
  if (o.VideoMinRate > 0) PassGeneric(AEngine, "minrate", o.VideoMinRate);
  if (o.VideoBitrateTolerance > 0) PassGeneric(AEngine, "bt", o.VideoBitrateTolerance);
  if (o.VideoBufSize > 0) PassGeneric(AEngine, "bufsize", o.VideoBufSize);
  AEngine.SetVideoSyncMethod(o.VideoSync);
  AEngine.SetVideoTag(o.VideoTag);
  AEngine.SetVideoFilters(o.VideoFilters);
}

void ApplyTimesAndMetadata(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
  const TOutputOptions& o = AOptions;
  // Times: the 64-bit fields come second, so they win. The recording-time
  // setters also set the expected total output duration (FTotalDuration).
  if (o.StartTimeMs > 0) AEngine.SetStartTime(static_cast<int64_t>(o.StartTimeMs) * 1000);
  if (o.StartTime > 0) AEngine.SetStartTime(o.StartTime);
  if (o.RecordingTimeMs > 0) AEngine.SetRecordingTimeMs(o.RecordingTimeMs);
  if (o.RecordingTime > 0) AEngine.SetRecordingTime(o.RecordingTime);

  // Timestamp (Unix seconds, as the option "timestamp" stores it) and metadata.
  const TStreamInfo& m = o.Metadata;
  if (m.Timestamp == 0)
    AEngine.SetRecordingTimestamp(DateTimeToUnixSeconds(NowDateTime()));
  else if (m.Timestamp > 0)
    AEngine.SetRecordingTimestamp(DateTimeToUnixSeconds(m.Timestamp));
  if (m.Year > 0) AEngine.AddMetadata("year", std::to_string(m.Year));
  if (m.Track > 0) AEngine.AddMetadata("track", std::to_string(m.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &m.Title},     {"author", &m.Author}, {"copyright", &m.Copyright},
      {"comment", &m.Comment}, {"album", &m.Album},   {"genre", &m.Genre},
  };
  for (const auto& [key, value] : texts)
    if (!value->empty()) AEngine.AddMetadata(key, *value);
}

}  // namespace

void ApplyOutputOptions(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
  const TOutputOptions& o = AOptions;

  // The output format. An empty one gives none: nothing is passed, so a
  // format a target has set before (ApplyTarget runs first) stays.
  if (!o.FileFormat.empty()) AEngine.SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) PassGeneric(AEngine, "packetsize", o.PacketSize);
  if (o.MuxRate > 0) PassGeneric(AEngine, "muxrate", o.MuxRate);
  if (o.MuxDelay > 0) AEngine.SetMuxMaxDelay(o.MuxDelay);
  if (o.MuxPreload > 0) AEngine.SetMuxPreload(o.MuxPreload);

  ApplyAudioOptions(AEngine, o);
  ApplyVideoOptions(AEngine, o);

  // Subtitles.
  AEngine.SetSubtitleCodec(o.SubtitleCodec);
  AEngine.ApplyPreset("spre", o.SubtitlePreset);
  AEngine.SetSubtitleDisable(o.SubtitleDisable);
  AEngine.SetSubtitleLanguage(o.SubtitleLanguage);

  AEngine.SetCopyTimestamps(o.CopyTimestamps);
  ApplyTimesAndMetadata(AEngine, o);
}

void ApplyTarget(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
  static const char* const kTargets[] = {"vcd", "svcd", "dvd"};
  if (AOptions.Target < 1 || AOptions.Target > 3) return;
  AEngine.SetTarget(kTargets[AOptions.Target - 1], TargetNormText(AOptions.TargetNorm),
                    TargetDefaultNormText(AOptions.TargetDefaultNorm));
}

void ParseHookRanges(TCustomFFmpeg& AEngine, const std::string& AText) {
  std::string text = Trim(AText);
  std::vector<THookRange> ranges;
  ranges.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), ',')) + 1);
  while (!text.empty()) {
    std::string piece;
    SplitAt(text, ",", true, piece);
    piece = Trim(piece);
    // Without a "-" the start is the whole piece and the end is empty, which
    // the conversion refuses.
    std::string start;
    SplitAt(piece, "-", true, start);
    THookRange range;
    range.Start = HookBound(Trim(start));
    range.End = HookBound(piece);
    if (range.End >= range.Start && range.End >= 0) ranges.push_back(range);
  }
  AEngine.SetHookRanges(ranges);
}

void ApplyExtraOptions(TCustomFFmpeg& AEngine, const std::string& AText, TExtraOptionGroup AGroup) {
  // Trim, then CR LF and lone CR become LF.
  const std::string trimmed = Trim(AText);
  std::string text;
  text.reserve(trimmed.size());
  for (size_t i = 0; i < trimmed.size(); ++i) {
    if (trimmed[i] == '\r') {
      text += '\n';
      if (i + 1 < trimmed.size() && trimmed[i + 1] == '\n') ++i;
    } else {
      text += trimmed[i];
    }
  }
  if (text.empty()) return;

  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    // Name and value are not trimmed; names compare case-sensitively.
    const size_t equal = line.find('=');
    const std::string name = equal == std::string::npos ? line : line.substr(0, equal);
    const std::string value = equal == std::string::npos ? std::string() : line.substr(equal + 1);
    if (GroupOf(name) == AGroup) AEngine.SetOption(name, value);
  }
}

int64_t DateTimeToUnixSeconds(double ADateTime) {
  // round((value - 25569 - offset) x 86400), ties to even, with the local
  // zone's current offset to UTC in days.
  return LocalDateTimeToUnix(ADateTime);
}

double NowDateTime() { return NowLocalDateTime(); }
