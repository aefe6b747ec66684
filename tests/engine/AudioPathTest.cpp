// The audio output path on its own (see EngineBench.h), fed with synthetic
// tones the way the decoding step feeds it: one frame at a time, the input
// clock advanced by each frame. Real containers are decoded again to check
// what a player would hear.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwResample.h"
#include "tests/engine/EngineBench.h"

namespace {

using namespace enginebench;
using transcodetest::DecodeAll;
using transcodetest::RaisedBy;
using transcodetest::TDecodedFile;
using transcodetest::TDecodedStream;

// Fills AFrame with ASamples samples of a sine tone (amplitude 0.5) in the
// given format, continuing at sample AFirst of the tone.
void MakeTone(AVFrame* AFrame, AVSampleFormat AFormat, int ARate, int AChannels, int ASamples, int64_t AFirst,
              double AHz) {
  lib::av_frame_unref(AFrame);
  AFrame->format = AFormat;
  AFrame->sample_rate = ARate;
  lib::av_channel_layout_default(&AFrame->ch_layout, AChannels);
  AFrame->nb_samples = ASamples;
  ASSERT_EQ(lib::av_frame_get_buffer(AFrame, 0), 0);
  const bool planar = lib::av_sample_fmt_is_planar(AFormat);
  for (int i = 0; i < ASamples; ++i) {
    const double value = 0.5 * std::sin(2 * M_PI * AHz * static_cast<double>(AFirst + i) / ARate);
    for (int c = 0; c < AChannels; ++c) {
      const int index = planar ? i : i * AChannels + c;
      uint8_t* data = AFrame->extended_data[planar ? c : 0];
      switch (AFormat) {
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
          reinterpret_cast<int16_t*>(data)[index] = static_cast<int16_t>(std::lround(value * 32767));
          break;
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
          reinterpret_cast<int32_t*>(data)[index] = static_cast<int32_t>(std::lround(value * 2147483647.0));
          break;
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
          reinterpret_cast<float*>(data)[index] = static_cast<float>(value);
          break;
        default:
          FAIL() << "no tone for this sample format";
      }
    }
  }
}

// The audio bench: a decoder context that only describes what the decoder
// delivers, and a real encoder (or the engine's AMR-NB encoder).
class TAudioBench : public TStreamBench {
 public:
  TAudioBench(AVSampleFormat AFormat, int ARate, int AChannels) {
    In->NextPts = 0;
    FDecoder = lib::avcodec_alloc_context3(nullptr);
    FDecoder->codec_type = AVMEDIA_TYPE_AUDIO;
    FDecoder->sample_fmt = AFormat;
    FDecoder->sample_rate = ARate;
    lib::av_channel_layout_default(&FDecoder->ch_layout, AChannels);
    In->Decoder = FDecoder;  // the stream record frees it
  }

  // An opened libavcodec encoder, as the set-up leaves it, writing into AMuxer.
  bool Encode(const char* AName, AVSampleFormat AFormat, int ARate, int AChannels, const char* AMuxer,
              int64_t ABitRate = 0) {
    const AVCodec* codec = lib::avcodec_find_encoder_by_name(AName);
    if (!codec) return false;
    FEncoder = lib::avcodec_alloc_context3(codec);
    FEncoder->sample_fmt = AFormat;
    FEncoder->sample_rate = ARate;
    lib::av_channel_layout_default(&FEncoder->ch_layout, AChannels);
    FEncoder->time_base = AVRational{1, ARate};
    if (ABitRate > 0) FEncoder->bit_rate = ABitRate;
    if (lib::avcodec_open2(FEncoder, codec, nullptr) < 0) return false;
    Out->Encoder = FEncoder;
    return OpenOutput(AMuxer);
  }
  bool Pcm(int ARate, int AChannels, const char* AMuxer) {
    return Encode("pcm_s16le", AV_SAMPLE_FMT_S16, ARate, AChannels, AMuxer);
  }

