// Opening inputs: decoder names, the stream parameters copied back into the
// settings, the settings and options that reach the demuxer, start time,
// time offsets and total duration, bad files, capacities, wide names and
// the format description in the log.
#include <clocale>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/config/FFmpeg.h"
#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/OptionContexts.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

using transcodetest::LinesContaining;
using transcodetest::RaisedBy;
using TEngine = transcodetest::TTestEngine;

// Switches the locale for one scope.
class TLocaleScope {
 public:
  explicit TLocaleScope(const char* ALocale) : FSaved(std::setlocale(LC_ALL, nullptr)) {
    EXPECT_NE(std::setlocale(LC_ALL, ALocale), nullptr);
  }
  ~TLocaleScope() { std::setlocale(LC_ALL, FSaved.c_str()); }

 private:
  std::string FSaved;
};

testmedia::ClipSpec Clip(const std::string& AContainer, double ADuration = 0.5) {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  spec.durationSec = ADuration;
  return spec;
}

std::string Wav(double ADuration = 0.5) { return testmedia::CachedClip(Clip("wav", ADuration)); }

// The time in microseconds of the first packet read from AContext.
int64_t FirstPacketTime(AVFormatContext* AContext) {
  AVPacket* packet = lib::av_packet_alloc();
  int64_t time = AV_NOPTS_VALUE;
  if (lib::av_read_frame(AContext, packet) >= 0 && packet->pts != AV_NOPTS_VALUE)
    time = lib::av_rescale_q(packet->pts, AContext->streams[packet->stream_index]->time_base, AV_TIME_BASE_Q);
  lib::av_packet_free(&packet);
  return time;
}

void WriteBytes(const std::string& APath, size_t ACount, char AValue) {
  std::ofstream(APath, std::ios::binary) << std::string(ACount, AValue);
}

}  // namespace

// ---- Decoder and encoder lookup by name ----

TEST(InputFileCodecLookup, NamesGiveIdsOrTheLookupTexts) {
  TEngine engine;
  int id = -1;
  EXPECT_TRUE(engine.FindCodecId("", AVMEDIA_TYPE_VIDEO, false, id));
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(engine.FindCodecId("mpeg4", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(id, AV_CODEC_ID_MPEG4);
  EXPECT_TRUE(engine.FindCodecId("mp3float", AVMEDIA_TYPE_AUDIO, false, id));
  EXPECT_EQ(id, AV_CODEC_ID_MP3);
  EXPECT_EQ(engine.LastError(), "");

  struct TCase {
    const char* Name;
    int MediaType;
    bool Encoder;
    const char* Text;
  };
  const TCase cases[] = {
      {"nosuch", AVMEDIA_TYPE_VIDEO, false, "Unknown decoder 'nosuch'"},
      {"nosuch", AVMEDIA_TYPE_AUDIO, true, "Unknown encoder 'nosuch'"},
      // An encoder-only name is no decoder at all.
      {"libx264", AVMEDIA_TYPE_VIDEO, false, "Unknown decoder 'libx264'"},
      {"mp3", AVMEDIA_TYPE_VIDEO, false, "Invalid decoder type 'mp3'"},
      {"aac", AVMEDIA_TYPE_VIDEO, true, "Invalid encoder type 'aac'"},
      {"h264", AVMEDIA_TYPE_SUBTITLE, false, "Invalid decoder type 'h264'"},
  };
  for (const TCase& c : cases) {
    engine.FLastError.clear();
    EXPECT_FALSE(engine.FindCodecId(c.Name, c.MediaType, c.Encoder, id)) << c.Name;
    EXPECT_EQ(engine.LastError(), c.Text);
  }
}

// ---- Stream parameters copied back into the settings ----

TEST(InputFileParameters, VideoAndAudioParametersAreCopiedBack) {
  testmedia::ClipSpec spec = Clip("mkv");
  spec.width = 720;
  spec.height = 576;
  spec.sarNum = 16;
  spec.sarDen = 15;
  spec.fpsNum = 30000;
  spec.fpsDen = 1001;
  spec.sampleRate = 48000;
  TEngine engine;
  ASSERT_TRUE(engine.In(testmedia::CachedClip(spec))) << engine.LastError();
  EXPECT_EQ(engine.InputFileCount(), 1);
  EXPECT_NE(engine.InputFile(0), nullptr);
  EXPECT_EQ(engine.Settings().Video.FFrameWidth, 720);
  EXPECT_EQ(engine.Settings().Video.FFrameHeight, 576);
  EXPECT_EQ(engine.Settings().Video.FFrameAspectRatio, 1.3333334f);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.num, 30000);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.den, 1001);
  EXPECT_EQ(engine.Settings().Video.FFramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(engine.Settings().Audio.FAudioChannels, 2);
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 48000);
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleFmt, AV_SAMPLE_FMT_FLTP);  // vorbis
  EXPECT_EQ(engine.Settings().Audio.FChannelLayout, static_cast<int64_t>(AV_CH_LAYOUT_STEREO));
  // One entry per stream; no decoder was forced.
  EXPECT_EQ(engine.FInputCodecCount, 2);
  EXPECT_EQ(engine.InputCodec(0), nullptr);
  EXPECT_EQ(engine.InputCodec(1), nullptr);
}

