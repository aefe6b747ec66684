// Subtitle encoding and the progress report of a run.
#include <cmath>

#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/MyUtil.h"

namespace {

// "PSNR=Y:.. U:.. V:.. *:.. " of a video output stream: of its last picture,
// or of the whole run in the final report (written as the rest of the report
// is, through my_snprintf).
std::string PsnrText(const TOutputStreamState& AOutput, int AFrameNumber, bool AFinal) {
  std::string text = "PSNR=";
  auto append = [&text](char APlane, double AError, double AScale) {
    char value[32];
    lib::my_snprintf(value, sizeof value, "%c:%2.2f ", APlane,
                     AError > 0 ? -10.0 * std::log10(AError / AScale) : 99.99);
    text += value;
  };
  double errorSum = 0, scaleSum = 0;
  const char planes[3] = {'Y', 'U', 'V'};
  for (int p = 0; p < 3; ++p) {
    const double error = static_cast<double>(AFinal ? AOutput.Error[p] : AOutput.LastError[p]);
    double scale = static_cast<double>(AOutput.Encoder->width) * AOutput.Encoder->height * 255.0 * 255.0;
    if (AFinal) scale *= AFrameNumber;
    if (p > 0) scale /= 4;
    errorSum += error;
    scaleSum += scale;
    append(planes[p], error, scale);
  }
  append('*', errorSum, scaleSum);
  return text;
}

// The size of an output so far: what the file holds, or the write position
// when the I/O buffer still holds more than the file.
int64_t OutputSizeSoFar(AVFormatContext* AContext) {
  if (!AContext || !AContext->pb) return 0;
  const int64_t size = std::max(lib::avio_size(AContext->pb), lib::avio_seek(AContext->pb, 0, SEEK_CUR));
  return size < 0 ? 0 : size;
}

}  // namespace

// The text of a progress report, written piece by piece through my_snprintf
// and cut at its capacity.
struct TReportText {
  char Text[1024] = {};
  size_t Used = 0;
  template <typename... TArgs>
  void Append(const char* AFormat, TArgs... AArgs) {
    if (Used >= sizeof Text) return;
    const int n = lib::my_snprintf(Text + Used, sizeof Text - Used, AFormat, AArgs...);
    if (n > 0) Used = std::min(sizeof Text - 1, Used + static_cast<size_t>(n));
  }
};

void TCustomFFmpeg::EncodeSubtitle(TTranscodeRun& /*ARun*/, TOutputStreamState& AOutput, TInputStreamState& AInput,
                                   AVSubtitle* ASubtitle, int64_t APacketPts) {
  if (APacketPts == AV_NOPTS_VALUE) {
    if (FSettings.Run.FExitOnError) throw FFmpegException("Subtitle packets must have a pts");
    FFLoggerInstance()->Log(this, llError, "Subtitle packets must have a pts");
    return;
  }
  std::vector<uint8_t>& buffer = FBuffers->SubtitleOut;
  if (buffer.empty()) buffer.resize(1048576);
  AVCodecContext* enc = AOutput.Encoder;
  const int passes = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    int64_t time = lib::av_rescale_q(APacketPts, AInput.Stream->time_base, AV_TIME_BASE_Q) +
                   lib::av_rescale_q(ASubtitle->start_display_time, AVRational{1, 1000}, AV_TIME_BASE_Q);
    ASubtitle->end_display_time -= ASubtitle->start_display_time;
    ASubtitle->start_display_time = 0;
    ASubtitle->pts = time;
    const int size = lib::avcodec_encode_subtitle(enc, buffer.data(), static_cast<int>(buffer.size()), ASubtitle);
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    AVPacket* packet = FBuffers->Encoded;
    if (lib::av_new_packet(packet, size) < 0) throw FFmpegException("Subtitle encoding failed");
    std::copy(buffer.data(), buffer.data() + size, packet->data);
    packet->stream_index = AOutput.Index;
    packet->pts = lib::av_rescale_q(time, AV_TIME_BASE_Q, AOutput.Stream->time_base);
    if (passes == 2)
      packet->pts += lib::av_rescale_q(pass == 0 ? ASubtitle->start_display_time : ASubtitle->end_display_time,
                                       AVRational{1, 1000}, AOutput.Stream->time_base);
    packet->dts = packet->pts;
    WriteOutputPacket(FOutputFiles[AOutput.FileIndex]->Context, AOutput, packet);
  }
}

