#include "tests/engine/TranscodeTestSupport.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "probe/AVProbe.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwScale.h"

namespace transcodetest {

// ---- Checks and the prepared engine ----

std::string RaisedBy(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const FFmpegException& error) {
    return error.what();
  }
  return "(nothing raised)";
}

int LinesContaining(const std::string& AText) {
  int count = 0;
  for (const TRecordedLine& line : LogLines())
    if (line.Text.find(AText) != std::string::npos) ++count;
  return count;
}

bool TTestEngine::In(const std::string& APath) { return OpenInputFile(FromLocal8Bit(APath)); }
int TTestEngine::Out(const std::string& APath, bool AJoin) { return OpenOutputFile(FromLocal8Bit(APath), AJoin); }

// ---- Folders ----

TCurrentDirectory::TCurrentDirectory(const std::filesystem::path& APath) : FSaved(std::filesystem::current_path()) {
  std::filesystem::current_path(APath);
}

TCurrentDirectory::~TCurrentDirectory() {
  std::error_code error;
  std::filesystem::current_path(FSaved, error);
}

// ---- Conversions ----

TConversion::TConversion() : FEngine(std::make_unique<TInspectableEngine>()) {
  FEngine->Prepare();
  FEngine->FOnTerminate = [this](TCustomFFmpeg* Sender) {
    std::lock_guard<std::mutex> guard(FLock);
    ++FTerminations;
    FFinished = Sender->Finished();
    FHasException = Sender->HasException();
    FExceptionMessage = Sender->ExceptionMessage();
  };
}

TConversion::~TConversion() { FEngine.reset(); }

bool TConversion::Apply(const TOptionList& AOptions) {
  for (const auto& [name, value] : AOptions) {
    try {
      FEngine->SetOption(name, value);
    } catch (const std::exception& e) {
      FError = "option " + name + "=" + value + ": " + e.what();
      return false;
    }
  }
  return true;
}

bool TConversion::AddInput(const TOptionList& AOptions, const std::string& APath) {
  if (!Apply(AOptions)) return false;
  if (!FEngine->OpenInputFile(FromLocal8Bit(APath))) {
    FError = "input " + APath + ": " + FEngine->LastError();
    return false;
  }
  return true;
}

bool TConversion::AddOutput(const TOptionList& AOptions, const std::string& APath, bool AJoin) {
  if (!Apply(AOptions)) return false;
  if (FEngine->OpenOutputFile(FromLocal8Bit(APath), AJoin) < 0) {
    FError = "output " + APath + ": " + FEngine->LastError();
    return false;
  }
  return true;
}

bool TConversion::SetOptions(const TOptionList& AOptions) { return Apply(AOptions); }

void TConversion::Attach() {
  if (!FRecordProgress) {
    FEngine->FOnProgress = nullptr;
    return;
  }
  FEngine->FOnProgress = [this](TCustomFFmpeg*, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    TProgressReport report;
    report.At = std::chrono::steady_clock::now();
    report.FrameNumber = AFrameNumber;
    report.FPS = AFPS;
    report.CurrentDuration = ACurrentDuration;
    report.Quality = AQuality;
    report.BitRate = ABitRate;
    report.CurrentSize = ACurrentSize;
    report.TotalOutputDuration = ATotalOutputDuration;
    std::lock_guard<std::mutex> guard(FLock);
    FReports.push_back(report);
  };
}

void TConversion::RunInline() {
  Attach();
  FStartedAt = std::chrono::steady_clock::now();
  FEngine->Start(false);
}

bool TConversion::Run(const std::string& ASource, const TOptionList& AOutputOptions, const std::string& APath,
                      const TOptionList& AInputOptions) {
  const bool opened = AddInput(AInputOptions, ASource) && AddOutput(AOutputOptions, APath);
  EXPECT_TRUE(opened) << Error();
  if (!opened) return false;
  RunInline();
  ExpectFinished(*this);
  return true;
}

void ExpectFinished(const TConversion& AConversion) {
  EXPECT_EQ(AConversion.Terminations(), 1);
  EXPECT_TRUE(AConversion.Finished());
  EXPECT_FALSE(AConversion.HasException()) << AConversion.ExceptionMessage();
}

TDecodedFile Convert(const TTempFolder& ADir, const std::string& ASource, const TOptionList& AOptions,
                     const std::string& AFile, const TOptionList& AInputOptions, bool AKeepPictures) {
  TConversion conversion;
  if (!conversion.Run(ASource, AOptions, ADir / AFile, AInputOptions)) return {};
  return DecodeAll(ADir / AFile, AKeepPictures);
}

