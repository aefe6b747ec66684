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

// What a run record owns goes with it (unless the libraries are gone:
// then nothing can be freed any more).
TInputStreamState::~TInputStreamState() {
  if (FilterPicture && lib::av_frame_free) lib::av_frame_free(&FilterPicture);
  if (Decoder && lib::avcodec_free_context) lib::avcodec_free_context(&Decoder);
}

TOutputStreamState::~TOutputStreamState() {
  if (LogFile && lib::my_fclose) lib::my_fclose(LogFile);
  if (ScaledPicture && lib::av_frame_free) lib::av_frame_free(&ScaledPicture);
  if (Resample && lib::swr_free) lib::swr_free(&Resample);
  if (SampleConverter && lib::swr_free) lib::swr_free(&SampleConverter);
  if (Fifo && lib::av_audio_fifo_free) lib::av_audio_fifo_free(Fifo);
  if (ScalerContext && lib::sws_freeContext) lib::sws_freeContext(ScalerContext);
}

void TOutputStreamState::AllocScaledPicture() {
  ScaledPicture = lib::av_frame_alloc();
  if (ScaledPicture) {
    ScaledPicture->format = Encoder->pix_fmt;
    ScaledPicture->width = Encoder->width;
    ScaledPicture->height = Encoder->height;
  }
  if (!ScaledPicture || lib::av_frame_get_buffer(ScaledPicture, 0) < 0)
    throw FFmpegException(VideoResample ? "Cannot allocate temp picture, check pix fmt" : "avpicture_alloc fail");
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

// Dumps an output that cannot be written as asked, then fails the run.
[[noreturn]] void FailOutputFile(AVFormatContext* AContext, int AIndex, const std::string& AText) {
  lib::av_dump_format(AContext, AIndex, AContext->url ? AContext->url : "", 1);
  throw FFmpegException(AText);
}

// Whether an output stream of AType may take AInput without a stream map:
// no output takes it yet and, in join mode, it belongs to the output's own
// input (AOnlyFile; -1 for any input).
bool Usable(const TInputStreamState& AInput, int AType, int AOnlyFile) {
  return AInput.Discard == 1 && AInput.Stream->codecpar->codec_type == AType &&
         (AOnlyFile < 0 || AInput.FileIndex == AOnlyFile);
}

int FirstUsableStream(const TTranscodeRun& ARun, int AType, int AOnlyFile) {
  for (size_t k = 0; k < ARun.InputStreams.size(); ++k)
    if (Usable(*ARun.InputStreams[k], AType, AOnlyFile)) return static_cast<int>(k);
  return -1;
}

// The last input stream of AType, even one an output takes already.
int LastStreamOfType(const TTranscodeRun& ARun, int AType) {
  int found = -1;
  for (size_t k = 0; k < ARun.InputStreams.size(); ++k)
    if (ARun.InputStreams[k]->Stream->codecpar->codec_type == AType) found = static_cast<int>(k);
  return found;
}

// An output stream keeps its source's language (unless it has one of its
// own) and disposition.
void TakeLanguageAndDisposition(AVStream* AOutput, const AVStream* AInput) {
  const AVDictionaryEntry* language = lib::av_dict_get(AInput->metadata, "language", nullptr, 0);
  if (language && !lib::av_dict_get(AOutput->metadata, "language", nullptr, 0))
    lib::av_dict_set(&AOutput->metadata, "language", language->value, 0);
  AOutput->disposition = AInput->disposition;
}

// The time base of a stream copy: the input stream's, or the frame duration
// when the stream's is finer than a millisecond and finer than a frame.
AVRational CopyTimeBase(const AVStream* AInput) {
  AVRational frame =
      AInput->avg_frame_rate.num && AInput->avg_frame_rate.den ? av_inv_q(AInput->avg_frame_rate) : AVRational{0, 1};
  double s = av_q2d(AInput->time_base), c = frame.den ? av_q2d(frame) : 0;
  return (c > 0 && s < c && s < 0.001) ? frame : AInput->time_base;
}

// The pictures of an input as its corrections give them.
struct TSourcePictures {
  int Width = 0, Height = 0, Format = AV_PIX_FMT_NONE;
};

TSourcePictures CorrectedPictures(const TInputStreamState& AInput) {
  const TCorrectionPlan& plan = AInput.CorrectionPlan;
  const AVCodecParameters* par = AInput.Stream->codecpar;
  const bool swap = plan.Turn.SidesSwap();
  return {swap ? par->height : par->width, swap ? par->width : par->height,
          plan.ToneMap ? AV_PIX_FMT_YUV420P : par->format};
}

// The crop bands and the pads of an encoded video stream, and whether its
// pictures must be scaled or converted to reach the encoder.
void SetCropAndPad(TOutputStreamState& AOutput, const TVideoSettings& AVideo, const TOutputStreamSetup& ASetup,
                   const TSourcePictures& ASource) {
  const AVCodecContext* enc = AOutput.Encoder;
  AOutput.VideoCrop =
      (AVideo.FFrameTopBand || AVideo.FFrameBottomBand || AVideo.FFrameLeftBand || AVideo.FFrameRightBand) ? 1 : 0;
  AOutput.VideoPad = (ASetup.PadTop || ASetup.PadBottom || ASetup.PadLeft || ASetup.PadRight) ? 1 : 0;
  AOutput.VideoResample = (enc->width == ASource.Width - AVideo.FFrameLeftBand - AVideo.FFrameRightBand +
                                             ASetup.PadLeft + ASetup.PadRight &&
                           enc->height == ASource.Height - AVideo.FFrameTopBand - AVideo.FFrameBottomBand +
                                              ASetup.PadTop + ASetup.PadBottom &&
                           enc->pix_fmt == ASource.Format)
                              ? 0
                              : 1;
  if (AOutput.VideoCrop) {
    AOutput.TopBand = AOutput.ConfiguredTopBand = AVideo.FFrameTopBand;
    AOutput.BottomBand = AOutput.ConfiguredBottomBand = AVideo.FFrameBottomBand;
    AOutput.LeftBand = AOutput.ConfiguredLeftBand = AVideo.FFrameLeftBand;
    AOutput.RightBand = AOutput.ConfiguredRightBand = AVideo.FFrameRightBand;
  }
  if (AOutput.VideoPad) {
    AOutput.PadTop = ASetup.PadTop;
    AOutput.PadBottom = ASetup.PadBottom;
    AOutput.PadLeft = ASetup.PadLeft;
    AOutput.PadRight = ASetup.PadRight;
  }
}

// The statistics of pass 1, read whole for pass 2 (nul-terminated, from
// av_malloc: the encoder frees them).
char* ReadPassLog(const std::string& AName) {
  FILE* f = lib::my_fopen(AName.c_str(), "r");
  if (!f) throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", AName.c_str()));
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
  return text;
}

// The options that belong to this encoder privately (x264 presets, ...);
// the caller frees them.
AVDictionary* EncoderPrivateOptions(const AVCodec* ACodec, const std::vector<TPrivateOption>& AOptions) {
  AVDictionary* options = nullptr;
  for (const TPrivateOption& option : AOptions) {
    if (ACodec->priv_class && lib::av_opt_find(const_cast<AVClass**>(&ACodec->priv_class), option.Name.c_str(), nullptr,
                                               0, AV_OPT_SEARCH_FAKE_OBJ))
      lib::av_dict_set(&options, option.Name.c_str(), option.Value.c_str(), 0);
  }
  return options;
}

void ResetInputClocks(TTranscodeRun& ARun) {
  for (auto& ist : ARun.InputStreams) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
    ist->IsStart = 1;
  }
}

