// The preview player's core: the public operations, the packet queues, the
// decode thread, the play thread with its event loop, and the stop and
// pause helpers. What reaches the screen and the loudspeaker is in
// PlayerOutput.cpp.
#include "player/FFPlay.h"

#include <chrono>
#include <climits>
#include <thread>

#include "player/PlayerState.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "runtime/UnicodeProtocol.h"

namespace {

using namespace std::chrono_literals;

constexpr int kMaxAudioQueueSize = 327680;
constexpr int kMaxVideoQueueSize = 1310720;
constexpr Uint32 kSDLFlags = SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO;

std::atomic<uint32_t> gNextPlaybackId{1};
thread_local const TCustomPlayer* tPlayerThreadOwner = nullptr;

std::mutex& SDLLock() {
  static std::mutex lock;
  return lock;
}

AVPacket MakeFlushPacket() {
  AVPacket packet{};
  packet.data = reinterpret_cast<uint8_t*>(const_cast<char*>("FLUSH"));
  packet.stream_index = -1;
  return packet;
}

AVPacket gFlushPacket = MakeFlushPacket();

int DecodeInterrupt(void* AOpaque) { return static_cast<TPlayback*>(AOpaque)->AbortRequest ? 1 : 0; }

void Sleep(std::chrono::milliseconds ATime) { std::this_thread::sleep_for(ATime); }

}  // namespace

// ---- Shared pieces ----

AVPacket* FlushPacket() { return &gFlushPacket; }
bool IsFlushPacket(const AVPacket* APacket) { return APacket == &gFlushPacket; }

uint32_t PlayerEventType(TPlayerEvent AEvent) {
  static const uint32_t base = [] {
    Uint32 first = lib::SDL_RegisterEvents(pePlayerEventCount);
    return first == static_cast<Uint32>(-1) ? static_cast<uint32_t>(SDL_USEREVENT) : first;
  }();
  return base + AEvent;
}

void PostPlayerEvent(TPlayerEvent AEvent, uint32_t APlaybackId) {
  SDL_Event event{};
  event.type = PlayerEventType(AEvent);
  event.user.data1 = reinterpret_cast<void*>(static_cast<uintptr_t>(APlaybackId));
  lib::SDL_PushEvent(&event);
}

bool InitSDL(std::string& AError) {
  std::lock_guard<std::mutex> guard(SDLLock());
  // The owner's process keeps its own SIGINT/SIGTERM handling.
  lib::SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (lib::SDL_InitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO) != 0) {
    AError = lib::SDL_GetError();
    return false;
  }
  if (lib::SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    // No display to talk to (offscreen, no X11): pictures go nowhere, but
    // the clocks, the sound and the events work as usual.
    lib::SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    int result = lib::SDL_InitSubSystem(SDL_INIT_VIDEO);
    lib::SDL_ResetHint(SDL_HINT_VIDEODRIVER);
    if (result != 0) {
      AError = lib::SDL_GetError();
      lib::SDL_QuitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO);
      return false;
    }
  }
  return true;
}

void QuitSDL() {
  std::lock_guard<std::mutex> guard(SDLLock());
  lib::SDL_QuitSubSystem(kSDLFlags);
}

void MarkPlayerThread(const TCustomPlayer* APlayer) { tPlayerThreadOwner = APlayer; }

// ---- Packet queue ----

void TPacketQueue::Init() {
  Flush();
  FAbort = false;
}

void TPacketQueue::Flush() {
  std::lock_guard<std::mutex> guard(FLock);
  for (AVPacket* packet : FPackets)
    if (!IsFlushPacket(packet)) lib::av_packet_free(&packet);
  FPackets.clear();
  FCount = 0;
  FSize = 0;
}

int TPacketQueue::Put(AVPacket* APacket) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FAbort) {
      FPackets.push_back(APacket);
      ++FCount;
      FSize += APacket->size + 72;
      APacket = nullptr;
    }
  }
  if (APacket != nullptr) {
    if (!IsFlushPacket(APacket)) lib::av_packet_free(&APacket);
    return -1;
  }
  FCond.notify_one();
  return 0;
}

void TPacketQueue::Abort() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FAbort = true;
  }
  FCond.notify_all();
}

