// The option table and dispatcher: every configuration field's default, the
// named options of the command-line vocabulary, the typed setters and the
// pass-through of other names to the libraries' option systems.
#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/FrameHook.h"
#include "runtime/lib/AVFormat.h"

// Option names of the old library generation and where they live in the
// libraries in use (FFmpeg 5.1):
//
//   old name            now
//   ------------------  ---------------------------------------------------
//   muxrate             no longer a format-context option: a private option
//                       of the "mpeg", "vcd", "svcd", "dvd", "vob" and
//                       "mpegts" muxers; kept in FPrivateOptions
//   packetsize          still a format-context option ("packetsize")
//   preload             no longer a format-context option: a private option
//                       of the MPEG program-stream muxers ("mpeg", "vcd",
//                       "svcd", "dvd", "vob"); kept in FPrivateOptions
//   muxdelay            the engine's own FMuxMaxDelay (seconds); the format
//                       context calls it "max_delay" (microseconds)
//   muxpreload          the engine's own FMuxPreload (seconds); the MPEG
//                       muxers call it "preload" (microseconds)
//   b, g, maxrate,      still codec-context options
//   minrate, bufsize,
//   subq, me_range, keyint_min, i_qfactor, qcomp, qmin, qmax, qdiff, bf,
//   refs, trellis, cmp, flags, flags2, level
//   ab                  still a codec-context option (audio bit rate, the
//                       same field as "b")
//   vb                  not an option: the "v" prefix rule sets "b" on the
//                       video codec context
//   coder, me_method,   no longer codec-context options: private options of
//   sc_threshold,       the encoders ("coder", "me_method", "b_strategy" of
//   b_strategy          libx264; "sc_threshold", "b_strategy" of the MPEG
//                       video encoders); kept in FPrivateOptions
//   partitions          private option of libx264 (a list such as
//                       "p8x8,b8x8,i8x8,i4x4", no longer "+parti8x8...")
//   directpred          gone; libx264's private "direct-pred"
//   cqp                 gone; libx264's private "qp"
//   flags2 +mixed_refs, the flag constants are gone; libx264's private
//   +wpred, +dct8x8,    "mixed-refs", "weightp", "8x8dct", "fast-pskip"
//   +fastpskip
//   flags +scan_offset  the flag constant is gone; the MPEG-1/2 video
//                       encoders' private "scan_offset"
//   preset, crf, ...    private options of the x264 encoders (and others);
//                       kept in FPrivateOptions

void TCustomFFmpeg::ResetOptions() {
  // The map tables (the opened files are Cleanup's, and the stream counts
  // are not reset here).
  FStreamMapCount = 0;
  FMetaDataMapCount = 0;

  // Every setting back to its default, except the metadata list of the next
  // output, which stays.
  std::vector<std::pair<std::string, std::string>> metadata = std::move(FSettings.Mux.FMetadata);
  FSettings = TEngineSettings{};
  FSettings.Mux.FMetadata = std::move(metadata);

  FHookRangeIndex = 0;
  FHookRangeCount = 0;
  // The words of earlier "vhook" texts are kept while modules may refer to them.
  if (FHookState && FHookState->Chain.empty()) FHookArguments.clear();
  FBitBufferSize = 262144;
}

// ---- The dispatcher ----