// Bitstream filters, once the streams' parameters and time bases are final.
void InitBitstreamFilters(TTranscodeRun& ARun) {
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
    AVFormatContext* ctx = FOutputFiles[i] ? FOutputFiles[i]->Context : nullptr;
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
  // Codecs still open (after a failure) are closed while their records
  // exist; then each record goes with what it owns (a pass-1 log file is
  // closed after its encoder wrote its last statistics).
  CloseOpenedCodecs();
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
    TInputFile& input = *FInputFiles[i];
    const TFileTimeline timeline = FileTimeline(input.Context, taken);
    if (!FSettings.Run.FCopyTs) {
      // The input's zero becomes the first timestamp of the streams used
      // (its offset counted from the file's start time so far).
      input.TsOffset += input.OpenZero - timeline.Zero;
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
      lengths[static_cast<size_t>(i)] = std::max<int64_t>(0, timeline.Length - input.StartPosition);
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

void TCustomFFmpeg::FailSetup(TTranscodeRun& ARun, const std::string& AText) {
  DumpOutputs(ARun);
  LogError(this, AText);
  throw FFmpegException(AText);
}

void TCustomFFmpeg::BuildInputTables(TTranscodeRun& ARun) {
  for (int i = 0; i < FInputFileCount; ++i) {
    const TInputFile& input = *FInputFiles[i];
    AVFormatContext* ic = input.Context;
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
      // The decoder named before the input opened.
      if (j < input.ForcedDecoders.size()) ist->ForcedDecoder = input.ForcedDecoders[j];
      ist->Decoder = lib::avcodec_alloc_context3(nullptr);
      if (!ist->Decoder || lib::avcodec_parameters_to_context(ist->Decoder, ist->Stream->codecpar) < 0)
        throw FFmpegException("av_mallocz fail");
      ist->Decoder->pkt_timebase = ist->Stream->time_base;
      ARun.InputStreams.push_back(std::move(ist));
    }
  }
}

void TCustomFFmpeg::CheckOutputsAndStreamMaps(TTranscodeRun& ARun) {
  int total = 0;
  ARun.OutputFileCount = FOutputFileCount;
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i]->Context;
    if (oc->nb_streams == 0) FailOutputFile(oc, i, Format("Output file #%d does not contain any stream", i));
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
}

