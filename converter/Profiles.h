#pragma once
// The output profiles: turns the user's choices (the showing format tab, the
// options panel, the TV norm and the output folder) and the facts of the
// probed source into the input and output option records of a conversion
// task, including the planned output file name. The main window and the
// command-line front both build their records here, from the same item
// lists, so that a choice means the same in both.
//
// Texts are UTF-8 (as the window shows them); file names are wide.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "converter/OptionRecords.h"

class TCustomAVProbe;
struct TVideoStreamInfo;

// ---- The controls' items, in the order the window shows them ----

// Format tabs (sheets TS1..TS7) and the output key each selects.
inline constexpr std::array<std::string_view, 7> kTabCaptions = {"3GP", "MP4", "AVI", "VCD", "DVD", "Flv", "WMV"};
inline constexpr std::array<std::string_view, 7> kOutputKeys = {".3gp", ".mp4", ".avi", ".vcd", ".dvd", ".flv", ".wmv"};

// cboFrameSize: "<width>x<height> - <name>"; the first item lets the source decide.
inline constexpr std::array<std::string_view, 29> kFrameSizeItems = {
    "自动 - 初始化",      "128x96 - sqcif",     "176x144 - qcif",     "352x288 - cif",      "704x576 - 4cif",
    "160x120 - qqvga",    "320x240 - qvga",     "640x480 - vga",      "800x600 - svga",     "1024x768 - xga",
    "1600x1200 - uxga",   "2048x1536 - qxga",   "1280x1024 - sxga",   "2560x2048 - qsxga",  "5120x4096 - hsxga",
    "852x480 - wvga",     "1366x768 - wxga",    "1600x1024 - wsxga",  "1920x1200 - wuxga",  "2560x1600 - woxga",
    "3200x2048 - wqsxga", "3840x2400 - wquxga", "6400x4096 - whsxga", "7680x4800 - whuxga", "320x200 - cga",
    "640x350 - ega",      "852x480 - hd480",    "1280x720 - hd720",   "1920x1080 - hd1080",
};
// grpAudioChannels: the index of a chosen item is its channel count.
inline constexpr std::array<std::string_view, 3> kChannelItems = {"自动", "单声道", "双声道"};
// grpFrameRate: a chosen item's text is the frame rate.
inline constexpr std::array<std::string_view, 5> kFrameRateItems = {"自动", "10", "15", "25", "30"};
// grpNorm: the index of the item is the target norm (0 auto, 1 PAL, 2 NTSC).
inline constexpr std::array<std::string_view, 3> kNormItems = {"自动", "PAL 制试", "NTSC 制试"};
// The edits' texts until the user changes them (kbit/s).
inline constexpr std::string_view kDefaultVideoBitrateText = "600";
inline constexpr std::string_view kDefaultAudioBitrateText = "64";
// The output-folder text that puts every output next to its source.
inline constexpr std::u16string_view kSameFolder = u"同一目录";

// ---- Records ----

// What the user has chosen. Item indexes follow the lists above; an index
// of 0 (the first item) or one outside its list chooses nothing. The
// defaults are the window's state after start-up (except the folder).
struct TProfileChoices {
  int TabIndex = 0;  // into kTabCaptions; -1: no tab showing
  int FrameSizeIndex = 0;
  std::string FrameSizeText{kFrameSizeItems[0]};  // the chosen item's text
  int ChannelsIndex = 0;
  bool VideoBitrateChecked = false;
  std::string VideoBitrateText{kDefaultVideoBitrateText};
  bool AudioBitrateChecked = false;
  std::string AudioBitrateText{kDefaultAudioBitrateText};
  int FrameRateIndex = 0;
  std::string FrameRateText{kFrameRateItems[0]};  // the chosen item's text
  int NormIndex = 0;
  std::u16string OutputFolder;  // a folder, or kSameFolder
};

// Index and text together, from the lists (an index outside the list
// chooses nothing and leaves an empty text).
void SelectFrameSize(TProfileChoices& AChoices, int AIndex);
void SelectFrameRate(TProfileChoices& AChoices, int AIndex);

