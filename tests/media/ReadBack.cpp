#include "tests/media/ReadBack.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace testmedia {
namespace {

constexpr AVRational kMicro{1, AV_TIME_BASE};

double FirstChannel(const AVFrame* f, int i) {
  const AVSampleFormat fmt = static_cast<AVSampleFormat>(f->format);
  const int step = av_sample_fmt_is_planar(fmt) ? 1 : f->ch_layout.nb_channels;
  const uint8_t* p = f->extended_data[0];
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8:
      return (p[i * step] - 128) / 128.0;
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const int16_t*>(p)[i * step] / 32768.0;
    case AV_SAMPLE_FMT_S32:
      return reinterpret_cast<const int32_t*>(p)[i * step] / 2147483648.0;
    case AV_SAMPLE_FMT_FLT:
      return reinterpret_cast<const float*>(p)[i * step];
    case AV_SAMPLE_FMT_DBL:
      return reinterpret_cast<const double*>(p)[i * step];
    default:
      return 0;
  }
}

RgbPicture ToRgb(const AVFrame* f) {
  RgbPicture picture;
  picture.width = f->width;
  picture.height = f->height;
  SwsContext* sws = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width, f->height,
                                   AV_PIX_FMT_RGB24, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!sws) return picture;
  picture.rgb.assign(static_cast<size_t>(f->width) * f->height * 3, 0);
  uint8_t* planes[4] = {picture.rgb.data(), nullptr, nullptr, nullptr};
  int strides[4] = {f->width * 3, 0, 0, 0};
  sws_scale(sws, f->data, f->linesize, 0, f->height, planes, strides);
  sws_freeContext(sws);
  return picture;
}

struct Decoder {
  AVCodecContext* context = nullptr;
  AVRational timeBase{1, 1};
  AVRational frameRate{0, 1};
  int64_t middleTarget = 0;
  StreamReadBack* out = nullptr;
  ~Decoder() { avcodec_free_context(&context); }
};

void Take(Decoder& d, const AVFrame* f) {
  StreamReadBack& s = *d.out;
  const int64_t ts = f->best_effort_timestamp;
  const int64_t start = ts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(ts, d.timeBase, kMicro);
  if (s.type == AVMEDIA_TYPE_AUDIO) {
    if (s.sampleRate == 0) {
      s.sampleRate = f->sample_rate;
      s.channels = f->ch_layout.nb_channels;
    }
    if (start != AV_NOPTS_VALUE && f->sample_rate > 0) {
      if (s.firstUs == AV_NOPTS_VALUE) s.firstUs = start;
      s.endUs = std::max(s.endUs == AV_NOPTS_VALUE ? start : s.endUs,
                         start + av_rescale(f->nb_samples, AV_TIME_BASE, f->sample_rate));
      if (s.firstAudibleUs == AV_NOPTS_VALUE)
        for (int i = 0; i < f->nb_samples; ++i)
          if (std::fabs(FirstChannel(f, i)) > 0.1) {
            s.firstAudibleUs = start + av_rescale(i, AV_TIME_BASE, f->sample_rate);
            break;
          }
    }
    s.samples += f->nb_samples;
    return;
  }
  if (s.frames == 0) {
    s.width = f->width;
    s.height = f->height;
    s.pixelFormat = static_cast<AVPixelFormat>(f->format);
    if (s.sampleAspect.num == 0 && f->sample_aspect_ratio.num > 0) s.sampleAspect = f->sample_aspect_ratio;
    s.first = ToRgb(f);
    s.middle = s.first;
  }
  if (f->interlaced_frame) s.interlaced = true;
  if (start != AV_NOPTS_VALUE) {
    int64_t duration = f->pkt_duration > 0 ? av_rescale_q(f->pkt_duration, d.timeBase, kMicro) : 0;
    if (duration <= 0 && d.frameRate.num > 0) duration = av_rescale_q(1, av_inv_q(d.frameRate), kMicro);
    if (s.firstUs == AV_NOPTS_VALUE || start < s.firstUs) s.firstUs = start;
    if (s.endUs == AV_NOPTS_VALUE || start + duration > s.endUs) s.endUs = start + duration;
  }
  if (s.frames == d.middleTarget && s.frames > 0) s.middle = ToRgb(f);
  ++s.frames;
}

