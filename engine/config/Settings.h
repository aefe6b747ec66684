#pragma once
// The settings of an engine instance: what the option table and the setters
// write, read by the set-up of a run. Defaults are those of a fresh instance
// (ResetOptions brings each part back to them).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/config/Capacities.h"

extern "C" {
#include <libavutil/rational.h>
}

struct AVBSFContext;
struct AVInputFormat;
struct AVOutputFormat;

struct THookRange {
  int64_t Start = 0;
  int64_t End = 0;
};

// A chain of bitstream filters for one stream, in order. The contexts are
// allocated when the option is given and initialised when the stream is set
// up for a run (its codec parameters are known only then).
class TBitstreamFilterChain {
 public:
  TBitstreamFilterChain() = default;
  TBitstreamFilterChain(const TBitstreamFilterChain&) = delete;
  TBitstreamFilterChain& operator=(const TBitstreamFilterChain&) = delete;
  TBitstreamFilterChain(TBitstreamFilterChain&& AOther) noexcept : Filters(std::move(AOther.Filters)) {}
  TBitstreamFilterChain& operator=(TBitstreamFilterChain&& AOther) noexcept;
  ~TBitstreamFilterChain() { Clear(); }

  void Clear();  // frees every context
  bool Empty() const { return Filters.empty(); }

  std::vector<AVBSFContext*> Filters;
};

// Options that belong privately to a muxer or an encoder (the generic
// contexts do not know them); they are applied when the output or the
// encoder of the right kind opens.
struct TPrivateOption {
  std::string Name;
  std::string Value;
};

// What holds for the next file opened (input or output): its formats, where
// it starts and how long it lasts, its metadata and how it is muxed.
struct TMuxSettings {
  const AVInputFormat* FInputFormat = nullptr;
  const AVOutputFormat* FOutputFormat = nullptr;
  int64_t FStartTime = 0;
  int64_t FInputTsOffset = 0;
  // The factor of each stream's timestamps in the next input ("itsscale"),
  // 0 for none.
  std::array<double, MAX_STREAMS> FInputTsScale = {};
  int64_t FRecordingTime = INT64_MAX;
  int64_t FRecordingTimestamp = 0;  // seconds
  std::vector<std::pair<std::string, std::string>> FMetadata;
  bool FLoopInput = false;
  int FLoopOutput = -1;
  float FMuxPreload = 0.5f;
  float FMuxMaxDelay = 0.7f;
  uint64_t FLimitFileSize = 0;
  int FProgramId = 0;
};

// The video streams of the next outputs: frame, rate, crop and pads,
// codec, quality, filters and the corrections the engine makes by itself.
struct TVideoSettings {
  int FFrameWidth = 0;
  int FFrameHeight = 0;
  bool FFrameSizeSet = false;  // the size was given ("s"), not taken from a source
  float FFrameAspectRatio = 0;
  int FFramePixFmt = -1;
  AVRational FFrameRate{0, 0};
  int FFrameTopBand = 0, FFrameBottomBand = 0, FFrameLeftBand = 0, FFrameRightBand = 0;
  int FFramePadTop = 0, FFramePadBottom = 0, FFramePadLeft = 0, FFramePadRight = 0;
  int FPadColor[3] = {16, 128, 128};                                 // Y, U, V
  int FMaxFrames[4] = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};  // video, audio, data, subtitle
  float FVideoQScale = 0;
  std::unique_ptr<std::array<uint16_t, 64>> FIntraMatrix;
  std::unique_ptr<std::array<uint16_t, 64>> FInterMatrix;
  std::string FVideoRcOverride;
  bool FVideoDisable = false;
  int FVideoDiscard = 0;
  std::string FVideoCodecName;
  int FVideoStreamCopy = 0;
  uint32_t FVideoCodecTag = 0;
  bool FSameQuality = false, FDoDeinterlace = false, FIntraOnly = false, FQpHist = false, FForceFps = false;
  int FTopFieldFirst = -1;
  int FMeThreshold = 0;
  int FIntraDcPrecision = 8;
  // What the engine corrects in a source's pictures by itself: a display
  // rotation (turned upright), interlacing (deinterlaced for progressive
  // outputs, unless "deinterlace" asks for it anyway), high dynamic range
  // (tone-mapped to BT.709 for 8-bit outputs).
  bool FAutoRotate = true;
  bool FAutoDeinterlace = true;
  bool FToneMap = true;
  // The display aspects an output can show ("aspect_fit"): empty keeps the
  // source's through the pixel aspect; square pixels only; or a list of
  // frame aspects ("4:3,16:9") of which the nearest is taken. A picture of
  // another aspect is fitted in with black bars.
  std::string FAspectFit;
  std::string FVideoFilters;
  bool FUseFilters = false;
  int FVideoChannel = 0;
  std::string FVideoStandard;
  int FVideoGlobalHeader = 0;
  int FDoPass = 0;
  std::string FPassLogFilePrefix;
  TBitstreamFilterChain FVideoBitstreamFilters;
};

// The audio streams of the next outputs.
struct TAudioSettings {
  int FAudioSampleRate = 44100;
  int FAudioChannels = 2;
  int64_t FChannelLayout = 0;  // channel mask, 0 = none
  int FAudioSampleFmt = -1;
  float FAudioQScale = -99999.0f;
  bool FAudioDisable = false;
  std::string FAudioCodecName;
  int FAudioStreamCopy = 0;
  uint32_t FAudioCodecTag = 0;
  std::string FAudioLanguage;
  int FAudioVolume = 256;
  TBitstreamFilterChain FAudioBitstreamFilters;
};

// The subtitle streams of the next outputs.
struct TSubtitleSettings {
  bool FSubtitleDisable = false;
  std::string FSubtitleCodecName;
  int FSubtitleStreamCopy = 0;
  uint32_t FSubtitleCodecTag = 0;
  std::string FSubtitleLanguage;
  TBitstreamFilterChain FSubtitleBitstreamFilters;
};

// What holds for the whole run: clocks and sync, logging, threads,
// statistics, frame hooks and the options private to a muxer or an encoder.
struct TRunSettings {
  int FVideoSyncMethod = -1;
  int FAudioSyncMethod = 0;
  float FAudioDriftThreshold = 0.1f;
  float FDtsDeltaThreshold = 10.0f;
  bool FCopyTs = false, FShortest = false, FInputSync = false, FRateEmu = false, FExitOnError = false;
  int FCopyInitialNonKeyframes = 0;
  bool FDoHexDump = false, FDoPktDump = false, FDoPsnr = false;
  std::string FVstatsFileName;
  int FVerbose = 1;
  int FThreadCount = 1;
  int FSwsFlags = 4;  // bicubic
  bool FPgmyuvCompat = false;
  bool FUsingVhook = false;
  std::vector<THookRange> FHookRanges;
  std::vector<TPrivateOption> FPrivateOptions;
};

struct TEngineSettings {
  TMuxSettings Mux;
  TVideoSettings Video;
  TAudioSettings Audio;
  TSubtitleSettings Subtitle;
  TRunSettings Run;
};
