// Whole conversions, from opened files to a finished output that is opened
// again and decoded to the end: audio encoders and containers, rate,
// channel and sample-format changes, stream copies, the limits of a run,
// joined inputs, the choice of the source of each output stream and the
// errors of the set-up, progress reports and stopping a running conversion.
//
// Durations. An encoder works in whole frames: the last frame is padded, so
// the output may be up to one frame longer than the input; encoders with
// start-up delay also emit that many priming samples first, which a decoder
// only removes when the container records them. The tolerance of a duration
// is therefore one frame plus the encoder's delay (samples at the output
// rate), plus a little for the resampler when the rate or the channel count
// changes:
//   MP3 (libmp3lame)  frame 1152, delay 1105 (LAME's 576 + the 529 of the
//                                  decoder's synthesis filter)
//   AAC               frame 1024, delay 1024
//   MP2               frame 1152, delay 0
//   AC-3              frame 1536, delay 256 (one block)
//   AMR-NB            frame 160,  delay 0
//   PCM               frame 1,    delay 0
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/FFmpeg.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "tests/engine/TranscodeTestSupport.h"

using namespace transcodetest;

namespace {

// The generated sound: a 1000 Hz sine at half of full scale.
constexpr double kToneRms = 0.5 / 1.4142135623730951;

// Resampler allowance, in output samples.
constexpr int kResamplerSlack = 64;

std::string AudioClip(const std::string& AContainer, double ADuration, double AToneHz = 1000.0) {
  testmedia::ClipSpec clip;
  clip.container = AContainer;
  clip.durationSec = ADuration;
  clip.video = false;
  clip.toneHz = AToneHz;
  return testmedia::CachedClip(clip);
}

std::string Wav(double ADuration = 1.0) { return AudioClip("wav", ADuration); }
std::string Mp3(double ADuration = 1.0) { return AudioClip("mp3", ADuration); }
// AAC in MP4, no picture.
std::string Aac(double ADuration = 1.0) { return AudioClip("mp4", ADuration); }

// 320x240 at 25 fps with sound: mp4 is H.264 + AAC, avi MPEG-4 + MP3, mkv
// H.264 + Vorbis.
std::string AudioVideo(const std::string& AContainer, double ADuration = 1.0) {
  testmedia::ClipSpec clip;
  clip.container = AContainer;
  clip.durationSec = ADuration;
  return testmedia::CachedClip(clip);
}

bool Exists(const std::string& APath) { return std::filesystem::exists(APath); }

// Expects a run that failed with AMessage, which is also in the log.
void ExpectFailure(const TConversion& AConversion, const std::string& AMessage) {
  EXPECT_EQ(AConversion.Terminations(), 1);
  EXPECT_FALSE(AConversion.Finished());
  EXPECT_TRUE(AConversion.HasException());
  EXPECT_EQ(AConversion.ExceptionMessage(), AMessage);
  EXPECT_TRUE(Logged(llQuiet, AMessage)) << "the message is logged at llQuiet";
}

// Expects one healthy audio stream (and nothing else) in a decoded file;
// the stream's summary, when there is one.
std::optional<TDecodedStream> ExpectOneAudioStream(const TDecodedFile& AFile, AVCodecID ACodec) {
  EXPECT_TRUE(AFile.ProbeLoaded) << AFile.ProbeError;
  EXPECT_EQ(AFile.ProbeAudioStreams, 1);
  EXPECT_EQ(AFile.ProbeVideoStreams, 0);
  EXPECT_TRUE(AFile.Opened) << AFile.Error;
  EXPECT_EQ(AFile.Streams.size(), 1u);
  const TDecodedStream* audio = AFile.Audio();
  if (!audio) {
    ADD_FAILURE() << "no audio stream";
    return std::nullopt;
  }
  EXPECT_EQ(audio->CodecId, ACodec);
  EXPECT_TRUE(audio->DecoderOpened);
  EXPECT_EQ(audio->DecodeErrors, 0);
  EXPECT_EQ(audio->FormatChanges, 0);
  EXPECT_GT(audio->Samples, 0);
  return *audio;
}

// Converts ASource into AFile and expects one healthy audio stream of ACodec.
std::optional<TDecodedStream> ConvertAudio(const std::string& ASource, const TOptionList& AOptions,
                                           const std::string& AFile, AVCodecID ACodec,
                                           const TOptionList& AInputOptions = {}) {
  TTempFolder dir;
  return ExpectOneAudioStream(Convert(dir, ASource, AOptions, AFile, AInputOptions), ACodec);
}

// The tone survived: pitch within 1 %, level near the source's.
void ExpectTone(const TDecodedStream& AAudio, double AHz = 1000.0, double ARms = kToneRms,
                double ARmsTolerance = 0.15) {
  EXPECT_NEAR(AAudio.ToneHz, AHz, AHz * 0.01);
  EXPECT_NEAR(AAudio.Rms, ARms, ARms * ARmsTolerance);
}

// Seconds of ASamples samples at ARate.
double SamplesSeconds(int64_t ASamples, int ARate) { return static_cast<double>(ASamples) / ARate; }

}  // namespace

// ---- Audio encoders and their containers ----

struct TAudioTarget {
  const char* Name;
  const char* Source;  // "wav", "mp3" or "aac"
  TOptionList Options;
  const char* File;
  AVCodecID Codec;
  int Rate;
  int Channels;
  int FrameSize;
  int Delay;
  bool Resampled;
  double RmsTolerance;                 // relative
  int MinBitRate = 0, MaxBitRate = 0;  // payload bit/s, when checked
};

void PrintTo(const TAudioTarget& ATarget, std::ostream* AStream) { *AStream << ATarget.Name; }

class TranscodeAudioTargets : public ::testing::TestWithParam<TAudioTarget> {};