  // The engine's own AMR-NB encoder at MR74: the context only holds its parameters.
  bool EncodeAmrNb(const char* AMuxer) {
    FEncoder = lib::avcodec_alloc_context3(nullptr);
    FEncoder->codec_type = AVMEDIA_TYPE_AUDIO;
    FEncoder->codec_id = AV_CODEC_ID_AMR_NB;
    FEncoder->sample_fmt = AV_SAMPLE_FMT_S16;
    FEncoder->sample_rate = TAmrNbEncoder::kSampleRate;
    lib::av_channel_layout_default(&FEncoder->ch_layout, 1);
    FEncoder->frame_size = TAmrNbEncoder::kFrameSamples;
    FEncoder->time_base = AVRational{1, TAmrNbEncoder::kSampleRate};
    FEncoder->bit_rate = 7400;
    FAmrNb.Open(TAmrNbEncoder::kSampleRate, 1, 7400);
    Out->Encoder = FEncoder;
    Out->AmrNb = &FAmrNb;
    return OpenOutput(AMuxer);
  }

  // Feeds ASamples samples of a tone in frames of AFrameSamples in the
  // decoder's format, advancing the input clock like the decoding step.
  // With ASilentLead, the first frame's first ASilentLead samples are
  // silence (16-bit interleaved input only).
  void Feed(int ASamples, int AFrameSamples, double AHz = 440, int ASilentLead = 0) {
    for (int done = 0; done < ASamples; done += AFrameSamples) {
      const int count = std::min(AFrameSamples, ASamples - done);
      MakeTone(FFrame, FDecoder->sample_fmt, FDecoder->sample_rate, FDecoder->ch_layout.nb_channels, count, FToneSample,
               AHz);
      if (done == 0 && ASilentLead > 0)
        std::memset(FFrame->data[0], 0,
                    static_cast<size_t>(std::min(ASilentLead, count)) * 2 * FDecoder->ch_layout.nb_channels);
      FToneSample += count;
      FFed += count;
      In->Pts = In->NextPts;
      In->NextPts += static_cast<int64_t>(count) * 1000000 / FDecoder->sample_rate;
      FEngine.EncodeAudioFrame(FRun, *Out, *In, FFrame);
    }
  }
  // Moves the input clock by ASeconds (a gap or an overlap in the input).
  void JumpClock(double ASeconds) { In->NextPts += std::llround(ASeconds * 1000000); }
  int64_t Fed() const { return FFed; }
  void Flush() { FEngine.FlushAudioEncoder(FRun, *Out); }

 private:
  AVCodecContext* FDecoder = nullptr;  // In's
  TAmrNbEncoder FAmrNb;
  int64_t FToneSample = 0;
  int64_t FFed = 0;
};

// The audio stream of the bench's closed output, decoded again.
TDecodedStream DecodedAudio(const TAudioBench& ABench) {
  const TDecodedFile file = DecodeAll(ABench.Path());
  EXPECT_TRUE(file.Opened) << file.Error;
  if (!file.Audio()) {
    ADD_FAILURE() << "no audio stream in " << ABench.Path();
    return {};
  }
  return *file.Audio();
}

// The interleaved 16-bit samples of a PCM WAV file (its "data" chunk).
std::vector<int16_t> ReadWavSamples(const std::string& APath) {
  std::ifstream file(APath, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, &bytes[at + 4], 4);
    if (std::memcmp(&bytes[at], "data", 4) == 0) {
      const size_t count = std::min<size_t>(size, bytes.size() - at - 8) / 2;
      samples.resize(count);
      std::memcpy(samples.data(), &bytes[at + 8], count * 2);
      break;
    }
    at += 8 + size + (size & 1);
  }
  return samples;
}

