// Decoding one packet of an input stream (or passing it through for a
// stream copy) and handing the result to every output stream it feeds.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/PictureCorrections.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"

namespace {

template <class T>
void ScaleSamples(uint8_t* AData, size_t ACount, int AVolume, T ALow, T AHigh) {
  T* samples = reinterpret_cast<T*>(AData);
  for (size_t i = 0; i < ACount; ++i) {
    int64_t v = (static_cast<int64_t>(samples[i]) * AVolume + 128) >> 8;
    samples[i] = static_cast<T>(v < ALow ? ALow : (v > AHigh ? AHigh : v));
  }
}

template <class T>
void ScaleFloatSamples(uint8_t* AData, size_t ACount, int AVolume) {
  T* samples = reinterpret_cast<T*>(AData);
  const T factor = static_cast<T>(AVolume) / static_cast<T>(256);
  for (size_t i = 0; i < ACount; ++i) {
    T v = samples[i] * factor;
    samples[i] = v < T(-1) ? T(-1) : (v > T(1) ? T(1) : v);
  }
}

// The volume scaling of decoded audio: 256 leaves it unchanged; integer
// samples become (sample * volume + 128) >> 8, clamped to their range.
void ApplyVolume(AVFrame* AFrame, int AVolume) {
  const AVSampleFormat format = static_cast<AVSampleFormat>(AFrame->format);
  const bool planar = lib::av_sample_fmt_is_planar(format);
  const int planes = planar ? AFrame->ch_layout.nb_channels : 1;
  const size_t count = static_cast<size_t>(AFrame->nb_samples) * (planar ? 1 : AFrame->ch_layout.nb_channels);
  for (int p = 0; p < planes; ++p) {
    uint8_t* data = AFrame->extended_data[p];
    switch (lib::av_get_packed_sample_fmt(format)) {
      case AV_SAMPLE_FMT_U8: {
        for (size_t i = 0; i < count; ++i) {
          int v = ((static_cast<int>(data[i]) - 128) * AVolume + 128) >> 8;
          data[i] = static_cast<uint8_t>(std::clamp(v, -128, 127) + 128);
        }
        break;
      }
      case AV_SAMPLE_FMT_S16:
        ScaleSamples<int16_t>(data, count, AVolume, -32768, 32767);
        break;
      case AV_SAMPLE_FMT_S32:
        ScaleSamples<int32_t>(data, count, AVolume, INT32_MIN, INT32_MAX);
        break;
      case AV_SAMPLE_FMT_FLT:
        ScaleFloatSamples<float>(data, count, AVolume);
        break;
      case AV_SAMPLE_FMT_DBL:
        ScaleFloatSamples<double>(data, count, AVolume);
        break;
      default:
        break;
    }
  }
}

// Microseconds of one picture of AStream (with the repeat count of AFrame).
int64_t FrameDuration(const AVStream* AStream, const AVCodecContext* ADecoder, const AVFrame* AFrame) {
  AVRational rate = ADecoder && ADecoder->framerate.num > 0 ? ADecoder->framerate : AStream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AStream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) {
    const int repeat = AFrame ? AFrame->repeat_pict : 0;
    return static_cast<int64_t>(1000000.0 * rate.den / rate.num * (1.0 + repeat * 0.5));
  }
  return 0;
}

// Microseconds of a decoded frame: its best-effort timestamp, else the
// stream's clock.
int64_t FrameTime(const AVFrame* AFrame, const AVStream* AStream, int64_t AClock) {
  if (AFrame->best_effort_timestamp == AV_NOPTS_VALUE) return AClock;
  return lib::av_rescale_q(AFrame->best_effort_timestamp, AStream->time_base, AV_TIME_BASE_Q);
}

