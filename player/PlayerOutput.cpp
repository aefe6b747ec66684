// The player's output and clock: opening and closing a stream's decoder,
// the audio callback with its conversion to 16-bit samples, the video
// decoder thread with its one-slot picture queue, the refresh step against
// the audio clock, the display rectangle, the waveform, the frame hook and
// the position and end reports.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "player/FFPlay.h"
#include "player/PlayerState.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Threads.h"

namespace {

constexpr int kSilenceBlock = 1024;

Uint32 SDLCALL RefreshTimer(Uint32, void* AParam) {
  PostPlayerEvent(peRefresh, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(AParam)));
  return 0;  // one refresh per timer
}

double NowSeconds() { return lib::av_gettime() / 1000000.0; }

// The decoder settings of every stream the player plays.
void SetDecoderOptions(AVCodecContext* AContext) {
  AContext->workaround_bugs = FF_BUG_AUTODETECT;
  AContext->err_recognition = AV_EF_CAREFUL;
  AContext->error_concealment = FF_EC_GUESS_MVS | FF_EC_DEBLOCK;
  AContext->lowres = 0;
  AContext->idct_algo = FF_IDCT_AUTO;
  AContext->skip_frame = AVDISCARD_DEFAULT;
  AContext->skip_idct = AVDISCARD_DEFAULT;
  AContext->skip_loop_filter = AVDISCARD_DEFAULT;
  AContext->flags2 &= ~AV_CODEC_FLAG2_FAST;
  AContext->debug = 0;
}

// Frees a decoder under the codec lock, which every codec open and close holds.
void FreeDecoder(AVCodecContext* AContext) {
  TServingLock<std::recursive_mutex> lock(CodecLock());
  lib::avcodec_free_context(&AContext);
}

// What the player asks of the audio device: 16-bit samples in blocks of 1024, played by AudioCallback.
SDL_AudioSpec WantedAudioSpec(int ARate, int AChannels, void* AUserData) {
  SDL_AudioSpec wanted{};
  wanted.freq = ARate;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = static_cast<Uint8>(AChannels);
  wanted.silence = 0;
  wanted.samples = 1024;
  wanted.callback = TPlayback::AudioCallback;
  wanted.userdata = AUserData;
  return wanted;
}

}  // namespace

// ---- Geometry and timing ----

TDisplayRect CalculateDisplayRect(float AAspectRatio, int AVideoWidth, int AVideoHeight, AVRational AStreamAspect,
                                  AVRational ACodecAspect, int ADisplayWidth, int ADisplayHeight) {
  TDisplayRect rect;
  if (ADisplayWidth <= 0 || ADisplayHeight <= 0) return rect;
  double aspect;
  if (AAspectRatio > 0) {
    aspect = AAspectRatio;
  } else if (AAspectRatio < 0 || AVideoWidth <= 0 || AVideoHeight <= 0) {
    aspect = static_cast<double>(ADisplayWidth) / ADisplayHeight;
  } else {
    const AVRational sar = AStreamAspect.num != 0 ? AStreamAspect : ACodecAspect;
    double value = sar.den != 0 ? av_q2d(sar) : 0;
    if (value <= 0) value = 1;
    aspect = value * AVideoWidth / AVideoHeight;
  }
  int height = ADisplayHeight;
  int width = static_cast<int>(std::lround(height * aspect)) & ~1;
  if (width > ADisplayWidth) {
    width = ADisplayWidth;
    height = static_cast<int>(std::lround(width / aspect)) & ~1;
  }
  rect.Left = (ADisplayWidth - width) / 2;
  rect.Top = (ADisplayHeight - height) / 2;
  rect.Width = width;
  rect.Height = height;
  return rect;
}

TDisplayRect TextureRectBeforeTurn(const TDisplayRect& AShown, const TPictureTurn& ATurn) {
  if (!ATurn.SidesSwap()) return AShown;
  TDisplayRect rect;
  rect.Width = AShown.Height;
  rect.Height = AShown.Width;
  rect.Left = AShown.Left + (AShown.Width - AShown.Height) / 2;
  rect.Top = AShown.Top + (AShown.Height - AShown.Width) / 2;
  return rect;
}