TEST_P(TranscodeAudioTargets, OutputDecodesWithTheCodecRateChannelsAndDuration) {
  const TAudioTarget& c = GetParam();
  const std::string kind = c.Source;
  const std::string source = kind == "wav" ? Wav() : kind == "mp3" ? Mp3() : Aac();
  const TDecodedFile input = DecodeAll(source);
  ASSERT_NE(input.Audio(), nullptr);
  const std::optional<TDecodedStream> audio = ConvertAudio(source, c.Options, c.File, c.Codec);
  ASSERT_TRUE(audio.has_value());
  EXPECT_EQ(audio->SampleRate, c.Rate);
  EXPECT_EQ(audio->Channels, c.Channels);
  const int slack = c.FrameSize + c.Delay + (c.Resampled ? kResamplerSlack : 0);
  EXPECT_NEAR(audio->Seconds(), input.Audio()->Seconds(), SamplesSeconds(slack, c.Rate))
      << audio->Samples << " samples at " << audio->SampleRate << " Hz from " << input.Audio()->Samples;
  ExpectTone(*audio, 1000.0, kToneRms, c.RmsTolerance);
  if (c.MaxBitRate > 0) {
    const double bitRate = audio->PacketBytes * 8.0 / audio->Seconds();
    EXPECT_GE(bitRate, c.MinBitRate);
    EXPECT_LE(bitRate, c.MaxBitRate);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, TranscodeAudioTargets,
    ::testing::Values(
        TAudioTarget{"WavToMp3", "wav", {}, "out.mp3", AV_CODEC_ID_MP3, 44100, 2, 1152, 1105, false, 0.15},
        TAudioTarget{"Mp3ToMp3", "mp3", {}, "out.mp3", AV_CODEC_ID_MP3, 44100, 2, 1152, 1105, false, 0.15},
        TAudioTarget{"WavToAacInM4a", "wav", {}, "out.m4a", AV_CODEC_ID_AAC, 44100, 2, 1024, 1024, false, 0.15},
        TAudioTarget{
            "Mp3ToAacInMp4", "mp3", {{"vn", "1"}}, "out.mp4", AV_CODEC_ID_AAC, 44100, 2, 1024, 1024, false, 0.15},
        TAudioTarget{"WavToMp2", "wav", {}, "out.mp2", AV_CODEC_ID_MP2, 44100, 2, 1152, 0, false, 0.15},
        TAudioTarget{"AacToMp2", "aac", {}, "out.mp2", AV_CODEC_ID_MP2, 44100, 2, 1152, 0, false, 0.15},
        TAudioTarget{"WavToAc3At48k",
                     "wav",
                     {{"acodec", "ac3"}, {"ar", "48000"}},
                     "out.ac3",
                     AV_CODEC_ID_AC3,
                     48000,
                     2,
                     1536,
                     256,
                     true,
                     0.15},
        // A speech codec: the level of a pure tone is kept only roughly.
        // MR74 frames are 20 bytes (a header byte and 148 bits) every
        // 20 ms, 8000 bit/s; the default mode would give 12800.
        TAudioTarget{"WavToAmrNbIn3gp",
                     "wav",
                     {{"vn", "1"}, {"ar", "8000"}, {"ac", "1"}, {"ab", "7400"}},
                     "out.3gp",
                     AV_CODEC_ID_AMR_NB,
                     8000,
                     1,
                     160,
                     0,
                     true,
                     0.4,
                     7400,
                     8400}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---- Rate, channels, sample formats and volume ----

TEST(TranscodeAudioConversion, RateAndChannelChangesKeepTheDurationPitchAndLevel) {
  const TDecodedFile input = DecodeAll(Wav());
  ASSERT_NE(input.Audio(), nullptr);
  struct TCase {
    TOptionList Options;
    int Rate, Channels;
  };
  // A mono mix of the two equal channels has their level: a sum would be
  // twice as loud and clip.
  for (const TCase& c : {TCase{{{"ar", "22050"}}, 22050, 2}, TCase{{{"ac", "1"}}, 44100, 1}}) {
    SCOPED_TRACE(c.Options[0].first);
    const std::optional<TDecodedStream> audio = ConvertAudio(Wav(), c.Options, "out.wav", AV_CODEC_ID_PCM_S16LE);
    ASSERT_TRUE(audio.has_value());
    EXPECT_EQ(audio->SampleRate, c.Rate);
    EXPECT_EQ(audio->Channels, c.Channels);
    EXPECT_EQ(audio->SampleFormat, AV_SAMPLE_FMT_S16);
    EXPECT_NEAR(audio->Samples, input.Audio()->Samples * c.Rate / 44100, kResamplerSlack);
    ExpectTone(*audio, 1000.0, kToneRms, 0.05);
  }
}

TEST(TranscodeAudioConversion, FloatDecodersFeedSixteenBitEncoders) {
  struct TCase {
    std::string Source;
    const char* File;
    AVCodecID Codec;
    int Slack;
  };
  const TCase cases[] = {
      {Mp3(), "from-mp3.wav", AV_CODEC_ID_PCM_S16LE, 1},
      {Aac(), "from-aac.wav", AV_CODEC_ID_PCM_S16LE, 1},
      {Mp3(), "from-mp3.mp2", AV_CODEC_ID_MP2, 1152},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    const TDecodedFile input = DecodeAll(c.Source);
    ASSERT_NE(input.Audio(), nullptr);
    ASSERT_EQ(input.Audio()->SampleFormat, AV_SAMPLE_FMT_FLTP) << "the source's decoder gives float samples";
    const std::optional<TDecodedStream> audio = ConvertAudio(c.Source, {}, c.File, c.Codec);
    ASSERT_TRUE(audio.has_value());
    if (c.Codec == AV_CODEC_ID_PCM_S16LE) {
      EXPECT_EQ(audio->SampleFormat, AV_SAMPLE_FMT_S16);
    }
    EXPECT_EQ(audio->SampleRate, 44100);
    EXPECT_EQ(audio->Channels, 2);
    EXPECT_NEAR(audio->Samples, input.Audio()->Samples, c.Slack);
    // Float samples taken as integers (or the reverse) would not be a tone.
    ExpectTone(*audio, 1000.0, kToneRms, 0.08);
  }
}

TEST(TranscodeAudioConversion, VolumeScalesTheDecodedSamples) {
  // Doubled, the half-scale tone reaches full scale.
  for (const auto& [volume, level] : {std::pair<const char*, double>{"128", kToneRms / 2}, {"512", kToneRms * 2}}) {
    SCOPED_TRACE(volume);
    const std::optional<TDecodedStream> audio =
        ConvertAudio(Wav(), {{"vol", volume}}, "out.wav", AV_CODEC_ID_PCM_S16LE);
    ASSERT_TRUE(audio.has_value());
    ExpectTone(*audio, 1000.0, level, 0.05);
  }
}

// ---- Stream copy ----

TEST(TranscodeStreamCopy, AudioPacketsAreCopiedIntoOtherContainers) {
  const TDecodedFile source = DecodeAll(Mp3());
  ASSERT_NE(source.Audio(), nullptr);
  for (const char* file : {"copy.mkv", "copy.avi"}) {
    SCOPED_TRACE(file);
    const std::optional<TDecodedStream> audio = ConvertAudio(Mp3(), {{"acodec", "copy"}}, file, AV_CODEC_ID_MP3);
    ASSERT_TRUE(audio.has_value());
    EXPECT_EQ(audio->Packets, source.Audio()->Packets);
    EXPECT_EQ(audio->PacketBytes, source.Audio()->PacketBytes);
    EXPECT_EQ(audio->SampleRate, 44100);
    EXPECT_EQ(audio->Channels, 2);
    // The source's priming may only be trimmed where its container says
    // so: at least every sample of the source, at most whole frames.
    EXPECT_GE(audio->Samples, source.Audio()->Samples);
    EXPECT_LE(audio->Samples, audio->Packets * 1152);
    ExpectTone(*audio);
  }
}

TEST(TranscodeStreamCopy, VideoPacketsAreCopiedFrameForFrame) {
  struct TCase {
    std::string Source;
    const char* File;
    AVCodecID Codec;
  };
  const TCase cases[] = {
      {AudioVideo("mp4"), "h264.mkv", AV_CODEC_ID_H264},
      {AudioVideo("avi"), "mpeg4.mkv", AV_CODEC_ID_MPEG4},
      {AudioVideo("avi"), "mpeg4.mp4", AV_CODEC_ID_MPEG4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    TTempFolder dir;
    const TDecodedFile source = DecodeAll(c.Source);
    ASSERT_NE(source.Video(), nullptr);
    ASSERT_EQ(source.Video()->CodecId, c.Codec);
    const TDecodedFile output = Convert(dir, c.Source, {{"vcodec", "copy"}, {"an", "1"}}, c.File);
    ASSERT_TRUE(output.Opened) << output.Error;
    EXPECT_TRUE(output.ProbeLoaded) << output.ProbeError;
    EXPECT_EQ(output.ProbeVideoStreams, 1);
    EXPECT_EQ(output.ProbeAudioStreams, 0);
    ASSERT_EQ(output.Streams.size(), 1u);
    const TDecodedStream* video = output.Video();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->CodecId, c.Codec);
    EXPECT_EQ(video->DecodeErrors, 0);
    EXPECT_EQ(video->Packets, source.Video()->Packets);
    EXPECT_EQ(video->Frames, source.Video()->Frames);
    EXPECT_EQ(video->Width, 320);
    EXPECT_EQ(video->Height, 240);
    // The timestamps came along: the copy lasts as long as the source.
    EXPECT_NEAR(output.DurationUs / 1e6, source.DurationUs / 1e6, 0.1);
  }
}

TEST(TranscodeStreamCopy, BothStreamsAtOnce) {
  TTempFolder dir;
  const TDecodedFile source = DecodeAll(AudioVideo("avi"));
  ASSERT_NE(source.Video(), nullptr);
  ASSERT_NE(source.Audio(), nullptr);
  const TDecodedFile output = Convert(dir, AudioVideo("avi"), {{"vcodec", "copy"}, {"acodec", "copy"}}, "both.mkv");
  ASSERT_TRUE(output.Opened) << output.Error;
  EXPECT_EQ(output.ProbeVideoStreams, 1);
  EXPECT_EQ(output.ProbeAudioStreams, 1);
  const TDecodedStream* video = output.Video();
  const TDecodedStream* audio = output.Audio();
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(video->CodecId, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(video->Frames, source.Video()->Frames);
  EXPECT_EQ(video->DecodeErrors, 0);
  EXPECT_EQ(audio->CodecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(audio->Packets, source.Audio()->Packets);
  EXPECT_EQ(audio->DecodeErrors, 0);
  EXPECT_GE(audio->Samples, source.Audio()->Samples);
}

TEST(TranscodeStreamCopy, VolumeOtherThanUnityIsRefusedForACopy) {
  {
    TTempFolder dir;
    ClearLogLines();
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, Mp3())) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput({{"acodec", "copy"}, {"vol", "512"}}, dir / "loud.mkv")) << conversion.Error();
    conversion.RunInline();
    ExpectFailure(conversion, "-acodec copy and -vol are incompatible (frames are not decoded)");
  }
  const std::optional<TDecodedStream> audio =
      ConvertAudio(Mp3(), {{"acodec", "copy"}, {"vol", "256"}}, "same.mkv", AV_CODEC_ID_MP3);
  ASSERT_TRUE(audio.has_value());
  EXPECT_EQ(audio->Packets, DecodeAll(Mp3()).Audio()->Packets);
}

TEST(TranscodeStreamCopy, PreviewIsRefusedForAVideoCopy) {
  TTempFolder dir;
  ClearLogLines();
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, AudioVideo("mp4"))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({{"vcodec", "copy"}, {"an", "1"}}, dir / "copy.mkv")) << conversion.Error();
  conversion.Engine().SetPreviewFlags(1);
  conversion.RunInline();
  ExpectFailure(conversion, "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
  EXPECT_FALSE(Exists(dir / "copy.mkv")) << "the output that received nothing is removed";
}

// ---- Limits of a run ----

TEST(TranscodeLimits, RecordingTimeCutsALongerInput) {
  struct TCase {
    const char* File;
    AVCodecID Codec;
    double Below, Above;  // seconds around 10 s
  };
  // PCM is written as it is decoded (1024-sample packets); the MP3
  // encoder lags by its delay and a frame or two.
  const TCase cases[] = {
      {"ten.wav", AV_CODEC_ID_PCM_S16LE, 0.0, 2048.0 / 44100},
      {"ten.mp3", AV_CODEC_ID_MP3, 0.05, 0.25},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    const std::optional<TDecodedStream> audio = ConvertAudio(Wav(15.0), {{"t", "10"}}, c.File, c.Codec);
    ASSERT_TRUE(audio.has_value());
    EXPECT_GE(audio->Seconds(), 10.0 - c.Below);
    EXPECT_LE(audio->Seconds(), 10.0 + c.Above);
  }
}

TEST(TranscodeLimits, FileSizeLimitStopsNearTheLimit) {
  TTempFolder dir;
  const int64_t limit = 40000;
  const TDecodedFile output = Convert(dir, Wav(15.0), {{"fs", std::to_string(limit)}}, "small.mp3");
  const std::optional<TDecodedStream> audio = ExpectOneAudioStream(output, AV_CODEC_ID_MP3);
  ASSERT_TRUE(audio.has_value());
  // The size is checked before each packet is read: the file passes the
  // limit by what was in flight (a packet, the encoder's delay, the
  // trailer), not by much.
  EXPECT_GT(output.Size, limit);
  EXPECT_LE(output.Size, limit + 16384);
  EXPECT_GT(audio->Seconds(), 1.0);
  EXPECT_LT(audio->Seconds(), 14.0);
}

TEST(TranscodeLimits, AudioFrameLimitOfACopy) {
  ASSERT_GT(DecodeAll(Mp3()).Audio()->Packets, 30);
  const std::optional<TDecodedStream> audio =
      ConvertAudio(Mp3(), {{"acodec", "copy"}, {"aframes", "20"}}, "twenty.mkv", AV_CODEC_ID_MP3);
  ASSERT_TRUE(audio.has_value());
  EXPECT_EQ(audio->Packets, 20);
  EXPECT_LE(audio->Samples, 20 * 1152);
  EXPECT_GE(audio->Samples, 20 * 1152 - 2 * 1152);
}

TEST(TranscodeLimits, VideoFrameLimitOfACopy) {
  TTempFolder dir;
  ASSERT_EQ(DecodeAll(AudioVideo("mp4")).Video()->Frames, 25);
  const TDecodedFile output =
      Convert(dir, AudioVideo("mp4"), {{"vcodec", "copy"}, {"an", "1"}, {"vframes", "10"}}, "ten.mkv");
  const TDecodedStream* video = output.Video();
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->Packets, 10);
  EXPECT_EQ(video->Frames, 10);  // every copied packet decodes
  EXPECT_EQ(video->DecodeErrors, 0);

  // With sound copied as well, the video limit ends the whole run.
  const TDecodedFile avi = DecodeAll(AudioVideo("avi"));
  const TDecodedFile cut =
      Convert(dir, AudioVideo("avi"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"vframes", "10"}}, "both.mkv");
  ASSERT_NE(cut.Video(), nullptr);
  ASSERT_NE(cut.Audio(), nullptr);
  EXPECT_EQ(cut.Video()->Packets, 10);
  EXPECT_GT(cut.Audio()->Packets, 0);
  EXPECT_LT(cut.Audio()->Seconds(), 0.8 * avi.Audio()->Seconds());
}