bool TConversion::StartThreaded(TThreadPriority APriority) {
  Attach();
  FStartedAt = std::chrono::steady_clock::now();
  TConvertThread* worker = FEngine->Start(true, APriority);
  if (!worker) return false;
  worker->Resume();
  return true;
}

bool TConversion::WaitForEnd(std::chrono::milliseconds ATimeout) {
  const auto until = std::chrono::steady_clock::now() + ATimeout;
  WaitServing([&] { return Terminations() > 0 || std::chrono::steady_clock::now() >= until; });
  return Terminations() > 0;
}

bool TConversion::WaitForProgress(size_t ACount, std::chrono::milliseconds ATimeout) {
  const auto until = std::chrono::steady_clock::now() + ATimeout;
  auto count = [this] {
    std::lock_guard<std::mutex> guard(FLock);
    return FReports.size();
  };
  WaitServing([&] { return count() >= ACount || Terminations() > 0 || std::chrono::steady_clock::now() >= until; });
  return count() >= ACount;
}

int TConversion::Terminations() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTerminations;
}

bool TConversion::Finished() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFinished;
}

bool TConversion::HasException() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FHasException;
}

std::string TConversion::ExceptionMessage() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FExceptionMessage;
}

std::vector<TProgressReport> TConversion::Reports() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FReports;
}

// ---- Pictures ----

namespace {

testmedia::MeanRgb MeanOf(const TPicture& APicture, const testmedia::Rect& ARect) {
  testmedia::MeanRgb mean;
  double count = 0;
  for (int y = ARect.y; y < ARect.y + ARect.h; ++y)
    for (int x = ARect.x; x < ARect.x + ARect.w; ++x) {
      const uint8_t* p = &APicture.Rgb[(static_cast<size_t>(y) * APicture.Width + x) * 3];
      mean.r += p[0];
      mean.g += p[1];
      mean.b += p[2];
      ++count;
    }
  if (count > 0) {
    mean.r /= count;
    mean.g /= count;
    mean.b /= count;
  }
  return mean;
}

}  // namespace

void ExpectColour(const TPicture& APicture, const testmedia::Rect& ARect, const testmedia::Rgb& AColour,
                  const std::string& AWhat, double ATolerance) {
  ASSERT_FALSE(APicture.Rgb.empty()) << AWhat << ": no picture was decoded";
  ASSERT_LE(ARect.x + ARect.w, APicture.Width) << AWhat;
  ASSERT_LE(ARect.y + ARect.h, APicture.Height) << AWhat;
  const testmedia::MeanRgb mean = MeanOf(APicture, ARect);
  EXPECT_LE(testmedia::ColourDistance(mean, AColour), ATolerance)
      << AWhat << ": (" << std::lround(mean.r) << "," << std::lround(mean.g) << "," << std::lround(mean.b)
      << ") instead of (" << int(AColour.r) << "," << int(AColour.g) << "," << int(AColour.b) << ")";
}

void ExpectQuadrants(const TPicture& APicture, const testmedia::Rect& AArea, const std::string& AWhat,
                     double ATolerance) {
  using testmedia::Quadrant;
  const std::pair<Quadrant, testmedia::Rgb> quadrants[] = {{Quadrant::TopLeft, testmedia::kTopLeft},
                                                           {Quadrant::TopRight, testmedia::kTopRight},
                                                           {Quadrant::BottomLeft, testmedia::kBottomLeft},
                                                           {Quadrant::BottomRight, testmedia::kBottomRight}};
  const char* names[] = {"top left (red)", "top right (green)", "bottom left (blue)", "bottom right (white)"};
  int i = 0;
  for (const auto& [quadrant, colour] : quadrants) {
    testmedia::Rect inner = testmedia::QuadrantInner(quadrant, AArea.w, AArea.h);
    inner.x += AArea.x;
    inner.y += AArea.y;
    ExpectColour(APicture, inner, colour, AWhat + ", " + names[i++], ATolerance);
  }
}

double LumaOf(const TPicture& APicture, const testmedia::Rect& ARect) {
  double sum = 0, count = 0;
  for (int y = ARect.y; y < ARect.y + ARect.h; ++y)
    for (int x = ARect.x; x < ARect.x + ARect.w; ++x) {
      sum += APicture.Luma[static_cast<size_t>(y) * APicture.Width + x];
      ++count;
    }
  return count > 0 ? sum / count : 0;
}

// ---- Decoding ----

double TDecodedStream::DisplayAspect() const {
  if (Height <= 0) return 0.0;
  const double sar =
      SampleAspect.num > 0 && SampleAspect.den > 0 ? static_cast<double>(SampleAspect.num) / SampleAspect.den : 1.0;
  return Width * sar / Height;
}

