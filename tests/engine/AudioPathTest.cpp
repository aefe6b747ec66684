// The audio output path on its own: one input stream described by a
// decoder context, one real encoder (or the engine's AMR-NB encoder) and a
// real output, fed with synthetic tones the way the decoding step feeds it
// (one frame at a time, the input clock advanced by each frame). The
// "framecrc" muxer writes one line per packet (times, duration, size), so
// the packets themselves can be checked; real containers are decoded again
// to check what a player would hear.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
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
#include "tests/support/RecordedLog.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

using transcodetest::DecodeAll;
using transcodetest::TDecodedFile;
using transcodetest::TTestFolder;

// One line of the "framecrc" muxer: a written packet.
struct TWrittenPacket {
  int64_t Dts = 0;
  int64_t Pts = 0;
  int64_t Duration = 0;
  int Size = 0;
};

int64_t TotalDuration(const std::vector<TWrittenPacket>& APackets) {
  int64_t total = 0;
  for (const TWrittenPacket& packet : APackets) total += packet.Duration;
  return total;
}

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
      const int plane = planar ? c : 0;
      const int index = planar ? i : i * AChannels + c;
      uint8_t* data = AFrame->extended_data[plane];
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

// One input stream feeding one encoding output stream of an engine
// instance, with an output file of one stream.
class TAudioBench {
public:
  TAudioBench() {
    FEngine.FBuffers = std::make_unique<TPipelineBuffers>();
    FRun.InputStreams.push_back(std::make_unique<TInputStreamState>());
    FRun.OutputStreams.push_back(std::make_unique<TOutputStreamState>());
    In = FRun.InputStreams[0].get();
    Out = FRun.OutputStreams[0].get();
    In->DecodingNeeded = 1;
    In->Discard = 0;
    In->NextPts = 0;
    Out->EncodingNeeded = 1;
    Out->SyncInput = In;
    FFrame = lib::av_frame_alloc();
  }
  ~TAudioBench() {
    FEngine.FOutputFiles[0] = nullptr;
    if (FMuxer) {
      if (FMuxer->pb && !(FMuxer->oformat->flags & AVFMT_NOFILE)) lib::avio_closep(&FMuxer->pb);
      lib::avformat_free_context(FMuxer);
    }
    if (Out->Fifo) lib::av_audio_fifo_free(Out->Fifo);
    if (Out->Resample) lib::swr_free(&Out->Resample);
    if (Out->SampleConverter) lib::swr_free(&Out->SampleConverter);
    lib::avcodec_free_context(&FEncoder);
    lib::avcodec_free_context(&FDecoder);
    lib::av_frame_free(&FFrame);
  }
  TAudioBench(const TAudioBench&) = delete;
  TAudioBench& operator=(const TAudioBench&) = delete;

  TCustomFFmpeg& Engine() { return FEngine; }

  // What the decoder delivers (its context is only read).
  void DescribeDecoder(AVSampleFormat AFormat, int ARate, int AChannels) {
    FDecoder = lib::avcodec_alloc_context3(nullptr);
    FDecoder->codec_type = AVMEDIA_TYPE_AUDIO;
    FDecoder->sample_fmt = AFormat;
    FDecoder->sample_rate = ARate;
    lib::av_channel_layout_default(&FDecoder->ch_layout, AChannels);
    In->Decoder = FDecoder;
  }

  // An opened libavcodec encoder, as the set-up leaves it.
  bool OpenEncoder(const char* AName, AVSampleFormat AFormat, int ARate, int AChannels, int64_t ABitRate = 0) {
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
    return true;
  }

  // The engine's own AMR-NB encoder: the context only holds its parameters.
  void UseAmrNb(int ABitRate) {
    FEncoder = lib::avcodec_alloc_context3(nullptr);
    FEncoder->codec_type = AVMEDIA_TYPE_AUDIO;
    FEncoder->codec_id = AV_CODEC_ID_AMR_NB;
    FEncoder->sample_fmt = AV_SAMPLE_FMT_S16;
    FEncoder->sample_rate = TAmrNbEncoder::kSampleRate;
    lib::av_channel_layout_default(&FEncoder->ch_layout, 1);
    FEncoder->frame_size = TAmrNbEncoder::kFrameSamples;
    FEncoder->time_base = AVRational{1, TAmrNbEncoder::kSampleRate};
    FEncoder->bit_rate = ABitRate;
    FAmrNb.Open(TAmrNbEncoder::kSampleRate, 1, ABitRate);
    Out->Encoder = FEncoder;
    Out->AmrNb = &FAmrNb;
  }

