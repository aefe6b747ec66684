// The audio output path: the decoded audio of one input stream becomes the
// encoded packets of one output stream. libswresample rematrixes and
// resamples it (or only converts its sample format); drift against the
// input clock is corrected by dropping samples, inserting silence or
// stretching the resampler; the stream's sample FIFO cuts the result into
// encoder frames. WriteOutputPacket, the single exit of every output path,
// runs a packet through the stream's bitstream filters and writes it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwResample.h"

// What the helpers of the audio path below reach inside the engine instance:
// the run's reusable buffers and its count of audio bytes written.
struct TAudioPathAccess {
  static TPipelineBuffers& Buffers(TCustomFFmpeg& AEngine) { return *AEngine.FBuffers; }
  static int64_t& AudioBytes(TCustomFFmpeg& AEngine) { return AEngine.FAudioSize; }
};

namespace {

// Drift of at most this many output samples is never corrected.
constexpr double kMinDriftSamples = 50;
// Inserted silence and the frame behind it stay within this many bytes of
// the decoder's sample format (the engine's historical audio packet limit).
constexpr int kMaxSilenceBytes = 131072;
// Encoders that take any frame size get the samples in chunks of at most
// this many. The old engine handed such (PCM) encoders everything a decode
// produced at once and sized their output by it, into a fixed 524288-byte
// buffer it never checked against: a long decoded frame overran it. The
// chunks bound every packet instead.
constexpr int kMaxChunkSamples = 4096;
// The most channels libswresample handles (SWR_CH_MAX).
constexpr int kMaxChannels = 64;

// FormatPairKey of a converter: encoder format + 16 * decoder format. The
// old engine used a factor of 5 when there were five sample formats; 5.1 has
// AV_SAMPLE_FMT_NB of them, so 16 keeps every pair apart. -6 still means
// that no converter is held.
constexpr int kFormatPairFactor = 16;
static_assert(AV_SAMPLE_FMT_NB <= kFormatPairFactor, "sample format pairs would share a key");

int FormatPairKey(AVSampleFormat AEncoder, AVSampleFormat ADecoder) { return AEncoder + kFormatPairFactor * ADecoder; }

std::string SampleFormatName(AVSampleFormat AFormat) {
  const char* name = lib::av_get_sample_fmt_name(AFormat);
  return name ? name : "none";
}

// A layout libswresample and the comparisons can work with: an unspecified
// channel order becomes the default layout of that many channels. The
// result is a shallow copy: it is never uninitialised.
AVChannelLayout Normalized(const AVChannelLayout& ALayout) {
  if (ALayout.order != AV_CHANNEL_ORDER_UNSPEC) return ALayout;
  AVChannelLayout layout{};
  lib::av_channel_layout_default(&layout, ALayout.nb_channels);
  return layout;
}

bool SameLayout(const AVChannelLayout& A, const AVChannelLayout& B) {
  AVChannelLayout a = Normalized(A), b = Normalized(B);
  return lib::av_channel_layout_compare(&a, &b) == 0;
}

AVRational EncoderTimeBase(const AVCodecContext* AEncoder) {
  if (AEncoder->time_base.num > 0 && AEncoder->time_base.den > 0) return AEncoder->time_base;
  return AVRational{1, AEncoder->sample_rate > 0 ? AEncoder->sample_rate : 1};
}

int Truncated(double AValue) { return static_cast<int>(std::clamp(AValue, -2147483647.0, 2147483647.0)); }

// The description of decoded audio: the frame's own, else its decoder's.
struct TSampleShape {
  AVSampleFormat Format = AV_SAMPLE_FMT_NONE;
  const AVChannelLayout* Layout = nullptr;
  int Rate = 0;
  int Channels() const { return Layout ? Layout->nb_channels : 0; }
};

TSampleShape ShapeOf(const AVFrame* AFrame, const AVCodecContext* ADecoder) {
  TSampleShape shape;
  shape.Format = AFrame->format >= 0 ? static_cast<AVSampleFormat>(AFrame->format)
                 : ADecoder          ? ADecoder->sample_fmt
                                     : AV_SAMPLE_FMT_NONE;
  shape.Layout = AFrame->ch_layout.nb_channels > 0 ? &AFrame->ch_layout : ADecoder ? &ADecoder->ch_layout : nullptr;
  shape.Rate = AFrame->sample_rate > 0 ? AFrame->sample_rate : ADecoder ? ADecoder->sample_rate : 0;
  return shape;
}

// A libswresample context from AIn to the encoder's format, layout and
// rate; null on failure. With AOldFilter the resampling filter is the one
// of the old engine's resampler (16 taps, 1024 phases, cutoff 0.8); with
// AStretchable it resamples even at equal rates, so that compensation can
// start at any time without re-initialising it (which would lose the
// samples it holds).
SwrContext* CreateSwr(const AVCodecContext* AEncoder, const TSampleShape& AIn, int AInRate, bool AOldFilter,
                      bool AStretchable) {
  AVChannelLayout out = Normalized(AEncoder->ch_layout);
  AVChannelLayout in = Normalized(*AIn.Layout);
  SwrContext* swr = nullptr;
  if (lib::swr_alloc_set_opts2(&swr, &out, AEncoder->sample_fmt, AEncoder->sample_rate, &in, AIn.Format, AInRate, 0,
                               nullptr) < 0 ||
      !swr)
    return nullptr;
  if (AOldFilter) {
    lib::av_opt_set_int(swr, "filter_size", 16, 0);
    lib::av_opt_set_int(swr, "phase_shift", 10, 0);
    lib::av_opt_set_int(swr, "linear_interp", 0, 0);
    lib::av_opt_set_double(swr, "cutoff", 0.8, 0);
  }
  if (AStretchable) lib::av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
  if (lib::swr_init(swr) < 0) lib::swr_free(&swr);
  return swr;
}

// True when the resampler was built for input of AIn's format, layout and rate.
bool ResamplerTakes(SwrContext* ASwr, const TSampleShape& AIn) {
  int64_t format = -1, rate = 0;
  if (lib::av_opt_get_int(ASwr, "in_sample_fmt", 0, &format) < 0 || format != AIn.Format) return false;
  if (lib::av_opt_get_int(ASwr, "in_sample_rate", 0, &rate) < 0 || rate != AIn.Rate) return false;
  AVChannelLayout layout{};
  if (lib::av_opt_get_chlayout(ASwr, "in_chlayout", 0, &layout) < 0) return false;
  const bool same = SameLayout(layout, *AIn.Layout);
  lib::av_channel_layout_uninit(&layout);
  return same;
}

// Makes AFrame a writable frame of ASamples samples in the given format,
// layout and rate. Its buffer is kept while it is large enough, so that the
// steady state allocates nothing; it is replaced (growing) otherwise.
bool ReserveAudioFrame(AVFrame* AFrame, AVSampleFormat AFormat, const AVChannelLayout& ALayout, int ARate,
                       int ASamples) {
  const int channels = ALayout.nb_channels;
  const int unit = lib::av_get_bytes_per_sample(AFormat) * (lib::av_sample_fmt_is_planar(AFormat) ? 1 : channels);
  if (unit <= 0) return false;
  if (AFrame->buf[0] && AFrame->format == AFormat &&
      lib::av_channel_layout_compare(&AFrame->ch_layout, &ALayout) == 0) {
    const int capacity = AFrame->linesize[0] / unit;
    if (capacity >= ASamples) {
      // A buffer still referenced elsewhere (an encoder holding the last
      // frame) is copied first: nb_samples spans the whole buffer for it.
      AFrame->nb_samples = capacity;
      if (lib::av_frame_make_writable(AFrame) >= 0) {
        AFrame->nb_samples = ASamples;
        AFrame->sample_rate = ARate;
        return true;
      }
    }
  }
  lib::av_frame_unref(AFrame);
  AFrame->format = AFormat;
  if (lib::av_channel_layout_copy(&AFrame->ch_layout, &ALayout) < 0) return false;
  AFrame->sample_rate = ARate;
  AFrame->nb_samples = std::max(ASamples, kMaxChunkSamples);
  if (lib::av_frame_get_buffer(AFrame, 0) < 0) {
    lib::av_frame_unref(AFrame);
    return false;
  }
  AFrame->nb_samples = ASamples;
  return true;
}

// Releases a packet when the scope ends, also when it ends by an exception.
struct TPacketRelease {
  AVPacket* Packet;
  ~TPacketRelease() {
    if (Packet) lib::av_packet_unref(Packet);
  }
};

// Packets that keep the input of each filter of a chain while it filters,
// so that a failed filter lets its input go on unfiltered. Per thread (a
// run filters on its worker thread only), allocated once and reused.
class TFilterSpares {
 public:
  ~TFilterSpares() {
    for (AVPacket*& packet : FPackets)
      if (packet && lib::av_packet_free) lib::av_packet_free(&packet);
  }
  AVPacket* At(size_t ALevel) {
    while (FPackets.size() <= ALevel) FPackets.push_back(lib::av_packet_alloc());
    return FPackets[ALevel];
  }