TEST(InputFileParameters, WithoutSampleAspectRatioTheFrameShapeIsTheAspect) {
  testmedia::ClipSpec spec = Clip("mkv");
  spec.width = 720;
  spec.height = 576;
  spec.audio = false;
  TEngine engine;
  ASSERT_TRUE(engine.In(testmedia::CachedClip(spec))) << engine.LastError();
  EXPECT_EQ(engine.Settings().Video.FFrameAspectRatio, 1.25f);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.num, 25);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.den, 1);
  // A video-only input leaves the audio settings at their defaults.
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 44100);
  EXPECT_EQ(engine.Settings().Audio.FAudioChannels, 2);
  EXPECT_EQ(engine.Settings().Audio.FChannelLayout, 0);
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleFmt, -1);
  EXPECT_EQ(engine.FInputCodecCount, 1);
}

TEST(InputFileParameters, MjpegPixelFormatAndMonoLayout) {
  testmedia::ClipSpec spec = Clip("avi");
  spec.videoCodec = "mjpeg";
  spec.channels = 1;
  spec.sampleRate = 22050;
  TEngine engine;
  ASSERT_TRUE(engine.In(testmedia::CachedClip(spec))) << engine.LastError();
  EXPECT_EQ(engine.Settings().Video.FFramePixFmt, AV_PIX_FMT_YUVJ420P);
  EXPECT_EQ(engine.Settings().Video.FFrameAspectRatio, 320.0f / 240.0f);
  EXPECT_EQ(engine.Settings().Audio.FAudioChannels, 1);
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 22050);
  EXPECT_EQ(engine.Settings().Audio.FChannelLayout, static_cast<int64_t>(AV_CH_LAYOUT_MONO));
}

TEST(InputFileParameters, AudioOnlyInputLeavesTheVideoSettingsUntouched) {
  TEngine engine;
  engine.FSettings.Video.FFrameWidth = 352;
  engine.FSettings.Video.FFrameHeight = 288;
  engine.FSettings.Video.FFrameAspectRatio = 1.5f;
  engine.FSettings.Video.FFramePixFmt = AV_PIX_FMT_YUV422P;
  engine.FSettings.Video.FFrameRate = AVRational{15, 1};
  engine.FSettings.Audio.FAudioSampleRate = 8000;
  engine.FSettings.Audio.FAudioChannels = 1;
  engine.FSettings.Audio.FAudioSampleFmt = AV_SAMPLE_FMT_DBL;
  engine.FSettings.Audio.FChannelLayout = AV_CH_LAYOUT_5POINT1;
  ASSERT_TRUE(engine.In(Wav())) << engine.LastError();
  EXPECT_EQ(engine.Settings().Video.FFrameWidth, 352);
  EXPECT_EQ(engine.Settings().Video.FFrameHeight, 288);
  EXPECT_EQ(engine.Settings().Video.FFrameAspectRatio, 1.5f);
  EXPECT_EQ(engine.Settings().Video.FFramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.num, 15);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.den, 1);
  // The file's audio parameters replace the settings.
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 44100);
  EXPECT_EQ(engine.Settings().Audio.FAudioChannels, 2);
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleFmt, AV_SAMPLE_FMT_S16);
  // A plain wav header names no speakers: the layout is no channel mask.
  EXPECT_EQ(engine.Settings().Audio.FChannelLayout, 0);
}

