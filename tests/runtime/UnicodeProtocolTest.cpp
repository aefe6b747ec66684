#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVFormat.h"
#include "tests/support/TempFolder.h"

namespace {

class ScopedLocale {
 public:
  explicit ScopedLocale(const char* AName) : FOld(std::setlocale(LC_ALL, nullptr)) {
    EXPECT_NE(std::setlocale(LC_ALL, AName), nullptr);
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, FOld.c_str()); }

 private:
  std::string FOld;
};

void Put16(std::string& s, uint16_t v) {
  s += char(v & 0xFF);
  s += char(v >> 8);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

// One second of 8 kHz mono 16-bit silence with a ramp, as a WAV file.
std::string MakeWav() {
  const uint32_t samples = 8000;
  std::string w = "RIFF";
  Put32(w, 36 + samples * 2);
  w += "WAVEfmt ";
  Put32(w, 16);
  Put16(w, 1);
  Put16(w, 1);
  Put32(w, 8000);
  Put32(w, 16000);
  Put16(w, 2);
  Put16(w, 16);
  w += "data";
  Put32(w, samples * 2);
  for (uint32_t i = 0; i < samples; ++i) Put16(w, static_cast<uint16_t>(i));
  return w;
}

class UnicodeProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
    FFmpegLoader().AutoLogCallback = false;
    ASSERT_TRUE(FFmpegLoader().LoadLibs({ltAVCodec, ltAVFormat, ltAVUtil})) << FFmpegLoader().LastError();
  }

  // Writes ABytes under the UTF-8 form of AName (the name on disk).
  void WriteFile(const std::u16string& AName, const std::string& ABytes) {
    std::ofstream out(Utf16ToUtf8(AName), std::ios::binary);
    out << ABytes;
  }

  TTempFolder Dir{"vidmill-unicode"};
  std::u16string WDir = Utf8ToUtf16(Dir.Path().string()) + u"/";
};

}  // namespace

TEST(UnicodeNames, KnownProtocolsAreNeverConverted) {
  ScopedLocale locale("C");
  EXPECT_FALSE(NeedsUnicodeURL(u"http://host/转换.flv"));
  EXPECT_FALSE(NeedsUnicodeURL(u"udp://239.0.0.1:1234"));
  EXPECT_FALSE(NeedsUnicodeURL(u"pipe:0"));
  EXPECT_TRUE(NeedsUnicodeURL(u"/v/转换.avi"));
  EXPECT_TRUE(NeedsUnicodeURL(u"ftp:转换.avi"));  // not a known protocol: round trip decides
  EXPECT_FALSE(NeedsUnicodeURL(u"c:clip.avi"));   // a colon alone does not matter
}

TEST(UnicodeNames, UnderUtf8NamesPassUnchanged) {
  ScopedLocale locale("C.UTF-8");
  std::string text;
  EXPECT_FALSE(NeedsUnicodeURL(u"/v/转换.avi"));
  ASSERT_TRUE(ToLibraryFileName(u"/v/转换.avi", text));
  EXPECT_EQ(text, "/v/转换.avi");
  EXPECT_EQ(FileNameFromLibrary(text), u"/v/转换.avi");
}

TEST(UnicodeNames, UrlFormAndItsDecoding) {
  ScopedLocale locale("C");
  std::string text;
  ASSERT_TRUE(ToLibraryFileName(u"/v/转换:1.avi", text));
  EXPECT_EQ(text, "unicode:utf8:/v/转换:1.avi");
  EXPECT_TRUE(IsUnicodeURL(text));
  EXPECT_EQ(DecodeUnicodeURL(text), u"/v/转换:1.avi");
  EXPECT_EQ(FileNameFromLibrary(text), u"/v/转换:1.avi");
  EXPECT_EQ(MakeUnicodeURL(u"a"), "unicode:utf8:a");
  EXPECT_FALSE(IsUnicodeURL("unicode:utf8:"));
  EXPECT_TRUE(IsUnicodeURL("unicode:utf8:x"));
  EXPECT_FALSE(IsUnicodeURL("/plain/name.avi"));
  ASSERT_TRUE(ToLibraryFileName(u"/plain/name.avi", text));
  EXPECT_EQ(text, "/plain/name.avi");
}

