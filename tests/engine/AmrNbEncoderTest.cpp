// The engine's own AMR-NB encoder: frames in, storage-format packets out,
// and libavcodec's AMR-NB decoder gives the tone back.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/FFmpeg.h"
#include "runtime/lib/AVCodec.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

std::vector<int16_t> Tone(int ASamples, double AHz, double AAmplitude) {
  std::vector<int16_t> out(static_cast<size_t>(ASamples));
  for (int i = 0; i < ASamples; ++i)
    out[static_cast<size_t>(i)] =
        static_cast<int16_t>(std::lround(AAmplitude * 32767.0 * std::sin(2 * M_PI * AHz * i / 8000.0)));
  return out;
}

// Power of AHz in ASamples (Goertzel), relative to the total power.
double ToneShare(const std::vector<float>& ASamples, double AHz) {
  double coeff = 2 * std::cos(2 * M_PI * AHz / 8000.0), s1 = 0, s2 = 0, total = 0;
  for (float x : ASamples) {
    double s = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
    total += double(x) * x;
  }
  double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return total > 0 ? 2 * power / (total * static_cast<double>(ASamples.size())) : 0;
}

std::vector<float> Decode(const std::vector<std::vector<uint8_t>>& APackets) {
  std::vector<float> out;
  const AVCodec* decoder = lib::avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
  EXPECT_NE(decoder, nullptr);
  if (!decoder) return out;
  AVCodecContext* ctx = lib::avcodec_alloc_context3(decoder);
  ctx->sample_rate = 8000;
  lib::av_channel_layout_default(&ctx->ch_layout, 1);
  EXPECT_EQ(lib::avcodec_open2(ctx, decoder, nullptr), 0);
  AVPacket* packet = lib::av_packet_alloc();
  AVFrame* frame = lib::av_frame_alloc();
  for (const auto& bytes : APackets) {
    lib::av_new_packet(packet, static_cast<int>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), packet->data);
    EXPECT_GE(lib::avcodec_send_packet(ctx, packet), 0);
    lib::av_packet_unref(packet);
    while (lib::avcodec_receive_frame(ctx, frame) >= 0) {
      EXPECT_TRUE(frame->format == AV_SAMPLE_FMT_FLT ||
                  frame->format == AV_SAMPLE_FMT_FLTP);  // mono: one plane either way
      const float* data = reinterpret_cast<const float*>(frame->data[0]);
      out.insert(out.end(), data, data + frame->nb_samples);
      lib::av_frame_unref(frame);
    }
  }
  lib::av_frame_free(&frame);
  lib::av_packet_free(&packet);
  lib::avcodec_free_context(&ctx);
  return out;
}

}  // namespace

TEST(AmrNbEncoder, NamesAndModes) {
  EXPECT_TRUE(IsAmrNbEncoderName("libopencore_amrnb"));
  EXPECT_TRUE(IsAmrNbEncoderName("amr_nb"));
  EXPECT_FALSE(IsAmrNbEncoderName("amrnb"));
  EXPECT_EQ(TAmrNbEncoder::ModeBitRate(7400), 7400);
  EXPECT_EQ(TAmrNbEncoder::ModeBitRate(7949), 7400);    // nearest not above
  EXPECT_EQ(TAmrNbEncoder::ModeBitRate(64000), 12200);  // above the highest mode
  EXPECT_EQ(TAmrNbEncoder::ModeBitRate(1000), 4750);    // below the lowest mode
}

TEST(AmrNbEncoder, RefusesWhatItCannotEncode) {
  TAmrNbEncoder encoder;
  EXPECT_EQ(transcodetest::RaisedBy([&] { encoder.Open(44100, 1, 7400); }),
            "AMR-NB encodes 8000 Hz audio only, not 44100 Hz");
  EXPECT_EQ(transcodetest::RaisedBy([&] { encoder.Open(8000, 2, 7400); }),
            "AMR-NB encodes mono audio only, not 2 channels");
  EXPECT_FALSE(encoder.IsOpen());
}

TEST(AmrNbEncoder, OneSecondOfToneGivesFiftyPacketsThatDecodeToTheTone) {
  TAmrNbEncoder encoder;
  encoder.Open(8000, 1, 7400);
  ASSERT_TRUE(encoder.IsOpen());
  EXPECT_EQ(encoder.BitRate(), 7400);
  const std::vector<int16_t> input = Tone(8000, 1000.0, 0.5);
  std::vector<std::vector<uint8_t>> packets;
  for (int offset = 0; offset + TAmrNbEncoder::kFrameSamples <= 8000; offset += TAmrNbEncoder::kFrameSamples) {
    uint8_t packet[TAmrNbEncoder::kMaxPacketBytes];
    int size = encoder.Encode(input.data() + offset, packet);
    ASSERT_GT(size, 0);
    packets.emplace_back(packet, packet + size);
  }
  ASSERT_EQ(packets.size(), 50u);
  for (const auto& p : packets) {
    EXPECT_EQ(p.size(), 20u);          // MR74: a header byte and 148 bits of speech
    EXPECT_EQ(p[0], (4 << 3) | 0x04);  // the storage header of mode MR74
  }
  std::vector<float> output = Decode(packets);
  ASSERT_EQ(output.size(), 8000u);
  // Skip the codec's start-up, then the tone must dominate at about its level.
  std::vector<float> steady(output.begin() + 800, output.end());
  EXPECT_GT(ToneShare(steady, 1000.0), 0.8);
  EXPECT_LT(ToneShare(steady, 2500.0), 0.05);
  double rms = 0;
  for (float x : steady) rms += double(x) * x;
  rms = std::sqrt(rms / static_cast<double>(steady.size()));
  EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.15);
  encoder.Close();
  EXPECT_FALSE(encoder.IsOpen());
}
