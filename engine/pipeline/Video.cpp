// The video output path: the hook stage of every decoded picture, then per
// video output stream frame-rate synchronisation, crop, scale, pad,
// encoding with the post hooks, and the video statistics.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/RunTables.h"
#include "engine/pipeline/Scaler.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/MyUtil.h"
#include "runtime/lib/SwScale.h"

namespace {

void LogError(TCustomFFmpeg* AEngine, const std::string& AText) { FFLoggerInstance()->Log(AEngine, llError, AText); }

TFramePicture PictureOf(AVFrame* AFrame) {
  TFramePicture picture{};
  for (int i = 0; i < 4; ++i) {
    picture.data[i] = AFrame->data[i];
    picture.linesize[i] = AFrame->linesize[i];
  }
  return picture;
}

// Fills the whole picture with the pad colour (Y, U, V of a YUV format;
// black for others).
void FillPadColour(AVFrame* AFrame, const int AColour[3]) {
  const AVPixFmtDescriptor* desc = lib::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(AFrame->format));
  const bool yuv = desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3 &&
                   (desc->flags & AV_PIX_FMT_FLAG_PLANAR) && desc->comp[0].depth == 8;
  if (!yuv) {
    ptrdiff_t lines[4] = {AFrame->linesize[0], AFrame->linesize[1], AFrame->linesize[2], AFrame->linesize[3]};
    lib::av_image_fill_black(AFrame->data, lines, static_cast<AVPixelFormat>(AFrame->format), AVCOL_RANGE_MPEG,
                             AFrame->width, AFrame->height);
    return;
  }
  for (int plane = 0; plane < 3; ++plane) {
    const int shiftW = plane ? desc->log2_chroma_w : 0, shiftH = plane ? desc->log2_chroma_h : 0;
    const int w = -((-AFrame->width) >> shiftW), h = -((-AFrame->height) >> shiftH);
    for (int y = 0; y < h; ++y)
      std::memset(AFrame->data[plane] + static_cast<ptrdiff_t>(y) * AFrame->linesize[plane], AColour[plane],
                  static_cast<size_t>(w));
  }
}

// Plane pointers of the area of AFrame that starts at ATop, ALeft.
bool InnerArea(const AVFrame* AFrame, int ATop, int ALeft, uint8_t* AData[4], int ALineSize[4]) {
  const AVPixFmtDescriptor* desc = lib::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(AFrame->format));
  if (!desc || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) return false;
  for (int p = 0; p < 4; ++p) {
    AData[p] = nullptr;
    ALineSize[p] = 0;
  }
  int planes = 0;
  for (int c = 0; c < desc->nb_components; ++c) planes = std::max(planes, desc->comp[c].plane + 1);
  for (int p = 0; p < planes; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int shiftW = chroma ? desc->log2_chroma_w : 0, shiftH = chroma ? desc->log2_chroma_h : 0;
    int step = 1;
    for (int c = 0; c < desc->nb_components; ++c)
      if (desc->comp[c].plane == p) step = desc->comp[c].step;
    // An odd offset into a subsampled plane is rounded down.
    AData[p] = AFrame->data[p] + static_cast<ptrdiff_t>(ATop >> shiftH) * AFrame->linesize[p] +
               static_cast<ptrdiff_t>(ALeft >> shiftW) * step;
    ALineSize[p] = AFrame->linesize[p];
  }
  return true;
}

// FMaxFrames of video.
constexpr int kVideo = 0;

// Every encoded picture lasts one tick of the encoder's time base (the
// inverse of the output frame rate). The video encoders leave the packet
// duration unset, and a muxer that keeps an edit list (MP4, 3GP, MOV) then
// gives the last picture - the only one of a still - no time, so players
// skip it.
void SetPictureDuration(AVPacket* APacket) {
  if (APacket->duration <= 0) APacket->duration = 1;
}