TEST(InputFileParameters, DifferingFrameRatesAreReported) {
  testmedia::ClipSpec spec = Clip("flv", 1.0);
  spec.fpsNum = 30000;
  spec.fpsDen = 1001;
  const std::string path = testmedia::CachedClip(spec);
  // The flv clip's average rate (from its timestamps in milliseconds) is
  // not exactly its real base rate.
  const std::string text =
      "Seems stream 1 codec frame rate differs from container frame rate: 29.97 (989/33) -> 29.97 (30000/1001)";
  {
    TEngine engine;
    ClearLogLines();
    ASSERT_TRUE(engine.In(path)) << engine.LastError();
    bool found = false;
    for (const TRecordedLine& line : LogLines())
      if (line.Text == text) {
        found = true;
        EXPECT_EQ(line.Level, llInfo);
        EXPECT_EQ(line.Sender, &engine);
      }
    EXPECT_TRUE(found);
    EXPECT_EQ(engine.Settings().Video.FFrameRate.num, 30000);
    EXPECT_EQ(engine.Settings().Video.FFrameRate.den, 1001);
  }
  {
    TEngine engine;
    engine.FSettings.Run.FVerbose = -1;
    ClearLogLines();
    ASSERT_TRUE(engine.In(path)) << engine.LastError();
    EXPECT_FALSE(LogContains("Seems stream"));
  }
  {
    // Matroska keeps the rates equal: nothing is reported.
    testmedia::ClipSpec same = spec;
    same.container = "mkv";
    TEngine engine;
    ClearLogLines();
    ASSERT_TRUE(engine.In(testmedia::CachedClip(same))) << engine.LastError();
    EXPECT_FALSE(LogContains("Seems stream"));
  }
}

// ---- What reaches the demuxer ----

TEST(InputFileDemuxerSettings, RawVideoTakesSizeRateAndPixelFormatFromTheSettings) {
  TTempFolder folder;
  const std::string path = folder / "frames.raw";
  WriteBytes(path, 64 * 48 * 10, '\x40');  // ten gray8 frames of 64x48
  {
    // Without a size the raw demuxer cannot read the file.
    TEngine engine;
    engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("rawvideo");
    EXPECT_FALSE(engine.In(path));
    EXPECT_EQ(engine.LastError(), path + ": Error while parsing header");
  }
  TEngine engine;
  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("rawvideo");
  engine.FSettings.Video.FFrameWidth = 60;  // the pads add to the size
  engine.FSettings.Video.FFramePadLeft = 2;
  engine.FSettings.Video.FFramePadRight = 2;
  engine.FSettings.Video.FFrameHeight = 44;
  engine.FSettings.Video.FFramePadTop = 4;
  engine.FSettings.Video.FFrameRate = AVRational{10, 1};
  engine.FSettings.Video.FFramePixFmt = AV_PIX_FMT_GRAY8;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  const AVStream* st = engine.InputFile(0)->streams[0];
  EXPECT_EQ(st->codecpar->width, 64);
  EXPECT_EQ(st->codecpar->height, 48);
  EXPECT_EQ(st->codecpar->format, AV_PIX_FMT_GRAY8);
  EXPECT_EQ(engine.Settings().Video.FFrameWidth, 64);
  EXPECT_EQ(engine.Settings().Video.FFrameHeight, 48);
  EXPECT_EQ(engine.Settings().Video.FFramePixFmt, AV_PIX_FMT_GRAY8);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.num, 10);
  EXPECT_EQ(engine.Settings().Video.FFrameRate.den, 1);
  // The pads stay for the output.
  EXPECT_EQ(engine.Settings().Video.FFramePadLeft, 2);
}