int TPacketQueue::Get(AVPacket*& APacket, bool ABlock) {
  std::unique_lock<std::mutex> guard(FLock);
  for (;;) {
    if (FAbort) return -1;
    if (!FPackets.empty()) {
      APacket = FPackets.front();
      FPackets.pop_front();
      --FCount;
      FSize -= APacket->size + 72;
      return 1;
    }
    if (!ABlock) return 0;
    FCond.wait(guard);
  }
}

int TPacketQueue::Count() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCount;
}

int TPacketQueue::Size() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSize;
}

// ---- Playback state ----

TPlayback::TPlayback(TCustomPlayer* APlayer) : Player(APlayer), Id(gNextPlaybackId++) {
  AudioBuffer.assign(kAudioBufferHalf, 0);
  SampleArray.assign(kSampleArraySize, 0);
}

TPlayback::~TPlayback() {
  // Normally the close has ended every thread already.
  AbortRequest = true;
  DecodeThread.WaitFor();
  VideoThread.WaitFor();
  if (Pict.Data[0] != nullptr) lib::av_freep(&Pict.Data[0]);
  if (lib::av_channel_layout_uninit) {
    lib::av_channel_layout_uninit(&AudioLayout);
    lib::av_channel_layout_uninit(&ConverterLayout);
  }
}

void TPlayback::Log(TLogLevel ALevel, const std::string& AText) const {
  FFLoggerInstance()->Log(Player, ALevel, AText);
}

void TPlayback::DecodeThreadBody() {
  MarkPlayerThread(Player);
  if (OpenInput() && ReadStreamInfo() && OpenStreams()) {
    OpenState = 1;
    while (!ReadAllowed && !AbortRequest) Sleep(10ms);
    ReadPackets();
    // Only the abort or an I/O error ends the reading; the close comes with the abort.
    while (!AbortRequest) Sleep(10ms);
  }
  CloseInput();
}

bool TPlayback::OpenInput() {
  AVFormatContext* context = lib::avformat_alloc_context();
  if (context == nullptr) {
    OpenError = OpenErrorText(ShownName, -12);
    return false;
  }
  context->interrupt_callback.callback = DecodeInterrupt;
  context->interrupt_callback.opaque = this;
  // The frame-size hint for raw and capture inputs, at 25 pictures a second.
  AVDictionary* parameters = nullptr;
  if (FrameWidth > 0 && FrameHeight > 0) {
    lib::av_dict_set(&parameters, "video_size", Format("%dx%d", FrameWidth, FrameHeight).c_str(), 0);
    lib::av_dict_set(&parameters, "framerate", "25", 0);
  }
  std::string libraryName;
  if (!ToLibraryFileName(FileName, libraryName)) {
    lib::av_dict_free(&parameters);
    lib::avformat_free_context(context);
    OpenError = FileNameTooLongText(FileName);
    return false;
  }
  int result = OpenInputContext(&context, libraryName, nullptr, &parameters);
  lib::av_dict_free(&parameters);
  if (result < 0) {
    // The failed open has freed the context.
    OpenError = OpenErrorText(ShownName, InputOpenErrorCode(result, nullptr, libraryName));
    return false;
  }
  Input = context;
  return true;
}

bool TPlayback::ReadStreamInfo() {
  int result;
  {
    TServingLock<std::recursive_mutex> lock(CodecLock());
    result = lib::avformat_find_stream_info(Input, nullptr);
  }
  if (result < 0) {
    OpenError = Format("%s: could not find codec parameters", ShownName.c_str());
    return false;
  }
  if (Input->iformat != nullptr && Input->iformat->name != nullptr) {
    ImageSequence = std::string(Input->iformat->name) == "image2";
    CaptureDevice = std::string(Input->iformat->name) == "vfwcap";
  }
  StartTime = Input->start_time != AV_NOPTS_VALUE ? Input->start_time : 0;
  Duration = Input->duration != AV_NOPTS_VALUE ? Input->duration : -1;
  return true;
}