const TDecodedStream* TDecodedFile::First(AVMediaType AType) const {
  for (const TDecodedStream& stream : Streams)
    if (stream.Type == AType) return &stream;
  return nullptr;
}

namespace {

std::string ErrorText(int ACode) {
  char text[256] = {};
  lib::av_strerror(ACode, text, sizeof(text));
  return text;
}

// Sample i of the first channel of an audio frame, full scale 1.0.
double FirstChannelSample(const AVFrame* AFrame, int AIndex) {
  const AVSampleFormat format = static_cast<AVSampleFormat>(AFrame->format);
  const bool planar = lib::av_sample_fmt_is_planar(format) != 0;
  const int stride = planar ? 1 : AFrame->ch_layout.nb_channels;
  const uint8_t* data = AFrame->extended_data[0];
  const size_t at = static_cast<size_t>(AIndex) * stride;
  switch (lib::av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
      return (data[at] - 128) / 128.0;
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const int16_t*>(data)[at] / 32768.0;
    case AV_SAMPLE_FMT_S32:
      return reinterpret_cast<const int32_t*>(data)[at] / 2147483648.0;
    case AV_SAMPLE_FMT_FLT:
      return reinterpret_cast<const float*>(data)[at];
    case AV_SAMPLE_FMT_DBL:
      return reinterpret_cast<const double*>(data)[at];
    default:
      return 0;
  }
}

// Per-stream decoding state.
struct TStreamDecoder {
  AVCodecContext* Context = nullptr;
  AVRational TimeBase{1, 1};
  TDecodedStream* Summary = nullptr;
  double SquareSum = 0;
  std::vector<int64_t> Crossings;  // sample positions
  int Sign = 0;                    // -1 below, +1 above the hysteresis band, 0 not yet known
  // Video: the number of the picture to keep as RGB, and the latest picture
  // seen while that one has not come (kept when the stream ends first).
  int64_t MiddleTarget = 0;
  AVFrame* Latest = nullptr;
  bool KeepAll = false;
  SwsContext* Scaler = nullptr;
};

// The picture as RGB24 and its first plane.
TPicture ToPicture(const AVFrame* AFrame, SwsContext*& AScaler) {
  TPicture picture;
  const int width = AFrame->width, height = AFrame->height;
  picture.Width = width;
  picture.Height = height;
  picture.Luma.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    std::copy_n(AFrame->data[0] + static_cast<ptrdiff_t>(y) * AFrame->linesize[0], width,
                &picture.Luma[static_cast<size_t>(y) * width]);
  AScaler = lib::sws_getCachedContext(AScaler, width, height, static_cast<AVPixelFormat>(AFrame->format), width, height,
                                      AV_PIX_FMT_RGB24, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!AScaler) return picture;
  picture.Rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  uint8_t* planes[4] = {picture.Rgb.data(), nullptr, nullptr, nullptr};
  int strides[4] = {width * 3, 0, 0, 0};
  lib::sws_scale(AScaler, AFrame->data, AFrame->linesize, 0, height, planes, strides);
  return picture;
}

void KeepPicture(TStreamDecoder& ADecoder, const AVFrame* AFrame, int64_t ANumber) {
  ADecoder.Summary->Middle = ToPicture(AFrame, ADecoder.Scaler);
  ADecoder.Summary->MiddleFrame = ANumber;
}

void TakeFrame(TStreamDecoder& ADecoder, const AVFrame* AFrame) {
  TDecodedStream& s = *ADecoder.Summary;
  if (s.Type == AVMEDIA_TYPE_AUDIO) {
    if (s.SampleRate == 0) {
      s.SampleRate = AFrame->sample_rate;
      s.Channels = AFrame->ch_layout.nb_channels;
      s.SampleFormat = static_cast<AVSampleFormat>(AFrame->format);
    } else if (s.SampleRate != AFrame->sample_rate || s.Channels != AFrame->ch_layout.nb_channels ||
               s.SampleFormat != AFrame->format) {
      ++s.FormatChanges;
    }
    for (int i = 0; i < AFrame->nb_samples; ++i) {
      const double x = FirstChannelSample(AFrame, i);
      ADecoder.SquareSum += x * x;
      // Positive-going crossings through a band of +-0.05 full scale, so
      // that coding noise around zero does not count.
      if (x > 0.05) {
        if (ADecoder.Sign < 0) {
          ADecoder.Crossings.push_back(s.Samples + i);
        }
        ADecoder.Sign = 1;
      } else if (x < -0.05) {
        ADecoder.Sign = -1;
      }
    }
    s.Samples += AFrame->nb_samples;
  } else if (s.Type == AVMEDIA_TYPE_VIDEO) {
    if (s.Frames == 0) {
      s.Width = AFrame->width;
      s.Height = AFrame->height;
      s.PixelFormat = static_cast<AVPixelFormat>(AFrame->format);
      if (s.SampleAspect.num == 0 && AFrame->sample_aspect_ratio.num > 0 && AFrame->sample_aspect_ratio.den > 0)
        s.SampleAspect = AFrame->sample_aspect_ratio;
    }
    if (AFrame->best_effort_timestamp != AV_NOPTS_VALUE) {
      const int64_t t =
          lib::av_rescale_q(AFrame->best_effort_timestamp, ADecoder.TimeBase, AVRational{1, AV_TIME_BASE});
      if (s.FirstTimedFrame < 0) {
        s.FirstFrameTimeUs = t;
        s.FirstTimedFrame = s.Frames;
      }
      s.LastFrameTimeUs = t;
      s.LastTimedFrame = s.Frames;
    }
    if (ADecoder.KeepAll) s.Pictures.push_back(ToPicture(AFrame, ADecoder.Scaler));
    if (s.MiddleFrame < 0) {
      if (s.Frames >= ADecoder.MiddleTarget) {
        KeepPicture(ADecoder, AFrame, s.Frames);
      } else if (ADecoder.Latest) {
        lib::av_frame_unref(ADecoder.Latest);
        lib::av_frame_ref(ADecoder.Latest, AFrame);
      }
    }
    ++s.Frames;
  }
}

void ReceiveFrames(TStreamDecoder& ADecoder, AVFrame* AFrame) {
  for (;;) {
    const int r = lib::avcodec_receive_frame(ADecoder.Context, AFrame);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) {
      ++ADecoder.Summary->DecodeErrors;
      return;
    }
    TakeFrame(ADecoder, AFrame);
    lib::av_frame_unref(AFrame);
  }
}

}  // namespace

