// Creating outputs: which streams an output gets, the encoder parameters
// taken from the settings, the settings reset after each stream, metadata
// and mux settings, join mode, the failures of an open and what they leave
// behind, and the video filter graph of an encoded video stream.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/FFmpeg.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/FFUtils.h"
#include "runtime/Text.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

const char* const kPadText =
    "Cannot enable pad options and the filters which resize frame at the same time. (crop, rotate, scale, "
    "transpose, etc.)";
const char* const kCropText = "Cannot enable crop options and filters at the same time.";

using transcodetest::RaisedBy;
using transcodetest::TOptionList;
using TEngine = transcodetest::TTestEngine;

testmedia::ClipSpec Clip(const std::string& AContainer, double ADuration = 0.5) {
  testmedia::ClipSpec clip;
  clip.container = AContainer;
  clip.durationSec = ADuration;
  return clip;
}

// 320x240 at 25 fps with 44.1 kHz stereo sound.
std::string AudioVideoClip() { return testmedia::CachedClip(Clip("mkv")); }

std::string VideoOnlyClip() {
  testmedia::ClipSpec clip = Clip("mkv");
  clip.audio = false;
  return testmedia::CachedClip(clip);
}

std::vector<int> MediaTypes(const AVFormatContext* AContext) {
  std::vector<int> types;
  for (unsigned i = 0; i < AContext->nb_streams; ++i) types.push_back(AContext->streams[i]->codecpar->codec_type);
  return types;
}

// The keys of a dictionary in its iteration order.
std::vector<std::string> Keys(const AVDictionary* ADictionary) {
  std::vector<std::string> keys;
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = lib::av_dict_get(ADictionary, "", entry, AV_DICT_IGNORE_SUFFIX))) keys.emplace_back(entry->key);
  return keys;
}

std::string EncoderName(const AVCodecContext* ACodec) { return ACodec && ACodec->codec ? ACodec->codec->name : ""; }

bool Exists(const std::string& APath) { return std::filesystem::exists(APath); }

}  // namespace

// A folder and a prepared engine instance for each test.
class TOutputFileTest : public ::testing::Test {
 protected:
  TTempFolder Dir;
  TEngine E;
};
class OutputFileStreams : public TOutputFileTest {};
class OutputFileStreamCopy : public TOutputFileTest {};
class OutputFileEncoders : public TOutputFileTest {};
class OutputFileSettings : public TOutputFileTest {};
class OutputFileFailures : public TOutputFileTest {};
class OutputFileJoin : public TOutputFileTest {};
class OutputFileFilters : public TOutputFileTest {};

// ---- Which streams an output gets ----

TEST_F(OutputFileStreams, NoAudioStreamWithoutADefaultAudioCodecOrAnAudioInput) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  // The image2 muxer has a default video codec only.
  ASSERT_EQ(E.Out(Dir / "img%03d.png"), 1) << E.LastError();
  EXPECT_EQ(MediaTypes(E.Output(0)), std::vector<int>{AVMEDIA_TYPE_VIDEO});
  EXPECT_EQ(E.Codec(0, 0)->codec_id, AV_CODEC_ID_PNG);
  EXPECT_EQ(E.FOutputCodecCount, 1);

  TEngine videoOnly;
  ASSERT_TRUE(videoOnly.In(VideoOnlyClip())) << videoOnly.LastError();
  ASSERT_EQ(videoOnly.Out(Dir / "out.mp4"), 1) << videoOnly.LastError();
  EXPECT_EQ(MediaTypes(videoOnly.Output(0)), std::vector<int>{AVMEDIA_TYPE_VIDEO});
}

TEST_F(OutputFileStreams, WithoutInputsTheFormatDefaultsDecide) {
  // Matroska's defaults include a subtitle codec; without a name the
  // subtitle stream has no codec (the set-up reports it).
  ASSERT_EQ(E.Out(Dir / "out.mkv"), 1) << E.LastError();
  EXPECT_EQ(MediaTypes(E.Output(0)), (std::vector<int>{AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE}));
  EXPECT_EQ(E.Codec(0, 2)->codec_id, AV_CODEC_ID_NONE);
  EXPECT_EQ(E.OutputCodec(2), nullptr);

  // A named subtitle encoder, with its language; "sn" drops the stream.
  E.Set({{"scodec", "ass"}, {"slang", "eng"}});
  ASSERT_EQ(E.Out(Dir / "named.mkv"), 2) << E.LastError();
  EXPECT_EQ(E.Codec(1, 2)->codec_id, AV_CODEC_ID_ASS);
  ASSERT_NE(E.OutputCodec(5), nullptr);
  EXPECT_STREQ(E.OutputCodec(5)->name, "ass");
  EXPECT_EQ(Keys(E.Stream(1, 2)->metadata), std::vector<std::string>{"language"});
  EXPECT_TRUE(E.Settings().Subtitle.FSubtitleLanguage.empty());
  EXPECT_TRUE(E.Settings().Subtitle.FSubtitleCodecName.empty());

  E.SetOption("sn", "1");
  ASSERT_EQ(E.Out(Dir / "nosub.mkv"), 3) << E.LastError();
  EXPECT_EQ(E.Output(2)->nb_streams, 2u);
  EXPECT_TRUE(E.Settings().Subtitle.FSubtitleDisable);  // no subtitle stream reset it
}

TEST_F(OutputFileStreams, DisableFlagsAreResetOnlyByAStreamOfTheirKind) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  E.SetOption("an", "1");
  ASSERT_EQ(E.Out(Dir / "video.mp4"), 1) << E.LastError();
  EXPECT_EQ(MediaTypes(E.Output(0)), std::vector<int>{AVMEDIA_TYPE_VIDEO});
  EXPECT_TRUE(E.Settings().Audio.FAudioDisable);  // a video-only output leaves it set
  EXPECT_FALSE(E.Settings().Video.FVideoDisable);

  // The flag still holds for the next output.
  ASSERT_EQ(E.Out(Dir / "video2.mp4"), 2) << E.LastError();
  EXPECT_EQ(E.Output(1)->nb_streams, 1u);

  // An audio stream added on its own clears it.
  E.SetOption("newaudio", "");
  EXPECT_EQ(MediaTypes(E.Output(1)), (std::vector<int>{AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}));
  EXPECT_FALSE(E.Settings().Audio.FAudioDisable);

  E.SetOption("vn", "1");
  ASSERT_EQ(E.Out(Dir / "audio.mp4"), 3) << E.LastError();
  EXPECT_EQ(MediaTypes(E.Output(2)), std::vector<int>{AVMEDIA_TYPE_AUDIO});
  EXPECT_TRUE(E.Settings().Video.FVideoDisable);
  E.SetOption("newvideo", "");
  EXPECT_FALSE(E.Settings().Video.FVideoDisable);
  EXPECT_EQ(MediaTypes(E.Output(2)), (std::vector<int>{AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO}));
}