bool TPlayback::OpenStreams() {
  int wantedAudio = 0, wantedVideo = 0, wantedSubtitle = -1;
  int audioIndex = -1, videoIndex = -1;
  // The first audio and the first video stream; subtitles are never played.
  for (unsigned i = 0; i < Input->nb_streams; ++i) {
    AVStream* stream = Input->streams[i];
    stream->discard = AVDISCARD_ALL;
    switch (stream->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (wantedAudio >= 0 && !DisableAudio) audioIndex = static_cast<int>(i);
        --wantedAudio;
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (wantedVideo >= 0 && !DisableVideo) videoIndex = static_cast<int>(i);
        --wantedVideo;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (wantedSubtitle >= 0) SubtitleIndex = static_cast<int>(i);
        --wantedSubtitle;
        break;
      default:
        break;
    }
  }
  if (audioIndex >= 0) OpenStreamComponent(audioIndex);
  if (videoIndex >= 0) OpenStreamComponent(videoIndex);
  if (VideoIndex < 0 && !DisableDisplay) ShowAudio = true;
  if (AudioIndex < 0 && VideoIndex < 0) {
    OpenError = Format("%s: could not open codecs, no stream to play.", ShownName.c_str());
    return false;
  }
  return true;
}

void TPlayback::ReadPackets() {
  AVPacket* packet = lib::av_packet_alloc();
  while (packet != nullptr && !AbortRequest) {
    if (Paused != LastPaused) FollowPause();
    if (SeekPending) PerformSeek();
    if (AudioQueue.Size() > kMaxAudioQueueSize || VideoQueue.Size() > kMaxVideoQueueSize) {
      Sleep(10ms);
      continue;
    }
    // The end is known from the read's own result: the demuxer may still
    // hold packets when its I/O has reached the end of the file.
    if (EndOfFile) {
      if (VideoIndex >= 0) {
        // An empty packet lets the decoder give out the pictures it holds.
        AVPacket* empty = lib::av_packet_alloc();
        if (empty != nullptr) VideoQueue.Put(empty);
      }
      Sleep(10ms);
      continue;
    }
    ReadInProgress = true;
    int result = lib::av_read_frame(Input, packet);
    ReadInProgress = false;
    if (result < 0) {
      if (!HandleReadFailure(result)) break;
      continue;
    }
    RoutePacket(packet);
  }
  lib::av_packet_free(&packet);
}

void TPlayback::FollowPause() {
  LastPaused = Paused;
  if (LastPaused)
    lib::av_read_pause(Input);
  else
    lib::av_read_play(Input);
}

void TPlayback::PerformSeek() {
  int64_t target, relative;
  int flags;
  {
    std::lock_guard<std::mutex> guard(SeekLock);
    target = SeekTarget;
    relative = SeekRel;
    flags = SeekFlags;
  }
  int64_t minimum = relative > 0 ? target - relative + 2 : INT64_MIN;
  int64_t maximum = relative < 0 ? target - relative - 2 : INT64_MAX;
  int result = lib::avformat_seek_file(Input, -1, minimum, target, maximum, flags);
  if (result < 0) {
    Log(llError, Format("%s: error while seeking", ShownName.c_str()));
  } else {
    if (AudioIndex >= 0) {
      AudioQueue.Flush();
      AudioQueue.Put(FlushPacket());
    }
    if (VideoIndex >= 0) {
      VideoQueue.Flush();
      VideoQueue.Put(FlushPacket());
    }
  }
  EndOfFileReported = false;
  EndOfFile = false;
  SeekPending = false;
}

bool TPlayback::HandleReadFailure(int AResult) {
  if (!EndOfFileReported && !ImageSequence) {
    Log(llError, Format("%s: error or end of file", ShownName.c_str()));
    EndOfFileReported = true;
  }
  if (AResult == AVERROR_EOF) EndOfFile = true;
  if (Input->pb != nullptr && Input->pb->error != 0) return false;
  if (!EndOfFile) Sleep(100ms);
  return true;
}

void TPlayback::RoutePacket(AVPacket* APacket) {
  TPacketQueue* queue = nullptr;
  if (APacket->stream_index == AudioIndex)
    queue = &AudioQueue;
  else if (APacket->stream_index == VideoIndex)
    queue = &VideoQueue;
  if (queue != nullptr) {
    AVPacket* copy = lib::av_packet_alloc();
    if (copy != nullptr) {
      lib::av_packet_move_ref(copy, APacket);
      queue->Put(copy);
    }
  }
  lib::av_packet_unref(APacket);
}

void TPlayback::CloseInput() {
  if (OpenState != 1) OpenState = -1;
  if (AudioIndex >= 0) CloseStreamComponent(AudioIndex);
  if (VideoIndex >= 0) CloseStreamComponent(VideoIndex);
  SubtitleIndex = -1;
  if (Input != nullptr) {
    Input->interrupt_callback.callback = nullptr;
    CloseInputContext(&Input);
    Input = nullptr;
  }
  if (OpenState == -1) OpenState = -2;
}

