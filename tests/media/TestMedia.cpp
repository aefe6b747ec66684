#include "tests/media/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace testmedia {
namespace {

// Bump when the content of generated clips changes, so that stale cached
// clips from an older generator are not reused.
constexpr int kGeneratorVersion = 1;

// The GOP of a clip whose only key frame is its first picture.
constexpr int kSingleKeyFrameGop = 100000;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("testmedia: " + what); }

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

void Check(int ret, const std::string& what) {
  if (ret < 0) Fail(what + ": " + AvError(ret));
}

// Keeps the libraries at AV_LOG_ERROR while clips are being made, then puts
// back whatever level the process had: code under test in the same process
// may share the libraries and rely on its own level.
class QuietLibraries {
 public:
  QuietLibraries() {
    std::lock_guard lock(mutex_);
    if (users_++ == 0) {
      saved_ = av_log_get_level();
      if (saved_ > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
    }
  }
  ~QuietLibraries() {
    std::lock_guard lock(mutex_);
    if (--users_ == 0) av_log_set_level(saved_);
  }
  QuietLibraries(const QuietLibraries&) = delete;
  QuietLibraries& operator=(const QuietLibraries&) = delete;

 private:
  static inline std::mutex mutex_;
  static inline int users_ = 0;
  static inline int saved_ = AV_LOG_INFO;
};

struct Container {
  const char* name;
  const char* muxer;  // nullptr for stills
  const char* extension;
  const char* video;  // default video encoder, nullptr if the container holds no video
  const char* audio;  // default audio encoder, nullptr if it holds no audio
};

constexpr Container kContainers[] = {
    {"avi", "avi", ".avi", "mpeg4", "libmp3lame"},
    {"mp4", "mp4", ".mp4", "libx264", "aac"},
    {"mkv", "matroska", ".mkv", "libx264", "libvorbis"},
    {"mpg", "vob", ".mpg", "mpeg2video", "mp2"},
    {"flv", "flv", ".flv", "flv", "libmp3lame"},
    {"asf", "asf", ".wmv", "wmv2", "wmav2"},
    {"wmv", "asf", ".wmv", "wmv2", "wmav2"},
    {"3gp", "3gp", ".3gp", "h263", "aac"},
    {"mov", "mov", ".mov", "libx264", "aac"},
    {"ts", "mpegts", ".ts", "libx264", "aac"},
    {"ogg", "ogg", ".ogg", "libtheora", "libvorbis"},
    {"wav", "wav", ".wav", nullptr, "pcm_s16le"},
    {"mp3", "mp3", ".mp3", nullptr, "libmp3lame"},
    {"png", nullptr, ".png", "png", nullptr},
    {"jpg", nullptr, ".jpg", "mjpeg", nullptr},
};

const Container& FindContainer(const std::string& name) {
  for (const auto& c : kContainers)
    if (name == c.name) return c;
  std::string known;
  for (const auto& c : kContainers) known += std::string(known.empty() ? "" : ", ") + c.name;
  Fail("unknown container \"" + name + "\" (known: " + known + ")");
}

bool IsH263Size(int w, int h) {
  static constexpr int sizes[][2] = {{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}};
  for (const auto& s : sizes)
    if (s[0] == w && s[1] == h) return true;
  return false;
}

// ---- RAII for the libraries' objects ----

struct FreeCodec {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreeFrame {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FreePacket {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FreeSws {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct FreeSwr {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, FreeCodec>;
using FramePtr = std::unique_ptr<AVFrame, FreeFrame>;
using PacketPtr = std::unique_ptr<AVPacket, FreePacket>;
using SwsPtr = std::unique_ptr<SwsContext, FreeSws>;
using SwrPtr = std::unique_ptr<SwrContext, FreeSwr>;

// Output file: closes the I/O and frees the context; removes the file unless
// the writing was committed.
class Output {
 public:
  Output(const std::string& muxer, const std::string& path) : path_(path) {
    Check(avformat_alloc_output_context2(&ctx_, nullptr, muxer.c_str(), path.c_str()),
          "cannot create muxer \"" + muxer + "\"");
    ctx_->flags |= AVFMT_FLAG_BITEXACT;
  }
  ~Output() {
    if (!ctx_) return;
    if (ctx_->pb) avio_closep(&ctx_->pb);
    avformat_free_context(ctx_);
    if (!committed_) {
      std::error_code ec;
      fs::remove(path_, ec);
    }
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  AVFormatContext* get() const { return ctx_; }
  void Open() { Check(avio_open(&ctx_->pb, path_.c_str(), AVIO_FLAG_WRITE), "cannot open " + path_ + " for writing"); }
  void Close() {
    int ret = avio_closep(&ctx_->pb);
    Check(ret, "cannot finish writing " + path_);
    committed_ = true;
  }

 private:
  std::string path_;
  AVFormatContext* ctx_ = nullptr;
  bool committed_ = false;
};

// ---- picture ----

// A grain that drifts two pixels right and one down per picture, plus a
// little noise of its own in every picture; the same for the same frame.
void AddTexture(std::vector<uint8_t>& rgb, int w, int h, int64_t frame) {
  auto hash = [](uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    return x ^ (x >> 16);
  };
  const uint32_t dx = static_cast<uint32_t>(frame * 2), dy = static_cast<uint32_t>(frame);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = rgb.data() + static_cast<size_t>(y) * w * 3;
    for (int x = 0; x < w; ++x) {
      const uint32_t grain = hash((static_cast<uint32_t>(x) - dx) * 0x9e3779b1U ^ (static_cast<uint32_t>(y) - dy));
      const uint32_t noise = hash(grain ^ static_cast<uint32_t>(frame) * 0x85ebca6bU);
      const int delta = static_cast<int>(grain & 31) - 16 + static_cast<int>(noise & 7) - 4;
      for (int c = 0; c < 3; ++c) row[3 * x + c] = static_cast<uint8_t>(std::clamp(row[3 * x + c] + delta, 0, 255));
    }
  }
}

void DrawPattern(std::vector<uint8_t>& rgb, int w, int h, int64_t frame) {
  rgb.resize(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = rgb.data() + static_cast<size_t>(y) * w * 3;
    for (int x = 0; x < w; ++x) {
      const Rgb c = PatternPixel(x, y, frame, w, h);
      row[3 * x] = c.r;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.b;
    }
  }
}

bool Lists(const AVPixelFormat* list, AVPixelFormat fmt) {
  for (; list && *list != AV_PIX_FMT_NONE; ++list)
    if (*list == fmt) return true;
  return false;
}

AVPixelFormat ChoosePixelFormat(const AVCodec* codec, const ClipSpec& s) {
  if (!s.pixelFormat.empty() || !s.transfer.empty()) {
    const std::string name = s.pixelFormat.empty() ? "yuv420p10le" : s.pixelFormat;
    const AVPixelFormat fmt = av_get_pix_fmt(name.c_str());
    if (fmt == AV_PIX_FMT_NONE) Fail("unknown pixel format \"" + name + "\"");
    if (codec->pix_fmts && !Lists(codec->pix_fmts, fmt))
      Fail(std::string("encoder \"") + codec->name + "\" does not take " + name);
    return fmt;
  }
  if (!codec->pix_fmts) return AV_PIX_FMT_YUV420P;
  // mjpeg takes yuv420p only as a non-standard extension; its first format
  // is the full-range one. Everything else gets yuv420p when it has it.
  if (codec->id != AV_CODEC_ID_MJPEG)
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
      if (*p == AV_PIX_FMT_YUV420P) return *p;
  return codec->pix_fmts[0];
}

bool IsFullRange(AVPixelFormat fmt) {
  return fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P;
}

bool IsYuv(AVPixelFormat fmt) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
  return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->nb_components >= 3;
}

// ---- how a picture is stored ----

// The turn a display matrix asks for, as players take it: the library's
// rotation, clockwise; a mirroring matrix (negative determinant) flips
// after rotating, which is mirroring first and rotating the other way.
void MatrixTurn(const std::array<int32_t, 9>& m, bool& mirrored, int& clockwise) {
  std::array<int32_t, 9> rotation = m;
  mirrored = static_cast<double>(m[0]) * m[4] - static_cast<double>(m[1]) * m[3] < 0;
  if (mirrored) rotation[0] = -rotation[0], rotation[3] = -rotation[3];
  clockwise = static_cast<int>(std::lround(-av_display_rotation_get(rotation.data())));
  if (mirrored) clockwise = -clockwise;
  clockwise = ((clockwise % 360) + 360) % 360;
}

// The display matrix that asks for the clip's turn (mirrored, then rotated
// clockwise).
std::array<int32_t, 9> DisplayMatrix(const ClipSpec& s) {
  for (int angle : {0, 90, 180, 270})
    for (int flip : {0, 1}) {
      std::array<int32_t, 9> matrix{};
      av_display_rotation_set(matrix.data(), angle);
      if (flip) av_display_matrix_flip(matrix.data(), 1, 0);
      bool mirrored = false;
      int clockwise = 0;
      MatrixTurn(matrix, mirrored, clockwise);
      if (mirrored == s.mirrored && clockwise == s.rotation) return matrix;
    }
  Fail("no display matrix turns a picture " + std::to_string(s.rotation) + " degrees");
}

// The stored size: turned a quarter, the shown size's sides swap.
bool SidesSwap(const ClipSpec& s) { return s.rotation == 90 || s.rotation == 270; }

// Where stored pixel (x, y) of a storedW x storedH picture is shown:
// mirrored left to right first, then turned clockwise.
void Shown(const ClipSpec& s, int x, int y, int storedW, int storedH, int& X, int& Y) {
  if (s.mirrored) x = storedW - 1 - x;
  switch (s.rotation) {
    case 90:
      X = storedH - 1 - y, Y = x;
      break;
    case 180:
      X = storedW - 1 - x, Y = storedH - 1 - y;
      break;
    case 270:
      X = y, Y = storedW - 1 - x;
      break;
    default:
      X = x, Y = y;
      break;
  }
}

// 10-bit limited-range BT.2020 Y'CbCr with the PQ transfer of a pattern
// colour taken as BT.709 at 100 cd/m2.
std::array<int, 3> PqYuv(const Rgb& colour) {
  auto linear = [](uint8_t v) { return 100.0 * std::pow(v / 255.0, 2.4); };  // cd/m2
  const double r = linear(colour.r), g = linear(colour.g), b = linear(colour.b);
  const double rgb2020[3] = {0.6274 * r + 0.3293 * g + 0.0433 * b, 0.0691 * r + 0.9195 * g + 0.0114 * b,
                             0.0164 * r + 0.0880 * g + 0.8956 * b};
  double e[3];
  for (int i = 0; i < 3; ++i) {
    const double y = std::pow(std::max(rgb2020[i], 0.0) / 10000.0, 0.1593017578125);
    e[i] = std::pow((0.8359375 + 18.8515625 * y) / (1 + 18.6875 * y), 78.84375);
  }
  const double luma = 0.2627 * e[0] + 0.6780 * e[1] + 0.0593 * e[2];
  return {static_cast<int>(std::lround(64 + 876 * luma)),
          static_cast<int>(std::lround(512 + 896 * (e[2] - luma) / 1.8814)),
          static_cast<int>(std::lround(512 + 896 * (e[0] - luma) / 1.4746))};
}

// Converts the RGB24 test pattern into encoder frames, turned and coded as
// the clip stores them.
class PictureSource {
 public:
  PictureSource(const ClipSpec& s, AVPixelFormat fmt)
      : spec_(s),
        w_(SidesSwap(s) ? s.height : s.width),
        h_(SidesSwap(s) ? s.width : s.height),
        pq_(s.transfer == "pq") {
    const int w = w_, h = h_;
    frame_.reset(av_frame_alloc());
    if (!frame_) Fail("out of memory");
    frame_->format = fmt;
    frame_->width = w;
    frame_->height = h;
    frame_->interlaced_frame = s.interlaced ? 1 : 0;
    frame_->top_field_first = s.interlaced ? 1 : 0;
    Check(av_frame_get_buffer(frame_.get(), 0), "cannot allocate a video frame");
    if (pq_) {
      if (fmt != AV_PIX_FMT_YUV420P10LE) Fail("PQ clips are made in yuv420p10le");
      return;
    }
    sws_.reset(sws_getContext(w, h, AV_PIX_FMT_RGB24, w, h, fmt, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr,
                              nullptr, nullptr));
    if (!sws_) Fail(std::string("cannot convert RGB24 to ") + av_get_pix_fmt_name(fmt));
    if (IsYuv(fmt)) {
      const int* coefs = sws_getCoefficients(SWS_CS_ITU601);
      const int dstFull = IsFullRange(fmt) ? 1 : 0;
      sws_setColorspaceDetails(sws_.get(), coefs, 1, coefs, dstFull, 0, 1 << 16, 1 << 16);
    }
    frame_.reset(av_frame_alloc());
    if (!frame_) Fail("out of memory");
    frame_->format = fmt;
    frame_->width = w;
    frame_->height = h;
    Check(av_frame_get_buffer(frame_.get(), 0), "cannot allocate a video frame");
  }