void TCustomFFmpeg::MapOutputStreams(TTranscodeRun& ARun) {
  int n = 0;
  for (int i = 0; i < FOutputFileCount; ++i) {
    TOutputFile& output = *FOutputFiles[i];
    AVFormatContext* oc = output.Context;
    for (unsigned j = 0; j < oc->nb_streams; ++j, ++n) {
      auto ost = std::make_unique<TOutputStreamState>();
      ost->FileIndex = i;
      ost->Index = static_cast<int>(j);
      ost->Stream = oc->streams[j];
      TOutputStreamSetup& setup = output.Streams[j];
      ost->Encoder = setup.Codec;
      ost->AmrNb = setup.AmrNb.get();
      ost->BitstreamFilters = &output.FBitstreamFilters[j];
      if (FStreamMapCount > 0)
        MapToStreamMapEntry(ARun, *ost, FStreamMaps[n]);
      else
        MapToDefaultSource(ARun, *ost);
      ARun.InputStreams[ost->SourceIndex]->Discard = 0;
      ARun.OutputStreams.push_back(std::move(ost));
    }
  }
}

void TCustomFFmpeg::MapToStreamMapEntry(TTranscodeRun& ARun, TOutputStreamState& AOutput, const TStreamMap& AMap) {
  AOutput.SourceIndex = ARun.InputFiles[AMap.FileIndex].FirstStreamIndex + AMap.StreamIndex;
  const TInputStreamState& source = *ARun.InputStreams[AOutput.SourceIndex];
  if (source.Stream->codecpar->codec_type != AOutput.Stream->codecpar->codec_type)
    FailOutputFile(
        FOutputFiles[AOutput.FileIndex]->Context, AOutput.FileIndex,
        Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", AMap.FileIndex, AMap.StreamIndex,
               TypeName(source.Stream).c_str(), AOutput.FileIndex, AOutput.Index, TypeName(AOutput.Stream).c_str()));
  AOutput.SyncInput =
      ARun.InputStreams[ARun.InputFiles[AMap.SyncFileIndex].FirstStreamIndex + AMap.SyncStreamIndex].get();
}