// A copy of AFrame, its picture in new buffers of ACopy and its
// properties; false when the buffers cannot be had.
bool CopyPicture(AVFrame* ACopy, const AVFrame* AFrame) {
  lib::av_frame_unref(ACopy);
  ACopy->format = AFrame->format;
  ACopy->width = AFrame->width;
  ACopy->height = AFrame->height;
  if (lib::av_frame_get_buffer(ACopy, 0) < 0 || lib::av_frame_copy(ACopy, AFrame) < 0) return false;
  lib::av_frame_copy_props(ACopy, AFrame);
  return true;
}

void SetCropBands(AVFrame* AFrame, const TOutputStreamState& AOutput) {
  AFrame->crop_top = static_cast<size_t>(AOutput.TopBand);
  AFrame->crop_bottom = static_cast<size_t>(AOutput.BottomBand);
  AFrame->crop_left = static_cast<size_t>(AOutput.LeftBand);
  AFrame->crop_right = static_cast<size_t>(AOutput.RightBand);
}

// APicture with the pads around it has the encoder's size and format.
bool FitsEncoder(const TOutputStreamState& AOutput, const AVFrame* APicture) {
  const AVCodecContext* enc = AOutput.Encoder;
  return APicture->width + AOutput.PadLeft + AOutput.PadRight == enc->width &&
         APicture->height + AOutput.PadTop + AOutput.PadBottom == enc->height && APicture->format == enc->pix_fmt;
}

// A scaler for an output that planned none, and the picture of the
// encoder's size it scales into; the scaler itself is made for the first
// picture.
void AddScaler(TOutputStreamState& AOutput) {
  AOutput.VideoResample = 1;
  AOutput.ResampleWidth = AOutput.ResampleHeight = -1;  // forces a new scaler
  // InitialWidth and InitialHeight stay the input's size at set-up: the
  // crop bands of the new size are in proportion to it.
  if (!AOutput.ScaledPicture) AOutput.AllocScaledPicture();
}

// The output's scaler was made for pictures of AFrame's size (less the crop
// bands) and format.
bool ScalerFits(const TOutputStreamState& AOutput, const AVFrame* AFrame) {
  return AFrame->height - AOutput.TopBand - AOutput.BottomBand == AOutput.ResampleHeight &&
         AFrame->width - AOutput.LeftBand - AOutput.RightBand == AOutput.ResampleWidth &&
         AFrame->format == AOutput.ResamplePixFmt && AOutput.ScalerContext != nullptr;
}

// The crop bands for the new size of AFrame, in proportion to the
// configured bands at the input's size at set-up; a cropped APicture is
// cropped again with them.
void RescaleCropBands(TOutputStreamState& AOutput, const AVFrame* AFrame, AVFrame* APicture) {
  auto even = [](int AValue) { return AValue & ~1; };
  const int height = AFrame->height, width = AFrame->width;
  AOutput.TopBand = even(height * AOutput.ConfiguredTopBand / AOutput.InitialHeight);
  AOutput.BottomBand = even(height * AOutput.ConfiguredBottomBand / AOutput.InitialHeight);
  AOutput.LeftBand = even(width * AOutput.ConfiguredLeftBand / AOutput.InitialWidth);
  AOutput.RightBand = even(width * AOutput.ConfiguredRightBand / AOutput.InitialWidth);
  if (APicture == AFrame) return;
  lib::av_frame_unref(APicture);
  lib::av_frame_ref(APicture, AFrame);
  SetCropBands(APicture, AOutput);
  lib::av_frame_apply_cropping(APicture, AV_FRAME_CROP_UNALIGNED);
}

}  // namespace

void TCustomFFmpeg::DecideHookAction(int64_t APts) {
  if (FOnBeforeHook) {
    try {
      FOnBeforeHook(this, APts, FHookAction);
    } catch (const std::exception& e) {
      LogError(this, std::string("Error occurs OnBeforeHook: ") + e.what());
      FHookAction = haStop;
    }
    if (FHookAction == haStop) FSettings.Run.FUsingVhook = false;
    return;
  }
  if (FHookRangeCount <= 0) return;
  FHookAction = haIgnore;
  for (int i = FHookRangeIndex; i < FHookRangeCount; ++i) {
    const THookRange& range = FSettings.Run.FHookRanges[static_cast<size_t>(i)];
    if (range.Start <= APts && APts <= range.End) {
      FHookRangeIndex = i;
      FHookAction = haContinue;
      break;
    }
    if (i == FHookRangeCount - 1 && APts > range.End) {
      FHookAction = haStop;
      FSettings.Run.FUsingVhook = false;
    }
  }
}

