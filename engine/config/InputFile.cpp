// Opening the inputs of an engine instance: the per-input options reach the
// demuxer, the file's stream information is read, and the parameters of its
// streams are copied back into the video and audio settings so that an
// output opened afterwards inherits them unless later options override them.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "engine/config/FFmpeg.h"
#include "probe/AVProbe.h"
#include "probe/PictureTurn.h"
#include "probe/StreamTimeline.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"

namespace {

const char* CodecKindText(bool AEncoder) { return AEncoder ? "encoder" : "decoder"; }

const AVCodec* FindDecoder(const std::string& AName) {
  return AName.empty() ? nullptr : lib::avcodec_find_decoder_by_name(AName.c_str());
}

double RationalValue(AVRational AValue) { return AValue.den == 0 ? 0.0 : av_q2d(AValue); }

// How many streams of AContext count against the stream capacity (every
// stream but data streams), after checking their media types.
int CountInputCodecEntries(const AVFormatContext* AContext) {
  int entries = 0;
  for (unsigned i = 0; i < AContext->nb_streams; ++i) {
    const int type = AContext->streams[i]->codecpar->codec_type;
    if (type < AVMEDIA_TYPE_UNKNOWN || type >= AVMEDIA_TYPE_NB) throw FFmpegException("invalid codec_type");
    if (type != AVMEDIA_TYPE_DATA) ++entries;
  }
  return entries;
}

// The stream whose key frames decide where decoding can start: the first
// video stream that is read and is not an attached picture; -1 for none.
int SeekReferenceStream(const AVFormatContext* AContext) {
  for (unsigned i = 0; i < AContext->nb_streams; ++i) {
    const AVStream* stream = AContext->streams[i];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && stream->discard != AVDISCARD_ALL &&
        !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
      return static_cast<int>(i);
  }
  return -1;
}

// Reads on from the current position to the first key frame of stream
// AStream: true when it comes at or before ATarget (microseconds), false
// when the stream passes ATarget first or the file ends.
bool KeyFrameAtOrBefore(AVFormatContext* AContext, int AStream, int64_t ATarget) {
  AVPacket* packet = lib::av_packet_alloc();
  if (!packet) return false;
  const AVRational timeBase = AContext->streams[AStream]->time_base;
  auto microseconds = [&](int64_t AValue) { return lib::av_rescale_q(AValue, timeBase, AV_TIME_BASE_Q); };
  bool found = false;
  for (int waits = 0; waits < 1000;) {
    const int result = lib::av_read_frame(AContext, packet);
    if (result == AVERROR(EAGAIN)) {
      ++waits;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (result < 0) break;
    bool done = false;
    if (packet->stream_index == AStream) {
      const int64_t decoding = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
      if (packet->flags & AV_PKT_FLAG_KEY) {
        const int64_t shown = packet->pts != AV_NOPTS_VALUE ? packet->pts : decoding;
        found = shown == AV_NOPTS_VALUE || microseconds(shown) <= ATarget;
        done = true;
      } else if (decoding != AV_NOPTS_VALUE && microseconds(decoding) > ATarget) {
        done = true;  // every key frame from here on comes later
      }
    }
    lib::av_packet_unref(packet);
    if (done) break;
  }
  lib::av_packet_free(&packet);
  return found;
}

// Back to the first packet of the file. Program and transport streams have
// no header and find a time by searching, which can land a little after
// their start: they go back to their first byte instead.
void SeekToFileStart(AVFormatContext* AContext, int AStream, int64_t AZero) {
  const int flags = AContext->iformat->flags;
  if ((flags & AVFMT_TS_DISCONT) && !(flags & AVFMT_NO_BYTE_SEEK) &&
      lib::av_seek_frame(AContext, -1, 0, AVSEEK_FLAG_BYTE) >= 0)
    return;
  const int64_t target =
      AStream >= 0 ? lib::av_rescale_q(AZero, AV_TIME_BASE_Q, AContext->streams[AStream]->time_base) : AZero;
  if (lib::av_seek_frame(AContext, AStream, target, AVSEEK_FLAG_BACKWARD) < 0)
    lib::av_seek_frame(AContext, -1, 0, AVSEEK_FLAG_BYTE);
}

// Seeking lands on a key frame at or before the target in containers with an
// index, but the demuxers of program and transport streams seek to a packet
// by its timestamp, and decoding from there loses every picture up to the
// next key frame (all of them in a clip with a single key frame). So the
// seek is checked by reading on to the first key frame of the video stream,
// and moved back (1 s, then twice as far each time) while that key frame lies
// after the target, at the latest to the start of the file.
void SeekToKeyFrameBefore(AVFormatContext* AContext, int64_t ATarget, int64_t AZero) {
  const int reference = SeekReferenceStream(AContext);
  if (reference < 0) {
    lib::av_seek_frame(AContext, -1, ATarget, AVSEEK_FLAG_BACKWARD);  // a failed seek is ignored
    return;
  }
  const AVRational timeBase = AContext->streams[reference]->time_base;
  for (int64_t back = 0;; back = back == 0 ? AV_TIME_BASE : back * 2) {
    const int64_t position = ATarget - back;
    const int64_t timestamp = lib::av_rescale_q(position, AV_TIME_BASE_Q, timeBase);
    if (position <= AZero || lib::av_seek_frame(AContext, reference, timestamp, AVSEEK_FLAG_BACKWARD) < 0) break;
    if (KeyFrameAtOrBefore(AContext, reference, ATarget)) {
      if (lib::av_seek_frame(AContext, reference, timestamp, AVSEEK_FLAG_BACKWARD) >= 0) return;
      break;
    }
  }
  SeekToFileStart(AContext, reference, AZero);
}

}  // namespace

bool TCustomFFmpeg::FindCodecId(const std::string& AName, int AMediaType, bool AEncoder, int& ACodecId) {
  ACodecId = AV_CODEC_ID_NONE;
  if (AName.empty()) return true;
  const AVCodec* codec =
      AEncoder ? lib::avcodec_find_encoder_by_name(AName.c_str()) : lib::avcodec_find_decoder_by_name(AName.c_str());
  if (codec == nullptr) {
    FLastError = Format("Unknown %s '%s'", CodecKindText(AEncoder), AName.c_str());
    return false;
  }
  if (codec->type != AMediaType) {
    FLastError = Format("Invalid %s type '%s'", CodecKindText(AEncoder), AName.c_str());
    return false;
  }
  ACodecId = codec->id;
  return true;
}

AVDictionary* TCustomFFmpeg::InputFormatParameters() const {
  // Raw and capture demuxers declare these options; every other demuxer
  // leaves them in the dictionary, which the caller then frees.
  AVDictionary* options = nullptr;
  if (FSettings.Audio.FAudioSampleRate > 0)
    lib::av_dict_set(&options, "sample_rate", std::to_string(FSettings.Audio.FAudioSampleRate).c_str(), 0);
  if (FSettings.Audio.FAudioChannels > 0)
    lib::av_dict_set(&options, "channels", std::to_string(FSettings.Audio.FAudioChannels).c_str(), 0);
  const int width = FSettings.Video.FFrameWidth + FSettings.Video.FFramePadLeft + FSettings.Video.FFramePadRight;
  const int height = FSettings.Video.FFrameHeight + FSettings.Video.FFramePadTop + FSettings.Video.FFramePadBottom;
  // A size with a zero side is no size: a demuxer would refuse the text.
  if (width > 0 && height > 0) lib::av_dict_set(&options, "video_size", Format("%dx%d", width, height).c_str(), 0);
  if (FSettings.Video.FFrameRate.num != 0 && FSettings.Video.FFrameRate.den != 0)
    lib::av_dict_set(&options, "framerate",
                     Format("%d/%d", FSettings.Video.FFrameRate.num, FSettings.Video.FFrameRate.den).c_str(), 0);
  if (FSettings.Video.FFramePixFmt >= 0) {
    const char* name = lib::av_get_pix_fmt_name(static_cast<AVPixelFormat>(FSettings.Video.FFramePixFmt));
    if (name) lib::av_dict_set(&options, "pixel_format", name, 0);
  }
  if (FSettings.Video.FVideoChannel != 0)
    lib::av_dict_set(&options, "channel", std::to_string(FSettings.Video.FVideoChannel).c_str(), 0);
  if (!FSettings.Video.FVideoStandard.empty())
    lib::av_dict_set(&options, "standard", FSettings.Video.FVideoStandard.c_str(), 0);
  return options;
}

void TCustomFFmpeg::ClearInputFileSettings() {
  FSettings.Mux.FInputFormat = nullptr;
  FSettings.Mux.FOutputFormat = nullptr;
  FSettings.Video.FVideoChannel = 0;
  FSettings.Video.FVideoCodecName.clear();
  FSettings.Audio.FAudioCodecName.clear();
  FSettings.Subtitle.FSubtitleCodecName.clear();
}

// The decoders and codec ids the options force on the next input, on its
// context; false when a named codec is unknown (FindCodecId says why).
bool TCustomFFmpeg::SetForcedDecoders(AVFormatContext* AContext) {
  // The image2 demuxer reads the forced video codec id, so
  // the pgmyuv compatibility mode goes there too.
  int videoCodecId = 0, audioCodecId = 0, subtitleCodecId = 0;
  if (!FindCodecId(FSettings.Video.FVideoCodecName, AVMEDIA_TYPE_VIDEO, false, videoCodecId)) return false;
  if (!FindCodecId(FSettings.Audio.FAudioCodecName, AVMEDIA_TYPE_AUDIO, false, audioCodecId)) return false;
  if (!FindCodecId(FSettings.Subtitle.FSubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitleCodecId)) return false;
  if (FSettings.Run.FPgmyuvCompat) videoCodecId = AV_CODEC_ID_PGMYUV;

  // The library options given before this input (probesize, fflags, ...).
  ApplySetOptions(FOptionStore, FOptionStore.Format, AContext, AV_OPT_FLAG_DECODING_PARAM);

  AContext->video_codec_id = static_cast<AVCodecID>(videoCodecId);
  AContext->audio_codec_id = static_cast<AVCodecID>(audioCodecId);
  AContext->subtitle_codec_id = static_cast<AVCodecID>(subtitleCodecId);
  AContext->video_codec = FindDecoder(FSettings.Video.FVideoCodecName);
  AContext->audio_codec = FindDecoder(FSettings.Audio.FAudioCodecName);
  AContext->subtitle_codec = FindDecoder(FSettings.Subtitle.FSubtitleCodecName);
  AContext->flags |= AVFMT_FLAG_NONBLOCK;
  return true;
}

// The program chosen ("programid": the others are discarded) and the input
// loop on the opened input.
void TCustomFFmpeg::ApplyProgramAndLoop(AVFormatContext* AContext) {
  if (FSettings.Mux.FProgramId != 0) {
    for (unsigned i = 0; i < AContext->nb_programs; ++i)
      if (AContext->programs[i]->id != FSettings.Mux.FProgramId) AContext->programs[i]->discard = AVDISCARD_ALL;
  }

  // Looping an input: the demuxer context of this library generation has
  // no loop flag of its own, so "loop_input" only reaches demuxers with a
  // "loop" option of their own (image2, which then repeats its pictures);
  // on every other demuxer it has no effect.
  if (AContext->iformat && AContext->iformat->priv_class && AContext->priv_data &&
      lib::av_opt_find(AContext->priv_data, "loop", nullptr, 0, 0) != nullptr)
    lib::av_opt_set_int(AContext->priv_data, "loop", FSettings.Mux.FLoopInput ? 1 : 0, 0);
}

// What the next outputs take from an input stream (size, aspect, rate,
// sample format, ...) and its discard flag; the decoder named for it.
// The streams carry only their parameters (codecpar): there is no codec
// context per stream to initialise here. The decoder contexts are the
// pipeline's own, created when a run is set up, and it is there, before
// each decoder opens, that FThreadCount becomes the decoder's thread
// count and the stored options are applied with the video|decoding or
// audio|decoding mask. The low-resolution emulated-edge flag and the
// motion-vector debug flag of "me_threshold" have nothing to act on at
// this stage either.
const AVCodec* TCustomFFmpeg::RecordInputStream(AVStream* AStream, int AIndex) {
  const AVCodecParameters* par = AStream->codecpar;
  const AVCodec* forced = nullptr;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
      FSettings.Video.FFrameHeight = par->height;
      FSettings.Video.FFrameWidth = par->width;
      FSettings.Video.FFrameSizeSet = false;
      const double aspect = AStream->sample_aspect_ratio.num != 0 ? RationalValue(AStream->sample_aspect_ratio)
                                                                  : RationalValue(par->sample_aspect_ratio);
      if (par->width * par->height != 0) {
        FSettings.Video.FFrameAspectRatio = aspect != 0
                                                ? static_cast<float>(aspect * par->width / par->height)
                                                : static_cast<float>(static_cast<double>(par->width) / par->height);
      } else if (aspect == 0) {
        FSettings.Video.FFrameAspectRatio = 4.0f / 3.0f;
      }
      // A picture shown turned a quarter (a phone held upright): the
      // outputs take it upright, so the size from the source swaps its
      // sides and the display aspect turns over.
      if (FSettings.Video.FAutoRotate && StreamPictureTurn(AStream).SidesSwap()) {
        std::swap(FSettings.Video.FFrameWidth, FSettings.Video.FFrameHeight);
        if (FSettings.Video.FFrameAspectRatio != 0)
          FSettings.Video.FFrameAspectRatio = 1.0f / FSettings.Video.FFrameAspectRatio;
      }
      FSettings.Video.FFramePixFmt = par->format == -1 ? 0 : par->format;
      // The average frame rate stands in for the inverse of the old
      // per-stream codec time base.
      const AVRational avg = AStream->avg_frame_rate, real = AStream->r_frame_rate;
      if (FSettings.Run.FVerbose >= 0 && avg.num != 0 && avg.den != 0 && av_cmp_q(avg, real) != 0) {
        FFLoggerInstance()->Log(
            this, llInfo,
            Format("Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> "
                   "%2.2f (%d/%d)",
                   AIndex, RationalValue(avg), avg.num, avg.den, RationalValue(real), real.num, real.den));
      }
      FSettings.Video.FFrameRate = real;
      forced = FindDecoder(FSettings.Video.FVideoCodecName);
      if (FSettings.Video.FVideoDisable)
        AStream->discard = AVDISCARD_ALL;
      else if (FSettings.Video.FVideoDiscard != 0)
        AStream->discard = static_cast<AVDiscard>(FSettings.Video.FVideoDiscard);
      break;
    }
    case AVMEDIA_TYPE_AUDIO:
      FSettings.Audio.FChannelLayout =
          par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<int64_t>(par->ch_layout.u.mask) : 0;
      FSettings.Audio.FAudioChannels = par->ch_layout.nb_channels;
      FSettings.Audio.FAudioSampleRate = par->sample_rate;
      FSettings.Audio.FAudioSampleFmt = par->format;
      forced = FindDecoder(FSettings.Audio.FAudioCodecName);
      if (FSettings.Audio.FAudioDisable) AStream->discard = AVDISCARD_ALL;
      break;
    case AVMEDIA_TYPE_DATA:
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      forced = FindDecoder(FSettings.Subtitle.FSubtitleCodecName);
      if (FSettings.Subtitle.FSubtitleDisable) AStream->discard = AVDISCARD_ALL;
      break;
    default:  // attachment or unknown
      break;
  }
  return forced;
}