 private:
  std::vector<AVPacket*> FPackets;
};

thread_local TFilterSpares tFilterSpares;

AVFormatContext* OutputContext(TCustomFFmpeg& AEngine, const TOutputStreamState& AOutput) {
  return AOutput.FileIndex >= 0 && AOutput.FileIndex < MAX_FILES ? AEngine.OutputFile(AOutput.FileIndex) : nullptr;
}

// ---- Conversion into the FIFO ----

// How many of ASamples encoder samples still fit before the recording
// time: the stream is cut there, whatever the other streams still need.
int RoomBeforeRecordingEnd(const TCustomFFmpeg& AEngine, const TOutputStreamState& AOutput, int ASamples) {
  if (AEngine.Settings().Mux.FRecordingTime == INT64_MAX || ASamples <= 0) return ASamples;
  const int64_t limit =
      lib::av_rescale(AEngine.Settings().Mux.FRecordingTime, AOutput.Encoder->sample_rate, AV_TIME_BASE);
  const int64_t room = limit - AOutput.OutputTicks - lib::av_audio_fifo_size(AOutput.Fifo);
  return static_cast<int>(std::clamp<int64_t>(room, 0, ASamples));
}

// Converts ASamples samples (none: what the converter still holds) and
// appends them to the FIFO, up to the recording time. False after a conversion failure that is only
// logged.
bool AppendAudioSamples(TCustomFFmpeg& AEngine, TOutputStreamState& AOutput, SwrContext* AConverter,
                        const uint8_t** APlanes, int ASamples) {
  if (!AConverter) {
    const int kept = RoomBeforeRecordingEnd(AEngine, AOutput, ASamples);
    if (kept > 0 &&
        lib::av_audio_fifo_write(AOutput.Fifo, reinterpret_cast<void**>(const_cast<uint8_t**>(APlanes)), kept) < kept)
      throw FFmpegException("av_fifo_realloc2() failed");
    return true;
  }
  AVCodecContext* enc = AOutput.Encoder;
  AVFrame* converted = TAudioPathAccess::Buffers(AEngine).Converted;
  // Input that gives no output yet is still handed over: the converter
  // keeps it.
  const int capacity = lib::swr_get_out_samples(AConverter, ASamples);
  int produced = 0;
  if (capacity < 0)
    produced = capacity;
  else if (capacity == 0 && ASamples == 0)
    produced = 0;
  else if (!ReserveAudioFrame(converted, enc->sample_fmt, enc->ch_layout, enc->sample_rate, std::max(capacity, 1)))
    produced = -1;
  else
    produced = lib::swr_convert(AConverter, converted->extended_data, capacity, APlanes, ASamples);
  if (produced < 0) {
    if (AEngine.Settings().Run.FExitOnError) throw FFmpegException("av_audio_convert() failed");
    FFLoggerInstance()->Log(&AEngine, llError, "av_audio_convert() failed");
    return false;
  }
  produced = RoomBeforeRecordingEnd(AEngine, AOutput, produced);
  if (produced > 0 &&
      lib::av_audio_fifo_write(AOutput.Fifo, reinterpret_cast<void**>(converted->extended_data), produced) < produced)
    throw FFmpegException("av_fifo_realloc2() failed");
  return true;
}

// ---- Encoding from the FIFO ----

void ReceiveAudioPackets(TCustomFFmpeg& AEngine, TOutputStreamState& AOutput) {
  AVCodecContext* enc = AOutput.Encoder;
  AVPacket* packet = TAudioPathAccess::Buffers(AEngine).Encoded;
  for (;;) {
    const int result = lib::avcodec_receive_packet(enc, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    if (result < 0) throw FFmpegException("Audio encoding failed");
    TAudioPathAccess::AudioBytes(AEngine) += packet->size;
    packet->stream_index = AOutput.Index;
    packet->flags |= AV_PKT_FLAG_KEY;
    lib::av_packet_rescale_ts(packet, EncoderTimeBase(enc), AOutput.Stream->time_base);
    AEngine.WriteOutputPacket(OutputContext(AEngine, AOutput), AOutput, packet);
  }
}

void EncodeAmrNbFifo(TCustomFFmpeg& AEngine, TOutputStreamState& AOutput, bool AFinal) {
  constexpr int kFrame = TAmrNbEncoder::kFrameSamples;
  AVCodecContext* enc = AOutput.Encoder;
  if (enc->sample_fmt != AV_SAMPLE_FMT_S16 || enc->ch_layout.nb_channels != TAmrNbEncoder::kChannels)
    throw FFmpegException("Audio encoding failed");
  int16_t samples[kFrame];
  // The packet lends this buffer: the muxer and the filters copy what they keep.
  uint8_t bytes[TAmrNbEncoder::kMaxPacketBytes + AV_INPUT_BUFFER_PADDING_SIZE] = {};
  AVPacket* packet = TAudioPathAccess::Buffers(AEngine).Encoded;
  for (;;) {
    const int available = lib::av_audio_fifo_size(AOutput.Fifo);
    if (available < kFrame && !(AFinal && available > 0)) break;
    const int take = std::min(available, kFrame);
    void* planes[1] = {samples};
    if (lib::av_audio_fifo_read(AOutput.Fifo, planes, take) < take) throw FFmpegException("Audio encoding failed");
    std::fill(samples + take, samples + kFrame, int16_t{0});
    const int size = AOutput.AmrNb->Encode(samples, bytes);
    if (size <= 0 || size > TAmrNbEncoder::kMaxPacketBytes) throw FFmpegException("Audio encoding failed");
    lib::av_packet_unref(packet);
    packet->data = bytes;
    packet->size = size;
    packet->pts = packet->dts = AOutput.OutputTicks;
    packet->duration = kFrame;
    packet->flags |= AV_PKT_FLAG_KEY;
    packet->stream_index = AOutput.Index;
    TAudioPathAccess::AudioBytes(AEngine) += size;
    lib::av_packet_rescale_ts(packet, AVRational{1, TAmrNbEncoder::kSampleRate}, AOutput.Stream->time_base);
    AEngine.WriteOutputPacket(OutputContext(AEngine, AOutput), AOutput, packet);
    AOutput.OutputTicks += kFrame;
  }
}

void EncodeAudioFifo(TCustomFFmpeg& AEngine, TOutputStreamState& AOutput, bool AFinal) {
  AVCodecContext* enc = AOutput.Encoder;
  if (!AOutput.Fifo) return;
  if (AOutput.AmrNb) {
    EncodeAmrNbFifo(AEngine, AOutput, AFinal);
    return;
  }
  const int caps = enc->codec ? enc->codec->capabilities : 0;
  const int frameSize = enc->frame_size;
  // PCM and the like take any number of samples.
  const bool anySize = frameSize <= 1 || (caps & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  const bool shortLast = caps & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  AVFrame* frame = TAudioPathAccess::Buffers(AEngine).Encoding;
  for (;;) {
    const int available = lib::av_audio_fifo_size(AOutput.Fifo);
    int take = 0, total = 0;
    if (anySize) {
      if (available <= 0) break;
      take = total = std::min(available, kMaxChunkSamples);
    } else if (available >= frameSize) {
      take = total = frameSize;
    } else if (AFinal && available > 0) {
      // The last frame: short when the encoder takes one, else padded with
      // silence up to the frame size.
      take = available;
      total = shortLast ? available : frameSize;
    } else {
      break;
    }
    if (!ReserveAudioFrame(frame, enc->sample_fmt, enc->ch_layout, enc->sample_rate, total))
      throw FFmpegException("Audio encoding failed");
    if (lib::av_audio_fifo_read(AOutput.Fifo, reinterpret_cast<void**>(frame->extended_data), take) < take)
      throw FFmpegException("Audio encoding failed");
    if (total > take)
      lib::av_samples_set_silence(frame->extended_data, take, total - take, enc->ch_layout.nb_channels,
                                  enc->sample_fmt);
    frame->pts = lib::av_rescale_q(AOutput.OutputTicks, AVRational{1, enc->sample_rate}, EncoderTimeBase(enc));
    int result = lib::avcodec_send_frame(enc, frame);
    if (result == AVERROR(EAGAIN)) {
      ReceiveAudioPackets(AEngine, AOutput);
      result = lib::avcodec_send_frame(enc, frame);
    }
    if (result < 0 && result != AVERROR_EOF) throw FFmpegException("Audio encoding failed");
    ReceiveAudioPackets(AEngine, AOutput);
    AOutput.OutputTicks += total;
  }
}

// Containers whose players start every stream at the start of the file:
// AVI keeps no start time of a stream that players honour, so a stream that
// starts late is played early.
bool KeepsNoStreamStart(const AVFormatContext* AContext) {
  return AContext && AContext->oformat && std::strcmp(AContext->oformat->name, "avi") == 0;
}

// ASamples samples of silence into the FIFO, encoded as they come.
void AppendSilence(TCustomFFmpeg& AEngine, TOutputStreamState& AOutput, int64_t ASamples) {
  AVCodecContext* enc = AOutput.Encoder;
  AVFrame* silence = TAudioPathAccess::Buffers(AEngine).Converted;
  while (ASamples > 0) {
    const int chunk = static_cast<int>(std::min<int64_t>(ASamples, kMaxChunkSamples));
    const int count = RoomBeforeRecordingEnd(AEngine, AOutput, chunk);
    if (count <= 0) return;
    if (!ReserveAudioFrame(silence, enc->sample_fmt, enc->ch_layout, enc->sample_rate, count))
      throw FFmpegException("Audio encoding failed");
    lib::av_samples_set_silence(silence->extended_data, 0, count, enc->ch_layout.nb_channels, enc->sample_fmt);
    if (lib::av_audio_fifo_write(AOutput.Fifo, reinterpret_cast<void**>(silence->extended_data), count) < count)
      throw FFmpegException("av_fifo_realloc2() failed");
    EncodeAudioFifo(AEngine, AOutput, false);
    ASamples -= count;
  }
}

// ---- Bitstream filters and the write ----

void WriteFilteredPacket(AVFormatContext* AContext, TOutputStreamState& AOutput, AVPacket* APacket) {
  const int64_t start = APacket->pts != AV_NOPTS_VALUE ? APacket->pts : APacket->dts;
  if (start != AV_NOPTS_VALUE) {
    const int64_t end = start + std::max<int64_t>(APacket->duration, 0);
    if (AOutput.WrittenEnd == AV_NOPTS_VALUE || end > AOutput.WrittenEnd) AOutput.WrittenEnd = end;
  }
  APacket->stream_index = AOutput.Index;
  if (!AContext) {
    lib::av_packet_unref(APacket);
    return;
  }
  int result = lib::av_interleaved_write_frame(AContext, APacket);
  // A write of the output's buffer that failed (a full disk) shows on the
  // I/O context, possibly only with a later packet.
  if (result >= 0 && AContext->pb && AContext->pb->error < 0) result = AContext->pb->error;
  if (result < 0) throw FFmpegException("av_interleaved_write_frame(): " + LibraryErrorText(result));
}

void FilterOutputPacket(TCustomFFmpeg& AEngine, AVFormatContext* AContext, TOutputStreamState& AOutput,
                        AVPacket* APacket, size_t ALevel) {
  const std::vector<AVBSFContext*>& filters = AOutput.BitstreamFilters->Filters;
  if (ALevel >= filters.size()) {
    WriteFilteredPacket(AContext, AOutput, APacket);
    return;
  }
  AVBSFContext* filter = filters[ALevel];
  if (!filter) {
    FilterOutputPacket(AEngine, AContext, AOutput, APacket, ALevel + 1);
    return;
  }
  const int streamIndex = APacket->stream_index;
  auto failed = [&](int ACode) {
    const AVCodecContext* enc = AOutput.Encoder;
    const AVCodecID id = enc ? enc->codec_id : AOutput.Stream ? AOutput.Stream->codecpar->codec_id : AV_CODEC_ID_NONE;
    const std::string text = Format("%s failed for stream %d, codec %s", filter->filter->name, streamIndex,
                                    AOutput.EncodingNeeded ? lib::avcodec_get_name(id) : "copy") +
                             ": " + LibraryErrorText(ACode);
    if (AEngine.Settings().Run.FExitOnError) throw FFmpegException(text);
    FFLoggerInstance()->Log(&AEngine, llError, text);
  };
  // The input is kept aside so that it can go on unfiltered when the filter
  // fails while it works on it (that ends the run with exit-on-error).
  AVPacket* unfiltered = nullptr;
  if (!AEngine.Settings().Run.FExitOnError) {
    unfiltered = tFilterSpares.At(ALevel);
    if (unfiltered && lib::av_packet_ref(unfiltered, APacket) < 0) unfiltered = nullptr;
  }
  TPacketRelease releaseUnfiltered{unfiltered};
  int result = lib::av_bsf_send_packet(filter, APacket);
  if (result < 0) {
    // The filter did not take it: it goes on as it is.
    failed(result);
    FilterOutputPacket(AEngine, AContext, AOutput, APacket, ALevel + 1);
    return;
  }
  bool produced = false;
  for (;;) {
    result = lib::av_bsf_receive_packet(filter, APacket);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
    if (result < 0) {
      failed(result);
      if (!produced && unfiltered) FilterOutputPacket(AEngine, AContext, AOutput, unfiltered, ALevel + 1);
      break;
    }
    produced = true;
    // Times stay in the stream's time base along the chain.
    const AVRational in = filter->time_base_in, out = filter->time_base_out;
    if (in.num > 0 && out.num > 0 && (in.num != out.num || in.den != out.den))
      lib::av_packet_rescale_ts(APacket, out, in);
    FilterOutputPacket(AEngine, AContext, AOutput, APacket, ALevel + 1);
  }
}

// The resampler (rematrixing or another rate; rebuilt when the decoded
// audio changes) or the sample format converter the output needs. The
// set-up has already chosen resampling when the rates differ or the
// resampler stretches.
void ChooseAudioConverter(TOutputStreamState& AOutput, const TSampleShape& AIn, int AAudioSyncMethod) {
  const TSampleShape& in = AIn;
  AVCodecContext* enc = AOutput.Encoder;
  const int inChannels = in.Channels(), encChannels = enc->ch_layout.nb_channels, encRate = enc->sample_rate;
  if (inChannels != encChannels || !SameLayout(*in.Layout, enc->ch_layout) || in.Rate != encRate)
    AOutput.AudioResample = 1;
  if (AOutput.AudioResample) {
    if (AOutput.Resample && !ResamplerTakes(AOutput.Resample, in)) lib::swr_free(&AOutput.Resample);
    if (!AOutput.Resample) {
      AOutput.Resample = CreateSwr(enc, in, in.Rate, true, AAudioSyncMethod > 1);
      if (!AOutput.Resample)
        throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels, in.Rate,
                                     encChannels, encRate));
    }
  } else if (in.Format != enc->sample_fmt && AOutput.FormatPairKey != FormatPairKey(enc->sample_fmt, in.Format)) {
    // Only the sample format changes.
    if (AOutput.SampleConverter) lib::swr_free(&AOutput.SampleConverter);
    AOutput.FormatPairKey = -6;
    AOutput.SampleConverter = CreateSwr(enc, in, encRate, false, false);
    if (!AOutput.SampleConverter)
      throw FFmpegException(Format("Cannot convert %s sample format to %s sample format",
                                   SampleFormatName(in.Format).c_str(), SampleFormatName(enc->sample_fmt).c_str()));
    AOutput.FormatPairKey = FormatPairKey(enc->sample_fmt, in.Format);
  }
}

// The clock of a stream without drift handling: it starts where its input
// starts and then counts the samples it encodes. Taking the input clock again
// for every frame would let its jitter (a millisecond time base, rounding)
// give two frames the same time or go back, which muxers refuse.
void StartAudioClock(TCustomFFmpeg& AEngine, TTranscodeRun& ARun, TOutputStreamState& AOutput, int AFifoSamples) {
  const int encRate = AOutput.Encoder->sample_rate;
  const int fifoSamples = AFifoSamples;
  AOutput.AudioClockSet = true;
  const double start = AEngine.InputSyncTime(AOutput);
  const bool leadIn = start > 0 && AOutput.OutputTicks == 0 && fifoSamples == 0 &&
                      KeepsNoStreamStart(OutputContext(AEngine, AOutput)) &&
                      start <= ARun.LongestLeadIn(AOutput.FileIndex, AEngine.Settings().Run.FDtsDeltaThreshold);
  if (leadIn) {
    // Sound that begins after the picture (a real delay) gets silence in
    // front where the container would play it from the file's start.
    AppendSilence(AEngine, AOutput, std::llround(start * encRate));
  } else {
    AOutput.OutputTicks = std::llround(start * encRate) - fifoSamples;
  }
}

// What the drift of the sound against its input clock asks of one frame:
// input samples to drop at its start, silent samples to insert before it,
// and the samples left to take (0: none, the frame is dropped).
struct TDriftAction {
  int Skip = 0;
  int Silence = 0;
  int Count = 0;
};

TDriftAction MeetDrift(TCustomFFmpeg& AEngine, TTranscodeRun& ARun, TOutputStreamState& AOutput,
                       TInputStreamState& AInput, const TSampleShape& AIn, int ASamples, int AFifoSamples) {
  const TSampleShape& in = AIn;
  const AVCodecContext* enc = AOutput.Encoder;
  const int encRate = enc->sample_rate, inChannels = in.Channels(), inBytes = lib::av_get_bytes_per_sample(in.Format);
  const int fifoSamples = AFifoSamples;
  TDriftAction action;
  action.Count = ASamples;
  if (AEngine.Settings().Run.FAudioSyncMethod == 0) {
    if (!AOutput.AudioClockSet) StartAudioClock(AEngine, ARun, AOutput, fifoSamples);
    return action;
  }
  const double delta =
      AEngine.InputSyncTime(AOutput) * encRate - static_cast<double>(AOutput.OutputTicks) - fifoSamples;
  const int idelta = Truncated(delta * in.Rate / encRate);
  if (std::fabs(delta) <= kMinDriftSamples) return action;
  if (!AInput.IsStart &&
      std::fabs(delta) <= static_cast<double>(AEngine.Settings().Run.FAudioDriftThreshold) * encRate) {
    // A small drift: the resampler stretches the sound, when it may.
    if (AEngine.Settings().Run.FAudioSyncMethod > 1) {
      const int compensation = std::clamp(Truncated(delta), -AEngine.Settings().Run.FAudioSyncMethod,
                                          AEngine.Settings().Run.FAudioSyncMethod);
      if (AEngine.Settings().Run.FVerbose > 2)
        FFLoggerInstance()->Log(
            &AEngine, llVerbose,
            Format("compensating audio timestamp drift:%f compensation:%d in:%d", delta, compensation, encRate));
      if (AOutput.Resample) lib::swr_set_compensation(AOutput.Resample, compensation, encRate);
    }
    return action;
  }
  if (idelta < 0) {
    action.Skip = std::min(-idelta, action.Count);
    if (AEngine.Settings().Run.FVerbose > 2)
      FFLoggerInstance()->Log(&AEngine, llVerbose, Format("discarding %d audio samples", Truncated(-delta)));
    action.Count -= action.Skip;
    if (action.Count <= 0) return action;
    AInput.IsStart = 0;
  } else {
    const int limit = kMaxSilenceBytes / (inChannels * inBytes);
    action.Silence = idelta;
    if (static_cast<int64_t>(action.Silence) + action.Count <= limit)
      AInput.IsStart = 0;
    else
      action.Silence = std::max(0, limit - action.Count);
    if (AEngine.Settings().Run.FVerbose > 2)
      FFLoggerInstance()->Log(&AEngine, llVerbose, Format("adding %d audio samples of silence", Truncated(delta)));
  }
  return action;
}

}  // namespace

