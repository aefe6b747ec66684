#pragma once
// The transcoding engine: one engine instance is one conversion job. It is
// configured with named options (SetOption and the typed setters), opens
// its inputs and outputs, and runs a read-decode-encode-write loop on a
// worker thread or inline, reporting progress and exactly one termination.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/config/Files.h"
#include "engine/config/Settings.h"
#include "runtime/Hooks.h"
#include "runtime/Object.h"
#include "runtime/OptionContexts.h"
#include "runtime/Threads.h"

extern "C" {
#include <libavutil/rational.h>
}

struct AVBSFContext;
struct AVCodecContext;
struct AVCodec;
struct AVFilterGraph;
struct AVFormatContext;
struct AVInputFormat;
struct AVOutputFormat;
struct AVStream;

// The engine's exception: its message is the user-visible error text.
class FFmpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCustomFFmpeg;

// How far an output may run past the expected length of its sources
// (besides a tenth of that length) before the run is stopped, microseconds.
constexpr int64_t kOutputOverrun = 10 * 1000000;

struct TStreamMap {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
};

struct TMetaDataMap {
  int OutFile = 0;
  int InFile = 0;
};

// Per-thread-class helpers of the engine instance. Each holds one reference
// to its engine instance, is created suspended and runs a one-line body.
class TEngineThread {
 public:
  explicit TEngineThread(TCustomFFmpeg* AEngine) : FEngine(AEngine) {}
  virtual ~TEngineThread() = default;
  void SetPriority(TThreadPriority APriority) { FPriority = APriority; }
  void Resume();  // starts the suspended thread
  // Returns once the thread has ended (at once when it was never resumed).
  void WaitFor();
  bool Suspended() const { return !FResumed.load(); }
  bool Finished() const { return FThread.Finished(); }
  // True on this object's own thread.
  bool IsCurrent() const { return FThreadId.load() == CurrentThreadId(); }

 protected:
  virtual void Execute() = 0;
  TCustomFFmpeg* FEngine;

 private:
  TThread FThread;
  TThreadPriority FPriority = tpNormal;
  std::mutex FResumeLock;  // held while Resume starts the thread
  std::atomic<bool> FResumed{false};
  std::atomic<uint32_t> FThreadId{0};
};

// Runs the engine instance's Run.
class TConvertThread : public TEngineThread {
 public:
  using TEngineThread::TEngineThread;

 protected:
  void Execute() override;
};

// Calls the engine instance's DoTerminate.
class TDoTerminateThread : public TEngineThread {
 public:
  using TEngineThread::TEngineThread;

 protected:
  void Execute() override;
};