void TCustomFFmpeg::RunCustomHook(AVFrame* APicture, int64_t APts) {
  THookState& state = *FHookState;
  bool stop = false;
  if (!FrameToBitmap(state.Rgb, APicture->data, APicture->linesize, APicture->format, APicture->height,
                     APicture->width)) {
    LogError(this, "Cannot initialize the toRGB conversion context");
    stop = true;
  } else {
    bool update = true;
    {
      std::lock_guard<std::recursive_mutex> canvas(state.Rgb.Bitmap.Lock);
      try {
        FOnCustomHook(this, state.Rgb.Bitmap, FHookFrameNumber, APts, update, stop);
      } catch (const std::exception& e) {
        LogError(this, std::string("Error occurs OnCustomHook: ") + e.what());
        update = false;
      }
    }
    if (update && !BitmapToFrame(state.Rgb, APicture->data, APicture->linesize, APicture->format, APicture->height,
                                 APicture->width)) {
      LogError(this, "Cannot initialize the fromRGB conversion context");
      stop = true;
    }
  }
  if (stop) {
    FOnCustomHook = nullptr;
    FHookAction = haStop;
    FSettings.Run.FUsingVhook = false;
  }
}

void TCustomFFmpeg::PrepareVideoFrame(TTranscodeRun& /*ARun*/, TInputStreamState& AInput, AVFrame* AFrame) {
  ++FHookFrameNumber;
  const int64_t pts = AInput.Pts;
  if (!FOnCustomHook && FSettings.Run.FUsingVhook) DecideHookAction(pts);

  // The working copy the hooks change (the decoder's own picture stays
  // untouched: the decoder may still refer to it). Deinterlacing is one of
  // the input's picture corrections, done before.
  const bool hooking = FSettings.Run.FUsingVhook && FHookAction == haContinue;
  if (!FOnCustomHook && !hooking) return;
  AVFrame* work = FBuffers->Hooked;
  if (!CopyPicture(work, AFrame)) {
    LogError(this, "hook buf malloc error.");
    lib::av_frame_unref(work);
    return;
  }

  // The custom hook, or the hook modules.
  if (FOnCustomHook) {
    RunCustomHook(work, pts);
  } else if (hooking) {
    TFramePicture picture = PictureOf(work);
    ProcessFrameHooks(FHookState->Chain, &picture, work->format, work->width, work->height, pts);
  }

  // The picture goes on as the working copy.
  lib::av_frame_unref(AFrame);
  lib::av_frame_move_ref(AFrame, work);
}

int TCustomFFmpeg::SyncedPictureCount(const TTranscodeRun& ARun, TOutputStreamState& AOutput) {
  const double timeBase = av_q2d(AOutput.Encoder->time_base);
  const double syncPosition = InputSyncTime(AOutput) / timeBase;
  const int method = FSettings.Run.FVideoSyncMethod;
  const bool synced = method > 0 || (method < 0 && timeBase > 0.001);
  if (!synced) {
    AOutput.OutputTicks = std::llround(syncPosition);
    return 1;
  }
  const double vdelta = syncPosition - static_cast<double>(AOutput.OutputTicks);
  int n = 1;
  if (vdelta < -1.1) {
    n = 0;
  } else if (method == 2 ||
             (method < 0 && (FOutputFiles[AOutput.FileIndex]->Context->oformat->flags & AVFMT_VARIABLE_FPS))) {
    if (vdelta <= -0.6) {
      n = 0;
    } else if (vdelta > 0.6) {
      AOutput.OutputTicks = std::llround(syncPosition);
    }
  } else if (vdelta > 1.1) {
    n = PicturesForGap(ARun, AOutput, vdelta, syncPosition);
  }
  CountDroppedAndRepeated(n);
  return n;
}