// ---- Threads of the player ----

void TPlayThread::Start(TCustomPlayer* APlayer, const std::shared_ptr<TPlayback>& APlayback) {
  APlayback->PlayThreadStarted = true;
  FThread.Start([this, APlayer, APlayback] { Execute(APlayer, APlayback); });
}

void TPlayThread::Execute(TCustomPlayer* APlayer, const std::shared_ptr<TPlayback>& APlayback) {
  MarkPlayerThread(APlayer);
  TPlayback& pb = *APlayback;
  APlayer->DoState(psPlay);
  pb.SetVideoMode();
  const uint32_t first = PlayerEventType(peAllocate);
  for (;;) {
    SDL_Event event;
    if (lib::SDL_WaitEventTimeout(&event, 100) == 0) continue;
    if (event.type == SDL_QUIT) break;
    if (event.type == SDL_WINDOWEVENT) {
      if (pb.Window == nullptr || event.window.windowID != lib::SDL_GetWindowID(pb.Window)) continue;
      if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
        pb.WindowResized(event.window.data1, event.window.data2);
      else if (event.window.event == SDL_WINDOWEVENT_EXPOSED)
        pb.Display();
      continue;
    }
    if (event.type < first || event.type >= first + pePlayerEventCount) continue;
    // Events of an earlier playback (a late timer, a repeated quit) are dropped.
    if (reinterpret_cast<uintptr_t>(event.user.data1) != pb.Id) continue;
    const auto kind = static_cast<TPlayerEvent>(event.type - first);
    if (kind == peQuit) break;
    switch (kind) {
      case peAllocate:
        pb.SetVideoMode();
        pb.AllocatePicture();
        break;
      case peRefresh:
        pb.RefreshStep();
        break;
      case peAspect:
        pb.SetVideoMode();
        pb.Display();
        break;
      default:
        break;
    }
  }
  // The probe lets go of the container before it is closed; the owner uses
  // the probe on the main thread, so it is detached there.
  RunInMainThread([APlayer] { APlayer->FProbe.Attach(nullptr); });
  APlayer->ClosePlayback(APlayback);
  APlayer->DoState(psStop);
  pb.PlayThreadEnded = true;
}

TStopThread::TStopThread(const std::shared_ptr<TPlayback>& APlayback) {
  PostPlayerEvent(peQuit, APlayback->Id);
  FThread.Start([APlayback] {
    for (int polls = 1; !APlayback->PlayThreadEnded; ++polls) {
      Sleep(10ms);
      if (polls % 20 == 0) PostPlayerEvent(peQuit, APlayback->Id);
    }
  });
}

TPauseThread::TPauseThread(const std::shared_ptr<TPlayback>& APlayback) {
  FThread.Start([APlayback] {
    for (int polls = 0; polls < 101 && APlayback->SeekPending; ++polls) {
      if (polls >= 20 && APlayback->ReadInProgress) break;
      Sleep(10ms);
    }
  });
}

// ---- TCustomPlayer ----

TCustomPlayer::TCustomPlayer() : FPlayThread(std::make_unique<TPlayThread>()) { FProbe.Enable(); }

TCustomPlayer::~TCustomPlayer() { Stop(true); }

bool TCustomPlayer::AVLibLoaded() const { return FFmpegLoader().AllLoaded(kPlayerLibraries); }

bool TCustomPlayer::LoadAVLib(const std::u16string& APath) {
  FFmpegLoader().SetLibraryPath(APath);
  if (FFmpegLoader().LoadLibs(kPlayerLibraries)) return true;
  SetLastErrMsg(FFmpegLoader().LastError());
  return false;
}

std::string TCustomPlayer::LastErrMsg() const {
  std::lock_guard<std::mutex> guard(FErrLock);
  return FLastErrMsg;
}

void TCustomPlayer::SetLastErrMsg(const std::string& AText) {
  std::lock_guard<std::mutex> guard(FErrLock);
  FLastErrMsg = AText;
}

void TCustomPlayer::Error(const std::string& AText) {
  FFLoggerInstance()->Log(this, llError, AText);
  SetLastErrMsg(AText);
}

void TCustomPlayer::DoState(TPlayState AState) {
  if (OnState) OnState(this, AState);
}

std::shared_ptr<TPlayback> TCustomPlayer::Playback() const {
  std::lock_guard<std::mutex> guard(FPlaybackLock);
  return FPlayback;
}

