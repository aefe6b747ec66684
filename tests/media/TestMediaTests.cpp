// Checks the generated media by reading it back with libavformat/libavcodec:
// what the containers say (streams, codecs, sizes, rates, durations) and
// what the decoders give (the quadrant pattern, the moving bar, the tone).
#include "tests/media/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;
using namespace testmedia;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---- reading a file back ----

struct VideoInfo {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0;
  double fps = 0;  // avg_frame_rate, else r_frame_rate
  AVRational sar{0, 1};
  int64_t frames = 0;                     // decoded
  std::vector<std::vector<uint8_t>> rgb;  // RGB24 (stride width*3) of the first decoded frames
};

struct AudioInfo {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int sampleRate = 0, channels = 0;
  int frameSize = 0;
  int64_t samples = 0;            // decoded
  std::vector<double> peak;       // per channel, over the steady part
  std::vector<double> frequency;  // per channel, from zero crossings
  double maxChannelDiff = 0;      // largest |ch[i] - ch[0]| over the steady part
};

struct FileInfo {
  std::string demuxer;
  unsigned streams = 0;
  int videoStreams = 0, audioStreams = 0;
  double duration = 0;  // seconds, container's idea
  bool hasVideo = false, hasAudio = false;
  VideoInfo video;
  AudioInfo audio;
};

struct CloseInput {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct FreeCodec {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreeFrame {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FreePacket {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

std::unique_ptr<AVCodecContext, FreeCodec> OpenDecoder(const AVStream* st) {
  const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!dec) throw std::runtime_error("no decoder");
  std::unique_ptr<AVCodecContext, FreeCodec> ctx(avcodec_alloc_context3(dec));
  if (avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) throw std::runtime_error("bad parameters");
  ctx->pkt_timebase = st->time_base;
  if (avcodec_open2(ctx.get(), dec, nullptr) < 0) throw std::runtime_error("cannot open decoder");
  return ctx;
}

std::vector<uint8_t> ToRgb(const AVFrame* f) {
  SwsContext* sws = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width, f->height,
                                   AV_PIX_FMT_RGB24, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!sws) throw std::runtime_error("no RGB conversion");
  std::vector<uint8_t> rgb(static_cast<size_t>(f->width) * f->height * 3);
  uint8_t* dst[1] = {rgb.data()};
  const int dstStride[1] = {f->width * 3};
  sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
  sws_freeContext(sws);
  return rgb;
}

// Collects decoded audio as float planar, per channel.
class AudioCollector {
 public:
  void Add(const AVFrame* f) {
    if (!swr_) {
      SwrContext* s = nullptr;
      AVChannelLayout layout{};
      av_channel_layout_copy(&layout, &f->ch_layout);
      const int ret = swr_alloc_set_opts2(&s, &layout, AV_SAMPLE_FMT_FLTP, f->sample_rate, &layout,
                                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&layout);
      if (ret < 0 || swr_init(s) < 0) {
        swr_free(&s);
        throw std::runtime_error("no sample conversion");
      }
      swr_ = s;
      pcm_.resize(f->ch_layout.nb_channels);
    }
    std::vector<std::vector<float>> out(pcm_.size(), std::vector<float>(f->nb_samples));
    std::vector<uint8_t*> planes;
    for (auto& ch : out) planes.push_back(reinterpret_cast<uint8_t*>(ch.data()));
    const int got =
        swr_convert(swr_, planes.data(), f->nb_samples, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (got < 0) throw std::runtime_error("sample conversion failed");
    for (size_t c = 0; c < pcm_.size(); ++c) pcm_[c].insert(pcm_[c].end(), out[c].begin(), out[c].begin() + got);
  }
  ~AudioCollector() { swr_free(&swr_); }

  void Summarise(AudioInfo& a) const {
    a.peak.assign(pcm_.size(), 0);
    a.frequency.assign(pcm_.size(), 0);
    if (pcm_.empty()) return;
    // Skip the edges, where encoders ramp in and out.
    const size_t n = pcm_[0].size();
    const size_t edge = std::min<size_t>(4096, n / 4);
    const size_t from = edge, to = n - edge;
    if (to <= from) return;
    for (size_t c = 0; c < pcm_.size(); ++c) {
      float peak = 0;
      int crossings = 0;
      for (size_t i = from; i < to; ++i) {
        peak = std::max(peak, std::fabs(pcm_[c][i]));
        if (pcm_[c][i - 1] < 0 && pcm_[c][i] >= 0) ++crossings;
        a.maxChannelDiff = std::max(a.maxChannelDiff, static_cast<double>(std::fabs(pcm_[c][i] - pcm_[0][i])));
      }
      a.peak[c] = peak;
      a.frequency[c] = crossings * static_cast<double>(a.sampleRate) / static_cast<double>(to - from);
    }
  }

 private:
  SwrContext* swr_ = nullptr;
  std::vector<std::vector<float>> pcm_;
};

// Opens the file, reads its parameters and decodes all of it; keeps the
// first keepFrames video frames as RGB24.
FileInfo Inspect(const std::string& path, size_t keepFrames = 2) {
  FileInfo info;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
  std::unique_ptr<AVFormatContext, CloseInput> fmt(raw);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0) throw std::runtime_error("no stream info in " + path);
  info.demuxer = fmt->iformat->name;
  info.streams = fmt->nb_streams;
  if (fmt->duration != AV_NOPTS_VALUE) info.duration = fmt->duration / static_cast<double>(AV_TIME_BASE);