  AVFrame* Render(int64_t n) {
    DrawPattern(shown_, spec_.width, spec_.height, n);
    if (spec_.texture) AddTexture(shown_, spec_.width, spec_.height, n);
    const std::vector<uint8_t>& rgb = Stored();
    Check(av_frame_make_writable(frame_.get()), "cannot allocate a video frame");
    if (pq_) {
      FillPq(rgb);
    } else {
      const uint8_t* src[1] = {rgb.data()};
      const int srcStride[1] = {w_ * 3};
      sws_scale(sws_.get(), src, srcStride, 0, h_, frame_->data, frame_->linesize);
    }
    frame_->pts = n;
    return frame_.get();
  }

 private:
  // The shown picture turned back into the stored one.
  const std::vector<uint8_t>& Stored() {
    if (spec_.rotation == 0 && !spec_.mirrored) return shown_;
    stored_.resize(shown_.size());
    for (int y = 0; y < h_; ++y)
      for (int x = 0; x < w_; ++x) {
        int X = 0, Y = 0;
        Shown(spec_, x, y, w_, h_, X, Y);
        std::memcpy(&stored_[(static_cast<size_t>(y) * w_ + x) * 3],
                    &shown_[(static_cast<size_t>(Y) * spec_.width + X) * 3], 3);
      }
    return stored_;
  }