double TargetFrameDelay(TFrameTiming& ATiming, double APTS, bool AAudioMaster, double AMasterClock) {
  double delay = APTS - ATiming.LastPTS;
  if (delay <= 0 || delay >= 2.0)
    delay = ATiming.LastDelay;  // a jump: keep the last step
  else
    ATiming.LastDelay = delay;
  ATiming.LastPTS = APTS;
  if (AAudioMaster) {
    const double diff = APTS - AMasterClock;
    // Far away from the clock (a seek, a broken stamp): no correction.
    if (std::fabs(diff) < 10) {
      const double threshold = std::max(delay, 0.01);
      if (diff <= -threshold)
        delay = 0;  // late: shown at once
      else if (diff >= threshold)
        delay = 2 * delay;  // early: waits longer
    }
  }
  return delay;
}

double NextRefreshDelay(TFrameTiming& ATiming, double APTS, bool AAudioMaster, double AMasterClock, double ANow) {
  ATiming.FrameTimer += TargetFrameDelay(ATiming, APTS, AAudioMaster, AMasterClock);
  return std::max(ATiming.FrameTimer - ANow, 0.01);
}

// ---- Stream components ----

int TPlayback::OpenStreamComponent(int AIndex) {
  if (AIndex < 0 || AIndex >= static_cast<int>(Input->nb_streams)) return -1;
  AVStream* stream = Input->streams[AIndex];
  const AVMediaType type = stream->codecpar->codec_type;
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return -1;

  AVCodecContext* context = OpenDecoder(stream);
  if (context == nullptr) return -1;
  if (type == AVMEDIA_TYPE_AUDIO) return StartAudio(AIndex, context);
  return StartVideo(AIndex, context);
}

AVCodecContext* TPlayback::OpenDecoder(const AVStream* AStream) {
  const AVCodecParameters* parameters = AStream->codecpar;
  const AVCodec* codec = lib::avcodec_find_decoder(parameters->codec_id);
  AVCodecContext* context = codec != nullptr ? lib::avcodec_alloc_context3(codec) : nullptr;
  int result = -1;
  if (context != nullptr) {
    result = lib::avcodec_parameters_to_context(context, parameters);
    context->pkt_timebase = AStream->time_base;
    SetDecoderOptions(context);
    if (result >= 0) {
      TServingLock<std::recursive_mutex> lock(CodecLock());
      result = lib::avcodec_open2(context, codec, nullptr);
    }
  }
  if (result < 0) {
    Log(llError, "avcodec_open() failed.");
    if (context != nullptr) FreeDecoder(context);
    return nullptr;
  }
  return context;
}

int TPlayback::StartAudio(int AIndex, AVCodecContext* AContext) {
  AVStream* stream = Input->streams[AIndex];
  // More than two channels are mixed down to two by the converter.
  const int channels = AContext->ch_layout.nb_channels;
  AudioChannels = channels == 1 || channels == 2 ? channels : 2;
  AudioRate = AContext->sample_rate;
  lib::av_channel_layout_uninit(&AudioLayout);
  lib::av_channel_layout_default(&AudioLayout, AudioChannels);
  // Everything the callback reads is in place before the device exists.
  AudioStream = stream;
  AudioCodec = AContext;
  AudioStartTime = stream->start_time != AV_NOPTS_VALUE
                       ? lib::av_rescale_q(stream->start_time, stream->time_base, AVRational{1, AV_TIME_BASE})
                       : -1;
  AudioClock = 0;
  BufSize = BufIndex = 0;
  std::fill(AudioBuffer.begin(), AudioBuffer.end(), 0);
  AudioPacketPending = false;
  AudioFrame = lib::av_frame_alloc();
  AudioQueue.Init();

  SDL_AudioSpec wanted = WantedAudioSpec(AudioRate, AudioChannels, this);
  SDL_AudioSpec obtained{};
  AudioDevice = AudioFrame != nullptr ? lib::SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0) : 0;
  if (AudioDevice == 0) {
    Log(llError, std::string("SDL_OpenAudio() failed: ") + lib::SDL_GetError());
    AudioStream = nullptr;
    AudioCodec = nullptr;
    lib::av_frame_free(&AudioFrame);
    FreeDecoder(AContext);
    return -1;
  }
  HwBufSize = static_cast<int>(obtained.size);
  stream->discard = AVDISCARD_DEFAULT;
  AudioIndex = AIndex;
  lib::SDL_PauseAudioDevice(AudioDevice, 0);
  return 0;
}