bool TCustomPlayer::OnPlayerThread() const { return tPlayerThreadOwner == this; }

int TCustomPlayer::VideoStreamIndex() const {
  std::shared_ptr<TPlayback> pb = Playback();
  return pb ? pb->VideoIndex.load() : -1;
}

int TCustomPlayer::AudioStreamIndex() const {
  std::shared_ptr<TPlayback> pb = Playback();
  return pb ? pb->AudioIndex.load() : -1;
}

bool TCustomPlayer::Playing() const { return Playback() != nullptr; }

bool TCustomPlayer::Paused() const {
  std::shared_ptr<TPlayback> pb = Playback();
  return pb && pb->Paused;
}

bool TCustomPlayer::WaveformShown() const {
  std::shared_ptr<TPlayback> pb = Playback();
  return pb && pb->ShowAudio;
}

TDisplayRect TCustomPlayer::PictureRect() const {
  std::shared_ptr<TPlayback> pb = Playback();
  if (!pb) return {};
  std::lock_guard<std::mutex> guard(pb->RectLock);
  return pb->LastRect;
}

void TCustomPlayer::SetAspectRatio(float AValue) {
  if (FAspectRatio.exchange(AValue) == AValue) return;
  if (std::shared_ptr<TPlayback> pb = Playback()) PostPlayerEvent(peAspect, pb->Id);
}

void TCustomPlayer::SetScreenWidth(int AValue) {
  if (FScreenWidth.exchange(AValue) == AValue) return;
  if (std::shared_ptr<TPlayback> pb = Playback()) PostPlayerEvent(peAspect, pb->Id);
}

void TCustomPlayer::SetScreenHeight(int AValue) {
  if (FScreenHeight.exchange(AValue) == AValue) return;
  if (std::shared_ptr<TPlayback> pb = Playback()) PostPlayerEvent(peAspect, pb->Id);
}

void TCustomPlayer::SetAudioVolume(TAudioVolume AValue) { FAudioVolume = Clamp(AValue, 0, kMaxAudioVolume); }

void TCustomPlayer::SetSeekFlag(int ABit, bool AValue) {
  if (AValue)
    FSeekFlags |= ABit;
  else
    FSeekFlags &= ~ABit;
}

bool TCustomPlayer::Open(const std::u16string& AFileName, uintptr_t AWindow) {
  if (!AVLibLoaded()) {
    Error("libav or libsdl not loaded.");
    return false;
  }
  if (OnPlayerThread()) {
    // The playback that runs this handler cannot be waited for here.
    Error("Open cannot be called from the player's own threads.");
    return false;
  }
  Stop(true);

  std::string sdlError;
  if (!InitSDL(sdlError)) {
    Error("Could not initialize SDL: " + sdlError);
    return false;
  }
  // No display means no video either, for this open only.
  const bool disableVideo = FDisableVideo || FDisableDisplay;
  if (!FDisableDisplay) {
    SDL_DisplayMode mode{};
    if (lib::SDL_GetCurrentDisplayMode(0, &mode) == 0) {
      FDesktopWidth = mode.w;
      FDesktopHeight = mode.h;
    }
  }
  lib::SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
  lib::SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);

  std::shared_ptr<TPlayback> pb = OpenStream(AFileName, disableVideo);
  if (!pb) {
    QuitSDL();
    return false;
  }
  pb->WindowHandle = AWindow;
  FFileName = AFileName;
  FWindow = AWindow;
  FProbe.Attach(pb->Input);
  NotifyFileOpen(*pb);
  if (Playback() != pb) return false;  // the handler stopped it

  try {
    FPlayThread->Start(this, pb);
  } catch (const std::exception&) {
    Error("SDL_CreateThread() failed.");
    FProbe.Attach(nullptr);
    ClosePlayback(pb);
    return false;
  }
  pb->ReadAllowed = true;
  return true;
}