int TCustomFFmpeg::PicturesForGap(const TTranscodeRun& ARun, TOutputStreamState& AOutput, double AGap,
                                  double ASyncPosition) {
  // A gap longer than the discontinuity threshold is not filled with
  // copies of one picture (an hour of them, for a clock that jumped):
  // the output's clock moves on to the picture instead. Before the first
  // picture the gap is a delay behind the sound, kept up to the length
  // the output is expected to have.
  const double timeBase = av_q2d(AOutput.Encoder->time_base);
  const double gapLimit = AOutput.FrameNumber == 0
                              ? ARun.LongestLeadIn(AOutput.FileIndex, FSettings.Run.FDtsDeltaThreshold)
                              : FSettings.Run.FDtsDeltaThreshold;
  if (AGap > gapLimit / timeBase) {
    if (FSettings.Run.FVerbose >= 0)
      FFLoggerInstance()->Log(this, llInfo,
                              Format("Output stream #%d.%d: a gap of %.1f s in the pictures is left open.",
                                     AOutput.FileIndex, AOutput.Index, AGap * timeBase));
    AOutput.OutputTicks = std::llround(ASyncPosition);
    return 1;
  }
  return static_cast<int>(std::lround(AGap));
}

void TCustomFFmpeg::CountDroppedAndRepeated(int ACount) {
  if (ACount == 0) {
    ++FFramesDrop;
    if (FSettings.Run.FVerbose > 2) FFLoggerInstance()->Log(this, llVerbose, "*** drop!");
  } else if (ACount > 1) {
    FFramesDup += ACount - 1;
    if (FSettings.Run.FVerbose > 2) FFLoggerInstance()->Log(this, llVerbose, Format("*** %d dup!", ACount - 1));
  }
}

int TCustomFFmpeg::LimitedPictureCount(const TOutputStreamState& AOutput, int ACount) const {
  // The frame limit, and the recording time: a picture that would start
  // at or after it is not written, whatever the other streams still need.
  const int n = std::min(ACount, FSettings.Video.FMaxFrames[kVideo] - AOutput.FrameNumber);
  if (FSettings.Mux.FRecordingTime == INT64_MAX || n <= 0) return n;
  const double timeBase = av_q2d(AOutput.Encoder->time_base);
  const double endTicks = static_cast<double>(FSettings.Mux.FRecordingTime) / 1000000.0 / timeBase;
  const double room = std::ceil(endTicks - static_cast<double>(AOutput.OutputTicks) - 1e-6);
  return static_cast<int>(std::clamp(room, 0.0, static_cast<double>(n)));
}

AVFrame* TCustomFFmpeg::CroppedPicture(const TOutputStreamState& AOutput, const AVFrame* AFrame) {
  AVFrame* cropped = FBuffers->Cropped;
  lib::av_frame_unref(cropped);
  bool ok = lib::av_frame_ref(cropped, AFrame) >= 0;
  if (ok) {
    SetCropBands(cropped, AOutput);
    ok = AOutput.TopBand + AOutput.BottomBand < AFrame->height &&
         AOutput.LeftBand + AOutput.RightBand < AFrame->width &&
         lib::av_frame_apply_cropping(cropped, AV_FRAME_CROP_UNALIGNED) >= 0;
  }
  if (ok) return cropped;
  lib::av_frame_unref(cropped);
  if (FSettings.Run.FExitOnError) throw FFmpegException("error cropping picture");
  LogError(this, "error cropping picture");
  return nullptr;
}

bool TCustomFFmpeg::PaddedArea(const TOutputStreamState& AOutput, AVFrame* AScaled, uint8_t* ATarget[4],
                               int ALineSize[4]) {
  if (!AOutput.VideoPad) {
    for (int p = 0; p < 4; ++p) {
      ATarget[p] = AScaled->data[p];
      ALineSize[p] = AScaled->linesize[p];
    }
    return true;
  }
  FillPadColour(AScaled, FSettings.Video.FPadColor);
  if (InnerArea(AScaled, AOutput.PadTop, AOutput.PadLeft, ATarget, ALineSize)) return true;
  if (FSettings.Run.FExitOnError) throw FFmpegException("error padding picture");
  LogError(this, "error padding picture");
  return false;
}