TEST(InputFileDemuxerSettings, RawAudioTakesSampleRateAndChannelsFromTheSettings) {
  TTempFolder folder;
  const std::string path = folder / "sound.raw";
  WriteBytes(path, 8000 * 2 * 2 * 3, '\0');  // 3 s of 16-bit stereo at 8000 Hz
  TEngine engine;
  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("s16le");
  engine.FSettings.Audio.FAudioSampleRate = 8000;
  engine.FSettings.Audio.FAudioChannels = 2;  // the demuxer's own default is mono
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 8000);
  EXPECT_EQ(engine.Settings().Audio.FAudioChannels, 2);
  EXPECT_EQ(engine.Settings().Audio.FAudioSampleFmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(engine.TotalDuration(), 3000);
}

TEST(InputFileDemuxerSettings, StoredDecodingOptionsReachTheFormatContext) {
  TEngine engine;
  ASSERT_TRUE(SetGenericOption(engine.FOptionStore, "probesize", "50000"));
  // An output-only option of the format context stays away from inputs.
  ASSERT_TRUE(SetGenericOption(engine.FOptionStore, "avoid_negative_ts", "make_zero"));
  ASSERT_TRUE(engine.In(Wav())) << engine.LastError();
  const AVFormatContext* ctx = engine.InputFile(0);
  EXPECT_EQ(ctx->probesize, 50000);
  EXPECT_EQ(ctx->avoid_negative_ts, AVFMT_AVOID_NEG_TS_AUTO);
  EXPECT_TRUE(ctx->flags & AVFMT_FLAG_NONBLOCK);
}

TEST(InputFileDemuxerSettings, ForcedDecodersReachTheFormatContextAndTheCodecTable) {
  const std::string path = testmedia::CachedClip(Clip("avi"));
  TEngine engine;
  engine.FSettings.Video.FVideoCodecName = "mpeg4";
  engine.FSettings.Audio.FAudioCodecName = "mp3float";
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  const AVFormatContext* ctx = engine.InputFile(0);
  const AVCodec* video = lib::avcodec_find_decoder_by_name("mpeg4");
  const AVCodec* audio = lib::avcodec_find_decoder_by_name("mp3float");
  EXPECT_EQ(ctx->video_codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(ctx->video_codec, video);
  EXPECT_EQ(ctx->audio_codec_id, AV_CODEC_ID_MP3);
  EXPECT_EQ(ctx->audio_codec, audio);
  EXPECT_EQ(ctx->subtitle_codec_id, AV_CODEC_ID_NONE);
  ASSERT_EQ(engine.FInputCodecCount, 2);
  EXPECT_EQ(engine.InputCodec(0), video);
  EXPECT_EQ(engine.InputCodec(1), audio);
  // The names hold for one input only; a second input gets no forced decoders.
  EXPECT_EQ(engine.Settings().Video.FVideoCodecName, "");
  EXPECT_EQ(engine.Settings().Audio.FAudioCodecName, "");
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.InputFile(1)->video_codec_id, AV_CODEC_ID_NONE);
  EXPECT_EQ(engine.InputFile(1)->audio_codec, nullptr);
  ASSERT_EQ(engine.FInputCodecCount, 4);
  EXPECT_EQ(engine.InputCodec(2), nullptr);
  EXPECT_EQ(engine.InputCodec(3), nullptr);
}

TEST(InputFileDemuxerSettings, PgmyuvCompatibilityForcesThePgmyuvDecoder) {
  // A 16x16 yuv420p picture in pgmyuv layout: a 16x24 grey map.
  TTempFolder folder;
  const std::string path = folder / "picture.pgm";
  {
    std::ofstream file(path, std::ios::binary);
    file << "P5\n16 24\n255\n" << std::string(16 * 24, '\x80');
  }
  {
    TEngine engine;
    engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("image2");
    ASSERT_TRUE(engine.In(path)) << engine.LastError();
    EXPECT_EQ(engine.Settings().Video.FFrameHeight, 24);  // read as a plain grey map
  }
  TEngine engine;
  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("image2");
  engine.FSettings.Run.FPgmyuvCompat = true;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.InputFile(0)->video_codec_id, AV_CODEC_ID_PGMYUV);
  EXPECT_EQ(engine.InputFile(0)->streams[0]->codecpar->codec_id, AV_CODEC_ID_PGMYUV);
  EXPECT_EQ(engine.Settings().Video.FFrameWidth, 16);
  EXPECT_EQ(engine.Settings().Video.FFrameHeight, 16);
  EXPECT_EQ(engine.Settings().Video.FFramePixFmt, AV_PIX_FMT_YUV420P);
}