void TCustomFFmpeg::MapToDefaultSource(TTranscodeRun& ARun, TOutputStreamState& AOutput) {
  const int type = AOutput.Stream->codecpar->codec_type;
  const int onlyFile = FJoin ? AOutput.FileIndex : -1;
  // The streams of the chosen program in its order, else the first unused
  // stream of the same type; otherwise the last stream of that type, even
  // one in use.
  int found =
      FSettings.Mux.FProgramId != 0 ? FindProgramStream(ARun, type, onlyFile) : FirstUsableStream(ARun, type, onlyFile);
  if (found < 0 && FSettings.Mux.FProgramId == 0 && !FJoin) found = LastStreamOfType(ARun, type);
  if (found < 0)
    FailOutputFile(FOutputFiles[AOutput.FileIndex]->Context, AOutput.FileIndex,
                   Format("Could not find input stream matching output stream #%d.%d (%s)", AOutput.FileIndex,
                          AOutput.Index, TypeName(AOutput.Stream).c_str()));
  AOutput.SourceIndex = found;
  AOutput.SyncInput = ARun.InputStreams[found].get();
}

int TCustomFFmpeg::FindProgramStream(const TTranscodeRun& ARun, int AType, int AOnlyFile) const {
  for (int f = 0; f < FInputFileCount; ++f) {
    const AVFormatContext* ic = FInputFiles[f]->Context;
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
      const AVProgram* program = ic->programs[p];
      if (program->id != FSettings.Mux.FProgramId) continue;
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
        int index = ARun.InputFiles[f].FirstStreamIndex + static_cast<int>(program->stream_index[k]);
        if (index < static_cast<int>(ARun.InputStreams.size()) && Usable(*ARun.InputStreams[index], AType, AOnlyFile))
          return index;
      }
    }
  }
  return -1;
}