void TCustomFFmpeg::RenewScaler(TOutputStreamState& AOutput, const TInputStreamState& AInput, const AVFrame* AFrame,
                                AVFrame* APicture) {
  const int height = AFrame->height, width = AFrame->width;
  if (AOutput.ResampleWidth >= 0 && AOutput.ScalerContext)
    FFLoggerInstance()->Log(
        this, llQuiet,
        Format("Input Stream #%d.%d frame size changed to %dx%d, %s", AInput.FileIndex, AInput.Index, width, height,
               lib::av_get_pix_fmt_name(static_cast<AVPixelFormat>(AFrame->format))));
  if (AOutput.VideoCrop && AOutput.InitialHeight > 0 && AOutput.InitialWidth > 0)
    RescaleCropBands(AOutput, AFrame, APicture);
  AOutput.ResampleHeight = height - AOutput.TopBand - AOutput.BottomBand;
  AOutput.ResampleWidth = width - AOutput.LeftBand - AOutput.RightBand;
  AOutput.ResamplePixFmt = AFrame->format;
  if (AOutput.ScalerContext) lib::sws_freeContext(AOutput.ScalerContext);
  int64_t flags = FSettings.Run.FSwsFlags;
  if (FOptionStore.Scaler) lib::av_opt_get_int(FOptionStore.Scaler, "sws_flags", 0, &flags);
  FSettings.Run.FSwsFlags = static_cast<int>(flags);
  const AVCodecContext* enc = AOutput.Encoder;
  AOutput.ScalerContext =
      MakeScaler(AOutput.ResampleWidth, AOutput.ResampleHeight, AFrame->format,
                 enc->width - AOutput.PadLeft - AOutput.PadRight, enc->height - AOutput.PadTop - AOutput.PadBottom,
                 enc->pix_fmt, FSettings.Run.FSwsFlags, FSettings.Run.FThreadCount);
  if (!AOutput.ScalerContext) throw FFmpegException("Cannot get resampling context");
}

AVFrame* TCustomFFmpeg::ScaledAndPadded(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                                        const AVFrame* AFrame, AVFrame* APicture) {
  AVFrame* scaled = AOutput.ScaledPicture;
  // The encoder may still refer to the previous picture: write a fresh one.
  if (lib::av_frame_make_writable(scaled) < 0) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
  uint8_t* target[4];
  int targetLines[4];
  if (!PaddedArea(AOutput, scaled, target, targetLines)) return nullptr;
  if (AOutput.VideoResample) {
    if (!ScalerFits(AOutput, AFrame)) RenewScaler(AOutput, AInput, AFrame, APicture);
    if (!ScaleInto(AOutput.ScalerContext, APicture, scaled, target, targetLines))
      throw FFmpegException("Video encoding failed");
  } else {
    // Padding only: the picture is copied into the inner area.
    lib::av_image_copy(target, targetLines, const_cast<const uint8_t**>(APicture->data), APicture->linesize,
                       static_cast<AVPixelFormat>(APicture->format), APicture->width, APicture->height);
  }
  return scaled;
}

void TCustomFFmpeg::SetPictureForEncoder(AVFrame* APicture, const TOutputStreamState& AOutput,
                                         const TInputStreamState& AInput, const AVFrame* AFrame) const {
  const AVCodecContext* enc = AOutput.Encoder;
  APicture->pts = AOutput.OutputTicks;
  APicture->interlaced_frame = AFrame->interlaced_frame;
  if (enc->flags & (AV_CODEC_FLAG_INTERLACED_ME | AV_CODEC_FLAG_INTERLACED_DCT))
    APicture->top_field_first =
        FSettings.Video.FTopFieldFirst == -1 ? AFrame->top_field_first : FSettings.Video.FTopFieldFirst;
  if (enc->flags & AV_CODEC_FLAG_QSCALE)
    APicture->quality =
        FSettings.Video.FSameQuality ? static_cast<int>(std::lround(AInput.Quality)) : enc->global_quality;
  if (!FSettings.Video.FMeThreshold) APicture->pict_type = AV_PICTURE_TYPE_NONE;
  APicture->sample_aspect_ratio = enc->sample_aspect_ratio;
}

