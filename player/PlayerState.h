#pragma once
// The player's per-file playback state and its threads (internal to the
// player). One TPlayback exists from a successful open until the close; the
// player and its threads share it through a shared_ptr, so that a caller
// that raced with the close still touches live memory.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "player/FFPlay.h"
#include "probe/PictureTurn.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/FrameBitmap.h"
#include "runtime/Threads.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SDL.h"
#include "runtime/lib/SwResample.h"
#include "runtime/lib/SwScale.h"

// The flush packet: queued after a seek, it tells the consumer to flush its
// decoder. Its data is the marker text; it is never duplicated or freed.
AVPacket* FlushPacket();
bool IsFlushPacket(const AVPacket* APacket);

// A packet queue of one stream kind. Put takes ownership of the packet (the
// flush packet excepted); Get hands it over to the caller.
class TPacketQueue {
 public:
  TPacketQueue() = default;
  TPacketQueue(const TPacketQueue&) = delete;
  TPacketQueue& operator=(const TPacketQueue&) = delete;
  ~TPacketQueue() { End(); }

  void Init();   // empty, not aborted
  void Flush();  // frees every packet
  void End() { Flush(); }
  int Put(AVPacket* APacket);  // 0, or -1 when aborted (the packet is freed)
  void Abort();
  // -1 once aborted, 1 with the head packet removed into APacket, 0 when
  // empty and not blocking.
  int Get(AVPacket*& APacket, bool ABlock);

  bool Aborted() const { return FAbort; }
  int Count() const;
  int Size() const;  // data bytes plus 72 per packet

 private:
  mutable std::mutex FLock;
  std::condition_variable FCond;
  std::deque<AVPacket*> FPackets;
  int FCount = 0;
  int FSize = 0;
  std::atomic<bool> FAbort{false};
};

// The one slot of the picture queue: the decoded picture in the overlay's
// planar layout, written by the video decoder thread and uploaded into the
// overlay texture by the play thread.
struct TPicture {
  double PTS = 0;
  SDL_Texture* Overlay = nullptr;  // play thread only
  uint8_t* Data[4] = {};
  int LineSize[4] = {};
  int Width = 0, Height = 0;
  AVRational SampleAspect{0, 1};  // the decoder's, of this picture
  bool Allocated = false;
  int RequestWidth = 0, RequestHeight = 0;  // the size the decoder thread asks for
};

// The player's own SDL event types (user events).
enum TPlayerEvent : uint32_t { peAllocate, peRefresh, peQuit, peAspect, pePlayerEventCount };
uint32_t PlayerEventType(TPlayerEvent AEvent);
// Posts one of the player's events for the playback APlaybackId.
void PostPlayerEvent(TPlayerEvent AEvent, uint32_t APlaybackId);

// SDL's subsystems of the player (timer, audio, video), counted per open.
bool InitSDL(std::string& AError);
void QuitSDL();

// Marks the calling thread as belonging to APlayer (its waits for the
// player's own threads would never end).
void MarkPlayerThread(const TCustomPlayer* APlayer);

constexpr int kSampleArraySize = 131072;
constexpr int kAudioBufferHalf = 288000;

class TPlayback {
 public:
  explicit TPlayback(TCustomPlayer* APlayer);
  TPlayback(const TPlayback&) = delete;
  TPlayback& operator=(const TPlayback&) = delete;
  ~TPlayback();

  TCustomPlayer* const Player;
  const uint32_t Id;  // tags the SDL events of this playback

  // Open: 0 pending, 1 running, -1 failed (cleaning up), -2 failed (cleaned up).
  std::atomic<int> OpenState{0};
  std::string OpenError;  // the reason of a failed open (written before OpenState leaves 0)
  std::u16string FileName;
  std::string ShownName;  // the file name in the locale's character set, for messages
  // The options of this open.
  bool DisableAudio = false, DisableVideo = false, DisableDisplay = false;
  int FrameWidth = 0, FrameHeight = 0;