// Drops the first ASamples samples of a decoded audio frame (only its own
// plane pointers move; the buffers are the decoder's).
void SkipLeadingSamples(AVFrame* AFrame, int ASamples) {
  const AVSampleFormat format = static_cast<AVSampleFormat>(AFrame->format);
  const bool planar = lib::av_sample_fmt_is_planar(format);
  const int channels = AFrame->ch_layout.nb_channels;
  const size_t bytes = static_cast<size_t>(ASamples) * lib::av_get_bytes_per_sample(format) * (planar ? 1 : channels);
  for (int p = 0; p < (planar ? channels : 1); ++p) {
    AFrame->extended_data[p] += bytes;
    if (p < AV_NUM_DATA_POINTERS) AFrame->data[p] = AFrame->extended_data[p];
  }
  AFrame->nb_samples -= ASamples;
}

// Read-rate emulation: the data of AInput is handed on no earlier than its
// time after the start of the run.
void EmulateReadRate(bool AOn, const TInputStreamState& AInput) {
  if (!AOn) return;
  const int64_t wait = AInput.Pts - (lib::av_gettime() - AInput.StartTime);
  if (wait > 1000) std::this_thread::sleep_for(std::chrono::microseconds(wait));
}

// The output streams AInput feeds, in table order.
template <class F>
void ForEachOutputOf(TTranscodeRun& ARun, const TInputStreamState& AInput, F AFunction) {
  for (auto& ost : ARun.OutputStreams)
    if (ARun.InputStreams[ost->SourceIndex].get() == &AInput) AFunction(*ost);
}

// The clock of AInput has reached the start time (0: no start time).
bool AtOrAfterStart(int64_t AStartTime, const TInputStreamState& AInput) {
  return AStartTime == 0 || AInput.Pts >= AStartTime;
}

// The clock of AInput at a frame its decoder gave, and the clock of the
// frame after it.
void SetClockOfFrame(TInputStreamState& AInput, const AVFrame* AFrame) {
  const AVMediaType type = AInput.Stream->codecpar->codec_type;
  AInput.Pts = AInput.NextPts;
  if (type == AVMEDIA_TYPE_AUDIO && !AInput.ClockFromFrame) {
    AInput.ClockFromFrame = true;
    AInput.Pts = AInput.NextPts = FrameTime(AFrame, AInput.Stream, AInput.Pts);
  }
  // A picture keeps its own time: a decoder that holds pictures back
  // (frame threads) gives them out after later packets moved the clock.
  if (type == AVMEDIA_TYPE_VIDEO) AInput.Pts = AInput.NextPts = FrameTime(AFrame, AInput.Stream, AInput.Pts);
  if (type == AVMEDIA_TYPE_AUDIO && AFrame->sample_rate > 0)
    AInput.NextPts += static_cast<int64_t>(AFrame->nb_samples) * 1000000 / AFrame->sample_rate;
}

// Stream copy: the clock advances by the packet's duration.
void AdvanceCopyClock(TInputStreamState& AInput, const AVPacket* APacket) {
  const AVStream* stream = AInput.Stream;
  const AVMediaType type = stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO && stream->codecpar->sample_rate > 0 && stream->codecpar->frame_size > 0)
    AInput.NextPts += static_cast<int64_t>(stream->codecpar->frame_size) * 1000000 / stream->codecpar->sample_rate;
  else if (type == AVMEDIA_TYPE_VIDEO && FrameDuration(stream, nullptr, nullptr) > 0)
    AInput.NextPts += FrameDuration(stream, nullptr, nullptr);
  else if (APacket->duration > 0)
    AInput.NextPts += lib::av_rescale_q(APacket->duration, stream->time_base, AV_TIME_BASE_Q);
}

}  // namespace