  // The planes of the PQ frame: Y' per pixel, Cb and Cr averaged over each
  // 2x2 block.
  void FillPq(const std::vector<uint8_t>& rgb) {
    auto yuvAt = [&](int x, int y) {
      const uint8_t* p = &rgb[(static_cast<size_t>(std::min(y, h_ - 1)) * w_ + std::min(x, w_ - 1)) * 3];
      const Rgb colour{p[0], p[1], p[2]};
      const uint32_t key = colour.r << 16 | colour.g << 8 | colour.b;
      auto it = pqCache_.find(key);
      if (it == pqCache_.end()) it = pqCache_.emplace(key, PqYuv(colour)).first;
      return it->second;
    };
    for (int y = 0; y < h_; ++y) {
      auto* row = reinterpret_cast<uint16_t*>(frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0]);
      for (int x = 0; x < w_; ++x) row[x] = static_cast<uint16_t>(yuvAt(x, y)[0]);
    }
    for (int y = 0; y < (h_ + 1) / 2; ++y) {
      auto* cb = reinterpret_cast<uint16_t*>(frame_->data[1] + static_cast<ptrdiff_t>(y) * frame_->linesize[1]);
      auto* cr = reinterpret_cast<uint16_t*>(frame_->data[2] + static_cast<ptrdiff_t>(y) * frame_->linesize[2]);
      for (int x = 0; x < (w_ + 1) / 2; ++x) {
        int sumB = 0, sumR = 0;
        for (int k = 0; k < 4; ++k) {
          const std::array<int, 3> v = yuvAt(2 * x + k % 2, 2 * y + k / 2);
          sumB += v[1];
          sumR += v[2];
        }
        cb[x] = static_cast<uint16_t>((sumB + 2) / 4);
        cr[x] = static_cast<uint16_t>((sumR + 2) / 4);
      }
    }
  }