TEST(UnicodeNames, OverlongNamesAreRefused) {
  std::u16string name = u"/" + std::u16string(5000, u'x');
  std::string text = "unchanged";
  EXPECT_FALSE(ToLibraryFileName(name, text));
  EXPECT_TRUE(text.empty());
  std::string message = FileNameTooLongText(name);
  EXPECT_NE(message.find("file name too long"), std::string::npos);
  EXPECT_LT(message.size(), 200u);
  EXPECT_TRUE(ToLibraryFileName(u"/" + std::u16string(kMaxLibraryFileName - 1, u'x'), text));
}

TEST_F(UnicodeProtocolTest, OperationsReadWriteSeekAndSize) {
  std::u16string name = WDir + u"数据.bin";
  std::string url = MakeUnicodeURL(name);
  int handle = -1;
  EXPECT_EQ(UnicodeOpen(url, AVIO_FLAG_READ, handle), -2);  // reading needs an existing file
  ASSERT_EQ(UnicodeOpen(url, AVIO_FLAG_WRITE, handle), 0);
  const unsigned char data[] = "0123456789";
  EXPECT_EQ(UnicodeWrite(handle, data, 10), 10);
  UnicodeClose(handle);
  ASSERT_EQ(UnicodeOpen(url, AVIO_FLAG_READ, handle), 0);
  EXPECT_EQ(UnicodeSeek(handle, 0, AVSEEK_SIZE), 10);
  EXPECT_EQ(UnicodeSeek(handle, 4, SEEK_SET), 4);
  unsigned char buffer[16] = {};
  EXPECT_EQ(UnicodeRead(handle, buffer, 3), 3);
  EXPECT_EQ(std::memcmp(buffer, "456", 3), 0);
  EXPECT_EQ(UnicodeSeek(handle, -2, SEEK_END), 8);
  EXPECT_EQ(UnicodeRead(handle, buffer, 16), 2);
  EXPECT_EQ(UnicodeRead(handle, buffer, 16), 0);  // end of file
  EXPECT_EQ(UnicodeSeek(handle, 0, 99), -1);
  UnicodeClose(handle);
  // Writing truncates an existing file; a folder cannot be opened.
  ASSERT_EQ(UnicodeOpen(url, AVIO_FLAG_WRITE, handle), 0);
  UnicodeClose(handle);
  EXPECT_EQ(std::filesystem::file_size(Utf16ToUtf8(name)), 0u);
  EXPECT_EQ(UnicodeOpen(MakeUnicodeURL(WDir), AVIO_FLAG_READ, handle), -2);
}

TEST_F(UnicodeProtocolTest, ChineseNameOpensReadsAndSeeksUnderTheCLocale) {
  ScopedLocale locale("C");
  std::u16string name = WDir + u"测试音频.wav";
  WriteFile(name, MakeWav());
  std::string text;
  ASSERT_TRUE(ToLibraryFileName(name, text));
  ASSERT_TRUE(IsUnicodeURL(text));
  AVFormatContext* ctx = nullptr;
  ASSERT_EQ(OpenInputContext(&ctx, text, nullptr, nullptr), 0);
  ASSERT_GE(lib::avformat_find_stream_info(ctx, nullptr), 0);
  EXPECT_STREQ(ctx->iformat->name, "wav");
  EXPECT_EQ(FileNameFromLibrary(ctx->url), name);
  ASSERT_EQ(ctx->nb_streams, 1u);
  EXPECT_EQ(ctx->streams[0]->codecpar->sample_rate, 8000);
  EXPECT_NEAR(ctx->duration / 1e6, 1.0, 0.01);
  AVPacket* packet = lib::av_packet_alloc();
  int64_t bytes = 0;
  while (lib::av_read_frame(ctx, packet) >= 0) {
    bytes += packet->size;
    lib::av_packet_unref(packet);
  }
  EXPECT_EQ(bytes, 16000);
  ASSERT_GE(lib::av_seek_frame(ctx, 0, 4000, AVSEEK_FLAG_ANY), 0);  // half way, in samples
  ASSERT_GE(lib::av_read_frame(ctx, packet), 0);
  int16_t first;
  std::memcpy(&first, packet->data, 2);
  EXPECT_NEAR(first, 4000, 1024);
  lib::av_packet_free(&packet);
  CloseInputContext(&ctx);
  EXPECT_EQ(ctx, nullptr);
}

