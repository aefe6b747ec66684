// Creating the outputs of an engine instance: the container of each output,
// its video, audio and subtitle streams with every encoder parameter taken
// from the settings, the output metadata and the output file itself; and the
// video filter graph of an encoded video stream.
//
// Streams carry only their parameters (codecpar). The encoder context of
// each output stream is the engine's own (its output's TOutputStreamSetup): it is
// filled here, copied to the stream's parameters so that anything looking
// at the output sees them, and opened by the transcode set-up, which copies
// the parameters again once the encoder is open.
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/EncoderLimits.h"
#include "engine/config/FFmpeg.h"
#include "engine/config/FrameFit.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/OutputFiles.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"

namespace {

const char* const kCropWithFiltersText = "Cannot enable crop options and filters at the same time.";
const char* const kPadWithResizingText =
    "Cannot enable pad options and the filters which resize frame at the same time. (crop, rotate, scale, "
    "transpose, etc.)";

// The option-flag masks with which the stored options reach each kind of
// stream (the media flag and the encoding flag).
constexpr int kVideoStreamMask = AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM;        // 17
constexpr int kAudioStreamMask = AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM;        // 9
constexpr int kSubtitleStreamMask = AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM;  // 33

// True when the filter text names a filter that changes the frame size.
bool ResizesFrames(const std::string& AText) {
  if (AText.empty()) return false;
  static const std::string kResizing = ",crop,rotate,scale,transpose,";
  std::string rest = LowerCase(AText);
  while (!rest.empty()) {
    std::string piece;
    SplitAt(rest, ",", true, piece);
    std::string name;
    SplitAt(piece, "=", false, name);
    name = Trim(name);  // "hflip, scale=..." names scale too
    if (!name.empty() && kResizing.find("," + name + ",") != std::string::npos) return true;
  }
  return false;
}

// The sample aspect ratio of a WxH picture shown at AAspect (the display
// aspect); a picture without a size is taken as 4:3.
AVRational SampleAspect(float AAspect, int AWidth, int AHeight) {
  const double ratio = AWidth != 0 && AHeight != 0 ? static_cast<double>(AAspect) * AHeight / AWidth
                                                   : static_cast<double>(AAspect) * 3 / 4;
  return DoubleToRational(ratio, 255);
}

// "START,END,Q" entries separated by "/": START and END are digits, each
// followed by one more character (the comma); Q is an optionally signed
// number read up to its first non-digit. False on a malformed entry.
bool ParseRcOverrides(const std::string& AText, std::vector<RcOverride>& AEntries) {
  AEntries.clear();
  if (AText.empty()) return true;
  size_t pos = 0;
  auto readDigits = [&AText, &pos](int& AValue) {
    const size_t start = pos;
    int64_t value = 0;
    while (pos < AText.size() && AText[pos] >= '0' && AText[pos] <= '9') {
      if (value < INT32_MAX) value = value * 10 + (AText[pos] - '0');
      ++pos;
    }
    AValue = static_cast<int>(value < INT32_MAX ? value : INT32_MAX);
    return pos > start;
  };
  for (;;) {
    RcOverride entry{};
    int q = 0;
    if (!readDigits(entry.start_frame) || pos >= AText.size()) return false;
    ++pos;
    if (!readDigits(entry.end_frame) || pos >= AText.size()) return false;
    ++pos;
    bool negative = false;
    if (pos < AText.size() && (AText[pos] == '-' || AText[pos] == '+')) negative = AText[pos++] == '-';
    readDigits(q);
    if (negative) q = -q;
    if (q > 0) {
      entry.qscale = q;
      entry.quality_factor = 1.0f;
    } else {
      entry.qscale = 0;
      entry.quality_factor = static_cast<float>(-q) / 100.0f;
    }
    AEntries.push_back(entry);
    const size_t slash = AText.find('/', pos);
    if (slash == std::string::npos) return true;
    pos = slash + 1;
  }
}

// The time as an ISO 8601 UTC text, as muxers read "creation_time".
std::string CreationTimeText(int64_t ASeconds) {
  const time_t seconds = static_cast<time_t>(ASeconds);
  struct tm parts {};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return std::string(text) + ".000000Z";
}

// Whether the output's file name must hold a frame-number pattern. The
// image2 muxer of this library generation no longer declares
// AVFMT_NEEDNUMBER: it writes one picture per name and refuses the second
// picture of a name without a pattern, unless its "update" option (one file
// rewritten) or "strftime" option (a time pattern) is on.
bool NeedsFrameNumber(const AVFormatContext* AContext) {
  const AVOutputFormat* format = AContext->oformat;
  if (format->flags & AVFMT_NEEDNUMBER) return true;
  if (std::strcmp(format->name, "image2") != 0) return false;
  int64_t update = 0, strftime = 0;
  if (AContext->priv_data) {
    lib::av_opt_get_int(AContext->priv_data, "update", 0, &update);
    lib::av_opt_get_int(AContext->priv_data, "strftime", 0, &strftime);
  }
  return update == 0 && strftime == 0;
}

bool ListsPixelFormat(const AVPixelFormat* AList, int AFormat) {
  for (; *AList != AV_PIX_FMT_NONE; ++AList)
    if (*AList == AFormat) return true;
  return false;
}

// A channel layout as the library names it ("5.1(side)", "stereo").
std::string LayoutText(const AVChannelLayout& ALayout) {
  char text[128] = {};
  if (lib::av_channel_layout_describe(&ALayout, text, sizeof text) < 0) return "unknown";
  return text;
}

bool ListsSampleFormat(const AVSampleFormat* AList, int AFormat) {
  for (; *AList != AV_SAMPLE_FMT_NONE; ++AList)
    if (*AList == AFormat) return true;
  return false;
}

// Copies what the codec context says about the stream to the stream.
void PublishParameters(AVStream* AStream, const AVCodecContext* ACodec) {
  lib::avcodec_parameters_from_context(AStream->codecpar, ACodec);
  if (ACodec->time_base.num > 0 && ACodec->time_base.den > 0) AStream->time_base = ACodec->time_base;
}

void FreeFilterGraph(AVFilterGraph* AGraph) {
  if (AGraph && lib::avfilter_graph_free) lib::avfilter_graph_free(&AGraph);
}

// Appends the filter AFilter (named after itself) with AArgs behind ALast,
// which is then the new filter; false when it cannot be created or linked.
bool AppendFilter(AVFilterGraph* AGraph, AVFilterContext*& ALast, const char* AFilter, const std::string& AArgs) {
  AVFilterContext* filter = nullptr;
  if (lib::avfilter_graph_create_filter(&filter, lib::avfilter_get_by_name(AFilter), AFilter, AArgs.c_str(), nullptr,
                                        AGraph) < 0)
    return false;
  if (lib::avfilter_link(ALast, 0, filter, 0) < 0) return false;
  ALast = filter;
  return true;
}

// The ends of a video filter graph: the "buffer" source "src" fed with the
// pictures of AInput as its corrections give them (AWidth x AHeight: turned,
// 8-bit after tone mapping), and the "buffersink" "out" that gives pictures
// in the encoder's pixel format. False when one cannot be created.
bool CreateFilterEnds(AVFilterGraph* AGraph, const TInputStreamState& AInput, int AWidth, int AHeight,
                      const AVCodecContext* AEncoder, AVFilterContext*& ASource, AVFilterContext*& ASink) {
  const AVCodecContext* decoder = AInput.Decoder;
  AVRational timeBase = AInput.Stream ? AInput.Stream->time_base : decoder->time_base;
  if (timeBase.num <= 0 || timeBase.den <= 0) timeBase = AVRational{1, AV_TIME_BASE};
  AVRational aspect = decoder->sample_aspect_ratio;
  if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{1, 1};
  const TCorrectionPlan& plan = AInput.CorrectionPlan;
  const int sourceFormat = plan.ToneMap ? AV_PIX_FMT_YUV420P : static_cast<int>(decoder->pix_fmt);
  if (plan.Turn.SidesSwap()) aspect = AVRational{aspect.den, aspect.num};
  const std::string sourceArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", AWidth,
                                        AHeight, sourceFormat, timeBase.num, timeBase.den, aspect.num, aspect.den);
  if (lib::avfilter_graph_create_filter(&ASource, lib::avfilter_get_by_name("buffer"), "src", sourceArgs.c_str(),
                                        nullptr, AGraph) < 0)
    return false;
  if (lib::avfilter_graph_create_filter(&ASink, lib::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                        AGraph) < 0)
    return false;
  if (AEncoder->pix_fmt != AV_PIX_FMT_NONE) {
    const int formats[1] = {static_cast<int>(AEncoder->pix_fmt)};
    if (lib::av_opt_set_bin(ASink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats), sizeof formats,
                            AV_OPT_SEARCH_CHILDREN) < 0)
      return false;
  }
  return true;
}