int TPlayback::StartVideo(int AIndex, AVCodecContext* AContext) {
  AVStream* stream = Input->streams[AIndex];
  VideoStream = stream;
  VideoCodec = AContext;
  Turn = StreamPictureTurn(stream);
  AVRational rate = AContext->framerate;
  if (rate.num <= 0 || rate.den <= 0) rate = lib::av_guess_frame_rate(Input, stream, nullptr);
  FrameDuration = rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 0.04;
  {
    std::lock_guard<std::mutex> guard(ClockLock);
    Timing.LastDelay = 0.04;
    Timing.FrameTimer = NowSeconds();
    CurrentPTSTime = lib::av_gettime();
  }
  VideoQueue.Init();
  try {
    VideoThread.Start([this] { VideoThreadBody(); });
  } catch (const std::exception&) {
    Log(llError, "SDL_CreateThread() failed.");
    VideoStream = nullptr;
    VideoCodec = nullptr;
    FreeDecoder(AContext);
    return -1;
  }
  stream->discard = AVDISCARD_DEFAULT;
  VideoIndex = AIndex;
  return 0;
}

void TPlayback::CloseStreamComponent(int AIndex) {
  AVStream* stream = nullptr;
  AVCodecContext* context = nullptr;
  if (AIndex == AudioIndex && AudioStream != nullptr) {
    AudioQueue.Abort();
    lib::SDL_CloseAudioDevice(AudioDevice);  // returns once the callback has ended
    AudioDevice = 0;
    lib::swr_free(&Converter);
    AudioQueue.End();
    lib::av_frame_free(&AudioFrame);
    stream = AudioStream;
    context = AudioCodec;
    AudioStream = nullptr;
    AudioCodec = nullptr;
    AudioIndex = -1;
  } else if (AIndex == VideoIndex && VideoStream != nullptr) {
    VideoQueue.Abort();
    { std::lock_guard<std::mutex> guard(PictLock); }
    PictCond.notify_all();
    VideoThread.WaitFor();
    VideoQueue.End();
    lib::sws_freeContext(ImageConverter);
    ImageConverter = nullptr;
    ResetFrameBitmap(HookBitmap);
    stream = VideoStream;
    context = VideoCodec;
    VideoStream = nullptr;
    VideoCodec = nullptr;
    VideoIndex = -1;
  } else {
    return;
  }
  stream->discard = AVDISCARD_ALL;
  TServingLock<std::recursive_mutex> lock(CodecLock());
  lib::avcodec_free_context(&context);
}

// ---- Audio ----

void SDLCALL TPlayback::AudioCallback(void* AOpaque, Uint8* AStream, int ALength) {
  auto* pb = static_cast<TPlayback*>(AOpaque);
  TCustomPlayer* player = pb->Player;
  MarkPlayerThread(player);
  pb->AudioCallbackTime = lib::av_gettime();
  // SDL 2 hands over a buffer of undefined content; the blocks are mixed
  // onto silence.
  std::memset(AStream, 0, static_cast<size_t>(ALength));
  while (ALength > 0) {
    if (pb->BufIndex >= pb->BufSize) {
      const int size = pb->AudioDecodeFrame();
      if (pb->AudioQueue.Aborted()) break;
      if (size < 0) {
        pb->BufSize = kSilenceBlock;
        std::memset(pb->AudioBuffer.data(), 0, kSilenceBlock);
      } else {
        pb->BufSize = size;
      }
      if (pb->ShowAudio) pb->UpdateSampleDisplay(reinterpret_cast<const int16_t*>(pb->AudioBuffer.data()), pb->BufSize);
      pb->BufIndex = 0;
    }
    const int length = std::min(pb->BufSize - pb->BufIndex, ALength);
    if (!player->FMute)
      lib::SDL_MixAudioFormat(AStream, pb->AudioBuffer.data() + pb->BufIndex, AUDIO_S16SYS, static_cast<Uint32>(length),
                              player->FAudioVolume);
    ALength -= length;
    AStream += length;
    pb->BufIndex += length;
  }
  const int pending = pb->BufSize - pb->BufIndex;
  const int bytesPerSecond = pb->AudioRate * 2 * pb->AudioChannels;
  pb->AudioPendingBytes = pending;
  pb->AudioClockNow = pb->AudioClock - (bytesPerSecond > 0 ? static_cast<double>(pending) / bytesPerSecond : 0);
}