  // The output: AMuxer into APath, its one stream described by the encoder.
  bool OpenOutput(const char* AMuxer, const std::string& APath) {
    FPath = APath;
    if (lib::avformat_alloc_output_context2(&FMuxer, nullptr, AMuxer, APath.c_str()) < 0 || !FMuxer) return false;
    AVStream* stream = lib::avformat_new_stream(FMuxer, nullptr);
    if (!stream) return false;
    lib::avcodec_parameters_from_context(stream->codecpar, FEncoder);
    stream->time_base = FEncoder->time_base;
    if (!(FMuxer->oformat->flags & AVFMT_NOFILE) && lib::avio_open(&FMuxer->pb, APath.c_str(), AVIO_FLAG_WRITE) < 0)
      return false;
    if (lib::avformat_write_header(FMuxer, nullptr) < 0) return false;
    Out->Stream = stream;
    Out->Index = 0;
    Out->FileIndex = 0;
    FEngine.FOutputFiles[0] = FMuxer;
    return true;
  }
  AVFormatContext* Muxer() { return FMuxer; }

  // Feeds ASamples samples of a tone in frames of AFrameSamples in the
  // decoder's format, advancing the input clock like the decoding step.
  // With ASilentLead, the first frame's first ASilentLead samples are
  // silence (16-bit interleaved input only).
  void Feed(int ASamples, int AFrameSamples, double AHz = 440, int ASilentLead = 0) {
    for (int done = 0; done < ASamples; done += AFrameSamples) {
      const int count = std::min(AFrameSamples, ASamples - done);
      MakeTone(FFrame, FDecoder->sample_fmt, FDecoder->sample_rate, FDecoder->ch_layout.nb_channels, count,
               FToneSample, AHz);
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

  // Writes the trailer and closes the file; for "framecrc" the packets.
  std::vector<TWrittenPacket> Close() {
    std::vector<TWrittenPacket> packets;
    EXPECT_EQ(lib::av_write_trailer(FMuxer), 0);
    if (FMuxer->pb) lib::avio_closep(&FMuxer->pb);
    if (std::strcmp(FMuxer->oformat->name, "framecrc") != 0) return packets;
    std::ifstream file(FPath);
    std::string line;
    while (std::getline(file, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string stream, dts, pts, duration, size;
      std::getline(fields, stream, ',');
      std::getline(fields, dts, ',');
      std::getline(fields, pts, ',');
      std::getline(fields, duration, ',');
      std::getline(fields, size, ',');
      packets.push_back({std::stoll(dts), std::stoll(pts), std::stoll(duration), std::stoi(size)});
    }
    return packets;
  }

  TInputStreamState* In = nullptr;
  TOutputStreamState* Out = nullptr;

private:
  TCustomFFmpeg FEngine;
  TTranscodeRun FRun;
  AVCodecContext* FDecoder = nullptr;
  AVCodecContext* FEncoder = nullptr;
  TAmrNbEncoder FAmrNb;
  AVFormatContext* FMuxer = nullptr;
  AVFrame* FFrame = nullptr;
  std::string FPath;
  int64_t FToneSample = 0;
  int64_t FFed = 0;
};

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
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 22050, 2));
  ASSERT_TRUE(bench.OpenOutput("wav", folder / "half.wav"));
  bench.Out->AudioResample = 1;  // the set-up's choice: the rates differ

  bench.Feed(1152, 1152, 1000);
  SwrContext* resampler = bench.Out->Resample;
  ASSERT_NE(resampler, nullptr);
  bench.Feed(44100 - 1152, 1152, 1000);
  EXPECT_EQ(bench.Out->Resample, resampler) << "the resampler is created once";
  EXPECT_EQ(bench.Out->SampleConverter, nullptr);
  bench.Flush();
  bench.Close();