// ---- EncodeAudioFrame ----

void TCustomFFmpeg::EncodeAudioFrame(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                                     AVFrame* AFrame) {
  AVCodecContext* enc = AOutput.Encoder;
  if (!enc || !AFrame || AFrame->nb_samples <= 0) return;
  if (!FBuffers) FBuffers = std::make_unique<TPipelineBuffers>();
  TPipelineBuffers& buffers = *FBuffers;
  if (!buffers.Converted || !buffers.Encoding || !buffers.Encoded) return;  // no buffers: the data is dropped

  const TSampleShape in = ShapeOf(AFrame, AInput.Decoder);
  const int inChannels = in.Channels();
  const int inBytes = lib::av_get_bytes_per_sample(in.Format);
  if (inChannels <= 0 || in.Rate <= 0 || inBytes <= 0 || !AFrame->extended_data) return;
  const int encChannels = enc->ch_layout.nb_channels;
  const int encRate = enc->sample_rate;
  if (encChannels <= 0 || encRate <= 0 || lib::av_get_bytes_per_sample(enc->sample_fmt) <= 0)
    throw FFmpegException("Audio encoding failed");
  if (inChannels > kMaxChannels || encChannels > kMaxChannels)
    throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels, in.Rate,
                                 encChannels, encRate));

  if (!AOutput.Fifo) {
    AOutput.Fifo = lib::av_audio_fifo_alloc(enc->sample_fmt, encChannels, std::max(2 * enc->frame_size, 1024));
    if (!AOutput.Fifo) throw FFmpegException("av_fifo_alloc fail");
  }

  ChooseAudioConverter(AOutput, in, FSettings.Run.FAudioSyncMethod);

  // Drift against the input clock, in output samples.
  const int fifoSamples = lib::av_audio_fifo_size(AOutput.Fifo);
  const TDriftAction drift = MeetDrift(*this, ARun, AOutput, AInput, in, AFrame->nb_samples, fifoSamples);
  if (drift.Count <= 0) return;
  const int skip = drift.Skip, silence = drift.Silence, count = drift.Count;

  SwrContext* swr = AOutput.AudioResample          ? AOutput.Resample
                    : in.Format != enc->sample_fmt ? AOutput.SampleConverter
                                                   : nullptr;
  const bool planar = lib::av_sample_fmt_is_planar(in.Format);
  const uint8_t* planes[kMaxChannels] = {};
  const int planeCount = planar ? inChannels : 1;
  if (silence > 0) {
    const size_t bytes = static_cast<size_t>(silence) * inBytes * (planar ? 1 : inChannels);
    if (buffers.Silence.size() < bytes) buffers.Silence.resize(bytes);
    uint8_t* zero = buffers.Silence.data();
    lib::av_samples_set_silence(&zero, 0, silence, planar ? 1 : inChannels, in.Format);
    for (int c = 0; c < planeCount; ++c) planes[c] = zero;
    if (!AppendAudioSamples(*this, AOutput, swr, planes, silence)) return;
  }
  const size_t offset = static_cast<size_t>(skip) * inBytes * (planar ? 1 : inChannels);
  for (int c = 0; c < planeCount; ++c) planes[c] = AFrame->extended_data[c] + offset;
  if (!AppendAudioSamples(*this, AOutput, swr, planes, count)) return;

  EncodeAudioFifo(*this, AOutput, false);
}