// The longest run of near-silent samples (|x| < 50) in ASamples.
size_t LongestQuietRun(const std::vector<int16_t>& ASamples, size_t AFrom, size_t ATo) {
  size_t longest = 0, run = 0;
  for (size_t i = AFrom; i < ATo && i < ASamples.size(); ++i) {
    run = std::abs(ASamples[i]) < 50 ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

int64_t InputSampleFormat(SwrContext* ASwr) {
  int64_t format = -1;
  lib::av_opt_get_int(ASwr, "in_sample_fmt", 0, &format);
  return format;
}

}  // namespace

// ---- Resampling and format conversion ----

TEST(AudioPathConversion, HalvingTheRateHalvesTheSamplesAndKeepsThePitch) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.Pcm(22050, 2, "wav"));
  bench.Out->AudioResample = 1;  // the set-up's choice: the rates differ
  bench.Feed(1152, 1152, 1000);
  SwrContext* resampler = bench.Out->Resample;
  ASSERT_NE(resampler, nullptr);
  bench.Feed(44100 - 1152, 1152, 1000);
  EXPECT_EQ(bench.Out->Resample, resampler) << "the resampler is created once";
  EXPECT_EQ(bench.Out->SampleConverter, nullptr);
  bench.Flush();
  bench.Close();
  const TDecodedStream audio = DecodedAudio(bench);
  EXPECT_EQ(audio.SampleRate, 22050);
  EXPECT_EQ(audio.Channels, 2);
  EXPECT_NEAR(static_cast<double>(audio.Samples), 22050, 4);
  EXPECT_NEAR(audio.ToneHz, 1000, 5);
  EXPECT_NEAR(audio.Rms, 0.5 / std::sqrt(2.0), 0.03);
}

TEST(AudioPathConversion, StereoToMonoAtTheSameRateUsesTheResampler) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.Pcm(44100, 1, "wav"));
  ASSERT_EQ(bench.Out->AudioResample, 0);  // same rate, no stretching: the set-up left it off
  bench.Feed(44100, 1024);
  EXPECT_EQ(bench.Out->AudioResample, 1);
  EXPECT_NE(bench.Out->Resample, nullptr);
  EXPECT_EQ(bench.Out->SampleConverter, nullptr);
  bench.Flush();
  bench.Close();
  const TDecodedStream audio = DecodedAudio(bench);
  EXPECT_EQ(audio.Channels, 1);
  EXPECT_NEAR(static_cast<double>(audio.Samples), 44100, 4);
  EXPECT_NEAR(audio.ToneHz, 440, 3);
  EXPECT_GT(audio.Rms, 0.2);  // the channels are mixed, not cancelled
}

TEST(AudioPathConversion, OnlyTheFormatChangesThroughOneConverterUntilTheDecoderFormatChanges) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 48000, 2);
  ASSERT_TRUE(bench.Encode("ac3", AV_SAMPLE_FMT_FLTP, 48000, 2, "ac3", 192000));
  bench.Feed(1536, 1536);
  EXPECT_EQ(bench.Out->AudioResample, 0);
  EXPECT_EQ(bench.Out->Resample, nullptr);
  SwrContext* converter = bench.Out->SampleConverter;
  ASSERT_NE(converter, nullptr);
  EXPECT_EQ(bench.Out->FormatPairKey, AV_SAMPLE_FMT_FLTP + 16 * AV_SAMPLE_FMT_S16);
  bench.Feed(24000 - 1536, 1000);
  EXPECT_EQ(bench.Out->SampleConverter, converter) << "the same formats reuse the converter";

  // The decoder now delivers 32-bit samples: a converter for them.
  bench.In->Decoder->sample_fmt = AV_SAMPLE_FMT_S32;
  bench.Feed(24000, 1000);
  ASSERT_NE(bench.Out->SampleConverter, nullptr);
  EXPECT_EQ(bench.Out->FormatPairKey, AV_SAMPLE_FMT_FLTP + 16 * AV_SAMPLE_FMT_S32);
  EXPECT_EQ(InputSampleFormat(bench.Out->SampleConverter), AV_SAMPLE_FMT_S32);
  EXPECT_EQ(bench.Out->Resample, nullptr);
  bench.Flush();
  bench.Close();
  const TDecodedStream audio = DecodedAudio(bench);
  EXPECT_EQ(audio.DecodeErrors, 0);
  EXPECT_NEAR(audio.Seconds(), 1.0, 0.04);  // the last frame is padded to 1536 samples
  EXPECT_NEAR(audio.ToneHz, 440, 3);
  EXPECT_NEAR(audio.Rms, 0.5 / std::sqrt(2.0), 0.05);
}