namespace {

bool Flag(const std::string& AValue) { return AValue != "0"; }

float Float(const std::string& AValue) { return static_cast<float>(StrToFloat(AValue)); }

locale_t CLocale() {
  static locale_t locale = ::newlocale(LC_NUMERIC_MASK, "C", nullptr);
  return locale;
}

// The leading integer of AText as strtol reads it with base 0 (decimal,
// hexadecimal after "0x", octal after a leading 0); AText moves past it.
int LeadingInt(const char*& AText) {
  char* end = nullptr;
  long value = std::strtol(AText, &end, 0);
  AText = end;
  return static_cast<int>(value);
}

// Steps over one character when the text goes on.
void SkipOne(const char*& AText) {
  if (*AText) ++AText;
}

void Crop(int AValue, int& ABand, int& ASize, const char* AMessage) {
  if (AValue < 0) return;
  if (AValue >= ASize) throw FFmpegException(AMessage);
  ABand = AValue;
  ASize -= AValue;
}

constexpr const char* kVerticalCrop =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
constexpr const char* kHorizontalCrop =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

// The words of a "vhook" text: separated by "|" when the text has one (so
// that file names may contain blanks), else by blanks; empty words are
// skipped.
std::vector<std::string> HookWords(const std::string& AValue, size_t AMaxWords) {
  const char separator = AValue.find('|') != std::string::npos ? '|' : ' ';
  std::vector<std::string> words;
  size_t pos = 0;
  while (words.size() < AMaxWords && pos < AValue.size()) {
    size_t end = AValue.find(separator, pos);
    if (end == std::string::npos) end = AValue.size();
    if (end > pos) words.push_back(AValue.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

constexpr size_t kMaxHookWords = 254;

}  // namespace

// The option table: names are compared exactly, in this order, and the
// first equal name decides.
const TCustomFFmpeg::TOptionEntry TCustomFFmpeg::kOptionTable[] = {
    {"L", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"h", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"version", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"formats", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"f", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetFormat(V, true, true); }},
    {"i", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"y", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"map", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.AddStreamMap(V); }},
    {"map_meta_data", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.AddMetaDataMap(V); }},
    {"t", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) {
       E.SetRecordingTime(E.ParseTime(N, V, true));
     }},
    {"fs", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Mux.FLimitFileSize = static_cast<uint64_t>(StrToInt64(V));
     }},
    {"ss", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) {
       E.SetStartTime(E.ParseTime(N, V, true));
     }},
    {"itsoffset", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) {
       E.FSettings.Mux.FInputTsOffset = E.ParseTime(N, V, true);
     }},
    {"itsscale", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetTsScale(V); }},
    {"timestamp", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) {
       E.FSettings.Mux.FRecordingTimestamp = RoundHalfEven(static_cast<long double>(E.ParseTime(N, V, false)) / 1000000.0L);
     }},
    {"metadata", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       size_t equal = V.find('=');
       if (equal == std::string::npos) throw FFmpegException("Missing =");
       E.AddMetadata(V.substr(0, equal), V.substr(equal + 1));
     }},
    {"dframes", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FMaxFrames[AVMEDIA_TYPE_DATA] = StrToInt(V);
     }},
    {"benchmark", [](TCustomFFmpeg& E, const std::string& N, const std::string&) { E.DoNothing(N); }},
    {"dump", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FDoPktDump = Flag(V); }},
    {"hex", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FDoHexDump = Flag(V); }},
    {"re", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FRateEmu = Flag(V); }},
    {"loop_input", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Mux.FLoopInput = Flag(V); }},
    {"loop_output", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Mux.FLoopOutput = StrToInt(V); }},
    {"v", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FVerbose = StrToInt(V); }},
    {"loglevel", [](TCustomFFmpeg&, const std::string&, const std::string& V) {
       FFLoggerInstance()->SetLogLevelByName(V);
     }},
    {"target", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetTargetOption(V); }},
    {"threads", [](TCustomFFmpeg&, const std::string& N, const std::string&) {
       throw FFmpegException("TODO: option - " + N);
     }},
    {"vsync", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetVideoSyncMethod(StrToInt(V)); }},
    {"async", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioSyncMethod(StrToInt(V)); }},
    {"adrift_threshold", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Run.FAudioDriftThreshold = Float(V);
     }},
    {"vglobal", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FVideoGlobalHeader = StrToInt(V);
     }},
    {"copyts", [](TCustomFFmpeg& E, const std::string&, const std::string&) { E.SetCopyTimestamps(true); }},
    {"shortest", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FShortest = Flag(V); }},
    {"dts_delta_threshold", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Run.FDtsDeltaThreshold = Float(V);
     }},
    {"programid", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetProgramId(StrToInt(V)); }},
    {"xerror", [](TCustomFFmpeg& E, const std::string&, const std::string&) { E.FSettings.Run.FExitOnError = true; }},
    {"copyinkf", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Run.FCopyInitialNonKeyframes = StrToInt(V);
     }},
    {"b", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.SetBitRate(N, V); }},
    {"vb", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.SetBitRate(N, V); }},
    {"vframes", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FMaxFrames[AVMEDIA_TYPE_VIDEO] = StrToInt(V);
     }},
    {"r", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetFrameRate(V); }},
    {"s", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetFrameSize(V); }},
    {"aspect", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetFrameAspectRatio(V); }},
    {"pix_fmt", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetPixelFormat(V); }},
    {"croptop", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetCropTop(StrToInt(V)); }},
    {"cropbottom", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetCropBottom(StrToInt(V)); }},
    {"cropleft", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetCropLeft(StrToInt(V)); }},
    {"cropright", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetCropRight(StrToInt(V)); }},
    {"padtop", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetPadTop(StrToInt(V)); }},
    {"padbottom", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetPadBottom(StrToInt(V)); }},
    {"padleft", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetPadLeft(StrToInt(V)); }},
    {"padright", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetPadRight(StrToInt(V)); }},
    {"padcolor", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetPadColor(StrToInt(V)); }},
    {"intra", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FIntraOnly = Flag(V); }},
    {"vn", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetVideoDisable(Flag(V)); }},
    {"vdt", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FVideoDiscard = StrToInt(V); }},
    {"qscale", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       double scale = StrToFloat(V);
       if (scale <= 0 || scale > 255) throw FFmpegException("qscale must be > 0.0 and <= 255");
       E.FSettings.Video.FVideoQScale = static_cast<float>(scale);
     }},
    {"rc_override", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FVideoRcOverride = V; }},
    {"vcodec", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetVideoCodec(V); }},
    {"me_threshold", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FMeThreshold = StrToInt(V);
     }},
    {"sameq", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FSameQuality = Flag(V); }},
    {"pass", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       int pass = StrToInt(V);
       if (pass != 1 && pass != 2) throw FFmpegException("pass number can be only 1 or 2");
       E.FSettings.Video.FDoPass = pass;
     }},
    {"passlogfile", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FPassLogFilePrefix = V; }},
    {"deinterlace", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FDoDeinterlace = Flag(V);
     }},
    {"autorotate", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FAutoRotate = Flag(V); }},
    {"auto_deinterlace", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FAutoDeinterlace = Flag(V);
     }},
    {"tonemap", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FToneMap = Flag(V); }},
    {"aspect_fit", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAspectFit(V); }},
    {"psnr", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FDoPsnr = Flag(V); }},
    {"vstats", [](TCustomFFmpeg& E, const std::string&, const std::string&) { E.SetVideoStatistics(true); }},
    {"vstats_file", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FVstatsFileName = V; }},
    {"vhook", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.AddVideoHook(V); }},
    {"vfilters", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetVideoFilters(V); }},
    {"intra_matrix", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.SetMatrix(E.FSettings.Video.FIntraMatrix, V);
     }},
    {"inter_matrix", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.SetMatrix(E.FSettings.Video.FInterMatrix, V);
     }},
    {"top", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FTopFieldFirst = StrToInt(V); }},
    {"dc", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FIntraDcPrecision = StrToInt(V); }},
    {"vtag", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetVideoTag(V); }},
    {"newvideo", [](TCustomFFmpeg& E, const std::string&, const std::string&) {
       E.NewStream(&TCustomFFmpeg::NewVideoStream);
     }},
    {"qphist", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FQpHist = Flag(V); }},
    {"force_fps", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FForceFps = Flag(V); }},
    {"ab", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.SetBitRate(N, V); }},
    {"aframes", [](TCustomFFmpeg& E, const std::string&, const std::string& V) {
       E.FSettings.Video.FMaxFrames[AVMEDIA_TYPE_AUDIO] = StrToInt(V);
     }},
    {"aq", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Audio.FAudioQScale = Float(V); }},
    {"ar", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioSampleRate(StrToInt(V)); }},
    {"ac", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioChannels(StrToInt(V)); }},
    {"an", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioDisable(Flag(V)); }},
    {"acodec", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioCodec(V); }},
    {"atag", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioTag(V); }},
    {"vol", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioVolume(StrToInt(V)); }},
    {"newaudio", [](TCustomFFmpeg& E, const std::string&, const std::string&) {
       E.NewStream(&TCustomFFmpeg::NewAudioStream);
     }},
    {"alang", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetAudioLanguage(V); }},
    {"sample_fmt", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetSampleFormat(V); }},
    {"sn", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetSubtitleDisable(Flag(V)); }},
    {"scodec", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetSubtitleCodec(V); }},
    {"newsubtitle", [](TCustomFFmpeg& E, const std::string&, const std::string&) {
       E.NewStream(&TCustomFFmpeg::NewSubtitleStream);
     }},
    {"slang", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetSubtitleLanguage(V); }},
    {"stag", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetSubtitleTag(V); }},
    {"vc", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FVideoChannel = StrToInt(V); }},
    {"tvstd", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Video.FVideoStandard = V; }},
    {"isync", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.FSettings.Run.FInputSync = Flag(V); }},
    {"muxdelay", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetMuxMaxDelay(Float(V)); }},
    {"muxpreload", [](TCustomFFmpeg& E, const std::string&, const std::string& V) { E.SetMuxPreload(Float(V)); }},
    {"absf", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.SetBitstreamFilter(N, V); }},
    {"vbsf", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.SetBitstreamFilter(N, V); }},
    {"sbsf", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.SetBitstreamFilter(N, V); }},
    {"apre", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.ApplyPreset(N, V); }},
    {"vpre", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.ApplyPreset(N, V); }},
    {"spre", [](TCustomFFmpeg& E, const std::string& N, const std::string& V) { E.ApplyPreset(N, V); }},
};