  int64_t StartTime = 0;  // microseconds, 0 when unknown
  int64_t Duration = -1;  // microseconds, -1 when unknown
  bool ImageSequence = false, CaptureDevice = false;
  bool EndOfFileReported = false;  // decode thread
  std::atomic<bool> EndOfFile{false};
  std::atomic<bool> ReadInProgress{false};

  TThread DecodeThread, VideoThread;
  std::atomic<bool> AbortRequest{false};
  std::atomic<bool> Paused{false};
  bool LastPaused = false;  // decode thread
  // Reading starts once the owner has been told about the file (its probe
  // reads the container meanwhile).
  std::atomic<bool> ReadAllowed{false};
  std::atomic<bool> PlayThreadStarted{false};
  std::atomic<bool> PlayThreadEnded{false};

  std::mutex SeekLock;
  std::atomic<bool> SeekPending{false};
  int64_t SeekTarget = 0, SeekRel = 0;
  int SeekFlags = 0;

  AVFormatContext* Input = nullptr;
  std::atomic<int> AudioIndex{-1}, VideoIndex{-1}, SubtitleIndex{-1};
  AVStream* AudioStream = nullptr;
  AVStream* VideoStream = nullptr;
  AVCodecContext* AudioCodec = nullptr;
  AVCodecContext* VideoCodec = nullptr;
  TPacketQueue AudioQueue, VideoQueue;

  // Audio (SDL's audio thread once the device runs).
  SDL_AudioDeviceID AudioDevice = 0;
  int AudioChannels = 0, AudioRate = 0;
  AVChannelLayout AudioLayout{};
  double AudioClock = 0;
  std::vector<uint8_t> AudioBuffer;
  int BufSize = 0, BufIndex = 0;
  int HwBufSize = 0;
  AVFrame* AudioFrame = nullptr;
  bool AudioPacketPending = false;  // the decoder holds a packet not yet fully decoded
  SwrContext* Converter = nullptr;
  int ConverterFormat = -1, ConverterRate = 0;
  AVChannelLayout ConverterLayout{};
  bool ConverterFailed = false;
  int64_t AudioStartTime = -1;
  // What the other threads read of the audio state, published by each callback.
  std::atomic<double> AudioClockNow{0};
  std::atomic<int> AudioPendingBytes{0};
  std::atomic<int64_t> AudioCallbackTime{0};

  // Video clock and picture timing: the refresh step (play thread) and
  // TogglePause (caller) share them under ClockLock.
  mutable std::mutex ClockLock;
  TFrameTiming Timing;
  double CurrentPTS = 0;                 // seconds
  int64_t CurrentPTSTime = 0;            // wall time, microseconds
  double VideoClock = 0;                 // video decoder thread: stamp of the next picture
  double FrameDuration = 0;              // nominal, seconds
  bool VideoDraining = false;            // video decoder thread
  SwsContext* ImageConverter = nullptr;  // video decoder thread
  TFrameBitmap HookBitmap;               // video decoder thread

  std::mutex PictLock;
  std::condition_variable PictCond;
  TPicture Pict;
  int PictQSize = 0, PictRIndex = 0, PictWIndex = 0;

  // Display (play thread).
  SDL_Window* Window = nullptr;
  SDL_Renderer* Renderer = nullptr;
  bool ForeignWindow = false;
  uintptr_t WindowHandle = 0;
  int Width = 0, Height = 0, Left = 0, Top = 0;
  AVRational ShownAspect{0, 1};  // the decoder's sample aspect ratio of the picture on screen
  TPictureTurn Turn;             // how the video's pictures are turned to be shown upright
  mutable std::mutex RectLock;
  TDisplayRect LastRect;

  // Waveform.
  std::atomic<bool> ShowAudio{false};
  std::mutex WaveLock;
  std::vector<int16_t> SampleArray;
  int SampleArrayIndex = 0;
  int LastIStart = 0;