TEST(AudioPathConversion, ADecoderFormatChangeRebuildsTheResampler) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.Pcm(22050, 2, "wav"));
  bench.Out->AudioResample = 1;
  bench.Feed(22050, 1024);
  EXPECT_EQ(InputSampleFormat(bench.Out->Resample), AV_SAMPLE_FMT_S16);
  bench.In->Decoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  bench.Feed(22050, 1024);
  ASSERT_NE(bench.Out->Resample, nullptr);
  EXPECT_EQ(InputSampleFormat(bench.Out->Resample), AV_SAMPLE_FMT_FLTP);
  bench.Flush();
  bench.Close();
  const TDecodedStream audio = DecodedAudio(bench);
  EXPECT_NEAR(static_cast<double>(audio.Samples), 22050, 20);
  EXPECT_NEAR(audio.ToneHz, 440, 3);  // float samples read as floats, not as 16-bit pairs
  EXPECT_NEAR(audio.Rms, 0.5 / std::sqrt(2.0), 0.03);
}

// ---- Drift against the input clock ----

// Two 8192-sample frames, a jump of the input clock by AJump output samples
// (44100 Hz), two more frames; the samples written beyond the nominal count.
TEST(AudioPathDrift, DropOrInsertOnlyAboveTheThresholdOrAtTheStart) {
  struct TCase {
    const char* Name;
    int DecoderRate;
    bool IsStartAtJump;
    double Jump;
    double Extra;  // expected samples beyond the nominal count
  };
  const TCase cases[] = {
      {"4000 ahead is left alone", 44100, false, 4000, 0},
      {"4000 ahead at the start is padded", 44100, true, 4000, 4000},
      {"4000 behind is left alone", 44100, false, -4000, 0},
      {"5000 ahead is padded", 44100, false, 5000, 5000},
      {"5000 behind is dropped", 44100, false, -5000, -5000},
      {"40 ahead at the start is never corrected", 44100, true, 40, 0},
      {"40 behind at the start is never corrected", 44100, true, -40, 0},
      {"5000 ahead at 48 kHz input is padded", 48000, false, 5000, 5000},
      {"5000 behind at 48 kHz input is dropped", 48000, false, -5000, -5000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TAudioBench bench(AV_SAMPLE_FMT_S16, c.DecoderRate, 2);
    bench.Engine().SetAudioSyncMethod(1);
    bench.Engine().SetOption("adrift_threshold", "0.1");  // 4410 samples at 44100 Hz
    bench.Engine().SetVerbose(3);
    ASSERT_TRUE(bench.Pcm(44100, 2, "framecrc"));
    bench.Out->AudioResample = c.DecoderRate != 44100;
    bench.Feed(2 * 8192, 8192);
    EXPECT_EQ(bench.In->IsStart, 1) << "no correction yet";
    bench.In->IsStart = c.IsStartAtJump;
    bench.JumpClock(c.Jump / 44100);
    ClearLogLines();
    bench.Feed(2 * 8192, 8192);
    bench.Flush();
    const std::vector<TWrittenPacket> packets = bench.Close();
    const double nominal = static_cast<double>(bench.Fed()) * 44100 / c.DecoderRate;
    // Resampling, the drift does not see the 9 or 10 samples the
    // resampler's filter holds: the correction is that much larger.
    EXPECT_NEAR(static_cast<double>(TotalDuration(packets)) - nominal, c.Extra, c.DecoderRate == 44100 ? 2 : 12);
    const bool corrected = c.Extra != 0;
    EXPECT_EQ(bench.In->IsStart, corrected ? 0 : c.IsStartAtJump ? 1 : 0);
    EXPECT_EQ(LogContains(" audio samples of silence"), c.Extra > 0);
    EXPECT_EQ(LogContains("discarding "), c.Extra < 0);
  }
}

TEST(AudioPathDrift, NoMessagesUnlessVerbose) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  bench.Engine().SetAudioSyncMethod(1);
  bench.Engine().SetVerbose(2);
  ASSERT_TRUE(bench.Pcm(44100, 2, "framecrc"));
  ClearLogLines();
  bench.JumpClock(0.5);
  bench.Feed(8192, 8192);
  bench.Flush();
  EXPECT_EQ(TotalDuration(bench.Close()), 8192 + 22050);
  EXPECT_FALSE(LogContains("audio samples"));
}