  ClipSpec spec_;
  int w_, h_;  // stored
  bool pq_;
  SwsPtr sws_;
  FramePtr frame_;
  std::vector<uint8_t> shown_, stored_;
  std::map<uint32_t, std::array<int, 3>> pqCache_;
};

// ---- sound ----

AVSampleFormat ChooseSampleFormat(const AVCodec* codec) {
  if (!codec->sample_fmts) return AV_SAMPLE_FMT_FLTP;
  return codec->sample_fmts[0];
}

// Generates the tone in float planar and converts it to the encoder's format.
class ToneSource {
 public:
  ToneSource(AVCodecContext* enc, double hz) : enc_(enc), hz_(hz) {
    frameSize_ =
        (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || enc->frame_size <= 0 ? 1024 : enc->frame_size;
    variable_ = (enc->codec->capabilities & (AV_CODEC_CAP_VARIABLE_FRAME_SIZE | AV_CODEC_CAP_SMALL_LAST_FRAME)) ||
                enc->frame_size <= 0;
    SwrContext* s = nullptr;
    Check(swr_alloc_set_opts2(&s, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &enc->ch_layout,
                              AV_SAMPLE_FMT_FLTP, enc->sample_rate, 0, nullptr),
          "cannot set up the sample converter");
    swr_.reset(s);
    Check(swr_init(swr_.get()), "cannot set up the sample converter");
    frame_.reset(av_frame_alloc());
    if (!frame_) Fail("out of memory");
    frame_->format = enc->sample_fmt;
    frame_->sample_rate = enc->sample_rate;
    Check(av_channel_layout_copy(&frame_->ch_layout, &enc->ch_layout), "bad channel layout");
    frame_->nb_samples = frameSize_;
    Check(av_frame_get_buffer(frame_.get(), 0), "cannot allocate an audio frame");
    tone_.resize(frameSize_);
  }

  // Next frame starting at sample `first`, `remaining` samples still due
  // (remaining > 0). Encoders that need whole frames get a full one.
  AVFrame* Next(int64_t first, int64_t remaining) {
    const int n = variable_ ? static_cast<int>(std::min<int64_t>(frameSize_, remaining)) : frameSize_;
    for (int i = 0; i < n; ++i)
      tone_[i] = static_cast<float>(
          0.5 * std::sin(2.0 * std::numbers::pi * hz_ * static_cast<double>(first + i) / enc_->sample_rate));
    std::vector<const uint8_t*> planes(enc_->ch_layout.nb_channels, reinterpret_cast<const uint8_t*>(tone_.data()));
    Check(av_frame_make_writable(frame_.get()), "cannot allocate an audio frame");
    frame_->nb_samples = n;
    const int got = swr_convert(swr_.get(), frame_->data, n, planes.data(), n);
    Check(got, "sample conversion failed");
    if (got != n) Fail("sample conversion returned a short frame");
    frame_->pts = first;
    return frame_.get();
  }

 private:
  AVCodecContext* enc_;
  double hz_;
  int frameSize_ = 1024;
  bool variable_ = false;
  SwrPtr swr_;
  FramePtr frame_;
  std::vector<float> tone_;
};

// ---- encoders ----

const AVCodec* FindEncoder(const std::string& name, AVMediaType type) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
  if (!codec) Fail("no encoder named \"" + name + "\" in this libavcodec");
  if (codec->type != type)
    Fail("encoder \"" + name + "\" is not a" + (type == AVMEDIA_TYPE_VIDEO ? " video" : "n audio") + " encoder");
  return codec;
}

int64_t DefaultVideoBitRate(const ClipSpec& s) {
  const double fps = static_cast<double>(s.fpsNum) / s.fpsDen;
  const double bits = 0.1 * s.width * s.height * fps;  // plenty for flat colours
  return std::clamp<int64_t>(static_cast<int64_t>(bits), 100'000, 8'000'000);
}

CodecPtr OpenVideoEncoder(const ClipSpec& s, const std::string& name, bool globalHeader, bool still) {
  const AVCodec* codec = FindEncoder(name, AVMEDIA_TYPE_VIDEO);
  CodecPtr enc(avcodec_alloc_context3(codec));
  if (!enc) Fail("out of memory");
  enc->width = SidesSwap(s) ? s.height : s.width;
  enc->height = SidesSwap(s) ? s.width : s.height;
  enc->pix_fmt = ChoosePixelFormat(codec, s);
  enc->time_base = AVRational{s.fpsDen, s.fpsNum};
  enc->framerate = AVRational{s.fpsNum, s.fpsDen};
  if (s.sarNum > 0) enc->sample_aspect_ratio = AVRational{s.sarNum, s.sarDen};
  enc->thread_count = 1;
  enc->flags |= AV_CODEC_FLAG_BITEXACT;
  if (globalHeader) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (s.transfer == "pq") {
    enc->color_primaries = AVCOL_PRI_BT2020;
    enc->color_trc = AVCOL_TRC_SMPTE2084;
    enc->colorspace = AVCOL_SPC_BT2020_NCL;
    enc->color_range = AVCOL_RANGE_MPEG;
  } else if (IsYuv(enc->pix_fmt)) {
    enc->colorspace = AVCOL_SPC_BT470BG;
    enc->color_range = IsFullRange(enc->pix_fmt) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  }
  if (s.interlaced) {
    enc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    enc->field_order = AV_FIELD_TT;
  }
  if (codec->id == AV_CODEC_ID_HEVC) av_opt_set(enc->priv_data, "x265-params", "log-level=error", 0);
  if (!still) {
    enc->gop_size = s.keyFrameInterval > 0 ? s.keyFrameInterval
                    : s.keyFrameInterval < 0
                        ? kSingleKeyFrameGop
                        : std::max(1, static_cast<int>(std::lround(static_cast<double>(s.fpsNum) / s.fpsDen)));
    // Equal timestamps only make sense in decoding order = display order.
    if (s.duplicateEvery > 0) enc->max_b_frames = 0;
    if (codec->id == AV_CODEC_ID_H264) {
      av_opt_set(enc->priv_data, "preset", "veryfast", 0);
      if (s.videoBitRate > 0) enc->bit_rate = s.videoBitRate;
    } else {
      enc->bit_rate = s.videoBitRate > 0 ? s.videoBitRate : DefaultVideoBitRate(s);
    }
    if (codec->id == AV_CODEC_ID_MPEG2VIDEO) {
      // Program streams want a VBV buffer: one second at the peak rate.
      enc->rc_max_rate = enc->bit_rate * 2;
      enc->rc_buffer_size = static_cast<int>(std::min<int64_t>(enc->rc_max_rate, INT32_MAX));
    }
  }
  Check(avcodec_open2(enc.get(), codec, nullptr),
        "cannot open video encoder \"" + name + "\" for " + std::to_string(s.width) + "x" + std::to_string(s.height) +
            " at " + std::to_string(s.fpsNum) + "/" + std::to_string(s.fpsDen) + " fps");
  return enc;
}

CodecPtr OpenAudioEncoder(const ClipSpec& s, const std::string& name, bool globalHeader) {
  const AVCodec* codec = FindEncoder(name, AVMEDIA_TYPE_AUDIO);
  if (codec->supported_samplerates) {
    bool ok = false;
    for (const int* r = codec->supported_samplerates; *r; ++r) ok = ok || *r == s.sampleRate;
    if (!ok) Fail("audio encoder \"" + name + "\" does not take " + std::to_string(s.sampleRate) + " Hz");
  }
  CodecPtr enc(avcodec_alloc_context3(codec));
  if (!enc) Fail("out of memory");
  enc->sample_rate = s.sampleRate;
  enc->sample_fmt = ChooseSampleFormat(codec);
  av_channel_layout_default(&enc->ch_layout, s.channels);
  enc->time_base = AVRational{1, s.sampleRate};
  enc->thread_count = 1;
  enc->flags |= AV_CODEC_FLAG_BITEXACT;
  if (globalHeader) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  enc->bit_rate = s.audioBitRate > 0 ? s.audioBitRate : std::min(64'000 * s.channels, 320'000);
  Check(avcodec_open2(enc.get(), codec, nullptr), "cannot open audio encoder \"" + name + "\" for " +
                                                      std::to_string(s.sampleRate) + " Hz, " +
                                                      std::to_string(s.channels) + " channel(s)");
  return enc;
}

void ValidateSpec(const ClipSpec& s, const ResolvedSpec& r) {
  if (r.video) {
    if (s.width <= 0 || s.height <= 0)
      Fail("bad picture size " + std::to_string(s.width) + "x" + std::to_string(s.height));
    if (s.fpsNum <= 0 || s.fpsDen <= 0) Fail("bad frame rate");
    if (s.sarNum < 0 || s.sarDen <= 0) Fail("bad sample aspect ratio");
  }
  if (r.audio) {
    if (s.sampleRate <= 0) Fail("bad sample rate");
    if (s.channels <= 0 || s.channels > 8) Fail("bad channel count " + std::to_string(s.channels));
    if (!(s.toneHz > 0) || s.toneHz >= s.sampleRate / 2.0) Fail("tone must be between 0 and half the sample rate");
  }
  if (!r.still && !(s.durationSec > 0)) Fail("duration must be positive");
  if (r.muxer == "asf" && (s.jumpSec != 0 || s.duplicateEvery > 0))
    Fail("ASF clips take start times only, no jumps or repeated timestamps");
  if (s.videoStartSec < 0 || s.audioStartSec < 0) Fail("start times must not be negative");
  if (s.rotation != 0 && s.rotation != 90 && s.rotation != 180 && s.rotation != 270)
    Fail("the rotation must be 0, 90, 180 or 270 degrees");
  if (!s.transfer.empty() && s.transfer != "pq") Fail("the only transfer besides SDR is \"pq\"");
  if (r.still && !s.PlainPictures()) Fail("stills are plain pictures");
}

// How the timestamps of one stream are written (see the timing fields of
// ClipSpec).
struct StreamTiming {
  double startSec = 0;
  double jumpAtSec = 0, jumpSec = 0;
  int duplicateEvery = 0;
  bool inOrderMade = false;  // av_write_frame instead of the interleaver
  int64_t packets = 0;
  int64_t lastPts = AV_NOPTS_VALUE, lastDts = AV_NOPTS_VALUE;
};

StreamTiming TimingOf(const ClipSpec& s, bool video) {
  StreamTiming t;
  t.startSec = video ? s.videoStartSec : s.audioStartSec;
  t.jumpAtSec = s.jumpAtSec;
  t.jumpSec = s.jumpSec;
  t.duplicateEvery = video ? s.duplicateEvery : 0;
  t.inOrderMade = !s.WellTimed();
  // ASF moves its start times afterwards (ShiftAsfPresentationTimes).
  if (Resolve(s).muxer == "asf") {
    t.startSec = 0;
    t.inOrderMade = false;
  }
  return t;
}

void ApplyTiming(StreamTiming& t, AVPacket* pkt, AVRational tb) {
  const int64_t start = std::llround(t.startSec / av_q2d(tb));
  int64_t shift = start;
  if (t.jumpSec != 0 && pkt->dts != AV_NOPTS_VALUE && pkt->dts * av_q2d(tb) >= t.jumpAtSec)
    shift += std::llround(t.jumpSec / av_q2d(tb));
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += shift;
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += shift;
  if (t.duplicateEvery > 0 && t.packets > 0 && t.packets % t.duplicateEvery == 0 && t.lastDts != AV_NOPTS_VALUE) {
    pkt->pts = t.lastPts;
    pkt->dts = t.lastDts;
  }
  ++t.packets;
  t.lastPts = pkt->pts;
  t.lastDts = pkt->dts;
}

// ---- ASF streams that start at different times ----

uint64_t GetLE(const std::string& data, size_t at, int bytes) {
  if (at + bytes > data.size()) Fail("the ASF file ends inside a data packet");
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
  return value;
}

// Bytes of an ASF field of length type 0..3.
int AsfFieldBytes(int type) { return type == 3 ? 4 : type; }

// An ASF file keeps two clocks: the send time of each data packet and the
// presentation time of each payload. A recorder whose streams start at
// different times writes its packets in the order it made them and only the
// presentation times differ; libavformat's muxer sends by presentation time,
// so the clip is written well-timed and the presentation times of the
// payloads of ASF stream number n (1, 2, ...) are moved by AShiftMs[n - 1]
// afterwards, walking the data packets as the ASF format lays them out.
void ShiftAsfPresentationTimes(const std::string& path, const std::vector<int64_t>& AShiftMs) {
  std::string data;
  {
    std::ifstream in(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) Fail("cannot read " + path);
  }
  static const unsigned char kDataObject[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  const size_t object = data.find(std::string(reinterpret_cast<const char*>(kDataObject), 16));
  if (object == std::string::npos) Fail(path + " has no ASF data object");
  const uint64_t objectSize = GetLE(data, object + 16, 8);
  const uint64_t packets = GetLE(data, object + 40, 8);
  if (packets == 0 || objectSize < 50 || (objectSize - 50) % packets != 0) Fail(path + ": unexpected ASF packets");
  const size_t packetSize = static_cast<size_t>((objectSize - 50) / packets);
  for (uint64_t p = 0; p < packets; ++p) {
    size_t i = object + 50 + static_cast<size_t>(p) * packetSize;
    const int first = static_cast<unsigned char>(data[i]);
    if (first & 0x80) i += 1 + (first & 0x0f);  // error correction data
    const int flags = static_cast<unsigned char>(data[i++]);
    const int properties = static_cast<unsigned char>(data[i++]);
    i += AsfFieldBytes(flags >> 5 & 3) + AsfFieldBytes(flags >> 1 & 3) + AsfFieldBytes(flags >> 3 & 3);
    i += 4 + 2;  // send time, duration
    const bool multiple = flags & 1;
    int payloads = 1, payloadLengthType = 0;
    if (multiple) {
      const int payloadFlags = static_cast<unsigned char>(data[i++]);
      payloads = payloadFlags & 0x3f;
      payloadLengthType = payloadFlags >> 6 & 3;
    }
    for (int k = 0; k < payloads; ++k) {
      const int stream = static_cast<unsigned char>(data[i++]) & 0x7f;
      i += AsfFieldBytes(properties >> 4 & 3) + AsfFieldBytes(properties >> 2 & 3);
      const int replicatedBytes = AsfFieldBytes(properties & 3);
      const uint64_t replicated = GetLE(data, i, replicatedBytes);
      i += replicatedBytes;
      if (replicated >= 8 && stream >= 1 && stream <= static_cast<int>(AShiftMs.size())) {
        const int64_t time = static_cast<int64_t>(GetLE(data, i + 4, 4)) + AShiftMs[stream - 1];
        if (time < 0 || time > UINT32_MAX) Fail("an ASF presentation time does not fit 32 bits");
        for (int b = 0; b < 4; ++b) data[i + 4 + b] = static_cast<char>(time >> (8 * b) & 0xff);
      }
      i += static_cast<size_t>(replicated);
      if (!multiple) break;
      const int lengthBytes = AsfFieldBytes(payloadLengthType);
      i += lengthBytes + static_cast<size_t>(GetLE(data, i, lengthBytes));
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) Fail("cannot write " + path);
}

// Encoder output goes to the muxer with timestamps in the stream's base.
void Drain(AVCodecContext* enc, AVStream* st, AVFormatContext* oc, AVPacket* pkt, StreamTiming& timing) {
  for (;;) {
    int ret = avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    Check(ret, "encoding failed");
    av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
    pkt->stream_index = st->index;
    ApplyTiming(timing, pkt, st->time_base);
    if (timing.inOrderMade)
      Check(av_write_frame(oc, pkt), "cannot write a packet");
    else
      Check(av_interleaved_write_frame(oc, pkt), "cannot write a packet");
  }
}

void WriteStill(const ClipSpec& s, const ResolvedSpec& r, const std::string& path) {
  CodecPtr enc = OpenVideoEncoder(s, r.videoCodec, false, true);
  PictureSource pictures(s, enc->pix_fmt);
  Check(avcodec_send_frame(enc.get(), pictures.Render(0)), "encoding failed");
  Check(avcodec_send_frame(enc.get(), nullptr), "encoding failed");
  PacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail("out of memory");
  Check(avcodec_receive_packet(enc.get(), pkt.get()), "the encoder gave no picture");

  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) Fail("cannot open " + path + " for writing: " + std::strerror(errno));
  const bool ok = std::fwrite(pkt->data, 1, pkt->size, f) == static_cast<size_t>(pkt->size);
  if (std::fclose(f) != 0 || !ok) {
    std::error_code ec;
    fs::remove(path, ec);
    Fail("cannot write " + path);
  }
}

void WriteClip(const ClipSpec& s, const ResolvedSpec& r, const std::string& path) {
  Output out(r.muxer, path);
  AVFormatContext* oc = out.get();
  const bool globalHeader = oc->oformat->flags & AVFMT_GLOBALHEADER;
  // With DVD-sized 2048-byte packs several of our small frames share a pack
  // and only the first gets a timestamp, so the file's end (and duration) is
  // misread by a frame or more. Smaller packs keep a timestamp on each frame.
  if (r.muxer == "vob") oc->packet_size = 512;

  CodecPtr venc, aenc;
  AVStream* vst = nullptr;
  AVStream* ast = nullptr;
  if (r.video) {
    venc = OpenVideoEncoder(s, r.videoCodec, globalHeader, false);
    vst = avformat_new_stream(oc, nullptr);
    if (!vst) Fail("out of memory");
    Check(avcodec_parameters_from_context(vst->codecpar, venc.get()), "bad video parameters");
    vst->time_base = venc->time_base;
    vst->avg_frame_rate = venc->framerate;
    vst->r_frame_rate = venc->framerate;
    vst->sample_aspect_ratio = venc->sample_aspect_ratio;
    if (s.rotation != 0 || s.mirrored) {
      const std::array<int32_t, 9> matrix = DisplayMatrix(s);
      uint8_t* data = av_stream_new_side_data(vst, AV_PKT_DATA_DISPLAYMATRIX, sizeof matrix);
      if (!data) Fail("out of memory");
      std::memcpy(data, matrix.data(), sizeof matrix);
    }
  }
  if (r.audio) {
    aenc = OpenAudioEncoder(s, r.audioCodec, globalHeader);
    ast = avformat_new_stream(oc, nullptr);
    if (!ast) Fail("out of memory");
    Check(avcodec_parameters_from_context(ast->codecpar, aenc.get()), "bad audio parameters");
    ast->time_base = aenc->time_base;
  }

  out.Open();
  Check(avformat_write_header(oc, nullptr), "the " + r.muxer + " muxer refused the streams (" +
                                                (r.video ? r.videoCodec : std::string("no video")) + " + " +
                                                (r.audio ? r.audioCodec : std::string("no audio")) + ")");

  PacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail("out of memory");

  const int64_t frames = std::max<int64_t>(1, std::llround(s.durationSec * s.fpsNum / static_cast<double>(s.fpsDen)));
  int64_t samples = std::max<int64_t>(1, std::llround(s.durationSec * s.sampleRate));
  // An encoder that primes without buffering (WMA) puts its priming in front
  // of the tone and never flushes the tail: feed it that much more tone so
  // the decoder still gets every requested sample.
  if (aenc && !(aenc->codec->capabilities & AV_CODEC_CAP_DELAY)) samples += aenc->initial_padding;

  std::unique_ptr<PictureSource> pictures;
  std::unique_ptr<ToneSource> tone;
  if (venc) pictures = std::make_unique<PictureSource>(s, venc->pix_fmt);
  if (aenc) tone = std::make_unique<ToneSource>(aenc.get(), s.toneHz);

  StreamTiming videoTiming = TimingOf(s, true), audioTiming = TimingOf(s, false);
  int64_t nextFrame = 0, nextSample = 0;
  bool videoDone = !venc, audioDone = !aenc;
  while (!videoDone || !audioDone) {
    const bool doVideo =
        !videoDone && (audioDone || av_compare_ts(nextFrame, venc->time_base, nextSample, aenc->time_base) <= 0);
    if (doVideo) {
      if (nextFrame < frames) {
        Check(avcodec_send_frame(venc.get(), pictures->Render(nextFrame)), "video encoding failed");
        ++nextFrame;
      } else {
        Check(avcodec_send_frame(venc.get(), nullptr), "video encoding failed");
        videoDone = true;
      }
      Drain(venc.get(), vst, oc, pkt.get(), videoTiming);
    } else {
      if (nextSample < samples) {
        AVFrame* f = tone->Next(nextSample, samples - nextSample);
        Check(avcodec_send_frame(aenc.get(), f), "audio encoding failed");
        nextSample += f->nb_samples;
      } else {
        Check(avcodec_send_frame(aenc.get(), nullptr), "audio encoding failed");
        audioDone = true;
      }
      Drain(aenc.get(), ast, oc, pkt.get(), audioTiming);
    }
  }

  Check(av_write_trailer(oc), "cannot finish the " + r.muxer + " file");
  out.Close();
  if (r.muxer == "asf" && (s.videoStartSec != 0 || s.audioStartSec != 0)) {
    // ASF numbers its streams from 1, in the order they were added.
    std::vector<int64_t> shifts;
    if (vst) shifts.push_back(std::llround(s.videoStartSec * 1000));
    if (ast) shifts.push_back(std::llround(s.audioStartSec * 1000));
    ShiftAsfPresentationTimes(path, shifts);
  }
}

// Shortest text that reads back as the same double.
std::string FormatNumber(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string Sanitize(std::string s) {
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
  return s;
}

}  // namespace

std::string ContainerExtension(const std::string& container) { return FindContainer(container).extension; }

ResolvedSpec Resolve(const ClipSpec& s) {
  const Container& c = FindContainer(s.container);
  ResolvedSpec r;
  r.muxer = c.muxer ? c.muxer : "";
  r.extension = c.extension;
  r.still = c.muxer == nullptr;
  r.video = c.video && (s.video || r.still);
  r.audio = c.audio && s.audio;
  if (!r.video && !r.audio)
    Fail("a " + s.container + " clip without " + (c.video ? "video" : "audio") + " has nothing to write");
  if (r.video) {
    if (!s.videoCodec.empty())
      r.videoCodec = s.videoCodec;
    else if (s.container == "3gp" && !IsH263Size(s.width, s.height))
      r.videoCodec = "mpeg4";  // H.263 only has a few picture sizes
    else
      r.videoCodec = c.video;
  }
  if (r.audio) r.audioCodec = s.audioCodec.empty() ? c.audio : s.audioCodec;
  return r;
}

void MakeClip(const ClipSpec& spec, const std::string& path) {
  const QuietLibraries quiet;
  const ResolvedSpec r = Resolve(spec);
  ValidateSpec(spec, r);
  try {
    if (r.still)
      WriteStill(spec, r, path);
    else
      WriteClip(spec, r, path);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(std::string(e.what()) + " [writing " + path + "]");
  }
}

std::string MediaDir() {
  const char* env = std::getenv("VIDMILL_TEST_MEDIA_DIR");
  const fs::path dir = env && *env ? fs::path(env) : fs::temp_directory_path() / "vidmill-test-media";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) Fail("cannot create the media folder " + dir.string());
  return dir.string();
}

std::string CacheKey(const ClipSpec& s) {
  // Every field goes in, even those a clip ignores (the size of an
  // audio-only clip): exact beats clever for a cache key.
  std::ostringstream k;
  k << 'v' << kGeneratorVersion << '-' << s.container << '-' << (s.video ? "video" : "novideo") << '-'
    << (s.videoCodec.empty() ? "def" : s.videoCodec) << '-' << s.width << 'x' << s.height << '-' << s.fpsNum << '_'
    << s.fpsDen << "fps-sar" << s.sarNum << '_' << s.sarDen << "-vb" << s.videoBitRate << '-'
    << (s.audio ? "audio" : "noaudio") << '-' << (s.audioCodec.empty() ? "def" : s.audioCodec) << '-' << s.sampleRate
    << "hz-" << s.channels << "ch-tone" << FormatNumber(s.toneHz) << "-ab" << s.audioBitRate << '-'
    << FormatNumber(s.durationSec) << 's';
  // The timing fields only when they differ from a well-timed clip, so that
  // the keys of the clips made before them stay as they were.
  if (!s.PlainPictures())
    k << "-pix" << (s.pixelFormat.empty() ? "def" : s.pixelFormat) << "-rot" << s.rotation << (s.mirrored ? "m" : "")
      << (s.interlaced ? "-tff" : "") << "-trc" << (s.transfer.empty() ? "sdr" : s.transfer)
      << (s.texture ? "-texture" : "");
  if (!s.WellTimed())
    k << "-vstart" << FormatNumber(s.videoStartSec) << "-astart" << FormatNumber(s.audioStartSec) << "-gop"
      << s.keyFrameInterval << "-jump" << FormatNumber(s.jumpAtSec) << '_' << FormatNumber(s.jumpSec) << "-dup"
      << s.duplicateEvery;
  return Sanitize(k.str());
}

std::string CachedClip(const ClipSpec& spec) {
  const std::string ext = ContainerExtension(spec.container);
  const fs::path dir = MediaDir();
  const fs::path final = dir / (CacheKey(spec) + ext);
  std::error_code ec;
  if (fs::is_regular_file(final, ec) && fs::file_size(final, ec) > 0) return final.string();

  static std::atomic<unsigned> counter{0};
  const std::string unique = std::to_string(::getpid()) + "-" + std::to_string(counter++);
  const fs::path temp = dir / ("." + CacheKey(spec) + ".tmp-" + unique + ext);
  MakeClip(spec, temp.string());
  // rename() replaces atomically: a concurrent reader sees either no file or
  // a complete one, and racing writers produce identical bytes anyway.
  if (std::rename(temp.c_str(), final.c_str()) != 0) {
    const int err = errno;
    fs::remove(temp, ec);
    Fail("cannot move the new clip to " + final.string() + ": " + std::strerror(err));
  }
  return final.string();
}

void MakeEmptyFile(const std::string& path) { MakeTextFile(path, ""); }

void MakeTextFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) Fail("cannot open " + path + " for writing");
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
  f.close();
  if (!f) Fail("cannot write " + path);
}

void MakeTruncatedCopy(const std::string& src, const std::string& dst, double fraction) {
  if (!(fraction >= 0.0 && fraction <= 1.0)) Fail("truncation fraction must be within [0, 1]");
  std::ifstream in(src, std::ios::binary);
  if (!in) Fail("cannot open " + src);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) Fail("cannot read " + src);
  const auto keep = static_cast<size_t>(std::floor(fraction * static_cast<double>(data.size())));
  MakeTextFile(dst, std::string(data.data(), keep));
}

namespace {

std::string ReadAll(const std::string& path);

}  // namespace

void MakeUndecodableCopy(const std::string& src, const std::string& dst) {
  std::string data = ReadAll(src);
  const size_t type = data.find("mdat");
  if (type == std::string::npos || type < 4) Fail(src + " has no MP4 media data");
  uint64_t size = 0;
  for (size_t i = type - 4; i < type; ++i) size = size << 8 | static_cast<unsigned char>(data[i]);
  if (size < 8 || type - 4 + size > data.size()) Fail(src + ": unexpected MP4 media data box");
  std::fill(data.begin() + static_cast<std::ptrdiff_t>(type + 4),
            data.begin() + static_cast<std::ptrdiff_t>(type - 4 + size), '\0');
  MakeTextFile(dst, data);
}

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot open " + path);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) Fail("cannot read " + path);
  return data;
}

ClipSpec CorpusSpec(const std::string& container, int width, int height) {
  ClipSpec spec;
  spec.container = container;
  spec.width = width;
  spec.height = height;
  spec.durationSec = 1.0;
  return spec;
}

void PutLE32(std::string& data, size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) data[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// Matroska holding the audio of wavSource (copied) and `subtitles` SubRip
// streams of one cue each: a file with thousands of streams.
void WriteManyStreams(const std::string& wavSource, const std::string& path, int subtitles) {
  QuietLibraries quiet;
  AVFormatContext* in = nullptr;
  Check(avformat_open_input(&in, wavSource.c_str(), nullptr, nullptr), "cannot open " + wavSource);
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(
      in, [](AVFormatContext* c) { avformat_close_input(&c); });
  Check(avformat_find_stream_info(in, nullptr), "no stream information in " + wavSource);
  if (in->nb_streams != 1) Fail(wavSource + " is not a single audio stream");
  AVFormatContext* out = nullptr;
  Check(avformat_alloc_output_context2(&out, nullptr, "matroska", path.c_str()), "no matroska muxer");
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> output(out, [](AVFormatContext* c) {
    if (c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  });
  out->max_streams = subtitles + 1;  // the default allows 1000
  AVStream* audio = avformat_new_stream(out, nullptr);
  if (!audio) Fail("cannot add a stream");
  Check(avcodec_parameters_copy(audio->codecpar, in->streams[0]->codecpar), "cannot copy the audio parameters");
  audio->codecpar->codec_tag = 0;
  audio->time_base = in->streams[0]->time_base;
  for (int i = 0; i < subtitles; ++i) {
    AVStream* st = avformat_new_stream(out, nullptr);
    if (!st) Fail("cannot add a stream");
    st->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    st->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
    st->time_base = AVRational{1, 1000};
  }
  Check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot open " + path + " for writing");
  AVDictionary* options = nullptr;
  av_dict_set(&options, "fflags", "+bitexact", 0);
  out->flags |= AVFMT_FLAG_BITEXACT;
  const int header = avformat_write_header(out, &options);
  av_dict_free(&options);
  Check(header, "cannot write the header of " + path);
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  if (!packet) Fail("out of memory");
  for (int i = 0; i < subtitles; ++i) {
    const std::string text = "cue " + std::to_string(i);
    Check(av_new_packet(packet.get(), static_cast<int>(text.size())), "out of memory");
    std::memcpy(packet->data, text.data(), text.size());
    packet->stream_index = i + 1;
    packet->pts = packet->dts = 0;
    packet->duration = 500;
    packet->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet.get(), AVRational{1, 1000}, out->streams[i + 1]->time_base);
    Check(av_interleaved_write_frame(out, packet.get()), "cannot write a cue to " + path);
  }
  while (av_read_frame(in, packet.get()) >= 0) {
    packet->stream_index = 0;
    av_packet_rescale_ts(packet.get(), in->streams[0]->time_base, audio->time_base);
    packet->pos = -1;
    Check(av_interleaved_write_frame(out, packet.get()), "cannot write the audio to " + path);
  }
  Check(av_write_trailer(out), "cannot finish " + path);
}

}  // namespace

std::vector<CorpusFile> MakeCorruptCorpus(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder)) Fail("cannot create the corpus folder " + folder);
  const fs::path dir(folder);
  std::vector<CorpusFile> corpus;
  auto add = [&](const std::string& name, const std::string& description, bool unreadable = false) {
    corpus.push_back({(dir / name).string(), description, unreadable});
    return corpus.back().path;
  };

  for (const char* container : {"mp4", "mkv", "avi", "ts"}) {
    const std::string source = CachedClip(CorpusSpec(container, 160, 120));
    const std::string ext = ContainerExtension(container);
    const std::string data = ReadAll(source);
    for (int percent : {10, 50, 90}) {
      const std::string path = add(std::string(container) + "-cut" + std::to_string(percent) + ext,
                                   std::string(container) + " cut at " + std::to_string(percent) + " % of its size");
      MakeTruncatedCopy(source, path, percent / 100.0);
    }
    // One bit in each of eight bytes spread over the first 512 bytes, where
    // the container's header lives (box sizes, EBML ids, RIFF lists, PAT/PMT).
    std::string header = data;
    for (size_t i = 0; i < 8; ++i) {
      const size_t at = (4 + i * 61) % std::min<size_t>(512, header.size());
      header[at] = static_cast<char>(header[at] ^ (1 << (i % 8)));
    }
    MakeTextFile(add(std::string(container) + "-flip-header" + ext,
                     std::string(container) + " with eight bits flipped in its first 512 bytes"),
                 header);
    // Sixteen bits over 4 KiB around the middle: inside the coded pictures.
    std::string middle = data;
    const size_t centre = middle.size() / 2;
    for (size_t i = 0; i < 16; ++i) {
      const size_t at = std::min(middle.size() - 1, centre - std::min(centre, size_t{2048}) + i * 256);
      middle[at] = static_cast<char>(middle[at] ^ (0x80 >> (i % 8)));
    }
    MakeTextFile(add(std::string(container) + "-flip-middle" + ext,
                     std::string(container) + " with sixteen bits flipped around its middle"),
                 middle);
  }

  MakeEmptyFile(add("empty.mp4", "zero-length file named .mp4", true));
  MakeTextFile(add("notes.mkv", "text file named .mkv", true),
               "This is not a video.\nJust a few lines of text\nwith a media extension.\n");
  {
    const std::string source = CachedClip(CorpusSpec("mp4", 160, 120));
    const std::string path = add("mp4-named.avi", "mp4 clip named .avi");
    MakeTextFile(path, ReadAll(source));
  }
  {
    ClipSpec spec = CorpusSpec("wav", 160, 120);
    spec.video = false;
    spec.channels = 1;
    spec.sampleRate = 8000;
    std::string wav = ReadAll(CachedClip(spec));
    if (wav.size() < 44 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0)
      Fail("the generated wav has no RIFF/WAVE header");
    PutLE32(wav, 4, 0xFFFFFFF8u);
    bool found = false;
    for (size_t at = 12; at + 8 <= wav.size();) {
      std::uint32_t size = 0;
      for (int i = 0; i < 4; ++i)
        size |= static_cast<std::uint32_t>(static_cast<unsigned char>(wav[at + 4 + i])) << (8 * i);
      if (wav.compare(at, 4, "data") == 0) {
        PutLE32(wav, at + 4, 0xFFFFFFF0u);
        found = true;
        break;
      }
      at += 8 + size + (size & 1);
    }
    if (!found) Fail("the generated wav has no data chunk");
    MakeTextFile(add("huge-size.wav", "wav whose RIFF and data sizes claim about 4 GB"), wav);
  }
  {
    ClipSpec spec = CorpusSpec("wav", 160, 120);
    spec.video = false;
    spec.channels = 1;
    spec.sampleRate = 8000;
    // Over and just under the 1000 streams that libavformat accepts by default.
    WriteManyStreams(CachedClip(spec), add("many-streams.mkv", "mkv with one audio and 2000 subtitle streams"), 2000);
    WriteManyStreams(CachedClip(spec), add("999-streams.mkv", "mkv with one audio and 998 subtitle streams"), 998);
  }
  MakeTextFile(add("size-change.ts", "transport streams of 160x120 and 320x240 concatenated byte-wise"),
               ReadAll(CachedClip(CorpusSpec("ts", 160, 120))) + ReadAll(CachedClip(CorpusSpec("ts", 320, 240))));
  return corpus;
}