int TPlayback::AudioDecodeFrame() {
  for (;;) {
    while (AudioPacketPending) {
      const int result = lib::avcodec_receive_frame(AudioCodec, AudioFrame);
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
        AudioPacketPending = false;
        break;
      }
      if (result < 0) {
        Log(llInfo, "avcodec_decode_audio2() failed");
        AudioPacketPending = false;
        break;
      }
      if (AudioFrame->pts != AV_NOPTS_VALUE) AudioClock = AudioFrame->pts * av_q2d(AudioStream->time_base);
      const int size = ConvertAudioFrame();
      lib::av_frame_unref(AudioFrame);
      if (size <= 0) continue;
      AudioClock += static_cast<double>(size) / (2.0 * AudioChannels * AudioRate);
      return size;
    }
    if (Paused || AudioQueue.Aborted()) return -1;
    AVPacket* packet = nullptr;
    if (AudioQueue.Get(packet, false) <= 0) return -1;
    if (IsFlushPacket(packet)) {
      lib::avcodec_flush_buffers(AudioCodec);
      continue;
    }
    const int result = lib::avcodec_send_packet(AudioCodec, packet);
    lib::av_packet_free(&packet);
    if (result < 0) {
      Log(llInfo, "avcodec_decode_audio2() failed");
      continue;
    }
    AudioPacketPending = true;
  }
}