  int vi = -1, ai = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      ++info.videoStreams;
      if (vi < 0) vi = static_cast<int>(i);
    } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      ++info.audioStreams;
      if (ai < 0) ai = static_cast<int>(i);
    }
  }

  std::unique_ptr<AVCodecContext, FreeCodec> vdec, adec;
  if (vi >= 0) {
    AVStream* st = fmt->streams[vi];
    info.hasVideo = true;
    info.video.codec = st->codecpar->codec_id;
    info.video.width = st->codecpar->width;
    info.video.height = st->codecpar->height;
    const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    info.video.fps = rate.den ? av_q2d(rate) : 0;
    info.video.sar = av_guess_sample_aspect_ratio(fmt.get(), st, nullptr);
    vdec = OpenDecoder(st);
  }
  if (ai >= 0) {
    const AVStream* st = fmt->streams[ai];
    info.hasAudio = true;
    info.audio.codec = st->codecpar->codec_id;
    info.audio.sampleRate = st->codecpar->sample_rate;
    info.audio.channels = st->codecpar->ch_layout.nb_channels;
    info.audio.frameSize = st->codecpar->frame_size;
    adec = OpenDecoder(st);
  }

  std::unique_ptr<AVPacket, FreePacket> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, FreeFrame> frame(av_frame_alloc());
  AudioCollector audio;
  auto receive = [&](AVCodecContext* dec, bool isVideo) {
    while (avcodec_receive_frame(dec, frame.get()) >= 0) {
      if (isVideo) {
        if (info.video.rgb.size() < keepFrames) info.video.rgb.push_back(ToRgb(frame.get()));
        ++info.video.frames;
      } else {
        info.audio.samples += frame->nb_samples;
        audio.Add(frame.get());
      }
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == vi && vdec) {
      avcodec_send_packet(vdec.get(), pkt.get());
      receive(vdec.get(), true);
    } else if (pkt->stream_index == ai && adec) {
      avcodec_send_packet(adec.get(), pkt.get());
      receive(adec.get(), false);
    }
    av_packet_unref(pkt.get());
  }
  if (vdec) {
    avcodec_send_packet(vdec.get(), nullptr);
    receive(vdec.get(), true);
  }
  if (adec) {
    avcodec_send_packet(adec.get(), nullptr);
    receive(adec.get(), false);
  }
  audio.Summarise(info.audio);
  return info;
}

// ---- the picture contract on a decoded frame ----

void ExpectPattern(const std::vector<uint8_t>& rgb, int w, int h, int64_t frameIndex, double tolerance) {
  ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3);
  const struct {
    Quadrant q;
    Rgb colour;
    const char* name;
  } quads[] = {{Quadrant::TopLeft, kTopLeft, "top-left red"},
               {Quadrant::TopRight, kTopRight, "top-right green"},
               {Quadrant::BottomLeft, kBottomLeft, "bottom-left blue"},
               {Quadrant::BottomRight, kBottomRight, "bottom-right white"}};
  for (const auto& q : quads) {
    const MeanRgb m = QuadrantMean(rgb.data(), w * 3, w, h, q.q);
    EXPECT_LE(ColourDistance(m, q.colour), tolerance)
        << q.name << " of frame " << frameIndex << " measured (" << m.r << ", " << m.g << ", " << m.b << ")";
  }
  // Middle of the bar.
  const int bx = BarX(frameIndex, w) + BarWidth(w) / 2;
  const int by = (BarTop(h) + BarBottom(h)) / 2;
  const uint8_t* p = rgb.data() + (static_cast<size_t>(by) * w + bx) * 3;
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(p[c], kBar.r, 40) << "bar of frame " << frameIndex << " at (" << bx << ", " << by << ") channel " << c;
}

// ---- one row per kind of clip ----