void TCustomFFmpeg::PrepareOutputStream(TTranscodeRun& ARun, size_t AIndex) {
  TOutputStreamState& ost = *ARun.OutputStreams[AIndex];
  TInputStreamState& ist = *ARun.InputStreams[ost.SourceIndex];
  const bool firstGroup = !FJoin || static_cast<int>(AIndex) < ARun.JoinStride;
  const TOutputStreamSetup& setup = FOutputFiles[ost.FileIndex]->Streams[ost.Index];
  TakeLanguageAndDisposition(ost.Stream, ist.Stream);
  if (setup.StreamCopy) {
    // Later join groups write into the first group's streams.
    if (firstGroup) PrepareStreamCopy(ost, ist);
    return;
  }
  PrepareEncoding(ARun, ost, ist, setup);
  if (firstGroup && (ost.Encoder->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) PreparePassLog(ost, AIndex);
}

void TCustomFFmpeg::PrepareStreamCopy(TOutputStreamState& AOutput, const TInputStreamState& AInput) {
  // The output stream takes the input's parameters.
  AVStream* os = AOutput.Stream;
  const AVCodecParameters* in = AInput.Stream->codecpar;
  const uint32_t keptTag = os->codecpar->codec_tag;
  const AVRational aspect = os->codecpar->sample_aspect_ratio;
  if (lib::avcodec_parameters_copy(os->codecpar, in) < 0) throw FFmpegException("av_mallocz fail");
  const AVOutputFormat* format = FOutputFiles[AOutput.FileIndex]->Context->oformat;
  os->codecpar->codec_tag = keptTag ? keptTag : (KeepCodecTag(format, in) ? in->codec_tag : 0);
  os->time_base = CopyTimeBase(AInput.Stream);
  switch (in->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      if (FOnCustomHook) throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
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
}

void TCustomFFmpeg::PrepareEncoding(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                                    const TOutputStreamSetup& ASetup) {
  AVCodecContext* enc = AOutput.Encoder;
  if (!enc) throw FFmpegException("invalid codec_type of output stream");
  const AVCodecParameters* source = AInput.Stream->codecpar;
  enc->bits_per_raw_sample = source->bits_per_raw_sample;
  enc->chroma_sample_location = source->chroma_location;
  switch (enc->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      PrepareVideoEncoding(ARun, AOutput, AInput, ASetup);
      return;
    case AVMEDIA_TYPE_AUDIO:
      AOutput.FormatPairKey = -6;
      AOutput.AudioResample = (enc->sample_rate != source->sample_rate || FSettings.Run.FAudioSyncMethod > 1) ? 1 : 0;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }
  AOutput.EncodingNeeded = 1;
  AInput.DecodingNeeded = 1;
}

void TCustomFFmpeg::PrepareVideoEncoding(TTranscodeRun& ARun, TOutputStreamState& AOutput, TInputStreamState& AInput,
                                         const TOutputStreamSetup& ASetup) {
  AVCodecContext* enc = AOutput.Encoder;
  if (enc->pix_fmt == AV_PIX_FMT_NONE) throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
  FBitBufferSize = std::max(FBitBufferSize, 6 * enc->width * enc->height + 200);
  PlanPictureCorrections(ARun, AInput);
  DescribeWrittenColours(AInput, enc);
  const TSourcePictures source = CorrectedPictures(AInput);
  LogPictureFormatChange(AOutput, source.Format);
  SetCropAndPad(AOutput, FSettings.Video, ASetup, source);
  PrepareVideoScaling(AOutput, ASetup, source.Width, source.Height, source.Format);
  enc->bits_per_raw_sample = 0;
  AOutput.EncodingNeeded = 1;
  AInput.DecodingNeeded = 1;
  FLastError.clear();
  if (FSettings.Video.FUseFilters && ConfigureFilters(AInput, AOutput) != 0)
    throw FFmpegException(FLastError.empty() ? "Error opening filters!" : "Error opening filters: " + FLastError);
}

void TCustomFFmpeg::LogPictureFormatChange(const TOutputStreamState& AOutput, int AFormat) {
  const AVCodecContext* enc = AOutput.Encoder;
  if (AFormat == AV_PIX_FMT_NONE || AFormat == enc->pix_fmt || FSettings.Run.FVerbose < 0) return;
  const char* from = lib::av_get_pix_fmt_name(static_cast<AVPixelFormat>(AFormat));
  const char* to = lib::av_get_pix_fmt_name(enc->pix_fmt);
  FFLoggerInstance()->Log(
      this, llInfo,
      Format("Output stream #%d.%d (%s): the source's pictures are %s, the encoder "
             "gets %s.",
             AOutput.FileIndex, AOutput.Index, lib::avcodec_get_name(enc->codec_id), from ? from : "?", to ? to : "?"));
}

void TCustomFFmpeg::PrepareVideoScaling(TOutputStreamState& AOutput, const TOutputStreamSetup& ASetup, int AWidth,
                                        int AHeight, int AFormat) {
  const AVCodecContext* enc = AOutput.Encoder;
  const TVideoSettings& video = FSettings.Video;
  const int croppedWidth = AWidth - video.FFrameLeftBand - video.FFrameRightBand;
  const int croppedHeight = AHeight - video.FFrameTopBand - video.FFrameBottomBand;
  if (AOutput.VideoPad || AOutput.VideoResample) AOutput.AllocScaledPicture();
  // An input whose pixel format is still unknown (no picture was decoded
  // while probing, as in a cut file) gets its scaler from the first
  // decoded picture, which makes one when there is none: libswscale
  // aborts on AV_PIX_FMT_NONE instead of refusing it.
  if (AOutput.VideoResample && !video.FUseFilters && AFormat != AV_PIX_FMT_NONE) {
    int64_t flags = FSettings.Run.FSwsFlags;
    if (FOptionStore.Scaler) lib::av_opt_get_int(FOptionStore.Scaler, "sws_flags", 0, &flags);
    FSettings.Run.FSwsFlags = static_cast<int>(flags);
    AOutput.ScalerContext =
        MakeScaler(croppedWidth, croppedHeight, AFormat, enc->width - ASetup.PadLeft - ASetup.PadRight,
                   enc->height - ASetup.PadTop - ASetup.PadBottom, enc->pix_fmt, FSettings.Run.FSwsFlags,
                   FSettings.Run.FThreadCount);
    if (!AOutput.ScalerContext) throw FFmpegException("Cannot get resampling context");
  }
  if (video.FUseFilters) {
    AOutput.ResampleHeight = AHeight;
  } else {
    AOutput.InitialHeight = AHeight;
    AOutput.InitialWidth = AWidth;
    AOutput.ResampleHeight = croppedHeight;
    AOutput.ResampleWidth = croppedWidth;
    AOutput.ResamplePixFmt = AFormat;
  }
}

void TCustomFFmpeg::PreparePassLog(TOutputStreamState& AOutput, size_t AIndex) {
  AVCodecContext* enc = AOutput.Encoder;
  const std::string& prefix = FSettings.Video.FPassLogFilePrefix;
  std::string name = (prefix.empty() ? "ffmpeg2pass" : prefix) + "-" + std::to_string(AIndex) + ".log";
  if (name.size() > 1023) name.resize(1023);
  if (enc->flags & AV_CODEC_FLAG_PASS1) {
    AOutput.LogFile = lib::my_fopen(name.c_str(), "w");
    if (!AOutput.LogFile) throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
    return;
  }
  char* text = ReadPassLog(name);
  lib::av_freep(&enc->stats_in);
  enc->stats_in = text;
}

void TCustomFFmpeg::OpenEncoders(TTranscodeRun& ARun) {
  // In join mode only the first group's: the later groups' output slots
  // hold the same contexts and the same stream set-ups.
  for (size_t i = 0; i < ARun.OutputStreams.size(); ++i) {
    if (FJoin && static_cast<int>(i) >= ARun.JoinStride) break;
    TOutputStreamState& ost = *ARun.OutputStreams[i];
    if (!ost.EncodingNeeded) continue;
    if (ost.AmrNb)
      OpenAmrNbEncoder(ost);
    else
      OpenEncoder(ARun, ost);
  }
}

void TCustomFFmpeg::OpenAmrNbEncoder(TOutputStreamState& AOutput) {
  AVCodecContext* enc = AOutput.Encoder;
  AOutput.AmrNb->Open(enc->sample_rate, enc->ch_layout.nb_channels, enc->bit_rate);
  enc->bit_rate = AOutput.AmrNb->BitRate();
  FOpenedEncoders.push_front(&AOutput);
  lib::avcodec_parameters_from_context(AOutput.Stream->codecpar, enc);
  AOutput.Stream->time_base = AVRational{1, enc->sample_rate};
}

const AVCodec* TCustomFFmpeg::ChosenEncoder(const TOutputStreamState& AOutput) const {
  const AVCodec* codec = FOutputFiles[AOutput.FileIndex]->Streams[AOutput.Index].ForcedEncoder;
  return codec ? codec : lib::avcodec_find_encoder(AOutput.Encoder->codec_id);
}

void TCustomFFmpeg::OpenEncoder(TTranscodeRun& ARun, TOutputStreamState& AOutput) {
  AVCodecContext* enc = AOutput.Encoder;
  const std::string typeName = MediaTypeName(enc->codec_type);
  const AVCodec* codec = ChosenEncoder(AOutput);
  if (!codec)
    FailSetup(ARun, Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                           static_cast<int>(enc->codec_id), AOutput.FileIndex, AOutput.Index, typeName.c_str()));
  AVDictionary* options = EncoderPrivateOptions(codec, FSettings.Run.FPrivateOptions);
  ApplyCodecThreads(enc, codec, FSettings.Run.FThreadCount);
  int result;
  {
    TServingLock<std::recursive_mutex> guard(CodecLock());
    result = lib::avcodec_open2(enc, codec, &options);
    if (result >= 0) FOpenedEncoders.push_front(&AOutput);
  }
  if (result >= 0) FCodecThreadsUsed = std::max(FCodecThreadsUsed, enc->thread_count);
  lib::av_dict_free(&options);
  if (result < 0)
    FailSetup(ARun, Format("Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters "
                           "such as bit_rate, rate, width or height",
                           AOutput.FileIndex, AOutput.Index, typeName.c_str()));
  FExtraSize += enc->extradata_size;
  lib::avcodec_parameters_from_context(AOutput.Stream->codecpar, enc);
  AOutput.Stream->time_base = enc->time_base;
}

void TCustomFFmpeg::OpenDecoder(TTranscodeRun& ARun, TInputStreamState& AInput) {
  const std::string typeName = TypeName(AInput.Stream);
  const AVCodecParameters* par = AInput.Stream->codecpar;
  const AVCodec* codec = AInput.ForcedDecoder ? AInput.ForcedDecoder : lib::avcodec_find_decoder(par->codec_id);
  if (!codec)
    FailSetup(ARun, Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                           static_cast<int>(par->codec_id), AInput.FileIndex, AInput.Index, typeName.c_str()));
  const int type = par->codec_type;
  if (type >= 0 && type < kOptionMediaTypes && FOptionStore.Codec[type]) {
    const int mask = (type == AVMEDIA_TYPE_VIDEO   ? AV_OPT_FLAG_VIDEO_PARAM
                      : type == AVMEDIA_TYPE_AUDIO ? AV_OPT_FLAG_AUDIO_PARAM
                                                   : AV_OPT_FLAG_SUBTITLE_PARAM) |
                     AV_OPT_FLAG_DECODING_PARAM;
    ApplySetOptions(FOptionStore, FOptionStore.Codec[type], AInput.Decoder, mask);
  }
  ApplyCodecThreads(AInput.Decoder, codec, FSettings.Run.FThreadCount);
  int result;
  {
    TServingLock<std::recursive_mutex> guard(CodecLock());
    result = lib::avcodec_open2(AInput.Decoder, codec, nullptr);
    if (result >= 0) FOpenedDecoders.push_front(&AInput);
  }
  if (result >= 0) FCodecThreadsUsed = std::max(FCodecThreadsUsed, AInput.Decoder->thread_count);
  if (result < 0)
    FailSetup(ARun, Format("Error while opening decoder for input stream #%d.%d (%s)", AInput.FileIndex, AInput.Index,
                           typeName.c_str()));
}