TEST(InputFileDemuxerSettings, ProgramAndStreamDiscards) {
  const std::string ts = testmedia::CachedClip(Clip("ts"));
  {
    TEngine engine;
    engine.FSettings.Mux.FProgramId = 2;
    ASSERT_TRUE(engine.In(ts)) << engine.LastError();
    ASSERT_EQ(engine.InputFile(0)->nb_programs, 1u);
    EXPECT_EQ(engine.InputFile(0)->programs[0]->id, 1);
    EXPECT_EQ(engine.InputFile(0)->programs[0]->discard, AVDISCARD_ALL);
    // The selected program stays.
    engine.FSettings.Mux.FProgramId = 1;
    ASSERT_TRUE(engine.In(ts)) << engine.LastError();
    EXPECT_EQ(engine.InputFile(1)->programs[0]->discard, AVDISCARD_NONE);
  }
  const std::string mkv = testmedia::CachedClip(Clip("mkv"));
  TEngine engine;
  ASSERT_TRUE(engine.In(mkv)) << engine.LastError();
  EXPECT_EQ(engine.InputFile(0)->streams[0]->discard, AVDISCARD_DEFAULT);
  EXPECT_EQ(engine.InputFile(0)->streams[1]->discard, AVDISCARD_DEFAULT);
  engine.FSettings.Video.FVideoDiscard = AVDISCARD_NONKEY;
  ASSERT_TRUE(engine.In(mkv)) << engine.LastError();
  EXPECT_EQ(engine.InputFile(1)->streams[0]->discard, AVDISCARD_NONKEY);
  EXPECT_EQ(engine.InputFile(1)->streams[1]->discard, AVDISCARD_DEFAULT);
  engine.FSettings.Video.FVideoDisable = true;
  engine.FSettings.Audio.FAudioDisable = true;
  ASSERT_TRUE(engine.In(mkv)) << engine.LastError();
  EXPECT_EQ(engine.InputFile(2)->streams[0]->discard, AVDISCARD_ALL);
  EXPECT_EQ(engine.InputFile(2)->streams[1]->discard, AVDISCARD_ALL);
  // Discarded streams keep their codec table entries.
  EXPECT_EQ(engine.FInputCodecCount, 6);
}

TEST(InputFileDemuxerSettings, LoopInputReachesTheImageDemuxer) {
  const std::string png = testmedia::CachedClip(Clip("png"));
  for (bool loop : {false, true}) {
    TEngine engine;
    engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("image2");
    engine.FSettings.Mux.FLoopInput = loop;
    ASSERT_TRUE(engine.In(png)) << engine.LastError();
    int64_t value = -1;
    ASSERT_GE(lib::av_opt_get_int(engine.InputFile(0)->priv_data, "loop", 0, &value), 0);
    EXPECT_EQ(value, loop ? 1 : 0);
  }
}

// ---- Start time, time offsets and the total duration ----

TEST(InputFileTiming, StartTimeSeeksTheNextInputOnly) {
  const std::string path = Wav(2.0);
  TEngine engine;
  engine.FSettings.Mux.FStartTime = 1000000;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.Settings().Mux.FStartTime, 0);
  const int64_t first = FirstPacketTime(engine.InputFile(0));
  EXPECT_GE(first, 900000);
  EXPECT_LE(first, 1000000);
  EXPECT_EQ(engine.FInputFiles[0]->TsOffset, -1000000);
  // The start time was consumed: the second input opens from its start. The
  // timestamp scales given before an input are that input's alone.
  engine.SetOption("itsscale", "0:2");
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(FirstPacketTime(engine.InputFile(1)), 0);
  EXPECT_EQ(engine.FInputFiles[1]->TsOffset, 0);
  EXPECT_EQ(engine.FInputFiles[0]->TsScale[0], 0.0);
  EXPECT_EQ(engine.FInputFiles[1]->TsScale[0], 2.0);
  EXPECT_EQ(engine.Settings().Mux.FInputTsScale[0], 0.0);
}

