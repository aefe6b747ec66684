// Targets, presets, bitstream filters and the video statistics file.
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"

namespace {

// ---- Norms ----

enum TNorm { nmPAL = 0, nmNTSC = 1, nmFILM = 2 };

const char* const kFrameRates[] = {"25", "30000/1001", "24000/1001"};

// The norm a frame rate stands for, from its rate in frames per 1000
// seconds: 25000 is PAL, 23976 and 29970 are NTSC; false for any other.
bool NormOfRate(AVRational ARate, TNorm& ANorm) {
  if (ARate.den == 0) return false;
  const int64_t rate = RoundHalfEven(static_cast<long double>(ARate.num) * 1000.0L / ARate.den);
  if (rate == 25000) {
    ANorm = nmPAL;
    return true;
  }
  if (rate == 23976 || rate == 29970) {
    ANorm = nmNTSC;
    return true;
  }
  return false;
}

// ---- The built-in presets ----

struct TOptionsPreset {
  const char* Name;
  const char* Options;  // name=value lines, each ending with a line feed
};

// The lines every preset of the "libx264-default" family shares, in its order.
#define X264_HEAD "coder=1\nflags=+loop\ncmp=+chroma\n"
#define X264_RATE "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
#define X264_QUANT "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n"
#define X264_ALL_PARTITIONS "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
#define X264_MAX_PARTITIONS "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
#define X264_NO_PARTITIONS "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"

// Table order; looked up without regard to case. The texts use the option
// names of the library generation the presets were written for: they are
// translated when applied (see TranslateOldOption).
const TOptionsPreset kPresets[] = {
    {"libx264-baseline", "coder=0\nbf=0\nflags2=-wpred-dct8x8\n"},
    {"libx264-default", X264_HEAD X264_ALL_PARTITIONS
     "me_method=hex\nsubq=7\n" X264_RATE "b_strategy=1\n" X264_QUANT
     "bf=3\nrefs=3\ndirectpred=1\ntrellis=1\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\n"},
    // Pass 1 of two: no partitions, the cheapest search, one reference and
    // no trellis; the frame types are decided as "default" decides them.
    {"libx264-fastfirstpass",
     X264_HEAD X264_NO_PARTITIONS "me_method=dia\nsubq=2\n" X264_RATE "b_strategy=1\n" X264_QUANT
                                  "bf=3\nrefs=1\ndirectpred=3\ntrellis=0\nflags2=-mixed_refs+wpred-dct8x8+fastpskip\n"},
    {"libx264-hq", X264_HEAD X264_ALL_PARTITIONS
     "me_method=umh\nsubq=8\n" X264_RATE "b_strategy=2\n" X264_QUANT
     "bf=3\nrefs=4\ndirectpred=3\ntrellis=1\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\n"},
    {"libx264-ipod320", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\n"},
    {"libx264-ipod640", "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\nbufsize=10000000\n"},
    // Lossless: a constant quantiser of 0; the B-frame count and trellis
    // are left to the encoder.
    {"libx264-lossless_fast",
     X264_HEAD "partitions=+parti4x4+partp8x8\nme_method=hex\nsubq=3\n" X264_RATE "b_strategy=1\n" X264_QUANT
               "refs=2\ndirectpred=1\nflags2=+mixed_refs+wpred-dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-lossless_max",
     X264_HEAD X264_MAX_PARTITIONS "me_method=esa\nsubq=8\n" X264_RATE "b_strategy=2\n" X264_QUANT
                                   "refs=16\ndirectpred=3\nflags2=+mixed_refs+wpred+dct8x8-fastpskip\ncqp=0\n"},
    {"libx264-lossless_medium",
     X264_HEAD X264_ALL_PARTITIONS "me_method=hex\nsubq=5\n" X264_RATE "b_strategy=1\n" X264_QUANT
                                   "refs=2\ndirectpred=1\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-lossless_slow",
     X264_HEAD X264_ALL_PARTITIONS "me_method=umh\nsubq=6\n" X264_RATE "b_strategy=1\n" X264_QUANT
                                   "refs=3\ndirectpred=1\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-lossless_slower",
     X264_HEAD X264_MAX_PARTITIONS "me_method=umh\nsubq=8\n" X264_RATE "b_strategy=2\n" X264_QUANT
                                   "refs=4\ndirectpred=3\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-lossless_ultrafast",
     X264_HEAD X264_NO_PARTITIONS "me_method=dia\nsubq=0\n" X264_RATE "b_strategy=0\n" X264_QUANT
                                  "refs=1\ndirectpred=1\nflags2=-mixed_refs-wpred-dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-main", "flags2=-dct8x8\n"},
    {"libx264-max", X264_HEAD X264_MAX_PARTITIONS
     "me_method=tesa\nsubq=10\n" X264_RATE "b_strategy=2\n" X264_QUANT
     "bf=16\nrefs=16\ndirectpred=3\ntrellis=2\nflags2=+mixed_refs+wpred+dct8x8-fastpskip\n"},
    {"libx264-normal", X264_HEAD X264_ALL_PARTITIONS
     "me_method=hex\nsubq=6\n" X264_RATE "b_strategy=1\n" X264_QUANT
     "bf=3\nrefs=2\ndirectpred=3\ntrellis=0\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\n"},
    // Pass 1 of two with the careful frame-type decision of "hq", whose
    // statistics the second pass relies on, and a moderate analysis.
    {"libx264-slowfirstpass", X264_HEAD X264_ALL_PARTITIONS
     "me_method=hex\nsubq=7\n" X264_RATE "b_strategy=2\n" X264_QUANT
     "bf=3\nrefs=2\ndirectpred=3\ntrellis=0\nflags2=+mixed_refs+wpred+dct8x8+fastpskip\n"},
};

#undef X264_HEAD
#undef X264_RATE
#undef X264_QUANT
#undef X264_ALL_PARTITIONS
#undef X264_MAX_PARTITIONS
#undef X264_NO_PARTITIONS

const TOptionsPreset* FindPreset(const std::string& AName) {
  for (const TOptionsPreset& preset : kPresets)
    if (SameText(preset.Name, AName)) return &preset;
  return nullptr;
}

bool IsFile(const std::string& AName) {
  struct stat info {};
  return ::stat(AName.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& AName) {
  std::ifstream file(AName, std::ios::binary);
  if (!file) return "";
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// CR LF and lone CR become LF.
std::string LineFeedsOnly(const std::string& AText) {
  std::string text;
  text.reserve(AText.size());
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '\r') {
      text += '\n';
      if (i + 1 < AText.size() && AText[i + 1] == '\n') ++i;
    } else {
      text += AText[i];
    }
  }
  return text;
}

// ---- Options of the old library generation ----
//
// The presets, and preset files written for the same generation, name
// options that FFmpeg 5.1 retired or moved into the private class of the
// libx264 encoder. This is the one table of what each becomes:
//
//   old                      FFmpeg 5.1 / libx264 (private options marked *)
//   -----------------------  ------------------------------------------------
//   cqp=N                    qp*=N
//   directpred=0|1|2|3       direct-pred*=none|spatial|temporal|auto
//   me_method=dia|hex|umh|   motion-est*=the same name; as the x264 wrapper
//     esa|tesa, epzs, full,    of that generation took them, epzs is dia, full
//     zero, log, phods, x1,    is esa and the searches x264 does not have
//     iter                     (zero, log, phods, x1, iter) are hex; any other
//                              value stays me_method* (libx264's alias)
//   flags2 +/-mixed_refs     mixed-refs*=1|0
//   flags2 +/-wpred          weightb*=1|0 (what the flag switched then:
//                            weighted bi-prediction) and weightp*=smart|none
//                            (weighted P prediction came later and is on by
//                            default, so a preset that wants no weighting -
//                            baseline - must switch it off too)
//   flags2 +/-dct8x8         8x8dct*=1|0
//   flags2 +/-fastpskip      fast-pskip*=1|0
//   flags2 +/-bpyramid       b-pyramid*=normal|none
//   flags2 +/-mbtree, +/-aud, +/-psy, +/-ssim, +/-intra_refresh
//                            mbtree*, aud*, psy*, ssim*, intra-refresh*=1|0
//   flags +/-scan_offset     scan_offset*=1|0 (the MPEG-2 video encoder's)
//   partitions +/-parti4x4,  partitions*= a list of i4x4, i8x8, p4x4, p8x8,
//     parti8x8, partp4x4,      b8x8 ("none" when empty); see PartitionList
//     partp8x8, partb8x8
//
// Every other token of flags and flags2 (loop, fast, local_header, ...) is
// still a flag of the codec context and stays there. Names that kept their
// meaning need no row: subq, me_range, g, keyint_min, i_qfactor, qcomp,
// qmin, qmax, qdiff, bf, refs, trellis, maxrate, bufsize and level are codec
// options that libx264 reads (level=13 is level_idc 13, that is 1.3); cmp
// is one too (libx264 takes chroma motion estimation from its chroma bit);
// coder, sc_threshold and b_strategy became libx264 private options of the
// same name and values. OptDefault keeps private options in FPrivateOptions
// until the encoder opens.

enum TRetiredKind {
  rkValue,      // the whole value: OldToken (nullptr: any) becomes NewName=NewOn (nullptr: the value)
  rkFlag,       // a "+token" or "-token" of a flags value: NewName=NewOn or NewName=NewOff
  rkPartition,  // a "+token" or "-token" of "partitions": the entry NewOn of libx264's list
};

struct TRetiredOption {
  const char* OldName;
  const char* OldToken;
  TRetiredKind Kind;
  const char* NewName;
  const char* NewOn;
  const char* NewOff;
};

const TRetiredOption kRetiredOptions[] = {
    {"cqp", nullptr, rkValue, "qp", nullptr, nullptr},
    {"directpred", "0", rkValue, "direct-pred", "none", nullptr},
    {"directpred", "1", rkValue, "direct-pred", "spatial", nullptr},
    {"directpred", "2", rkValue, "direct-pred", "temporal", nullptr},
    {"directpred", "3", rkValue, "direct-pred", "auto", nullptr},
    {"me_method", "dia", rkValue, "motion-est", "dia", nullptr},
    {"me_method", "epzs", rkValue, "motion-est", "dia", nullptr},
    {"me_method", "hex", rkValue, "motion-est", "hex", nullptr},
    {"me_method", "umh", rkValue, "motion-est", "umh", nullptr},
    {"me_method", "esa", rkValue, "motion-est", "esa", nullptr},
    {"me_method", "full", rkValue, "motion-est", "esa", nullptr},
    {"me_method", "tesa", rkValue, "motion-est", "tesa", nullptr},
    {"me_method", "zero", rkValue, "motion-est", "hex", nullptr},
    {"me_method", "log", rkValue, "motion-est", "hex", nullptr},
    {"me_method", "phods", rkValue, "motion-est", "hex", nullptr},
    {"me_method", "x1", rkValue, "motion-est", "hex", nullptr},
    {"me_method", "iter", rkValue, "motion-est", "hex", nullptr},
    {"flags2", "mixed_refs", rkFlag, "mixed-refs", "1", "0"},
    {"flags2", "wpred", rkFlag, "weightb", "1", "0"},
    {"flags2", "wpred", rkFlag, "weightp", "smart", "none"},
    {"flags2", "dct8x8", rkFlag, "8x8dct", "1", "0"},
    {"flags2", "fastpskip", rkFlag, "fast-pskip", "1", "0"},
    {"flags2", "bpyramid", rkFlag, "b-pyramid", "normal", "none"},
    {"flags2", "mbtree", rkFlag, "mbtree", "1", "0"},
    {"flags2", "aud", rkFlag, "aud", "1", "0"},
    {"flags2", "psy", rkFlag, "psy", "1", "0"},
    {"flags2", "ssim", rkFlag, "ssim", "1", "0"},
    {"flags2", "intra_refresh", rkFlag, "intra-refresh", "1", "0"},
    {"flags", "scan_offset", rkFlag, "scan_offset", "1", "0"},
    {"partitions", "parti8x8", rkPartition, "partitions", "i8x8", nullptr},
    {"partitions", "parti4x4", rkPartition, "partitions", "i4x4", nullptr},
    {"partitions", "partp8x8", rkPartition, "partitions", "p8x8", nullptr},
    {"partitions", "partp4x4", rkPartition, "partitions", "p4x4", nullptr},
    {"partitions", "partb8x8", rkPartition, "partitions", "b8x8", nullptr},
};

// libx264's list entries in the order the list is written, and the ones
// x264 considers when it is not told.
const char* const kPartitionOrder[] = {"i8x8", "i4x4", "p8x8", "p4x4", "b8x8"};
const char* const kDefaultPartitions[] = {"i8x8", "i4x4", "p8x8", "b8x8"};

bool HasRetiredName(const std::string& AName) {
  for (const TRetiredOption& row : kRetiredOptions)
    if (AName == row.OldName) return true;
  return false;
}

// A flags text cut into its tokens: each with its sign ('+', '-', or 0 for
// a first token without one) and its name.
struct TFlagToken {
  char Sign;
  std::string Name;
};

std::vector<TFlagToken> FlagTokens(const std::string& AValue) {
  std::vector<TFlagToken> tokens;
  size_t pos = 0;
  while (pos < AValue.size()) {
    char sign = 0;
    if (AValue[pos] == '+' || AValue[pos] == '-') sign = AValue[pos++];
    size_t end = AValue.find_first_of("+-", pos);
    if (end == std::string::npos) end = AValue.size();
    tokens.push_back({sign, AValue.substr(pos, end - pos)});
    pos = end;
  }
  return tokens;
}

std::string FlagText(const std::vector<TFlagToken>& ATokens) {
  std::string text;
  for (const TFlagToken& token : ATokens) {
    if (token.Sign) text += token.Sign;
    text += token.Name;
  }
  return text;
}

using TOptionList = std::vector<std::pair<std::string, std::string>>;

// "partitions" of the old kind ("+parti8x8+partp8x8", "-partb8x8"): the old
// option was a set of flags that started empty, so additions build the set
// from nothing; a text that begins with a removal takes it away from what
// x264 considers by default. False when a token is not an old partition
// name (a list of the new kind, "all", "none" stay as they are).
bool PartitionList(const std::string& AValue, std::string& AList) {
  const std::vector<TFlagToken> tokens = FlagTokens(AValue);
  if (tokens.empty()) return false;
  std::vector<std::string> chosen;
  if (tokens.front().Sign == '-') chosen.assign(std::begin(kDefaultPartitions), std::end(kDefaultPartitions));
  for (const TFlagToken& token : tokens) {
    const TRetiredOption* row = nullptr;
    for (const TRetiredOption& r : kRetiredOptions)
      if (r.Kind == rkPartition && token.Name == r.OldToken) row = &r;
    if (!row) return false;
    auto it = std::find(chosen.begin(), chosen.end(), row->NewOn);
    if (token.Sign == '-') {
      if (it != chosen.end()) chosen.erase(it);
    } else if (it == chosen.end()) {
      chosen.push_back(row->NewOn);
    }
  }
  AList.clear();
  for (const char* entry : kPartitionOrder) {
    if (std::find(chosen.begin(), chosen.end(), entry) == chosen.end()) continue;
    if (!AList.empty()) AList += ',';
    AList += entry;
  }
  if (AList.empty()) AList = "none";
  return true;
}

}  // namespace

// ---- Retired options ----

std::vector<std::pair<std::string, std::string>> TCustomFFmpeg::TranslateOldOption(const std::string& AName,
                                                                                   const std::string& AValue) {
  const std::string name = Trim(AName);
  const std::string value = Trim(AValue);
  TOptionList options;
  if (!HasRetiredName(name)) {
    options.emplace_back(AName, AValue);
    return options;
  }

  if (name == "partitions") {
    std::string list;
    options.emplace_back(name, PartitionList(value, list) ? list : value);
    return options;
  }

  // A whole-value row.
  for (const TRetiredOption& row : kRetiredOptions) {
    if (row.Kind != rkValue || name != row.OldName) continue;
    if (row.OldToken && value != row.OldToken) continue;
    options.emplace_back(row.NewName, row.NewOn ? row.NewOn : value);
    return options;
  }

  // Flags: the retired tokens become options of their own, the others stay
  // in the flags value.
  std::vector<TFlagToken> kept;
  bool flagRows = false;
  for (const TFlagToken& token : FlagTokens(value)) {
    bool retired = false;
    for (const TRetiredOption& row : kRetiredOptions) {
      if (row.Kind != rkFlag || name != row.OldName || token.Name != row.OldToken) continue;
      retired = flagRows = true;
      options.emplace_back(row.NewName, token.Sign == '-' ? row.NewOff : row.NewOn);
    }
    if (!retired) kept.push_back(token);
  }
  if (!flagRows) {
    // A value with no retired token (or a whole-value name with a value
    // that has no row) goes on as it was.
    options.clear();
    options.emplace_back(AName, AValue);
    return options;
  }
  if (!kept.empty()) options.insert(options.begin(), {name, FlagText(kept)});
  return options;
}

bool TCustomFFmpeg::OptDefaultOld(const std::string& AName, const std::string& AValue) {
  for (const auto& [name, value] : TranslateOldOption(AName, AValue))
    if (!OptDefault(name, value)) return false;
  return true;
}

// ---- Targets ----

namespace {

// The norm of a target: the one named, else the one of the frame rate set,
// else of the first video stream of the open inputs whose rate tells one,
// else ADefaultNorm's.
TNorm TargetNorm(TCustomFFmpeg& AEngine, const std::string& ANorm, const std::string& ADefaultNorm) {
  TNorm norm = nmPAL;
  if (ANorm == "pal") {
    norm = nmPAL;
  } else if (ANorm == "ntsc") {
    norm = nmNTSC;
  } else if (ANorm == "film") {
    norm = nmFILM;
  } else {
    if (AEngine.Settings().Video.FFrameRate.den == 0) throw FFmpegException("frame_rate is invalid.");
    bool decided = NormOfRate(AEngine.Settings().Video.FFrameRate, norm);
    // The streams of the open inputs. Streams of this library generation
    // have no codec time base: the rate is the stream's real base frame
    // rate, or its average frame rate when the real one is not known.
    for (int i = 0; i < AEngine.InputFileCount() && !decided; ++i) {
      const AVFormatContext* input = AEngine.InputFile(i);
      if (!input) continue;
      for (unsigned s = 0; s < input->nb_streams && !decided; ++s) {
        const AVStream* stream = input->streams[s];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational rate = stream->r_frame_rate;
        if (rate.num == 0 || rate.den == 0) rate = stream->avg_frame_rate;
        decided = NormOfRate(rate, norm);
      }
    }
    if (!decided) norm = ADefaultNorm == "film" ? nmFILM : ADefaultNorm == "ntsc" ? nmNTSC : nmPAL;
    if (AEngine.Settings().Run.FVerbose > 0)
      FFLoggerInstance()->Log(&AEngine, llVerbose, Format("Assuming %s for target.", norm == nmPAL ? "PAL" : "NTSC"));
  }
  return norm;
}

}  // namespace

void TCustomFFmpeg::SetTarget(const std::string& ATarget, const std::string& ANorm, const std::string& ADefaultNorm) {
  const TNorm norm = TargetNorm(*this, ANorm, ADefaultNorm);
  const bool pal = norm == nmPAL;  // NTSC and FILM share the NTSC settings
  const char* defaultAspect = nullptr;
  if (ATarget == "vcd") {
    SetOption("vcodec", "mpeg1video");
    SetOption("acodec", "mp2");
    SetOutputFormat("vcd");
    SetOption("s", pal ? "352x288" : "352x240");
    SetOption("r", kFrameRates[norm]);
    OptDefaultOld("g", pal ? "15" : "18");
    OptDefaultOld("b", "1150000");
    OptDefaultOld("maxrate", "1150000");
    OptDefaultOld("minrate", "1150000");
    OptDefaultOld("bufsize", "327680");
    OptDefaultOld("ab", "224000");
    SetAudioSampleRate(44100);
    SetAudioChannels(2);
    OptDefaultOld("packetsize", "2324");
    OptDefaultOld("muxrate", "1411200");
    // 36000 + 3 * 1200 units of 90 kHz: what a VCD player buffers first.
    SetMuxPreload(0.44f);
    defaultAspect = "4:3";
  } else if (ATarget == "svcd") {
    SetOption("vcodec", "mpeg2video");
    SetOption("acodec", "mp2");
    SetOutputFormat("svcd");
    SetOption("s", pal ? "480x576" : "480x480");
    SetOption("r", kFrameRates[norm]);
    OptDefaultOld("g", pal ? "15" : "18");
    OptDefaultOld("b", "2040000");
    OptDefaultOld("maxrate", "2516000");
    OptDefaultOld("minrate", "0");
    OptDefaultOld("bufsize", "1835008");
    OptDefaultOld("ab", "224000");
    // The scan offset flag of the old codec flags is the MPEG-2 video
    // encoder's private "scan_offset" now.
    OptDefaultOld("flags", "+scan_offset");
    SetAudioSampleRate(44100);
    OptDefaultOld("packetsize", "2324");
    if (FSettings.Audio.FAudioChannels == 1) SetAudioChannels(2);
    defaultAspect = "4:3";
  } else if (ATarget == "dvd") {
    SetOption("vcodec", "mpeg2video");
    SetOption("acodec", "ac3");
    SetOutputFormat("dvd");
    SetOption("s", pal ? "720x576" : "720x480");
    SetOption("r", kFrameRates[norm]);
    OptDefaultOld("g", pal ? "15" : "18");
    OptDefaultOld("b", "6000000");
    OptDefaultOld("maxrate", "9000000");
    OptDefaultOld("minrate", "0");
    OptDefaultOld("bufsize", "1835008");
    OptDefaultOld("ab", "448000");
    OptDefaultOld("packetsize", "2048");
    OptDefaultOld("muxrate", "10080000");
    SetAudioSampleRate(48000);
    if (FSettings.Audio.FAudioChannels == 1) SetAudioChannels(2);
    defaultAspect = "16:9";
  } else if (ATarget == "dv" || ATarget == "dv50") {
    SetOutputFormat("dv");
    SetOption("s", pal ? "720x576" : "720x480");
    SetOption("pix_fmt", ATarget == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    SetOption("r", kFrameRates[norm]);
    SetAudioSampleRate(48000);
    SetAudioChannels(2);
  } else {
    throw FFmpegException("Unknown target type");
  }

  if (defaultAspect && FSettings.Video.FFrameAspectRatio == 0) {
    FFLoggerInstance()->Log(this, llInfo, Format("Assuming %s for aspect ratio", defaultAspect));
    SetFrameAspectRatio(defaultAspect);
  }
}

// ---- Presets ----

void TCustomFFmpeg::ApplyPreset(const std::string& AKind, const std::string& AValue) {
  if (AKind.empty() || AValue.empty()) return;

  std::string name = AValue;
  std::string text;
  bool found = false;
  if (const TOptionsPreset* preset = FindPreset(AValue)) {
    text = preset->Options;
    found = true;
  }
  if (!found) {
    // The codec of the kind's stream names the preset: "hq" for libx264 is
    // "libx264-hq". Without that codec name the next kind's is tried.
    const std::string* codec = nullptr;
    if (AKind[0] == 'v' && !FSettings.Video.FVideoCodecName.empty())
      codec = &FSettings.Video.FVideoCodecName;
    else if (AKind[0] == 'a' && !FSettings.Audio.FAudioCodecName.empty())
      codec = &FSettings.Audio.FAudioCodecName;
    else if (!FSettings.Subtitle.FSubtitleCodecName.empty())
      codec = &FSettings.Subtitle.FSubtitleCodecName;
    if (codec) {
      name = *codec + "-" + AValue;
      if (const TOptionsPreset* preset = FindPreset(name)) {
        text = preset->Options;
        found = true;
      }
    }
  }
  if (!found && IsFile(AValue)) {
    text = ReadWholeFile(AValue);
    if (!text.empty()) {
      name = AValue;
      found = true;
    }
  }
  if (!found) throw FFmpegException(Format("Preset \"%s\" not found", name.c_str()));

  std::istringstream lines(LineFeedsOnly(Trim(text)));
  std::string line;
  while (std::getline(lines, line)) {
    line = Trim(line);
    if (line.empty()) continue;
    const size_t equal = line.find('=');
    const std::string key = equal == std::string::npos ? line : line.substr(0, equal);
    const std::string value = equal == std::string::npos ? "" : line.substr(equal + 1);
    if (key.empty() || value.empty())
      throw FFmpegException(Format("%s: Invalid syntax: \"%s\"", name.c_str(), line.c_str()));
    if (SameText(key, "acodec")) {
      SetAudioCodec(value);
    } else if (SameText(key, "vcodec")) {
      SetVideoCodec(value);
    } else if (SameText(key, "scodec")) {
      SetSubtitleCodec(value);
    } else if (!OptDefaultOld(key, value)) {
      throw FFmpegException(Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"", name.c_str(),
                                   line.c_str(), key.c_str(), value.c_str()));
    }
  }
}

// ---- Bitstream filters ----

void TCustomFFmpeg::SetBitstreamFilter(const std::string& AKind, const std::string& AValue) {
  if (AKind.empty() || AValue.empty() || AValue[0] == '=') return;
  // What follows an "=" is not used: the filters' options are not taken
  // from this text.
  const size_t equal = AValue.find('=');
  const std::string name = equal == std::string::npos ? AValue : AValue.substr(0, equal);
  const AVBitStreamFilter* filter = lib::av_bsf_get_by_name(name.c_str());
  if (!filter) throw FFmpegException(Format("Unknown bitstream filter %s", Trim(AValue).c_str()));
  AVBSFContext* context = nullptr;
  if (lib::av_bsf_alloc(filter, &context) < 0 || !context)
    throw FFmpegException(Format("Could not allocate bitstream filter %s", name.c_str()));
  // The context is initialised when its stream is set up for a run: its
  // input parameters are the stream's codec parameters.
  TBitstreamFilterChain& chain = AKind[0] == 'v'   ? FSettings.Video.FVideoBitstreamFilters
                                 : AKind[0] == 'a' ? FSettings.Audio.FAudioBitstreamFilters
                                                   : FSettings.Subtitle.FSubtitleBitstreamFilters;
  chain.Filters.push_back(context);
}

// ---- The video statistics file ----

void TCustomFFmpeg::SetVideoStatistics(bool AOn) {
  FSettings.Run.FVstatsFileName.clear();
  if (!AOn) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char clock[16];
  std::strftime(clock, sizeof clock, "%H%M%S", &local);
  FSettings.Run.FVstatsFileName = Format("%svstats_%s.log", ToLocal8Bit(ModuleDir()).c_str(), clock);
}