  const TDecodedFile file = DecodeAll(folder / "half.wav");
  ASSERT_TRUE(file.Opened) << file.Error;
  ASSERT_NE(file.Audio(), nullptr);
  EXPECT_EQ(file.Audio()->SampleRate, 22050);
  EXPECT_EQ(file.Audio()->Channels, 2);
  EXPECT_NEAR(static_cast<double>(file.Audio()->Samples), 22050, 4);
  EXPECT_NEAR(file.Audio()->ToneHz, 1000, 5);
  EXPECT_NEAR(file.Audio()->Rms, 0.5 / std::sqrt(2.0), 0.03);
}

TEST(AudioPathConversion, StereoToMonoAtTheSameRateUsesTheResampler) {
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 1));
  ASSERT_TRUE(bench.OpenOutput("wav", folder / "mono.wav"));
  ASSERT_EQ(bench.Out->AudioResample, 0);  // same rate, no stretching: the set-up left it off

  bench.Feed(44100, 1024);
  EXPECT_EQ(bench.Out->AudioResample, 1);
  EXPECT_NE(bench.Out->Resample, nullptr);
  EXPECT_EQ(bench.Out->SampleConverter, nullptr);
  bench.Flush();
  bench.Close();

  const TDecodedFile file = DecodeAll(folder / "mono.wav");
  ASSERT_TRUE(file.Opened) << file.Error;
  ASSERT_NE(file.Audio(), nullptr);
  EXPECT_EQ(file.Audio()->Channels, 1);
  EXPECT_NEAR(static_cast<double>(file.Audio()->Samples), 44100, 4);
  EXPECT_NEAR(file.Audio()->ToneHz, 440, 3);
  EXPECT_GT(file.Audio()->Rms, 0.2);  // the channels are mixed, not cancelled
}

TEST(AudioPathConversion, OnlyTheFormatChangesThroughOneConverterUntilTheDecoderFormatChanges) {
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 48000, 2);
  ASSERT_TRUE(bench.OpenEncoder("ac3", AV_SAMPLE_FMT_FLTP, 48000, 2, 192000));
  ASSERT_TRUE(bench.OpenOutput("ac3", folder / "tone.ac3"));

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

  const TDecodedFile file = DecodeAll(folder / "tone.ac3");
  ASSERT_TRUE(file.Opened) << file.Error;
  ASSERT_NE(file.Audio(), nullptr);
  EXPECT_EQ(file.Audio()->DecodeErrors, 0);
  EXPECT_NEAR(file.Audio()->Seconds(), 1.0, 0.04);  // the last frame is padded to 1536 samples
  EXPECT_NEAR(file.Audio()->ToneHz, 440, 3);
  EXPECT_NEAR(file.Audio()->Rms, 0.5 / std::sqrt(2.0), 0.05);
}

TEST(AudioPathConversion, ADecoderFormatChangeRebuildsTheResampler) {
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 22050, 2));
  ASSERT_TRUE(bench.OpenOutput("wav", folder / "change.wav"));
  bench.Out->AudioResample = 1;
  bench.Feed(22050, 1024);
  EXPECT_EQ(InputSampleFormat(bench.Out->Resample), AV_SAMPLE_FMT_S16);
  bench.In->Decoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  bench.Feed(22050, 1024);
  ASSERT_NE(bench.Out->Resample, nullptr);
  EXPECT_EQ(InputSampleFormat(bench.Out->Resample), AV_SAMPLE_FMT_FLTP);
  bench.Flush();
  bench.Close();

  const TDecodedFile file = DecodeAll(folder / "change.wav");
  ASSERT_TRUE(file.Opened) << file.Error;
  ASSERT_NE(file.Audio(), nullptr);
  EXPECT_NEAR(static_cast<double>(file.Audio()->Samples), 22050, 20);
  EXPECT_NEAR(file.Audio()->ToneHz, 440, 3);  // float samples read as floats, not as 16-bit pairs
  EXPECT_NEAR(file.Audio()->Rms, 0.5 / std::sqrt(2.0), 0.03);
}

// ---- Drift against the input clock ----

// Two 8192-sample frames, a jump of the input clock by AJump output samples
// (44100 Hz), two more frames; the samples written beyond the nominal count.
struct TDriftCase {
  const char* Name;
  int DecoderRate;
  bool IsStartAtJump;
  double Jump;
  double Extra;  // expected samples beyond the nominal count
};

