// The set-up of a transcode: the run tables, the stream mapping, copy and
// encoding preparation, two-pass statistics files, encoder and decoder
// opening, metadata maps, headers and the stream-mapping lines.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/CodecThreads.h"
#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/RunTables.h"
#include "engine/pipeline/Scaler.h"
#include "probe/PictureTurn.h"
#include "probe/StreamTimeline.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/MyUtil.h"
#include "runtime/lib/SwResample.h"
#include "runtime/lib/SwScale.h"

TPipelineBuffers::TPipelineBuffers() {
  Decoded = lib::av_frame_alloc();
  Converted = lib::av_frame_alloc();
  Encoding = lib::av_frame_alloc();
  Scaled = lib::av_frame_alloc();
  Hooked = lib::av_frame_alloc();
  VideoOut = lib::av_frame_alloc();
  Cropped = lib::av_frame_alloc();
  Corrected = lib::av_frame_alloc();
  Packet = lib::av_packet_alloc();
  Encoded = lib::av_packet_alloc();
  if (!Decoded || !Converted || !Encoding || !Scaled || !Hooked || !VideoOut || !Cropped || !Corrected || !Packet ||
      !Encoded)
    throw FFmpegException("av_mallocz fail");
}

TPipelineBuffers::~TPipelineBuffers() {
  if (!lib::av_frame_free) return;  // the libraries are gone: nothing can be freed any more
  lib::av_frame_free(&Decoded);
  lib::av_frame_free(&Converted);
  lib::av_frame_free(&Encoding);
  lib::av_frame_free(&Scaled);
  lib::av_frame_free(&Hooked);
  lib::av_frame_free(&VideoOut);
  lib::av_frame_free(&Cropped);
  lib::av_frame_free(&Corrected);
  lib::av_packet_free(&Packet);
  lib::av_packet_free(&Encoded);
}

namespace {

std::string TypeName(const AVStream* AStream) { return MediaTypeName(AStream->codecpar->codec_type); }

void LogError(TCustomFFmpeg* AEngine, const std::string& AText) { FFLoggerInstance()->Log(AEngine, llError, AText); }

// Whether the input's codec tag may be copied into a stream-copy output.
bool KeepCodecTag(const AVOutputFormat* AFormat, const AVCodecParameters* AInput) {
  if (!AFormat->codec_tag) return true;
  if (lib::av_codec_get_id(AFormat->codec_tag, AInput->codec_tag) == AInput->codec_id) return true;
  return lib::av_codec_get_tag(AFormat->codec_tag, AInput->codec_id) == 0;
}

}  // namespace

void TCustomFFmpeg::CloseOpenedCodecs() {
  for (TOutputStreamState* ost : FOpenedEncoders) {
    if (ost->Encoder && ost->EncodingNeeded) {
      lib::av_freep(&ost->Encoder->stats_in);
      TServingLock<std::recursive_mutex> guard(CodecLock());
      lib::avcodec_close(ost->Encoder);
    }
    if (ost->AmrNb) ost->AmrNb->Close();
  }
  FOpenedEncoders.clear();
  for (TInputStreamState* ist : FOpenedDecoders) {
    if (ist->Decoder && ist->DecodingNeeded) {
      TServingLock<std::recursive_mutex> guard(CodecLock());
      lib::avcodec_close(ist->Decoder);
    }
  }
  FOpenedDecoders.clear();
}

void TCustomFFmpeg::DumpOutputs(TTranscodeRun& ARun, int AOnlyFile) {
  for (int i = 0; i < FOutputFileCount; ++i) {
    if (AOnlyFile >= 0 && i != AOnlyFile) continue;
    if (FJoin && i > 0) break;
    AVFormatContext* ctx = FOutputFiles[i];
    if (ctx) lib::av_dump_format(ctx, i, ctx->url ? ctx->url : "", 1);
  }
  if (AOnlyFile >= 0 || FSettings.Run.FVerbose < 0) return;
  TFFLogger* logger = FFLoggerInstance();
  logger->Log(this, llVerbose, "Stream mapping:");
  for (auto& ost : ARun.OutputStreams) {
    if (ost->SourceIndex < 0 || ost->SourceIndex >= static_cast<int>(ARun.InputStreams.size())) continue;
    const TInputStreamState& source = *ARun.InputStreams[ost->SourceIndex];
    logger->Log(this, llVerbose,
                Format("  Stream #%d.%d -> #%d.%d (%s)", source.FileIndex, source.Index, FJoin ? 0 : ost->FileIndex,
                       ost->Index, TypeName(ost->Stream).c_str()));
    if (ost->SyncInput && ost->SyncInput != &source)
      logger->Log(this, llVerbose,
                  Format(" [sync #%d.%d (%s)]", ost->SyncInput->FileIndex, ost->SyncInput->Index,
                         TypeName(ost->Stream).c_str()));
  }
}