TDecodedFile DecodeAll(const std::string& APath, bool AKeepPictures) {
  TDecodedFile result;
  std::error_code error;
  const auto size = std::filesystem::file_size(APath, error);
  result.Size = error ? -1 : static_cast<int64_t>(size);

  {
    TAVProbe probe;
    probe.Enable();
    if (probe.LoadFile(FromLocal8Bit(APath))) {
      result.ProbeLoaded = true;
      result.ProbeAudioStreams = probe.AudioStreamCount();
      result.ProbeVideoStreams = probe.VideoStreamCount();
      TFileStreamInfo info;
      if (probe.GetFileStreamInfo(info)) result.ProbeDurationUs = info.Duration;
      TVideoStreamInfo video;
      if (result.ProbeVideoStreams > 0 && probe.GetVideoStreamInfo(video)) {
        result.ProbeDisplayAspect = video.DisplayAspect;
        result.ProbeFrameRate = AVRational{video.FrameRateNum, video.FrameRateDen};
      }
    } else {
      result.ProbeError = probe.LastErrMsg();
    }
  }

  AVFormatContext* context = nullptr;
  int r = lib::avformat_open_input(&context, APath.c_str(), nullptr, nullptr);
  if (r < 0) {
    result.Error = "cannot open: " + ErrorText(r);
    return result;
  }
  r = lib::avformat_find_stream_info(context, nullptr);
  if (r < 0) {
    result.Error = "no stream information: " + ErrorText(r);
    lib::avformat_close_input(&context);
    return result;
  }
  result.Opened = true;
  result.FormatName = context->iformat->name;
  result.DurationUs = context->duration;

  result.Streams.resize(context->nb_streams);
  std::vector<TStreamDecoder> decoders(context->nb_streams);
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* st = context->streams[i];
    TDecodedStream& s = result.Streams[i];
    s.Index = static_cast<int>(i);
    s.Type = st->codecpar->codec_type;
    s.CodecId = st->codecpar->codec_id;
    TStreamDecoder& d = decoders[i];
    d.Summary = &s;
    d.TimeBase = st->time_base;
    if (s.Type == AVMEDIA_TYPE_VIDEO) {
      s.FrameRate = lib::av_guess_frame_rate(context, const_cast<AVStream*>(st), nullptr);
      if (st->sample_aspect_ratio.num > 0 && st->sample_aspect_ratio.den > 0) s.SampleAspect = st->sample_aspect_ratio;
      int64_t count = st->nb_frames;
      if (count <= 0 && s.FrameRate.num > 0 && s.FrameRate.den > 0) {
        const int64_t duration = st->duration != AV_NOPTS_VALUE
                                     ? lib::av_rescale_q(st->duration, st->time_base, AVRational{1, AV_TIME_BASE})
                                     : context->duration;
        if (duration > 0)
          count = lib::av_rescale(duration, s.FrameRate.num, static_cast<int64_t>(s.FrameRate.den) * AV_TIME_BASE);
      }
      d.MiddleTarget = count > 0 ? count / 2 : 0;
      d.Latest = lib::av_frame_alloc();
      d.KeepAll = AKeepPictures;
    }
    const AVCodec* codec = lib::avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) continue;
    d.Context = lib::avcodec_alloc_context3(codec);
    if (!d.Context) continue;
    lib::avcodec_parameters_to_context(d.Context, st->codecpar);
    d.Context->pkt_timebase = st->time_base;
    d.Context->thread_count = 1;
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    s.DecoderOpened = lib::avcodec_open2(d.Context, codec, nullptr) >= 0;
    if (!s.DecoderOpened) lib::avcodec_free_context(&d.Context);
  }

  AVPacket* packet = lib::av_packet_alloc();
  AVFrame* frame = lib::av_frame_alloc();
  while (lib::av_read_frame(context, packet) >= 0) {
    if (packet->stream_index >= 0 && packet->stream_index < static_cast<int>(decoders.size())) {
      TStreamDecoder& d = decoders[packet->stream_index];
      TDecodedStream& s = *d.Summary;
      ++s.Packets;
      s.PacketBytes += packet->size;
      if (packet->pts != AV_NOPTS_VALUE) {
        const int64_t t = lib::av_rescale_q(packet->pts, d.TimeBase, AVRational{1, AV_TIME_BASE});
        if (s.FirstPacketTimeUs == AV_NOPTS_VALUE || t < s.FirstPacketTimeUs) s.FirstPacketTimeUs = t;
      }
      if (d.Context) {
        if (lib::avcodec_send_packet(d.Context, packet) < 0) ++s.DecodeErrors;
        ReceiveFrames(d, frame);
      }
    }
    lib::av_packet_unref(packet);
  }
  for (TStreamDecoder& d : decoders) {
    if (!d.Context) continue;
    lib::avcodec_send_packet(d.Context, nullptr);
    ReceiveFrames(d, frame);
    TDecodedStream& s = *d.Summary;
    if (s.Type == AVMEDIA_TYPE_VIDEO && s.MiddleFrame < 0 && d.Latest && d.Latest->width > 0)
      KeepPicture(d, d.Latest, s.Frames - 1);
    if (s.Type == AVMEDIA_TYPE_VIDEO && s.SampleAspect.num == 0) {
      const AVRational sar = context->streams[s.Index]->codecpar->sample_aspect_ratio;
      if (sar.num > 0 && sar.den > 0) s.SampleAspect = sar;
    }
    if (s.Type == AVMEDIA_TYPE_AUDIO && s.Samples > 0) {
      s.Rms = std::sqrt(d.SquareSum / static_cast<double>(s.Samples));
      // The median period between crossings: leading or trailing silence
      // and a codec's ringing where the sound is cut do not count.
      if (s.SampleRate > 0 && d.Crossings.size() > 2) {
        std::vector<int64_t> periods;
        periods.reserve(d.Crossings.size() - 1);
        for (size_t i = 1; i < d.Crossings.size(); ++i) periods.push_back(d.Crossings[i] - d.Crossings[i - 1]);
        // Periods are whole samples; the mean of the middle half keeps the
        // fraction of the true period.
        std::sort(periods.begin(), periods.end());
        const size_t from = periods.size() / 4, to = periods.size() - periods.size() / 4;
        double sum = 0;
        for (size_t i = from; i < to; ++i) sum += static_cast<double>(periods[i]);
        s.ToneHz = static_cast<double>(s.SampleRate) * static_cast<double>(to - from) / sum;
      }
    }
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    lib::avcodec_free_context(&d.Context);
  }
  for (TStreamDecoder& d : decoders) {
    if (d.Latest) lib::av_frame_free(&d.Latest);
    lib::sws_freeContext(d.Scaler);
  }
  lib::av_frame_free(&frame);
  lib::av_packet_free(&packet);
  lib::avformat_close_input(&context);
  return result;
}

// ---- Process resources ----

namespace {
int EntryCount(const char* AFolder) {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(AFolder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}
}  // namespace

int OpenDescriptorCount() { return EntryCount("/proc/self/fd"); }
int ThreadCount() { return EntryCount("/proc/self/task"); }

}  // namespace transcodetest