struct Case {
  std::string name;
  ClipSpec spec;
  AVCodecID video;  // AV_CODEC_ID_NONE = no video stream expected
  AVCodecID audio;  // AV_CODEC_ID_NONE = no audio stream expected
  std::string extension;
  double durationSlack = 0;  // seconds the container's duration may be off beyond the usual
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

ClipSpec ClipOf(const std::string& container) {
  ClipSpec s;
  s.container = container;
  return s;
}

std::vector<Case> Cases() {
  std::vector<Case> c;
  auto add = [&](std::string name, ClipSpec s, AVCodecID v, AVCodecID a, std::string ext, double slack = 0) {
    c.push_back({std::move(name), std::move(s), v, a, std::move(ext), slack});
  };
  add("avi", ClipOf("avi"), AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, ".avi");
  add("mp4", ClipOf("mp4"), AV_CODEC_ID_H264, AV_CODEC_ID_AAC, ".mp4");
  add("mkv", ClipOf("mkv"), AV_CODEC_ID_H264, AV_CODEC_ID_VORBIS, ".mkv");
  add("mpg", ClipOf("mpg"), AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP2, ".mpg");
  add("flv", ClipOf("flv"), AV_CODEC_ID_FLV1, AV_CODEC_ID_MP3, ".flv");
  // The asf muxer shifts both streams by the WMA priming (one 2048-sample
  // frame) and the header's duration counts that shift on top.
  add("asf", ClipOf("asf"), AV_CODEC_ID_WMV2, AV_CODEC_ID_WMAV2, ".wmv", 2048 / 44100.0);
  add("mov", ClipOf("mov"), AV_CODEC_ID_H264, AV_CODEC_ID_AAC, ".mov");
  add("ts", ClipOf("ts"), AV_CODEC_ID_H264, AV_CODEC_ID_AAC, ".ts");
  add("ogg", ClipOf("ogg"), AV_CODEC_ID_THEORA, AV_CODEC_ID_VORBIS, ".ogg");
  {
    ClipSpec s = ClipOf("3gp");
    s.width = 176, s.height = 144, s.sampleRate = 16000, s.channels = 1;
    add("3gp_h263_qcif", s, AV_CODEC_ID_H263, AV_CODEC_ID_AAC, ".3gp");
  }
  add("3gp_mpeg4_non_h263_size", ClipOf("3gp"), AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC, ".3gp");
  {
    ClipSpec s = ClipOf("mp4");
    s.fpsNum = 30000, s.fpsDen = 1001;
    add("mp4_ntsc_rate", s, AV_CODEC_ID_H264, AV_CODEC_ID_AAC, ".mp4");
  }
  {
    ClipSpec s = ClipOf("mpg");
    s.fpsNum = 30000, s.fpsDen = 1001, s.sampleRate = 48000;
    add("mpg_ntsc_rate", s, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP2, ".mpg");
  }
  {
    ClipSpec s = ClipOf("avi");
    s.fpsNum = 30000, s.fpsDen = 1001;
    add("avi_ntsc_rate", s, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, ".avi");
  }
  for (const char* cont : {"mkv", "avi", "mpg", "mp4"}) {
    ClipSpec s = ClipOf(cont);
    s.width = 720, s.height = 576, s.sarNum = 16, s.sarDen = 15, s.durationSec = 1.0, s.sampleRate = 48000;
    const AVCodecID v = std::string(cont) == "mpg"   ? AV_CODEC_ID_MPEG2VIDEO
                        : std::string(cont) == "avi" ? AV_CODEC_ID_MPEG4
                                                     : AV_CODEC_ID_H264;
    const AVCodecID a = std::string(cont) == "mpg"   ? AV_CODEC_ID_MP2
                        : std::string(cont) == "avi" ? AV_CODEC_ID_MP3
                        : std::string(cont) == "mkv" ? AV_CODEC_ID_VORBIS
                                                     : AV_CODEC_ID_AAC;
    add(std::string(cont) + "_pal_anamorphic", s, v, a, ContainerExtension(cont));
  }
  {
    ClipSpec s = ClipOf("mkv");
    s.videoCodec = "mpeg4", s.audioCodec = "aac";
    add("mkv_chosen_codecs", s, AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC, ".mkv");
  }
  {
    ClipSpec s = ClipOf("mkv");
    s.videoCodec = "libx264", s.audioCodec = "libmp3lame", s.width = 640, s.height = 360;
    add("mkv_h264_mp3_wide", s, AV_CODEC_ID_H264, AV_CODEC_ID_MP3, ".mkv");
  }
  {
    ClipSpec s = ClipOf("wav");
    add("wav", s, AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE, ".wav");
  }
  {
    ClipSpec s = ClipOf("wav");
    s.channels = 6, s.sampleRate = 48000, s.toneHz = 440;
    add("wav_6ch_48k", s, AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE, ".wav");
  }
  {
    ClipSpec s = ClipOf("wav");
    s.channels = 1, s.sampleRate = 22050;
    add("wav_mono", s, AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE, ".wav");
  }
  add("mp3", ClipOf("mp3"), AV_CODEC_ID_NONE, AV_CODEC_ID_MP3, ".mp3");
  {
    ClipSpec s = ClipOf("mp3");
    s.channels = 1, s.sampleRate = 48000, s.toneHz = 2000, s.durationSec = 1.5;
    add("mp3_mono", s, AV_CODEC_ID_NONE, AV_CODEC_ID_MP3, ".mp3");
  }
  {
    ClipSpec s = ClipOf("mp4");
    s.audio = false;
    add("mp4_video_only", s, AV_CODEC_ID_H264, AV_CODEC_ID_NONE, ".mp4");
  }
  {
    ClipSpec s = ClipOf("avi");
    s.audio = false, s.durationSec = 1.0;
    add("avi_video_only", s, AV_CODEC_ID_MPEG4, AV_CODEC_ID_NONE, ".avi");
  }
  {
    ClipSpec s = ClipOf("mkv");
    s.video = false, s.channels = 1;
    add("mkv_audio_only_mono", s, AV_CODEC_ID_NONE, AV_CODEC_ID_VORBIS, ".mkv");
  }
  {
    ClipSpec s = ClipOf("png");
    s.width = 160, s.height = 120;
    add("png_still", s, AV_CODEC_ID_PNG, AV_CODEC_ID_NONE, ".png");
  }
  {
    ClipSpec s = ClipOf("jpg");
    s.width = 640, s.height = 480;
    add("jpg_still", s, AV_CODEC_ID_MJPEG, AV_CODEC_ID_NONE, ".jpg");
  }
  return c;
}

class GeneratedClip : public testing::TestWithParam<Case> {};

TEST_P(GeneratedClip, ReadsBackAsRequested) {
  const Case& c = GetParam();
  const ClipSpec& s = c.spec;
  const bool still = c.spec.container == "png" || c.spec.container == "jpg";
  TTempFolder dir;
  const std::string path = dir / ("clip" + c.extension);
  ASSERT_EQ(ContainerExtension(s.container), c.extension);
  ASSERT_NO_THROW(MakeClip(s, path));
  ASSERT_GT(fs::file_size(path), 0u);

  FileInfo f;
  ASSERT_NO_THROW(f = Inspect(path));
  const bool wantVideo = c.video != AV_CODEC_ID_NONE, wantAudio = c.audio != AV_CODEC_ID_NONE;
  EXPECT_EQ(f.streams, static_cast<unsigned>(wantVideo) + static_cast<unsigned>(wantAudio)) << f.demuxer;
  EXPECT_EQ(f.videoStreams, wantVideo ? 1 : 0);
  EXPECT_EQ(f.audioStreams, wantAudio ? 1 : 0);

  const double fps = static_cast<double>(s.fpsNum) / s.fpsDen;
  const int64_t expectedFrames = still ? 1 : std::llround(s.durationSec * fps);
  if (wantVideo && f.hasVideo) {
    EXPECT_EQ(f.video.codec, c.video) << avcodec_get_name(f.video.codec);
    EXPECT_EQ(f.video.width, s.width);
    EXPECT_EQ(f.video.height, s.height);
    if (!still) {
      EXPECT_NEAR(f.video.fps, fps, fps * 0.002) << f.demuxer;
    }
    EXPECT_EQ(f.video.frames, expectedFrames);
    if (s.sarNum > 0) {
      EXPECT_EQ(f.video.sar.num * s.sarDen, s.sarNum * f.video.sar.den)
          << "SAR " << f.video.sar.num << ":" << f.video.sar.den;
    }
    // Lossy codecs at low rates smear colour a little; the pattern is flat,
    // so the means stay well within this.
    const double tolerance = c.video == AV_CODEC_ID_PNG ? 1.0 : 24.0;
    ASSERT_GE(f.video.rgb.size(), still ? 1u : 2u);
    ExpectPattern(f.video.rgb[0], s.width, s.height, 0, tolerance);
    if (!still) ExpectPattern(f.video.rgb[1], s.width, s.height, 1, tolerance);
  }

  if (wantAudio && f.hasAudio) {
    EXPECT_EQ(f.audio.codec, c.audio) << avcodec_get_name(f.audio.codec);
    EXPECT_EQ(f.audio.sampleRate, s.sampleRate);
    EXPECT_EQ(f.audio.channels, s.channels);
    // All of the tone, plus at most an encoder's padding at the ends.
    const int64_t expected = std::llround(s.durationSec * s.sampleRate);
    const int64_t frame = std::max(f.audio.frameSize, 2048);
    EXPECT_GE(f.audio.samples, expected) << "samples";
    EXPECT_LE(f.audio.samples, expected + 2 * frame) << "samples";
    const bool pcm = c.audio == AV_CODEC_ID_PCM_S16LE;
    ASSERT_EQ(f.audio.peak.size(), static_cast<size_t>(s.channels));
    for (int ch = 0; ch < s.channels; ++ch) {
      EXPECT_NEAR(f.audio.peak[ch], 0.5, pcm ? 0.001 : 0.08) << "channel " << ch;
      EXPECT_NEAR(f.audio.frequency[ch], s.toneHz, s.toneHz * 0.01) << "channel " << ch;
    }
    // Coding noise differs per channel; a missing, swapped or inverted
    // channel would be off by 0.5 or more.
    EXPECT_LE(f.audio.maxChannelDiff, pcm ? 1e-4 : 0.15) << "channels should carry the same tone";
  }

  if (!still) {
    // A video frame either way; for audio the encoder's priming (at most a
    // frame) plus the padding of the last frame; plus the container's rounding.
    const double videoFrame = wantVideo ? 1.0 / fps : 0.0;
    const bool pcm = c.audio == AV_CODEC_ID_PCM_S16LE;
    const int audioFrameSize = pcm ? 1 : std::max(f.audio.frameSize, 2048);
    const double audioSlack = wantAudio ? 2.0 * audioFrameSize / s.sampleRate : 0.0;
    EXPECT_NEAR(f.duration, s.durationSec, std::max(videoFrame, audioSlack) + 0.002 + c.durationSlack) << f.demuxer;
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, GeneratedClip, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// ---- the generator's own guarantees ----

TEST(MakeClip, SameSpecGivesSameBytes) {
  TTempFolder dir;
  ClipSpec s = ClipOf("mp4");
  s.durationSec = 0.5;
  MakeClip(s, dir / "a.mp4");
  MakeClip(s, dir / "b.mp4");
  EXPECT_EQ(ReadAll(dir / "a.mp4"), ReadAll(dir / "b.mp4"));
}

TEST(MakeClip, LosslessVideoIsThePatternPixelForPixel) {
  // PNG video in Matroska keeps RGB24 exactly: every pixel of every frame,
  // through a full sweep of the bar and past its wrap-around, must be
  // PatternPixel. Odd size on purpose (the quadrant split rounds down).
  TTempFolder dir;
  ClipSpec s = ClipOf("mkv");
  s.videoCodec = "png", s.audio = false, s.width = 67, s.height = 45, s.durationSec = 0.72;
  MakeClip(s, dir / "lossless.mkv");
  const FileInfo f = Inspect(dir / "lossless.mkv", 100);
  ASSERT_EQ(f.video.frames, 18);
  ASSERT_EQ(f.video.rgb.size(), 18u);
  for (size_t n = 0; n < f.video.rgb.size(); ++n) {
    const auto& rgb = f.video.rgb[n];
    ASSERT_EQ(rgb.size(), 67u * 45u * 3u);
    int wrong = 0;
    for (int y = 0; y < s.height; ++y)
      for (int x = 0; x < s.width; ++x) {
        const Rgb want = PatternPixel(x, y, static_cast<int64_t>(n), s.width, s.height);
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * s.width + x) * 3];
        if (p[0] != want.r || p[1] != want.g || p[2] != want.b) ++wrong;
      }
    EXPECT_EQ(wrong, 0) << "frame " << n;
  }
}

TEST(MakeClip, PatternPixelMatchesTheDocumentedLayout) {
  // 320x240: bar 20 px wide, rows 90..149; frame 17 puts it at column 20.
  EXPECT_EQ(BarWidth(320), 20);
  EXPECT_EQ(BarWidth(8), 1);
  EXPECT_EQ(BarX(17, 320), 20);
  auto same = [](Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; };
  EXPECT_TRUE(same(PatternPixel(0, 0, 5, 320, 240), kTopLeft));
  EXPECT_TRUE(same(PatternPixel(159, 119, 0, 320, 240), kTopLeft));
  EXPECT_TRUE(same(PatternPixel(160, 0, 0, 320, 240), kTopRight));
  EXPECT_TRUE(same(PatternPixel(0, 120, 5, 320, 240), kBottomLeft));
  EXPECT_TRUE(same(PatternPixel(319, 239, 0, 320, 240), kBottomRight));
  EXPECT_TRUE(same(PatternPixel(25, 90, 17, 320, 240), kBar));
  EXPECT_TRUE(same(PatternPixel(25, 149, 17, 320, 240), kBar));
  EXPECT_FALSE(same(PatternPixel(25, 150, 17, 320, 240), kBar));
  EXPECT_FALSE(same(PatternPixel(40, 100, 17, 320, 240), kBar));
  // The inner regions never meet the bar, for any frame.
  for (const Quadrant q : {Quadrant::TopLeft, Quadrant::TopRight, Quadrant::BottomLeft, Quadrant::BottomRight}) {
    const Rect r = QuadrantInner(q, 320, 240);
    for (int n = 0; n < 16; ++n)
      for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x) ASSERT_FALSE(same(PatternPixel(x, y, n, 320, 240), kBar));
  }
}