bool TCustomFFmpeg::SetOption(const std::string& AName, const std::string& AValue) {
  for (const TOptionEntry& entry : kOptionTable) {
    if (AName == entry.Name) {
      entry.Action(*this, AName, AValue);
      return true;
    }
  }
  // Any other name goes to the libraries; names and flag values of the
  // older option vocabulary are translated on the way (as in presets).
  return OptDefaultOld(AName, AValue);
}

void TCustomFFmpeg::DoNothing(const std::string& AName) {
  FFLoggerInstance()->Log(this, llInfo, "Do nothing: option - " + AName);
}

int64_t TCustomFFmpeg::ParseTime(const std::string& AName, const std::string& AValue, bool ADuration) {
  int64_t result = INT64_MIN;
  if (lib::av_parse_time(&result, AValue.c_str(), ADuration ? 1 : 0) < 0 || result == INT64_MIN)
    throw FFmpegException(
        Format("Invalid %s specification for %s: %s", ADuration ? "duration" : "date", AName.c_str(), AValue.c_str()));
  return result;
}

// ---- Formats ----

void TCustomFFmpeg::SetFormat(const std::string& AName, bool AInput, bool AOutput) {
  std::string name = AName;
  if (name == "pgmyuv") {
    FSettings.Run.FPgmyuvCompat = true;
    name = "image2";
    FFLoggerInstance()->Log(this, llInfo, "pgmyuv format is deprecated, use image2");
  }
  const AVInputFormat* input = AInput ? lib::av_find_input_format(name.c_str()) : nullptr;
  const AVOutputFormat* output = AOutput ? lib::av_guess_format(name.c_str(), nullptr, nullptr) : nullptr;
  if (AInput && AOutput) {
    FSettings.Mux.FInputFormat = input;
    FSettings.Mux.FOutputFormat = output;
    if (!input && !output) throw FFmpegException(Format("Unknown input or output format: %s", name.c_str()));
  } else if (AInput) {
    if (!input) throw FFmpegException(Format("Unknown input format: %s", name.c_str()));
    FSettings.Mux.FInputFormat = input;
  } else if (AOutput) {
    if (!output) throw FFmpegException(Format("Unknown output format: %s", name.c_str()));
    FSettings.Mux.FOutputFormat = output;
  }
}

