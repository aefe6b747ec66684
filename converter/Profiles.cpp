#include "converter/Profiles.h"

#include <sys/stat.h>

#include <climits>

#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/Text.h"

namespace {

template <size_t N>
std::string ItemOrEmpty(const std::array<std::string_view, N>& AItems, int AIndex) {
  if (AIndex < 0 || AIndex >= static_cast<int>(N)) return {};
  return std::string(AItems[AIndex]);
}

// An item other than the first is chosen.
bool Chosen(int AIndex, size_t ACount) { return AIndex > 0 && AIndex < static_cast<int>(ACount); }

int ToInt(int64_t AValue) { return static_cast<int>(Clamp<int64_t>(AValue, INT_MIN, INT_MAX)); }

// kbit/s text of an edit as bit/s; ADefault kbit/s when the text is not an
// integer or its bit rate does not fit the record.
int BitrateOfText(const std::string& AText, int ADefault) {
  int64_t kbit = StrToIntDef(AText, ADefault);
  int64_t bits = kbit * 1000;
  if (bits < INT_MIN || bits > INT_MAX) bits = int64_t{ADefault} * 1000;
  return static_cast<int>(bits);
}

// The length of one frame (one tenth of a second without usable video), in
// milliseconds; 0 when the frame count is not known.
int OneFrameMs(const TSourceInfo& ASource) {
  if (ASource.FrameCount <= 0) return 0;
  return ToInt(RoundHalfEven(static_cast<long double>(ASource.SourceDuration) / ASource.FrameCount / 1000.0L));
}

// The source less its first frame; 0 when the frame count is not known.
int RecordingMs(const TSourceInfo& ASource) {
  if (ASource.FrameCount <= 0) return 0;
  return ToInt(RoundHalfEven(static_cast<long double>(ASource.SourceDuration) / 1000.0L) - OneFrameMs(ASource));
}

// Anything at all under that name, a dangling link included.
bool NameTaken(const std::u16string& AName) {
  struct stat st;
  return ::lstat(SystemPath(AName).c_str(), &st) == 0;
}

}  // namespace

void SelectFrameSize(TProfileChoices& AChoices, int AIndex) {
  AChoices.FrameSizeIndex = AIndex;
  AChoices.FrameSizeText = ItemOrEmpty(kFrameSizeItems, AIndex);
}

void SelectFrameRate(TProfileChoices& AChoices, int AIndex) {
  AChoices.FrameRateIndex = AIndex;
  AChoices.FrameRateText = ItemOrEmpty(kFrameRateItems, AIndex);
}

TSourceInfo SourceInfoFromProbe(TCustomAVProbe& AProbe) {
  TSourceInfo info;
  info.FileName = AProbe.FileName();
  info.FileFormat = AProbe.FormatName();

  TFileStreamInfo file;
  if (AProbe.GetFileStreamInfo(file)) info.SourceDuration = file.Duration;

  TVideoStreamInfo video;
  const bool hasVideo = AProbe.VideoStreamCount() > 0 && AProbe.GetVideoStreamInfo(video);
  info.FrameCount = EstimateFrameCount(info.SourceDuration, hasVideo ? &video : nullptr);
  return info;
}

int32_t EstimateFrameCount(int64_t ASourceDuration, const TVideoStreamInfo* AVideo) {
  if (AVideo && AVideo->FrameRateDen > 0) {
    const int64_t duration = AVideo->DurationUs > 0 ? AVideo->DurationUs : ASourceDuration;
    return ToInt(RoundHalfEven(static_cast<long double>(duration) / 1000000.0L * AVideo->FrameRateNum /
                               AVideo->FrameRateDen));
  }
  return ToInt(RoundHalfEven(static_cast<long double>(ASourceDuration) / 1000000.0L * 10));
}

std::string OutputKeyOfTab(int ATabIndex) { return ItemOrEmpty(kOutputKeys, ATabIndex); }

std::string OutputSuffix(const std::string& AKey, int ANorm) {
  if (AKey != ".vcd" && AKey != ".dvd") return AKey;
  const char* norm = ANorm == 1 ? "_pal.mpg" : ANorm == 2 ? "_ntsc.mpg" : "_auto.mpg";
  return "_" + AKey.substr(1) + norm;
}