bool TCustomFFmpeg::ReportProgress(TTranscodeRun& ARun, bool AFinal) {
  const int64_t totalSize = OutputSizeSoFar(FOutputFiles[0]->Context);
  TReportText text;
  TVideoReport video;
  double t = 1e10;
  bool firstVideo = true;
  for (auto& pointer : ARun.OutputStreams) {
    TOutputStreamState& ost = *pointer;
    const bool isVideo = ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    const float q = !ost.EncodingNeeded ? -1.0f : (ost.LastQuality < 0 ? 0.0f : ost.LastQuality / 118.0f);
    if (isVideo && !firstVideo) text.Append("q=%2.1f ", q);
    if (isVideo && firstVideo) {
      firstVideo = false;
      if (!AppendFirstVideoStream(text, ost, q, AFinal, video)) return false;  // nothing written yet: no report
    }
    const double streamTime = OutputPosition(ost);
    if (streamTime > 0 && streamTime < t) t = streamTime;
  }
  if (t < 0.01 || t >= 1e10) t = std::min(std::max(t, 0.01), t >= 1e10 ? 0.01 : t);

  if (FOnProgress || FSettings.Run.FVerbose > 0 || AFinal) {
    const double bitrate = static_cast<double>(totalSize) * 8 / t / 1000;
    text.Append("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(totalSize) / 1024, t, bitrate);
    if (FSettings.Run.FVerbose > 1) text.Append(" dup=%d drop=%d", FFramesDup, FFramesDrop);
    if (FOnProgress) {
      FOnProgress(this, video.FrameNumber, video.Fps, static_cast<int>(t * 1000), video.Quality,
                  static_cast<float>(bitrate), totalSize, static_cast<int>(FTotalDuration));
    } else if (FSettings.Run.FVerbose >= 0) {
      FFLoggerInstance()->Log(this, llVerbose, text.Text);
    }
  }
  if (AFinal && FSettings.Run.FVerbose >= 0) LogRunSummary(totalSize);
  return true;
}

bool TCustomFFmpeg::AppendFirstVideoStream(TReportText& AText, const TOutputStreamState& AOutput, float AQuality,
                                           bool AFinal, TVideoReport& AVideo) {
  const double elapsed = static_cast<double>(lib::av_gettime() - FTimerStart) / 1000000.0;
  AVideo.FrameNumber = AOutput.FrameNumber;
  if (AVideo.FrameNumber < 1) return false;
  AVideo.Fps = elapsed > 1 ? static_cast<int>(std::lround(AVideo.FrameNumber / elapsed)) : 0;
  AVideo.Quality = AQuality;
  AText.Append("frame=%5d fps=%3d q=%3.1f ", AVideo.FrameNumber, AVideo.Fps, AVideo.Quality);
  if (AFinal) AText.Append("L");
  if (FSettings.Video.FQpHist) {
    const int qp = static_cast<int>(std::lround(AVideo.Quality));
    if (qp >= 0 && qp < 52) ++FBuffers->QpHistogram[static_cast<size_t>(qp)];
    for (int j = 0; j < 32; ++j)
      AText.Append("%X", static_cast<int>(std::lround(std::log2(FBuffers->QpHistogram[static_cast<size_t>(j)] + 1))));
  }
  if (AOutput.Encoder && (AOutput.Encoder->flags & AV_CODEC_FLAG_PSNR))
    AText.Append("%s", PsnrText(AOutput, AVideo.FrameNumber, AFinal).c_str());
  return true;
}

void TCustomFFmpeg::LogRunSummary(int64_t ATotalSize) {
  const int64_t raw = FVideoSize + FAudioSize + FExtraSize;
  // With nothing encoded there is no overhead to speak of: shown as 0.
  const double overhead = raw > 0 ? static_cast<double>(ATotalSize - raw) * 100.0 / static_cast<double>(raw) : 0.0;
  FFLoggerInstance()->Log(this, llVerbose,
                          Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%% "
                                 "threads:%d\r\n",
                                 static_cast<double>(FVideoSize) / 1024, static_cast<double>(FAudioSize) / 1024,
                                 static_cast<double>(FExtraSize) / 1024, overhead, FCodecThreadsUsed));
}
