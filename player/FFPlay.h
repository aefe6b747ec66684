#pragma once
// The preview player: plays one media file at a time into a window of its
// owner, with its own demux, decode and display threads, SDL audio and a
// refresh timer. Audio is the master clock; the video is timed against it.
//
// Threads: the caller's (GUI) thread; the play thread (SDL event loop,
// refresh step, picture allocation and display); the decode thread (reads
// packets); the video decoder thread; SDL's audio thread (the audio
// callback) and SDL's timer thread. Every thread is joined before the
// playback it belongs to is freed.
//
// Events: OnFileOpen and OnPosition arrive on the main thread (through the
// hand-over of runtime/Threads.h); OnState on the thread that changes the
// state (the play thread or the caller); OnHook on the video decoder thread.
// Events are assigned while nothing plays. The main thread never waits for
// the player without serving the hand-over queue (Stop and Open do serve
// it), so handlers may not block waiting for the main thread either.
//
// SDL has one event queue per process: one player plays at a time in a
// process. Player lifetimes may follow one another freely.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

#include "probe/AVProbe.h"
#include "runtime/Hooks.h"
#include "runtime/Object.h"
#include "runtime/Threads.h"

enum TPlayState : uint8_t { psPlay, psPause, psResume, psStep, psStop, psEnd };

// Mixing volume, 0 (silence) .. 128 (unchanged).
using TAudioVolume = int;
constexpr TAudioVolume kMaxAudioVolume = 128;

// ADuration in microseconds (-1 unknown, 0 for image sequences); the frame
// size is -1 x -1 without video. The handler may set the output size.
using TFileOpenEvent = std::function<void(TObject* Sender, int64_t ADuration, int AFrameWidth, int AFrameHeight,
                                          int& AScreenWidth, int& AScreenHeight)>;
// APTS: microseconds from the file's start.
using THookEvent = std::function<void(TObject* Sender, TBitmap& ABitmap, int64_t APTS)>;
using TPositionEvent = std::function<void(TObject* Sender, int64_t APTS)>;
using TPlayStateEvent = std::function<void(TObject* Sender, TPlayState AState)>;

// ---- Display geometry and picture timing (pure functions) ----

struct TDisplayRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

// The rectangle a picture of AVideoWidth x AVideoHeight is shown in, centred
// in a display of ADisplayWidth x ADisplayHeight. AAspectRatio > 0 forces
// that display aspect; 0 uses the video's own (its sample aspect ratio: the
// stream's when set, else the decoder's, 1 when not positive, times width /
// height); < 0 fills the display. Width and height are even.
TDisplayRect CalculateDisplayRect(float AAspectRatio, int AVideoWidth, int AVideoHeight, AVRational AStreamAspect,
                                  AVRational ACodecAspect, int ADisplayWidth, int ADisplayHeight);

// The rectangle a picture shown in AShown is drawn into before SDL turns it
// (about its middle): for a quarter turn, AShown with its sides swapped.
TDisplayRect TextureRectBeforeTurn(const TDisplayRect& AShown, const struct TPictureTurn& ATurn);

// The picture clock of the refresh step (seconds).
struct TFrameTiming {
  double FrameTimer = 0;    // wall time at which the next picture is due
  double LastPTS = 0;       // time stamp of the previous picture
  double LastDelay = 0.04;  // the previous nominal frame delay
};

// The delay a picture with time stamp APTS is shown for: the step from the
// previous stamp (the previous delay when that is not in (0, 2)), set to 0
// when the picture is late against the master clock by at least that delay
// (at least 10 ms), doubled when it is early by as much; pictures 10 s or
// more away from the clock keep the nominal delay. Only with an audio
// master (AAudioMaster). Updates LastPTS and LastDelay.
double TargetFrameDelay(TFrameTiming& ATiming, double APTS, bool AAudioMaster, double AMasterClock);
// Advances the frame timer by TargetFrameDelay and returns the time from
// ANow until the picture is due, at least 10 ms.
double NextRefreshDelay(TFrameTiming& ATiming, double APTS, bool AAudioMaster, double AMasterClock, double ANow);

// ---- The player ----

class TPlayback;
class TPlayThread;

class TCustomPlayer : public TObject {
 public:
  TCustomPlayer();
  ~TCustomPlayer() override;

  // The loader reports the player's libraries (FFmpeg, swresample, SDL) loaded.
  bool AVLibLoaded() const;
  // Sets the loader's folder and loads the player's libraries; false with
  // the loader's error text in LastErrMsg.
  bool LoadAVLib(const std::u16string& APath);

  // Stops what plays and starts playing AFileName into the X11 window
  // AWindow (0: none; the player then renders into a hidden window of its
  // own, or with SDL's dummy video driver when there is no display). False
  // with the reason in LastErrMsg.
  bool Open(const std::u16string& AFileName, uintptr_t AWindow);
  // Ends playback; with AWait returns only once it has ended (psStop has
  // been raised and every thread of the playback is joined). Called on a
  // thread of the player itself (an OnState or OnHook handler) it does not
  // wait.
  void Stop(bool AWait);
  void TogglePause();
  // Requests a seek to APosition (microseconds from the file's start),
  // clamped to the duration when that is known. Ignored while another seek
  // is still pending.
  void Seek(int64_t APosition);

  // Index of the playing stream, -1 if none or not playing.
  int VideoStreamIndex() const;
  int AudioStreamIndex() const;
  bool Playing() const;
  bool Paused() const;
  // The audio waveform is drawn (a file without video, display enabled).
  bool WaveformShown() const;
  // The rectangle of the picture last drawn (empty before the first one).
  TDisplayRect PictureRect() const;

