#pragma once
// What the engine tests share: folders, a prepared engine instance, the log
// and exception checks, conversions set up from lists of (name, value)
// options, run inline or on the worker thread with their events recorded,
// and the decoding of a finished file, stream by stream, to see what a
// player would get out of it (with the test pattern's colours checked).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

#include "engine/config/FFmpeg.h"
#include "runtime/lib/AVFormat.h"
#include "tests/engine/InspectableEngine.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

namespace transcodetest {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

// The message of the FFmpegException that AAction raises, or
// "(nothing raised)".
std::string RaisedBy(const std::function<void()>& AAction);
// The recorded lines that contain AText.
int LinesContaining(const std::string& AText);

// A prepared engine instance (option contexts allocated), with the
// protected helpers in reach.
class TTestEngine : public TInspectableEngine {
 public:
  TTestEngine() { Prepare(); }
  using TCustomFFmpeg::CheckInputMedia;
  using TCustomFFmpeg::SplitTargetText;
  using TCustomFFmpeg::TranslateOldOption;
  // SetOption for each (name, value) in order.
  void Set(const TOptionList& AOptions) {
    for (const auto& [name, value] : AOptions) SetOption(name, value);
  }
  bool In(const std::string& APath);
  int Out(const std::string& APath, bool AJoin = false);
  AVFormatContext* Output(int AIndex) const { return OutputFile(AIndex); }
  AVStream* Stream(int AFile, int AStream) const { return FOutputFiles[AFile]->Context->streams[AStream]; }
  AVCodecContext* Codec(int AFile, int AStream) const { return FOutputFiles[AFile]->Streams[AStream].Codec; }
};

// Makes a folder the current directory for one scope.
class TCurrentDirectory {
 public:
  explicit TCurrentDirectory(const std::filesystem::path& APath);
  ~TCurrentDirectory();

 private:
  std::filesystem::path FSaved;
};

// One call of the progress event, with the wall-clock time it arrived.
struct TProgressReport {
  int FrameNumber = 0;
  int FPS = 0;
  int CurrentDuration = 0;  // ms
  float Quality = 0;
  float BitRate = 0;
  int64_t CurrentSize = 0;
  int TotalOutputDuration = 0;  // ms
  std::chrono::steady_clock::time_point At;
};

// An engine instance configured for one conversion, with its terminate and
// progress events recorded.
class TConversion {
 public:
  TConversion();
  ~TConversion();
  TConversion(const TConversion&) = delete;
  TConversion& operator=(const TConversion&) = delete;

  TInspectableEngine& Engine() { return *FEngine; }

  // Gives the options in order, then opens the input or output. False when
  // an option is refused or the open fails; Error() then tells why.
  bool AddInput(const TOptionList& AOptions, const std::string& APath);
  bool AddOutput(const TOptionList& AOptions, const std::string& APath, bool AJoin = false);
  // Gives options after the last open (stream options, run-wide settings).
  bool SetOptions(const TOptionList& AOptions);
  const std::string& Error() const { return FError; }

  // Leaves the progress event unassigned (the engine then logs its reports).
  void NoProgressEvent() { FRecordProgress = false; }

  // Runs the conversion on the caller's thread.
  void RunInline();
  // Opens ASource and APath with the options, runs inline and expects a
  // normal end; false (reported) when an open failed.
  bool Run(const std::string& ASource, const TOptionList& AOutputOptions, const std::string& APath,
           const TOptionList& AInputOptions = {});
  // Starts the worker thread and resumes it; false when Start gave none.
  bool StartThreaded(TThreadPriority APriority = tpNormal);
  // Waits (serving the main thread's queue) until the terminate event has
  // fired or ATimeout passed; true when it fired.
  bool WaitForEnd(std::chrono::milliseconds ATimeout = std::chrono::milliseconds(20000));
  bool WaitForProgress(size_t ACount, std::chrono::milliseconds ATimeout = std::chrono::milliseconds(20000));

  // What the run left behind (read after the end).
  int Terminations() const;
  bool Finished() const;
  bool HasException() const;
  std::string ExceptionMessage() const;
  std::vector<TProgressReport> Reports() const;
  std::chrono::steady_clock::time_point StartedAt() const { return FStartedAt; }

 private:
  bool Apply(const TOptionList& AOptions);
  void Attach();