// Reads the stream information (which opens decoders inside the library);
// false, with FLastError, when it failed and that counts (not with -v -1).
bool TCustomFFmpeg::ReadStreamInfo(AVFormatContext* AContext, const std::string& AShownName) {
  int result;
  {
    TServingLock<std::recursive_mutex> lock(CodecLock());
    result = lib::avformat_find_stream_info(AContext, nullptr);
  }
  if (result < 0 && FSettings.Run.FVerbose >= 0) {
    FLastError = Format("%s: could not find codec parameters", AShownName.c_str());
    FFLoggerInstance()->Log(this, llVerbose, FLastError);
    return false;
  }
  return true;
}

// The opened input's record: what its streams give the next outputs and
// their decoders, its time offset, timestamp scales and timing; and the
// total duration.
void TCustomFFmpeg::RecordInputFile(TInputFile& AInput, int64_t AZero, int64_t ATimestamp, int64_t AStartPosition) {
  AVFormatContext* ctx = AInput.Context;
  for (unsigned i = 0; i < ctx->nb_streams; ++i)
    AInput.ForcedDecoders.push_back(RecordInputStream(ctx->streams[i], static_cast<int>(i)));
  if (ctx->duration != AV_NOPTS_VALUE) FTotalDuration = std::max(FTotalDuration, ctx->duration / 1000);
  AInput.TsOffset = FSettings.Run.FCopyTs ? FSettings.Mux.FInputTsOffset : FSettings.Mux.FInputTsOffset - ATimestamp;
  std::copy(FSettings.Mux.FInputTsScale.begin(), FSettings.Mux.FInputTsScale.end(), AInput.TsScale);
  FSettings.Mux.FInputTsScale = {};
  AInput.OpenZero = AZero;
  AInput.StartPosition = AStartPosition;
  AInput.DropBefore = AStartPosition > 0 ? ATimestamp + AInput.TsOffset : INT64_MIN;
}