TEST(AudioPathDrift, DropOrInsertOnlyAboveTheThresholdOrAtTheStart) {
  const TDriftCase cases[] = {
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
  for (const TDriftCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTestFolder folder;
    TAudioBench bench;
    bench.Engine().FAudioSyncMethod = 1;
    bench.Engine().FAudioDriftThreshold = 0.1f;  // 4410 samples at 44100 Hz
    bench.Engine().FVerbose = 3;
    bench.DescribeDecoder(AV_SAMPLE_FMT_S16, c.DecoderRate, 2);
    ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
    ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "drift.crc"));
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
  TTestFolder folder;
  TAudioBench bench;
  bench.Engine().FAudioSyncMethod = 1;
  bench.Engine().FVerbose = 2;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "quiet.crc"));
  ClearLogLines();
  bench.JumpClock(0.5);
  bench.Feed(8192, 8192);
  bench.Flush();
  EXPECT_EQ(TotalDuration(bench.Close()), 8192 + 22050);
  EXPECT_FALSE(LogContains("audio samples"));
}

TEST(AudioPathDrift, ALateStartGetsSilenceFirstUnlessTimestampsFollowTheInput) {
  {
    SCOPED_TRACE("method 1: silence");
    TTestFolder folder;
    TAudioBench bench;
    bench.Engine().FAudioSyncMethod = 1;
    bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
    ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
    ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "late.crc"));
    bench.JumpClock(0.2);  // the first frame's Pts is 0.2 s
    bench.Feed(1024, 1024);
    EXPECT_EQ(bench.In->IsStart, 0);
    bench.Feed(44100 - 1024, 1024);
    bench.Flush();
    const std::vector<TWrittenPacket> packets = bench.Close();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].Pts, 0);
    EXPECT_NEAR(static_cast<double>(TotalDuration(packets)), 44100 + 8820, 1);
  }
  {
    SCOPED_TRACE("method 0: the timestamps start late");
    TTestFolder folder;
    TAudioBench bench;
    bench.Engine().FAudioSyncMethod = 0;
    bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
    ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
    ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "late0.crc"));
    bench.JumpClock(0.2);
    bench.Feed(44100, 1024);
    bench.Flush();
    const std::vector<TWrittenPacket> packets = bench.Close();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].Pts, 8820);
    EXPECT_EQ(TotalDuration(packets), 44100);
    EXPECT_EQ(bench.In->IsStart, 1);
  }
}

TEST(AudioPathDrift, SilenceGoesBeforeTheFrameAndDroppedSamplesComeOffItsStart) {
  {
    SCOPED_TRACE("a late start");
    TTestFolder folder;
    TAudioBench bench;
    bench.Engine().FAudioSyncMethod = 1;
    bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 1);
    ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 1));
    ASSERT_TRUE(bench.OpenOutput("wav", folder / "late.wav"));
    bench.JumpClock(0.2);
    bench.Feed(8192, 8192);
    bench.Flush();
    bench.Close();
    const std::vector<int16_t> samples = ReadWavSamples(folder / "late.wav");
    ASSERT_NEAR(static_cast<double>(samples.size()), 8820 + 8192, 1);
    EXPECT_GE(LongestQuietRun(samples, 0, 8819), 8819u) << "silence first";
    EXPECT_LE(LongestQuietRun(samples, 8822, samples.size()), 2u) << "then the tone, whole";
  }
  {
    SCOPED_TRACE("an overlap");
    TTestFolder folder;
    TAudioBench bench;
    bench.Engine().FAudioSyncMethod = 1;
    bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 1);
    ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 1));
    ASSERT_TRUE(bench.OpenOutput("wav", folder / "overlap.wav"));
    bench.Feed(8192, 8192);
    bench.In->IsStart = 0;
    // The next frame repeats the last 5000 samples' time; those are silent here.
    bench.JumpClock(-5000.0 / 44100);
    bench.Feed(8192, 8192, 440, 5000);
    bench.Flush();
    bench.Close();
    const std::vector<int16_t> samples = ReadWavSamples(folder / "overlap.wav");
    ASSERT_NEAR(static_cast<double>(samples.size()), 8192 + 3192, 2);
    EXPECT_LE(LongestQuietRun(samples, 0, samples.size()), 2u) << "the repeated (silent) start was dropped";
  }
}