void TCustomFFmpeg::CopyMetadataMaps(TTranscodeRun& ARun) {
  for (int m = 0; m < FMetaDataMapCount; ++m) {
    const TMetaDataMap& map = FMetaDataMaps[m];
    if (map.OutFile < 0 || map.OutFile >= FOutputFileCount)
      FailSetup(ARun,
                Format("Invalid output file index %d map_meta_data(%d,%d)", map.OutFile, map.OutFile, map.InFile));
    if (map.InFile < 0 || map.InFile >= FInputFileCount)
      FailSetup(ARun, Format("Invalid input file index %d map_meta_data(%d,%d)", map.InFile, map.OutFile, map.InFile));
    lib::av_dict_copy(&FOutputFiles[map.OutFile]->Context->metadata, FInputFiles[map.InFile]->Context->metadata, 0);
  }
}

void TCustomFFmpeg::WriteOutputHeaders(TTranscodeRun& ARun) {
  bool allRtp = true;
  for (int i = 0; i < FOutputFileCount; ++i) {
    if (FJoin && i > 0) break;
    if (FOutputFiles[i]->WriteHeader() < 0)
      FailSetup(ARun, Format("Could not write header for output file #%d (incorrect codec parameters ?)", i));
    if (std::strcmp(FOutputFiles[i]->Context->oformat->name, "rtp") != 0) allRtp = false;
  }
  // Outputs that are all RTP streams are described for their receivers.
  if (allRtp) {
    char sdp[2048] = {};
    std::vector<AVFormatContext*> outputs;
    for (const std::unique_ptr<TOutputFile>& output : FOutputRecords) outputs.push_back(output->Context);
    lib::av_sdp_create(outputs.data(), static_cast<int>(outputs.size()), sdp, sizeof sdp);
    FFLoggerInstance()->Log(this, llInfo, "SDP:\r\n" + Trim(sdp));
  }
}

void TCustomFFmpeg::TranscodeSetup(TTranscodeRun& ARun) {
  if (!FBuffers) FBuffers = std::make_unique<TPipelineBuffers>();
  FOutputsEmpty = false;
  FFramesDup = FFramesDrop = 0;
  FCodecThreadsUsed = 1;
  FVideoSize = FAudioSize = FExtraSize = 0;
  FHookFrameNumber = 0;

  BuildInputTables(ARun);
  CheckOutputsAndStreamMaps(ARun);
  MapOutputStreams(ARun);
  AlignInputTimelines(ARun);
  for (size_t i = 0; i < ARun.OutputStreams.size(); ++i) PrepareOutputStream(ARun, i);
  OpenEncoders(ARun);
  for (auto& ist : ARun.InputStreams)
    if (ist->DecodingNeeded == 1) OpenDecoder(ARun, *ist);
  ResetInputClocks(ARun);
  CopyMetadataMaps(ARun);
  WriteOutputHeaders(ARun);
  InitBitstreamFilters(ARun);
  // The dump and the stream mapping.
  DumpOutputs(ARun);
}
