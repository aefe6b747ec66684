// The choice of what an encoder takes where the configured channel layout,
// sample rate or (source-given) frame size is beyond it: the list rules on
// encoders with made-up lists, and the trial opens on the real encoders of
// the profiles.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/CodecThreads.h"
#include "engine/config/EncoderLimits.h"
#include "engine/pipeline/Scaler.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwScale.h"

namespace {

struct TContextFree {
  void operator()(AVCodecContext* AContext) const { lib::avcodec_free_context(&AContext); }
};
using TContext = std::unique_ptr<AVCodecContext, TContextFree>;

AVChannelLayout Layout(uint64_t AMask) {
  AVChannelLayout layout{};
  lib::av_channel_layout_from_mask(&layout, AMask);
  return layout;
}

std::string Describe(const AVChannelLayout& ALayout) {
  char text[128] = {};
  lib::av_channel_layout_describe(&ALayout, text, sizeof text);
  return text;
}

TContext AudioContext(const AVCodec* AEncoder, uint64_t AMask, int ARate = 44100) {
  TContext context(lib::avcodec_alloc_context3(AEncoder));
  context->codec_type = AVMEDIA_TYPE_AUDIO;
  lib::av_channel_layout_uninit(&context->ch_layout);
  context->ch_layout = Layout(AMask);
  context->sample_rate = ARate;
  context->time_base = AVRational{1, ARate};
  context->sample_fmt = AEncoder && AEncoder->sample_fmts ? AEncoder->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  context->bit_rate = 128000;
  return context;
}

TContext VideoContext(const AVCodec* AEncoder, int AWidth, int AHeight) {
  TContext context(lib::avcodec_alloc_context3(AEncoder));
  context->codec_type = AVMEDIA_TYPE_VIDEO;
  context->width = AWidth;
  context->height = AHeight;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, 25};
  context->framerate = AVRational{25, 1};
  context->bit_rate = 600000;
  return context;
}

// An encoder of made-up lists: the rules only read them (nothing opens it).
struct TListedEncoder {
  std::vector<AVChannelLayout> Layouts;
  std::vector<int> Rates;
  AVCodec Codec{};
  TListedEncoder(std::vector<uint64_t> AMasks, std::vector<int> ARates) : Rates(std::move(ARates)) {
    for (uint64_t mask : AMasks) Layouts.push_back(Layout(mask));
    Layouts.push_back(AVChannelLayout{});
    Rates.push_back(0);
    Codec.name = "listed";
    Codec.type = AVMEDIA_TYPE_AUDIO;
    Codec.ch_layouts = Layouts.data();
    Codec.supported_samplerates = Rates.data();
  }
};

TEST(EncoderLimits, ListedLayoutsSameCountFirstThenTheMostChannelsBelowThenTheFirst) {
  // 5.1(side) is not listed; the listed 5.1 (back) has its count.
  TListedEncoder surround({AV_CH_LAYOUT_STEREO, AV_CH_LAYOUT_5POINT1_BACK, AV_CH_LAYOUT_5POINT0}, {});
  TContext context = AudioContext(nullptr, AV_CH_LAYOUT_5POINT1);
  EXPECT_TRUE(FitChannelLayout(&surround.Codec, context.get()));
  EXPECT_EQ(Describe(context->ch_layout), "5.1");

  // 7.1 into a list of at most six channels: the most below eight, and of
  // two six-channel layouts the first listed.
  TListedEncoder six({AV_CH_LAYOUT_MONO, AV_CH_LAYOUT_5POINT1, AV_CH_LAYOUT_5POINT1_BACK, AV_CH_LAYOUT_STEREO}, {});
  context = AudioContext(nullptr, AV_CH_LAYOUT_7POINT1);
  EXPECT_TRUE(FitChannelLayout(&six.Codec, context.get()));
  EXPECT_EQ(Describe(context->ch_layout), "5.1(side)");

  // Mono into stereo-only: nothing has fewer channels, so the first listed.
  TListedEncoder stereo({AV_CH_LAYOUT_STEREO, AV_CH_LAYOUT_QUAD}, {});
  context = AudioContext(nullptr, AV_CH_LAYOUT_MONO);
  EXPECT_TRUE(FitChannelLayout(&stereo.Codec, context.get()));
  EXPECT_EQ(Describe(context->ch_layout), "stereo");

  // A listed layout stays as it is.
  context = AudioContext(nullptr, AV_CH_LAYOUT_QUAD);
  EXPECT_FALSE(FitChannelLayout(&stereo.Codec, context.get()));
  EXPECT_EQ(Describe(context->ch_layout), "quad");
}