int TPlayback::ConvertAudioFrame() {
  AVFrame* frame = AudioFrame;
  AVChannelLayout layout{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0)
    lib::av_channel_layout_default(
        &layout, frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : AudioCodec->ch_layout.nb_channels);
  else
    lib::av_channel_layout_copy(&layout, &frame->ch_layout);
  const bool same = (Converter != nullptr || ConverterFailed) && frame->format == ConverterFormat &&
                    frame->sample_rate == ConverterRate &&
                    lib::av_channel_layout_compare(&layout, &ConverterLayout) == 0;
  if (!same) {
    lib::swr_free(&Converter);
    ConverterFailed = false;
    ConverterFormat = frame->format;
    ConverterRate = frame->sample_rate;
    lib::av_channel_layout_uninit(&ConverterLayout);
    lib::av_channel_layout_copy(&ConverterLayout, &layout);
    int result = lib::swr_alloc_set_opts2(&Converter, &AudioLayout, AV_SAMPLE_FMT_S16, AudioRate, &layout,
                                          static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    if (result >= 0) result = lib::swr_init(Converter);
    if (result < 0) {
      lib::swr_free(&Converter);
      ConverterFailed = true;
      const char* from = lib::av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
      Log(llError, Format("Cannot convert %s sample format to %s sample format", from ? from : "unknown",
                          lib::av_get_sample_fmt_name(AV_SAMPLE_FMT_S16)));
    }
  }
  lib::av_channel_layout_uninit(&layout);
  if (Converter == nullptr) return -1;
  uint8_t* output[1] = {AudioBuffer.data()};
  const int capacity = kAudioBufferHalf / (2 * AudioChannels);
  const int count = lib::swr_convert(Converter, output, capacity, const_cast<const uint8_t**>(frame->extended_data),
                                     frame->nb_samples);
  if (count < 0) {
    Log(llError, "av_audio_convert() failed");
    return -1;
  }
  return count * 2 * AudioChannels;
}

void TPlayback::UpdateSampleDisplay(const int16_t* ASamples, int ASize) {
  std::lock_guard<std::mutex> guard(WaveLock);
  int count = ASize / 2;
  while (count > 0) {
    const int length = std::min(kSampleArraySize - SampleArrayIndex, count);
    std::memcpy(&SampleArray[SampleArrayIndex], ASamples, static_cast<size_t>(length) * sizeof(int16_t));
    ASamples += length;
    SampleArrayIndex += length;
    if (SampleArrayIndex >= kSampleArraySize) SampleArrayIndex = 0;
    count -= length;
  }
}

// ---- Video ----

double TPlayback::VideoClockValue() const {
  std::lock_guard<std::mutex> guard(ClockLock);
  if (Paused) return CurrentPTS;
  return CurrentPTS + (lib::av_gettime() - CurrentPTSTime) / 1000000.0;
}

void TPlayback::VideoThreadBody() {
  using namespace std::chrono_literals;
  MarkPlayerThread(Player);
  AVFrame* frame = lib::av_frame_alloc();
  if (frame == nullptr) return;
  const double timeBase = av_q2d(VideoStream->time_base);
  for (;;) {
    while (Paused && !VideoQueue.Aborted()) std::this_thread::sleep_for(10ms);
    AVPacket* packet = nullptr;
    if (VideoQueue.Get(packet, true) < 0) break;
    if (IsFlushPacket(packet)) {
      lib::avcodec_flush_buffers(VideoCodec);
      VideoDraining = false;
      continue;
    }
    int result;
    if (packet->data == nullptr && packet->size == 0) {
      // The end of the input: the decoder gives out what it holds, once.
      lib::av_packet_free(&packet);
      if (VideoDraining) continue;
      VideoDraining = true;
      result = lib::avcodec_send_packet(VideoCodec, nullptr);
    } else {
      result = lib::avcodec_send_packet(VideoCodec, packet);
      lib::av_packet_free(&packet);
    }
    if (result < 0 && result != AVERROR_EOF) continue;
    bool aborted = false;
    while (!aborted && lib::avcodec_receive_frame(VideoCodec, frame) >= 0) {
      // The decoder's estimate from the reordered presentation stamps and
      // the decoding stamps; 0 when it has none.
      const int64_t stamp = frame->best_effort_timestamp;
      double pts = stamp != AV_NOPTS_VALUE ? stamp * timeBase : 0;
      if (pts != 0)
        VideoClock = pts;
      else
        pts = VideoClock;
      VideoClock += FrameDuration * (1 + frame->repeat_pict * 0.5);
      aborted = QueuePicture(frame, pts) < 0;
      lib::av_frame_unref(frame);
    }
    if (aborted) break;
  }
  lib::av_frame_free(&frame);
}

int TPlayback::QueuePicture(AVFrame* AFrame, double APTS) {
  const int width = AFrame->width, height = AFrame->height;
  std::unique_lock<std::mutex> lock(PictLock);
  PictCond.wait(lock, [&] { return PictQSize < 1 || VideoQueue.Aborted(); });
  if (VideoQueue.Aborted()) return -1;
  if (!Pict.Allocated || Pict.Width != width || Pict.Height != height) {
    Pict.Allocated = false;
    Pict.RequestWidth = width;
    Pict.RequestHeight = height;
    PostPlayerEvent(peAllocate, Id);
    PictCond.wait(lock, [&] { return Pict.Allocated || VideoQueue.Aborted(); });
    if (VideoQueue.Aborted()) return -1;
  }
  if (Pict.Data[0] == nullptr) return 0;  // no memory for the picture: dropped
  uint8_t* const planes[4] = {Pict.Data[0], Pict.Data[1], Pict.Data[2], Pict.Data[3]};
  const int lineSizes[4] = {Pict.LineSize[0], Pict.LineSize[1], Pict.LineSize[2], Pict.LineSize[3]};
  lock.unlock();

  // The slot is this thread's until it is queued.
  bool done = false;
  TCustomPlayer* player = Player;
  if (player->FHook && player->OnHook) {
    if (!FrameToBitmap(HookBitmap, AFrame->data, AFrame->linesize, AFrame->format, height, width)) {
      Log(llError, "Cannot initialize the toRGB conversion context");
    } else {
      bool hooked = false;
      {
        std::lock_guard<std::recursive_mutex> canvas(HookBitmap.Bitmap.Lock);
        try {
          player->OnHook(player, HookBitmap.Bitmap, std::llround(APTS * 1000000.0) - StartTime);
          hooked = true;
        } catch (const std::exception& error) {
          Log(llError, std::string("Error occurs OnHook: ") + error.what());
        }
      }
      if (hooked) {
        if (BitmapToFrame(HookBitmap, planes, lineSizes, AV_PIX_FMT_YUV420P, height, width))
          done = true;
        else
          Log(llError, "Cannot initialize the fromRGB conversion context");
      }
    }
  }
  if (!done) {
    ImageConverter =
        lib::sws_getCachedContext(ImageConverter, width, height, static_cast<AVPixelFormat>(AFrame->format), width,
                                  height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (ImageConverter == nullptr) {
      Log(llError, "Cannot initialize the conversion context.");
      return 0;
    }
    lib::sws_scale(ImageConverter, AFrame->data, AFrame->linesize, 0, height, planes, lineSizes);
  }

  lock.lock();
  Pict.PTS = APTS;
  Pict.SampleAspect = AFrame->sample_aspect_ratio;
  PictWIndex = 0;  // one slot
  ++PictQSize;
  return 0;
}

void TPlayback::AllocatePicture() {
  std::lock_guard<std::mutex> guard(PictLock);
  if (Pict.Overlay != nullptr) {
    lib::SDL_DestroyTexture(Pict.Overlay);
    Pict.Overlay = nullptr;
  }
  if (Pict.Data[0] != nullptr) lib::av_freep(&Pict.Data[0]);
  const int width = Pict.RequestWidth, height = Pict.RequestHeight;
  if (width <= 0 || height <= 0 ||
      lib::av_image_alloc(Pict.Data, Pict.LineSize, width, height, AV_PIX_FMT_YUV420P, 32) < 0) {
    for (uint8_t*& plane : Pict.Data) plane = nullptr;
  }
  if (Renderer != nullptr && Pict.Data[0] != nullptr)
    Pict.Overlay = lib::SDL_CreateTexture(Renderer, SDL_PIXELFORMAT_YV12, SDL_TEXTUREACCESS_STREAMING, width, height);
  Pict.Width = width;
  Pict.Height = height;
  Pict.Allocated = true;
  PictCond.notify_all();
}

// ---- Display ----

void TPlayback::SetVideoMode() {
  if (DisableDisplay) return;
  int videoWidth, videoHeight;
  {
    std::lock_guard<std::mutex> guard(PictLock);
    videoWidth = Pict.RequestWidth;
    videoHeight = Pict.RequestHeight;
  }
  if ((videoWidth <= 0 || videoHeight <= 0) && VideoStream != nullptr) {
    videoWidth = VideoStream->codecpar->width;
    videoHeight = VideoStream->codecpar->height;
  }
  if (Window == nullptr) {
    if (WindowHandle != 0) {
      // The owner's window (an X11 window id): SDL draws into it and sees
      // its size and expose events; the owner keeps the window itself.
      Window = lib::SDL_CreateWindowFrom(reinterpret_cast<const void*>(WindowHandle));
      ForeignWindow = Window != nullptr;
      if (Window == nullptr)
        Log(llWarning,
            std::string("SDL: could not use the window, playing in a window of its own: ") + lib::SDL_GetError());
    }
    if (Window == nullptr)
      Window = lib::SDL_CreateWindow("Vidmill", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 640, 480,
                                     SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
    if (Window != nullptr) Renderer = lib::SDL_CreateRenderer(Window, -1, SDL_RENDERER_SOFTWARE);
    if (Renderer == nullptr) {
      Log(llError, "SDL: could not set video mode.");
      if (Window != nullptr) lib::SDL_DestroyWindow(Window);
      Window = nullptr;
      ForeignWindow = false;
      return;
    }
    if (ForeignWindow && (Player->FScreenWidth == 0 || Player->FScreenHeight == 0)) {
      int width = 0, height = 0;
      lib::SDL_GetWindowSize(Window, &width, &height);
      Player->FScreenWidth = width;
      Player->FScreenHeight = height;
    }
  }
  const int screenWidth = Player->FScreenWidth, screenHeight = Player->FScreenHeight;
  if (ForeignWindow) {
    // The owner lays its window out; SDL learns a new size from the
    // owner's ScreenWidth and ScreenHeight (SDL does not watch a foreign
    // X11 window's size).
    int width = 0, height = 0;
    lib::SDL_GetWindowSize(Window, &width, &height);
    if (screenWidth > 0 && screenHeight > 0 && (screenWidth != width || screenHeight != height))
      lib::SDL_SetWindowSize(Window, screenWidth, screenHeight);
  } else {
    int width = 640, height = 480;
    if (screenWidth > 0 && screenHeight > 0) {
      width = screenWidth;
      height = screenHeight;
    } else if (videoWidth > 0 && videoHeight > 0) {
      width = videoWidth;
      height = videoHeight;
    }
    lib::SDL_SetWindowSize(Window, width, height);
  }
  int width = 0, height = 0;
  if (lib::SDL_GetRendererOutputSize(Renderer, &width, &height) == 0) {
    Width = width;
    Height = height;
  }
  Left = Top = 0;
}

void TPlayback::WindowResized(int AWidth, int AHeight) {
  if (ForeignWindow) {
    // The owner resized its window: the output follows.
    Player->FScreenWidth = AWidth;
    Player->FScreenHeight = AHeight;
  }
  int width = AWidth, height = AHeight;
  if (Renderer != nullptr) lib::SDL_GetRendererOutputSize(Renderer, &width, &height);
  Width = width;
  Height = height;
  Display();
}

void TPlayback::DestroyDisplay() {
  {
    std::lock_guard<std::mutex> guard(PictLock);
    if (Pict.Overlay != nullptr) lib::SDL_DestroyTexture(Pict.Overlay);
    Pict.Overlay = nullptr;
    if (Pict.Data[0] != nullptr) lib::av_freep(&Pict.Data[0]);
    Pict.Allocated = false;
  }
  if (Renderer != nullptr) lib::SDL_DestroyRenderer(Renderer);
  Renderer = nullptr;
  if (Window != nullptr) lib::SDL_DestroyWindow(Window);  // a foreign window itself stays
  Window = nullptr;
}

void TPlayback::Display() {
  if (VideoStream != nullptr)
    DisplayPicture();
  else if (ShowAudio)
    DisplayWaveform();
}

void TPlayback::DisplayPicture() {
  if (Renderer == nullptr || Pict.Overlay == nullptr) return;
  // A picture shown turned a quarter takes the display with its sides and
  // its pixel aspect swapped.
  const bool swap = Turn.SidesSwap();
  auto turned = [swap](AVRational AAspect) { return swap ? AVRational{AAspect.den, AAspect.num} : AAspect; };
  TDisplayRect rect =
      CalculateDisplayRect(Player->FAspectRatio, swap ? Pict.Height : Pict.Width, swap ? Pict.Width : Pict.Height,
                           turned(VideoStream->sample_aspect_ratio), turned(ShownAspect), Width, Height);
  rect.Left += Left;
  rect.Top += Top;
  {
    std::lock_guard<std::mutex> guard(RectLock);
    LastRect = rect;
  }
  lib::SDL_SetRenderDrawColor(Renderer, 0, 0, 0, 255);
  lib::SDL_RenderClear(Renderer);
  if (Turn.None()) {
    const SDL_Rect target{rect.Left, rect.Top, rect.Width, rect.Height};
    lib::SDL_RenderCopy(Renderer, Pict.Overlay, nullptr, &target);
  } else {
    // SDL mirrors the texture, then turns it clockwise about the middle of
    // the rectangle it is drawn into.
    const TDisplayRect texture = TextureRectBeforeTurn(rect, Turn);
    const SDL_Rect target{texture.Left, texture.Top, texture.Width, texture.Height};
    lib::SDL_RenderCopyEx(Renderer, Pict.Overlay, nullptr, &target, Turn.Rotation, nullptr,
                          Turn.Mirrored ? SDL_FLIP_HORIZONTAL : SDL_FLIP_NONE);
  }
  lib::SDL_RenderPresent(Renderer);
}

void TPlayback::DisplayWaveform() {
  if (Renderer == nullptr || AudioChannels <= 0 || Width <= 0 || Height <= 0) return;
  const int channels = AudioChannels;
  const int width = Width;
  std::vector<int16_t> samples(static_cast<size_t>(width) * channels);
  {
    std::lock_guard<std::mutex> guard(WaveLock);
    int start;
    if (!Paused) {
      // The newest sample the device has played, less half a screen.
      int64_t pending = AudioPendingBytes / (2 * channels);
      const int64_t callbackTime = AudioCallbackTime;
      if (callbackTime != 0) pending += (lib::av_gettime() - callbackTime) * AudioRate / 1000000;
      pending = std::max<int64_t>(pending - width / 2, width);
      const int64_t x = SampleArrayIndex - pending * channels;
      const int origin = static_cast<int>(((x % kSampleArraySize) + kSampleArraySize) % kSampleArraySize);
      // A rising edge near that point keeps the picture still.
      start = origin;
      int best = INT_MIN;
      for (int i = 0; i < 1000; i += channels) {
        const int index = (kSampleArraySize + origin - i) % kSampleArraySize;
        const int a = SampleArray[index];
        const int b = SampleArray[(index + 4 * channels) % kSampleArraySize];
        const int c = SampleArray[(index + 5 * channels) % kSampleArraySize];
        const int d = SampleArray[(index + 9 * channels) % kSampleArraySize];
        const int score = a - d;
        if (best < score && (b ^ c) < 0) {
          best = score;
          start = index;
        }
      }
      LastIStart = start;
    } else {
      start = LastIStart;
    }
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = SampleArray[(start + i) % kSampleArraySize];
  }

  lib::SDL_SetRenderDrawColor(Renderer, 0, 0, 0, 255);
  lib::SDL_RenderClear(Renderer);
  lib::SDL_SetRenderDrawColor(Renderer, 255, 255, 255, 255);
  const int band = Height / channels;
  const int half = band * 9 / 20;
  for (int ch = 0; ch < channels; ++ch) {
    const int centre = Top + ch * band + band / 2;
    for (int x = 0; x < width; ++x) {
      int length = (samples[static_cast<size_t>(x) * channels + ch] * half) >> 15;
      int top = centre;
      if (length < 0) {
        length = -length;
        top = centre - length;
      }
      if (length == 0) continue;
      const SDL_Rect line{Left + x, top, 1, length};
      lib::SDL_RenderFillRect(Renderer, &line);
    }
  }
  for (int ch = 1; ch < channels; ++ch) {
    const SDL_Rect line{Left, Top + ch * band, width, 1};
    lib::SDL_RenderFillRect(Renderer, &line);
  }
  lib::SDL_RenderPresent(Renderer);
}

// ---- Refresh ----

void TPlayback::ScheduleRefresh(int ADelayMs) {
  lib::SDL_AddTimer(static_cast<Uint32>(std::max(ADelayMs, 1)), RefreshTimer,
                    reinterpret_cast<void*>(static_cast<uintptr_t>(Id)));
}

void TPlayback::RefreshStep() {
  if (VideoStream != nullptr) {
    std::unique_lock<std::mutex> lock(PictLock);
    if (Paused) {
      // The picture on screen stays while paused; the queued one waits.
      lock.unlock();
      ScheduleRefresh(10);
    } else if (PictQSize == 0) {
      lock.unlock();
      ScheduleRefresh(1);
    } else {
      const double pts = Pict.PTS;
      ShownAspect = Pict.SampleAspect;
      const bool audioMaster = AudioStream != nullptr;
      const double master = audioMaster ? AudioClockValue() : 0;
      double delay;
      {
        std::lock_guard<std::mutex> guard(ClockLock);
        CurrentPTS = pts;
        CurrentPTSTime = lib::av_gettime();
        delay = NextRefreshDelay(Timing, pts, audioMaster, master, CurrentPTSTime / 1000000.0);
      }
      ScheduleRefresh(static_cast<int>(std::lround(delay * 1000)));
      if (Pict.Overlay != nullptr)
        lib::SDL_UpdateYUVTexture(Pict.Overlay, nullptr, Pict.Data[0], Pict.LineSize[0], Pict.Data[1], Pict.LineSize[1],
                                  Pict.Data[2], Pict.LineSize[2]);
      DisplayPicture();
      PictRIndex = 0;  // one slot
      --PictQSize;
      PictCond.notify_all();
    }
  } else if (AudioStream != nullptr) {
    ScheduleRefresh(40);
    Display();
  } else {
    ScheduleRefresh(100);
  }
  ReportPosition();
}

void TPlayback::ReportPosition() {
  if (ImageSequence) return;
  int64_t position;
  if (VideoStream != nullptr)
    position = std::llround(VideoClockValue() * 1000000.0) - StartTime;
  else if (AudioStream != nullptr)
    position = std::llround(AudioClockValue() * 1000000.0) - StartTime;
  else
    return;
  bool atEnd = false;
  if (Duration > 0 && position >= Duration) {
    position = Duration;
    atEnd = true;
  }
  // At the end the duration is reported once, not on every step.
  if (!PositionReported || std::llabs(position - LastPosition) > 10000 || (atEnd && LastPosition != position)) {
    PositionReported = true;
    LastPosition = position;
    TCustomPlayer* player = Player;
    RunInMainThread([player, position] {
      if (player->OnPosition) player->OnPosition(player, position);
    });
  }
  // The end: everything read has been taken by the decoders.
  if (AudioQueue.Count() == 0 && VideoQueue.Count() == 0 && !CaptureDevice && ((EndOfFile && !ReadInProgress) || atEnd))
    Player->DoState(psEnd);
}