// Links ALast to ASink through the filter text AText, or directly when
// there is none; false on failure.
bool LinkFilterText(AVFilterGraph* AGraph, const std::string& AText, AVFilterContext* ALast, AVFilterContext* ASink) {
  if (AText.empty()) return lib::avfilter_link(ALast, 0, ASink, 0) >= 0;
  // The open ends of the text: "in" is fed by the last filter, "out"
  // feeds the sink.
  AVFilterInOut* outputs = lib::avfilter_inout_alloc();
  AVFilterInOut* inputs = lib::avfilter_inout_alloc();
  int result = -1;
  if (outputs && inputs) {
    outputs->name = lib::av_strdup("in");
    outputs->filter_ctx = ALast;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = lib::av_strdup("out");
    inputs->filter_ctx = ASink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    result = lib::avfilter_graph_parse_ptr(AGraph, AText.c_str(), &inputs, &outputs, nullptr);
  }
  lib::avfilter_inout_free(&inputs);
  lib::avfilter_inout_free(&outputs);
  return result >= 0;
}

// The encoder a new stream gets.
struct TEncoderChoice {
  const AVCodec* Encoder = nullptr;  // libavcodec's encoder, when there is one
  const AVCodec* Forced = nullptr;   // the encoder chosen by name
  int CodecId = AV_CODEC_ID_NONE;
  bool OwnAmrNb = false;  // the engine's own AMR-NB encoder
};

// Why one more stream cannot be added to the output AContext (number
// AFile), or empty when it can.
std::string StreamCapacityError(int AFile, const AVFormatContext* AContext, int AOutputCodecCount) {
  if (AFile >= MAX_FILES) return Format("Too many output files (at most %d)", MAX_FILES);
  if (AContext->nb_streams >= static_cast<unsigned>(MAX_STREAMS))
    return Format("Too many streams in one output file (at most %d)", MAX_STREAMS);
  if (AOutputCodecCount >= MAX_STREAM_MAPS) return Format("Too many output streams (at most %d)", MAX_STREAM_MAPS);
  return {};
}

}  // namespace

int TCustomFFmpeg::OutputFileIndex(const AVFormatContext* AContext) const {
  for (int i = 0; i < FOutputFileCount && i < MAX_FILES; ++i)
    if (FOutputFiles[i]->Context == AContext) return i;
  return FOutputFileCount;
}

void TCustomFFmpeg::CheckInputMedia(bool AJoin, bool& AHasVideo, bool& AHasAudio, bool& AHasSubtitle) const {
  AHasVideo = AHasAudio = AHasSubtitle = false;
  const int inputs = AJoin ? (FInputFileCount > 0 ? 1 : 0) : FInputFileCount;
  for (int i = 0; i < inputs; ++i) {
    const AVFormatContext* input = FInputFiles[i] ? FInputFiles[i]->Context : nullptr;
    if (!input) continue;
    for (unsigned j = 0; j < input->nb_streams; ++j) {
      const int type = input->streams[j]->codecpar->codec_type;
      if (type < AVMEDIA_TYPE_UNKNOWN || type > AVMEDIA_TYPE_ATTACHMENT)
        throw FFmpegException("invalid codec_type of input file");
      if (type == AVMEDIA_TYPE_VIDEO)
        AHasVideo = true;
      else if (type == AVMEDIA_TYPE_AUDIO)
        AHasAudio = true;
      else if (type == AVMEDIA_TYPE_SUBTITLE)
        AHasSubtitle = true;
    }
  }
}