TEST(AudioPathDrift, ALateStartGetsSilenceFirstUnlessTimestampsFollowTheInput) {
  for (int method : {1, 0}) {
    SCOPED_TRACE(method == 1 ? "method 1: silence" : "method 0: the timestamps start late");
    TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
    bench.Engine().SetAudioSyncMethod(method);
    ASSERT_TRUE(bench.Pcm(44100, 2, "framecrc"));
    bench.JumpClock(0.2);  // the first frame's Pts is 0.2 s
    bench.Feed(1024, 1024);
    EXPECT_EQ(bench.In->IsStart, method == 1 ? 0 : 1);
    bench.Feed(44100 - 1024, 1024);
    bench.Flush();
    EXPECT_EQ(bench.In->IsStart, method == 1 ? 0 : 1);
    const std::vector<TWrittenPacket> packets = bench.Close();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].Pts, method == 1 ? 0 : 8820);
    EXPECT_NEAR(static_cast<double>(TotalDuration(packets)), method == 1 ? 44100 + 8820 : 44100, method == 1 ? 1 : 0);
  }
}

TEST(AudioPathDrift, SilenceGoesBeforeTheFrameAndDroppedSamplesComeOffItsStart) {
  {
    SCOPED_TRACE("a late start");
    TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 1);
    bench.Engine().SetAudioSyncMethod(1);
    ASSERT_TRUE(bench.Pcm(44100, 1, "wav"));
    bench.JumpClock(0.2);
    bench.Feed(8192, 8192);
    bench.Flush();
    bench.Close();
    const std::vector<int16_t> samples = ReadWavSamples(bench.Path());
    ASSERT_NEAR(static_cast<double>(samples.size()), 8820 + 8192, 1);
    EXPECT_GE(LongestQuietRun(samples, 0, 8819), 8819u) << "silence first";
    EXPECT_LE(LongestQuietRun(samples, 8822, samples.size()), 2u) << "then the tone, whole";
  }
  {
    SCOPED_TRACE("an overlap");
    TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 1);
    bench.Engine().SetAudioSyncMethod(1);
    ASSERT_TRUE(bench.Pcm(44100, 1, "wav"));
    bench.Feed(8192, 8192);
    bench.In->IsStart = 0;
    // The next frame repeats the last 5000 samples' time; those are silent here.
    bench.JumpClock(-5000.0 / 44100);
    bench.Feed(8192, 8192, 440, 5000);
    bench.Flush();
    bench.Close();
    const std::vector<int16_t> samples = ReadWavSamples(bench.Path());
    ASSERT_NEAR(static_cast<double>(samples.size()), 8192 + 3192, 2);
    EXPECT_LE(LongestQuietRun(samples, 0, samples.size()), 2u) << "the repeated (silent) start was dropped";
  }
}