TEST(EncoderLimits, ListedRatesTheNearestAndATieGoesHigher) {
  TListedEncoder encoder({}, {44100, 48000, 32000, 22050, 8000});
  struct TRow {
    int Configured, Expected;
  };
  for (const TRow& row : {TRow{96000, 48000}, TRow{46050, 48000}, TRow{11025, 8000}, TRow{27025, 32000},
                          TRow{22050, 22050}, TRow{1, 8000}}) {
    SCOPED_TRACE(row.Configured);
    TContext context = AudioContext(nullptr, AV_CH_LAYOUT_STEREO, row.Configured);
    EXPECT_EQ(FitSampleRate(&encoder.Codec, context.get()), row.Configured != row.Expected);
    EXPECT_EQ(context->sample_rate, row.Expected);
    EXPECT_EQ(context->time_base.den, row.Expected);
  }
}

// The encoders of the profiles: MP3 and MP2 list their layouts and rates;
// AAC and WMA list no layout, and only WMA refuses six channels at open.
TEST(EncoderLimits, TheProfilesAudioEncoders) {
  struct TRow {
    const char* Encoder;
    uint64_t Mask;
    int Rate;
    const char* Layout;
    int ExpectedRate;
  };
  const TRow rows[] = {
      {"libmp3lame", AV_CH_LAYOUT_5POINT1, 96000, "stereo", 48000},
      {"libmp3lame", AV_CH_LAYOUT_MONO, 44100, "mono", 44100},
      {"mp2", AV_CH_LAYOUT_7POINT1, 8000, "stereo", 16000},
      {"wmav2", AV_CH_LAYOUT_5POINT1, 48000, "stereo", 48000},
      {"wmav2", AV_CH_LAYOUT_STEREO, 44100, "stereo", 44100},
      {"wmav2", AV_CH_LAYOUT_STEREO, 96000, "stereo", 48000},  // lists no rates, refuses more than 48 kHz
      {"aac", AV_CH_LAYOUT_5POINT1_BACK, 48000, "5.1", 48000},
      {"ac3", AV_CH_LAYOUT_5POINT1, 44100, "5.1(side)", 44100},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::string(row.Encoder) + " " + std::to_string(row.Rate));
    const AVCodec* encoder = lib::avcodec_find_encoder_by_name(row.Encoder);
    ASSERT_NE(encoder, nullptr);
    TContext context = AudioContext(encoder, row.Mask, row.Rate);
    const std::string before = Describe(context->ch_layout);
    EXPECT_EQ(FitChannelLayout(encoder, context.get()), before != row.Layout);
    EXPECT_EQ(Describe(context->ch_layout), row.Layout);
    EXPECT_EQ(FitSampleRate(encoder, context.get()), row.Rate != row.ExpectedRate);
    EXPECT_EQ(context->sample_rate, row.ExpectedRate);
    // What was chosen opens.
    context->time_base = AVRational{1, context->sample_rate};
    EXPECT_EQ(lib::avcodec_open2(context.get(), encoder, nullptr), 0);
  }
}

TEST(EncoderLimits, AnOddSizeBecomesEvenOnlyForEncodersThatRefuseIt) {
  struct TRow {
    const char* Encoder;
    int Width, Height, ExpectedWidth, ExpectedHeight;
  };
  const TRow rows[] = {
      {"libx264", 401, 301, 400, 300}, {"libx264", 400, 301, 400, 300}, {"libx264", 640, 480, 640, 480},
      {"wmv2", 401, 301, 400, 300},    {"mpeg4", 401, 301, 401, 301},   {"flv", 401, 301, 401, 301},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::string(row.Encoder) + " " + std::to_string(row.Width) + "x" + std::to_string(row.Height));
    const AVCodec* encoder = lib::avcodec_find_encoder_by_name(row.Encoder);
    ASSERT_NE(encoder, nullptr);
    TContext context = VideoContext(encoder, row.Width, row.Height);
    EXPECT_EQ(FitOddFrameSize(encoder, context.get()),
              row.Width != row.ExpectedWidth || row.Height != row.ExpectedHeight);
    EXPECT_EQ(context->width, row.ExpectedWidth);
    EXPECT_EQ(context->height, row.ExpectedHeight);
    EXPECT_EQ(lib::avcodec_open2(context.get(), encoder, nullptr), 0);
  }
}

}  // namespace