TEST(MakeClip, LeavesTheLibrariesLogLevelAlone) {
  TTempFolder dir;
  ClipSpec s = ClipOf("wav");
  s.durationSec = 0.1;
  const int before = av_log_get_level();
  av_log_set_level(AV_LOG_DEBUG);
  MakeClip(s, dir / "a.wav");
  EXPECT_EQ(av_log_get_level(), AV_LOG_DEBUG);
  av_log_set_level(before);
}

TEST(MakeClip, RejectsBadSpecsWithAClearMessageAndNoFile) {
  TTempFolder dir;
  struct Bad {
    ClipSpec spec;
    std::string mentions;
  };
  std::vector<Bad> bad;
  {
    ClipSpec s = ClipOf("xyz");
    bad.push_back({s, "xyz"});
  }
  {
    ClipSpec s = ClipOf("mkv");
    s.videoCodec = "no-such-encoder";
    bad.push_back({s, "no-such-encoder"});
  }
  {
    ClipSpec s = ClipOf("mkv");
    s.videoCodec = "aac";  // an audio encoder for the video stream
    bad.push_back({s, "aac"});
  }
  {
    ClipSpec s = ClipOf("mkv");
    s.video = false, s.audio = false;
    bad.push_back({s, "nothing"});
  }
  {
    ClipSpec s = ClipOf("wav");
    s.audio = false;
    bad.push_back({s, "nothing"});
  }
  {
    ClipSpec s = ClipOf("3gp");
    s.videoCodec = "h263";  // 320x240 is not an H.263 size
    bad.push_back({s, "h263"});
  }
  {
    ClipSpec s = ClipOf("mpg");
    s.sampleRate = 11025;  // mp2 has no such rate
    bad.push_back({s, "11025"});
  }
  {
    ClipSpec s = ClipOf("avi");
    s.width = 0;
    bad.push_back({s, "size"});
  }
  {
    ClipSpec s = ClipOf("avi");
    s.durationSec = 0;
    bad.push_back({s, "duration"});
  }
  {
    ClipSpec s = ClipOf("wav");
    s.toneHz = 30000;  // above Nyquist at 44.1 kHz
    bad.push_back({s, "tone"});
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    const std::string path = dir / ("bad" + std::to_string(i));
    try {
      MakeClip(bad[i].spec, path);
      ADD_FAILURE() << "case " << i << " (" << bad[i].mentions << ") did not throw";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(bad[i].mentions), std::string::npos) << "case " << i << ": " << e.what();
    }
    EXPECT_FALSE(fs::exists(path)) << "case " << i << " left a file behind";
  }
  // A folder that does not exist.
  EXPECT_THROW(MakeClip(ClipOf("mkv"), dir / "missing/clip.mkv"), std::runtime_error);
  EXPECT_THROW(MakeClip(ClipOf("png"), dir / "missing/still.png"), std::runtime_error);
}