TEST(AudioPathDrift, MethodTwoStretchesByAtMostTwoSamplesPerCall) {
  // Five seconds in 1024-sample frames, the input clock 4000 samples ahead
  // of (or behind) the output all along: below the threshold, so only the
  // resampler's compensation acts, 2 samples per 44100 for each call.
  auto written = [](double AAhead, bool& ALogged) {
    TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
    bench.Engine().SetAudioSyncMethod(2);
    bench.Engine().SetVerbose(3);
    EXPECT_TRUE(bench.Pcm(44100, 2, "framecrc"));
    bench.Out->AudioResample = 1;  // the set-up's choice for methods above 1
    bench.In->IsStart = 0;
    bench.JumpClock(AAhead / 44100);
    ClearLogLines();
    bench.Feed(5 * 44100, 1024);
    ALogged = LogContains(AAhead > 0 ? "compensation:2 in:44100" : "compensation:-2 in:44100");
    bench.Flush();
    return TotalDuration(bench.Close());
  };
  bool logged = false;
  const int64_t steady = written(0, logged);
  EXPECT_FALSE(logged);
  EXPECT_NEAR(static_cast<double>(steady), 5 * 44100, 4);
  const int64_t stretched = written(4000, logged);
  EXPECT_TRUE(logged);
  const int64_t squeezed = written(-4000, logged);
  EXPECT_TRUE(logged);
  // 215 calls of 1024 samples, each stretching by 2 / 44100: about 10.
  EXPECT_GE(stretched - steady, 5);
  EXPECT_LE(stretched - steady, 14);
  EXPECT_LE(squeezed - steady, -5);
  EXPECT_GE(squeezed - steady, -14);
}

// ---- Encoder frames ----

TEST(AudioPathFrames, FixedFrameSizeGetsWholeFramesAndTheFlushPadsTheRest) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.Encode("mp2", AV_SAMPLE_FMT_S16, 44100, 2, "framecrc", 192000));
  ASSERT_EQ(bench.Out->Encoder->frame_size, 1152);
  bench.Feed(3000, 3000);
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 3000 - 2 * 1152) << "the rest waits for more";
  EXPECT_EQ(bench.Out->OutputTicks, 2 * 1152);
  const int64_t afterFeed = bench.Engine().AudioBytes();
  EXPECT_GT(afterFeed, 0);

  bench.Flush();
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 0);
  EXPECT_EQ(bench.Out->OutputTicks, 3 * 1152) << "the last frame is padded";
  const int64_t afterFlush = bench.Engine().AudioBytes();
  EXPECT_GT(afterFlush, afterFeed);
  bench.Flush();  // a second flush does nothing
  EXPECT_EQ(bench.Engine().AudioBytes(), afterFlush);

  // The encoder's packets come its declared delay earlier than its frames.
  const int64_t delay = bench.Out->Encoder->initial_padding;
  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 3u);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].Pts, static_cast<int64_t>(i) * 1152 - delay);
    EXPECT_EQ(packets[i].Duration, 1152);
  }
  EXPECT_EQ(bench.Out->WrittenEnd, 3 * 1152 - delay);
}

TEST(AudioPathFrames, SmallLastFrameEncodersGetAShortLastFrame) {
  TAudioBench bench(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.Encode("aac", AV_SAMPLE_FMT_FLTP, 44100, 2, "framecrc", 128000));
  ASSERT_TRUE(bench.Out->Encoder->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
  bench.Feed(1500, 1500);
  EXPECT_EQ(bench.Out->OutputTicks, 1024);
  bench.Flush();
  EXPECT_EQ(bench.Out->OutputTicks, 1500);
  const std::vector<TWrittenPacket> packets = bench.Close();
  // Priming, two frames and what the encoder's delay held back: all drained.
  EXPECT_GE(packets.size(), 2u);
  EXPECT_EQ(bench.Out->WrittenEnd, packets.back().Pts + packets.back().Duration);
}

TEST(AudioPathFrames, AnyFrameSizeEncodersGetChunksOfAtMost4096Samples) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.Pcm(44100, 2, "framecrc"));
  bench.Feed(20000, 20000);
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 0) << "nothing waits";
  EXPECT_EQ(bench.Out->OutputTicks, 20000);
  EXPECT_EQ(bench.Engine().AudioBytes(), 20000 * 4);
  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 5u);
  int64_t pts = 0;
  for (const TWrittenPacket& packet : packets) {
    EXPECT_LE(packet.Duration, 4096);
    EXPECT_EQ(packet.Size, packet.Duration * 4);
    EXPECT_EQ(packet.Pts, pts);
    pts += packet.Duration;
  }
  EXPECT_EQ(pts, 20000);
}