TEST(TranscodeLimits, StartTimeBeforeTheInputOrTheOutputDropsTheBeginning) {
  // "ss" before the input seeks it (and shifts its times to start at 0);
  // before the output, the beginning is decoded but not written.
  const TDecodedFile input = DecodeAll(Wav(3.0));
  struct TCase {
    const char* Name;
    TOptionList InputOptions, OutputOptions;
  };
  const TCase cases[] = {
      {"input", {{"ss", "1"}}, {{"acodec", "libmp3lame"}}},
      {"output", {}, {{"ss", "1"}, {"acodec", "libmp3lame"}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::optional<TDecodedStream> audio =
        ConvertAudio(Wav(3.0), c.OutputOptions, "late.mka", AV_CODEC_ID_MP3, c.InputOptions);
    ASSERT_TRUE(audio.has_value());
    EXPECT_NEAR(audio->Seconds(), input.Audio()->Seconds() - 1.0, SamplesSeconds(1152 + 1105 + 1024, 44100));
    // The output's clock starts at the start point, not 1 s later.
    EXPECT_NEAR(audio->FirstPacketTimeUs / 1e6, 0.0, 0.05);
    ExpectTone(*audio);
  }

  // A copy starts at the packet of the start point too.
  const TDecodedFile mp3 = DecodeAll(Mp3(3.0));
  const std::optional<TDecodedStream> audio =
      ConvertAudio(Mp3(3.0), {{"ss", "1"}, {"acodec", "copy"}}, "late.mkv", AV_CODEC_ID_MP3);
  ASSERT_TRUE(audio.has_value());
  EXPECT_NEAR(audio->Seconds(), mp3.Audio()->Seconds() - 1.0, SamplesSeconds(3 * 1152, 44100));
  EXPECT_GE(audio->FirstPacketTimeUs, 0);
  EXPECT_LT(audio->FirstPacketTimeUs, 50000);
}

TEST(TranscodeLimits, AudioTimesStayIncreasingOnAMillisecondInputClock) {
  // FLV stamps its packets in milliseconds, so the input clock of the
  // sound jitters around the sample count. Started one frame in, an MP3
  // stream in AVI (one tick per 1152 samples) must still get strictly
  // increasing times: the muxer refuses the file otherwise.
  TTempFolder dir;
  testmedia::ClipSpec clip;
  clip.container = "flv";
  clip.width = 160;
  clip.height = 120;
  clip.durationSec = 2.0;
  const TDecodedFile output = Convert(dir, testmedia::CachedClip(clip), {}, "out.avi", {{"ss", "0.04"}});
  ASSERT_NE(output.Audio(), nullptr);
  EXPECT_EQ(output.Audio()->DecodeErrors, 0);
  EXPECT_NEAR(output.Audio()->Seconds(), 1.96, 0.1);
  ASSERT_NE(output.Video(), nullptr);
  EXPECT_NEAR(static_cast<double>(output.Video()->Frames), 49, 2);
}

// ---- Joined inputs ----

TEST(TranscodeJoin, TwoInputsMakeOneFileOfTheSummedDuration) {
  // Different lengths, so that a repeated first input shows.
  const std::string first = Wav(1.0);
  const std::string second = Wav(1.5);
  const int64_t sum = DecodeAll(first).Audio()->Samples + DecodeAll(second).Audio()->Samples;
  struct TCase {
    const char* File;
    TOptionList Options;
    AVCodecID Codec;
    int Slack;  // samples
  };
  // PCM keeps every sample. MP2 may lose what the first input left in the
  // encoder's FIFO and pads the last frame. Matroska keeps timestamps: the
  // second input's must follow the first's.
  const TCase cases[] = {
      {"joined.wav", {}, AV_CODEC_ID_PCM_S16LE, 0},
      {"joined.mp2", {}, AV_CODEC_ID_MP2, 2 * 1152},
      {"joined.mka", {{"acodec", "mp2"}}, AV_CODEC_ID_MP2, 2 * 1152},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    TTempFolder dir;
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, first)) << conversion.Error();
    ASSERT_TRUE(conversion.AddInput({}, second)) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput(c.Options, dir / c.File, true)) << conversion.Error();
    ASSERT_TRUE(conversion.Engine().Joined());
    conversion.RunInline();
    ExpectFinished(conversion);
    const TDecodedFile output = DecodeAll(dir / c.File);
    const std::optional<TDecodedStream> audio = ExpectOneAudioStream(output, c.Codec);
    ASSERT_TRUE(audio.has_value());
    EXPECT_EQ(audio->SampleRate, 44100);
    EXPECT_EQ(audio->Channels, 2);
    EXPECT_NEAR(audio->Samples, sum, c.Slack) << "2.5 s expected, got " << audio->Seconds();
    EXPECT_NEAR(output.DurationUs / 1e6, SamplesSeconds(sum, 44100), SamplesSeconds(c.Slack + 1152, 44100));
    ExpectTone(*audio);
  }
}