int TCustomFFmpeg::FailOutputOpen(TOutputOpening& AOpen, const std::string& AText) {
  FLastError = AText;
  if (AOpen.Output) {
    if (AOpen.IoOpened) {
      CloseOutputIO(AOpen.Output->Context);
      if (!AOpen.FileExisted) ::unlink(LocalFilePath(AOpen.WrittenName).c_str());
    }
    if (AOpen.Recorded) --FOutputFileCount;
    // The record frees the streams' encoders and bitstream filters and the
    // format context.
    if (AOpen.Slot < MAX_FILES) FOutputFiles[AOpen.Slot] = nullptr;
    AOpen.Output.reset();
  }
  FOutputCodecCount = AOpen.CodecCountBefore;
  FSettings.Mux.FOutputFormat = nullptr;
  FSettings.Mux.FInputFormat = nullptr;
  return -1;
}

std::string TCustomFFmpeg::AddOutputStreams(AVFormatContext* AContext, const AVOutputFormat* AFormat, bool AJoin) {
  // Which streams the output gets.
  bool useVideo = FSettings.Video.FVideoStreamCopy != 0 || AFormat->video_codec != AV_CODEC_ID_NONE ||
                  !FSettings.Video.FVideoCodecName.empty();
  bool useAudio = FSettings.Audio.FAudioStreamCopy != 0 || AFormat->audio_codec != AV_CODEC_ID_NONE ||
                  !FSettings.Audio.FAudioCodecName.empty();
  bool useSubtitle = FSettings.Subtitle.FSubtitleStreamCopy != 0 || AFormat->subtitle_codec != AV_CODEC_ID_NONE ||
                     !FSettings.Subtitle.FSubtitleCodecName.empty();
  if (FInputFileCount > 0) {
    bool hasVideo = false, hasAudio = false, hasSubtitle = false;
    try {
      CheckInputMedia(AJoin, hasVideo, hasAudio, hasSubtitle);
    } catch (const std::exception& e) {
      return Format("check_audio_video_sub_inputs fail: %s", e.what());
    }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (FSettings.Audio.FAudioDisable) useAudio = false;
  if (FSettings.Subtitle.FSubtitleDisable) useSubtitle = false;

  // The streams.
  if (!FSettings.Video.FVideoDisable && useVideo) {
    try {
      NewVideoStream(AContext);
    } catch (const std::exception& e) {
      return Format("new_video_stream fail: %s", e.what());
    }
  }
  if (useAudio) {
    try {
      NewAudioStream(AContext);
    } catch (const std::exception& e) {
      return Format("new_audio_stream fail: %s", e.what());
    }
  }
  if (useSubtitle) {
    try {
      NewSubtitleStream(AContext);
    } catch (const std::exception& e) {
      return Format("new_subtitle_stream fail: %s", e.what());
    }
  }
  return {};
}

void TCustomFFmpeg::ApplyOutputMetadata(AVFormatContext* AContext) {
  // The recording timestamp. The format context of this generation
  // has no timestamp of its own: muxers that store a creation time read
  // the "creation_time" metadata (ISO 8601, UTC).
  if (FSettings.Mux.FRecordingTimestamp != 0)
    lib::av_dict_set(&AContext->metadata, "creation_time", CreationTimeText(FSettings.Mux.FRecordingTimestamp).c_str(),
                     0);

  // Metadata, the last pair first; the list is empty afterwards. The
  // muxers convert the generic keys to their own names themselves.
  while (!FSettings.Mux.FMetadata.empty()) {
    const auto& pair = FSettings.Mux.FMetadata.back();
    lib::av_dict_set(&AContext->metadata, pair.first.c_str(), pair.second.c_str(), 0);
    FSettings.Mux.FMetadata.pop_back();
  }
}

void TCustomFFmpeg::ApplyMuxSettings(AVFormatContext* AContext, const AVOutputFormat* AFormat) {
  // "preload" and the loop count are private options of the muxers that
  // have them (the MPEG program stream muxers; gif), and the private options
  // given as options go last, so that they win over the engine's own
  // settings.
  AContext->max_delay = static_cast<int>(FSettings.Mux.FMuxMaxDelay * 1000000);
  const bool hasPrivate = AContext->priv_data && AFormat->priv_class;
  auto privateOption = [&](const char* AName) {
    return hasPrivate && lib::av_opt_find(AContext->priv_data, AName, nullptr, 0, 0) != nullptr;
  };
  if (privateOption("preload"))
    lib::av_opt_set_int(AContext->priv_data, "preload", static_cast<int64_t>(FSettings.Mux.FMuxPreload * 1000000), 0);
  if (FSettings.Mux.FLoopOutput >= 0 && privateOption("loop"))
    lib::av_opt_set_int(AContext->priv_data, "loop", FSettings.Mux.FLoopOutput, 0);
  AContext->flags |= AVFMT_FLAG_NONBLOCK;
  ApplySetOptions(FOptionStore, FOptionStore.Format, AContext, AV_OPT_FLAG_ENCODING_PARAM);
  for (const TPrivateOption& option : FSettings.Run.FPrivateOptions) {
    if (!privateOption(option.Name.c_str())) continue;
    if (lib::av_opt_set(AContext->priv_data, option.Name.c_str(), option.Value.c_str(), 0) < 0)
      FFLoggerInstance()->Log(
          this, llError, Format("Invalid value \"%s\" for option \"%s\"", option.Value.c_str(), option.Name.c_str()));
  }
}

std::string TCustomFFmpeg::OpenOutputTarget(TOutputOpening& AOpen, const std::u16string& AFileName,
                                            const std::string& ALibraryName, const std::string& AShownName) {
  // An existing file is overwritten unless overwriting is off; then the file
  // is created new (exclusively, so a file that appeared since the caller
  // planned the name is never truncated). The reason of a failure
  // (read-only file system, no permission, ...) goes to the log.
  const std::string localPath = LocalFilePath(AFileName);  // empty for a URL
  // Written under its temporary name when asked for (a local file only),
  // renamed onto AFileName when the run ends.
  const bool partial = FWritePartialFiles && !localPath.empty();
  std::u16string& writtenName = AOpen.WrittenName;
  if (partial) writtenName = PartialFileName(AFileName);
  std::string writtenLibraryName = ALibraryName;
  if (partial && !ToLibraryFileName(writtenName, writtenLibraryName)) return FileNameTooLongText(writtenName);
  const bool exclusive = !FOverwrite && !localPath.empty();
  AOpen.FileExisted = !exclusive && !localPath.empty() && FileExistsW(writtenName);
  int opened = exclusive && partial && NameTaken(AFileName) ? AVERROR(EEXIST) : 0;
  const bool reserved = partial && FReuseReservations && FileSizeByName(writtenName) == 0;
  if (opened >= 0 && exclusive && !reserved) opened = CreateNewFile(writtenName);
  if (opened >= 0) {
    opened = OpenOutputIO(AOpen.Output->Context, writtenLibraryName);
    if (opened < 0 && exclusive) ::unlink(LocalFilePath(writtenName).c_str());
  }
  if (opened < 0) {
    FFLoggerInstance()->Log(this, llError, AShownName + ": " + LibraryErrorText(opened));
    return Format("Could not open '%s'", AShownName.c_str());
  }
  AOpen.IoOpened = true;
  AOpen.Output->Created = !localPath.empty() && !AOpen.FileExisted;
  return {};
}

void TCustomFFmpeg::RecordJoinedOutputs() {
  FJoin = true;
  int64_t total = 0;
  for (int i = 0; i < FInputFileCount; ++i)
    if (FInputFiles[i] && FInputFiles[i]->Context->duration != AV_NOPTS_VALUE)
      total += FInputFiles[i]->Context->duration / 1000;
  FTotalDuration = total != 0 ? total : -1;
  for (int i = 1; i < FInputFileCount; ++i) {
    FOutputFiles[FOutputFileCount] = FOutputFiles[FOutputFileCount - 1];
    ++FOutputFileCount;
  }
}

int TCustomFFmpeg::OpenOutputFile(const std::u16string& AFileName, bool AJoin) {
  const std::string shownName = ToLocal8Bit(AFileName);
  TOutputOpening open;
  open.Slot = FOutputFileCount;
  open.CodecCountBefore = FOutputCodecCount;
  open.WrittenName = AFileName;
  const int slot = open.Slot;
  std::string libraryName;

  // Combinations of settings that cannot work.
  TVideoSettings& video = FSettings.Video;
  if (FJoin) return FailOutputOpen(open, "Cannot join more than one output file.");
  if (!video.FVideoFilters.empty() && (video.FFrameTopBand != 0 || video.FFrameBottomBand != 0 ||
                                       video.FFrameLeftBand != 0 || video.FFrameRightBand != 0))
    return FailOutputOpen(open, kCropWithFiltersText);
  if (video.FFramePadTop + video.FFramePadBottom + video.FFramePadLeft + video.FFramePadRight > 0 &&
      ResizesFrames(video.FVideoFilters))
    return FailOutputOpen(open, kPadWithResizingText);
  video.FUseFilters = !video.FVideoFilters.empty();

  const bool join = AJoin && FInputFileCount > 1;
  if (slot + (join ? FInputFileCount : 1) > MAX_FILES)
    return FailOutputOpen(open, Format("Too many output files (at most %d)", MAX_FILES));
  if (!ToLibraryFileName(AFileName, libraryName)) return FailOutputOpen(open, FileNameTooLongText(AFileName));

  // The container. The context is allocated for its format, which
  // sets the file name and the muxer's private defaults. There is no "ffm"
  // muxer (and no feed server) in this library generation, so a feed
  // output finds no format either.
  const AVOutputFormat* format = FSettings.Mux.FOutputFormat;
  if (!format) format = lib::av_guess_format(nullptr, libraryName.c_str(), nullptr);
  if (format && std::strcmp(format->name, "ffm") == 0) format = nullptr;
  if (!format)
    return FailOutputOpen(open, Format("Unable to find a suitable output format for '%s'", shownName.c_str()));
  AVFormatContext* ctx = nullptr;
  if (lib::avformat_alloc_output_context2(&ctx, format, nullptr, libraryName.c_str()) < 0 || !ctx) {
    FailOutputOpen(open, "avformat_alloc_context failed");
    throw FFmpegException("avformat_alloc_context failed");
  }
  // The record owns the context; its streams find it in its slot.
  open.Output = std::make_unique<TOutputFile>(ctx);
  FOutputFiles[slot] = open.Output.get();

  try {
    const std::string streamError = AddOutputStreams(ctx, format, AJoin);
    if (!streamError.empty()) return FailOutputOpen(open, streamError);
    ApplyOutputMetadata(ctx);
    // Mux settings; set before the frame-number check, which reads the
    // muxer's private options.
    ApplyMuxSettings(ctx, format);

    FOutputFileCount = slot + 1;  // recorded
    open.Recorded = true;

    // An image sequence needs a frame-number pattern in its name.
    if (NeedsFrameNumber(ctx) && lib::av_filename_number_test(libraryName.c_str()) == 0)
      return FailOutputOpen(open, OpenErrorText(shownName, -33));

    // The file. The format parameters of the old generation
    // (av_set_parameters) have no counterpart: the streams carry them.
    if (!(format->flags & AVFMT_NOFILE)) {
      const std::string fileError = OpenOutputTarget(open, AFileName, libraryName, shownName);
      if (!fileError.empty()) return FailOutputOpen(open, fileError);
    }
    open.Output->Name = AFileName;
    open.Output->WrittenName = open.WrittenName;

    // Join: the inputs are converted one after another into this one
    // output; the pipeline finds one output slot per input.
    if (join) RecordJoinedOutputs();
  } catch (...) {
    FailOutputOpen(open, FLastError);
    throw;
  }
  FOutputRecords.push_back(std::move(open.Output));

  FSettings.Mux.FOutputFormat = nullptr;
  FSettings.Mux.FInputFormat = nullptr;
  return FOutputFileCount;
}

void TCustomFFmpeg::LogFrameFit(int AFile, int AStream, const AVCodec* AEncoder, double APictureAspect,
                                const TFrameFit& AFit) {
  const std::string stream = Format("Output stream #%d.%d (%s)", AFile, AStream, AEncoder ? AEncoder->name : "?");
  const int innerWidth = AFit.Width - AFit.PadLeft - AFit.PadRight;
  const int innerHeight = AFit.Height - AFit.PadTop - AFit.PadBottom;
  if (AFit.Bars()) {
    FFLoggerInstance()->Log(
        this, llInfo,
        Format("%s: the picture (display aspect %.2f) is fitted into %dx%d at %.2f, %dx%d with black bars %s.",
               stream.c_str(), APictureAspect, AFit.Width, AFit.Height, AFit.FrameAspect, innerWidth, innerHeight,
               AFit.PadTop + AFit.PadBottom > 0 ? "above and below" : "left and right"));
  } else if (AFit.Width != FSettings.Video.FFrameWidth || AFit.Height != FSettings.Video.FFrameHeight) {
    FFLoggerInstance()->Log(
        this, llInfo,
        Format("%s: the source is %dx%d at %.2f, the encoder gets %dx%d in square pixels.", stream.c_str(),
               FSettings.Video.FFrameWidth, FSettings.Video.FFrameHeight, APictureAspect, AFit.Width, AFit.Height));
  }
}

void TCustomFFmpeg::SetVideoHeaderFlags(const AVFormatContext* AContext, AVCodecContext* ACodec,
                                        AVCodecContext* AStored) {
  if ((FSettings.Video.FVideoGlobalHeader & 1) != 0 ||
      (FSettings.Video.FVideoGlobalHeader == 0 && (AContext->oformat->flags & AVFMT_GLOBALHEADER) != 0)) {
    ACodec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (AStored) AStored->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if ((FSettings.Video.FVideoGlobalHeader & 2) != 0) {
    ACodec->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (AStored) AStored->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }
}

void TCustomFFmpeg::SetVideoFrame(int AFile, AVStream* AStream, TOutputStreamSetup& ASetup, const AVCodec* AEncoder) {
  AVCodecContext* codec = ASetup.Codec;
  // The frame and its bars: the pad options around the picture, and the
  // bars that fit the picture into a frame of another display aspect.
  const double pictureAspect = FSettings.Video.FFrameAspectRatio != 0 ? FSettings.Video.FFrameAspectRatio
                               : FSettings.Video.FFrameHeight > 0
                                   ? static_cast<double>(FSettings.Video.FFrameWidth) / FSettings.Video.FFrameHeight
                                   : 0;
  const TFrameFit fit = FitPicture(FSettings.Video.FAspectFit, pictureAspect, FSettings.Video.FFrameWidth,
                                   FSettings.Video.FFrameHeight, !FSettings.Video.FFrameSizeSet);
  ASetup.PadTop = FSettings.Video.FFramePadTop + fit.PadTop;
  ASetup.PadBottom = FSettings.Video.FFramePadBottom + fit.PadBottom;
  ASetup.PadLeft = FSettings.Video.FFramePadLeft + fit.PadLeft;
  ASetup.PadRight = FSettings.Video.FFramePadRight + fit.PadRight;
  codec->width = fit.Width + FSettings.Video.FFramePadLeft + FSettings.Video.FFramePadRight;
  codec->height = fit.Height + FSettings.Video.FFramePadTop + FSettings.Video.FFramePadBottom;
  codec->pix_fmt = static_cast<AVPixelFormat>(FSettings.Video.FFramePixFmt);
  if (AEncoder && AEncoder->pix_fmts && !ListsPixelFormat(AEncoder->pix_fmts, FSettings.Video.FFramePixFmt))
    codec->pix_fmt = AEncoder->pix_fmts[0];
  // A source's odd size that the encoder refuses: the picture is scaled
  // to the even size below it. A size that was given keeps its own check.
  const int oddWidth = codec->width, oddHeight = codec->height;
  if (!FSettings.Video.FFrameSizeSet && FitOddFrameSize(AEncoder, codec))
    FFLoggerInstance()->Log(
        this, llInfo,
        Format("Output stream #%d.%d (%s): the source is %dx%d, the encoder gets %dx%d "
               "(it needs even dimensions).",
               AFile, AStream->index, AEncoder->name, oddWidth, oddHeight, codec->width, codec->height));
  if (FSettings.Video.FAspectFit.empty()) {
    AStream->sample_aspect_ratio = codec->sample_aspect_ratio =
        SampleAspect(FSettings.Video.FFrameAspectRatio, codec->width, codec->height);
  } else {
    AStream->sample_aspect_ratio = codec->sample_aspect_ratio =
        SampleAspect(static_cast<float>(fit.FrameAspect), fit.Width, fit.Height);
    LogFrameFit(AFile, AStream->index, AEncoder, pictureAspect, fit);
  }
}

void TCustomFFmpeg::SetVideoRateControl(AVCodecContext* ACodec, const std::vector<RcOverride>& AOverrides) {
  if (FSettings.Video.FIntraOnly) ACodec->gop_size = 0;
  // Fixed quality. The stream of this generation carries no quality of
  // its own: the encoder's global quality is the whole setting.
  if (FSettings.Video.FVideoQScale != 0 || FSettings.Video.FSameQuality) {
    ACodec->flags |= AV_CODEC_FLAG_QSCALE;
    ACodec->global_quality = static_cast<int>(FF_QP2LAMBDA * FSettings.Video.FVideoQScale);
  }
  // The codec context frees its matrices and overrides.
  if (FSettings.Video.FIntraMatrix) {
    ACodec->intra_matrix = static_cast<uint16_t*>(lib::av_malloc(sizeof(uint16_t) * 64));
    if (ACodec->intra_matrix)
      std::memcpy(ACodec->intra_matrix, FSettings.Video.FIntraMatrix->data(), sizeof(uint16_t) * 64);
  }
  if (FSettings.Video.FInterMatrix) {
    ACodec->inter_matrix = static_cast<uint16_t*>(lib::av_malloc(sizeof(uint16_t) * 64));
    if (ACodec->inter_matrix)
      std::memcpy(ACodec->inter_matrix, FSettings.Video.FInterMatrix->data(), sizeof(uint16_t) * 64);
  }
  ACodec->thread_count = FSettings.Run.FThreadCount;
  if (!AOverrides.empty()) {
    ACodec->rc_override = static_cast<RcOverride*>(lib::av_malloc(sizeof(RcOverride) * AOverrides.size()));
    if (ACodec->rc_override) {
      std::memcpy(ACodec->rc_override, AOverrides.data(), sizeof(RcOverride) * AOverrides.size());
      ACodec->rc_override_count = static_cast<int>(AOverrides.size());
    }
  }
  if (ACodec->rc_initial_buffer_occupancy == 0)
    ACodec->rc_initial_buffer_occupancy = static_cast<int>(static_cast<int64_t>(ACodec->rc_buffer_size) * 3 / 4);
  // FMeThreshold: the motion-estimation threshold is no codec-context
  // field of this generation; it has nothing to act on.
  ACodec->intra_dc_precision = FSettings.Video.FIntraDcPrecision - 8;
  if (FSettings.Run.FDoPsnr) ACodec->flags |= AV_CODEC_FLAG_PSNR;
  if (FSettings.Video.FDoPass == 1)
    ACodec->flags |= AV_CODEC_FLAG_PASS1;
  else if (FSettings.Video.FDoPass == 2)
    ACodec->flags |= AV_CODEC_FLAG_PASS2;
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* AContext) {
  auto raise = [this](const std::string& AText) {
    FSettings.Video.FVideoCodecName.clear();
    throw FFmpegException(AText);
  };
  const int file = OutputFileIndex(AContext);
  const std::string full = StreamCapacityError(file, AContext, FOutputCodecCount);
  if (!full.empty()) raise(full);
  const bool copy = FSettings.Video.FVideoStreamCopy != 0;

  // The encoder and the rate-control overrides are settled before the
  // stream is added, so that a refused name leaves the output as it was.
  TEncoderChoice choice;
  std::vector<RcOverride> overrides;
  if (!copy) {
    if (!FSettings.Video.FVideoCodecName.empty()) {
      if (!FindCodecId(FSettings.Video.FVideoCodecName, AVMEDIA_TYPE_VIDEO, true, choice.CodecId)) raise(FLastError);
      choice.Encoder = choice.Forced = lib::avcodec_find_encoder_by_name(FSettings.Video.FVideoCodecName.c_str());
    } else {
      choice.CodecId = lib::av_guess_codec(AContext->oformat, nullptr, AContext->url, nullptr, AVMEDIA_TYPE_VIDEO);
      choice.Encoder = lib::avcodec_find_encoder(static_cast<AVCodecID>(choice.CodecId));
    }
    if (!ParseRcOverrides(FSettings.Video.FVideoRcOverride, overrides)) raise("error parsing rc_override");
  }

  AVStream* st = lib::avformat_new_stream(AContext, nullptr);
  if (!st) raise("Could not alloc stream");
  TOutputStreamSetup& setup = FOutputFiles[file]->Streams[st->index];
  setup.Clear();
  setup.Codec = lib::avcodec_alloc_context3(choice.Encoder);
  if (!setup.Codec) raise("avcodec_alloc_context failed");
  AVCodecContext* codec = setup.Codec;
  FOutputFiles[file]->FBitstreamFilters[st->index] = std::move(FSettings.Video.FVideoBitstreamFilters);

  codec->codec_type = AVMEDIA_TYPE_VIDEO;
  if (FSettings.Run.FThreadCount > 1) codec->thread_count = FSettings.Run.FThreadCount;
  if (FSettings.Video.FVideoCodecTag != 0) codec->codec_tag = FSettings.Video.FVideoCodecTag;
  AVCodecContext* stored = FOptionStore.Codec[AVMEDIA_TYPE_VIDEO];
  SetVideoHeaderFlags(AContext, codec, stored);

  if (copy) {
    setup.StreamCopy = true;
    st->sample_aspect_ratio = codec->sample_aspect_ratio =
        SampleAspect(FSettings.Video.FFrameAspectRatio, FSettings.Video.FFrameWidth, FSettings.Video.FFrameHeight);
  } else {
    AVRational rate = FSettings.Video.FFrameRate.num != 0 && FSettings.Video.FFrameRate.den != 0
                          ? FSettings.Video.FFrameRate
                          : AVRational{25, 1};
    codec->codec_id = static_cast<AVCodecID>(choice.CodecId);
    ApplySetOptions(FOptionStore, stored, codec, kVideoStreamMask);
    if (choice.Encoder && choice.Encoder->supported_framerates && !FSettings.Video.FForceFps)
      rate =
          choice.Encoder->supported_framerates[lib::av_find_nearest_q_idx(rate, choice.Encoder->supported_framerates)];
    codec->time_base = AVRational{rate.den, rate.num};
    codec->framerate = rate;
    SetVideoFrame(file, st, setup, choice.Encoder);
    SetVideoRateControl(codec, overrides);
  }
  PublishParameters(st, codec);

  setup.ForcedEncoder = choice.Forced;
  ++FOutputCodecCount;
  FSettings.Video.FVideoDisable = false;
  FSettings.Video.FVideoCodecName.clear();
  FSettings.Video.FVideoStreamCopy = 0;
}

void TCustomFFmpeg::SetAudioEncoding(TOutputStreamSetup& ASetup, const AVCodec* AEncoder, int ACodecId, bool AOwnAmrNb,
                                     AVCodecContext* AStored, int& ASampleRate) {
  AVCodecContext* codec = ASetup.Codec;
  ApplySetOptions(FOptionStore, AStored, codec, kAudioStreamMask);
  codec->codec_id = static_cast<AVCodecID>(ACodecId);
  if (FSettings.Audio.FAudioQScale > -99999) {
    codec->flags |= AV_CODEC_FLAG_QSCALE;
    codec->global_quality = static_cast<int>(FF_QP2LAMBDA * FSettings.Audio.FAudioQScale);
  }
  codec->thread_count = FSettings.Run.FThreadCount;
  lib::av_channel_layout_uninit(&codec->ch_layout);
  if (AOwnAmrNb) {
    // Narrow-band speech: 8 kHz mono 16-bit frames of 160 samples; the
    // bit rate picks the mode when the set-up opens the encoder.
    ASetup.AmrNb = std::make_unique<TAmrNbEncoder>();
    ASampleRate = TAmrNbEncoder::kSampleRate;
    lib::av_channel_layout_default(&codec->ch_layout, TAmrNbEncoder::kChannels);
    codec->sample_fmt = AV_SAMPLE_FMT_S16;
    codec->frame_size = TAmrNbEncoder::kFrameSamples;
    int64_t bitRate = 0;
    if (AStored && lib::av_opt_get_int(AStored, "b", 0, &bitRate) >= 0) codec->bit_rate = bitRate;
  } else {
    const uint64_t mask = static_cast<uint64_t>(FSettings.Audio.FChannelLayout);
    if (mask != 0 && __builtin_popcountll(mask) == FSettings.Audio.FAudioChannels)
      lib::av_channel_layout_from_mask(&codec->ch_layout, mask);
    else
      lib::av_channel_layout_default(&codec->ch_layout, FSettings.Audio.FAudioChannels);
    codec->sample_fmt = static_cast<AVSampleFormat>(FSettings.Audio.FAudioSampleFmt);
    if (AEncoder && AEncoder->sample_fmts && !ListsSampleFormat(AEncoder->sample_fmts, FSettings.Audio.FAudioSampleFmt))
      codec->sample_fmt = AEncoder->sample_fmts[0];
  }
}

void TCustomFFmpeg::FitAudioToEncoder(int AFile, int AStream, const AVCodec* AEncoder, AVCodecContext* ACodec,
                                      int ASourceRate) {
  // The rate comes first, so that a trial open for the channels runs at a
  // rate the encoder takes.
  if (FitSampleRate(AEncoder, ACodec))
    FFLoggerInstance()->Log(this, llInfo,
                            Format("Output stream #%d.%d (%s): the source has %d Hz, the encoder gets %d Hz.", AFile,
                                   AStream, AEncoder->name, ASourceRate, ACodec->sample_rate));
  const std::string sourceLayout = LayoutText(ACodec->ch_layout);
  const int sourceChannels = ACodec->ch_layout.nb_channels;
  if (FitChannelLayout(AEncoder, ACodec))
    FFLoggerInstance()->Log(this, llInfo,
                            Format("Output stream #%d.%d (%s): the source has %d channels (%s), the encoder gets %d "
                                   "(%s).",
                                   AFile, AStream, AEncoder->name, sourceChannels, sourceLayout.c_str(),
                                   ACodec->ch_layout.nb_channels, LayoutText(ACodec->ch_layout).c_str()));
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* AContext) {
  auto raise = [this](const std::string& AText) {
    FSettings.Audio.FAudioCodecName.clear();
    FSettings.Audio.FAudioLanguage.clear();
    throw FFmpegException(AText);
  };
  const int file = OutputFileIndex(AContext);
  const std::string full = StreamCapacityError(file, AContext, FOutputCodecCount);
  if (!full.empty()) raise(full);
  const bool copy = FSettings.Audio.FAudioStreamCopy != 0;

  // The encoder: by name, where the AMR-NB names select the engine's own
  // encoder, or the format's default, for which the engine's own AMR-NB
  // encoder stands in when libavcodec has none.
  TEncoderChoice choice;
  if (!copy) {
    if (IsAmrNbEncoderName(FSettings.Audio.FAudioCodecName)) {
      choice.CodecId = AV_CODEC_ID_AMR_NB;
      choice.OwnAmrNb = true;
    } else if (!FSettings.Audio.FAudioCodecName.empty()) {
      if (!FindCodecId(FSettings.Audio.FAudioCodecName, AVMEDIA_TYPE_AUDIO, true, choice.CodecId)) raise(FLastError);
      choice.Encoder = choice.Forced = lib::avcodec_find_encoder_by_name(FSettings.Audio.FAudioCodecName.c_str());
    } else {
      choice.CodecId = lib::av_guess_codec(AContext->oformat, nullptr, AContext->url, nullptr, AVMEDIA_TYPE_AUDIO);
      choice.Encoder = lib::avcodec_find_encoder(static_cast<AVCodecID>(choice.CodecId));
      choice.OwnAmrNb = !choice.Encoder && choice.CodecId == AV_CODEC_ID_AMR_NB;
    }
  }

  AVStream* st = lib::avformat_new_stream(AContext, nullptr);
  if (!st) raise("Could not alloc stream");
  TOutputStreamSetup& setup = FOutputFiles[file]->Streams[st->index];
  setup.Clear();
  setup.Codec = lib::avcodec_alloc_context3(choice.Encoder);
  if (!setup.Codec) raise("avcodec_alloc_context failed");
  AVCodecContext* codec = setup.Codec;
  FOutputFiles[file]->FBitstreamFilters[st->index] = std::move(FSettings.Audio.FAudioBitstreamFilters);

  if (FSettings.Run.FThreadCount > 1) codec->thread_count = FSettings.Run.FThreadCount;
  codec->codec_type = AVMEDIA_TYPE_AUDIO;
  if (FSettings.Audio.FAudioCodecTag != 0) codec->codec_tag = FSettings.Audio.FAudioCodecTag;
  AVCodecContext* stored = FOptionStore.Codec[AVMEDIA_TYPE_AUDIO];
  if (AContext->oformat->flags & AVFMT_GLOBALHEADER) {
    codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (stored) stored->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  int sampleRate = FSettings.Audio.FAudioSampleRate;
  if (copy) {
    setup.StreamCopy = true;
    lib::av_channel_layout_default(&codec->ch_layout, FSettings.Audio.FAudioChannels);
  } else {
    SetAudioEncoding(setup, choice.Encoder, choice.CodecId, choice.OwnAmrNb, stored, sampleRate);
  }
  codec->sample_rate = sampleRate;
  if (sampleRate > 0) codec->time_base = AVRational{1, sampleRate};
  // Another rate or more channels than the encoder takes: the audio path
  // resamples and downmixes to what it does take.
  if (!copy && !choice.OwnAmrNb) FitAudioToEncoder(file, st->index, choice.Encoder, codec, sampleRate);
  PublishParameters(st, codec);

  if (!FSettings.Audio.FAudioLanguage.empty()) {
    lib::av_dict_set(&st->metadata, "language", FSettings.Audio.FAudioLanguage.c_str(), 0);
    FSettings.Audio.FAudioLanguage.clear();
  }
  setup.ForcedEncoder = choice.Forced;
  ++FOutputCodecCount;
  FSettings.Audio.FAudioDisable = false;
  FSettings.Audio.FAudioCodecName.clear();
  FSettings.Audio.FAudioStreamCopy = 0;
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* AContext) {
  auto raise = [this](const std::string& AText) {
    FSettings.Subtitle.FSubtitleCodecName.clear();
    FSettings.Subtitle.FSubtitleLanguage.clear();
    throw FFmpegException(AText);
  };
  const int file = OutputFileIndex(AContext);
  const std::string full = StreamCapacityError(file, AContext, FOutputCodecCount);
  if (!full.empty()) raise(full);
  const bool copy = FSettings.Subtitle.FSubtitleStreamCopy != 0;

  // Only a name chooses a subtitle encoder: without one the codec id is 0
  // (the set-up reports the missing encoder).
  TEncoderChoice choice;
  if (!copy) {
    if (!FindCodecId(FSettings.Subtitle.FSubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true, choice.CodecId))
      raise(FLastError);
    if (!FSettings.Subtitle.FSubtitleCodecName.empty())
      choice.Encoder = choice.Forced = lib::avcodec_find_encoder_by_name(FSettings.Subtitle.FSubtitleCodecName.c_str());
  }

  AVStream* st = lib::avformat_new_stream(AContext, nullptr);
  if (!st) raise("Could not alloc stream");
  TOutputStreamSetup& setup = FOutputFiles[file]->Streams[st->index];
  setup.Clear();
  setup.Codec = lib::avcodec_alloc_context3(choice.Encoder);
  if (!setup.Codec) raise("avcodec_alloc_context failed");
  AVCodecContext* codec = setup.Codec;
  FOutputFiles[file]->FBitstreamFilters[st->index] = std::move(FSettings.Subtitle.FSubtitleBitstreamFilters);

  codec->codec_type = AVMEDIA_TYPE_SUBTITLE;
  if (FSettings.Subtitle.FSubtitleCodecTag != 0) codec->codec_tag = FSettings.Subtitle.FSubtitleCodecTag;
  if (copy) {
    setup.StreamCopy = true;
  } else {
    ApplySetOptions(FOptionStore, FOptionStore.Codec[AVMEDIA_TYPE_SUBTITLE], codec, kSubtitleStreamMask);
    codec->codec_id = static_cast<AVCodecID>(choice.CodecId);
  }
  PublishParameters(st, codec);

  setup.ForcedEncoder = choice.Forced;
  ++FOutputCodecCount;
  if (!FSettings.Subtitle.FSubtitleLanguage.empty()) {
    lib::av_dict_set(&st->metadata, "language", FSettings.Subtitle.FSubtitleLanguage.c_str(), 0);
    FSettings.Subtitle.FSubtitleLanguage.clear();
  }
  FSettings.Subtitle.FSubtitleDisable = false;
  FSettings.Subtitle.FSubtitleCodecName.clear();
  FSettings.Subtitle.FSubtitleStreamCopy = 0;
}

AVFilterGraph* TCustomFFmpeg::NewFilterGraph() {
  // An existing graph belongs to another video stream of this run (a run
  // starts without one: Cleanup frees it), whose input keeps using it.
  if (FFilterGraph) {
    FEarlierFilterGraphs.emplace_back(FFilterGraph, FreeFilterGraph);
    FFilterGraph = nullptr;
  }
  FFilterGraph = lib::avfilter_graph_alloc();
  if (!FFilterGraph) return nullptr;
  FFilterGraph->nb_threads = FSettings.Run.FThreadCount;
  return FFilterGraph;
}

// The video filter graph of one encoded video stream: "buffer" source "src"
// fed with the decoder's pictures, an optional crop, a scaler when the sizes
// differ, the user's filter text, and a "buffersink" "out" that gives
// pictures in the encoder's pixel format.
int TCustomFFmpeg::ConfigureFilters(TInputStreamState& AInput, TOutputStreamState& AOutput) {
  if (FSettings.Video.FFrameTopBand != 0 || FSettings.Video.FFrameBottomBand != 0 ||
      FSettings.Video.FFrameLeftBand != 0 || FSettings.Video.FFrameRightBand != 0) {
    FLastError = kCropWithFiltersText;
    return -1;
  }
  AVCodecContext* decoder = AInput.Decoder;
  // The stream's encoder context; in join mode every slot of the output
  // shares the contexts of its first slot.
  AVCodecContext* encoder = AOutput.Encoder;
  if (!encoder && AOutput.FileIndex >= 0 && AOutput.FileIndex < FOutputFileCount && AOutput.Index >= 0 &&
      AOutput.Index < MAX_STREAMS)
    encoder = FOutputFiles[AOutput.FileIndex]->Streams[AOutput.Index].Codec;
  if (!decoder || !encoder) return -1;

  AVFilterGraph* graph = NewFilterGraph();
  if (!graph) return -1;
  // The scaler flags, for the scalers of the filter text and the ones the
  // graph inserts for pixel-format conversion.
  int64_t swsFlags = FSettings.Run.FSwsFlags;
  if (FOptionStore.Scaler) lib::av_opt_get_int(FOptionStore.Scaler, "sws_flags", 0, &swsFlags);
  graph->scale_sws_opts = lib::av_strdup(Format("flags=%lld", static_cast<long long>(swsFlags)).c_str());

  const bool sidesSwap = AInput.CorrectionPlan.Turn.SidesSwap();
  const int sourceWidth = sidesSwap ? decoder->height : decoder->width;
  const int sourceHeight = sidesSwap ? decoder->width : decoder->height;
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  if (!CreateFilterEnds(graph, AInput, sourceWidth, sourceHeight, encoder, source, sink)) return -1;
  AInput.InputFilter = source;
  AInput.OutputFilter = sink;

  const TOutputStreamSetup& streamSetup = FOutputFiles[AOutput.FileIndex]->Streams[AOutput.Index];
  const int padLeft = streamSetup.PadLeft, padRight = streamSetup.PadRight;
  const int padTop = streamSetup.PadTop, padBottom = streamSetup.PadBottom;
  const int width = encoder->width - padLeft - padRight;
  const int height = encoder->height - padTop - padBottom;
  AVFilterContext* last = source;
  if (AOutput.VideoCrop &&
      !AppendFilter(graph, last, "crop", Format("%d:%d:%d:%d", width, height, AOutput.LeftBand, AOutput.TopBand)))
    return -1;
  if ((sourceWidth + padLeft + padRight - AOutput.LeftBand - AOutput.RightBand != encoder->width ||
       sourceHeight + padTop + padBottom - AOutput.TopBand - AOutput.BottomBand != encoder->height) &&
      !AppendFilter(graph, last, "scale", Format("%d:%d:flags=%lld", width, height, static_cast<long long>(swsFlags))))
    return -1;
  if (!LinkFilterText(graph, FSettings.Video.FVideoFilters, last, sink)) return -1;
  if (lib::avfilter_graph_config(graph, nullptr) < 0) return -1;

  const int sinkWidth = lib::av_buffersink_get_w(sink);
  const int sinkHeight = lib::av_buffersink_get_h(sink);
  if (padLeft + padRight + padTop + padBottom == 0 || (sinkWidth == width && sinkHeight == height)) {
    encoder->width = sinkWidth + padLeft + padRight;
    encoder->height = sinkHeight + padTop + padBottom;
    return 0;
  }
  FLastError = kPadWithResizingText;
  return -1;
}