void Receive(Decoder& d, AVFrame* f) {
  for (;;) {
    const int r = avcodec_receive_frame(d.context, f);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) {
      ++d.out->decodeErrors;
      return;
    }
    Take(d, f);
    av_frame_unref(f);
  }
}

}  // namespace

double RgbPicture::Distance(Quadrant q, const Rgb& colour) const {
  if (rgb.empty() || width < 4 || height < 4) return 255;
  return ColourDistance(QuadrantMean(rgb.data(), width * 3, width, height, q), colour);
}

int RgbPicture::BarFrame() const {
  if (rgb.empty() || width < 16) return -1;
  // A row inside the bar's band and away from the quadrants' edge; the bar
  // is the first run of grey.
  const int y = height * 7 / 16;
  const uint8_t* row = rgb.data() + static_cast<size_t>(y) * width * 3;
  for (int x = 0; x < width; ++x) {
    const uint8_t* p = row + 3 * x;
    if (std::abs(p[0] - 128) < 40 && std::abs(p[1] - 128) < 40 && std::abs(p[2] - 128) < 40) {
      // The bar's left edge, in sixteenths of the width.
      return static_cast<int>(std::lround(x * 16.0 / width)) % 16;
    }
  }
  return -1;
}

Rect RgbPicture::Content() const {
  Rect r{0, 0, width, height};
  if (rgb.empty()) return r;
  auto bright = [&](int x, int y) {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    // Above half brightness: the soft edge that scaling leaves between a
    // bar and the picture counts as neither.
    return std::max({p[0], p[1], p[2]}) > 160;
  };
  auto rowLit = [&](int y) {
    int lit = 0;
    for (int x = 0; x < width; ++x) lit += bright(x, y);
    return lit > width / 4;
  };
  auto columnLit = [&](int x) {
    int lit = 0;
    for (int y = 0; y < height; ++y) lit += bright(x, y);
    return lit > height / 4;
  };
  int top = 0, bottom = height, left = 0, right = width;
  while (top < bottom && !rowLit(top)) ++top;
  while (bottom > top && !rowLit(bottom - 1)) --bottom;
  while (left < right && !columnLit(left)) ++left;
  while (right > left && !columnLit(right - 1)) --right;
  // A dark picture without bright parts is taken whole.
  if (right - left < 2 || bottom - top < 2) return r;
  return Rect{left, top, right - left, bottom - top};
}

RgbPicture RgbPicture::Crop(const Rect& r) const {
  RgbPicture part;
  part.width = r.w;
  part.height = r.h;
  part.rgb.resize(static_cast<size_t>(r.w) * r.h * 3);
  for (int y = 0; y < r.h; ++y)
    std::memcpy(&part.rgb[static_cast<size_t>(y) * r.w * 3], &rgb[(static_cast<size_t>(y + r.y) * width + r.x) * 3],
                static_cast<size_t>(r.w) * 3);
  return part;
}

bool RgbPicture::Upright(double tolerance) const {
  if (rgb.empty()) return false;
  const RgbPicture content = Crop(Content());
  return content.Distance(Quadrant::TopLeft, kTopLeft) <= tolerance &&
         content.Distance(Quadrant::TopRight, kTopRight) <= tolerance &&
         content.Distance(Quadrant::BottomLeft, kBottomLeft) <= tolerance &&
         content.Distance(Quadrant::BottomRight, kBottomRight) <= tolerance;
}

double StreamReadBack::ContentAspect() const {
  const Rect r = middle.Content();
  if (r.h <= 0 || middle.height <= 0) return 0;
  return DisplayAspect() * (static_cast<double>(r.w) / middle.width) / (static_cast<double>(r.h) / middle.height);
}