// ---- Which input stream feeds each output stream ----

TEST(TranscodeMapping, TwoOutputsOfOneInputBothGetItsAudio) {
  // The first output takes the unused stream, the second the same stream
  // again since no unused one is left.
  TTempFolder dir;
  const TDecodedFile input = DecodeAll(Wav());
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, Wav())) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, dir / "one.mp2")) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, dir / "two.mp3")) << conversion.Error();
  conversion.RunInline();
  ExpectFinished(conversion);
  const std::optional<TDecodedStream> one = ExpectOneAudioStream(DecodeAll(dir / "one.mp2"), AV_CODEC_ID_MP2);
  const std::optional<TDecodedStream> two = ExpectOneAudioStream(DecodeAll(dir / "two.mp3"), AV_CODEC_ID_MP3);
  ASSERT_TRUE(one.has_value());
  ASSERT_TRUE(two.has_value());
  EXPECT_NEAR(one->Seconds(), input.Audio()->Seconds(), SamplesSeconds(1152, 44100));
  EXPECT_NEAR(two->Seconds(), input.Audio()->Seconds(), SamplesSeconds(1152 + 1105, 44100));
  ExpectTone(*one);
  ExpectTone(*two);
}

TEST(TranscodeMapping, UnusedStreamsAreTakenInOrderAndMapsOverrideThem) {
  // Two inputs of different tones into two outputs: the tones of the
  // outputs show which input fed each.
  struct TCase {
    const char* Name;
    TOptionList First, Second;
    double FirstHz, SecondHz;
  };
  const TCase cases[] = {
      {"in order", {}, {}, 500.0, 1000.0},
      {"maps", {{"map", "1:0"}}, {{"map", "0:0"}}, 1000.0, 500.0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempFolder dir;
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, AudioClip("wav", 1.0, 500.0))) << conversion.Error();
    ASSERT_TRUE(conversion.AddInput({}, Wav())) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput(c.First, dir / "first.wav")) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput(c.Second, dir / "second.wav")) << conversion.Error();
    conversion.RunInline();
    ExpectFinished(conversion);
    const std::optional<TDecodedStream> first =
        ExpectOneAudioStream(DecodeAll(dir / "first.wav"), AV_CODEC_ID_PCM_S16LE);
    const std::optional<TDecodedStream> second =
        ExpectOneAudioStream(DecodeAll(dir / "second.wav"), AV_CODEC_ID_PCM_S16LE);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_NEAR(first->ToneHz, c.FirstHz, c.FirstHz / 100);
    EXPECT_NEAR(second->ToneHz, c.SecondHz, c.SecondHz / 100);
  }
  // A map picks the audio stream of a file with video and sound.
  const std::optional<TDecodedStream> audio =
      ConvertAudio(AudioVideo("avi"), {{"vn", "1"}, {"map", "0:1"}}, "sound.mp2", AV_CODEC_ID_MP2);
  ASSERT_TRUE(audio.has_value());
  ExpectTone(*audio);
}

