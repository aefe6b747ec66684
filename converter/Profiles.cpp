#include "converter/Profiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>

#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/OutputFiles.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"

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

// The name, or its temporary name while a task writes it, is in use.
bool OutputNameTaken(const std::u16string& AName) { return NameTaken(AName) || NameTaken(PartialFileName(AName)); }

// ABase + ATag + ASuffix, the last part of ABase shortened so that the
// temporary name of the result still fits the folder's name limit.
std::u16string FittedName(const std::u16string& ABase, const std::u16string& ATag, const std::u16string& ASuffix) {
  const std::u16string folder = ExtractFilePathW(ABase);
  const size_t limit = FileNameLimit(folder);
  const size_t ending = LocalFilePath(ATag + ASuffix).size() + kPartialNameExtraBytes;
  if (ending >= limit) return ABase + ATag + ASuffix;  // nothing to shorten that would help
  return folder + FitFileName(ExtractFileNameW(ABase), limit - ending) + ATag + ASuffix;
}

// ".<stem>_(new)<suffix>.part" or ".<stem>_(new_<n>)<suffix>.part": the
// temporary name of an output this planner named.
bool IsPlannedPartialName(const std::string& AName) {
  const std::string part = ".part";
  if (AName.size() < 1 + part.size() || AName[0] != '.' ||
      AName.compare(AName.size() - part.size(), part.size(), part) != 0)
    return false;
  for (size_t at = AName.find("_(new"); at != std::string::npos; at = AName.find("_(new", at + 1)) {
    size_t i = at + 5;
    if (i < AName.size() && AName[i] == '_') {
      const size_t digits = ++i;
      while (i < AName.size() && std::isdigit(static_cast<unsigned char>(AName[i]))) ++i;
      if (i == digits) continue;
    }
    if (i < AName.size() && AName[i] == ')') return true;
  }
  return false;
}

// Leftovers of earlier runs are looked for once per folder and process.
constexpr int64_t kStalePartialAge = int64_t{24} * 60 * 60;

std::atomic<bool> gSweepFolders{true};

void SweepFolderOnce(const std::u16string& AFolder) {
  if (!gSweepFolders) return;
  static std::mutex lock;
  static std::set<std::u16string> swept;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!swept.insert(AFolder).second) return;
  }
  RemoveStalePartialOutputs(AFolder, kStalePartialAge);
}

}  // namespace

void KeepStalePartialOutputs() { gSweepFolders = false; }

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
    return ToInt(
        RoundHalfEven(static_cast<long double>(duration) / 1000000.0L * AVideo->FrameRateNum / AVideo->FrameRateDen));
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
  return PlanOutputFileName(ABase, ASuffix, nullptr);
}

std::u16string PlanOutputFileName(const std::u16string& ABase, const std::string& ASuffix,
                                  const std::function<bool(const std::u16string&)>& AAlsoTaken) {
  SweepFolderOnce(ExtractFilePathW(ABase));
  const std::u16string suffix = Utf8ToUtf16(ASuffix);
  const auto taken = [&](const std::u16string& AName) {
    return OutputNameTaken(AName) || (AAlsoTaken && AAlsoTaken(AName));
  };
  std::u16string name = FittedName(ABase, u"_(new)", suffix);
  for (int n = 1; taken(name) && n < INT_MAX; ++n)
    name = FittedName(ABase, u"_(new_" + Utf8ToUtf16(std::to_string(n)) + u")", suffix);
  return name;
}

int RemoveStalePartialOutputs(const std::u16string& AFolder, int64_t AMaxAgeSeconds) {
  const std::string folder = AFolder.empty() ? std::string(".") : LocalFilePath(AFolder);
  DIR* dir = folder.empty() ? nullptr : ::opendir(folder.c_str());
  if (!dir) return 0;
  const time_t before = ::time(nullptr) - static_cast<time_t>(AMaxAgeSeconds);
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsPlannedPartialName(entry->d_name)) continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_mtime >= before)
      continue;
    if (::unlinkat(::dirfd(dir), entry->d_name, 0) != 0) continue;
    ++removed;
    const std::string shownFolder = AFolder.empty() ? std::string() : ToLocal8Bit(IncludeTrailingBackslash(AFolder));
    FFLoggerInstance()->Log(
        nullptr, llInfo, "Removed '" + shownFolder + entry->d_name + "', an unfinished output left by an earlier run.");
  }
  ::closedir(dir);
  return removed;
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
    const TFixedChoices fixed = FixedChoicesOfTab(AChoices.TabIndex);
    o.AudioChannels = fixed.ChannelsIndex;
    o.AudioSampleRate = 8000;
    o.AudioBitrate = 7400;
    o.FrameSize = FrameSizeOfItem(std::string(kFrameSizeItems[static_cast<size_t>(fixed.FrameSizeIndex)]));
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

  // What the devices of each format play: 8-bit 4:2:0 pictures, and only
  // the display aspects the format and its players honour (a picture of
  // another aspect is fitted in with black bars, or, at the source's own
  // size, given square pixels). Option lines given later win.
  o.ExtraOptions = "pix_fmt=yuv420p\n";
  if (key == ".3gp" || key == ".flv")
    o.ExtraOptions += "aspect_fit=square\n";
  else if (key == ".vcd")
    o.ExtraOptions += "aspect_fit=4:3\n";
  else if (key == ".dvd")
    o.ExtraOptions += "aspect_fit=4:3,16:9\n";

  o.Metadata.Timestamp = 0;  // the moment the output is opened

  const std::string suffix = OutputSuffix(key, norm);
  o.FileName = PlanOutputFileName(OutputBaseName(AChoices.OutputFolder, ASource.FileName), suffix);
  o.SubtitleDisable = true;
  o.OutputReserved = suffix;
  return o;
}

TFixedChoices FixedChoicesOfTab(int ATabIndex) {
  TFixedChoices fixed;
  if (OutputKeyOfTab(ATabIndex) != ".3gp") return fixed;
  fixed.Any = true;
  fixed.FrameSizeIndex = 1;  // "128x96 - sqcif"
  fixed.ChannelsIndex = 1;   // mono
  fixed.AudioBitrateText = "7.4";
  return fixed;
}

TInputOptions BuildInputOptions(const TSourceInfo& ASource) {
  TInputOptions i;
  InitInputOptions(i);
  i.FileName = ASource.FileName;
  i.FileFormat = ASource.FileFormat;
  i.StartTimeMs = OneFrameMs(ASource);
  return i;
}