Rect QuadrantInner(Quadrant q, int width, int height) {
  const bool right = q == Quadrant::TopRight || q == Quadrant::BottomRight;
  const bool bottom = q == Quadrant::BottomLeft || q == Quadrant::BottomRight;
  const int x0 = right ? width / 2 : 0, x1 = right ? width : width / 2;
  const int y0 = bottom ? height / 2 : 0, y1 = bottom ? height : height / 2;
  const int qw = x1 - x0, qh = y1 - y0;
  return Rect{x0 + qw / 4, y0 + qh / 4, std::max(1, qw / 2), std::max(1, qh / 2)};
}

MeanRgb QuadrantMean(const uint8_t* rgb24, int stride, int width, int height, Quadrant q) {
  const Rect r = QuadrantInner(q, width, height);
  double sr = 0, sg = 0, sb = 0;
  for (int y = r.y; y < r.y + r.h; ++y) {
    const uint8_t* p = rgb24 + static_cast<ptrdiff_t>(y) * stride + 3 * r.x;
    for (int x = 0; x < r.w; ++x, p += 3) {
      sr += p[0];
      sg += p[1];
      sb += p[2];
    }
  }
  const double n = static_cast<double>(r.w) * r.h;
  return MeanRgb{sr / n, sg / n, sb / n};
}

double ColourDistance(const MeanRgb& m, const Rgb& ref) {
  return std::max({std::fabs(m.r - ref.r), std::fabs(m.g - ref.g), std::fabs(m.b - ref.b)});
}

}  // namespace testmedia