TEST_F(OutputFileStreams, NewStreamsGoToTheOutputOpenedLast) {
  EXPECT_EQ(RaisedBy([&] { E.SetOption("newvideo", ""); }), "At least one output file must be specified");
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  ASSERT_EQ(E.Out(Dir / "first.mkv"), 1) << E.LastError();
  ASSERT_EQ(E.Out(Dir / "second.mkv"), 2) << E.LastError();
  E.Set({{"acodec", "mp2"}, {"alang", "ger"}, {"newaudio", ""}, {"newvideo", ""}});
  EXPECT_EQ(E.Output(0)->nb_streams, 2u);
  ASSERT_EQ(E.Output(1)->nb_streams, 4u);
  ASSERT_NE(E.Codec(1, 2), nullptr);
  EXPECT_EQ(E.Codec(1, 2)->codec_id, AV_CODEC_ID_MP2);
  EXPECT_EQ(MetadataValue(E.Stream(1, 2)->metadata, "language", ""), "ger");
  EXPECT_EQ(E.Codec(1, 3)->codec_type, AVMEDIA_TYPE_VIDEO);
  // Output codec entries follow the streams in order.
  EXPECT_EQ(E.FOutputCodecCount, 6);
  ASSERT_NE(E.OutputCodec(4), nullptr);
  EXPECT_STREQ(E.OutputCodec(4)->name, "mp2");
  EXPECT_EQ(E.OutputCodec(5), nullptr);
}

TEST_F(OutputFileStreams, InputMediaCheck) {
  ASSERT_TRUE(E.In(testmedia::CachedClip(Clip("wav")))) << E.LastError();
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  bool video = false, audio = false, subtitle = true;
  E.CheckInputMedia(false, video, audio, subtitle);
  EXPECT_TRUE(video);
  EXPECT_TRUE(audio);
  EXPECT_FALSE(subtitle);
  // Join looks at the first input only.
  E.CheckInputMedia(true, video, audio, subtitle);
  EXPECT_FALSE(video);
  EXPECT_TRUE(audio);

  AVCodecParameters* par = E.InputFile(1)->streams[0]->codecpar;
  const AVMediaType saved = par->codec_type;
  par->codec_type = static_cast<AVMediaType>(7);
  EXPECT_NO_THROW(E.CheckInputMedia(true, video, audio, subtitle));
  EXPECT_EQ(E.Out(Dir / "out.mp4"), -1);
  EXPECT_EQ(E.LastError(), "check_audio_video_sub_inputs fail: invalid codec_type of input file");
  EXPECT_EQ(E.OutputFileCount(), 0);
  par->codec_type = saved;
}

// ---- Stream copy ----

TEST_F(OutputFileStreamCopy, CopyKeepsTheSourceSizeAndTakesOnlyTheAspect) {
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  E.Set({{"vcodec", "copy"}, {"s", "640x480"}, {"aspect", "16:9"}});
  ASSERT_EQ(E.Out(Dir / "out.mkv"), 1) << E.LastError();
  const TOutputStreamSetup& setup = E.StreamSetup(0, 0);
  EXPECT_TRUE(setup.StreamCopy);
  ASSERT_NE(setup.Codec, nullptr);
  EXPECT_EQ(setup.Codec->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(setup.Codec->width, 0);
  EXPECT_EQ(setup.Codec->height, 0);
  EXPECT_EQ(E.Stream(0, 0)->codecpar->width, 0);
  // 16:9 shown on 640x480 pixels: 4:3 pixels.
  EXPECT_EQ(av_cmp_q(setup.Codec->sample_aspect_ratio, AVRational{4, 3}), 0);
  EXPECT_EQ(av_cmp_q(E.Stream(0, 0)->sample_aspect_ratio, AVRational{4, 3}), 0);
  EXPECT_EQ(E.OutputCodec(0), nullptr);
  EXPECT_EQ(E.Settings().Video.FVideoStreamCopy, 0);

  // The next output encodes again.
  ASSERT_EQ(E.Out(Dir / "encoded.mkv"), 2) << E.LastError();
  EXPECT_FALSE(E.StreamSetup(1, 0).StreamCopy);
  EXPECT_EQ(E.Codec(1, 0)->width, 640);
}

TEST_F(OutputFileStreamCopy, AudioCopyTakesTheChannelsAndRate) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  E.Set({{"acodec", "copy"}, {"ac", "1"}, {"ar", "22050"}});
  ASSERT_EQ(E.Out(Dir / "out.mkv"), 1) << E.LastError();
  const TOutputStreamSetup& setup = E.StreamSetup(0, 1);
  EXPECT_TRUE(setup.StreamCopy);
  EXPECT_FALSE(E.StreamSetup(0, 0).StreamCopy);
  EXPECT_EQ(setup.Codec->ch_layout.nb_channels, 1);
  EXPECT_EQ(setup.Codec->sample_rate, 22050);
  EXPECT_EQ(E.Settings().Audio.FAudioStreamCopy, 0);
}

// ---- Encoder choice and parameters ----

struct TDefaultCodecCase {
  const char* Name;
  AVCodecID Video;
  const char* VideoEncoder;
  AVCodecID Audio;
  const char* AudioEncoder;
};