// The facts of the most recently probed source.
struct TSourceInfo {
  int64_t SourceDuration = -1;  // microseconds; -1: unknown
  int32_t FrameCount = 0;       // frames, or tenths of a second without usable video
  std::u16string FileName;      // the probe's file name
  std::string FileFormat;       // the forced format it was probed with
};

// Duration, frame count, file name and format of the file open in AProbe.
// FrameCount is the first video stream's duration (its own when positive,
// else the file's) times its frame rate; without a video stream or a
// usable frame rate it counts tenths of the file's duration.
TSourceInfo SourceInfoFromProbe(TCustomAVProbe& AProbe);
// The frame count rule itself; AVideo is the first video stream, nullptr
// when the file has none.
int32_t EstimateFrameCount(int64_t ASourceDuration, const TVideoStreamInfo* AVideo);

// ---- Profile rules ----

// The output key of a tab index (".3gp" ...); empty for no tab.
std::string OutputKeyOfTab(int ATabIndex);

// The controls' values a tab replaces with its own (the 3GP tab: the frame
// size, mono sound and 7.4 kbit/s), as items of those controls; none for the
// other tabs. The window shows them, disabled, while the tab is showing.
struct TFixedChoices {
  bool Any = false;
  int FrameSizeIndex = 0;        // into kFrameSizeItems
  int ChannelsIndex = 0;         // into kChannelItems
  std::string AudioBitrateText;  // kbit/s
};
TFixedChoices FixedChoicesOfTab(int ATabIndex);
// The file-name suffix of an output key: "_vcd_pal.mpg" style for the
// targets (norm 0 auto, 1 PAL, 2 NTSC), the key itself otherwise.
std::string OutputSuffix(const std::string& AKey, int ANorm);
// "176x144 - qcif" -> "176x144": the text before the first blank, when that
// blank is not the first character.
std::string FrameSizeOfItem(const std::string& AItemText);
// AFileName without its extension (from the last "." after the last "/").
std::u16string RemoveFileExt(const std::u16string& AFileName);
// The base of the output name: next to the source for kSameFolder, else in
// the folder (a "/" is put between folder and name when the folder text
// lacks it; an empty folder leaves the name relative).
std::u16string OutputBaseName(const std::u16string& AOutputFolder, const std::u16string& ASourceFile);
// ABase + "_(new)" + ASuffix, or the first ABase + "_(new_<n>)" + ASuffix,
// n = 1, 2, ..., that names nothing in the file system (no file, directory,
// link or other entry), and whose temporary name (runtime/OutputFiles.h)
// names nothing either: that file reserves the name while a task writes it.
// The base's last part is shortened (at a character boundary) so that the
// name and its temporary name fit the folder's name limit. The first name
// planned into a folder also clears that folder of the temporary files that
// earlier runs left (killed, or the machine lost power) more than a day ago.
std::u16string PlanOutputFileName(const std::u16string& ABase, const std::string& ASuffix);
// The same, with the names AAlsoTaken says are taken passed over too: for a
// plan that reserves nothing (vidmill-cli --dry-run) and so must remember
// the names it has given.
std::u16string PlanOutputFileName(const std::u16string& ABase, const std::string& ASuffix,
                                  const std::function<bool(const std::u16string&)>& AAlsoTaken);
// From now on no plan removes anything: for a plan that must leave the file
// system as it is (vidmill-cli --dry-run).
void KeepStalePartialOutputs();
// Removes from AFolder the temporary files of outputs planned here
// (".<name>_(new...)<suffix>.part") last changed more than AMaxAgeSeconds
// ago, and logs each; the number removed.
int RemoveStalePartialOutputs(const std::u16string& AFolder, int64_t AMaxAgeSeconds);

// The record the task's output is written with, FileName being the planned
// output file and OutputReserved its suffix.
TOutputOptions BuildOutputOptions(const TProfileChoices& AChoices, const TSourceInfo& ASource);
// The record the task's source is read with: from its second frame (or
// tenth of a second) on.
TInputOptions BuildInputOptions(const TSourceInfo& ASource);