// ---- Set-ups the run refuses ----

TEST(TranscodeSetup, RefusedSetUpsEndTheRunWithTheirMessageAndLeaveNoFile) {
  struct TCase {
    const char* Name;
    std::string Input;
    std::vector<std::pair<TOptionList, std::string>> Outputs;
    std::string Message;
    bool LoggedAsError = false;
  };
  const std::string header = "Could not write header for output file #0 (incorrect codec parameters ?)";
  const TCase cases[] = {
      // The mp3 muxer's default picture stream needs a picture input.
      {"audio disabled", Wav(), {{{{"an", "1"}}, "none.mp3"}}, "Output file #0 does not contain any stream"},
      {"both disabled",
       AudioVideo("mkv"),
       {{{{"vn", "1"}, {"an", "1"}}, "none.mkv"}},
       "Output file #0 does not contain any stream"},
      {"second output",
       Wav(),
       {{{}, "fine.mp2"}, {{{"an", "1"}}, "none.mp2"}},
       "Output file #1 does not contain any stream"},
      {"more maps than streams",
       Wav(),
       {{{{"map", "0:0"}, {"map", "0:0"}}, "out.mp2"}},
       "Number of stream maps must match number of output streams"},
      {"no such stream", Wav(), {{{{"map", "0:3"}}, "out.mp2"}}, "Could not find input stream #0.3"},
      {"no such file", Wav(), {{{{"map", "1:0"}}, "out.mp2"}}, "Could not find input stream #1.0"},
      {"no such sync stream", Wav(), {{{{"map", "0:0:0:5"}}, "out.mp2"}}, "Could not find sync stream #0.5"},
      {"video into audio",
       AudioVideo("avi"),
       {{{{"vn", "1"}, {"map", "0:0"}}, "out.mp2"}},
       "Codec type mismatch for mapping #0.0 (Video) -> #0.0 (Audio)"},
      // The OMA muxer's default codec is ATRAC3, which has no encoder.
      {"format default without an encoder",
       Wav(),
       {{{}, "out.oma"}},
       "Encoder (codec id " + std::to_string(static_cast<int>(AV_CODEC_ID_ATRAC3)) +
           ") not found for output stream #0.0 (Audio)",
       true},
      // The AMR muxer only takes AMR; MP4 has no tag for 16-bit PCM.
      {"header refused by AMR", Wav(), {{{{"acodec", "mp2"}}, "out.amr"}}, header, true},
      {"header refused by MP4", Wav(), {{{{"acodec", "pcm_s16le"}}, "out.mp4"}}, header, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempFolder dir;
    ClearLogLines();
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, c.Input)) << conversion.Error();
    for (const auto& [options, file] : c.Outputs)
      ASSERT_TRUE(conversion.AddOutput(options, dir / file)) << conversion.Error();
    conversion.RunInline();
    ExpectFailure(conversion, c.Message);
    if (c.LoggedAsError) {
      EXPECT_TRUE(Logged(llError, c.Message)) << "also logged as an error";
    }
    for (const auto& output : c.Outputs) EXPECT_FALSE(Exists(dir / output.second)) << output.second;
  }
}