void TCustomFFmpeg::ReleaseTranscodeTables(TTranscodeRun& ARun) {
  // Codecs still open (after a failure) are closed while their records exist.
  CloseOpenedCodecs();
  for (auto& ist : ARun.InputStreams) {
    if (ist->Decoder) lib::avcodec_free_context(&ist->Decoder);
    if (ist->FilterPicture) lib::av_frame_free(&ist->FilterPicture);
    ist->Corrections.reset();
  }
  for (auto& ost : ARun.OutputStreams) {
    if (ost->LogFile) {
      lib::my_fclose(ost->LogFile);
      ost->LogFile = nullptr;
    }
    if (ost->Fifo) lib::av_audio_fifo_free(ost->Fifo);
    ost->Fifo = nullptr;
    if (ost->ScaledPicture) lib::av_frame_free(&ost->ScaledPicture);
    if (ost->ScalerContext) lib::sws_freeContext(ost->ScalerContext);
    ost->ScalerContext = nullptr;
    if (ost->Resample) lib::swr_free(&ost->Resample);
    if (ost->SampleConverter) lib::swr_free(&ost->SampleConverter);
  }
  ARun.InputStreams.clear();
  ARun.OutputStreams.clear();
  ARun.InputFiles.clear();
}

void TCustomFFmpeg::PlanPictureCorrections(TTranscodeRun& ARun, TInputStreamState& AInput) {
  if (AInput.CorrectionsPlanned) return;
  AInput.CorrectionsPlanned = true;
  // What the encoders of this input's pictures take: interlaced coding
  // keeps the fields; an 8-bit encoder cannot show high dynamic range.
  bool interlacedCoding = false, eightBit = false;
  for (auto& ost : ARun.OutputStreams) {
    if (ARun.InputStreams[ost->SourceIndex].get() != &AInput || !ost->Encoder) continue;
    const AVCodecContext* enc = ost->Encoder;
    if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)) interlacedCoding = true;
    const AVPixFmtDescriptor* desc = lib::av_pix_fmt_desc_get(enc->pix_fmt);
    if (desc && desc->comp[0].depth <= 8) eightBit = true;
  }
  TCorrectionPlan& plan = AInput.CorrectionPlan;
  if (FSettings.Video.FAutoRotate) plan.Turn = StreamPictureTurn(AInput.Stream);
  plan.ToneMap = FSettings.Video.FToneMap && eightBit && HighDynamicRange(AInput.Stream);
  AInput.DeinterlaceAllowed = FSettings.Video.FAutoDeinterlace && !interlacedCoding;
  if (FSettings.Video.FDoDeinterlace)
    plan.Deinterlace = TCorrectionPlan::diEvery;
  else if (AInput.DeinterlaceAllowed && CodedInterlaced(AInput.Stream))
    plan.Deinterlace = TCorrectionPlan::diMarked;
}

void TCustomFFmpeg::DescribeWrittenColours(const TInputStreamState& AInput, AVCodecContext* AEncoder) {
  const AVCodecParameters* source = AInput.Stream->codecpar;
  if (AInput.CorrectionPlan.ToneMap) {
    AEncoder->color_primaries = AVCOL_PRI_BT709;
    AEncoder->color_trc = AVCOL_TRC_BT709;
    AEncoder->colorspace = AVCOL_SPC_BT709;
    AEncoder->color_range = AVCOL_RANGE_MPEG;
    return;
  }
  // The scaler keeps the source's primaries, transfer and matrix; a
  // full-range source becomes limited range in a format that is not a
  // full-range one.
  if (AEncoder->color_primaries == AVCOL_PRI_UNSPECIFIED) AEncoder->color_primaries = source->color_primaries;
  if (AEncoder->color_trc == AVCOL_TRC_UNSPECIFIED) AEncoder->color_trc = source->color_trc;
  if (AEncoder->colorspace == AVCOL_SPC_UNSPECIFIED) AEncoder->colorspace = source->color_space;
  if (AEncoder->color_range == AVCOL_RANGE_UNSPECIFIED) {
    const AVPixFmtDescriptor* desc = lib::av_pix_fmt_desc_get(AEncoder->pix_fmt);
    const bool yuv = desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const bool fullRangeFormat = AEncoder->pix_fmt == AV_PIX_FMT_YUVJ420P || AEncoder->pix_fmt == AV_PIX_FMT_YUVJ422P ||
                                 AEncoder->pix_fmt == AV_PIX_FMT_YUVJ444P;
    if (yuv) AEncoder->color_range = fullRangeFormat ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  }
}