void TCustomFFmpeg::SetInputFormat(const std::string& AName) { SetFormat(AName, true, false); }

void TCustomFFmpeg::SetOutputFormat(const std::string& AName) { SetFormat(AName, false, true); }

// ---- Times and whole-file settings ----

void TCustomFFmpeg::SetRecordingTimeMs(int AValue) {
  if (AValue <= 0) return;
  FSettings.Mux.FRecordingTime = static_cast<int64_t>(AValue) * 1000;
  FTotalDuration = AValue;
}

void TCustomFFmpeg::SetRecordingTime(int64_t AValue) {
  if (AValue <= 0) return;
  FSettings.Mux.FRecordingTime = AValue;
  FTotalDuration = AValue / 1000;
}

void TCustomFFmpeg::SetStartTime(int64_t AValue) {
  if (AValue > 0) FSettings.Mux.FStartTime = AValue;
}

void TCustomFFmpeg::SetProgramId(int AValue) {
  if (AValue >= 0) FSettings.Mux.FProgramId = AValue;
}

void TCustomFFmpeg::SetAudioVolume(int AValue) {
  if (AValue >= 0) FSettings.Audio.FAudioVolume = AValue;
}

void TCustomFFmpeg::SetAudioSyncMethod(int AValue) { FSettings.Run.FAudioSyncMethod = AValue; }

void TCustomFFmpeg::SetVideoSyncMethod(int AValue) { FSettings.Run.FVideoSyncMethod = AValue; }