  std::string LastErrMsg() const;
  // The probe attached to the playing file's input (nothing attached when
  // nothing plays). Main thread only.
  TAVProbe& Probe() { return FProbe; }
  std::u16string FileName() const { return FFileName; }

  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string& AValue) { FAbout = AValue; }
  std::string Version() const { return "1.3"; }

  TFileOpenEvent OnFileOpen;
  THookEvent OnHook;
  TPositionEvent OnPosition;
  TPlayStateEvent OnState;

 protected:
  float AspectRatio() const { return FAspectRatio; }
  void SetAspectRatio(float AValue);
  TAudioVolume AudioVolume() const { return FAudioVolume; }
  void SetAudioVolume(TAudioVolume AValue);
  bool DisableAudio() const { return FDisableAudio; }
  void SetDisableAudio(bool AValue) { FDisableAudio = AValue; }
  bool DisableVideo() const { return FDisableVideo; }
  void SetDisableVideo(bool AValue) { FDisableVideo = AValue; }
  bool DisableDisplay() const { return FDisableDisplay; }
  void SetDisableDisplay(bool AValue) { FDisableDisplay = AValue; }
  bool Mute() const { return FMute; }
  void SetMute(bool AValue) { FMute = AValue; }
  int FrameWidth() const { return FFrameWidth; }
  void SetFrameWidth(int AValue) { FFrameWidth = AValue; }
  int FrameHeight() const { return FFrameHeight; }
  void SetFrameHeight(int AValue) { FFrameHeight = AValue; }
  bool Hook() const { return FHook; }
  void SetHook(bool AValue) { FHook = AValue; }
  // The output size. Set while playing it sets the video mode again: the
  // owner of an embedding window tells the player its new size this way.
  int ScreenWidth() const { return FScreenWidth; }
  void SetScreenWidth(int AValue);
  int ScreenHeight() const { return FScreenHeight; }
  void SetScreenHeight(int AValue);
  // Bits of the seek flags handed to the library's seek call.
  bool SeekBackware() const { return SeekFlag(1); }
  void SetSeekBackware(bool AValue) { SetSeekFlag(1, AValue); }
  bool SeekByByte() const { return SeekFlag(2); }
  void SetSeekByByte(bool AValue) { SetSeekFlag(2, AValue); }
  bool SeekToAny() const { return SeekFlag(4); }
  void SetSeekToAny(bool AValue) { SetSeekFlag(4, AValue); }
  bool SeekByFrame() const { return SeekFlag(8); }
  void SetSeekByFrame(bool AValue) { SetSeekFlag(8, AValue); }

  void DoState(TPlayState AState);

 private:
  friend class TPlayback;
  friend class TPlayThread;

  bool SeekFlag(int ABit) const { return (FSeekFlags & ABit) != 0; }
  void SetSeekFlag(int ABit, bool AValue);
  void Error(const std::string& AText);
  void SetLastErrMsg(const std::string& AText);
  std::shared_ptr<TPlayback> Playback() const;
  std::shared_ptr<TPlayback> OpenStream(const std::u16string& AFileName, bool ADisableVideo);
  void NotifyFileOpen(TPlayback& APlayback);
  void ClosePlayback(const std::shared_ptr<TPlayback>& APlayback);
  bool OnPlayerThread() const;

  std::string FAbout;
  std::atomic<float> FAspectRatio{0};
  std::atomic<int> FAudioVolume{kMaxAudioVolume};
  std::atomic<bool> FDisableAudio{false}, FDisableVideo{false}, FDisableDisplay{false};
  std::atomic<bool> FMute{false}, FHook{false};
  std::atomic<int> FFrameWidth{0}, FFrameHeight{0};
  std::atomic<int> FScreenWidth{0}, FScreenHeight{0};
  std::atomic<int> FSeekFlags{4};
  int FDesktopWidth = 0, FDesktopHeight = 0;

  mutable std::mutex FErrLock;
  std::string FLastErrMsg;
  TAVProbe FProbe;
  std::u16string FFileName;
  uintptr_t FWindow = 0;

  mutable std::mutex FPlaybackLock;
  std::shared_ptr<TPlayback> FPlayback;  // absent when nothing plays
  std::unique_ptr<TPlayThread> FPlayThread;
};

// The published player.
class TFFPlayer : public TCustomPlayer {
 public:
  using TCustomPlayer::AspectRatio;
  using TCustomPlayer::AudioVolume;
  using TCustomPlayer::DisableAudio;
  using TCustomPlayer::DisableDisplay;
  using TCustomPlayer::DisableVideo;
  using TCustomPlayer::FrameHeight;
  using TCustomPlayer::FrameWidth;
  using TCustomPlayer::Hook;
  using TCustomPlayer::Mute;
  using TCustomPlayer::ScreenHeight;
  using TCustomPlayer::ScreenWidth;
  using TCustomPlayer::SeekBackware;
  using TCustomPlayer::SeekByByte;
  using TCustomPlayer::SeekByFrame;
  using TCustomPlayer::SeekToAny;
  using TCustomPlayer::SetAspectRatio;
  using TCustomPlayer::SetAudioVolume;
  using TCustomPlayer::SetDisableAudio;
  using TCustomPlayer::SetDisableDisplay;
  using TCustomPlayer::SetDisableVideo;
  using TCustomPlayer::SetFrameHeight;
  using TCustomPlayer::SetFrameWidth;
  using TCustomPlayer::SetHook;
  using TCustomPlayer::SetMute;
  using TCustomPlayer::SetScreenHeight;
  using TCustomPlayer::SetScreenWidth;
  using TCustomPlayer::SetSeekBackware;
  using TCustomPlayer::SetSeekByByte;
  using TCustomPlayer::SetSeekByFrame;
  using TCustomPlayer::SetSeekToAny;
};