TEST(TranscodeSetup, PassOneWritesTheStatisticsFileOfItsStream) {
  // Two-pass statistics belong to video encoders; the audio output comes
  // first, so the video stream is number 1 of the run.
  TTempFolder dir;
  TCurrentDirectory cwd(dir.Path());
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, AudioVideo("avi", 0.5))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({{"vn", "1"}}, dir / "sound.mp2")) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({{"vn", "0"}, {"an", "1"}, {"vcodec", "mpeg4"}, {"pass", "1"}}, dir / "picture.avi"))
      << conversion.Error();
  conversion.RunInline();
  ExpectFinished(conversion);
  EXPECT_TRUE(Exists(dir / "ffmpeg2pass-1.log"));
  EXPECT_FALSE(Exists(dir / "ffmpeg2pass-0.log"));
  if (Exists(dir / "ffmpeg2pass-1.log")) {
    EXPECT_GT(std::filesystem::file_size(dir / "ffmpeg2pass-1.log"), 0u);
  }

  // With a prefix.
  TConversion named;
  ASSERT_TRUE(named.Run(AudioVideo("avi", 0.5),
                        {{"an", "1"}, {"vcodec", "mpeg4"}, {"pass", "1"}, {"passlogfile", dir / "stats"}},
                        dir / "named.avi"));
  EXPECT_TRUE(Exists(dir / "stats-0.log"));
}

// ---- Progress ----