void TCustomFFmpeg::AlignInputTimelines(TTranscodeRun& ARun) {
  // The length each input gives from its start position on; -1 unknown.
  std::vector<int64_t> lengths(static_cast<size_t>(FInputFileCount), -1);
  for (int i = 0; i < FInputFileCount; ++i) {
    const TInputFileState& file = ARun.InputFiles[static_cast<size_t>(i)];
    std::vector<bool> taken(static_cast<size_t>(file.StreamCount), false);
    bool any = false;
    for (int j = 0; j < file.StreamCount; ++j) {
      const TInputStreamState& ist =
          *ARun.InputStreams[static_cast<size_t>(file.FirstStreamIndex) + static_cast<size_t>(j)];
      const AVMediaType type = ist.Stream->codecpar->codec_type;
      taken[static_cast<size_t>(j)] = !ist.Discard && (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO);
      any = any || taken[static_cast<size_t>(j)];
    }
    if (!any) continue;
    const TFileTimeline timeline = FileTimeline(FInputFiles[i], taken);
    if (!FSettings.Run.FCopyTs) {
      // The input's zero becomes the first timestamp of the streams used
      // (its offset counted from the file's start time so far).
      FInputFilesTsOffset[i] += FInputTimings[i].OpenZero - timeline.Zero;
      for (int j = 0; j < file.StreamCount; ++j)
        ARun.InputStreams[static_cast<size_t>(file.FirstStreamIndex) + static_cast<size_t>(j)]->TsShift =
            timeline.Streams[static_cast<size_t>(j)].Shift;
      if (timeline.SeparateStarts && FSettings.Run.FVerbose >= 0)
        FFLoggerInstance()->Log(this, llInfo,
                                Format("Input #%d: its streams start too far apart to belong together; each is "
                                       "lined up on its own start.",
                                       i));
    }
    if (timeline.Length > 0)
      lengths[static_cast<size_t>(i)] = std::max<int64_t>(0, timeline.Length - FInputTimings[i].StartPosition);
  }

  // An output is expected to last as long as its longest source (joined
  // inputs: their sum), at most the recording time.
  ARun.ExpectedLength.assign(static_cast<size_t>(FOutputFileCount), -1);
  int64_t joined = 0;
  for (int64_t length : lengths) joined = length > 0 && joined >= 0 ? joined + length : -1;
  for (int slot = 0; slot < FOutputFileCount; ++slot) {
    int64_t expected = -1;
    if (FJoin) {
      expected = joined;
    } else {
      for (auto& ost : ARun.OutputStreams)
        if (ost->FileIndex == slot)
          expected = std::max(expected, lengths[static_cast<size_t>(ARun.InputStreams[ost->SourceIndex]->FileIndex)]);
    }
    if (expected > 0 && FSettings.Mux.FRecordingTime != INT64_MAX)
      expected = std::min(expected, FSettings.Mux.FRecordingTime);
    ARun.ExpectedLength[static_cast<size_t>(slot)] = expected;
  }
  // The progress counts against what the first output should become.
  if (!ARun.ExpectedLength.empty() && ARun.ExpectedLength[0] > 0) FTotalDuration = ARun.ExpectedLength[0] / 1000;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): being split