TEST(AudioPathDrift, MethodTwoStretchesByAtMostTwoSamplesPerCall) {
  // Five seconds in 1024-sample frames, the input clock 4000 samples ahead
  // of (or behind) the output all along: below the threshold, so only the
  // resampler's compensation acts, 2 samples per 44100 for each call.
  auto written = [](double AAhead, bool& ALogged) {
    TTestFolder folder;
    TAudioBench bench;
    bench.Engine().FAudioSyncMethod = 2;
    bench.Engine().FVerbose = 3;
    bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
    EXPECT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
    EXPECT_TRUE(bench.OpenOutput("framecrc", folder / "stretch.crc"));
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
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("mp2", AV_SAMPLE_FMT_S16, 44100, 2, 192000));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "mp2.crc"));
  ASSERT_EQ(bench.Out->Encoder->frame_size, 1152);

  bench.Feed(3000, 3000);
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 3000 - 2 * 1152) << "the rest waits for more";
  EXPECT_EQ(bench.Out->OutputTicks, 2 * 1152);
  const int64_t afterFeed = bench.Engine().FAudioSize;
  EXPECT_GT(afterFeed, 0);

  bench.Flush();
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 0);
  EXPECT_EQ(bench.Out->OutputTicks, 3 * 1152) << "the last frame is padded";
  const int64_t afterFlush = bench.Engine().FAudioSize;
  EXPECT_GT(afterFlush, afterFeed);
  bench.Flush();  // a second flush does nothing
  EXPECT_EQ(bench.Engine().FAudioSize, afterFlush);

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
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("aac", AV_SAMPLE_FMT_FLTP, 44100, 2, 128000));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "aac.crc"));
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
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "pcm.crc"));
  bench.Feed(20000, 20000);
  EXPECT_EQ(lib::av_audio_fifo_size(bench.Out->Fifo), 0) << "nothing waits";
  EXPECT_EQ(bench.Out->OutputTicks, 20000);
  EXPECT_EQ(bench.Engine().FAudioSize, 20000 * 4);
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
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("libmp3lame", AV_SAMPLE_FMT_FLTP, 44100, 2, 128000));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "empty.crc"));
  EXPECT_NO_THROW(bench.Flush());
  EXPECT_NO_THROW(bench.Flush());
  EXPECT_EQ(bench.Engine().FAudioSize, 0);
  EXPECT_TRUE(bench.Close().empty());

  // A stream copy has nothing to flush.
  TAudioBench copy;
  copy.Out->EncodingNeeded = 0;
  EXPECT_NO_THROW(copy.Flush());
}

// ---- The engine's AMR-NB encoder ----

TEST(AudioPathAmrNb, OneSecondOf8kHzMonoIsFiftyFrames) {
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 8000, 1);
  bench.UseAmrNb(7400);
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "amr.crc"));
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
  EXPECT_EQ(bench.Engine().FAudioSize, 50 * 20);
  EXPECT_EQ(bench.Out->OutputTicks, 8000);
}

TEST(AudioPathAmrNb, ResampledStereoFloatInputAndAPaddedLastFrame) {
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_FLTP, 44100, 2);
  bench.UseAmrNb(7400);
  ASSERT_TRUE(bench.OpenOutput("amr", folder / "tone.amr"));
  bench.Out->AudioResample = 1;  // the rates differ
  bench.Feed(44100, 1024);
  bench.Flush();
  bench.Flush();
  bench.Close();

  const TDecodedFile file = DecodeAll(folder / "tone.amr");
  ASSERT_TRUE(file.Opened) << file.Error;
  ASSERT_NE(file.Audio(), nullptr);
  EXPECT_EQ(file.Audio()->Packets, 50);
  EXPECT_EQ(file.Audio()->PacketBytes, 50 * 20);
  EXPECT_EQ(file.Audio()->DecodeErrors, 0);
  EXPECT_NEAR(file.Audio()->ToneHz, 440, 5);

  // 100 samples more: a 51st frame, padded with silence.
  TAudioBench longer;
  longer.DescribeDecoder(AV_SAMPLE_FMT_S16, 8000, 1);
  longer.UseAmrNb(7400);
  ASSERT_TRUE(longer.OpenOutput("framecrc", folder / "longer.crc"));
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