void TCustomFFmpeg::SetMuxMaxDelay(float AValue) {
  if (AValue > 0) FSettings.Mux.FMuxMaxDelay = AValue;
}

void TCustomFFmpeg::SetMuxPreload(float AValue) {
  if (AValue > 0) FSettings.Mux.FMuxPreload = AValue;
}

void TCustomFFmpeg::SetCopyTimestamps(bool AValue) { FSettings.Run.FCopyTs = AValue; }

void TCustomFFmpeg::AddMetadata(const std::string& AKey, const std::string& AValue) {
  FSettings.Mux.FMetadata.emplace_back(AKey, AValue);
}

// ---- Maps ----

void TCustomFFmpeg::AddStreamMap(const std::string& AValue) {
  if (FStreamMapCount >= MAX_STREAM_MAPS)
    throw FFmpegException(Format("Too many stream maps (at most %d)", MAX_STREAM_MAPS));
  TStreamMap& map = FStreamMaps[FStreamMapCount++];
  const char* p = AValue.c_str();
  map.FileIndex = LeadingInt(p);
  SkipOne(p);
  map.StreamIndex = LeadingInt(p);
  if (*p) {
    ++p;
    map.SyncFileIndex = LeadingInt(p);
    SkipOne(p);
    map.SyncStreamIndex = LeadingInt(p);
  } else {
    map.SyncFileIndex = map.FileIndex;
    map.SyncStreamIndex = map.StreamIndex;
  }
}

void TCustomFFmpeg::AddMetaDataMap(const std::string& AValue) {
  if (FMetaDataMapCount >= MAX_META_DATA_MAPS)
    throw FFmpegException(Format("Too many metadata maps (at most %d)", MAX_META_DATA_MAPS));
  TMetaDataMap& map = FMetaDataMaps[FMetaDataMapCount++];
  const char* p = AValue.c_str();
  map.OutFile = LeadingInt(p);
  SkipOne(p);
  map.InFile = LeadingInt(p);
}