int TCustomFFmpeg::WriteVideoPackets(TOutputStreamState& AOutput) {
  AVCodecContext* enc = AOutput.Encoder;
  AVPacket* packet = FBuffers->Encoded;
  int lastSize = -1;
  for (;;) {
    const int received = lib::avcodec_receive_packet(enc, packet);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
    if (received < 0) throw FFmpegException("Video encoding failed");
    lastSize = packet->size;
    FVideoSize += packet->size;
    NoteEncodedVideoPacket(AOutput, packet);
    packet->stream_index = AOutput.Index;
    SetPictureDuration(packet);
    lib::av_packet_rescale_ts(packet, enc->time_base, AOutput.Stream->time_base);
    WriteOutputPacket(FOutputFiles[AOutput.FileIndex]->Context, AOutput, packet);
  }
  return lastSize;
}

int TCustomFFmpeg::EncodePicture(TOutputStreamState& AOutput, const TInputStreamState& AInput, const AVFrame* AFrame,
                                 const AVFrame* APicture, int ACount) {
  AVCodecContext* enc = AOutput.Encoder;
  AVFrame* picture = FBuffers->VideoOut;
  int encodedSize = 0;
  for (int i = 0; i < ACount && !FStopRequested; ++i) {
    lib::av_frame_unref(picture);
    if (lib::av_frame_ref(picture, APicture) < 0) throw FFmpegException("Video encoding failed");
    SetPictureForEncoder(picture, AOutput, AInput, AFrame);
    const int sent = lib::avcodec_send_frame(enc, picture);
    if (sent < 0 && sent != AVERROR(EAGAIN)) throw FFmpegException("Video encoding failed");
    if (FPreviewFlags != 0) DoPostHooks(picture, enc);
    lib::av_frame_unref(picture);
    const int written = WriteVideoPackets(AOutput);
    if (written >= 0) encodedSize = written;
    ++AOutput.OutputTicks;
    ++AOutput.FrameNumber;
  }
  return encodedSize;
}

int TCustomFFmpeg::EncodeVideoFrame(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                                    AVFrame* AFrame) {
  const int n = LimitedPictureCount(AOutput, SyncedPictureCount(ARun, AOutput));
  if (n <= 0) return 0;
  const bool filtered = FSettings.Video.FUseFilters;  // a filter graph crops, scales and pads itself

  AVFrame* formatted = AFrame;
  if (!filtered && AOutput.VideoCrop) {
    formatted = CroppedPicture(AOutput, AFrame);
    if (!formatted) return 0;
  }
  // A picture that differs from what the encoder takes although no scaler
  // was planned (a source whose size or format changes) gets one now.
  if (!filtered && !AOutput.VideoResample && !FitsEncoder(AOutput, formatted)) AddScaler(AOutput);

  // Scale and pad into the picture of the encoder's size.
  AVFrame* final = formatted;
  if (!filtered && (AOutput.VideoResample || AOutput.VideoPad)) {
    final = ScaledAndPadded(AOutput, AInput, AFrame, formatted);
    if (!final) return 0;
  }
  return EncodePicture(AOutput, AInput, AFrame, final, n);
}

void TCustomFFmpeg::NoteEncodedVideoPacket(TOutputStreamState& AOutput, const AVPacket* APacket) {
  size_t size = 0;
  const uint8_t* stats = lib::av_packet_get_side_data(APacket, AV_PKT_DATA_QUALITY_STATS, &size);
  if (stats && size >= 5) {
    int32_t quality;
    std::memcpy(&quality, stats, sizeof quality);
    AOutput.LastQuality = static_cast<float>(quality);
    AOutput.LastPictType = lib::av_get_picture_type_char(static_cast<AVPictureType>(stats[4]));
    const int errors = size >= 6 ? stats[5] : 0;
    for (int p = 0; p < 3 && p < errors && size >= 8 + 8 * static_cast<size_t>(p + 1); ++p) {
      uint64_t error;
      std::memcpy(&error, stats + 8 + 8 * static_cast<ptrdiff_t>(p), sizeof error);
      AOutput.LastError[p] = error;
      AOutput.Error[p] += error;
    }
  }
  AVCodecContext* enc = AOutput.Encoder;
  if (AOutput.LogFile && enc->stats_out) lib::my_fprintf(AOutput.LogFile, "%s", enc->stats_out);
}