double StreamReadBack::DisplayAspect() const {
  if (height <= 0) return 0;
  const double sar = sampleAspect.num > 0 && sampleAspect.den > 0 ? av_q2d(sampleAspect) : 1.0;
  return sar * width / height;
}

const StreamReadBack* FileReadBack::First(AVMediaType type) const {
  for (const StreamReadBack& s : streams)
    if (s.type == type) return &s;
  return nullptr;
}

double FileReadBack::PlaySeconds() const {
  int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
  for (const StreamReadBack& s : streams) {
    if (s.firstUs == AV_NOPTS_VALUE || s.endUs == AV_NOPTS_VALUE) continue;
    if (first == AV_NOPTS_VALUE || s.firstUs < first) first = s.firstUs;
    if (end == AV_NOPTS_VALUE || s.endUs > end) end = s.endUs;
  }
  return first == AV_NOPTS_VALUE ? 0.0 : (end - first) / 1e6;
}

FileReadBack ReadBack(const std::string& path) {
  FileReadBack result;
  AVFormatContext* ic = nullptr;
  int r = avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
  if (r < 0) {
    result.error = "cannot open " + path;
    return result;
  }
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(
      ic, [](AVFormatContext* c) { avformat_close_input(&c); });
  if (avformat_find_stream_info(ic, nullptr) < 0) {
    result.error = "no stream information in " + path;
    return result;
  }
  result.opened = true;
  result.format = ic->iformat->name;
  result.durationUs = ic->duration;
  result.streams.resize(ic->nb_streams);
  std::vector<Decoder> decoders(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    StreamReadBack& s = result.streams[i];
    Decoder& d = decoders[i];
    d.out = &s;
    d.timeBase = st->time_base;
    s.type = st->codecpar->codec_type;
    s.profile = st->codecpar->profile;
    s.level = st->codecpar->level;
    if (s.type == AVMEDIA_TYPE_VIDEO) {
      d.frameRate = av_guess_frame_rate(ic, st, nullptr);
      if (st->sample_aspect_ratio.num > 0 && st->sample_aspect_ratio.den > 0) s.sampleAspect = st->sample_aspect_ratio;
      const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
      if (matrix) s.rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
      if (std::isnan(s.rotation)) s.rotation = 0;
      s.fieldOrder = st->codecpar->field_order;
      s.primaries = st->codecpar->color_primaries;
      s.transfer = st->codecpar->color_trc;
      s.matrix = st->codecpar->color_space;
      s.range = st->codecpar->color_range;
      int64_t count = st->nb_frames;
      if (count <= 0 && d.frameRate.num > 0) {
        const int64_t duration =
            st->duration != AV_NOPTS_VALUE ? av_rescale_q(st->duration, st->time_base, kMicro) : ic->duration;
        if (duration > 0) count = av_rescale_q(duration, kMicro, av_inv_q(d.frameRate));
      }
      d.middleTarget = std::max<int64_t>(0, count / 2);
    }
    if (s.type != AVMEDIA_TYPE_VIDEO && s.type != AVMEDIA_TYPE_AUDIO) continue;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) continue;
    s.codec = codec->name;
    d.context = avcodec_alloc_context3(codec);
    if (!d.context || avcodec_parameters_to_context(d.context, st->codecpar) < 0) continue;
    d.context->pkt_timebase = st->time_base;
    d.context->thread_count = 1;
    if (avcodec_open2(d.context, codec, nullptr) < 0) avcodec_free_context(&d.context);
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (av_read_frame(ic, packet) >= 0) {
    Decoder& d = decoders[static_cast<size_t>(packet->stream_index)];
    if (d.context) {
      if (avcodec_send_packet(d.context, packet) < 0) ++d.out->decodeErrors;
      Receive(d, frame);
    }
    av_packet_unref(packet);
  }
  for (Decoder& d : decoders) {
    if (!d.context) continue;
    avcodec_send_packet(d.context, nullptr);
    Receive(d, frame);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  return result;
}

}  // namespace testmedia