TEST(MakeClip, ResolveAppliesPerContainerDefaults) {
  ClipSpec s = ClipOf("3gp");
  s.width = 352, s.height = 288;
  EXPECT_EQ(Resolve(s).videoCodec, "h263");
  s.width = 320, s.height = 240;
  EXPECT_EQ(Resolve(s).videoCodec, "mpeg4");
  s.videoCodec = "h263p";
  EXPECT_EQ(Resolve(s).videoCodec, "h263p");

  ClipSpec wav = ClipOf("wav");  // video requested by default, but wav has none
  const ResolvedSpec r = Resolve(wav);
  EXPECT_FALSE(r.video);
  EXPECT_TRUE(r.audio);

  ClipSpec png = ClipOf("png");
  png.video = false;  // a still is always a picture
  EXPECT_TRUE(Resolve(png).video);
  EXPECT_FALSE(Resolve(png).audio);
  EXPECT_TRUE(Resolve(png).still);
  EXPECT_EQ(ContainerExtension("wmv"), ".wmv");
}

// ---- the cache ----

class CachedClipTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("VIDMILL_TEST_MEDIA_DIR");
    if (old) saved_ = old, hadOld_ = true;
    cacheDir_ = dir_.Path() / "cache";
    ::setenv("VIDMILL_TEST_MEDIA_DIR", cacheDir_.c_str(), 1);
  }
  void TearDown() override {
    if (hadOld_)
      ::setenv("VIDMILL_TEST_MEDIA_DIR", saved_.c_str(), 1);
    else
      ::unsetenv("VIDMILL_TEST_MEDIA_DIR");
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(cacheDir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempFolder dir_;
  fs::path cacheDir_;
  std::string saved_;
  bool hadOld_ = false;
};

TEST_F(CachedClipTest, MediaDirFollowsTheEnvironmentAndIsCreated) {
  EXPECT_FALSE(fs::exists(cacheDir_));
  EXPECT_EQ(fs::path(MediaDir()), cacheDir_);
  EXPECT_TRUE(fs::is_directory(cacheDir_));
  ::unsetenv("VIDMILL_TEST_MEDIA_DIR");
  EXPECT_EQ(fs::path(MediaDir()), fs::temp_directory_path() / "vidmill-test-media");
}

TEST_F(CachedClipTest, GeneratesOnceThenReuses) {
  ClipSpec s = ClipOf("asf");
  s.durationSec = 0.5;
  const std::string first = CachedClip(s);
  EXPECT_EQ(fs::path(first).parent_path(), cacheDir_);
  EXPECT_EQ(fs::path(first).extension(), ".wmv");
  ASSERT_TRUE(fs::is_regular_file(first));
  const FileInfo f = Inspect(first);
  EXPECT_EQ(f.video.codec, AV_CODEC_ID_WMV2);

  struct stat before {};
  ASSERT_EQ(::stat(first.c_str(), &before), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string second = CachedClip(s);
  EXPECT_EQ(second, first);
  struct stat after {};
  ASSERT_EQ(::stat(second.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(Files(), std::vector<std::string>{fs::path(first).filename().string()});
}

TEST_F(CachedClipTest, EveryFieldChangesTheFile) {
  std::vector<ClipSpec> specs;
  ClipSpec base = ClipOf("wav");
  base.durationSec = 0.1;
  specs.push_back(base);
  auto vary = [&](auto change) {
    ClipSpec s = base;
    change(s);
    specs.push_back(s);
  };
  vary([](ClipSpec& s) { s.container = "mp3"; });
  vary([](ClipSpec& s) { s.videoCodec = "mpeg4"; });
  vary([](ClipSpec& s) { s.audioCodec = "pcm_s16le"; });
  vary([](ClipSpec& s) { s.width = 322; });
  vary([](ClipSpec& s) { s.height = 242; });
  vary([](ClipSpec& s) { s.fpsNum = 30000; });
  vary([](ClipSpec& s) { s.fpsDen = 1001; });
  vary([](ClipSpec& s) { s.sarNum = 4; });
  vary([](ClipSpec& s) { s.sarDen = 3; });
  vary([](ClipSpec& s) { s.sampleRate = 48000; });
  vary([](ClipSpec& s) { s.channels = 1; });
  vary([](ClipSpec& s) { s.durationSec = 0.1000001; });
  vary([](ClipSpec& s) { s.video = false; });
  vary([](ClipSpec& s) { s.toneHz = 1000.5; });
  vary([](ClipSpec& s) { s.videoBitRate = 1; });
  vary([](ClipSpec& s) { s.audioBitRate = 1; });
  vary([](ClipSpec& s) { s.videoStartSec = 1; });
  vary([](ClipSpec& s) { s.audioStartSec = 1; });
  vary([](ClipSpec& s) { s.keyFrameInterval = 12; });
  vary([](ClipSpec& s) { s.jumpAtSec = 1, s.jumpSec = 60; });
  vary([](ClipSpec& s) { s.duplicateEvery = 10; });
  vary([](ClipSpec& s) { s.pixelFormat = "yuv444p"; });
  vary([](ClipSpec& s) { s.rotation = 90; });
  vary([](ClipSpec& s) { s.mirrored = true; });
  vary([](ClipSpec& s) { s.interlaced = true; });
  vary([](ClipSpec& s) { s.transfer = "pq"; });
  std::set<std::string> keys;
  for (const auto& s : specs) keys.insert(CacheKey(s));
  EXPECT_EQ(keys.size(), specs.size());

  // And the key is a plain file name.
  for (const auto& k : keys) EXPECT_EQ(k.find_first_of("/\\ :*?\"<>|"), std::string::npos) << k;

  // Different clips land in different files with different content.
  ClipSpec a = base, b = base;
  b.toneHz = 500;
  const std::string pa = CachedClip(a), pb = CachedClip(b);
  EXPECT_NE(pa, pb);
  EXPECT_NE(ReadAll(pa), ReadAll(pb));
}

TEST_F(CachedClipTest, ParallelCallersGetOneCompleteFile) {
  ClipSpec s = ClipOf("mkv");
  s.durationSec = 0.4;
  constexpr int kCallers = 6;
  std::vector<std::string> paths(kCallers);
  std::vector<std::string> errors(kCallers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCallers; ++i)
    threads.emplace_back([&, i] {
      try {
        paths[i] = CachedClip(s);
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(errors[i], "");
    EXPECT_EQ(paths[i], paths[0]);
  }
  // No temp files left, and the one file is whole.
  EXPECT_EQ(Files(), std::vector<std::string>{fs::path(paths[0]).filename().string()});
  const FileInfo f = Inspect(paths[0]);
  EXPECT_EQ(f.video.frames, 10);
  EXPECT_EQ(f.audio.codec, AV_CODEC_ID_VORBIS);
}

// ---- bad inputs ----

TEST(BadInputs, HelpersWriteWhatTheySay) {
  TTempFolder dir;
  const std::string empty = dir / "empty.mp4";
  MakeTextFile(empty, "leftover");
  MakeEmptyFile(empty);  // replaces, does not append
  ASSERT_TRUE(fs::exists(empty));
  EXPECT_EQ(fs::file_size(empty), 0u);

  const std::string text = dir / "notes.avi";
  MakeTextFile(text, "this is not a video\n");
  EXPECT_EQ(ReadAll(text), "this is not a video\n");

  ClipSpec s = ClipOf("avi");
  s.durationSec = 0.5;
  const std::string whole = dir / "whole.avi";
  MakeClip(s, whole);
  const std::string all = ReadAll(whole);
  for (const double fraction : {0.0, 0.25, 0.5, 0.999, 1.0}) {
    const std::string cut = dir / "cut.avi";
    MakeTruncatedCopy(whole, cut, fraction);
    const auto want = static_cast<size_t>(std::floor(fraction * static_cast<double>(all.size())));
    const std::string got = ReadAll(cut);
    EXPECT_EQ(got.size(), want) << fraction;
    EXPECT_EQ(got, all.substr(0, want)) << fraction;
  }
}

TEST(BadInputs, HelpersThrowOnFailure) {
  TTempFolder dir;
  EXPECT_THROW(MakeEmptyFile(dir / "no/such/dir/e.avi"), std::runtime_error);
  EXPECT_THROW(MakeTextFile(dir / "no/such/dir/t.avi", "x"), std::runtime_error);
  EXPECT_THROW(MakeTruncatedCopy(dir / "absent.avi", dir / "c.avi", 0.5), std::runtime_error);
  MakeTextFile(dir / "src.bin", "0123456789");
  EXPECT_THROW(MakeTruncatedCopy(dir / "src.bin", dir / "c.bin", 1.5), std::runtime_error);
  EXPECT_THROW(MakeTruncatedCopy(dir / "src.bin", dir / "c.bin", -0.1), std::runtime_error);
  EXPECT_THROW(MakeTruncatedCopy(dir / "src.bin", dir / "no/such/dir/c.bin", 0.5), std::runtime_error);
}

TEST(BadInputs, CorruptCorpusHoldsWhatItDescribes) {
  TTempFolder dir;
  const std::vector<CorpusFile> corpus = MakeCorruptCorpus(dir / "corpus");
  ASSERT_GE(corpus.size(), 27u);
  auto source = [](const std::string& container, int width = 160, int height = 120) {
    ClipSpec spec;
    spec.container = container;
    spec.width = width;
    spec.height = height;
    spec.durationSec = 1.0;
    return ReadAll(CachedClip(spec));
  };
  std::set<std::string> stems;
  std::map<std::string, std::string> bytes;
  for (const CorpusFile& file : corpus) {
    SCOPED_TRACE(file.path);
    EXPECT_FALSE(file.description.empty());
    EXPECT_EQ(fs::path(file.path).parent_path(), fs::path(dir / "corpus"));
    EXPECT_TRUE(stems.insert(fs::path(file.path).stem().string()).second) << "a stem twice";
    ASSERT_TRUE(fs::is_regular_file(file.path));
    bytes[fs::path(file.path).filename().string()] = ReadAll(file.path);
  }
  auto at = [&](const std::string& name) {
    EXPECT_EQ(bytes.count(name), 1u) << name;
    return bytes[name];
  };
  for (const char* container : {"mp4", "mkv", "avi", "ts"}) {
    SCOPED_TRACE(container);
    const std::string whole = source(container), ext = ContainerExtension(container);
    for (int percent : {10, 50, 90})
      EXPECT_EQ(at(std::string(container) + "-cut" + std::to_string(percent) + ext),
                whole.substr(0, whole.size() * percent / 100));
    const std::string header = at(std::string(container) + "-flip-header" + ext);
    ASSERT_EQ(header.size(), whole.size());
    EXPECT_NE(header.substr(0, 512), whole.substr(0, 512));
    EXPECT_EQ(header.substr(512), whole.substr(512)) << "flips outside the header area";
    const std::string middle = at(std::string(container) + "-flip-middle" + ext);
    ASSERT_EQ(middle.size(), whole.size());
    const size_t from = whole.size() / 2 - 2048, to = whole.size() / 2 + 2048;
    EXPECT_NE(middle.substr(from, to - from), whole.substr(from, to - from));
    EXPECT_EQ(middle.substr(0, from), whole.substr(0, from));
    EXPECT_EQ(middle.substr(to), whole.substr(to));
  }
  EXPECT_EQ(at("empty.mp4"), "");
  EXPECT_EQ(at("mp4-named.avi"), source("mp4"));
  EXPECT_EQ(at("size-change.ts"), source("ts") + source("ts", 320, 240));
  const std::string wav = at("huge-size.wav");
  ASSERT_GT(wav.size(), 44u);
  auto le32 = [&](size_t offset) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(wav[offset + i])) << (8 * i);
    return value;
  };
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_GT(le32(4), 0xF0000000u);
  const size_t data = wav.find("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_GT(le32(data + 4), 0xF0000000u);
  EXPECT_LT(wav.size(), size_t{1} << 20) << "only the fields claim the size";
  {
    // With the stream limit raised, the many-stream file reads back as described.
    AVFormatContext* many = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "max_streams", "5000", 0);
    const int opened = avformat_open_input(&many, (dir / "corpus/many-streams.mkv").c_str(), nullptr, &options);
    av_dict_free(&options);
    ASSERT_GE(opened, 0);
    ASSERT_EQ(many->nb_streams, 2001u);
    EXPECT_EQ(many->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(many->streams[2000]->codecpar->codec_id, AV_CODEC_ID_SUBRIP);
    avformat_close_input(&many);
  }
  for (const CorpusFile& file : corpus) {
    const std::string name = fs::path(file.path).filename().string();
    EXPECT_EQ(file.unreadable, name == "empty.mp4" || name == "notes.mkv") << name;
  }
  // The same bytes on a second run.
  const std::vector<CorpusFile> again = MakeCorruptCorpus(dir / "again");
  ASSERT_EQ(again.size(), corpus.size());
  for (const CorpusFile& file : again) EXPECT_EQ(ReadAll(file.path), at(fs::path(file.path).filename().string()));
}

TEST(BadInputs, TruncatedClipLosesItsEnd) {
  // A half file must still open as the same container but hold fewer frames,
  // which is what the reader tests rely on.
  TTempFolder dir;
  ClipSpec s = ClipOf("mpg");
  s.audio = false;
  MakeClip(s, dir / "whole.mpg");
  MakeTruncatedCopy(dir / "whole.mpg", dir / "half.mpg", 0.5);
  const FileInfo f = Inspect(dir / "half.mpg");
  EXPECT_EQ(f.video.codec, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_GT(f.video.frames, 5);
  EXPECT_LT(f.video.frames, 45);
}

}  // namespace

int main(int argc, char** argv) {
  // Decoding the damaged files on purpose is noisy; failures speak for themselves.
  av_log_set_level(AV_LOG_FATAL);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