TEST(TranscodeProgress, AudioOnlyReportsAreThrottledAndCarryNoVideoValues) {
  // Read-rate emulation makes a 1.5 s input last 1.5 s of wall time.
  TTempFolder dir;
  const std::string source = Wav(1.5);
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({{"re", "1"}}, source)) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, dir / "paced.mp2")) << conversion.Error();
  conversion.Engine().FProgressInterval = 50000;
  const int64_t total = conversion.Engine().TotalDuration();
  ASSERT_TRUE(conversion.StartThreaded());
  ASSERT_TRUE(conversion.WaitForEnd());
  ExpectFinished(conversion);
  const auto ended = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(ended - conversion.StartedAt()).count();
  EXPECT_GE(elapsed, 1.3) << "the input is read at its own pace";

  const std::vector<TProgressReport> reports = conversion.Reports();
  ASSERT_GE(reports.size(), 8u);
  // At most one report per interval, and the final one.
  EXPECT_LE(reports.size(), static_cast<size_t>(elapsed / 0.05) + 2);
  for (size_t i = 0; i < reports.size(); ++i) {
    const TProgressReport& r = reports[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(r.FrameNumber, -1);
    EXPECT_EQ(r.FPS, -1);
    EXPECT_FLOAT_EQ(r.Quality, -1.0f);
    EXPECT_EQ(r.TotalOutputDuration, total);
    if (i > 0) {
      EXPECT_GE(r.CurrentSize, reports[i - 1].CurrentSize);
      EXPECT_GE(r.CurrentDuration, reports[i - 1].CurrentDuration);
    }
  }
  // Both grow while the run goes on, not only in the final report: the
  // output (about 72 kB) is well under way at the last report of the loop.
  const TProgressReport& lastOfLoop = reports[reports.size() - 2];
  EXPECT_GT(lastOfLoop.CurrentSize, reports.front().CurrentSize) << "the size shown during the run";
  EXPECT_GT(lastOfLoop.CurrentDuration, reports.front().CurrentDuration);
  EXPECT_GT(lastOfLoop.BitRate, 0.0f);
  EXPECT_GT(reports.back().BitRate, 0.0f);
  EXPECT_NEAR(reports.back().CurrentDuration, 1500, 100);
  EXPECT_EQ(reports.back().CurrentSize, static_cast<int64_t>(std::filesystem::file_size(dir / "paced.mp2")));
  // Throttling: the reports of the loop come an interval apart (the final
  // report comes whenever the run ends). The times are taken in the event,
  // a little after the engine's own: 10 ms are left for scheduling, while
  // one report per packet would come every 23 ms.
  for (size_t i = 1; i + 1 < reports.size(); ++i) {
    const double gap = std::chrono::duration<double>(reports[i].At - reports[i - 1].At).count();
    EXPECT_GE(gap, 0.040) << "report " << i;
  }
}

// The first report comes with the first packets written, not an interval
// after the start, so that a row shows its start at once; the next ones keep
// their interval (here longer than the run: only the final report follows).
TEST(TranscodeProgress, TheFirstReportComesWithTheFirstPackets) {
  TTempFolder dir;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, Wav(1.5))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, dir / "first.mp2")) << conversion.Error();
  conversion.Engine().FProgressInterval = 60 * 1000000LL;
  ASSERT_TRUE(conversion.StartThreaded());
  ASSERT_TRUE(conversion.WaitForEnd());
  ExpectFinished(conversion);
  const std::vector<TProgressReport> reports = conversion.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_GT(reports[0].CurrentDuration, 0);
  EXPECT_LT(reports[0].CurrentDuration, 200);
  EXPECT_NEAR(reports[1].CurrentDuration, 1500, 100);
}

TEST(TranscodeProgress, WithoutAnEventTheReportsAndTheSummaryAreLogged) {
  TTempFolder dir;
  ClearLogLines();
  TConversion conversion;
  conversion.NoProgressEvent();
  ASSERT_TRUE(conversion.AddInput({}, Wav())) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({{"v", "1"}}, dir / "out.mp2")) << conversion.Error();
  conversion.RunInline();
  ExpectFinished(conversion);
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(dir / "out.mp2"));

  const std::regex report(R"(size=\s*(\d+)kB time=(\d+\.\d\d) bitrate=\s*(\d+\.\d)kbits/s)");
  const std::regex summary(R"(video:(\d+)kB audio:(\d+)kB global headers:(\d+)kB muxing overhead (-?\d+\.\d{6})%)");
  const TRecordedLine* last = nullptr;
  const TRecordedLine* sum = nullptr;
  std::smatch lastMatch, sumMatch;
  for (const TRecordedLine& line : LogLines()) {
    std::smatch m;
    if (std::regex_search(line.Text, m, report)) {
      last = &line;
      lastMatch = m;
    }
    if (std::regex_search(line.Text, m, summary)) {
      sum = &line;
      sumMatch = m;
    }
  }
  ASSERT_NE(last, nullptr) << "the final report is logged";
  EXPECT_EQ(last->Level, llVerbose);
  EXPECT_EQ(std::stoll(lastMatch[1].str()), std::llround(size / 1024.0));
  EXPECT_NEAR(std::stod(lastMatch[2].str()), 1.0, 0.05);
  ASSERT_NE(sum, nullptr) << "the summary is logged";
  EXPECT_EQ(sum->Level, llVerbose);
  EXPECT_EQ(sumMatch[1].str(), "0");
  // A raw MP2 file is nothing but its packets.
  EXPECT_EQ(std::stoll(sumMatch[2].str()), std::llround(size / 1024.0));
  EXPECT_EQ(sumMatch[3].str(), "0");
  EXPECT_EQ(sumMatch[4].str(), "0.000000");
}

// ---- Timelines of other tools' files ----

TEST(TranscodeTimeline, AnOutputThatGrowsWellPastItsSourceStopsAndIsRemoved) {
  // Eight copies of a 2 s transport stream back to back: every copy starts
  // its clock again, so the file's length reads as 2 s while 16 s of data
  // follow; no recording time ends the run.
  TTempFolder dir;
  testmedia::ClipSpec clip;
  clip.container = "ts";
  clip.width = 160;
  clip.height = 120;
  clip.durationSec = 2.0;
  const std::string once = testmedia::CachedClip(clip);
  std::ofstream(dir / "looped.ts", std::ios::binary) << [&] {
    std::ifstream in(once, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string all;
    for (int i = 0; i < 8; ++i) all += bytes;
    return all;
  }();
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, dir / "looped.ts")) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, dir / "out.avi")) << conversion.Error();
  conversion.RunInline();
  EXPECT_TRUE(conversion.HasException());
  const std::regex message("'" + dir / "out.avi" +
                           R"(' grew past the length of its source \(00:00:02\.0\d\d\); the conversion was stopped)");
  EXPECT_TRUE(std::regex_match(conversion.ExceptionMessage(), message)) << conversion.ExceptionMessage();
  EXPECT_FALSE(std::filesystem::exists(dir / "out.avi"));
}