// Events. APTS values are microseconds.
using TEngineTerminateEvent = std::function<void(TCustomFFmpeg* Sender)>;
using TEngineProgressEvent =
    std::function<void(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                       float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
using TEngineBeforeHookEvent = std::function<void(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction)>;
using TEngineCustomHookEvent = std::function<void(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber,
                                                  int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TEnginePreviewBitmapEvent =
    std::function<void(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS)>;

// Run-state records of the pipeline (engine/pipeline/RunTables.h).
struct TInputStreamState;
struct TOutputStreamState;
struct TTranscodeRun;
struct AVFrame;
struct AVPacket;
struct AVSubtitle;
// The engine instance's own states and buffers (engine/config/RunState.h).
struct THookState;
struct TPreviewState;
struct TPipelineBuffers;

class TAmrNbEncoder;
class TPictureCorrections;

class TCustomFFmpeg : public TObject {
 public:
  TCustomFFmpeg();
  ~TCustomFFmpeg() override;

  // ---- Life cycle (Engine.cpp) ----
  void Prepare();
  void Cleanup();
  // Starts a run: on a worker thread (returned, still suspended: the caller
  // resumes it) or, with AInThread false, inline before returning nullptr.
  TConvertThread* Start(bool AInThread, TThreadPriority APriority = tpNormal);
  void Run();
  // Asks the run to stop. With AWait, returns once the worker thread has
  // ended, its terminate event delivered (not on that thread itself, which
  // cannot wait for its own end).
  void Stop(bool AWait);
  void Terminate(bool AWait);
  void DoTerminate();
  void SetPreviewFlags(uint8_t AFlags);
  uint8_t PreviewFlags() const { return FPreviewFlags; }
  // Threads for each decoder, encoder and filter graph of the run (at least
  // 1). Set before the outputs are added: an encoder takes its count when
  // its stream is made. Codecs that cannot use threads keep one.
  void SetThreadCount(int AValue) { FSettings.Run.FThreadCount = AValue > 1 ? AValue : 1; }
  int ThreadCount() const { return FSettings.Run.FThreadCount; }
  // The most threads one codec of the last run was opened with.
  int CodecThreadsUsed() const { return FCodecThreadsUsed; }
  // What the options and setters have set so far.
  const TEngineSettings& Settings() const { return FSettings; }

  // ---- Options and setters (Options.cpp) ----
  void ResetOptions();
  // Throws FFmpegException for a value an option of the engine refuses;
  // false when the name is none of the engine's and the libraries do not
  // know it or refuse the value (the library log says why).
  bool SetOption(const std::string& AName, const std::string& AValue);
  bool OptDefault(const std::string& AName, const std::string& AValue);
  void SetInputFormat(const std::string& AName);
  void SetOutputFormat(const std::string& AName);
  void SetRecordingTimeMs(int AValue);
  void SetRecordingTime(int64_t AValue);
  void SetStartTime(int64_t AValue);
  void SetProgramId(int AValue);
  void SetAudioVolume(int AValue);
  void SetAudioSyncMethod(int AValue);
  void SetVideoSyncMethod(int AValue);
  void SetMuxMaxDelay(float AValue);
  void SetMuxPreload(float AValue);
  void SetFrameSize(const std::string& AValue);
  void SetFrameRate(const std::string& AValue);
  void SetFrameAspectRatio(const std::string& AValue);
  // "keep", "square" or a list of aspects ("4:3,16:9"); raises on a bad text.
  void SetAspectFit(const std::string& AValue);
  void SetCropTop(int AValue);
  void SetCropBottom(int AValue);
  void SetCropLeft(int AValue);
  void SetCropRight(int AValue);
  void SetPadTop(int AValue);
  void SetPadBottom(int AValue);
  void SetPadLeft(int AValue);
  void SetPadRight(int AValue);
  void SetPadColor(int AColor);  // red in bits 0-7, green 8-15, blue 16-23
  void SetAudioChannels(int AValue);
  void SetAudioSampleRate(int AValue);
  void SetVideoCodec(const std::string& AName);
  void SetAudioCodec(const std::string& AName);
  void SetSubtitleCodec(const std::string& AName);
  void SetVideoTag(const std::string& ATag);
  void SetAudioTag(const std::string& ATag);
  void SetSubtitleTag(const std::string& ATag);
  void SetVideoFilters(const std::string& AText);
  void SetAudioLanguage(const std::string& AText);
  void SetSubtitleLanguage(const std::string& AText);
  void SetAudioDisable(bool AValue);
  void SetVideoDisable(bool AValue);
  void SetSubtitleDisable(bool AValue);
  void SetCopyTimestamps(bool AValue);
  void AddMetadata(const std::string& AKey, const std::string& AValue);
  void SetLibraryOption(const std::string& AName, int AValue);  // OptDefault with the decimal text
  void SetHookRanges(const std::vector<THookRange>& ARanges);
  // How much the engine logs: -1 nothing, 0 errors, 1 the usual, 2 and 3 more.
  void SetVerbose(int AValue) { FSettings.Run.FVerbose = AValue; }
  // The creation time written into the next output, seconds since 1970.
  void SetRecordingTimestamp(int64_t ASeconds) { FSettings.Mux.FRecordingTimestamp = ASeconds; }

  // ---- Input opening (InputFile.cpp) ----
  bool OpenInputFile(const std::u16string& AFileName);
  // The codec id for AName among encoders or decoders; an empty name is id 0.
  bool FindCodecId(const std::string& AName, int AMediaType, bool AEncoder, int& ACodecId);

  // ---- Outputs, targets and presets (OutputFile.cpp, Targets.cpp) ----
  // OpenOutputFile: the new FOutputFileCount, or -1 with FLastError.
  int OpenOutputFile(const std::u16string& AFileName, bool AJoin);
  void NewVideoStream(AVFormatContext* AContext);
  void NewAudioStream(AVFormatContext* AContext);
  void NewSubtitleStream(AVFormatContext* AContext);
  int ConfigureFilters(TInputStreamState& AInput, TOutputStreamState& AOutput);
  void SetTarget(const std::string& ATarget, const std::string& ANorm, const std::string& ADefaultNorm);
  void ApplyPreset(const std::string& AKind, const std::string& AValue);
  void SetBitstreamFilter(const std::string& AKind, const std::string& AValue);
  void SetVideoStatistics(bool AOn);

  // ---- What the owner sets before a run ----
  // Events (assigned by the owner before Start).
  TEngineBeforeHookEvent FOnBeforeHook;
  TEngineCustomHookEvent FOnCustomHook;
  TEnginePreviewBitmapEvent FOnPreviewBitmap;
  TEngineProgressEvent FOnProgress;
  TEngineTerminateEvent FOnTerminate;

  // Microseconds between progress reports and between preview frames.
  int64_t FProgressInterval = 500000;
  int64_t FPreviewInterval = 100000;

  // Output files: whether an existing file may be replaced (when not, every
  // output must be a new file).
  bool FOverwrite = true;
  // Outputs written under a temporary name beside them and renamed onto
  // their names when the run ends (runtime/OutputFiles.h).
  bool FWritePartialFiles = false;
  // A temporary name that exists already is this task's reservation (made
  // by an earlier open of the same output, whose engine instance was let
  // go): it is written, not refused. And one made by this instance stays
  // when the instance goes without having written it (it reserves the name
  // for a later run).
  bool FReuseReservations = false;
  bool FKeepReservations = false;

  // ---- What a run leaves to read ----
  const std::string& LastError() const { return FLastError; }
  bool Running() const { return FRunning; }
  bool StopRequested() const { return FStopRequested; }
  bool Finished() const { return FFinished; }
  bool Terminated() const { return FTerminated; }
  bool HasException() const { return FHasException; }
  const std::string& ExceptionMessage() const { return FExceptionMessage; }
  // The worker thread of the run under way, null when none runs.
  TConvertThread* ConvertThread() const { return FConvertThread.load(); }
  // The length of the inputs in milliseconds, -1 while unknown.
  int64_t TotalDuration() const { return FTotalDuration; }
  // Whether the output just opened takes its inputs one after another.
  bool Joined() const { return FJoin; }
  int InputFileCount() const { return FInputFileCount; }
  AVFormatContext* InputFile(int AIndex) const { return FInputFiles[AIndex] ? FInputFiles[AIndex]->Context : nullptr; }
  int OutputFileCount() const { return FOutputFileCount; }
  AVFormatContext* OutputFile(int AIndex) const {
    return FOutputFiles[AIndex] ? FOutputFiles[AIndex]->Context : nullptr;
  }
  // Pictures duplicated and dropped to keep the frame rate, and the bytes of
  // video, audio and everything else written by the last run.
  int FramesDuplicated() const { return FFramesDup; }
  int FramesDropped() const { return FFramesDrop; }
  int64_t VideoBytes() const { return FVideoSize; }
  int64_t AudioBytes() const { return FAudioSize; }
  // The encoder set-up of each stream of an opened output.
  std::span<const TOutputStreamSetup> OutputStreamSetups(int AFile) const { return FOutputFiles[AFile]->Streams; }
  // The library option contexts the options have filled.
  const TOptionContexts& OptionStore() const { return FOptionStore; }

  // ---- The pipeline (engine/pipeline) ----
  // The body of a run; virtual so that a run can be stood in for in tests
  // of the life cycle.
  virtual void Transcode();

  // Steps of a run (engine/pipeline/*.cpp); ARun holds the run tables.
  void TranscodeSetup(TTranscodeRun& ARun);          // Setup.cpp
  void TranscodeLoop(TTranscodeRun& ARun);           // MainLoop.cpp
  void ReleaseTranscodeTables(TTranscodeRun& ARun);  // Setup.cpp
  // Lines up the streams that the outputs take (each input's zero, streams
  // that start apart) and works out how long each output should become.
  void AlignInputTimelines(TTranscodeRun& ARun);  // Setup.cpp
  // What the pictures of AInput need (turned, tone-mapped, deinterlaced),
  // once per input stream, from the stream and the encoders it feeds.
  void PlanPictureCorrections(TTranscodeRun& ARun, TInputStreamState& AInput);  // Setup.cpp
  // The colour tags of an encoder as its pictures will be written.
  void DescribeWrittenColours(const TInputStreamState& AInput, AVCodecContext* AEncoder);  // Setup.cpp
  // Fails the run when an output has grown well past the length of its
  // sources (a clock that runs away must not fill the disk).
  void CheckOutputLengths(TTranscodeRun& ARun);  // MainLoop.cpp
  // Fails the run when an output with picture or sound streams got no
  // packet of either (a stopped run's empty outputs are removed instead).
  void CheckSomethingWritten(TTranscodeRun& ARun);  // MainLoop.cpp
  // Closes a jump of a stream's clock beyond the discontinuity threshold.
  void CloseTimestampJump(AVFormatContext* AInput, TInputStreamState& AStream, AVPacket* APacket);  // MainLoop.cpp
  void DumpOutputs(TTranscodeRun& ARun, int AOnlyFile = -1);                                        // Setup.cpp
  // Decodes (or copies) one packet of AInput and hands the result to every
  // output stream it feeds; without a packet it drains the decoder and
  // flushes those encoders. -1 on a decoding error.
  int DecodeAndDispatchPacket(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket);  // Decode.cpp
  // A decoded picture through its input's corrections (made for its first
  // picture) to every output stream it feeds; nullptr at the end of the
  // input gives back what the corrections hold.
  void CorrectAndDispatchPicture(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* APicture);  // Decode.cpp
  TPictureCorrections* PictureCorrectionsFor(TInputStreamState& AInput, const AVFrame* AFirst);       // Decode.cpp
  // A picture ready for the outputs: the hook stage, then each output stream.
  void DispatchPicture(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* APicture);  // Decode.cpp
  // True for a decoded picture or sound frame before its input's start
  // position; a sound frame that reaches past it loses its samples before it.
  bool BeforeStartPosition(TInputStreamState& AInput, AVFrame* AFrame);  // Decode.cpp
  // Audio path (Audio.cpp): one decoded frame for one encoding output stream.
  void EncodeAudioFrame(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput, AVFrame* AFrame);
  // Encodes what the stream's FIFO still holds and drains the encoder.
  void FlushAudioEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput);
  // The single exit of every output path: bitstream filters, then the
  // interleaved write. The packet's times are in the stream's time base.
  void WriteOutputPacket(AVFormatContext* AContext, TOutputStreamState& AOutput, AVPacket* APacket);
  // Video path (Video.cpp).
  void PrepareVideoFrame(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* AFrame);
  int EncodeVideoFrame(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput, AVFrame* AFrame);
  void FlushVideoEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput);
  // Drains the audio or video encoder of AOutput (others have nothing to drain).
  void FlushEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput);
  void WriteVideoStats(TOutputStreamState& AOutput, int AEncodedSize);
  // The post hooks after an encoded picture: preview bitmap event, preview
  // window (under PreviewLock).
  void DoPostHooks(AVFrame* APicture, AVCodecContext* AEncoder);
  // Quality, picture errors and pass-1 statistics of an encoded video packet.
  void NoteEncodedVideoPacket(TOutputStreamState& AOutput, const AVPacket* APacket);
  // Subtitles and progress (Progress.cpp).
  void EncodeSubtitle(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                      AVSubtitle* ASubtitle, int64_t APacketPts);
  // Raises (or logs) a progress report; false when there was nothing to
  // report yet (no picture encoded).
  bool ReportProgress(TTranscodeRun& ARun, bool AFinal);
  // The first video stream's part of a report ("frame= fps= q=", the qp
  // histogram, PSNR) and its figures; false while it has no picture.
  struct TVideoReport {
    int FrameNumber = -1;
    int Fps = -1;
    float Quality = -1.0f;
  };
  bool AppendFirstVideoStream(struct TReportText& AText, const TOutputStreamState& AOutput, float AQuality, bool AFinal,
                              TVideoReport& AVideo);
  // The last line of a run: bytes of video, audio and headers, the muxing
  // overhead and the codec threads.
  void LogRunSummary(int64_t ATotalSize);
  // (Pts of the output's sync input - FStartTime) in seconds.
  double InputSyncTime(const TOutputStreamState& AOutput) const;
  // The output position of a stream in seconds (video: OutputTicks in the
  // encoder's time base; others: the end of what was written).
  double OutputPosition(const TOutputStreamState& AOutput) const;

 protected:
  // Counters of a run.
  int64_t FTimerStart = 0;  // wall clock at the start of the loop, microseconds
  int FFramesDup = 0;
  int FFramesDrop = 0;
  int64_t FVideoSize = 0;
  int64_t FAudioSize = 0;
  int64_t FExtraSize = 0;
  int FHookFrameNumber = 0;

  // ===================== State =====================
  // The opened inputs, in order, and how many of their streams count
  // against the stream capacity.
  std::unique_ptr<TInputFile> FInputFiles[MAX_FILES];
  int FInputFileCount = 0;
  int FInputCodecCount = 0;
  // The opened outputs, each once, and the output of each slot: join mode
  // repeats its one output in a slot per input. FOutputCodecCount counts
  // the streams of all outputs.
  std::vector<std::unique_ptr<TOutputFile>> FOutputRecords;
  TOutputFile* FOutputFiles[MAX_FILES] = {};
  int FOutputFileCount = 0;
  int FOutputCodecCount = 0;
  TStreamMap FStreamMaps[MAX_STREAM_MAPS];
  int FStreamMapCount = 0;
  TMetaDataMap FMetaDataMaps[MAX_META_DATA_MAPS];
  int FMetaDataMapCount = 0;

  // State that options reach: the filter graph of the video stream being
  // made, the statistics file, the codec threads of the last run and where
  // the hook ranges stand.
  AVFilterGraph* FFilterGraph = nullptr;
  FILE* FVstatsFile = nullptr;
  int FCodecThreadsUsed = 1;
  int FHookRangeIndex = 0;
  int FHookRangeCount = 0;

  // The library option contexts.
  TOptionContexts FOptionStore;

  // Codecs opened by a run, closed by the run or, after a failure, by Run.
  std::list<TOutputStreamState*> FOpenedEncoders;
  std::list<TInputStreamState*> FOpenedDecoders;

  // Worker: the running thread, null when none runs.
  std::atomic<TConvertThread*> FConvertThread{nullptr};

  // Hooks and previews.
  std::unique_ptr<THookState> FHookState;
  THookAction FHookAction = haContinue;
  std::unique_ptr<TPreviewState> FPreviewState;
  uint8_t FPreviewFlags = 0;  // bit 0: preview window, bit 1: preview bitmap event

  // Status.
  bool FJoin = false;
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FStopRequested{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FHasException{false};
  std::string FExceptionMessage;
  std::string FLastError;
  int64_t FTotalDuration = -1;  // milliseconds

  bool FDiscardCreatedOutputs = false;
  // A stopped run that wrote no picture and no sound: its outputs go.
  bool FOutputsEmpty = false;

  // Bytes of the encode output buffer (raised by the set-up for video).
  int FBitBufferSize = 262144;

  // Buffers of the pipeline, allocated once per engine instance.
  std::unique_ptr<TPipelineBuffers> FBuffers;

  // The settings the option table and the setters write (engine/config/Settings.h).
  TEngineSettings FSettings;

  // ---- The pipeline (engine/pipeline): private helpers ----
  // The main loop (MainLoop.cpp). Join mode: AInput, the input being read,
  // if no output of its group has reached its frame limit, else -1; APosition
  // becomes at most the smallest output position of the group.
  int JoinedInputToRead(const TTranscodeRun& ARun, int AInput, double& APosition) const;
  // The input of the output furthest behind (with input sync: of the input
  // stream furthest behind), passing over those with ANoPacket set and those
  // at their end; -1 when none is left or an output has reached its frame
  // limit. APosition becomes the smallest output position seen.
  int InputFurthestBehind(const TTranscodeRun& ARun, const bool ANoPacket[MAX_FILES], double& APosition) const;
  // The recording time is reached at APosition (seconds), or the first
  // output has grown past the file size limit.
  bool OutputLimitReached(double APosition) const;
  // Join mode, at the end of input AInput: drains its decoders and hands
  // its group's counters and waiting audio on to the next group; false
  // after the last input, else the next input's offset follows on.
  bool EndJoinedInput(TTranscodeRun& ARun, int AInput);
  // Drains the decoders of input AInput and resets them for the next one.
  void DrainInputDecoders(TTranscodeRun& ARun, int AInput);
  // Later groups continue the counters of AInput's group; the audio left in
  // its FIFOs goes on with the next group.
  void HandOnToLaterGroups(TTranscodeRun& ARun, int AInput);
  // The furthest output position of input AInput's group, seconds.
  double GroupPosition(const TTranscodeRun& ARun, int AInput) const;
  // A packet read from input AInput: its timestamps corrected, decoded and
  // dispatched (a decoding error logged, or raised with exit on error),
  // released; then the length check and the progress report.
  void ProcessReadPacket(TTranscodeRun& ARun, int AInput, AVPacket* APacket);
  // Moves a packet of AStream (of input AInput) onto the run's time line.
  void CorrectPacketTimestamps(int AInput, TInputStreamState& AStream, AVPacket* APacket);
  // A progress report at the configured cadence, or at the first packet
  // written.
  void ReportProgressWhenDue(TTranscodeRun& ARun);
  // Drains every decoder not drained yet and the encoders they feed (join
  // mode: the encoders shared by the groups, into the last group).
  void DrainRemainingDecoders(TTranscodeRun& ARun);
  // Writes the trailer of every output (join mode: of the one output).
  void WriteTrailers();
  // Decoding (Decode.cpp). A subtitle packet decoded and handed to the
  // outputs it feeds; -1 on a decoding error.
  int DecodeSubtitlePacket(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket);
  // Sends APacket (nullptr: drains) to AInput's sound or picture decoder and
  // hands on every frame it gives; -1 on a decoding error.
  int DecodeFrames(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket);
  // A decoded sound frame, its volume applied, to every output it feeds.
  void DispatchSound(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* AFrame);
  // Stream copy: the packet to every output stream that copies AInput.
  void CopyPacket(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket);
  void WriteCopiedPacket(TOutputStreamState& AOutput, const TInputStreamState& AInput, const AVPacket* APacket);
  // Drains the encoders AInput feeds at the end of its input.
  void FlushEncodersOf(TTranscodeRun& ARun, const TInputStreamState& AInput);
  // The video path (Video.cpp). Which pictures the hooks see: the before
  // hook's answer, or the hook ranges around APts.
  void DecideHookAction(int64_t APts);
  // The custom hook on APicture through its bitmap; a failure stops hooking.
  void RunCustomHook(AVFrame* APicture, int64_t APts);
  // How often a picture is encoded to keep the output at the time of its
  // sync input: 0 drops it, more repeat it; the output's clock may move on.
  int SyncedPictureCount(const TTranscodeRun& ARun, TOutputStreamState& AOutput);
  // The pictures that fill a gap of AGap ticks, or 1 when the gap is left
  // open (the output's clock moves on to ASyncPosition).
  int PicturesForGap(const TTranscodeRun& ARun, TOutputStreamState& AOutput, double AGap, double ASyncPosition);
  // Counts (and at verbosity 3 logs) a dropped or repeated picture.
  void CountDroppedAndRepeated(int ACount);
  // ACount within the frame limit and the recording time.
  int LimitedPictureCount(const TOutputStreamState& AOutput, int ACount) const;
  // A view of AFrame without the crop bands; nullptr when they do not fit
  // (logged, or raised with exit on error).
  AVFrame* CroppedPicture(const TOutputStreamState& AOutput, const AVFrame* AFrame);
  // APicture scaled or padded into the output's picture of the encoder's
  // size (a new scaler when AFrame's size or format changed); nullptr when
  // the pad area cannot be had.
  AVFrame* ScaledAndPadded(TOutputStreamState& AOutput, const TInputStreamState& AInput, const AVFrame* AFrame,
                           AVFrame* APicture);
  // The pad colour over AScaled and the planes of the area inside the pads
  // (all of AScaled without pads); false when there is none.
  bool PaddedArea(const TOutputStreamState& AOutput, AVFrame* AScaled, uint8_t* ATarget[4], int ALineSize[4]);
  // A scaler for AFrame's size and format (APicture, its cropped view, is
  // cropped again with the bands of the new size).
  void RenewScaler(TOutputStreamState& AOutput, const TInputStreamState& AInput, const AVFrame* AFrame,
                   AVFrame* APicture);
  // Encodes APicture ACount times (duplicates: the same picture) and writes
  // the packets; the size of the last one, 0 when none came.
  int EncodePicture(TOutputStreamState& AOutput, const TInputStreamState& AInput, const AVFrame* AFrame,
                    const AVFrame* APicture, int ACount);
  // Time, interlacing, quality and aspect of a picture for the encoder
  // (AFrame: the decoded picture it came from).
  void SetPictureForEncoder(AVFrame* APicture, const TOutputStreamState& AOutput, const TInputStreamState& AInput,
                            const AVFrame* AFrame) const;
  // Writes the packets the encoder has ready; the size of the last one, -1
  // when there was none.
  int WriteVideoPackets(TOutputStreamState& AOutput);

  // ---- Outputs (OutputFile.cpp): private helpers ----
  // The output slot of AContext: the first slot that holds it (join mode
  // repeats one context), or the slot an output still being opened takes.
  int OutputFileIndex(const AVFormatContext* AContext) const;
  // The media types of the inputs an output draws from (the first input
  // only with AJoin); raises "invalid codec_type of input file".
  void CheckInputMedia(bool AJoin, bool& AHasVideo, bool& AHasAudio, bool& AHasSubtitle) const;
  // What an output being opened (OpenOutputFile) has created so far: what
  // its failure takes back.
  struct TOutputOpening {
    int Slot = 0;                         // the output slot it takes
    int CodecCountBefore = 0;             // FOutputCodecCount before its streams
    std::unique_ptr<TOutputFile> Output;  // until it is opened: then FOutputRecords owns it
    bool Recorded = false;                // FOutputFileCount counts its slot
    bool IoOpened = false;                // OpenOutputIO succeeded
    bool FileExisted = false;             // the file was there before this open
    std::u16string WrittenName;           // the name written to: the output's name or its temporary name
  };
  // Takes back what AOpen created (the streams' encoder contexts and
  // bitstream filters, the slot, the output codec entries, a file this open
  // created) and sets FLastError to AText; -1.
  int FailOutputOpen(TOutputOpening& AOpen, const std::string& AText);
  // Adds the video, audio and subtitle streams that AContext (of AFormat)
  // gets; the error text when one cannot be added, empty when all were.
  std::string AddOutputStreams(AVFormatContext* AContext, const AVOutputFormat* AFormat, bool AJoin);
  // Sets the recording timestamp and the metadata (FMetadata, emptied) on
  // the output.
  void ApplyOutputMetadata(AVFormatContext* AContext);
  // Sets the muxer's delay, preload, loop count, flags, stored options and
  // private options on the output.
  void ApplyMuxSettings(AVFormatContext* AContext, const AVOutputFormat* AFormat);
  // Creates or opens the output's file (under its temporary name when asked
  // for) and records it in AOpen; the error text on failure, else empty.
  std::string OpenOutputTarget(TOutputOpening& AOpen, const std::u16string& AFileName, const std::string& ALibraryName,
                               const std::string& AShownName);
  // Join mode: one more slot per further input, all holding the output just
  // opened, and the total duration of the inputs.
  void RecordJoinedOutputs();
  // The log line of a picture fitted into its frame (bars, or square pixels).
  void LogFrameFit(int AFile, int AStream, const AVCodec* AEncoder, double APictureAspect,
                   const struct TFrameFit& AFit);
  // The global and local header flags of a new video stream's encoder (and
  // of the stored video options, AStored, when there are any).
  void SetVideoHeaderFlags(const AVFormatContext* AContext, AVCodecContext* ACodec, AVCodecContext* AStored);
  // The frame of an encoded video stream: its size with the pads and the
  // bars of an aspect fit, its pixel format and its sample aspect ratio.
  void SetVideoFrame(int AFile, AVStream* AStream, TOutputStreamSetup& ASetup, const AVCodec* AEncoder);
  // The group size, fixed quality, matrices, rate-control overrides, buffer
  // occupancy and pass flags of an encoded video stream.
  void SetVideoRateControl(AVCodecContext* ACodec, const std::vector<struct RcOverride>& AOverrides);
  // The stored options, quality, channel layout and sample format of an
  // encoded audio stream; the engine's own AMR-NB encoder sets its rate.
  void SetAudioEncoding(TOutputStreamSetup& ASetup, const AVCodec* AEncoder, int ACodecId, bool AOwnAmrNb,
                        AVCodecContext* AStored, int& ASampleRate);
  // Fits the rate and the channels of an encoded audio stream to what its
  // encoder takes, with a log line for each change.
  void FitAudioToEncoder(int AFile, int AStream, const AVCodec* AEncoder, AVCodecContext* ACodec, int ASourceRate);
  // A new FFilterGraph with the run's thread count, the graph before it set
  // aside in FEarlierFilterGraphs; nullptr when it cannot be allocated.
  AVFilterGraph* NewFilterGraph();
  // Graphs of the other video streams of the same run: every input stream
  // feeds the filters of its own graph, so they live until the next run
  // builds its first graph, or until the engine instance is destroyed.
  std::vector<std::unique_ptr<AVFilterGraph, void (*)(AVFilterGraph*)>> FEarlierFilterGraphs;

  // ---- Targets and presets (Targets.cpp): private helpers ----
  // The options of the libraries in use that stand for one option of the
  // old library generation the presets are written in (retired names and
  // flags; one old option may become several). Any other option comes back
  // as it is.
  static std::vector<std::pair<std::string, std::string>> TranslateOldOption(const std::string& AName,
                                                                             const std::string& AValue);
  // OptDefault for each option TranslateOldOption gives; false at the first
  // one refused.
  bool OptDefaultOld(const std::string& AName, const std::string& AValue);

  // ---- Options (Options.cpp): private helpers ----
  // One named option of SetOption and what it does (Options.cpp).
  struct TOptionEntry {
    const char* Name;
    void (*Action)(TCustomFFmpeg& E, const std::string& AName, const std::string& AValue);
  };
  static const TOptionEntry kOptionTable[];
  void DoNothing(const std::string& AName);
  // The library's time parser as a duration or a date; raises on a bad text.
  int64_t ParseTime(const std::string& AName, const std::string& AValue, bool ADuration);
  void SetFormat(const std::string& AName, bool AInput, bool AOutput);
  void SetBitRate(const std::string& AName, const std::string& AValue);
  void AddStreamMap(const std::string& AValue);
  void AddMetaDataMap(const std::string& AValue);
  void SetTsScale(const std::string& AValue);
  void SetPixelFormat(const std::string& AValue);
  void SetSampleFormat(const std::string& AValue);
  void SetCodecName(std::string& AField, int& AStreamCopy, const std::string& AName);
  void SetCodecTag(uint32_t& AField, const char* AKind, const std::string& ATag);
  void SetMatrix(std::unique_ptr<std::array<uint16_t, 64>>& AMatrix, const std::string& AValue);
  void AddVideoHook(const std::string& AValue);
  void NewStream(void (TCustomFFmpeg::*ANew)(AVFormatContext*));
  void SetTargetOption(const std::string& AValue);
  // "pal-dvd" is target "dvd" for norm "pal"; without a norm prefix the
  // norm is "auto".
  static void SplitTargetText(const std::string& AText, std::string& ATarget, std::string& ANorm);
  // A name that no generic option context knows, looked up in the private
  // classes of the muxers and encoders; found ones go to FPrivateOptions.
  bool GenericOptionKnown(const std::string& AName) const;
  bool AddPrivateOption(const std::string& AName, const std::string& AValue);
  // The words of each "vhook" text: the modules may keep pointers to them.
  std::list<std::vector<std::string>> FHookArguments;

  // ---- Input opening (InputFile.cpp): private helpers ----
  // The format parameters of the next input as open options (only demuxers
  // that declare an option of that name take it). The caller frees it.
  AVDictionary* InputFormatParameters() const;
  // The codecs the options force on the next input, set on its context;
  // false when a named codec is unknown.
  bool SetForcedDecoders(AVFormatContext* AContext);
  // Reads the stream information of the opened input; false (FLastError
  // set) when that failed and counts.
  bool ReadStreamInfo(AVFormatContext* AContext, const std::string& AShownName);
  // The chosen program and the input loop, on the opened input.
  void ApplyProgramAndLoop(AVFormatContext* AContext);
  // What the next outputs take from one stream of the opened input; the
  // decoder named for it, null for none.
  const AVCodec* RecordInputStream(AVStream* AStream, int AIndex);
  // The opened input's streams (RecordInputStream, their decoders), time
  // offset, timestamp scales and timing; the total duration.
  void RecordInputFile(TInputFile& AInput, int64_t AZero, int64_t ATimestamp, int64_t AStartPosition);
  // Forgets the settings that hold for one input only (after every open).
  void ClearInputFileSettings();

  friend struct TAudioPathAccess;  // engine/pipeline/Audio.cpp

 private:
  // ---- Life cycle (Engine.cpp): private helpers ----
  // Closes every output: its file (removed when it stayed empty, or after a
  // failed run when this engine created it), its encoder contexts, its
  // bitstream filters and its context.
  void CloseOutputs();
  // Frees what the settings hold beyond plain values (matrices, the
  // statistics file, bitstream chains) and clears the names and tags that
  // hold for one file.
  void ReleaseAllocatedSettings();
  void CloseOpenedCodecs();
  // Renames the outputs written under temporary names onto their names;
  // a name taken in the meantime fails the run.
  void PublishOutputs();
  // Helper threads started without waiting; joined when they have ended and
  // at the latest by the destructor.
  void KeepHelper(std::unique_ptr<TEngineThread> AThread);
  void ReapHelpers(bool AWaitAll);
  std::atomic<bool> FTerminateRequested{false};  // a Terminate of a never-started instance is under way
  std::mutex FHelpersLock;
  std::vector<std::unique_ptr<TEngineThread>> FHelpers;
  std::unique_ptr<TConvertThread> FWorker;  // owns the worker thread object

  // ---- The set-up of a run (Setup.cpp): its steps ----
  // DumpOutputs, logs AText as an error and fails the run with it.
  [[noreturn]] void FailSetup(TTranscodeRun& ARun, const std::string& AText);
  // A record per input file and per input stream, each stream with a
  // decoder context of the run (opened only when an output needs its
  // decoded data).
  void BuildInputTables(TTranscodeRun& ARun);
  // Every output has a stream, and a stream map has one entry per output
  // stream, each naming streams that exist.
  void CheckOutputsAndStreamMaps(TTranscodeRun& ARun);
  // A record per output stream, each given its source and sync input.
  void MapOutputStreams(TTranscodeRun& ARun);
  // The source of AOutput as the stream map names it.
  void MapToStreamMapEntry(TTranscodeRun& ARun, TOutputStreamState& AOutput, const TStreamMap& AMap);
  // The source of AOutput without a stream map: by program, else by type.
  void MapToDefaultSource(TTranscodeRun& ARun, TOutputStreamState& AOutput);
  // The first usable stream of type AType in the chosen program; -1 none.
  int FindProgramStream(const TTranscodeRun& ARun, int AType, int AOnlyFile) const;
  // Output stream AIndex of the table: a stream copy, or an encoding with
  // what it needs (scaler, filters, two-pass statistics).
  void PrepareOutputStream(TTranscodeRun& ARun, size_t AIndex);
  void PrepareStreamCopy(TOutputStreamState& AOutput, const TInputStreamState& AInput);
  void PrepareEncoding(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                       const TOutputStreamSetup& ASetup);
  void PrepareVideoEncoding(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                            const TOutputStreamSetup& ASetup);
  // The log line of a source whose pixel format the encoder does not take.
  void LogPictureFormatChange(const TOutputStreamState& AOutput, int AFormat);
  // The scaled picture, the scaler and the sizes it expects, for source
  // pictures of AWidth x AHeight in AFormat.
  void PrepareVideoScaling(TOutputStreamState& AOutput, const TOutputStreamSetup& ASetup, int AWidth, int AHeight,
                           int AFormat);
  // Pass 1: the statistics file to write; pass 2: the statistics read.
  void PreparePassLog(TOutputStreamState& AOutput, size_t AIndex);
  void OpenEncoders(TTranscodeRun& ARun);
  void OpenAmrNbEncoder(TOutputStreamState& AOutput);
  void OpenEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput);
  // The encoder named for the stream, else the default one of its codec.
  const AVCodec* ChosenEncoder(const TOutputStreamState& AOutput) const;
  void OpenDecoder(TTranscodeRun& ARun, TInputStreamState& AInput);
  void CopyMetadataMaps(TTranscodeRun& ARun);
  // The headers of the outputs, and the session description of RTP ones.
  void WriteOutputHeaders(TTranscodeRun& ARun);
};

// The aspects of a list "W:H,W:H,..." as ratios; empty for a bad text.
std::vector<double> ParseAspectList(const std::string& AText);

// Held around preview-flag changes and the post hooks of every engine instance.
std::recursive_mutex& PreviewLock();

// The libraries an engine instance needs.
bool EngineLibrariesLoaded();