std::shared_ptr<TPlayback> TCustomPlayer::OpenStream(const std::u16string& AFileName, bool ADisableVideo) {
  std::shared_ptr<TPlayback> pb;
  try {
    pb = std::make_shared<TPlayback>(this);
  } catch (const std::bad_alloc&) {
    Error("av_mallocz() failed.");
    return nullptr;
  }
  pb->FileName = AFileName;
  pb->ShownName = ToLocal8Bit(AFileName);
  pb->DisableAudio = FDisableAudio;
  pb->DisableVideo = ADisableVideo;
  pb->DisableDisplay = FDisableDisplay;
  pb->FrameWidth = FFrameWidth;
  pb->FrameHeight = FFrameHeight;
  pb->ScheduleRefresh(40);
  try {
    TPlayback* raw = pb.get();
    pb->DecodeThread.Start([raw] { raw->DecodeThreadBody(); });
  } catch (const std::exception&) {
    Error("SDL_CreateThread() failed.");
    return nullptr;
  }
  WaitServing([&] { return pb->OpenState.load() != 0; });
  if (pb->OpenState == 1) {
    std::lock_guard<std::mutex> guard(FPlaybackLock);
    FPlayback = pb;
    return pb;
  }
  pb->DecodeThread.WaitFor();
  SetLastErrMsg(pb->OpenError);
  return nullptr;
}

void TCustomPlayer::NotifyFileOpen(TPlayback& APlayback) {
  int width = -1, height = -1;
  if (APlayback.VideoStream != nullptr && APlayback.VideoStream->codecpar->width > 0) {
    width = APlayback.VideoStream->codecpar->width;
    height = APlayback.VideoStream->codecpar->height;
  }
  const int64_t duration = APlayback.ImageSequence ? 0 : APlayback.Duration;
  RunInMainThread([&] {
    if (!OnFileOpen) return;
    int screenWidth = FScreenWidth, screenHeight = FScreenHeight;
    OnFileOpen(this, duration, width, height, screenWidth, screenHeight);
    FScreenWidth = screenWidth;
    FScreenHeight = screenHeight;
  });
  // A window left without a size gets the window's client size once the
  // play thread has taken it over (SetVideoMode).
}

void TCustomPlayer::ClosePlayback(const std::shared_ptr<TPlayback>& APlayback) {
  APlayback->AbortRequest = true;
  APlayback->DecodeThread.WaitFor();
  APlayback->DestroyDisplay();
  {
    std::lock_guard<std::mutex> guard(FPlaybackLock);
    if (FPlayback == APlayback) FPlayback.reset();
  }
  QuitSDL();
}

void TCustomPlayer::Stop(bool AWait) {
  std::shared_ptr<TPlayback> pb = Playback();
  if (pb && !pb->PlayThreadStarted) {
    // Stopped from OnFileOpen, before the play thread exists.
    FProbe.Attach(nullptr);
    ClosePlayback(pb);
    return;
  }
  if (pb) PostPlayerEvent(peQuit, pb->Id);
  if (!AWait || OnPlayerThread()) return;
  if (pb) {
    TStopThread stopper(pb);
    FPlayThread->WaitFor();
    stopper.WaitFor();
  } else {
    FPlayThread->WaitFor();  // a playback that has ended by itself
  }
}

void TCustomPlayer::TogglePause() {
  std::shared_ptr<TPlayback> pb = Playback();
  if (!pb) return;
  if (!pb->Paused) {
    TPauseThread waiter(pb);
    waiter.WaitFor();
  }
  bool paused;
  {
    std::lock_guard<std::mutex> guard(pb->ClockLock);
    const int64_t now = lib::av_gettime();
    if (!pb->Paused) {
      // The video clock stops where it is.
      pb->CurrentPTS += (now - pb->CurrentPTSTime) / 1000000.0;
      pb->CurrentPTSTime = now;
      pb->Paused = true;
    } else {
      // It goes on from there; the frame timer skips the time spent paused.
      pb->Timing.FrameTimer += (now - pb->CurrentPTSTime) / 1000000.0;
      pb->CurrentPTSTime = now;
      pb->Paused = false;
    }
    paused = pb->Paused;
  }
  DoState(paused ? psPause : psResume);
}

void TCustomPlayer::Seek(int64_t APosition) {
  std::shared_ptr<TPlayback> pb = Playback();
  if (!pb) return;
  int64_t target = APosition < 0 ? 0 : APosition;
  // A file of unknown duration seeks to the position as given.
  if (pb->Duration > 0 && target > pb->Duration) target = pb->Duration;
  target += pb->StartTime;
  std::lock_guard<std::mutex> guard(pb->SeekLock);
  if (pb->SeekPending) return;
  pb->SeekTarget = target;
  pb->SeekRel = 0;
  pb->SeekFlags = FSeekFlags;
  pb->SeekPending = true;
}
