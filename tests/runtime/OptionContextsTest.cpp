#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/OptionContexts.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/SwScale.h"

namespace {

class OptionContextsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
    FFmpegLoader().AutoLogCallback = true;
    Logger = std::make_unique<TFFLogger>();
    Logger->OnLog = [this](TObject*, uint32_t, TLogLevel, const std::string& AMsg) { Lines.push_back(AMsg); };
    ASSERT_TRUE(FFmpegLoader().LoadLibs(kConverterLibraries)) << FFmpegLoader().LastError();
    ASSERT_TRUE(AllocOptionContexts(Contexts, SWS_BICUBIC));
  }
  void TearDown() override {
    FreeOptionContexts(Contexts);
    Logger.reset();
  }
  int64_t Int(void* AObject, const char* AName) {
    int64_t v = -12345;
    lib::av_opt_get_int(AObject, AName, 0, &v);
    return v;
  }

  TOptionContexts Contexts;
  std::unique_ptr<TFFLogger> Logger;
  std::vector<std::string> Lines;
};

}  // namespace

TEST_F(OptionContextsTest, CodecOptionsReachEveryMediaTypeThatHasThem) {
  ASSERT_TRUE(SetGenericOption(Contexts, "b", "600000"));
  EXPECT_EQ(Contexts.Codec[AVMEDIA_TYPE_VIDEO]->bit_rate, 600000);
  EXPECT_EQ(Contexts.Codec[AVMEDIA_TYPE_AUDIO]->bit_rate, 600000);
  ASSERT_TRUE(SetGenericOption(Contexts, "g", "15"));  // a video-only option
  EXPECT_EQ(Contexts.Codec[AVMEDIA_TYPE_VIDEO]->gop_size, 15);
  EXPECT_EQ(Contexts.Names, (std::vector<std::string>{"b", "g"}));
}

TEST_F(OptionContextsTest, PrefixedNamesFallBackToTheirMediaType) {
  ASSERT_TRUE(SetGenericOption(Contexts, "ab", "64000"));
  EXPECT_EQ(Contexts.Codec[AVMEDIA_TYPE_AUDIO]->bit_rate, 64000);
  EXPECT_NE(Contexts.Codec[AVMEDIA_TYPE_VIDEO]->bit_rate, 64000);
  ASSERT_TRUE(SetGenericOption(Contexts, "vb", "700000"));
  EXPECT_EQ(Contexts.Codec[AVMEDIA_TYPE_VIDEO]->bit_rate, 700000);
  EXPECT_EQ(Contexts.Codec[AVMEDIA_TYPE_AUDIO]->bit_rate, 64000);
  // "ab" is an audio option of its own; "vb" is known only as "b".
  EXPECT_EQ(Contexts.Names, (std::vector<std::string>{"ab", "b"}));
}

TEST_F(OptionContextsTest, FormatAndScalerOptions) {
  ASSERT_TRUE(SetGenericOption(Contexts, "probesize", "123456"));
  EXPECT_EQ(Contexts.Format->probesize, 123456);
  ASSERT_TRUE(SetGenericOption(Contexts, "sws_flags", "bilinear"));
  EXPECT_EQ(Int(Contexts.Scaler, "sws_flags"), SWS_BILINEAR);
}

TEST_F(OptionContextsTest, UnknownNamesEmptyTextsAndBadValues) {
  EXPECT_FALSE(SetGenericOption(Contexts, "no_such_option", "1"));
  EXPECT_FALSE(SetGenericOption(Contexts, " ", "1"));
  EXPECT_FALSE(SetGenericOption(Contexts, "b", "  "));
  EXPECT_FALSE(SetGenericOption(Contexts, "b", "lots"));
  EXPECT_TRUE(Contexts.Names.empty());
  bool logged = false;
  for (auto& l : Lines) logged |= l == "Invalid value \"lots\" for option \"b\"";
  EXPECT_TRUE(logged);
}

TEST_F(OptionContextsTest, DebugOptionRaisesTheLogLevel) {
  Logger->SetLogLevel(llInfo);
  ASSERT_TRUE(SetGenericOption(Contexts, "debug", "pict"));
  EXPECT_EQ(Logger->LogLevel(), llDebug);
  Logger->SetLogLevel(llInfo);
}

TEST_F(OptionContextsTest, ApplySetOptionsCopiesWhatTheMaskAllows) {
  ASSERT_TRUE(SetGenericOption(Contexts, "b", "800000"));
  ASSERT_TRUE(SetGenericOption(Contexts, "g", "25"));
  AVCodecContext* video = lib::avcodec_alloc_context3(nullptr);
  AVCodecContext* audio = lib::avcodec_alloc_context3(nullptr);
  ApplySetOptions(Contexts, Contexts.Codec[AVMEDIA_TYPE_VIDEO], video,
                  AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  ApplySetOptions(Contexts, Contexts.Codec[AVMEDIA_TYPE_AUDIO], audio,
                  AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(video->bit_rate, 800000);
  EXPECT_EQ(video->gop_size, 25);
  EXPECT_EQ(audio->bit_rate, 800000);
  EXPECT_NE(audio->gop_size, 25);  // "g" is no audio option
  AVDictionary* dict = SetOptionsDictionary(Contexts, Contexts.Codec[AVMEDIA_TYPE_VIDEO], AV_OPT_FLAG_VIDEO_PARAM);
  EXPECT_EQ(MetadataValue(dict, "g", ""), "25");
  EXPECT_EQ(MetadataValue(dict, "b", ""), "800000");
  EXPECT_EQ(MetadataValue(dict, "missing", "default"), "default");
  lib::av_dict_free(&dict);
  lib::avcodec_free_context(&video);
  lib::avcodec_free_context(&audio);
}

TEST_F(OptionContextsTest, CodecNameTexts) {
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_H264, 0, false), "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_MPEG2TS, 0, false), "mpeg2ts");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 'D'), false), "XVID / 0x44495658");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_NONE, 1, false), "0x0001");
  AVCodecContext* ctx = lib::avcodec_alloc_context3(nullptr);
  ctx->codec_id = AV_CODEC_ID_MP3;
  EXPECT_EQ(CodecNameText(ctx, true).rfind("libmp3lame", 0), 0u) << CodecNameText(ctx, true);
  EXPECT_EQ(CodecNameText(ctx, false).rfind("mp3", 0), 0u);
  lib::avcodec_free_context(&ctx);
}