void TCustomFFmpeg::SetTsScale(const std::string& AValue) {
  const char* p = AValue.c_str();
  int stream = LeadingInt(p);
  SkipOne(p);
  double scale = ::strtod_l(p, nullptr, CLocale());
  if (stream >= MAX_STREAMS) throw FFmpegException(Format("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
  if (stream < 0) throw FFmpegException(Format("Invalid stream index %d", stream));
  if (FInputFileCount >= MAX_FILES) throw FFmpegException(Format("Too many input files (at most %d)", MAX_FILES));
  FSettings.Mux.FInputTsScale[static_cast<size_t>(stream)] = scale;
}

// ---- Video ----

void TCustomFFmpeg::SetFrameSize(const std::string& AValue) {
  if (AValue.empty()) return;
  int width = 0, height = 0;
  if (lib::av_parse_video_size(&width, &height, AValue.c_str()) < 0) throw FFmpegException("Incorrect frame size");
  FSettings.Video.FFrameWidth = width;
  FSettings.Video.FFrameHeight = height;
  FSettings.Video.FFrameSizeSet = true;
  if (width % 2 != 0 || height % 2 != 0) throw FFmpegException("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::SetFrameRate(const std::string& AValue) {
  if (AValue.empty()) return;
  AVRational rate{0, 0};
  if (lib::av_parse_video_rate(&rate, AValue.c_str()) < 0) throw FFmpegException("Incorrect frame rate");
  FSettings.Video.FFrameRate = rate;
}

void TCustomFFmpeg::SetFrameAspectRatio(const std::string& AValue) {
  double ratio = 0;
  size_t colon = AValue.find(':');
  if (colon != std::string::npos) {
    int width = StrToIntDef(AValue.substr(0, colon), 0);
    int height = StrToIntDef(AValue.substr(colon + 1), 0);
    if (height > 0) ratio = static_cast<double>(width) / height;
  } else if (!TryStrToFloat(AValue, ratio)) {
    ratio = 0;
  }
  if (ratio == 0) throw FFmpegException("Incorrect aspect ratio specification.");
  FSettings.Video.FFrameAspectRatio = static_cast<float>(ratio);
}

void TCustomFFmpeg::SetAspectFit(const std::string& AValue) {
  if (AValue.empty() || AValue == "keep" || AValue == "square") {
    FSettings.Video.FAspectFit = AValue == "keep" ? std::string() : AValue;
    return;
  }
  if (ParseAspectList(AValue).empty()) throw FFmpegException("Incorrect aspect fit specification: " + AValue);
  FSettings.Video.FAspectFit = AValue;
}

std::vector<double> ParseAspectList(const std::string& AText) {
  std::vector<double> ratios;
  std::string rest = AText;
  while (!rest.empty()) {
    std::string item;
    SplitAt(rest, ",", true, item);
    const size_t colon = item.find(':');
    const int width = colon == std::string::npos ? 0 : StrToIntDef(Trim(item.substr(0, colon)), 0);
    const int height = colon == std::string::npos ? 0 : StrToIntDef(Trim(item.substr(colon + 1)), 0);
    if (width <= 0 || height <= 0) return {};
    ratios.push_back(static_cast<double>(width) / height);
  }
  return ratios;
}

void TCustomFFmpeg::SetPixelFormat(const std::string& AValue) {
  if (AValue == "list") {
    // Every pixel format the library describes: the header line (-1), then
    // 0 up to the last format (the old fixed count of 59 no longer holds).
    char line[128];
    for (int n = -1; n < AV_PIX_FMT_NB; ++n) {
      if (n >= 0 && !lib::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(n))) break;
      lib::av_get_pix_fmt_string(line, sizeof line, static_cast<AVPixelFormat>(n));
      FFLoggerInstance()->Log(this, llInfo, Trim(line));
    }
    return;
  }
  FSettings.Video.FFramePixFmt = lib::av_get_pix_fmt(AValue.c_str());
  if (FSettings.Video.FFramePixFmt == AV_PIX_FMT_NONE)
    throw FFmpegException(Format("Unknown pixel format requested: %s", AValue.c_str()));
}

void TCustomFFmpeg::SetCropTop(int AValue) {
  Crop(AValue, FSettings.Video.FFrameTopBand, FSettings.Video.FFrameHeight, kVerticalCrop);
}

void TCustomFFmpeg::SetCropBottom(int AValue) {
  Crop(AValue, FSettings.Video.FFrameBottomBand, FSettings.Video.FFrameHeight, kVerticalCrop);
}

void TCustomFFmpeg::SetCropLeft(int AValue) {
  Crop(AValue, FSettings.Video.FFrameLeftBand, FSettings.Video.FFrameWidth, kHorizontalCrop);
}

void TCustomFFmpeg::SetCropRight(int AValue) {
  Crop(AValue, FSettings.Video.FFrameRightBand, FSettings.Video.FFrameWidth, kHorizontalCrop);
}

void TCustomFFmpeg::SetPadTop(int AValue) {
  if (AValue >= 0) FSettings.Video.FFramePadTop = AValue;
}

void TCustomFFmpeg::SetPadBottom(int AValue) {
  if (AValue >= 0) FSettings.Video.FFramePadBottom = AValue;
}

void TCustomFFmpeg::SetPadLeft(int AValue) {
  if (AValue >= 0) FSettings.Video.FFramePadLeft = AValue;
}

void TCustomFFmpeg::SetPadRight(int AValue) {
  if (AValue >= 0) FSettings.Video.FFramePadRight = AValue;
}

void TCustomFFmpeg::SetPadColor(int AColor) {
  // RGB to YUV with the coefficients scaled by 1024 (rounded half to even);
  // the shifts are arithmetic, so negative sums stay negative.
  const int r = AColor & 0xFF;
  const int g = (AColor >> 8) & 0xFF;
  const int b = (AColor >> 16) & 0xFF;
  FSettings.Video.FPadColor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  FSettings.Video.FPadColor[1] = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
  FSettings.Video.FPadColor[2] = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
}

void TCustomFFmpeg::SetMatrix(std::unique_ptr<std::array<uint16_t, 64>>& AMatrix, const std::string& AValue) {
  if (AMatrix)
    AMatrix->fill(0);
  else
    AMatrix = std::make_unique<std::array<uint16_t, 64>>();
  size_t pos = 0;
  for (int i = 0; i < 64; ++i) {
    size_t comma = AValue.find(',', pos);
    const std::string field = AValue.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    (*AMatrix)[i] = static_cast<uint16_t>(StrToIntDef(field, 0));
    if (i == 63) break;
    if (comma == std::string::npos)
      throw FFmpegException(Format("Syntax error in matrix \"%s\" at coeff %d", AValue.c_str(), i));
    pos = comma + 1;
  }
}

void TCustomFFmpeg::SetVideoFilters(const std::string& AText) {
  if (!AText.empty()) FSettings.Video.FVideoFilters = AText;
}

void TCustomFFmpeg::SetVideoDisable(bool AValue) { FSettings.Video.FVideoDisable = AValue; }

void TCustomFFmpeg::AddVideoHook(const std::string& AValue) {
  // The words are kept for as long as the chain may use them.
  FHookArguments.push_back(HookWords(AValue, kMaxHookWords));
  std::vector<std::string>& words = FHookArguments.back();
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (AddFrameHook(FHookState->Chain, static_cast<int>(words.size()), argv.data()) != 0) {
    FHookArguments.pop_back();
    throw FFmpegException("Failed to add video hook function: " + AValue);
  }
  FSettings.Run.FUsingVhook = true;
  if (!FHookState->HookText.empty()) FHookState->HookText += '\n';
  FHookState->HookText += AValue;
}

// ---- Codecs, tags and languages ----

void TCustomFFmpeg::SetCodecName(std::string& AField, int& AStreamCopy, const std::string& AName) {
  if (AName.empty()) return;
  AField.clear();
  if (AName == "copy")
    AStreamCopy = 1;
  else
    AField = AName;
}

void TCustomFFmpeg::SetVideoCodec(const std::string& AName) {
  SetCodecName(FSettings.Video.FVideoCodecName, FSettings.Video.FVideoStreamCopy, AName);
}

void TCustomFFmpeg::SetAudioCodec(const std::string& AName) {
  SetCodecName(FSettings.Audio.FAudioCodecName, FSettings.Audio.FAudioStreamCopy, AName);
}

void TCustomFFmpeg::SetSubtitleCodec(const std::string& AName) {
  SetCodecName(FSettings.Subtitle.FSubtitleCodecName, FSettings.Subtitle.FSubtitleStreamCopy, AName);
}

void TCustomFFmpeg::SetCodecTag(uint32_t& AField, const char* AKind, const std::string& ATag) {
  if (ATag.empty()) return;
  if (ATag.size() != 4) throw FFmpegException(Format("%s tag parameter must be 4 chars", AKind));
  const auto* c = reinterpret_cast<const unsigned char*>(ATag.data());
  AField = static_cast<uint32_t>(c[0]) | static_cast<uint32_t>(c[1]) << 8 | static_cast<uint32_t>(c[2]) << 16 |
           static_cast<uint32_t>(c[3]) << 24;
}

void TCustomFFmpeg::SetVideoTag(const std::string& ATag) { SetCodecTag(FSettings.Video.FVideoCodecTag, "video", ATag); }

void TCustomFFmpeg::SetAudioTag(const std::string& ATag) { SetCodecTag(FSettings.Audio.FAudioCodecTag, "audio", ATag); }

void TCustomFFmpeg::SetSubtitleTag(const std::string& ATag) {
  SetCodecTag(FSettings.Subtitle.FSubtitleCodecTag, "subtitle", ATag);
}

void TCustomFFmpeg::SetAudioLanguage(const std::string& AText) { FSettings.Audio.FAudioLanguage = AText; }

void TCustomFFmpeg::SetSubtitleLanguage(const std::string& AText) { FSettings.Subtitle.FSubtitleLanguage = AText; }

// ---- Audio ----

void TCustomFFmpeg::SetAudioChannels(int AValue) {
  if (AValue > 0) FSettings.Audio.FAudioChannels = AValue;
}

void TCustomFFmpeg::SetAudioSampleRate(int AValue) {
  if (AValue > 0) FSettings.Audio.FAudioSampleRate = AValue;
}

void TCustomFFmpeg::SetAudioDisable(bool AValue) { FSettings.Audio.FAudioDisable = AValue; }

void TCustomFFmpeg::SetSubtitleDisable(bool AValue) { FSettings.Subtitle.FSubtitleDisable = AValue; }

void TCustomFFmpeg::SetSampleFormat(const std::string& AValue) {
  if (AValue == "list") {
    // The header line (-1), then every sample format the library names.
    char line[128];
    for (int n = -1; n < AV_SAMPLE_FMT_NB; ++n) {
      if (n >= 0 && !lib::av_get_sample_fmt_name(static_cast<AVSampleFormat>(n))) break;
      lib::av_get_sample_fmt_string(line, sizeof line, static_cast<AVSampleFormat>(n));
      FFLoggerInstance()->Log(this, llInfo, Trim(line));
    }
    return;
  }
  FSettings.Audio.FAudioSampleFmt = lib::av_get_sample_fmt(AValue.c_str());
}

void TCustomFFmpeg::SetBitRate(const std::string& AName, const std::string& AValue) {
  if (!OptDefault(AName, AValue)) return;
  AVCodecContext* context = FOptionStore.Codec[AName[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
  int64_t rate = 0;
  if (context && lib::av_opt_get_int(context, "b", 0, &rate) >= 0 && rate < 1000)
    FFLoggerInstance()->Log(this, llWarning,
                            "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

// ---- New streams, targets, hook ranges ----

void TCustomFFmpeg::NewStream(void (TCustomFFmpeg::*ANew)(AVFormatContext*)) {
  if (FOutputFileCount < 1) throw FFmpegException("At least one output file must be specified");
  (this->*ANew)(FOutputFiles[FOutputFileCount - 1]->Context);
}

void TCustomFFmpeg::SplitTargetText(const std::string& AText, std::string& ATarget, std::string& ANorm) {
  static const char* const kNorms[] = {"pal", "ntsc", "film"};
  const std::string text = Trim(AText);
  for (const char* norm : kNorms) {
    const std::string prefix = std::string(norm) + "-";
    if (text.compare(0, prefix.size(), prefix) == 0) {
      ANorm = norm;
      ATarget = text.substr(prefix.size());
      return;
    }
  }
  ANorm = "auto";
  ATarget = text;
}

void TCustomFFmpeg::SetTargetOption(const std::string& AValue) {
  std::string target, norm;
  SplitTargetText(AValue, target, norm);
  SetTarget(target, norm, "ntsc");
}

void TCustomFFmpeg::SetHookRanges(const std::vector<THookRange>& ARanges) {
  FSettings.Run.FHookRanges = ARanges;
  std::stable_sort(FSettings.Run.FHookRanges.begin(), FSettings.Run.FHookRanges.end(),
                   [](const THookRange& A, const THookRange& B) { return A.End < B.End; });
  FHookRangeIndex = 0;
  FHookRangeCount = static_cast<int>(FSettings.Run.FHookRanges.size());
}

// ---- The pass-through to the libraries' option systems ----

void TCustomFFmpeg::SetLibraryOption(const std::string& AName, int AValue) {
  OptDefault(AName, std::to_string(AValue));
}

bool TCustomFFmpeg::OptDefault(const std::string& AName, const std::string& AValue) {
  const std::string name = Trim(AName);
  const std::string value = Trim(AValue);
  if (name.empty() || value.empty()) return false;
  if (!FOptionStore.Codec[0]) return false;  // not prepared: the libraries are not loaded
  if (SetGenericOption(FOptionStore, name, value)) return true;
  // A generic context that knows the name refused the value (the library
  // log has said so); only names unknown there belong to a private class.
  if (GenericOptionKnown(name)) return false;
  return AddPrivateOption(name, value);
}

bool TCustomFFmpeg::GenericOptionKnown(const std::string& AName) const {
  auto knows = [](void* AObject, const std::string& AOption) {
    return AObject && lib::av_opt_find(AObject, AOption.c_str(), nullptr, 0, 0) != nullptr;
  };
  if (knows(FOptionStore.Codec[AVMEDIA_TYPE_VIDEO], AName) || knows(FOptionStore.Format, AName) ||
      knows(FOptionStore.Scaler, AName))
    return true;
  if (AName.size() > 1 && (AName[0] == 'a' || AName[0] == 'v' || AName[0] == 's')) {
    int type = AName[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AName[0] == 'v' ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_SUBTITLE;
    return knows(FOptionStore.Codec[type], AName.substr(1));
  }
  return false;
}

bool TCustomFFmpeg::AddPrivateOption(const std::string& AName, const std::string& AValue) {
  auto inClass = [&AName](const AVClass* const* AClass) {
    return *AClass && lib::av_opt_find(const_cast<const AVClass**>(AClass), AName.c_str(), nullptr, 0,
                                       AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
  };
  bool found = false;
  void* iterator = nullptr;
  while (!found) {
    const AVOutputFormat* muxer = lib::av_muxer_iterate(&iterator);
    if (!muxer) break;
    found = inClass(&muxer->priv_class);
  }
  iterator = nullptr;
  while (!found) {
    const AVCodec* codec = lib::av_codec_iterate(&iterator);
    if (!codec) break;
    found = lib::av_codec_is_encoder(codec) && inClass(&codec->priv_class);
  }
  if (!found) return false;
  FSettings.Run.FPrivateOptions.push_back({AName, AValue});
  return true;
}
