#pragma once
// The two records that describe a conversion task: TInputOptions for its
// source and TOutputOptions for its result. Every field stands for one
// setting of the task's engine instance; a field left at its initial value is
// not passed on, so the engine keeps its own default. The main window (and
// the command-line front) fill them through the profile builder; the
// converter component copies them into the task and applies them.

#include <cstdint>
#include <string>

class TCustomFFmpeg;

// Timestamp and metadata of an output.
struct TStreamInfo {
  // Days since 1899-12-30 in local time; 0 means "now", negative: not given.
  double Timestamp = -1.0;
  int Year = -1;
  int Track = -1;
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;

  bool operator==(const TStreamInfo&) const = default;
};

struct TInputOptions {
  std::u16string FileName;   // empty: the name given to AddTask
  std::string FileFormat;    // forced input format ("f")
  int StartTimeMs = -1;      // > 0: "ss" in milliseconds
  int64_t StartTime = -1;    // > 0: "ss" in microseconds (wins)
  int ProgramID = -1;        // >= 0: "programid"
  std::string ExtraOptions;  // option lines, general group only
  int InputReserved1 = 0;
  int InputReserved2 = 0;

  bool operator==(const TInputOptions&) const = default;
};

struct TOutputOptions {
  std::u16string FileName;         // empty: the name given to SetOutputFile
  std::string OutputReserved;      // not read by the component (the window keeps the suffix here)
  std::string FileFormat;          // "f"
  int PacketSize = -1;             // "packetsize", > 0
  int MuxRate = -1;                // "muxrate", > 0
  float MuxDelay = -1.0f;          // "muxdelay" seconds, > 0
  float MuxPreload = -1.0f;        // "muxpreload" seconds, > 0
  std::string AudioCodec;          // "acodec"
  std::string AudioPreset;         // "apre"
  bool AudioDisable = false;       // "an"
  int AudioVolume = -1;            // "vol", >= 0
  int AudioChannels = -1;          // "ac", > 0
  int AudioSampleRate = -1;        // "ar", > 0
  int AudioBitrate = -1;           // "ab" bit/s, > 0
  int AudioBitrateTolerance = -1;  // "abt", > 0
  std::string AudioLanguage;       // "alang"
  int AudioSync = 0;               // "async"
  std::string AudioTag;            // "atag"
  std::string VideoCodec;          // "vcodec"
  std::string VideoPreset;         // "vpre"
  bool VideoDisable = false;       // "vn"
  std::string FrameRate;           // "r"
  std::string FrameSize;           // "s"
  std::string FrameAspectRatio;    // "aspect"
  int CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;  // >= 0
  int PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;      // >= 0
  int PadColor = 0;                // "padcolor": red bits 0-7, green 8-15, blue 16-23 (or a system colour)
  int GroupPictureSize = -1;       // "gop", > 0
  int VideoBitrate = -1;           // "vb" bit/s, > 0
  int VideoMaxRate = -1;           // "maxrate", > 0
  int VideoMinRate = -1;           // "minrate", > 0
  int VideoBitrateTolerance = -1;  // "bt", > 0
  int VideoBufSize = -1;           // "bufsize", > 0
  int VideoSync = -1;              // "vsync"
  std::string VideoTag;            // "vtag"
  std::string VideoFilters;        // "vfilters"
  std::string SubtitleCodec;       // "scodec"
  std::string SubtitlePreset;      // "spre"
  bool SubtitleDisable = false;    // "sn"
  std::string SubtitleLanguage;    // "slang"
  bool CopyTimestamps = false;     // "copyts"
  int StartTimeMs = -1;            // "ss" milliseconds, > 0
  int64_t StartTime = -1;          // "ss" microseconds, > 0 (wins)
  int RecordingTimeMs = -1;        // "t" milliseconds, > 0; also the expected total duration
  int64_t RecordingTime = -1;      // "t" microseconds, > 0 (wins)
  TStreamInfo Metadata;
  int Target = 0;             // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int TargetNorm = 0;         // 0 "auto", 1 "pal", 2 "ntsc"; others "auto"
  int TargetDefaultNorm = 1;  // 1 "pal"; others "ntsc"
  bool CustomHook = false;    // install the custom frame hook
  bool BeforeHook = false;    // install the before-hook (when CustomHook is false)
  std::string HookRanges;     // PTS ranges for hooking (when neither hook flag is set)
  bool JoinInputs = false;    // join every input of the task into this output
  std::string ExtraOptions;   // option lines, all three groups
  int OutputReserved1 = 0;
  int OutputReserved2 = 0;

  bool operator==(const TOutputOptions&) const = default;
};

void InitInputOptions(TInputOptions& AOptions);
void InitOutputOptions(TOutputOptions& AOptions);

// Passes the record's own fields to the engine instance in emission order.
// Raises the engine's exception for a value it refuses.
void ApplyOutputOptions(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions);
// Target, norm and default norm, when Target is 1, 2 or 3.
void ApplyTarget(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions);
// Parses "start-end, start-end, ..." (microseconds) and hands the kept ranges
// to SetHookRanges; raises on a piece that is not a range of integers.
void ParseHookRanges(TCustomFFmpeg& AEngine, const std::string& AText);

// Extra option lines: the groups a line belongs to by its name.
enum class TExtraOptionGroup { General, Preset, NewStream };
// Hands the lines of AGroup, in text order, to the engine's option
// dispatcher as (name, value). Raises what the dispatcher raises.
void ApplyExtraOptions(TCustomFFmpeg& AEngine, const std::string& AText, TExtraOptionGroup AGroup);

// A local date-time (days since 1899-12-30) as Unix seconds.
int64_t DateTimeToUnixSeconds(double ADateTime);
// The current local date-time (days since 1899-12-30).
double NowDateTime();