TEST(TranscodeTimeline, StreamsAnHourApartLineUpAndTheProgressCountsTheirLength) {
  TTempFolder dir;
  testmedia::ClipSpec clip;
  clip.container = "mp4";
  clip.width = 160;
  clip.height = 120;
  clip.durationSec = 3.0;
  clip.videoStartSec = 3600;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, testmedia::CachedClip(clip))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, dir / "out.avi")) << conversion.Error();
  conversion.Engine().FProgressInterval = 1000;
  ClearLogLines();
  conversion.RunInline();
  ExpectFinished(conversion);
  EXPECT_EQ(LinesContaining("its streams start too far apart to belong together"), 1);
  const std::vector<TProgressReport> reports = conversion.Reports();
  ASSERT_GE(reports.size(), 3u);
  for (const TProgressReport& r : reports) {
    EXPECT_NEAR(r.TotalOutputDuration, 3000, 100) << "not the hour between the streams";
    EXPECT_LE(r.CurrentDuration, r.TotalOutputDuration);
  }
  EXPECT_GE(reports.back().CurrentDuration, reports.back().TotalOutputDuration - 100) << "the end is at 100 %";
  const TDecodedFile output = DecodeAll(dir / "out.avi");
  ASSERT_NE(output.Video(), nullptr);
  ASSERT_NE(output.Audio(), nullptr);
  EXPECT_NEAR(output.Audio()->Seconds(), 3.0, 0.1);
  EXPECT_NEAR(static_cast<double>(output.Video()->Frames), 75, 2);
}

// ---- Pictures that need correcting ----

TEST(TranscodePictures, EachCorrectionIsLoggedOnceInASentence) {
  struct TCase {
    const char* What;
    testmedia::ClipSpec Spec;
    TOptionList Options;
    const char* Line;
  };
  auto clip = [](auto AChange) {
    testmedia::ClipSpec spec;
    spec.container = "mp4";
    spec.audio = false;
    spec.durationSec = 0.4;
    AChange(spec);
    return spec;
  };
  const TCase cases[] = {
      {"4:4:4",
       clip([](testmedia::ClipSpec& s) { s.pixelFormat = "yuv444p"; }),
       {{"pix_fmt", "yuv420p"}},
       "the source's pictures are yuv444p, the encoder gets yuv420p."},
      {"rotated",
       clip([](testmedia::ClipSpec& s) { s.rotation = 90, s.width = 240, s.height = 320; }),
       {},
       "Input stream #0.0: its pictures are turned upright (90)."},
      {"interlaced",
       clip([](testmedia::ClipSpec& s) { s.interlaced = true; }),
       {},
       "Input stream #0.0: its pictures are deinterlaced."},
      {"PQ",
       clip([](testmedia::ClipSpec& s) { s.videoCodec = "libx265", s.transfer = "pq"; }),
       {{"pix_fmt", "yuv420p"}},
       "its pictures are tone-mapped from high dynamic range to BT.709."},
      {"portrait into 4:3",
       clip([](testmedia::ClipSpec& s) { s.width = 180, s.height = 320; }),
       {{"s", "320x240"}, {"aspect_fit", "4:3"}},
       "the picture (display aspect 0.56) is fitted into 320x240 at 1.33, 136x240 with black bars left and right."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TTempFolder dir;
    ClearLogLines();
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, testmedia::CachedClip(c.Spec))) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput(c.Options, dir / "out.mp4")) << conversion.Error();
    conversion.RunInline();
    ExpectFinished(conversion);
    EXPECT_EQ(LinesContaining(c.Line), 1);
  }
}

// ---- Stopping ----

TEST(TranscodeStop, AStoppedConversionLeavesAShorterValidFileAndNothingOpen) {
  TTempFolder dir;
  const std::string source = Wav(60.0);
  const int descriptors = OpenDescriptorCount();
  const int threads = ThreadCount();
  {
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, source)) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput({}, dir / "stopped.mp3")) << conversion.Error();
    conversion.Engine().FProgressInterval = 50000;  // the first report comes well before the end
    ASSERT_TRUE(conversion.StartThreaded());
    ASSERT_TRUE(conversion.WaitForProgress(1));
    ASSERT_EQ(conversion.Terminations(), 0) << "the run ended before it could be stopped";
    conversion.Engine().Stop(true);
    EXPECT_EQ(conversion.Terminations(), 1) << "notified before Stop returned";
    EXPECT_EQ(conversion.Engine().ConvertThread(), nullptr);
    EXPECT_FALSE(conversion.Finished());
    EXPECT_FALSE(conversion.HasException()) << conversion.ExceptionMessage();
    EXPECT_LE(OpenDescriptorCount(), descriptors) << "the run closed its files";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    WaitServing([&] { return ThreadCount() <= threads || std::chrono::steady_clock::now() >= until; });
    EXPECT_LE(ThreadCount(), threads) << "the worker is gone";
  }
  EXPECT_LE(OpenDescriptorCount(), descriptors);

  const TDecodedFile output = DecodeAll(dir / "stopped.mp3");
  const std::optional<TDecodedStream> audio = ExpectOneAudioStream(output, AV_CODEC_ID_MP3);
  ASSERT_TRUE(audio.has_value());
  EXPECT_GT(audio->Seconds(), 0.0);
  EXPECT_LT(audio->Seconds(), 55.0);
  ExpectTone(*audio);
}