TEST(InputFileTiming, TimeOffsetWithAndWithoutCopyTs) {
  // Transport streams start later than 0.
  const std::string path = testmedia::CachedClip(Clip("ts"));
  TEngine engine;
  engine.FSettings.Mux.FInputTsOffset = 500000;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  const int64_t start = engine.InputFile(0)->start_time;
  ASSERT_NE(start, AV_NOPTS_VALUE);
  ASSERT_GT(start, 0);
  EXPECT_EQ(engine.FInputFiles[0]->TsOffset, 500000 - start);
  engine.FSettings.Mux.FStartTime = 200000;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.FInputFiles[1]->TsOffset, 500000 - (200000 + start));
  // The offset itself stays for later inputs; with copyts it is all there is.
  EXPECT_EQ(engine.Settings().Mux.FInputTsOffset, 500000);
  engine.FSettings.Run.FCopyTs = true;
  engine.FSettings.Mux.FStartTime = 200000;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.FInputFiles[2]->TsOffset, 500000);
}

TEST(InputFileTiming, LongestInputSetsTheTotalDuration) {
  TEngine engine;
  EXPECT_EQ(engine.TotalDuration(), -1);
  ASSERT_TRUE(engine.In(Wav(2.0))) << engine.LastError();
  EXPECT_EQ(engine.TotalDuration(), 2000);
  ASSERT_TRUE(engine.In(Wav(3.0))) << engine.LastError();
  EXPECT_EQ(engine.TotalDuration(), 3000);
  ASSERT_TRUE(engine.In(Wav(1.0))) << engine.LastError();
  EXPECT_EQ(engine.TotalDuration(), 3000);

  // A longer recording time set before stays.
  TEngine limited;
  limited.FTotalDuration = 10000;
  ASSERT_TRUE(limited.In(Wav(2.0))) << limited.LastError();
  EXPECT_EQ(limited.TotalDuration(), 10000);
}

// ---- Failures ----

TEST(InputFileFailures, UnknownOrWrongTypeDecoderNamesFailTheOpen) {
  const std::string path = Wav();
  struct TCase {
    std::string& (*Field)(TEngineSettings&);
    const char* Name;
    const char* Text;
  };
  // Each name field, and a name of the wrong type (the lookup's texts are
  // checked above).
  const TCase cases[] = {
      {[](TEngineSettings& S) -> std::string& { return S.Video.FVideoCodecName; }, "nosuch",
       "Unknown decoder 'nosuch'"},
      {[](TEngineSettings& S) -> std::string& { return S.Audio.FAudioCodecName; }, "nosuch",
       "Unknown decoder 'nosuch'"},
      {[](TEngineSettings& S) -> std::string& { return S.Subtitle.FSubtitleCodecName; }, "nosuch",
       "Unknown decoder 'nosuch'"},
      {[](TEngineSettings& S) -> std::string& { return S.Audio.FAudioCodecName; }, "h264",
       "Invalid decoder type 'h264'"},
  };
  TEngine engine;
  for (const TCase& c : cases) {
    c.Field(engine.FSettings) = c.Name;
    engine.FLastError.clear();
    EXPECT_FALSE(engine.In(path)) << c.Name;
    EXPECT_EQ(engine.LastError(), c.Text);
    EXPECT_EQ(c.Field(engine.FSettings), "") << "the name is cleared after the failure";
    EXPECT_EQ(engine.InputFileCount(), 0);
    EXPECT_EQ(engine.FInputCodecCount, 0);
  }
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.InputFileCount(), 1);
}