bool TCustomFFmpeg::OpenInputFile(const std::u16string& AFileName) {
  if (FInputFileCount >= MAX_FILES) throw FFmpegException(Format("Too many input files (at most %d)", MAX_FILES));

  AVFormatContext* ctx = lib::avformat_alloc_context();
  if (ctx == nullptr) throw FFmpegException("avformat_alloc_context failed");

  // Every failure after this point leaves nothing of this input behind.
  bool opened = false;                // ctx went through OpenInputContext successfully
  std::unique_ptr<TInputFile> input;  // owns ctx once made
  auto fail = [&]() {
    ClearInputFileSettings();
    if (input)
      input.reset();
    else if (opened)
      CloseInputContext(&ctx);
    else if (ctx)
      lib::avformat_free_context(ctx);
    ctx = nullptr;
    return false;
  };

  if (!SetForcedDecoders(ctx)) return fail();

  std::string libraryName;
  if (!ToLibraryFileName(AFileName, libraryName)) {
    FLastError = FileNameTooLongText(AFileName);
    return fail();
  }
  const std::string shownName = ToLocal8Bit(AFileName);

  AVDictionary* parameters = InputFormatParameters();
  int result = OpenInputContext(&ctx, libraryName, FSettings.Mux.FInputFormat, &parameters);
  lib::av_dict_free(&parameters);
  if (result < 0) {
    // The failed open has freed the context.
    ctx = nullptr;
    FLastError = OpenErrorText(shownName, InputOpenErrorCode(result, FSettings.Mux.FInputFormat, libraryName));
    return fail();
  }
  opened = true;

  try {
    ApplyProgramAndLoop(ctx);

    if (!ReadStreamInfo(ctx, shownName)) return fail();

    const int64_t zero = ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0;
    const int64_t timestamp = zero + FSettings.Mux.FStartTime;
    const int64_t startPosition = FSettings.Mux.FStartTime;
    // Streams that start too far apart to belong together are each lined
    // up on their own start (in the run's set-up); no seek in one clock
    // suits both, so such a file is read from its start and what lies
    // before the start position is dropped after decoding.
    if (FSettings.Mux.FStartTime != 0 && !FileTimeline(ctx).SeparateStarts) SeekToKeyFrameBefore(ctx, timestamp, zero);
    FSettings.Mux.FStartTime = 0;

    // Checked before anything is recorded, so that a refused file leaves
    // the tables as they were.
    const int entries = CountInputCodecEntries(ctx);
    if (FInputCodecCount + entries > MAX_STREAM_MAPS)
      throw FFmpegException(Format("Too many input streams (at most %d)", MAX_STREAM_MAPS));

    input = std::make_unique<TInputFile>(ctx);
    input->CodecEntries = entries;
    RecordInputFile(*input, zero, timestamp, startPosition);

    // The format description goes through the library log.
    if (FSettings.Run.FVerbose >= 0) lib::av_dump_format(ctx, FInputFileCount, libraryName.c_str(), 0);

    FInputFiles[FInputFileCount] = std::move(input);
    FInputCodecCount += entries;
    ++FInputFileCount;
    ClearInputFileSettings();
    return true;
  } catch (...) {
    fail();
    throw;
  }
}