  // Position reporting (play thread).
  bool PositionReported = false;
  int64_t LastPosition = 0;

  // ---- Decode thread (FFPlay.cpp) ----
  void DecodeThreadBody();
  // Opens the file into Input; false with OpenError set.
  bool OpenInput();
  // Reads the streams' parameters, the start time and the duration; false with OpenError set.
  bool ReadStreamInfo();
  // Opens the first audio and the first video stream; false with OpenError set when neither opens.
  bool OpenStreams();
  // Reads packets into the queues until the abort or an I/O error.
  void ReadPackets();
  // Pauses or resumes the reading of the input to match Paused (network inputs stop their transfer).
  void FollowPause();
  // Takes up the pending seek: seeks the input, flushes the queues and clears the end of the file.
  void PerformSeek();
  // Reports a failed read once and notes the end of the file; false when an I/O error ends the reading.
  bool HandleReadFailure(int AResult);
  // Moves a read packet into its stream's queue (packets of other streams are dropped); APacket is left empty.
  void RoutePacket(AVPacket* APacket);
  // Closes the stream components and the input; a failed open is marked cleaned up.
  void CloseInput();

  // ---- Output and clock (PlayerOutput.cpp) ----
  int OpenStreamComponent(int AIndex);
  // Finds, sets up and opens the decoder of AStream; nullptr (logged) when that fails.
  AVCodecContext* OpenDecoder(const AVStream* AStream);
  // Starts playing stream AIndex through AContext on the audio device; -1 (AContext freed) when the device fails.
  int StartAudio(int AIndex, AVCodecContext* AContext);
  // Starts the video decoder thread on stream AIndex with AContext; -1 (AContext freed) when the thread fails.
  int StartVideo(int AIndex, AVCodecContext* AContext);
  void CloseStreamComponent(int AIndex);
  static void SDLCALL AudioCallback(void* AOpaque, Uint8* AStream, int ALength);
  int AudioDecodeFrame();
  int ConvertAudioFrame();
  void UpdateSampleDisplay(const int16_t* ASamples, int ASize);
  void VideoThreadBody();
  int QueuePicture(AVFrame* AFrame, double APTS);
  void AllocatePicture();
  void SetVideoMode();
  void WindowResized(int AWidth, int AHeight);
  void RefreshStep();
  void Display();
  void DisplayPicture();
  void DisplayWaveform();
  void ReportPosition();
  void DestroyDisplay();
  void ScheduleRefresh(int ADelayMs);

  double AudioClockValue() const { return AudioClockNow; }
  double VideoClockValue() const;
  double MasterClock() const { return AudioStream ? AudioClockValue() : VideoClockValue(); }

  void Log(TLogLevel ALevel, const std::string& AText) const;
};

// The play thread: raises psPlay, runs the SDL event loop until the quit
// event, closes the playback and raises psStop.
class TPlayThread {
 public:
  void Start(TCustomPlayer* APlayer, const std::shared_ptr<TPlayback>& APlayback);
  void WaitFor() { FThread.WaitFor(); }

 private:
  void Execute(TCustomPlayer* APlayer, const std::shared_ptr<TPlayback>& APlayback);
  TThread FThread;
};

// Posts the quit event again every 200 ms until the play thread has ended
// (an event that got lost in a full queue does not leave Stop waiting).
class TStopThread {
 public:
  explicit TStopThread(const std::shared_ptr<TPlayback>& APlayback);
  void WaitFor() { FThread.WaitFor(); }

 private:
  TThread FThread;
};

// Waits (10 ms polls, at most 101, at most 20 while a read is in progress)
// until a pending seek has been taken up by the decode thread.
class TPauseThread {
 public:
  explicit TPauseThread(const std::shared_ptr<TPlayback>& APlayback);
  void WaitFor() { FThread.WaitFor(); }

 private:
  TThread FThread;
};