TEST(AudioPathFrames, FlushingAnEncoderThatNeverGotAFrameIsHarmless) {
  TAudioBench bench(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.Encode("libmp3lame", AV_SAMPLE_FMT_FLTP, 44100, 2, "framecrc", 128000));
  EXPECT_NO_THROW(bench.Flush());
  EXPECT_NO_THROW(bench.Flush());
  EXPECT_EQ(bench.Engine().AudioBytes(), 0);
  EXPECT_TRUE(bench.Close().empty());

  // A stream copy has nothing to flush.
  TAudioBench copy(AV_SAMPLE_FMT_FLTP, 44100, 2);
  copy.Out->EncodingNeeded = 0;
  EXPECT_NO_THROW(copy.Flush());
}

// ---- The engine's AMR-NB encoder ----

TEST(AudioPathAmrNb, OneSecondOf8kHzMonoIsFiftyFrames) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 8000, 1);
  ASSERT_TRUE(bench.EncodeAmrNb("framecrc"));
  bench.Feed(8000, 1000);
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 0);
  bench.Flush();
  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 50u);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].Size, 20);  // MR74: a header byte and 19 bytes of speech bits
    EXPECT_EQ(packets[i].Duration, 160);
    EXPECT_EQ(packets[i].Pts, static_cast<int64_t>(i) * 160);
  }
  EXPECT_EQ(bench.Engine().AudioBytes(), 50 * 20);
  EXPECT_EQ(bench.Out->OutputTicks, 8000);
}

TEST(AudioPathAmrNb, ResampledStereoFloatInputAndAPaddedLastFrame) {
  TAudioBench bench(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.EncodeAmrNb("amr"));
  bench.Out->AudioResample = 1;  // the rates differ
  bench.Feed(44100, 1024);
  bench.Flush();
  bench.Flush();
  bench.Close();
  const TDecodedStream audio = DecodedAudio(bench);
  EXPECT_EQ(audio.Packets, 50);
  EXPECT_EQ(audio.PacketBytes, 50 * 20);
  EXPECT_EQ(audio.DecodeErrors, 0);
  EXPECT_NEAR(audio.ToneHz, 440, 5);

  // 100 samples more: a 51st frame, padded with silence.
  TAudioBench longer(AV_SAMPLE_FMT_S16, 8000, 1);
  ASSERT_TRUE(longer.EncodeAmrNb("framecrc"));
  longer.Feed(8100, 1000);
  EXPECT_EQ(lib::av_audio_fifo_size(longer.Out->Fifo), 100);
  longer.Flush();
  longer.Flush();
  EXPECT_EQ(longer.Close().size(), 51u);
}

// ---- Bitstream filters and the write ----

namespace {

// A chain of the named filters, initialised for the bench's stream.
void InitFilters(TAudioBench& ABench, TBitstreamFilterChain& AChain, const std::vector<const char*>& ANames) {
  for (const char* name : ANames) {
    const AVBitStreamFilter* filter = lib::av_bsf_get_by_name(name);
    ASSERT_NE(filter, nullptr) << name;
    AVBSFContext* context = nullptr;
    ASSERT_EQ(lib::av_bsf_alloc(filter, &context), 0);
    AChain.Filters.push_back(context);
    lib::avcodec_parameters_copy(context->par_in, ABench.Out->Stream->codecpar);
    context->time_base_in = ABench.Out->Stream->time_base;
    ASSERT_EQ(lib::av_bsf_init(context), 0) << name;
  }
  ABench.Out->BitstreamFilters = &AChain;
  ABench.Out->FiltersReady = true;
}

// A packet of ASize zero bytes (no ADTS header) at APts (decoding time
// ADts, or APts), lasting ADuration.
AVPacket* JunkPacket(int ASize, int64_t APts, int64_t ADts = AV_NOPTS_VALUE, int64_t ADuration = 1024) {
  AVPacket* packet = lib::av_packet_alloc();
  lib::av_new_packet(packet, ASize);
  std::memset(packet->data, 0, static_cast<size_t>(ASize));
  packet->pts = APts;
  packet->dts = ADts == AV_NOPTS_VALUE ? APts : ADts;
  packet->duration = ADuration;
  packet->stream_index = 0;
  return packet;
}

}  // namespace