void TCustomFFmpeg::FlushVideoEncoder(TTranscodeRun& /*ARun*/, TOutputStreamState& AOutput) {
  AVCodecContext* enc = AOutput.Encoder;
  if (!enc || !AOutput.EncodingNeeded || !lib::avcodec_is_open(enc)) return;
  const int sent = lib::avcodec_send_frame(enc, nullptr);
  if (sent < 0 && sent != AVERROR_EOF) throw FFmpegException("Video encoding failed");
  WriteVideoPackets(AOutput);
}

void TCustomFFmpeg::DoPostHooks(AVFrame* APicture, AVCodecContext* AEncoder) {
  TServingLock<std::recursive_mutex> guard(PreviewLock());
  uint8_t flags = FPreviewFlags;
  TPreviewState& state = *FPreviewState;
  const int64_t now = lib::av_gettime();
  const bool due = now - state.LastPreviewTime > FPreviewInterval;
  const int64_t pts = APicture->pts == AV_NOPTS_VALUE
                          ? AV_NOPTS_VALUE
                          : lib::av_rescale_q(APicture->pts, AEncoder->time_base, AV_TIME_BASE_Q);
  if ((flags & 2) && FOnPreviewBitmap) {
    if (due) {
      if (FrameToBitmap(state.Rgb, APicture->data, APicture->linesize, APicture->format, APicture->height,
                        APicture->width)) {
        FOnPreviewBitmap(this, state.Rgb.Bitmap, FHookFrameNumber, pts);
      } else {
        LogError(this, "Cannot initialize the toRGB conversion context");
        flags &= static_cast<uint8_t>(~2);
      }
      state.LastPreviewTime = now;
    }
  } else if (flags & 1) {
    if (due) {
      bool keep = false;
      if (FrameToBitmap(state.Rgb, APicture->data, APicture->linesize, APicture->format, APicture->height,
                        APicture->width)) {
        if (!state.Window) state.Window = CreatePreviewer();
        keep = state.Window && state.Window->ShowFrame(state.Rgb.Bitmap, FHookFrameNumber, pts);
      } else {
        LogError(this, "Cannot initialize the toRGB conversion context");
      }
      if (!keep) flags &= static_cast<uint8_t>(~1);
      state.LastPreviewTime = now;
    }
  }
  SetPreviewFlags(flags);
}

void TCustomFFmpeg::WriteVideoStats(TOutputStreamState& AOutput, int AEncodedSize) {
  AVCodecContext* enc = AOutput.Encoder;
  if (!enc || enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  if (!FVstatsFile) {
    FVstatsFile = lib::my_fopen(FSettings.Run.FVstatsFileName.c_str(), "w");
    if (!FVstatsFile) throw FFmpegException("fopen fail: " + FSettings.Run.FVstatsFileName);
  }
  const double quality = AOutput.LastQuality < 0 ? 0 : AOutput.LastQuality / 118.0;
  lib::my_fprintf(FVstatsFile, "frame= %5d q= %2.1f ", AOutput.FrameNumber, quality);
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    lib::my_fprintf(FVstatsFile, "PSNR= %6.2f ",
                    AOutput.LastError[0] > 0
                        ? -10.0 * std::log10(static_cast<double>(AOutput.LastError[0]) /
                                             (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0))
                        : 99.99);
  lib::my_fprintf(FVstatsFile, "f_size= %6d ", AEncodedSize);
  double t = static_cast<double>(AOutput.OutputTicks) * av_q2d(enc->time_base);
  if (t < 0.01) t = 0.01;
  const double timeBase = av_q2d(enc->time_base);
  lib::my_fprintf(FVstatsFile, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                  static_cast<double>(FVideoSize) / 1024, t, AEncodedSize * 8 / timeBase / 1000,
                  static_cast<double>(FVideoSize) * 8 / t / 1000);
  lib::my_fprintf(FVstatsFile, "type= %c\n", AOutput.LastPictType ? AOutput.LastPictType : '?');
}