std::string FrameSizeOfItem(const std::string& AItemText) {
  const size_t blank = AItemText.find(' ');
  if (blank == std::string::npos || blank == 0) return AItemText;
  return AItemText.substr(0, blank);
}

std::u16string RemoveFileExt(const std::u16string& AFileName) {
  return AFileName.substr(0, AFileName.size() - ExtractFileExtW(AFileName).size());
}

std::u16string OutputBaseName(const std::u16string& AOutputFolder, const std::u16string& ASourceFile) {
  if (AOutputFolder == kSameFolder) return RemoveFileExt(ASourceFile);
  // A folder text from the folder dialog ends in "/"; one typed into the
  // settings file or given on a command line may not.
  const std::u16string folder = AOutputFolder.empty() ? AOutputFolder : IncludeTrailingBackslash(AOutputFolder);
  return folder + RemoveFileExt(ExtractFileNameW(ASourceFile));
}

std::u16string PlanOutputFileName(const std::u16string& ABase, const std::string& ASuffix) {
  const std::u16string suffix = Utf8ToUtf16(ASuffix);
  std::u16string name = ABase + u"_(new)" + suffix;
  for (int n = 1; NameTaken(name) && n < INT_MAX; ++n)
    name = ABase + u"_(new_" + Utf8ToUtf16(std::to_string(n)) + u")" + suffix;
  return name;
}

TOutputOptions BuildOutputOptions(const TProfileChoices& AChoices, const TSourceInfo& ASource) {
  TOutputOptions o;
  InitOutputOptions(o);

  const std::string key = OutputKeyOfTab(AChoices.TabIndex);

  if (Chosen(AChoices.ChannelsIndex, kChannelItems.size())) o.AudioChannels = AChoices.ChannelsIndex;
  if (Chosen(AChoices.FrameSizeIndex, kFrameSizeItems.size())) o.FrameSize = FrameSizeOfItem(AChoices.FrameSizeText);
  if (Chosen(AChoices.FrameRateIndex, kFrameRateItems.size())) o.FrameRate = AChoices.FrameRateText;
  o.VideoBitrate = AChoices.VideoBitrateChecked ? BitrateOfText(AChoices.VideoBitrateText, 200) : 600 * 1000;
  if (AChoices.AudioBitrateChecked) o.AudioBitrate = BitrateOfText(AChoices.AudioBitrateText, 64);
  o.RecordingTimeMs = RecordingMs(ASource);

  const int norm = (AChoices.NormIndex == 1 || AChoices.NormIndex == 2) ? AChoices.NormIndex : 0;
  if (key == ".3gp") {
    o.AudioChannels = 1;
    o.AudioSampleRate = 8000;
    o.AudioBitrate = 7400;
    o.FrameSize = "128x96";
  } else if (key == ".flv") {
    if (o.AudioSampleRate != 11025 && o.AudioSampleRate != 22050 && o.AudioSampleRate != 44100)
      o.AudioSampleRate = 22050;
  } else if (key == ".wmv") {
    o.VideoCodec = "wmv2";
    o.AudioCodec = "wmav2";
  } else if (key == ".vcd" || key == ".dvd") {
    o.Target = key == ".vcd" ? 1 : 3;
    o.TargetNorm = norm;
    o.TargetDefaultNorm = 1;
    // A VCD is written at its fixed 1150 kbit/s: the target sets the
    // minimum and maximum rate to it, and the encoder refuses any other
    // bit rate between them. So the target's rate stands.
    if (key == ".vcd") o.VideoBitrate = -1;
  }

  o.Metadata.Timestamp = 0;  // the moment the output is opened

  const std::string suffix = OutputSuffix(key, norm);
  o.FileName = PlanOutputFileName(OutputBaseName(AChoices.OutputFolder, ASource.FileName), suffix);
  o.SubtitleDisable = true;
  o.OutputReserved = suffix;
  return o;
}

TInputOptions BuildInputOptions(const TSourceInfo& ASource) {
  TInputOptions i;
  InitInputOptions(i);
  i.FileName = ASource.FileName;
  i.FileFormat = ASource.FileFormat;
  i.StartTimeMs = OneFrameMs(ASource);
  return i;
}