TEST(AudioPathWrite, AFailingFilterIsLoggedAndThePacketGoesOnUnfiltered) {
  TAudioBench bench(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.Encode("aac", AV_SAMPLE_FMT_FLTP, 44100, 2, "framecrc", 128000));
  // Without a decoder configuration the filter needs ADTS headers; the
  // filter after it passes everything.
  lib::av_freep(&bench.Out->Stream->codecpar->extradata);
  bench.Out->Stream->codecpar->extradata_size = 0;
  TBitstreamFilterChain chain;
  InitFilters(bench, chain, {"aac_adtstoasc", "null"});
  auto text = [](const char* ACodec) {
    return std::string("aac_adtstoasc failed for stream 0, codec ") + ACodec +
           ": Invalid data found when processing input";
  };
  ClearLogLines();
  AVPacket* packet = JunkPacket(100, 0);
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, packet);
  EXPECT_EQ(packet->data, nullptr) << "the packet is consumed";
  EXPECT_TRUE(Logged(llError, text("aac")));

  // A stream copy names no codec.
  bench.Out->EncodingNeeded = 0;
  ClearLogLines();
  AVPacket* second = JunkPacket(60, 1024);
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, second);
  EXPECT_TRUE(LogContains(text("copy")));

  // With exit-on-error the failure ends the run; the packet is still consumed.
  bench.Engine().SetOption("xerror", "1");
  AVPacket* third = JunkPacket(70, 2048);
  EXPECT_EQ(RaisedBy([&] { bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, third); }), text("copy"));
  EXPECT_EQ(third->data, nullptr);
  lib::av_packet_free(&packet);
  lib::av_packet_free(&second);
  lib::av_packet_free(&third);

  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].Size, 100);
  EXPECT_EQ(packets[1].Size, 60);
}

TEST(AudioPathWrite, WrittenEndIsTheFurthestEndAndAWriteFailureRaises) {
  TAudioBench bench(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.Pcm(44100, 2, "framecrc"));
  EXPECT_EQ(bench.Out->WrittenEnd, AV_NOPTS_VALUE);
  auto write = [&](AVPacket* APacket) {
    bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, APacket);
    lib::av_packet_free(&APacket);
  };
  AVPacket* packet = JunkPacket(16, 0);
  packet->stream_index = 7;  // the write sets the stream's own index
  write(packet);
  EXPECT_EQ(bench.Out->WrittenEnd, 1024);
  write(JunkPacket(16, AV_NOPTS_VALUE, 2048));  // no presentation time: the decoding time counts
  EXPECT_EQ(bench.Out->WrittenEnd, 3072);
  write(JunkPacket(16, 2500, 2500, 100));  // an earlier end leaves the furthest one
  EXPECT_EQ(bench.Out->WrittenEnd, 3072);

  // The muxer refuses a presentation time before the decoding time.
  AVPacket* refused = JunkPacket(16, 4000, 5000);
  EXPECT_EQ(RaisedBy([&] { bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, refused); }),
            "av_interleaved_write_frame(): Invalid argument");
  EXPECT_EQ(refused->data, nullptr);
  EXPECT_EQ(bench.Out->WrittenEnd, 5024) << "taken before the write";
  lib::av_packet_free(&refused);

  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[1].Dts, 2048);
}