// A task's thread budget on each codec of the profiles: those that thread
// take it (and still open), those that cannot keep one thread.
TEST(CodecThreads, EachCodecTakesTheBudgetOnlyWhereItCanThread) {
  struct TCase {
    const char* Name;
    bool Encoder;
    int Threads;     // with a budget of 4
    int ThreadType;  // when threaded
  };
  const TCase cases[] = {
      {"libx264", true, 4, FF_THREAD_FRAME},
      {"mpeg4", true, 4, FF_THREAD_SLICE},
      {"mpeg2video", true, 4, FF_THREAD_SLICE},
      {"mpeg1video", true, 4, FF_THREAD_SLICE},
      {"h263", true, 1, 0},
      {"flv", true, 1, 0},
      {"wmv2", true, 1, 0},
      {"mp2", true, 1, 0},
      {"aac", true, 1, 0},
      {"h264", false, 4, FF_THREAD_FRAME},
      {"mpeg2video", false, 4, FF_THREAD_SLICE},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + (c.Encoder ? " encoder" : " decoder"));
    const AVCodec* codec =
        c.Encoder ? lib::avcodec_find_encoder_by_name(c.Name) : lib::avcodec_find_decoder_by_name(c.Name);
    ASSERT_NE(codec, nullptr);
    TContext context(lib::avcodec_alloc_context3(codec));
    if (codec->type == AVMEDIA_TYPE_VIDEO) {
      context->width = 352;
      context->height = 288;
      context->pix_fmt = AV_PIX_FMT_YUV420P;
      context->time_base = AVRational{1, 25};
      context->framerate = AVRational{25, 1};
      context->bit_rate = 400000;
    } else {
      context->sample_rate = 44100;
      context->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
      lib::av_channel_layout_uninit(&context->ch_layout);
      context->ch_layout = Layout(AV_CH_LAYOUT_STEREO);
      context->bit_rate = 128000;
    }
    ApplyCodecThreads(context.get(), codec, 4);
    EXPECT_EQ(context->thread_count, c.Threads);
    if (c.Threads > 1) {
      EXPECT_EQ(context->thread_type, c.ThreadType);
    }
    EXPECT_GE(lib::avcodec_open2(context.get(), codec, nullptr), 0) << "opens with what it was given";
  }
  TContext one(lib::avcodec_alloc_context3(lib::avcodec_find_encoder_by_name("libx264")));
  ApplyCodecThreads(one.get(), lib::avcodec_find_encoder_by_name("libx264"), 1);
  EXPECT_EQ(one->thread_count, 1);
}

// The scaler writes the same lines with one thread as with several, and only
// into the area it is given (the padding around it stays as it was).
TEST(ScalerThreads, SlicesWriteWhatOneThreadWrites) {
  struct TCase {
    AVPixelFormat Source;
    int Width, Height, TargetWidth, TargetHeight, PadTop, PadLeft;
  };
  const TCase cases[] = {
      {AV_PIX_FMT_YUV420P, 1280, 720, 352, 288, 0, 0},
      {AV_PIX_FMT_YUV444P10LE, 640, 480, 320, 180, 30, 0},
      {AV_PIX_FMT_YUYV422, 320, 240, 704, 480, 0, 8},
  };
  struct TFrameFree {
    void operator()(AVFrame* AFrame) const { lib::av_frame_free(&AFrame); }
  };
  using TFrame = std::unique_ptr<AVFrame, TFrameFree>;
  auto picture = [](AVPixelFormat AFormat, int AWidth, int AHeight, uint8_t AFill) {
    TFrame frame(lib::av_frame_alloc());
    frame->format = AFormat;
    frame->width = AWidth;
    frame->height = AHeight;
    EXPECT_GE(lib::av_frame_get_buffer(frame.get(), 0), 0);
    for (int p = 0; p < 4 && frame->buf[p]; ++p) {
      uint8_t* data = frame->buf[p]->data;
      for (size_t i = 0; i < frame->buf[p]->size; ++i) data[i] = static_cast<uint8_t>(AFill ? AFill : i * 7 + i / 997);
    }
    return frame;
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(lib::av_get_pix_fmt_name(c.Source));
    const TFrame source = picture(c.Source, c.Width, c.Height, 0);
    const int fullWidth = c.TargetWidth + 2 * c.PadLeft, fullHeight = c.TargetHeight + 2 * c.PadTop;
    std::vector<std::vector<uint8_t>> results;
    for (int threads : {1, 3}) {
      SwsContext* scaler = MakeScaler(c.Width, c.Height, c.Source, c.TargetWidth, c.TargetHeight, AV_PIX_FMT_YUV420P,
                                      SWS_BICUBIC, threads);
      ASSERT_NE(scaler, nullptr);
      const TFrame target = picture(AV_PIX_FMT_YUV420P, fullWidth, fullHeight, 0x55);
      uint8_t* area[4] = {};
      int lines[4] = {};
      for (int p = 0; p < 3; ++p) {
        const int shift = p ? 1 : 0;
        area[p] = target->data[p] + (c.PadTop >> shift) * target->linesize[p] + (c.PadLeft >> shift);
        lines[p] = target->linesize[p];
      }
      EXPECT_TRUE(ScaleInto(scaler, source.get(), target.get(), area, lines));
      lib::sws_freeContext(scaler);
      std::vector<uint8_t> bytes;
      for (int p = 0; p < 3; ++p) {
        const int shift = p ? 1 : 0;
        for (int y = 0; y < fullHeight >> shift; ++y) {
          const uint8_t* row = target->data[p] + y * target->linesize[p];
          bytes.insert(bytes.end(), row, row + (fullWidth >> shift));
        }
      }
      results.push_back(bytes);
    }
    EXPECT_TRUE(results[0] == results[1]);
    if (c.PadTop || c.PadLeft) {
      EXPECT_EQ(results[0][0], 0x55);  // the padding before the area
    }
    EXPECT_NE(results[0][c.PadTop * fullWidth + c.PadLeft + 1], 0x55);  // the area itself
  }
}