  std::unique_ptr<TInspectableEngine> FEngine;
  std::string FError;
  bool FRecordProgress = true;
  std::chrono::steady_clock::time_point FStartedAt;
  mutable std::mutex FLock;
  int FTerminations = 0;
  bool FFinished = false;
  bool FHasException = false;
  std::string FExceptionMessage;
  std::vector<TProgressReport> FReports;
};

// Expects a run that ended normally: one notification, finished, no error.
void ExpectFinished(const TConversion& AConversion);

// A decoded picture: RGB24 (BT.601 as the test media are made, Width * 3
// bytes a row) and its first plane as decoded (Width bytes a row).
struct TPicture {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Rgb, Luma;
};

// Expects the mean colour of ARect to be AColour, up to ATolerance per channel.
void ExpectColour(const TPicture& APicture, const testmedia::Rect& ARect, const testmedia::Rgb& AColour,
                  const std::string& AWhat, double ATolerance = 24);
// Expects the four quadrant colours of the test pattern in the picture area
// AArea (the inner part of a padded picture, or the whole picture).
void ExpectQuadrants(const TPicture& APicture, const testmedia::Rect& AArea, const std::string& AWhat,
                     double ATolerance = 24);
// Mean of the first plane over ARect.
double LumaOf(const TPicture& APicture, const testmedia::Rect& ARect);

// What decoding one stream of a file gave.
struct TDecodedStream {
  int Index = -1;
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID CodecId = AV_CODEC_ID_NONE;
  bool DecoderOpened = false;
  int64_t Packets = 0;
  int64_t PacketBytes = 0;
  int64_t FirstPacketTimeUs = AV_NOPTS_VALUE;  // smallest packet pts in microseconds
  int DecodeErrors = 0;                        // failed sends and receives
  // Audio, from the decoded frames (the first frame's values; FormatChanges
  // counts frames that differ from them).
  int SampleRate = 0;
  int Channels = 0;
  AVSampleFormat SampleFormat = AV_SAMPLE_FMT_NONE;
  int FormatChanges = 0;
  int64_t Samples = 0;  // per channel
  // The first channel as a tone: its RMS level over every decoded sample
  // (full scale 1.0), and its frequency from the rising zero crossings
  // between the first and the last one.
  double Rms = 0;
  double ToneHz = 0;
  // Video.
  int64_t Frames = 0;
  int Width = 0, Height = 0;
  AVPixelFormat PixelFormat = AV_PIX_FMT_NONE;  // the first frame's
  // Times of the decoded pictures (best-effort timestamps) in microseconds:
  // of the first and the last picture that had one, and their numbers
  // (0 = the first decoded picture; -1 when none had a time).
  int64_t FirstFrameTimeUs = AV_NOPTS_VALUE;
  int64_t LastFrameTimeUs = AV_NOPTS_VALUE;
  int64_t FirstTimedFrame = -1, LastTimedFrame = -1;
  // The frame rate the demuxer makes of the stream (av_guess_frame_rate).
  AVRational FrameRate{0, 1};
  // Sample aspect ratio as a player takes it: the container's for the
  // stream, else the first decoded frame's, else the codec parameters'
  // (0/1 when none says).
  AVRational SampleAspect{0, 1};
  // One picture from the middle of the stream and its number (0 = the
  // first decoded picture). The middle is taken from the stream's frame
  // count or duration as the demuxer reports them; when the stream ends
  // before it, the last picture is taken. Empty when nothing decoded.
  TPicture Middle;
  int64_t MiddleFrame = -1;
  // Every picture in display order (only when asked for).
  std::vector<TPicture> Pictures;

  double Seconds() const { return SampleRate > 0 ? static_cast<double>(Samples) / SampleRate : 0.0; }
  // Width / height as a player shows it (square pixels when the sample
  // aspect is unknown).
  double DisplayAspect() const;
};

struct TDecodedFile {
  bool Opened = false;
  std::string Error;
  std::string FormatName;
  int64_t DurationUs = AV_NOPTS_VALUE;  // the container's
  int64_t Size = -1;                    // bytes on disk
  // The media probe's view of the file.
  bool ProbeLoaded = false;
  std::string ProbeError;
  int ProbeAudioStreams = -1;
  int ProbeVideoStreams = -1;
  int64_t ProbeDurationUs = -1;
  // The probe's first video stream: display aspect (-1 when there is no
  // video stream) and real base frame rate.
  float ProbeDisplayAspect = -1.0f;
  AVRational ProbeFrameRate{0, 1};
  std::vector<TDecodedStream> Streams;

  // The first stream of a type, or nullptr.
  const TDecodedStream* First(AVMediaType AType) const;
  const TDecodedStream* Audio() const { return First(AVMEDIA_TYPE_AUDIO); }
  const TDecodedStream* Video() const { return First(AVMEDIA_TYPE_VIDEO); }
};

// Re-opens APath with the media probe, then demuxes it and decodes every
// stream to the end with a decoder of its codec.
TDecodedFile DecodeAll(const std::string& APath, bool AKeepPictures = false);

// TConversion::Run into ADir / AFile, then DecodeAll of the output (empty
// when the run could not start).
TDecodedFile Convert(const TTempFolder& ADir, const std::string& ASource, const TOptionList& AOptions,
                     const std::string& AFile, const TOptionList& AInputOptions = {}, bool AKeepPictures = false);

// Open file descriptors and threads of this process.
int OpenDescriptorCount();
int ThreadCount();

}  // namespace transcodetest