TEST_F(UnicodeProtocolTest, FailedOpensLeaveNothingBehind) {
  ScopedLocale locale("C");
  AVFormatContext* ctx = nullptr;
  std::string missing = MakeUnicodeURL(WDir + u"没有.wav");
  EXPECT_LT(OpenInputContext(&ctx, missing, nullptr, nullptr), 0);
  EXPECT_EQ(ctx, nullptr);
  std::u16string junk = WDir + u"垃圾.wav";
  WriteFile(junk, "not a media file at all");
  ctx = lib::avformat_alloc_context();  // a pre-allocated context is freed on failure
  EXPECT_LT(OpenInputContext(&ctx, MakeUnicodeURL(junk), lib::av_find_input_format("wav"), nullptr), 0);
  EXPECT_EQ(ctx, nullptr);
}

TEST_F(UnicodeProtocolTest, OutputIsWrittenThroughTheProtocol) {
  ScopedLocale locale("C");
  std::u16string name = WDir + u"输出.wav";
  std::string text;
  ASSERT_TRUE(ToLibraryFileName(name, text));
  AVFormatContext* out = nullptr;
  ASSERT_GE(lib::avformat_alloc_output_context2(&out, nullptr, "wav", text.c_str()), 0);
  AVStream* st = lib::avformat_new_stream(out, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  st->codecpar->sample_rate = 8000;
  lib::av_channel_layout_default(&st->codecpar->ch_layout, 1);
  st->codecpar->bits_per_coded_sample = 16;
  st->codecpar->block_align = 2;
  st->time_base = AVRational{1, 8000};
  ASSERT_EQ(OpenOutputIO(out, text), 0);
  ASSERT_GE(lib::avformat_write_header(out, nullptr), 0);
  AVPacket* packet = lib::av_packet_alloc();
  ASSERT_GE(lib::av_new_packet(packet, 1600), 0);
  std::memset(packet->data, 0, 1600);
  packet->pts = packet->dts = 0;
  packet->duration = 800;
  ASSERT_GE(lib::av_interleaved_write_frame(out, packet), 0);
  lib::av_packet_free(&packet);
  ASSERT_GE(lib::av_write_trailer(out), 0);  // seeks back to patch the header
  CloseOutputIO(out);
  EXPECT_EQ(out->pb, nullptr);
  lib::avformat_free_context(out);
  std::string bytes;
  {
    std::ifstream in(Utf16ToUtf8(name), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GE(bytes.size(), 44u + 1600u);
  uint32_t dataSize;
  std::memcpy(&dataSize, bytes.data() + bytes.size() - 1600 - 4, 4);
  EXPECT_EQ(dataSize, 1600u);  // the trailer's seek reached the file
}

TEST_F(UnicodeProtocolTest, PlainNamesUseTheLibrarysOwnIO) {
  std::u16string name = WDir + u"plain.wav";
  WriteFile(name, MakeWav());
  std::string text;
  ASSERT_TRUE(ToLibraryFileName(name, text));
  EXPECT_FALSE(IsUnicodeURL(text));
  AVFormatContext* ctx = nullptr;
  ASSERT_EQ(OpenInputContext(&ctx, text, nullptr, nullptr), 0);
  EXPECT_EQ(ctx->flags & AVFMT_FLAG_CUSTOM_IO, 0);
  CloseInputContext(&ctx);
}