void PrintTo(const TDefaultCodecCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class OutputFileDefaultCodecs : public ::testing::TestWithParam<TDefaultCodecCase> {};

TEST_P(OutputFileDefaultCodecs, TheFormatGuessChoosesTheEncoders) {
  const TDefaultCodecCase& c = GetParam();
  TTempFolder dir;
  TEngine engine;
  ASSERT_TRUE(engine.In(AudioVideoClip())) << engine.LastError();
  ASSERT_EQ(engine.Out(dir / c.Name), 1) << engine.LastError();
  ASSERT_EQ(engine.Output(0)->nb_streams, 2u);
  EXPECT_EQ(engine.Codec(0, 0)->codec_id, c.Video);
  EXPECT_EQ(EncoderName(engine.Codec(0, 0)), c.VideoEncoder);
  EXPECT_EQ(engine.Stream(0, 0)->codecpar->codec_id, c.Video);
  EXPECT_EQ(engine.Codec(0, 1)->codec_id, c.Audio);
  EXPECT_EQ(EncoderName(engine.Codec(0, 1)), c.AudioEncoder);
  EXPECT_EQ(engine.Stream(0, 1)->codecpar->codec_id, c.Audio);
  // Only encoders chosen by name are forced.
  EXPECT_EQ(engine.OutputCodec(0), nullptr);
  EXPECT_EQ(engine.OutputCodec(1), nullptr);
  // The sample format is one the encoder takes.
  const AVCodec* audio = engine.Codec(0, 1)->codec;
  ASSERT_NE(audio->sample_fmts, nullptr);
  bool listed = false;
  for (const AVSampleFormat* f = audio->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
    listed = listed || *f == engine.Codec(0, 1)->sample_fmt;
  EXPECT_TRUE(listed);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, OutputFileDefaultCodecs,
    ::testing::Values(TDefaultCodecCase{"out.mp4", AV_CODEC_ID_H264, "libx264", AV_CODEC_ID_AAC, "aac"},
                      TDefaultCodecCase{"out.avi", AV_CODEC_ID_MPEG4, "mpeg4", AV_CODEC_ID_MP3, "libmp3lame"},
                      TDefaultCodecCase{"out.flv", AV_CODEC_ID_FLV1, "flv", AV_CODEC_ID_MP3, "libmp3lame"}),
    [](const auto& AInfo) {
      std::string name = AInfo.param.Name;
      return name.substr(name.find('.') + 1);
    });

TEST_F(OutputFileEncoders, ThreeGppUsesTheEnginesAmrNbEncoder) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  E.Set({{"s", "176x144"}, {"ab", "12200"}});
  ASSERT_EQ(E.Out(Dir / "out.3gp"), 1) << E.LastError();
  ASSERT_EQ(E.Output(0)->nb_streams, 2u);
  EXPECT_EQ(E.Codec(0, 0)->codec_id, AV_CODEC_ID_H263);
  const TOutputStreamSetup& audio = E.StreamSetup(0, 1);
  ASSERT_NE(audio.AmrNb, nullptr);
  EXPECT_FALSE(audio.AmrNb->IsOpen());  // the set-up opens it
  EXPECT_EQ(audio.Codec->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(audio.Codec->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(audio.Codec->sample_rate, 8000);
  EXPECT_EQ(audio.Codec->ch_layout.nb_channels, 1);
  EXPECT_EQ(audio.Codec->sample_fmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(audio.Codec->frame_size, 160);
  EXPECT_EQ(audio.Codec->bit_rate, 12200);
  EXPECT_EQ(av_cmp_q(audio.Codec->time_base, AVRational{1, 8000}), 0);
  EXPECT_EQ(E.OutputCodec(1), nullptr);
  EXPECT_EQ(E.Stream(0, 1)->codecpar->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(E.Stream(0, 1)->codecpar->sample_rate, 8000);
  // Only the AMR-NB stream has the E's own encoder.
  EXPECT_EQ(E.StreamSetup(0, 0).AmrNb, nullptr);

  // Both AMR-NB encoder names select it in any container.
  for (const char* name : {"libopencore_amrnb", "amr_nb"}) {
    E.SetOption("acodec", name);
    const int count = E.Out(Dir / (std::string(name) + ".mkv"));
    ASSERT_GT(count, 0) << E.LastError();
    const TOutputStreamSetup& named = E.StreamSetup(count - 1, 1);
    EXPECT_NE(named.AmrNb, nullptr) << name;
    EXPECT_EQ(named.Codec->codec_id, AV_CODEC_ID_AMR_NB) << name;
    EXPECT_EQ(E.OutputCodec(E.FOutputCodecCount - 1), nullptr) << name;
  }
}

TEST_F(OutputFileEncoders, EncodersByName) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  E.Set({{"vcodec", "wmv2"}, {"acodec", "wmav2"}});
  ASSERT_EQ(E.Out(Dir / "out.wmv"), 1) << E.LastError();
  ASSERT_NE(E.OutputCodec(0), nullptr);
  ASSERT_NE(E.OutputCodec(1), nullptr);
  EXPECT_STREQ(E.OutputCodec(0)->name, "wmv2");
  EXPECT_STREQ(E.OutputCodec(1)->name, "wmav2");
  EXPECT_EQ(E.Codec(0, 0)->codec_id, AV_CODEC_ID_WMV2);
  EXPECT_EQ(E.Codec(0, 1)->codec_id, AV_CODEC_ID_WMAV2);
  EXPECT_EQ(E.Codec(0, 1)->sample_fmt, AV_SAMPLE_FMT_FLTP);
  EXPECT_TRUE(E.Settings().Video.FVideoCodecName.empty());
  EXPECT_TRUE(E.Settings().Audio.FAudioCodecName.empty());
}

TEST_F(OutputFileEncoders, RefusedEncoderNamesFailTheOpenAndAreForgotten) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  E.SetOption("vcodec", "x");
  EXPECT_EQ(E.Out(Dir / "out.mp4"), -1);
  EXPECT_EQ(E.LastError(), "new_video_stream fail: Unknown encoder 'x'");
  EXPECT_TRUE(E.Settings().Video.FVideoCodecName.empty());
  EXPECT_EQ(E.OutputFileCount(), 0);
  EXPECT_FALSE(Exists(Dir / "out.mp4"));

  E.Set({{"acodec", "libx264"}, {"alang", "eng"}});
  EXPECT_EQ(E.Out(Dir / "out.mp4"), -1);
  EXPECT_EQ(E.LastError(), "new_audio_stream fail: Invalid encoder type 'libx264'");
  EXPECT_TRUE(E.Settings().Audio.FAudioCodecName.empty());
  EXPECT_TRUE(E.Settings().Audio.FAudioLanguage.empty());
  // The video stream made before is gone with the output, and the output
  // codec entries are where they were.
  EXPECT_EQ(E.FOutputCodecCount, 0);
  EXPECT_EQ(E.StreamSetup(0, 0).Codec, nullptr);

  {
    // Without inputs matroska gets a subtitle stream.
    TEngine bare;
    bare.SetOption("scodec", "nosuch");
    EXPECT_EQ(bare.Out(Dir / "out.mkv"), -1);
    EXPECT_EQ(bare.LastError(), "new_subtitle_stream fail: Unknown encoder 'nosuch'");
    EXPECT_TRUE(bare.Settings().Subtitle.FSubtitleCodecName.empty());
  }

  // Through "newvideo" the text is raised and the output keeps its streams.
  ASSERT_EQ(E.Out(Dir / "good.mp4"), 1) << E.LastError();
  E.SetOption("vcodec", "nosuch");
  EXPECT_EQ(RaisedBy([&] { E.SetOption("newvideo", ""); }), "Unknown encoder 'nosuch'");
  EXPECT_EQ(E.Output(0)->nb_streams, 2u);
  EXPECT_EQ(E.FOutputCodecCount, 2);
}

TEST_F(OutputFileEncoders, VideoParametersFromTheSettings) {
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  E.Set({{"vcodec", "mpeg4"},
         {"s", "352x288"},
         {"aspect", "4:3"},
         {"r", "15"},
         {"b", "500000"},
         {"bufsize", "400000"},
         {"qscale", "5"},
         {"intra", "1"},
         {"dc", "10"},
         {"psnr", "1"},
         {"pass", "1"},
         {"vtag", "XVID"}});
  std::string matrix;
  for (int i = 0; i < 64; ++i) matrix += (i ? "," : "") + std::to_string(i + 1);
  E.SetOption("intra_matrix", matrix);
  E.FSettings.Run.FThreadCount = 3;
  ASSERT_EQ(E.Out(Dir / "out.avi"), 1) << E.LastError();
  const AVCodecContext* codec = E.Codec(0, 0);
  EXPECT_EQ(codec->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(codec->width, 352);
  EXPECT_EQ(codec->height, 288);
  EXPECT_EQ(av_cmp_q(codec->time_base, AVRational{1, 15}), 0);
  EXPECT_EQ(av_cmp_q(E.Stream(0, 0)->time_base, AVRational{1, 15}), 0);
  EXPECT_EQ(av_cmp_q(codec->sample_aspect_ratio, AVRational{12, 11}), 0);
  EXPECT_EQ(codec->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(codec->bit_rate, 500000);  // a stored option
  EXPECT_EQ(codec->rc_buffer_size, 400000);
  EXPECT_EQ(codec->rc_initial_buffer_occupancy, 300000);
  EXPECT_NE(codec->flags & AV_CODEC_FLAG_QSCALE, 0);
  EXPECT_EQ(codec->global_quality, 5 * FF_QP2LAMBDA);
  EXPECT_EQ(codec->gop_size, 0);
  EXPECT_EQ(codec->intra_dc_precision, 2);
  EXPECT_NE(codec->flags & AV_CODEC_FLAG_PSNR, 0);
  EXPECT_NE(codec->flags & AV_CODEC_FLAG_PASS1, 0);
  EXPECT_EQ(codec->flags & AV_CODEC_FLAG_PASS2, 0);
  EXPECT_EQ(codec->codec_tag, static_cast<unsigned>('X' | 'V' << 8 | 'I' << 16 | 'D' << 24));
  EXPECT_EQ(codec->thread_count, 3);
  ASSERT_NE(codec->intra_matrix, nullptr);
  EXPECT_NE(codec->intra_matrix, E.Settings().Video.FIntraMatrix->data());  // the codec context's own copy
  EXPECT_EQ(codec->intra_matrix[0], 1);
  EXPECT_EQ(codec->intra_matrix[63], 64);
  EXPECT_EQ(codec->inter_matrix, nullptr);
  // The stream's parameters follow the codec context.
  EXPECT_EQ(E.Stream(0, 0)->codecpar->width, 352);
  EXPECT_EQ(E.Stream(0, 0)->codecpar->bit_rate, 500000);
}

TEST_F(OutputFileEncoders, AudioParametersFromTheSettings) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  E.SetOption("ar", "22050");
  E.SetOption("ac", "1");  // the input's stereo layout no longer fits
  E.Set({{"aq", "4"}, {"ab", "96000"}, {"alang", "fre"}});
  ASSERT_EQ(E.Out(Dir / "out.avi"), 1) << E.LastError();
  const AVCodecContext* codec = E.Codec(0, 1);
  EXPECT_EQ(codec->sample_rate, 22050);
  EXPECT_EQ(av_cmp_q(codec->time_base, AVRational{1, 22050}), 0);
  EXPECT_EQ(codec->ch_layout.nb_channels, 1);
  EXPECT_EQ(codec->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
  EXPECT_EQ(codec->ch_layout.u.mask, AV_CH_LAYOUT_MONO);
  EXPECT_NE(codec->flags & AV_CODEC_FLAG_QSCALE, 0);
  EXPECT_EQ(codec->global_quality, 4 * FF_QP2LAMBDA);
  EXPECT_EQ(codec->bit_rate, 96000);
  EXPECT_EQ(MetadataValue(E.Stream(0, 1)->metadata, "language", ""), "fre");
  EXPECT_TRUE(E.Settings().Audio.FAudioLanguage.empty());
  EXPECT_EQ(E.Stream(0, 1)->codecpar->ch_layout.nb_channels, 1);

  // A layout whose channel count fits is kept.
  E.SetOption("ac", "6");
  E.FSettings.Audio.FChannelLayout = AV_CH_LAYOUT_5POINT1_BACK;
  ASSERT_EQ(E.Out(Dir / "six.mkv"), 2) << E.LastError();
  EXPECT_EQ(E.Codec(1, 1)->ch_layout.u.mask, AV_CH_LAYOUT_5POINT1_BACK);
  EXPECT_EQ(E.Codec(1, 1)->flags & AV_CODEC_FLAG_QSCALE, AV_CODEC_FLAG_QSCALE);  // "aq" is not reset
}

TEST_F(OutputFileEncoders, PixelFormatFallsBackToTheEncodersFirstListedFormat) {
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  E.SetOption("vcodec", "mjpeg");
  E.SetOption("pix_fmt", "rgb24");  // mjpeg does not take it
  ASSERT_EQ(E.Out(Dir / "rgb.avi"), 1) << E.LastError();
  EXPECT_EQ(E.Codec(0, 0)->pix_fmt, AV_PIX_FMT_YUVJ420P);
  E.SetOption("vcodec", "mjpeg");
  E.SetOption("pix_fmt", "yuv422p");  // listed: kept
  ASSERT_EQ(E.Out(Dir / "422.avi"), 2) << E.LastError();
  EXPECT_EQ(E.Codec(1, 0)->pix_fmt, AV_PIX_FMT_YUV422P);

  // Without any pixel format (no input) the first listed one.
  TEngine bare;
  bare.SetOption("vcodec", "mjpeg");
  ASSERT_EQ(bare.Out(Dir / "bare.avi"), 1) << bare.LastError();
  EXPECT_EQ(bare.Codec(0, 0)->pix_fmt, AV_PIX_FMT_YUVJ420P);
}

TEST_F(OutputFileEncoders, FrameRateSnapsToTheEncodersRatesUnlessForced) {
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  E.Set({{"vcodec", "mpeg1video"}, {"r", "24.5"}});
  ASSERT_EQ(E.Out(Dir / "snapped.mpg"), 1) << E.LastError();
  const AVRational snapped = E.Codec(0, 0)->time_base;
  const AVCodec* encoder = lib::avcodec_find_encoder_by_name("mpeg1video");
  bool listed = false;
  for (const AVRational* r = encoder->supported_framerates; r->num != 0; ++r)
    listed = listed || av_cmp_q(*r, AVRational{snapped.den, snapped.num}) == 0;
  EXPECT_TRUE(listed) << snapped.num << "/" << snapped.den;
  EXPECT_NEAR(av_q2d(AVRational{snapped.den, snapped.num}), 24.5, 0.6);

  E.Set({{"vcodec", "mpeg1video"}, {"force_fps", "1"}});
  ASSERT_EQ(E.Out(Dir / "forced.mpg"), 2) << E.LastError();
  EXPECT_EQ(av_cmp_q(E.Codec(1, 0)->time_base, AVRational{2, 49}), 0);

  // Without a rate at all: 25 frames per second.
  TEngine bare;
  ASSERT_EQ(bare.Out(Dir / "bare.avi"), 1) << bare.LastError();
  EXPECT_EQ(av_cmp_q(bare.Codec(0, 0)->time_base, AVRational{1, 25}), 0);
}

TEST_F(OutputFileEncoders, GlobalHeaders) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  ASSERT_EQ(E.Out(Dir / "out.avi"), 1) << E.LastError();
  EXPECT_EQ(E.Codec(0, 0)->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  EXPECT_EQ(E.Codec(0, 1)->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);

  // mp4 wants global headers: the streams and the stored contexts get the flag.
  ASSERT_EQ(E.Out(Dir / "out.mp4"), 2) << E.LastError();
  EXPECT_NE(E.Codec(1, 0)->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  EXPECT_NE(E.Codec(1, 1)->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  EXPECT_NE(E.OptionStore().Codec[AVMEDIA_TYPE_VIDEO]->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  EXPECT_NE(E.OptionStore().Codec[AVMEDIA_TYPE_AUDIO]->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);

  // "vglobal": bit 0 forces the global header, bit 1 asks for local headers.
  TEngine forced;
  ASSERT_TRUE(forced.In(VideoOnlyClip())) << forced.LastError();
  forced.SetOption("vglobal", "3");
  ASSERT_EQ(forced.Out(Dir / "forced.avi"), 1) << forced.LastError();
  EXPECT_NE(forced.Codec(0, 0)->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
  EXPECT_NE(forced.Codec(0, 0)->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER, 0);
  EXPECT_NE(forced.OptionStore().Codec[AVMEDIA_TYPE_VIDEO]->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER, 0);
  TEngine local;
  ASSERT_TRUE(local.In(VideoOnlyClip())) << local.LastError();
  local.SetOption("vglobal", "2");
  ASSERT_EQ(local.Out(Dir / "local.mp4"), 1) << local.LastError();
  EXPECT_EQ(local.Codec(0, 0)->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);  // not even for mp4
}

TEST_F(OutputFileEncoders, RateControlOverrides) {
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  E.SetOption("rc_override", "0,100,5/200,300,-50");
  ASSERT_EQ(E.Out(Dir / "out.avi"), 1) << E.LastError();
  const AVCodecContext* codec = E.Codec(0, 0);
  ASSERT_EQ(codec->rc_override_count, 2);
  ASSERT_NE(codec->rc_override, nullptr);
  EXPECT_EQ(codec->rc_override[0].start_frame, 0);
  EXPECT_EQ(codec->rc_override[0].end_frame, 100);
  EXPECT_EQ(codec->rc_override[0].qscale, 5);
  EXPECT_FLOAT_EQ(codec->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(codec->rc_override[1].start_frame, 200);
  EXPECT_EQ(codec->rc_override[1].end_frame, 300);
  EXPECT_EQ(codec->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(codec->rc_override[1].quality_factor, 0.5f);

  // The text holds for every video stream that follows; malformed entries
  // fail the stream.
  for (const char* bad : {"0,100", "0,100,5/", "a,100,5", "0,,5", "0,100,5/7"}) {
    E.Set({{"rc_override", bad}, {"vcodec", "mpeg4"}});
    EXPECT_EQ(E.Out(Dir / "bad.avi"), -1) << bad;
    EXPECT_EQ(E.LastError(), "new_video_stream fail: error parsing rc_override") << bad;
    EXPECT_TRUE(E.Settings().Video.FVideoCodecName.empty()) << bad;
  }
  EXPECT_EQ(RaisedBy([&] { E.SetOption("newvideo", ""); }), "error parsing rc_override");
  EXPECT_EQ(E.Output(0)->nb_streams, 1u);
}

// ---- Output settings ----

TEST_F(OutputFileSettings, MetadataGoesInReverseOrderAndTheListEmpties) {
  E.Set({{"metadata", "author=Somebody"}, {"metadata", "title=Something"}});
  ASSERT_EQ(E.Out(Dir / "out.mkv"), 1) << E.LastError();
  EXPECT_EQ(Keys(E.Output(0)->metadata), (std::vector<std::string>{"title", "author"}));
  EXPECT_EQ(MetadataValue(E.Output(0)->metadata, "author", ""), "Somebody");
  EXPECT_TRUE(E.Settings().Mux.FMetadata.empty());
  ASSERT_EQ(E.Out(Dir / "second.mkv"), 2) << E.LastError();
  EXPECT_TRUE(Keys(E.Output(1)->metadata).empty());
}

TEST_F(OutputFileSettings, RecordingTimestampBecomesTheCreationTime) {
  E.SetOption("timestamp", "2026-12-08T03:04:05Z");
  ASSERT_EQ(E.Out(Dir / "out.mov"), 1) << E.LastError();
  EXPECT_EQ(MetadataValue(E.Output(0)->metadata, "creation_time", ""), "2026-12-08T03:04:05.000000Z");
  TEngine none;
  ASSERT_EQ(none.Out(Dir / "none.mov"), 1) << none.LastError();
  EXPECT_EQ(MetadataValue(none.Output(0)->metadata, "creation_time", "-"), "-");
}

TEST_F(OutputFileSettings, MuxSettingsAndOptionsReachTheMuxer) {
  E.Set({{"muxdelay", "0.25"}, {"muxpreload", "0.3"}});
  E.SetOption("packetsize", "2048");  // a format-context option
  E.SetOption("muxrate", "2000000");  // private to the MPEG muxers
  ASSERT_EQ(E.Out(Dir / "out.mpg"), 1) << E.LastError();
  AVFormatContext* ctx = E.Output(0);
  EXPECT_EQ(ctx->max_delay, 250000);
  EXPECT_NE(ctx->flags & AVFMT_FLAG_NONBLOCK, 0);
  EXPECT_EQ(ctx->packet_size, 2048u);
  int64_t value = 0;
  ASSERT_GE(lib::av_opt_get_int(ctx->priv_data, "preload", 0, &value), 0);
  EXPECT_EQ(value, 300000);
  ASSERT_GE(lib::av_opt_get_int(ctx->priv_data, "muxrate", 0, &value), 0);
  EXPECT_EQ(value, 2000000);

  // A private value the muxer refuses is logged; the output still opens.
  E.FSettings.Run.FPrivateOptions.push_back({"preload", "not-a-number"});
  ClearLogLines();
  ASSERT_EQ(E.Out(Dir / "second.mpg"), 2) << E.LastError();
  EXPECT_TRUE(Logged(llError, "Invalid value \"not-a-number\" for option \"preload\""));

  // The loop count reaches muxers with a "loop" option.
  E.SetOption("loop_output", "3");
  ASSERT_EQ(E.Out(Dir / "out.gif"), 3) << E.LastError();
  ASSERT_GE(lib::av_opt_get_int(E.Output(2)->priv_data, "loop", 0, &value), 0);
  EXPECT_EQ(value, 3);
}

TEST_F(OutputFileSettings, BitstreamFiltersMoveToTheirStream) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  AVBSFContext* video = nullptr;
  AVBSFContext* audio = nullptr;
  ASSERT_GE(lib::av_bsf_alloc(lib::av_bsf_get_by_name("null"), &video), 0);
  ASSERT_GE(lib::av_bsf_alloc(lib::av_bsf_get_by_name("null"), &audio), 0);
  E.FSettings.Video.FVideoBitstreamFilters.Filters.push_back(video);
  E.FSettings.Audio.FAudioBitstreamFilters.Filters.push_back(audio);
  ASSERT_EQ(E.Out(Dir / "out.mkv"), 1) << E.LastError();
  EXPECT_TRUE(E.Settings().Video.FVideoBitstreamFilters.Empty());
  EXPECT_TRUE(E.Settings().Audio.FAudioBitstreamFilters.Empty());
  EXPECT_EQ(E.BitstreamFilters(0, 0).Filters, std::vector<AVBSFContext*>{video});
  EXPECT_EQ(E.BitstreamFilters(0, 1).Filters, std::vector<AVBSFContext*>{audio});

  // A failed open frees what it had taken over.
  AVBSFContext* lost = nullptr;
  ASSERT_GE(lib::av_bsf_alloc(lib::av_bsf_get_by_name("null"), &lost), 0);
  E.FSettings.Video.FVideoBitstreamFilters.Filters.push_back(lost);
  EXPECT_EQ(E.Out(Dir / "missing/out.mkv"), -1);
  EXPECT_TRUE(E.BitstreamFilters(1, 0).Empty());
}

// ---- Failures ----

TEST_F(OutputFileFailures, ImageSequenceNeedsAFrameNumberPattern) {
  ASSERT_TRUE(E.In(VideoOnlyClip())) << E.LastError();
  E.SetOption("f", "image2");
  const std::string name = Dir / "img.png";
  EXPECT_EQ(E.Out(name), -1);
  EXPECT_EQ(E.LastError(), OpenErrorText(name, -33));
  EXPECT_EQ(E.OutputFileCount(), 0);
  EXPECT_EQ(E.OutputFile(0), nullptr);
  EXPECT_EQ(E.Settings().Mux.FOutputFormat, nullptr);
  EXPECT_EQ(E.Settings().Mux.FInputFormat, nullptr);
  EXPECT_EQ(E.FOutputCodecCount, 0);
  EXPECT_FALSE(Exists(name));

  E.SetOption("f", "image2");
  EXPECT_EQ(E.Out(Dir / "img%03d.png"), 1) << E.LastError();
  EXPECT_EQ(E.Settings().Mux.FOutputFormat, nullptr);

  // With the muxer's "update" option one file is rewritten: no pattern needed.
  E.Set({{"f", "image2"}, {"update", "1"}});
  EXPECT_EQ(E.Out(name), 2) << E.LastError();
}

TEST_F(OutputFileFailures, OpenFailuresRecordNothing) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  const std::string missing = Dir / "missing/out.mp4";
  EXPECT_EQ(E.Out(missing), -1);
  EXPECT_EQ(E.LastError(), "Could not open '" + missing + "'");
  EXPECT_EQ(E.OutputFileCount(), 0);
  EXPECT_EQ(E.FOutputCodecCount, 0);
  EXPECT_EQ(E.StreamSetup(0, 0).Codec, nullptr);
  EXPECT_EQ(E.StreamSetup(0, 1).Codec, nullptr);

  const std::string unknown = Dir / "out.nosuchformat";
  EXPECT_EQ(E.Out(unknown), -1);
  EXPECT_EQ(E.LastError(), "Unable to find a suitable output format for '" + unknown + "'");
  EXPECT_FALSE(Exists(unknown));

  // The E instance stays usable; an existing file is overwritten.
  const std::string existing = Dir / "existing.mp4";
  std::ofstream(existing) << "old contents";
  EXPECT_EQ(E.Out(existing), 1) << E.LastError();
  EXPECT_EQ(std::filesystem::file_size(existing), 0u);
  EXPECT_EQ(E.FOutputCodecCount, 2);
  // Cleanup removes an output that stayed empty.
  E.Cleanup();
  EXPECT_FALSE(Exists(existing));
}

TEST_F(OutputFileFailures, CropAndPadCombinationsWithFilters) {
  {
    TEngine engine;
    ASSERT_TRUE(engine.In(VideoOnlyClip())) << engine.LastError();
    engine.Set({{"s", "320x240"}, {"padtop", "8"}, {"padbottom", "8"}});
    ASSERT_EQ(engine.Out(Dir / "padded.avi"), 1) << engine.LastError();
    EXPECT_EQ(engine.Codec(0, 0)->width, 320);
    EXPECT_EQ(engine.Codec(0, 0)->height, 256);
    EXPECT_FALSE(engine.Settings().Video.FUseFilters);

    // Pads and a text that resizes, in any letter case and at any place.
    for (const char* text : {"scale=100:100", "Crop=100:100:0:0", "hflip,TRANSPOSE=1", "hflip, scale=64:48"}) {
      engine.SetOption("vfilters", text);
      EXPECT_EQ(engine.Out(Dir / "refused.avi"), -1) << text;
      EXPECT_EQ(engine.LastError(), kPadText) << text;
      EXPECT_EQ(engine.OutputFileCount(), 1);
    }
    // A filter that keeps the size is fine with pads.
    engine.SetOption("vfilters", "hflip,scalefoo");
    EXPECT_EQ(engine.Out(Dir / "flipped.avi"), 2) << engine.LastError();
    EXPECT_TRUE(engine.Settings().Video.FUseFilters);
  }
  {
    TEngine engine;
    ASSERT_TRUE(engine.In(VideoOnlyClip())) << engine.LastError();
    engine.Set({{"s", "320x240"}, {"croptop", "8"}, {"vfilters", "hflip"}});
    EXPECT_EQ(engine.Out(Dir / "cropped.avi"), -1);
    EXPECT_EQ(engine.LastError(), kCropText);
  }
}

// ---- Join ----

TEST_F(OutputFileJoin, OneOutputSlotPerInputAndTheSummedDuration) {
  ASSERT_TRUE(E.In(testmedia::CachedClip(Clip("mkv", 0.5)))) << E.LastError();
  ASSERT_TRUE(E.In(testmedia::CachedClip(Clip("mkv", 1.0)))) << E.LastError();
  const int64_t expected = E.InputFile(0)->duration / 1000 + E.InputFile(1)->duration / 1000;
  EXPECT_EQ(E.Out(Dir / "joined.mp4", true), 2) << E.LastError();
  EXPECT_TRUE(E.Joined());
  EXPECT_EQ(E.OutputFileCount(), 2);
  EXPECT_EQ(E.Output(0), E.Output(1));
  EXPECT_EQ(E.TotalDuration(), expected);
  // The streams are those of one input, made once.
  EXPECT_EQ(E.Output(0)->nb_streams, 2u);
  EXPECT_EQ(E.FOutputCodecCount, 2);

  EXPECT_EQ(E.Out(Dir / "second.mp4"), -1);
  EXPECT_EQ(E.LastError(), "Cannot join more than one output file.");
  EXPECT_EQ(E.OutputFileCount(), 2);

  E.Cleanup();  // frees the shared context once
  EXPECT_EQ(E.OutputFileCount(), 0);
  EXPECT_EQ(E.OutputFile(1), nullptr);
}

TEST_F(OutputFileJoin, OneInputIsNoJoin) {
  ASSERT_TRUE(E.In(AudioVideoClip())) << E.LastError();
  EXPECT_EQ(E.Out(Dir / "out.mp4", true), 1) << E.LastError();
  EXPECT_FALSE(E.Joined());
  EXPECT_EQ(E.Out(Dir / "second.mp4"), 2) << E.LastError();
}

// ---- The video filter graph ----

namespace {

// A decoder for the first video stream of an engine's first input, and its
// first picture.
class TVideoSource {
 public:
  explicit TVideoSource(AVFormatContext* AInput) : FInput(AInput) {
    for (unsigned i = 0; i < AInput->nb_streams; ++i)
      if (AInput->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        Stream = AInput->streams[i];
        break;
      }
    if (!Stream) return;
    const AVCodec* decoder = lib::avcodec_find_decoder(Stream->codecpar->codec_id);
    Decoder = lib::avcodec_alloc_context3(decoder);
    if (lib::avcodec_parameters_to_context(Decoder, Stream->codecpar) < 0 ||
        lib::avcodec_open2(Decoder, decoder, nullptr) < 0)
      lib::avcodec_free_context(&Decoder);
  }
  ~TVideoSource() {
    lib::av_frame_free(&FFrame);
    lib::avcodec_free_context(&Decoder);
  }

  // The first decoded picture (decoded once).
  AVFrame* FirstFrame() {
    if (FFrame || !Decoder) return FFrame;
    AVFrame* frame = lib::av_frame_alloc();
    AVPacket* packet = lib::av_packet_alloc();
    bool got = false, flushed = false;
    while (!got) {
      const int received = lib::avcodec_receive_frame(Decoder, frame);
      if (received == 0) {
        got = true;
        break;
      }
      if (received != AVERROR(EAGAIN) || flushed) break;
      if (lib::av_read_frame(FInput, packet) < 0) {
        lib::avcodec_send_packet(Decoder, nullptr);
        flushed = true;
        continue;
      }
      if (packet->stream_index == Stream->index) lib::avcodec_send_packet(Decoder, packet);
      lib::av_packet_unref(packet);
    }
    lib::av_packet_free(&packet);
    if (got)
      FFrame = frame;
    else
      lib::av_frame_free(&frame);
    return FFrame;
  }

  AVStream* Stream = nullptr;
  AVCodecContext* Decoder = nullptr;

 private:
  AVFormatContext* FInput;
  AVFrame* FFrame = nullptr;
};

// Runs APicture through the graph of AInput; the filtered picture or null.
AVFrame* Filter(TInputStreamState& AInput, AVFrame* APicture) {
  if (!APicture || lib::av_buffersrc_add_frame_flags(AInput.InputFilter, APicture, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
    return nullptr;
  AVFrame* out = lib::av_frame_alloc();
  if (lib::av_buffersink_get_frame(AInput.OutputFilter, out) < 0) lib::av_frame_free(&out);
  return out;
}

std::vector<std::string> FilterNames(const AVFilterGraph* AGraph) {
  std::vector<std::string> names;
  for (unsigned i = 0; i < AGraph->nb_filters; ++i) names.emplace_back(AGraph->filters[i]->filter->name);
  return names;
}

// The "flags" text of every scale filter of the graph.
std::vector<std::string> ScalerFlags(const AVFilterGraph* AGraph) {
  std::vector<std::string> flags;
  for (unsigned i = 0; i < AGraph->nb_filters; ++i) {
    if (std::strcmp(AGraph->filters[i]->filter->name, "scale") != 0) continue;
    uint8_t* value = nullptr;
    lib::av_opt_get(AGraph->filters[i]->priv, "flags", 0, &value);
    flags.emplace_back(value ? reinterpret_cast<const char*>(value) : "");
    lib::av_free(value);
  }
  return flags;
}

bool Has(const std::vector<std::string>& ANames, const std::string& AName) {
  for (const std::string& name : ANames)
    if (name == AName) return true;
  return false;
}

// A decoder lent to an input stream record for as long as this lives: the
// record, which frees its decoder, gives it back first.
struct TLentDecoder {
  TLentDecoder(TInputStreamState& AInput, AVCodecContext* ADecoder) : Input(AInput) { Input.Decoder = ADecoder; }
  ~TLentDecoder() { Input.Decoder = nullptr; }
  TLentDecoder(const TLentDecoder&) = delete;
  TLentDecoder& operator=(const TLentDecoder&) = delete;
  TInputStreamState& Input;
};

// An engine with one input, one output and the decoder of its video.
struct TFilterBench {
  TFilterBench(const std::string& AOutput, const TOptionList& AOptions) {
    if (!Engine.In(testmedia::CachedClip(Clip("avi")))) return;
    for (const auto& option : AOptions) Engine.SetOption(option.first, option.second);
    if (Engine.Out(AOutput) != 1) return;
    Source = std::make_unique<TVideoSource>(Engine.InputFile(0));
    Input.Stream = Source->Stream;
    Lent = std::make_unique<TLentDecoder>(Input, Source->Decoder);
    Output.Encoder = Engine.Codec(0, 0);
    Output.Stream = Engine.Stream(0, 0);
  }
  bool Ready() const { return Source && Source->Decoder && Output.Encoder; }

  TEngine Engine;
  std::unique_ptr<TVideoSource> Source;
  TInputStreamState Input;
  std::unique_ptr<TLentDecoder> Lent;
  TOutputStreamState Output;
};

}  // namespace

TEST_F(OutputFileFilters, GraphScalesToTheEncoderSizeAndFormatWithTheScalerFlags) {
  struct TCase {
    TOptionList Options;
    const char* Flags;
    int Width, Height;
    AVPixelFormat Format;
  };
  // Same size: the graph inserts the converter itself, with the flags.
  const TCase cases[] = {
      {{{"vcodec", "mjpeg"}, {"pix_fmt", "yuv422p"}, {"s", "160x120"}, {"sws_flags", "bilinear"}},
       "2",
       160,
       120,
       AV_PIX_FMT_YUV422P},
      {{{"vcodec", "mjpeg"}, {"pix_fmt", "yuv444p"}, {"sws_flags", "neighbor"}}, "16", 320, 240, AV_PIX_FMT_YUV444P},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Flags);
    TTempFolder dir;
    TFilterBench bench(dir / "out.avi", c.Options);
    ASSERT_TRUE(bench.Ready()) << bench.Engine.LastError();
    ASSERT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), 0) << bench.Engine.LastError();
    ASSERT_NE(bench.Engine.FFilterGraph, nullptr);
    ASSERT_NE(bench.Input.InputFilter, nullptr);
    ASSERT_NE(bench.Input.OutputFilter, nullptr);
    EXPECT_STREQ(bench.Input.InputFilter->name, "src");
    EXPECT_STREQ(bench.Input.OutputFilter->name, "out");
    EXPECT_EQ(ScalerFlags(bench.Engine.FFilterGraph), std::vector<std::string>{c.Flags});
    EXPECT_EQ(bench.Engine.FFilterGraph->scale_sws_opts, std::string("flags=") + c.Flags);
    EXPECT_EQ(lib::av_buffersink_get_w(bench.Input.OutputFilter), c.Width);
    EXPECT_EQ(lib::av_buffersink_get_h(bench.Input.OutputFilter), c.Height);
    EXPECT_EQ(lib::av_buffersink_get_format(bench.Input.OutputFilter), c.Format);
    EXPECT_EQ(bench.Output.Encoder->width, c.Width);
    EXPECT_EQ(bench.Output.Encoder->height, c.Height);
    AVFrame* filtered = Filter(bench.Input, bench.Source->FirstFrame());
    ASSERT_NE(filtered, nullptr);
    EXPECT_EQ(filtered->width, c.Width);
    EXPECT_EQ(filtered->height, c.Height);
    EXPECT_EQ(filtered->format, c.Format);
    lib::av_frame_free(&filtered);
  }
}

TEST_F(OutputFileFilters, UserFilterTextIsApplied) {
  TFilterBench bench(Dir / "out.avi", {{"vfilters", "hflip"}});
  ASSERT_TRUE(bench.Ready()) << bench.Engine.LastError();
  ASSERT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), 0) << bench.Engine.LastError();
  const std::vector<std::string> names = FilterNames(bench.Engine.FFilterGraph);
  EXPECT_TRUE(Has(names, "hflip"));
  EXPECT_FALSE(Has(names, "scale"));  // same size and format: nothing to convert

  AVFrame* picture = bench.Source->FirstFrame();
  ASSERT_NE(picture, nullptr);
  AVFrame* filtered = Filter(bench.Input, picture);
  ASSERT_NE(filtered, nullptr);
  ASSERT_EQ(filtered->width, picture->width);
  // Every luma row comes out mirrored.
  bool mirrored = true;
  for (int y = 0; y < picture->height && mirrored; y += 7)
    for (int x = 0; x < picture->width; ++x)
      if (filtered->data[0][y * filtered->linesize[0] + x] !=
          picture->data[0][y * picture->linesize[0] + picture->width - 1 - x]) {
        mirrored = false;
        break;
      }
  EXPECT_TRUE(mirrored);
  lib::av_frame_free(&filtered);
}

TEST_F(OutputFileFilters, PadsKeepTheirSizeAndRefuseAResizingText) {
  TFilterBench bench(Dir / "out.avi", {{"padtop", "8"}, {"padbottom", "8"}, {"vfilters", "hflip"}});
  ASSERT_TRUE(bench.Ready()) << bench.Engine.LastError();
  ASSERT_EQ(bench.Output.Encoder->height, 256);
  ASSERT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), 0) << bench.Engine.LastError();
  EXPECT_EQ(lib::av_buffersink_get_h(bench.Input.OutputFilter), 240);  // the picture inside the pads
  EXPECT_EQ(bench.Output.Encoder->width, 320);
  EXPECT_EQ(bench.Output.Encoder->height, 256);

  // A text given after the output was opened still meets the pads here.
  bench.Engine.SetOption("vfilters", "scale=100:100");
  bench.Engine.FLastError.clear();
  EXPECT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), -1);
  EXPECT_EQ(bench.Engine.LastError(), kPadText);
  EXPECT_EQ(bench.Output.Encoder->height, 256);

  bench.Engine.FSettings.Video.FFrameTopBand = 8;
  EXPECT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), -1);
  EXPECT_EQ(bench.Engine.LastError(), kCropText);

  // A text the filter parser refuses fails without a text of its own.
  bench.Engine.FSettings.Video.FFrameTopBand = 0;
  bench.Engine.SetOption("vfilters", "nosuchfilter");
  bench.Engine.FLastError.clear();
  EXPECT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), -1);
  EXPECT_EQ(bench.Engine.LastError(), "");
}