void TCustomFFmpeg::TranscodeSetup(TTranscodeRun& ARun) {
  if (!FBuffers) FBuffers = std::make_unique<TPipelineBuffers>();
  FOutputsEmpty = false;
  FFramesDup = FFramesDrop = 0;
  FCodecThreadsUsed = 1;
  FVideoSize = FAudioSize = FExtraSize = 0;
  FHookFrameNumber = 0;

  // Input tables; every input stream gets a decoder context of the run
  // (opened only when an output needs its decoded data).
  int codecIndex = 0;
  for (int i = 0; i < FInputFileCount; ++i) {
    AVFormatContext* ic = FInputFiles[i];
    TInputFileState file;
    file.FirstStreamIndex = static_cast<int>(ARun.InputStreams.size());
    file.StreamCount = static_cast<int>(ic->nb_streams);
    ARun.InputFiles.push_back(file);
    for (unsigned j = 0; j < ic->nb_streams; ++j) {
      auto ist = std::make_unique<TInputStreamState>();
      ist->Stream = ic->streams[j];
      ist->FileIndex = i;
      ist->Index = static_cast<int>(j);
      ist->Discard = 1;
      if (FSettings.Run.FRateEmu) ist->StartTime = lib::av_gettime();
      // The decoders named before the input opened, one entry per stream
      // that is not a data stream.
      if (ist->Stream->codecpar->codec_type != AVMEDIA_TYPE_DATA && codecIndex < FInputCodecCount)
        ist->ForcedDecoder = FInputCodecs[codecIndex++];
      ist->Decoder = lib::avcodec_alloc_context3(nullptr);
      if (!ist->Decoder || lib::avcodec_parameters_to_context(ist->Decoder, ist->Stream->codecpar) < 0)
        throw FFmpegException("av_mallocz fail");
      ist->Decoder->pkt_timebase = ist->Stream->time_base;
      ARun.InputStreams.push_back(std::move(ist));
    }
  }

  // Output tables and checks.
  int total = 0;
  ARun.OutputFileCount = FOutputFileCount;
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i];
    if (oc->nb_streams == 0) {
      lib::av_dump_format(oc, i, oc->url ? oc->url : "", 1);
      throw FFmpegException(Format("Output file #%d does not contain any stream", i));
    }
    if (i == 0) ARun.JoinStride = static_cast<int>(oc->nb_streams);
    total += static_cast<int>(oc->nb_streams);
  }
  if (FStreamMapCount > 0 && FStreamMapCount != total)
    throw FFmpegException("Number of stream maps must match number of output streams");
  for (int m = 0; m < FStreamMapCount; ++m) {
    const TStreamMap& map = FStreamMaps[m];
    auto inRange = [&](int AFile, int AStream) {
      return AFile >= 0 && AFile < FInputFileCount && AStream >= 0 && AStream < ARun.InputFiles[AFile].StreamCount;
    };
    if (!inRange(map.FileIndex, map.StreamIndex))
      throw FFmpegException(Format("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
    if (!inRange(map.SyncFileIndex, map.SyncStreamIndex))
      throw FFmpegException(Format("Could not find sync stream #%d.%d", map.SyncFileIndex, map.SyncStreamIndex));
  }

  // Map the input streams to the output streams.
  int n = 0;
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i];
    const int slot = OutputFileIndex(oc);
    for (unsigned j = 0; j < oc->nb_streams; ++j, ++n) {
      auto ost = std::make_unique<TOutputStreamState>();
      ost->FileIndex = i;
      ost->Index = static_cast<int>(j);
      ost->Stream = oc->streams[j];
      TOutputStreamSetup& setup = FOutputStreamSetups[slot][j];
      ost->Encoder = setup.Codec;
      ost->AmrNb = setup.AmrNb.get();
      ost->BitstreamFilters = &FBitstreamFilters[slot][j];
      const AVMediaType type = ost->Stream->codecpar->codec_type;
      TInputStreamState* source = nullptr;
      if (FStreamMapCount > 0) {
        const TStreamMap& map = FStreamMaps[n];
        ost->SourceIndex = ARun.InputFiles[map.FileIndex].FirstStreamIndex + map.StreamIndex;
        source = ARun.InputStreams[ost->SourceIndex].get();
        if (source->Stream->codecpar->codec_type != type) {
          lib::av_dump_format(oc, i, oc->url ? oc->url : "", 1);
          throw FFmpegException(Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", map.FileIndex,
                                       map.StreamIndex, TypeName(source->Stream).c_str(), i, static_cast<int>(j),
                                       TypeName(ost->Stream).c_str()));
        }
        ost->SyncInput =
            ARun.InputStreams[ARun.InputFiles[map.SyncFileIndex].FirstStreamIndex + map.SyncStreamIndex].get();
      } else {
        auto usable = [&](const TInputStreamState& AIst) {
          return AIst.Discard == 1 && AIst.Stream->codecpar->codec_type == type && (!FJoin || AIst.FileIndex == i);
        };
        int found = -1;
        if (FSettings.Mux.FProgramId != 0) {
          // a. The streams of the chosen program, in its order.
          for (int f = 0; f < FInputFileCount && found < 0; ++f) {
            AVFormatContext* ic = FInputFiles[f];
            for (unsigned p = 0; p < ic->nb_programs && found < 0; ++p) {
              if (ic->programs[p]->id != FSettings.Mux.FProgramId) continue;
              for (unsigned k = 0; k < ic->programs[p]->nb_stream_indexes && found < 0; ++k) {
                int index = ARun.InputFiles[f].FirstStreamIndex + static_cast<int>(ic->programs[p]->stream_index[k]);
                if (index < static_cast<int>(ARun.InputStreams.size()) && usable(*ARun.InputStreams[index]))
                  found = index;
              }
            }
          }
        } else {
          // b. The first unused stream of the same type.
          for (size_t k = 0; k < ARun.InputStreams.size() && found < 0; ++k)
            if (usable(*ARun.InputStreams[k])) found = static_cast<int>(k);
        }
        // c. Otherwise the last stream of the same type, even one in use.
        if (found < 0 && FSettings.Mux.FProgramId == 0 && !FJoin)
          for (size_t k = 0; k < ARun.InputStreams.size(); ++k)
            if (ARun.InputStreams[k]->Stream->codecpar->codec_type == type) found = static_cast<int>(k);
        // d. No source at all.
        if (found < 0) {
          lib::av_dump_format(oc, i, oc->url ? oc->url : "", 1);
          throw FFmpegException(Format("Could not find input stream matching output stream #%d.%d (%s)", i,
                                       static_cast<int>(j), TypeName(ost->Stream).c_str()));
        }
        ost->SourceIndex = found;
        source = ARun.InputStreams[found].get();
        ost->SyncInput = source;
      }
      source->Discard = 0;
      ARun.OutputStreams.push_back(std::move(ost));
    }
  }

  AlignInputTimelines(ARun);

  // Per-stream preparation.
  for (size_t i = 0; i < ARun.OutputStreams.size(); ++i) {
    TOutputStreamState& ost = *ARun.OutputStreams[i];
    TInputStreamState& ist = *ARun.InputStreams[ost.SourceIndex];
    AVStream* os = ost.Stream;
    AVStream* is = ist.Stream;
    AVFormatContext* oc = FOutputFiles[ost.FileIndex];
    const bool firstGroup = !FJoin || static_cast<int>(i) < ARun.JoinStride;
    const int slot = OutputFileIndex(oc);
    const bool copy = FOutputStreamSetups[slot][ost.Index].StreamCopy;

    const AVDictionaryEntry* language = lib::av_dict_get(is->metadata, "language", nullptr, 0);
    if (language && !lib::av_dict_get(os->metadata, "language", nullptr, 0))
      lib::av_dict_set(&os->metadata, "language", language->value, 0);
    os->disposition = is->disposition;

    if (copy) {
      // Stream copy: the output stream takes the input's parameters.
      if (!firstGroup) continue;  // later join groups write into the first group's streams
      const AVCodecParameters* in = is->codecpar;
      const uint32_t keptTag = os->codecpar->codec_tag;
      const AVRational aspect = os->codecpar->sample_aspect_ratio;
      if (lib::avcodec_parameters_copy(os->codecpar, in) < 0) throw FFmpegException("av_mallocz fail");
      os->codecpar->codec_tag = keptTag ? keptTag : (KeepCodecTag(oc->oformat, in) ? in->codec_tag : 0);
      // The copy's time base: the input stream's, or the frame duration when
      // the stream's is finer than a millisecond and finer than a frame.
      AVRational frame =
          is->avg_frame_rate.num && is->avg_frame_rate.den ? av_inv_q(is->avg_frame_rate) : AVRational{0, 1};
      double s = av_q2d(is->time_base), c = frame.den ? av_q2d(frame) : 0;
      os->time_base = (c > 0 && s < c && s < 0.001) ? frame : is->time_base;
      switch (in->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
          if (FOnCustomHook)
            throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
          if (FSettings.Run.FUsingVhook)
            throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
          if (FPreviewFlags != 0)
            throw FFmpegException("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
          if (aspect.num) os->codecpar->sample_aspect_ratio = os->sample_aspect_ratio = aspect;
          break;
        case AVMEDIA_TYPE_AUDIO:
          if (FSettings.Audio.FAudioVolume != 256)
            throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
          if ((os->codecpar->block_align == 1 && in->codec_id == AV_CODEC_ID_MP3) || in->codec_id == AV_CODEC_ID_AC3)
            os->codecpar->block_align = 0;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          break;
        default:
          throw FFmpegException("invalid codec_type of output stream");
      }
      continue;
    }

    // Encoding.
    AVCodecContext* enc = ost.Encoder;
    if (!enc) throw FFmpegException("invalid codec_type of output stream");
    enc->bits_per_raw_sample = is->codecpar->bits_per_raw_sample;
    enc->chroma_sample_location = is->codecpar->chroma_location;
    switch (enc->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        if (enc->pix_fmt == AV_PIX_FMT_NONE)
          throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
        FBitBufferSize = std::max(FBitBufferSize, 6 * enc->width * enc->height + 200);
        PlanPictureCorrections(ARun, ist);
        DescribeWrittenColours(ist, enc);
        // The pictures as the input's corrections give them.
        const TCorrectionPlan& plan = ist.CorrectionPlan;
        const bool swap = plan.Turn.SidesSwap();
        const int inW = swap ? is->codecpar->height : is->codecpar->width;
        const int inH = swap ? is->codecpar->width : is->codecpar->height;
        const int inFmt = plan.ToneMap ? AV_PIX_FMT_YUV420P : is->codecpar->format;
        if (inFmt != AV_PIX_FMT_NONE && inFmt != enc->pix_fmt && FSettings.Run.FVerbose >= 0) {
          const char* from = lib::av_get_pix_fmt_name(static_cast<AVPixelFormat>(inFmt));
          const char* to = lib::av_get_pix_fmt_name(enc->pix_fmt);
          FFLoggerInstance()->Log(
              this, llInfo,
              Format("Output stream #%d.%d (%s): the source's pictures are %s, the encoder "
                     "gets %s.",
                     ost.FileIndex, ost.Index, lib::avcodec_get_name(enc->codec_id), from ? from : "?", to ? to : "?"));
        }
        const TOutputStreamSetup& streamSetup = FOutputStreamSetups[slot][ost.Index];
        const int padTop = streamSetup.PadTop, padBottom = streamSetup.PadBottom;
        const int padLeft = streamSetup.PadLeft, padRight = streamSetup.PadRight;
        ost.VideoCrop = (FSettings.Video.FFrameTopBand || FSettings.Video.FFrameBottomBand ||
                         FSettings.Video.FFrameLeftBand || FSettings.Video.FFrameRightBand)
                            ? 1
                            : 0;
        ost.VideoPad = (padTop || padBottom || padLeft || padRight) ? 1 : 0;
        ost.VideoResample = (enc->width == inW - FSettings.Video.FFrameLeftBand - FSettings.Video.FFrameRightBand +
                                               padLeft + padRight &&
                             enc->height == inH - FSettings.Video.FFrameTopBand - FSettings.Video.FFrameBottomBand +
                                                padTop + padBottom &&
                             enc->pix_fmt == inFmt)
                                ? 0
                                : 1;
        if (ost.VideoCrop) {
          ost.TopBand = ost.ConfiguredTopBand = FSettings.Video.FFrameTopBand;
          ost.BottomBand = ost.ConfiguredBottomBand = FSettings.Video.FFrameBottomBand;
          ost.LeftBand = ost.ConfiguredLeftBand = FSettings.Video.FFrameLeftBand;
          ost.RightBand = ost.ConfiguredRightBand = FSettings.Video.FFrameRightBand;
        }
        if (ost.VideoPad) {
          ost.PadTop = padTop;
          ost.PadBottom = padBottom;
          ost.PadLeft = padLeft;
          ost.PadRight = padRight;
        }
        if (ost.VideoPad || ost.VideoResample) {
          ost.ScaledPicture = lib::av_frame_alloc();
          if (ost.ScaledPicture) {
            ost.ScaledPicture->format = enc->pix_fmt;
            ost.ScaledPicture->width = enc->width;
            ost.ScaledPicture->height = enc->height;
          }
          if (!ost.ScaledPicture || lib::av_frame_get_buffer(ost.ScaledPicture, 0) < 0)
            throw FFmpegException(ost.VideoResample ? "Cannot allocate temp picture, check pix fmt"
                                                    : "avpicture_alloc fail");
        }
        // An input whose pixel format is still unknown (no picture was decoded
        // while probing, as in a cut file) gets its scaler from the first
        // decoded picture, which makes one when there is none: libswscale
        // aborts on AV_PIX_FMT_NONE instead of refusing it.
        if (ost.VideoResample && !FSettings.Video.FUseFilters && inFmt != AV_PIX_FMT_NONE) {
          int64_t flags = FSettings.Run.FSwsFlags;
          if (FOptionStore.Scaler) lib::av_opt_get_int(FOptionStore.Scaler, "sws_flags", 0, &flags);
          FSettings.Run.FSwsFlags = static_cast<int>(flags);
          ost.ScalerContext = MakeScaler(inW - FSettings.Video.FFrameLeftBand - FSettings.Video.FFrameRightBand,
                                         inH - FSettings.Video.FFrameTopBand - FSettings.Video.FFrameBottomBand, inFmt,
                                         enc->width - padLeft - padRight, enc->height - padTop - padBottom,
                                         enc->pix_fmt, FSettings.Run.FSwsFlags, FSettings.Run.FThreadCount);
          if (!ost.ScalerContext) throw FFmpegException("Cannot get resampling context");
        }
        if (FSettings.Video.FUseFilters) {
          ost.ResampleHeight = inH;
        } else {
          ost.InitialHeight = inH;
          ost.InitialWidth = inW;
          ost.ResampleHeight = inH - FSettings.Video.FFrameTopBand - FSettings.Video.FFrameBottomBand;
          ost.ResampleWidth = inW - FSettings.Video.FFrameLeftBand - FSettings.Video.FFrameRightBand;
          ost.ResamplePixFmt = inFmt;
        }
        enc->bits_per_raw_sample = 0;
        ost.EncodingNeeded = 1;
        ist.DecodingNeeded = 1;
        FLastError.clear();
        if (FSettings.Video.FUseFilters && ConfigureFilters(ist, ost) != 0)
          throw FFmpegException(FLastError.empty() ? "Error opening filters!" : "Error opening filters: " + FLastError);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        ost.FormatPairKey = -6;
        ost.AudioResample =
            (enc->sample_rate != is->codecpar->sample_rate || FSettings.Run.FAudioSyncMethod > 1) ? 1 : 0;
        ost.EncodingNeeded = 1;
        ist.DecodingNeeded = 1;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ost.EncodingNeeded = 1;
        ist.DecodingNeeded = 1;
        break;
      default:
        throw FFmpegException("invalid codec_type of output stream");
    }
    // Two-pass statistics.
    if (firstGroup && (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
      std::string name =
          (FSettings.Video.FPassLogFilePrefix.empty() ? "ffmpeg2pass" : FSettings.Video.FPassLogFilePrefix) + "-" +
          std::to_string(i) + ".log";
      if (name.size() > 1023) name.resize(1023);
      if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.LogFile = lib::my_fopen(name.c_str(), "w");
        if (!ost.LogFile) throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
      } else {
        FILE* f = lib::my_fopen(name.c_str(), "r");
        if (!f) throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", name.c_str()));
        lib::my_fseek(f, 0, SEEK_END);
        long size = lib::my_ftell(f);
        lib::my_fseek(f, 0, SEEK_SET);
        char* text = size >= 0 ? static_cast<char*>(lib::av_malloc(static_cast<size_t>(size) + 1)) : nullptr;
        if (!text) {
          lib::my_fclose(f);
          throw FFmpegException("Could not allocate log buffer");
        }
        size_t got = lib::my_fread(text, 1, static_cast<size_t>(size), f);
        lib::my_fclose(f);
        text[got] = 0;
        lib::av_freep(&enc->stats_in);
        enc->stats_in = text;
      }
    }
  }

  // Open the encoders (in join mode the first group's, which the later
  // groups share).
  for (size_t i = 0; i < ARun.OutputStreams.size(); ++i) {
    if (FJoin && static_cast<int>(i) >= ARun.JoinStride) break;
    TOutputStreamState& ost = *ARun.OutputStreams[i];
    if (!ost.EncodingNeeded) continue;
    AVCodecContext* enc = ost.Encoder;
    const std::string typeName = MediaTypeName(enc->codec_type);
    if (ost.AmrNb) {
      ost.AmrNb->Open(enc->sample_rate, enc->ch_layout.nb_channels, enc->bit_rate);
      enc->bit_rate = ost.AmrNb->BitRate();
      FOpenedEncoders.push_front(&ost);
      lib::avcodec_parameters_from_context(ost.Stream->codecpar, enc);
      ost.Stream->time_base = AVRational{1, enc->sample_rate};
      continue;
    }
    const AVCodec* codec = nullptr;
    const int slot = OutputFileIndex(FOutputFiles[ost.FileIndex]);
    int codecIndex = 0;
    for (int f = 0; f < slot; ++f) codecIndex += static_cast<int>(FOutputFiles[f]->nb_streams);
    codecIndex += ost.Index;
    if (codecIndex < FOutputCodecCount) codec = FOutputCodecs[codecIndex];
    if (!codec) codec = lib::avcodec_find_encoder(enc->codec_id);
    if (!codec) {
      DumpOutputs(ARun);
      std::string text = Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                static_cast<int>(enc->codec_id), ost.FileIndex, ost.Index, typeName.c_str());
      LogError(this, text);
      throw FFmpegException(text);
    }
    // Options that belong to this encoder privately (x264 presets, ...).
    AVDictionary* options = nullptr;
    for (const TPrivateOption& option : FSettings.Run.FPrivateOptions) {
      if (codec->priv_class && lib::av_opt_find(const_cast<AVClass**>(&codec->priv_class), option.Name.c_str(), nullptr,
                                                0, AV_OPT_SEARCH_FAKE_OBJ))
        lib::av_dict_set(&options, option.Name.c_str(), option.Value.c_str(), 0);
    }
    ApplyCodecThreads(enc, codec, FSettings.Run.FThreadCount);
    int result;
    {
      TServingLock<std::recursive_mutex> guard(CodecLock());
      result = lib::avcodec_open2(enc, codec, &options);
      if (result >= 0) FOpenedEncoders.push_front(&ost);
    }
    if (result >= 0) FCodecThreadsUsed = std::max(FCodecThreadsUsed, enc->thread_count);
    lib::av_dict_free(&options);
    if (result < 0) {
      DumpOutputs(ARun);
      std::string text = Format(
          "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such as "
          "bit_rate, rate, width or height",
          ost.FileIndex, ost.Index, typeName.c_str());
      LogError(this, text);
      throw FFmpegException(text);
    }
    FExtraSize += enc->extradata_size;
    lib::avcodec_parameters_from_context(ost.Stream->codecpar, enc);
    ost.Stream->time_base = enc->time_base;
  }
  // (Later join groups already share the first group's encoders: their
  // output slots hold the same context and the same stream set-ups.)

  // Open the decoders.
  for (auto& pointer : ARun.InputStreams) {
    TInputStreamState& ist = *pointer;
    if (ist.DecodingNeeded != 1) continue;
    const std::string typeName = TypeName(ist.Stream);
    const AVCodec* codec =
        ist.ForcedDecoder ? ist.ForcedDecoder : lib::avcodec_find_decoder(ist.Stream->codecpar->codec_id);
    if (!codec) {
      DumpOutputs(ARun);
      std::string text =
          Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                 static_cast<int>(ist.Stream->codecpar->codec_id), ist.FileIndex, ist.Index, typeName.c_str());
      LogError(this, text);
      throw FFmpegException(text);
    }
    const int type = ist.Stream->codecpar->codec_type;
    if (type >= 0 && type < kOptionMediaTypes && FOptionStore.Codec[type]) {
      const int mask = (type == AVMEDIA_TYPE_VIDEO   ? AV_OPT_FLAG_VIDEO_PARAM
                        : type == AVMEDIA_TYPE_AUDIO ? AV_OPT_FLAG_AUDIO_PARAM
                                                     : AV_OPT_FLAG_SUBTITLE_PARAM) |
                       AV_OPT_FLAG_DECODING_PARAM;
      ApplySetOptions(FOptionStore, FOptionStore.Codec[type], ist.Decoder, mask);
    }
    ApplyCodecThreads(ist.Decoder, codec, FSettings.Run.FThreadCount);
    int result;
    {
      TServingLock<std::recursive_mutex> guard(CodecLock());
      result = lib::avcodec_open2(ist.Decoder, codec, nullptr);
      if (result >= 0) FOpenedDecoders.push_front(&ist);
    }
    if (result >= 0) FCodecThreadsUsed = std::max(FCodecThreadsUsed, ist.Decoder->thread_count);
    if (result < 0) {
      DumpOutputs(ARun);
      std::string text = Format("Error while opening decoder for input stream #%d.%d (%s)", ist.FileIndex, ist.Index,
                                typeName.c_str());
      LogError(this, text);
      throw FFmpegException(text);
    }
  }

  // Clocks and metadata maps.
  for (auto& ist : ARun.InputStreams) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
    ist->IsStart = 1;
  }
  for (int m = 0; m < FMetaDataMapCount; ++m) {
    const TMetaDataMap& map = FMetaDataMaps[m];
    if (map.OutFile < 0 || map.OutFile >= FOutputFileCount) {
      DumpOutputs(ARun);
      std::string text =
          Format("Invalid output file index %d map_meta_data(%d,%d)", map.OutFile, map.OutFile, map.InFile);
      LogError(this, text);
      throw FFmpegException(text);
    }
    if (map.InFile < 0 || map.InFile >= FInputFileCount) {
      DumpOutputs(ARun);
      std::string text =
          Format("Invalid input file index %d map_meta_data(%d,%d)", map.InFile, map.OutFile, map.InFile);
      LogError(this, text);
      throw FFmpegException(text);
    }
    lib::av_dict_copy(&FOutputFiles[map.OutFile]->metadata, FInputFiles[map.InFile]->metadata, 0);
  }

  // Write the output headers.
  bool allRtp = true;
  for (int i = 0; i < FOutputFileCount; ++i) {
    if (FJoin && i > 0) break;
    AVFormatContext* oc = FOutputFiles[i];
    if (lib::avformat_write_header(oc, nullptr) < 0) {
      DumpOutputs(ARun);
      std::string text = Format("Could not write header for output file #%d (incorrect codec parameters ?)", i);
      LogError(this, text);
      throw FFmpegException(text);
    }
    if (std::strcmp(oc->oformat->name, "rtp") != 0) allRtp = false;
  }
  if (allRtp) {
    char sdp[2048] = {};
    lib::av_sdp_create(FOutputFiles, FJoin ? 1 : FOutputFileCount, sdp, sizeof sdp);
    FFLoggerInstance()->Log(this, llInfo, "SDP:\r\n" + Trim(sdp));
  }
  // Bitstream filters, now that the streams' parameters and time bases are final.
  for (auto& pointer : ARun.OutputStreams) {
    TOutputStreamState& ost = *pointer;
    if (ost.FiltersReady || !ost.BitstreamFilters || ost.BitstreamFilters->Empty()) continue;
    const AVCodecParameters* par = ost.Stream->codecpar;
    for (AVBSFContext* bsf : ost.BitstreamFilters->Filters) {
      lib::avcodec_parameters_copy(bsf->par_in, par);
      bsf->time_base_in = ost.Stream->time_base;
      if (lib::av_bsf_init(bsf) < 0)
        throw FFmpegException(Format("Error initializing bitstream filter: %s", bsf->filter->name));
      par = bsf->par_out;
    }
    ost.FiltersReady = true;
  }

  // The dump and the stream mapping.
  DumpOutputs(ARun);
}