TEST(InputFileFailures, ForcedInputFormats) {
  const std::string path = Wav();
  TEngine engine;
  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("wav");
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.Settings().Mux.FInputFormat, nullptr);
  EXPECT_STREQ(engine.InputFile(0)->iformat->name, "wav");

  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("avi");
  EXPECT_FALSE(engine.In(path));
  EXPECT_EQ(engine.LastError(), path + ": Error while parsing header");
  EXPECT_EQ(engine.Settings().Mux.FInputFormat, nullptr);

  // A transport stream demuxer finds no stream in a wav file.
  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("mpegts");
  ClearLogLines();
  EXPECT_FALSE(engine.In(path));
  const std::string text = path + ": could not find codec parameters";
  EXPECT_EQ(engine.LastError(), text);
  ASSERT_FALSE(LogLines().empty());
  bool logged = false;
  for (const TRecordedLine& line : LogLines())
    if (line.Text == text && line.Level == llVerbose && line.Sender == &engine) logged = true;
  EXPECT_TRUE(logged);
  EXPECT_EQ(engine.InputFileCount(), 1);

  // Quiet, the missing stream information is no failure.
  engine.FSettings.Run.FVerbose = -1;
  engine.FSettings.Mux.FInputFormat = lib::av_find_input_format("mpegts");
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.InputFileCount(), 2);
  EXPECT_EQ(engine.InputFile(1)->nb_streams, 0u);
}

class InputFileBadFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(InputFileBadFiles, FailWithTheProbesTextAndRecordNothing) {
  TTempFolder folder;
  const std::string kind = GetParam();
  std::string path;
  std::string expected;
  if (kind == "missing") {
    path = folder / "missing.avi";
    expected = path + ": no such file or directory";
  } else if (kind == "empty") {
    path = folder / "empty.avi";
    testmedia::MakeEmptyFile(path);
    expected = path + ": Unknown format";
  } else if (kind == "text") {
    path = folder / "notes.avi";
    testmedia::MakeTextFile(path, "These are some notes, not a video.\nSecond line.\n");
    expected = path + ": Unknown format";
  } else if (kind == "truncated-avi") {
    path = folder / "cut.avi";
    testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("avi")), path, 0.02);
    expected = path + ": Error while parsing header";
  } else if (kind == "truncated-mkv") {
    path = folder / "cut.mkv";
    testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("mkv")), path, 0.02);
    expected = path + ": I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
  } else {
    path = folder / "folder.avi";
    std::filesystem::create_directory(path);
    expected = path + ": Error while opening file";
  }

  TAVProbe probe;
  probe.Enable();
  EXPECT_FALSE(probe.LoadFile(FromLocal8Bit(path)));
  EXPECT_EQ(probe.LastErrMsg(), expected);

  TEngine engine;
  engine.FSettings.Video.FVideoChannel = 3;
  engine.FSettings.Mux.FOutputFormat = lib::av_guess_format("avi", nullptr, nullptr);
  engine.FSettings.Mux.FStartTime = 1000000;
  const int64_t duration = engine.TotalDuration();
  EXPECT_FALSE(engine.In(path));
  EXPECT_EQ(engine.LastError(), expected);
  EXPECT_EQ(engine.InputFileCount(), 0);
  EXPECT_EQ(engine.InputFile(0), nullptr);
  EXPECT_EQ(engine.FInputCodecCount, 0);
  EXPECT_EQ(engine.TotalDuration(), duration);
  // The settings of one input are gone, the others stay.
  EXPECT_EQ(engine.Settings().Video.FVideoChannel, 0);
  EXPECT_EQ(engine.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_EQ(engine.Settings().Mux.FStartTime, 1000000);

  // The instance opens the next input.
  engine.FSettings.Mux.FStartTime = 0;
  ASSERT_TRUE(engine.In(Wav())) << engine.LastError();
  EXPECT_EQ(engine.InputFileCount(), 1);
  EXPECT_EQ(engine.FInputCodecCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, InputFileBadFiles,
                         ::testing::Values("missing", "empty", "text", "truncated-avi", "truncated-mkv", "directory"),
                         [](const auto& AInfo) {
                           std::string name = AInfo.param;
                           for (char& ch : name)
                             if (ch == '-') ch = '_';
                           return name;
                         });

TEST(InputFileFailures, NameTooLongForTheLibrary) {
  const std::u16string name = u"/tmp/" + std::u16string(kMaxLibraryFileName, u'a') + u".wav";
  TEngine engine;
  engine.FSettings.Video.FVideoChannel = 2;
  EXPECT_FALSE(engine.OpenInputFile(name));
  EXPECT_EQ(engine.LastError(), FileNameTooLongText(name));
  EXPECT_EQ(engine.InputFileCount(), 0);
  EXPECT_EQ(engine.Settings().Video.FVideoChannel, 0);
}

TEST(InputFileFailures, TwentyInputsAtMost) {
  const std::string path = Wav(0.2);
  TEngine engine;
  for (int i = 0; i < MAX_FILES; ++i) ASSERT_TRUE(engine.In(path)) << i << ": " << engine.LastError();
  EXPECT_EQ(engine.InputFileCount(), 20);
  engine.FSettings.Video.FVideoCodecName = "mpeg4";
  EXPECT_EQ(RaisedBy([&] { engine.In(path); }), "Too many input files (at most 20)") << "the 21st input";
  EXPECT_EQ(engine.InputFileCount(), 20);
  EXPECT_EQ(engine.FInputCodecCount, 20);
}

TEST(InputFileFailures, FullCodecTableRefusesTheInput) {
  const std::string path = testmedia::CachedClip(Clip("mkv"));  // two streams
  TEngine engine;
  engine.FInputCodecCount = MAX_STREAM_MAPS - 1;
  engine.FSettings.Video.FVideoCodecName = "h264";
  engine.FSettings.Mux.FStartTime = 100000;
  EXPECT_EQ(RaisedBy([&] { engine.In(path); }), "Too many input streams (at most 400)");
  EXPECT_EQ(engine.InputFileCount(), 0);
  EXPECT_EQ(engine.InputFile(0), nullptr);
  EXPECT_EQ(engine.FInputCodecCount, MAX_STREAM_MAPS - 1);
  EXPECT_EQ(engine.Settings().Video.FVideoCodecName, "");
  EXPECT_EQ(engine.Settings().Mux.FStartTime, 0);

  engine.FInputCodecCount = MAX_STREAM_MAPS - 2;
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(engine.FInputCodecCount, MAX_STREAM_MAPS);
}

// ---- Wide names ----

TEST(InputFileNames, ChineseFileNameInAUtf8AndInTheCLocale) {
  TTempFolder folder;
  const std::string path = folder / "测试音频.wav";
  std::filesystem::copy_file(Wav(), path);
  const std::u16string name = FromLocal8Bit(path);
  {
    TEngine engine;
    ASSERT_TRUE(engine.OpenInputFile(name)) << engine.LastError();
    EXPECT_EQ(std::string(engine.InputFile(0)->url), path);
  }
  {
    TLocaleScope locale("C");
    TEngine engine;
    ClearLogLines();
    const bool opened = engine.OpenInputFile(name);
    const std::string error = engine.LastError();
    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(std::string(engine.InputFile(0)->url).rfind(kUnicodeURLPrefix, 0), 0u);
    EXPECT_EQ(FileNameFromLibrary(engine.InputFile(0)->url), name);
    EXPECT_EQ(engine.Settings().Audio.FAudioSampleRate, 44100);
    EXPECT_TRUE(LogContains("from 'unicode:utf8:"));
    // A name the locale cannot show is quoted with its replacement marks.
    const std::u16string missing = FromLocal8Bit(folder / "不存在.wav");
    EXPECT_FALSE(engine.OpenInputFile(missing));
    EXPECT_EQ(engine.LastError(), ToLocal8Bit(missing) + ": no such file or directory");
    EXPECT_EQ(engine.InputFileCount(), 1);
  }
}

// ---- The format description ----

TEST(InputFileLog, FormatDescriptionReachesTheLogger) {
  const std::string path = Wav();
  TEngine engine;
  ClearLogLines();
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(LinesContaining("Input #0, wav, from '" + path + "':"), 1);
  EXPECT_EQ(LinesContaining("Input #1, wav, from '" + path + "':"), 1);
  EXPECT_EQ(LinesContaining("  Duration: 00:00:00.50"), 2);
  EXPECT_EQ(LinesContaining("Stream #0:0: Audio: pcm_s16le"), 1);

  engine.FSettings.Run.FVerbose = -1;
  ClearLogLines();
  ASSERT_TRUE(engine.In(path)) << engine.LastError();
  EXPECT_EQ(LinesContaining("Input #2"), 0);
}