TPictureCorrections* TCustomFFmpeg::PictureCorrectionsFor(TInputStreamState& AInput, const AVFrame* AFirst) {
  if (AInput.CorrectionsDecided) return AInput.Corrections.get();
  AInput.CorrectionsDecided = true;
  TCorrectionPlan plan = AInput.CorrectionPlan;
  // A picture marked interlaced where the stream did not say so.
  if (plan.Deinterlace == TCorrectionPlan::diNone && AInput.DeinterlaceAllowed && AFirst->interlaced_frame)
    plan.Deinterlace = TCorrectionPlan::diMarked;
  if (!plan.Any()) return nullptr;
  auto corrections = std::make_unique<TPictureCorrections>(plan, FSettings.Run.FThreadCount);
  std::string error;
  const std::string stream = Format("Input stream #%d.%d", AInput.FileIndex, AInput.Index);
  if (!corrections->Open(AFirst, AInput.Stream->time_base, error)) {
    FFLoggerInstance()->Log(
        this, llError, Format("%s: its pictures cannot be %s: %s", stream.c_str(), plan.Text().c_str(), error.c_str()));
    return nullptr;
  }
  if (FSettings.Run.FVerbose >= 0)
    FFLoggerInstance()->Log(this, llInfo, Format("%s: its pictures are %s.", stream.c_str(), plan.Text().c_str()));
  AInput.Corrections = std::move(corrections);
  return AInput.Corrections.get();
}

void TCustomFFmpeg::CorrectAndDispatchPicture(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* APicture) {
  TPictureCorrections* corrections = APicture ? PictureCorrectionsFor(AInput, APicture) : AInput.Corrections.get();
  if (!corrections) {
    if (APicture) DispatchPicture(ARun, AInput, APicture);
    return;
  }
  if (APicture) APicture->pts = APicture->best_effort_timestamp;
  if (corrections->Send(APicture) < 0) {
    // Pictures that the graph does not take (their size or format changed)
    // go on as they are.
    if (APicture) DispatchPicture(ARun, AInput, APicture);
    return;
  }
  AVFrame* corrected = FBuffers->Corrected;
  const int64_t clock = AInput.Pts;
  while (corrections->Receive(corrected) >= 0) {
    // A picture held back by the deinterlacer keeps its own time.
    if (corrected->pts != AV_NOPTS_VALUE)
      AInput.Pts = lib::av_rescale_q(corrected->pts, corrections->TimeBase(), AV_TIME_BASE_Q);
    DispatchPicture(ARun, AInput, corrected);
    lib::av_frame_unref(corrected);
    AInput.Pts = clock;
  }
}