TEST_F(OutputFileFilters, EarlierGraphsOfTheRunStayUsable) {
  TFilterBench bench(Dir / "out.avi", {{"vfilters", "hflip"}});
  ASSERT_TRUE(bench.Ready()) << bench.Engine.LastError();
  ASSERT_EQ(bench.Engine.ConfigureFilters(bench.Input, bench.Output), 0);
  // A second video stream of the same run (join mode) gets its own graph.
  TInputStreamState second;
  second.Stream = bench.Input.Stream;
  const TLentDecoder lent(second, bench.Input.Decoder);
  ASSERT_EQ(bench.Engine.ConfigureFilters(second, bench.Output), 0);
  EXPECT_NE(second.InputFilter, bench.Input.InputFilter);

  AVFrame* picture = bench.Source->FirstFrame();
  ASSERT_NE(picture, nullptr);
  for (TInputStreamState* input : {&bench.Input, &second}) {
    AVFrame* filtered = Filter(*input, picture);
    EXPECT_NE(filtered, nullptr);
    lib::av_frame_free(&filtered);
  }
}

TEST_F(OutputFileFilters, JoinedSlotsUseTheEncoderOfTheSharedOutput) {
  const std::string clip = testmedia::CachedClip(Clip("avi"));
  ASSERT_TRUE(E.In(clip)) << E.LastError();
  ASSERT_TRUE(E.In(clip)) << E.LastError();
  E.Set({{"s", "160x120"}, {"vfilters", "hflip"}});
  ASSERT_EQ(E.Out(Dir / "joined.avi", true), 2) << E.LastError();
  // Every slot holds the one output, with its one encoder context.
  ASSERT_NE(E.Codec(0, 0), nullptr);
  EXPECT_EQ(E.Codec(1, 0), E.Codec(0, 0));
  TVideoSource source(E.InputFile(1));
  ASSERT_NE(source.Decoder, nullptr);
  TInputStreamState input;
  input.Stream = source.Stream;
  const TLentDecoder lent(input, source.Decoder);
  TOutputStreamState output;  // no encoder given: found through the slot
  output.FileIndex = 1;
  output.Index = 0;
  ASSERT_EQ(E.ConfigureFilters(input, output), 0) << E.LastError();
  EXPECT_EQ(lib::av_buffersink_get_w(input.OutputFilter), 160);
  EXPECT_EQ(lib::av_buffersink_get_h(input.OutputFilter), 120);
}