// ---- FlushAudioEncoder ----

void TCustomFFmpeg::FlushAudioEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput) {
  (void)ARun;
  AVCodecContext* enc = AOutput.Encoder;
  if (!AOutput.EncodingNeeded || !enc) return;
  if (!FBuffers) FBuffers = std::make_unique<TPipelineBuffers>();
  if (!FBuffers->Converted || !FBuffers->Encoding || !FBuffers->Encoded) return;
  // The resampler's filter still holds the last samples.
  if (AOutput.Fifo && AOutput.AudioResample && AOutput.Resample)
    AppendAudioSamples(*this, AOutput, AOutput.Resample, nullptr, 0);
  EncodeAudioFifo(*this, AOutput, true);
  if (AOutput.AmrNb) return;
  // Drain the encoder; a second flush finds it at its end already.
  const int result = lib::avcodec_send_frame(enc, nullptr);
  if (result == AVERROR_EOF) return;
  if (result < 0 && result != AVERROR(EAGAIN)) throw FFmpegException("Audio encoding failed");
  ReceiveAudioPackets(*this, AOutput);
}

// ---- WriteOutputPacket ----

void TCustomFFmpeg::WriteOutputPacket(AVFormatContext* AContext, TOutputStreamState& AOutput, AVPacket* APacket) {
  if (!APacket) return;
  TPacketRelease release{APacket};
  TBitstreamFilterChain* chain = AOutput.BitstreamFilters;
  if (AOutput.FiltersReady && chain && !chain->Empty())
    FilterOutputPacket(*this, AContext, AOutput, APacket, 0);
  else
    WriteFilteredPacket(AContext, AOutput, APacket);
}