void TCustomFFmpeg::DispatchPicture(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* APicture) {
  PrepareVideoFrame(ARun, AInput, APicture);
  EmulateReadRate(FSettings.Run.FRateEmu, AInput);
  if (!AtOrAfterStart(FSettings.Mux.FStartTime, AInput)) return;
  // Each encoding output stream the input feeds gets the picture.
  auto encode = [&](AVFrame* AFrame, bool ATakeAspect) {
    ForEachOutputOf(ARun, AInput, [&](TOutputStreamState& AOutput) {
      if (!AOutput.EncodingNeeded) return;
      if (ATakeAspect && AFrame->sample_aspect_ratio.num)
        AOutput.Encoder->sample_aspect_ratio = AFrame->sample_aspect_ratio;
      const int size = EncodeVideoFrame(ARun, AOutput, AInput, AFrame);
      if (!FSettings.Run.FVstatsFileName.empty() && size > 0) WriteVideoStats(AOutput, size);
    });
  };
  if (FSettings.Video.FUseFilters && AInput.InputFilter && AInput.OutputFilter) {
    if (lib::av_buffersrc_add_frame_flags(AInput.InputFilter, APicture, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) return;
    if (!AInput.FilterPicture) AInput.FilterPicture = lib::av_frame_alloc();
    while (AInput.FilterPicture && lib::av_buffersink_get_frame(AInput.OutputFilter, AInput.FilterPicture) >= 0) {
      encode(AInput.FilterPicture, true);
      lib::av_frame_unref(AInput.FilterPicture);
    }
    return;
  }
  encode(APicture, false);
}

bool TCustomFFmpeg::BeforeStartPosition(TInputStreamState& AInput, AVFrame* AFrame) {
  const int64_t start = FInputFiles[AInput.FileIndex]->DropBefore;
  if (start == INT64_MIN) return false;
  const int64_t time = FrameTime(AFrame, AInput.Stream, AInput.Pts);
  if (AInput.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    // The picture at the start position is the first one shown: a start
    // that falls a little after a picture's time (a position rounded to
    // milliseconds) still keeps that picture.
    const int64_t duration = FrameDuration(AInput.Stream, AInput.Decoder, AFrame);
    return time + duration / 2 <= start;
  }
  if (AFrame->sample_rate <= 0 || time >= start) return false;
  const int64_t skip = lib::av_rescale(start - time, AFrame->sample_rate, AV_TIME_BASE);
  if (skip >= AFrame->nb_samples) return true;
  if (skip > 0) {
    SkipLeadingSamples(AFrame, static_cast<int>(skip));
    AInput.Pts += lib::av_rescale(skip, AV_TIME_BASE, AFrame->sample_rate);  // the clock of the samples kept
  }
  return false;
}

int TCustomFFmpeg::DecodeSubtitlePacket(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket) {
  if (!APacket) return 0;  // subtitle decoders hold nothing back worth draining here
  AVSubtitle subtitle{};
  int got = 0;
  AVPacket* copy = lib::av_packet_clone(APacket);
  const int result = copy ? lib::avcodec_decode_subtitle2(AInput.Decoder, &subtitle, &got, copy) : AVERROR(ENOMEM);
  lib::av_packet_free(&copy);
  if (result < 0) return -1;
  if (!got) return 0;
  if (AtOrAfterStart(FSettings.Mux.FStartTime, AInput))
    ForEachOutputOf(ARun, AInput, [&](TOutputStreamState& AOutput) {
      if (AOutput.EncodingNeeded) EncodeSubtitle(ARun, AOutput, AInput, &subtitle, APacket->pts);
    });
  lib::avsubtitle_free(&subtitle);
  return 0;
}

int TCustomFFmpeg::DecodeFrames(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket) {
  AVCodecContext* dec = AInput.Decoder;
  if (!dec->codec) return 0;
  const bool video = AInput.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  AVFrame* frame = FBuffers->Decoded;
  // A decoder that was drained already answers end of file: nothing more.
  int result = lib::avcodec_send_packet(dec, APacket);
  if (result < 0 && result != AVERROR_EOF && result != AVERROR(EAGAIN)) return -1;
  for (;;) {
    result = lib::avcodec_receive_frame(dec, frame);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
    if (result < 0) return -1;
    SetClockOfFrame(AInput, frame);
    // What lies before the start position was decoded only so that the
    // pictures and samples after it come out whole.
    if (BeforeStartPosition(AInput, frame)) {
      if (video) AInput.NextPts += FrameDuration(AInput.Stream, dec, frame);
      lib::av_frame_unref(frame);
      continue;
    }
    if (video) {
      AInput.Quality = frame->quality;
      AInput.NextPts += FrameDuration(AInput.Stream, dec, frame);
      CorrectAndDispatchPicture(ARun, AInput, frame);
    } else {
      DispatchSound(ARun, AInput, frame);
    }
    lib::av_frame_unref(frame);
  }
  // At the end of the input the corrections give back what they hold.
  if (!APacket && video) CorrectAndDispatchPicture(ARun, AInput, nullptr);
  return 0;
}

void TCustomFFmpeg::DispatchSound(TTranscodeRun& ARun, TInputStreamState& AInput, AVFrame* AFrame) {
  if (FSettings.Audio.FAudioVolume != 256) ApplyVolume(AFrame, FSettings.Audio.FAudioVolume);
  EmulateReadRate(FSettings.Run.FRateEmu, AInput);
  if (!AtOrAfterStart(FSettings.Mux.FStartTime, AInput)) return;
  ForEachOutputOf(ARun, AInput, [&](TOutputStreamState& AOutput) {
    if (AOutput.EncodingNeeded) EncodeAudioFrame(ARun, AOutput, AInput, AFrame);
  });
}

void TCustomFFmpeg::CopyPacket(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket) {
  AdvanceCopyClock(AInput, APacket);
  EmulateReadRate(FSettings.Run.FRateEmu, AInput);
  if (!AtOrAfterStart(FSettings.Mux.FStartTime, AInput)) return;
  ForEachOutputOf(ARun, AInput, [&](TOutputStreamState& AOutput) {
    if (AOutput.EncodingNeeded) return;
    // Leading packets that are no key frames are skipped.
    if (AOutput.FrameNumber == 0 && !(APacket->flags & AV_PKT_FLAG_KEY) && !FSettings.Run.FCopyInitialNonKeyframes)
      return;
    WriteCopiedPacket(AOutput, AInput, APacket);
  });
}

void TCustomFFmpeg::WriteCopiedPacket(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                                      const AVPacket* APacket) {
  // The output packet in the output stream's time base.
  const AVStream* stream = AInput.Stream;
  AVStream* os = AOutput.Stream;
  const int64_t startOffset = lib::av_rescale_q(FSettings.Mux.FStartTime, AV_TIME_BASE_Q, os->time_base);
  AVPacket* out = FBuffers->Encoded;
  if (lib::av_packet_ref(out, APacket) < 0) throw FFmpegException("av_mallocz fail");
  out->stream_index = AOutput.Index;
  out->pts = APacket->pts != AV_NOPTS_VALUE
                 ? lib::av_rescale_q(APacket->pts, stream->time_base, os->time_base) - startOffset
                 : AV_NOPTS_VALUE;
  out->dts = (APacket->dts != AV_NOPTS_VALUE ? lib::av_rescale_q(APacket->dts, stream->time_base, os->time_base)
                                             : lib::av_rescale_q(AInput.Pts, AV_TIME_BASE_Q, os->time_base)) -
             startOffset;
  out->duration = lib::av_rescale_q(APacket->duration, stream->time_base, os->time_base);
  const AVMediaType type = stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) {
    FAudioSize += out->size;
  } else if (type == AVMEDIA_TYPE_VIDEO) {
    FVideoSize += out->size;
    ++AOutput.OutputTicks;
  }
  WriteOutputPacket(FOutputFiles[AOutput.FileIndex]->Context, AOutput, out);
  ++AOutput.FrameNumber;
}