// A packet of ASize zero bytes (no ADTS header) at APts, lasting 1024.
AVPacket* JunkPacket(int ASize, int64_t APts) {
  AVPacket* packet = lib::av_packet_alloc();
  lib::av_new_packet(packet, ASize);
  std::memset(packet->data, 0, static_cast<size_t>(ASize));
  packet->pts = packet->dts = APts;
  packet->duration = 1024;
  packet->stream_index = 0;
  return packet;
}

}  // namespace

TEST(AudioPathWrite, AFailingFilterIsLoggedAndThePacketGoesOnUnfiltered) {
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_FLTP, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("aac", AV_SAMPLE_FMT_FLTP, 44100, 2, 128000));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "bsf.crc"));
  // Without a decoder configuration the filter needs ADTS headers; the
  // filter after it passes everything.
  lib::av_freep(&bench.Out->Stream->codecpar->extradata);
  bench.Out->Stream->codecpar->extradata_size = 0;
  TBitstreamFilterChain chain;
  InitFilters(bench, chain, {"aac_adtstoasc", "null"});
  ClearLogLines();

  AVPacket* packet = JunkPacket(100, 0);
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, packet);
  EXPECT_EQ(packet->data, nullptr) << "the packet is consumed";
  EXPECT_TRUE(LogContains("aac_adtstoasc failed for stream 0, codec aac: Invalid data found when processing input"));
  bool atError = false;
  for (const TRecordedLine& line : LogLines())
    if (line.Text.find("aac_adtstoasc failed") != std::string::npos) atError = line.Level == llError;
  EXPECT_TRUE(atError);

  // A stream copy names no codec.
  bench.Out->EncodingNeeded = 0;
  ClearLogLines();
  AVPacket* second = JunkPacket(60, 1024);
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, second);
  EXPECT_TRUE(LogContains("aac_adtstoasc failed for stream 0, codec copy: Invalid data found when processing input"));

  // With exit-on-error the failure ends the run; the packet is still consumed.
  bench.Engine().FExitOnError = true;
  AVPacket* third = JunkPacket(70, 2048);
  try {
    bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, third);
    ADD_FAILURE() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "aac_adtstoasc failed for stream 0, codec copy: Invalid data found when processing input");
  }
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
  TTestFolder folder;
  TAudioBench bench;
  bench.DescribeDecoder(AV_SAMPLE_FMT_S16, 44100, 2);
  ASSERT_TRUE(bench.OpenEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2));
  ASSERT_TRUE(bench.OpenOutput("framecrc", folder / "end.crc"));
  EXPECT_EQ(bench.Out->WrittenEnd, AV_NOPTS_VALUE);

  AVPacket* packet = JunkPacket(16, 0);
  packet->stream_index = 7;  // the write sets the stream's own index
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, packet);
  EXPECT_EQ(bench.Out->WrittenEnd, 1024);

  // No presentation time: the decoding time counts.
  lib::av_new_packet(packet, 16);
  packet->pts = AV_NOPTS_VALUE;
  packet->dts = 2048;
  packet->duration = 1024;
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, packet);
  EXPECT_EQ(bench.Out->WrittenEnd, 3072);

  // An earlier end leaves the furthest one.
  lib::av_new_packet(packet, 16);
  packet->pts = 2500;
  packet->dts = 2500;
  packet->duration = 100;
  bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, packet);
  EXPECT_EQ(bench.Out->WrittenEnd, 3072);

  // The muxer refuses a presentation time before the decoding time.
  lib::av_new_packet(packet, 16);
  packet->pts = 4000;
  packet->dts = 5000;
  packet->duration = 1024;
  try {
    bench.Engine().WriteOutputPacket(bench.Muxer(), *bench.Out, packet);
    ADD_FAILURE() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "av_interleaved_write_frame(): Invalid argument");
  }
  EXPECT_EQ(packet->data, nullptr);
  EXPECT_EQ(bench.Out->WrittenEnd, 5024) << "taken before the write";
  lib::av_packet_free(&packet);

  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[1].Dts, 2048);
}