void TCustomFFmpeg::FlushEncodersOf(TTranscodeRun& ARun, const TInputStreamState& AInput) {
  ForEachOutputOf(ARun, AInput, [&](TOutputStreamState& AOutput) {
    if (!AOutput.EncodingNeeded || AOutput.Flushed) return;
    FlushEncoder(ARun, AOutput);
    AOutput.Flushed = true;
  });
}

void TCustomFFmpeg::FlushEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput) {
  if (AOutput.Encoder->codec_type == AVMEDIA_TYPE_AUDIO)
    FlushAudioEncoder(ARun, AOutput);
  else if (AOutput.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
    FlushVideoEncoder(ARun, AOutput);
}

int TCustomFFmpeg::DecodeAndDispatchPacket(TTranscodeRun& ARun, TInputStreamState& AInput, const AVPacket* APacket) {
  // The clock.
  if (AInput.NextPts == AV_NOPTS_VALUE) AInput.NextPts = AInput.Pts;
  if (APacket && APacket->dts != AV_NOPTS_VALUE)
    AInput.Pts = AInput.NextPts = lib::av_rescale_q(APacket->dts, AInput.Stream->time_base, AV_TIME_BASE_Q);

  const AVMediaType type = AInput.Stream->codecpar->codec_type;
  if (AInput.DecodingNeeded) {
    if (type == AVMEDIA_TYPE_SUBTITLE) return DecodeSubtitlePacket(ARun, AInput, APacket);
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return -1;
    // One packet may give zero or several frames; draining gives the rest.
    if (DecodeFrames(ARun, AInput, APacket) < 0) return -1;
  } else if (APacket) {
    CopyPacket(ARun, AInput, APacket);
  }

  // End of input: flush the encoders this stream feeds. In join mode the
  // encoders go on with the next input and are flushed after the last one.
  if (!APacket && !FJoin) FlushEncodersOf(ARun, AInput);
  return 0;
}
