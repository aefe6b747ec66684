// The probe on good files: the information text, the records, the stream
// counts, attaching, Unicode names and every container the test media
// tooling writes.
#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVFormat.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// 320x240, 25 fps, 2 s, video and audio.
testmedia::ClipSpec Clip(const std::string& AContainer) {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  return spec;
}

// PAL-sized, 16:15 pixels, NTSC frame rate.
testmedia::ClipSpec PalClip(const std::string& AContainer) {
  testmedia::ClipSpec spec = Clip(AContainer);
  spec.width = 720;
  spec.height = 576;
  spec.sarNum = 16;
  spec.sarDen = 15;
  spec.fpsNum = 30000;
  spec.fpsDen = 1001;
  return spec;
}

// Lines of an information text; every line must end with CR LF.
std::vector<std::string> Lines(const std::string& AText) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < AText.size()) {
    size_t end = AText.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text does not end with CR LF: " << AText.substr(start);
      break;
    }
    std::string line = AText.substr(start, end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "stray line break in: " << line;
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> StreamLines(const std::string& AText) {
  std::vector<std::string> result;
  for (const std::string& line : Lines(AText))
    if (line.rfind("Stream #", 0) == 0) result.push_back(line);
  return result;
}

std::string LineStartingWith(const std::string& AText, const std::string& APrefix) {
  for (const std::string& line : Lines(AText))
    if (line.rfind(APrefix, 0) == 0) return line;
  return std::string();
}

bool Load(TAVProbe& AProbe, const std::string& APath) {
  AProbe.Enable();
  bool loaded = AProbe.LoadFile(FromLocal8Bit(APath), "");
  EXPECT_TRUE(loaded) << APath << ": " << AProbe.LastErrMsg();
  return loaded;
}

// A context opened (and finally closed) by the test itself, for Attach.
class TOpenedContext {
 public:
  explicit TOpenedContext(const std::string& APath) {
    EXPECT_GE(OpenInputContext(&Context, APath, nullptr, nullptr), 0) << APath;
    if (Context) {
      EXPECT_GE(lib::avformat_find_stream_info(Context, nullptr), 0);
    }
  }
  ~TOpenedContext() { CloseInputContext(&Context); }
  // The context is still open and readable.
  bool Readable() {
    AVPacket* packet = lib::av_packet_alloc();
    bool ok = lib::av_read_frame(Context, packet) >= 0;
    lib::av_packet_free(&packet);
    return ok;
  }
  AVFormatContext* Context = nullptr;
};

}  // namespace

// ---- The information text ----

TEST(ProbeInfoText, FileLinesAndStreamLinesOfAnMp4Clip) {
  const std::string path = testmedia::CachedClip(Clip("mp4"));
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, path));
  const std::string text = probe.InfoText();
  const std::vector<std::string> lines = Lines(text);
  ASSERT_GE(lines.size(), 9u) << text;
  EXPECT_EQ(lines[0], "File Name: " + path);
  EXPECT_EQ(lines[1], "Format Name: mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(lines[2], "Format Long Name: QuickTime / MOV");
  EXPECT_EQ(lines[3], "File Size: " + SizeText(static_cast<int64_t>(std::filesystem::file_size(path))));
  EXPECT_EQ(lines[4], "StartTime: 0.000000");
  EXPECT_EQ(lines[5], "Duration: 00:00:02.000");
  ASSERT_GT(probe.FormatContext()->bit_rate, 1000);
  EXPECT_EQ(lines[6], Format("Bit Rate: %d Kbps", static_cast<int>(probe.FormatContext()->bit_rate / 1000)));
  // No metadata, no programs: the stream lines follow.
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_THAT(lines[7], StartsWith("Stream #0[0x1](und), 1/12800: Video: h264 (High)"));
  EXPECT_THAT(lines[7], HasSubstr(", 320x240"));
  // 25 has no decimals; 12800 is not a multiple of 1000.
  EXPECT_THAT(lines[7], EndsWith(", 25 tbr, 12800 tbn, 25 tbc, StartTime: 0.000000, Duration: 00:00:02.000"));
  EXPECT_THAT(lines[8], StartsWith("Stream #1[0x2](und), 1/44100: Audio: aac (LC)"));
  EXPECT_THAT(lines[8], EndsWith(", StartTime: 0.000000, Duration: 00:00:02.000"));
  EXPECT_THAT(lines[8], Not(HasSubstr("tbr")));
}

TEST(ProbeInfoText, NtscRateHasTwoDecimalsAndRoundTimeBasesUseK) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(PalClip("mp4"))));
  std::vector<std::string> streams = StreamLines(probe.InfoText());
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_THAT(streams[0], HasSubstr(", 29.97 tbr, 30k tbn, 29.97 tbc, "));
  EXPECT_THAT(streams[0], EndsWith("Duration: 00:00:02.002"));
}

TEST(ProbeInfoText, MpegProgramStreamShowsIdsAnd90kTimeBase) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mpg"))));
  const std::string text = probe.InfoText();
  EXPECT_EQ(LineStartingWith(text, "Format Name: "), "Format Name: mpeg");
  std::vector<std::string> streams = StreamLines(text);
  ASSERT_EQ(streams.size(), 2u) << text;
  EXPECT_THAT(streams[0], StartsWith("Stream #0[0x1e0], 1/90000: Video: mpeg2video"));
  EXPECT_THAT(streams[0], HasSubstr(", 25 tbr, 90k tbn, 25 tbc, StartTime: "));
  EXPECT_THAT(streams[1], StartsWith("Stream #1[0x1c0], 1/90000: Audio: mp2"));
  EXPECT_EQ(LineStartingWith(text, "Program "), "");
}

TEST(ProbeInfoText, TransportStreamListsItsProgramWithProviderAndName) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("ts"))));
  EXPECT_EQ(probe.ProgramCount(), 1);
  std::vector<std::string> lines = Lines(probe.InfoText());
  auto program = std::find(lines.begin(), lines.end(), "Program 1 FFmpeg@Service01");
  ASSERT_NE(program, lines.end()) << probe.InfoText();
  ASSERT_EQ(lines.end() - program, 3) << "the program's two streams follow its line";
  EXPECT_THAT(program[1], StartsWith("Stream #0[0x100], 1/90000: Video: h264"));
  EXPECT_THAT(program[1], HasSubstr(", 25 tbr, 90k tbn, 25 tbc, "));
  EXPECT_THAT(program[2], StartsWith("Stream #1[0x101], 1/90000: Audio: aac"));
}

TEST(ProbeInfoText, ProgramWithoutNamesShowsNA) {
  TOpenedContext opened(testmedia::CachedClip(Clip("ts")));
  ASSERT_NE(opened.Context, nullptr);
  ASSERT_EQ(opened.Context->nb_programs, 1u);
  lib::av_dict_free(&opened.Context->programs[0]->metadata);
  TAVProbe probe;
  probe.Attach(opened.Context);
  EXPECT_THAT(Lines(probe.InfoText()), ::testing::Contains("Program 1 N/A@N/A"));
}

TEST(ProbeInfoText, ContainerPixelAspectThatDiffersFromTheCodecsIsShownAsParAndDar) {
  // FFV1 carries no aspect ratio of its own: only Matroska's display size has it.
  testmedia::ClipSpec spec = PalClip("mkv");
  spec.videoCodec = "ffv1";
  spec.audio = false;
  spec.fpsNum = 25;
  spec.fpsDen = 1;
  spec.durationSec = 0.4;
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(spec)));
  std::vector<std::string> streams = StreamLines(probe.InfoText());
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_THAT(streams[0], HasSubstr(", 720x576, PAR 16:15 DAR 4:3, 25 tbr, 1k tbn, 25 tbc"));

  TVideoStreamInfo info;
  ASSERT_TRUE(probe.GetVideoStreamInfo(info));
  EXPECT_FLOAT_EQ(info.DisplayAspect, 1.3333334f);
}

TEST(ProbeInfoText, SameAspectInContainerAndCodecIsNotRepeated) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(PalClip("mp4"))));
  std::vector<std::string> streams = StreamLines(probe.InfoText());
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_THAT(streams[0], HasSubstr("720x576 [SAR 16:15 DAR 4:3]"));
  EXPECT_THAT(streams[0], Not(HasSubstr("PAR")));
}

TEST(ProbeInfoText, AudioOnlyFileWithoutStartTimeHasNoStartTimeLine) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("wav"))));
  const std::string text = probe.InfoText();
  EXPECT_EQ(LineStartingWith(text, "StartTime"), "");
  EXPECT_EQ(LineStartingWith(text, "Duration: "), "Duration: 00:00:02.000");
  std::vector<std::string> streams = StreamLines(text);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_THAT(streams[0], StartsWith("Stream #0, 1/44100: Audio: pcm_s16le"));
  EXPECT_THAT(streams[0], EndsWith("s16, 1411 kb/s, Duration: 00:00:02.000"));
}

TEST(ProbeInfoText, StillPictureHasNoDurationAndNoBitRate) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("png"))));
  const std::string text = probe.InfoText();
  EXPECT_EQ(LineStartingWith(text, "Duration"), "Duration: N/A");
  EXPECT_EQ(LineStartingWith(text, "Bit Rate"), "Bit Rate: N/A");
  std::vector<std::string> streams = StreamLines(text);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_THAT(streams[0], EndsWith(", Duration: N/A"));
}

TEST(ProbeInfoText, MetadataLinesAndLocalTimeStamp) {
  TOpenedContext opened(testmedia::CachedClip(Clip("mkv")));
  ASSERT_NE(opened.Context, nullptr);
  AVDictionary** metadata = &opened.Context->metadata;
  lib::av_dict_set(metadata, "title", "A Title", 0);
  lib::av_dict_set(metadata, "artist", "Somebody", 0);
  lib::av_dict_set(metadata, "copyright", "(c) Nobody", 0);
  lib::av_dict_set(metadata, "comment", "No comment", 0);
  lib::av_dict_set(metadata, "album", "Album", 0);
  lib::av_dict_set(metadata, "genre", "Noise", 0);
  lib::av_dict_set(metadata, "date", "2009-05-01", 0);
  lib::av_dict_set(metadata, "track", "3/12", 0);
  lib::av_dict_set(metadata, "creation_time", "2010-01-02T03:04:05.000000Z", 0);

  // A zone eight hours east of UTC, without daylight saving.
  std::string savedTZ = std::getenv("TZ") ? std::getenv("TZ") : "";
  bool hadTZ = std::getenv("TZ") != nullptr;
  setenv("TZ", "CST-8", 1);
  tzset();
  TAVProbe probe;
  probe.Attach(opened.Context);
  TFileStreamInfo info;
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  const std::string text = probe.InfoText();
  if (hadTZ)
    setenv("TZ", savedTZ.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();

  EXPECT_EQ(info.Timestamp, 1262401445);
  EXPECT_EQ(info.Year, 2009);
  EXPECT_EQ(info.Track, 3);
  EXPECT_EQ(info.Title, "A Title");
  EXPECT_EQ(info.Author, "Somebody");
  EXPECT_EQ(info.Genre, "Noise");
  std::vector<std::string> lines = Lines(text);
  // After the bit rate line, before the streams, in this order.
  auto first = std::find(lines.begin(), lines.end(), "Time Stamp: 2010-01-02 11:04:05");
  ASSERT_NE(first, lines.end()) << text;
  EXPECT_THAT(std::vector<std::string>(first - 1, first + 9),
              ElementsAre(StartsWith("Bit Rate: "), "Time Stamp: 2010-01-02 11:04:05", "Title: A Title",
                          "Author: Somebody", "Copyright: (c) Nobody", "Comment: No comment", "Album: Album",
                          "Genre: Noise", "Year: 2009", "Track: #3"));
  EXPECT_THAT(first[9], StartsWith("Stream #0"));
}

// ---- Records ----

TEST(ProbeRecords, FileStreamInfoOfAClipWithoutMetadata) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  TFileStreamInfo info;
  info.Title = "stale";
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  EXPECT_EQ(info.StartTime, 0);
  EXPECT_EQ(info.Duration, 2000000);
  EXPECT_EQ(info.BitRate, probe.FormatContext()->bit_rate);
  EXPECT_EQ(info.Timestamp, 0);
  EXPECT_EQ(info.Year, 0);
  EXPECT_EQ(info.Track, 0);
  EXPECT_EQ(info.Title, "");
  EXPECT_EQ(info.Author, "");
}

TEST(ProbeRecords, StreamsThatStartHoursApartLastAsLongAsTheyPlay) {
  // The container's duration counts the hour between the streams; what
  // plays is the streams lined up, each on its own start. A real delay
  // (1.5 s) is part of the length, and streams that both start late are
  // no different from a clip that starts at zero.
  struct TCase {
    const char* Container;
    double VideoStart, AudioStart, Length;
  };
  const TCase cases[] = {{"asf", 3600, 0, 2.0}, {"mp4", 3600, 0, 2.0}, {"mp4", 0, 1.5, 3.5}, {"ts", 3600, 3600, 2.0}};
  for (const TCase& c : cases) {
    testmedia::ClipSpec spec = Clip(c.Container);
    spec.videoStartSec = c.VideoStart;
    spec.audioStartSec = c.AudioStart;
    SCOPED_TRACE(testmedia::CacheKey(spec));
    TAVProbe probe;
    ASSERT_TRUE(Load(probe, testmedia::CachedClip(spec)));
    TFileStreamInfo info;
    ASSERT_TRUE(probe.GetFileStreamInfo(info));
    EXPECT_NEAR(info.Duration / 1e6, c.Length, 0.1);
    EXPECT_THAT(probe.InfoText(), HasSubstr("Duration: " + DurationText(info.Duration) + "\r\n"));
  }
}

TEST(ProbeRecords, ARecordingShownTurnedSaysHow) {
  struct TCase {
    const char* Container;
    int Rotation;
    bool Mirrored;
    const char* Text;
  };
  const TCase cases[] = {{"mp4", 90, false, "90"},
                         {"mov", 270, false, "270"},
                         {"mp4", 180, true, "180, mirrored"},
                         {"mp4", 0, false, nullptr}};
  for (const TCase& c : cases) {
    testmedia::ClipSpec spec = Clip(c.Container);
    spec.rotation = c.Rotation;
    spec.mirrored = c.Mirrored;
    SCOPED_TRACE(testmedia::CacheKey(spec));
    TAVProbe probe;
    ASSERT_TRUE(Load(probe, testmedia::CachedClip(spec)));
    TVideoStreamInfo info;
    ASSERT_TRUE(probe.GetVideoStreamInfo(info));
    EXPECT_EQ(info.Rotation, c.Rotation);
    EXPECT_EQ(info.Mirrored, c.Mirrored);
    if (c.Text)
      EXPECT_THAT(probe.InfoText(), HasSubstr(std::string(", Rotation: ") + c.Text + ", StartTime"));
    else
      EXPECT_THAT(probe.InfoText(), Not(HasSubstr("Rotation")));
  }
}

TEST(ProbeRecords, UnknownStartTimeIsMinusOne) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("wav"))));
  ASSERT_EQ(probe.FormatContext()->start_time, AV_NOPTS_VALUE);
  TFileStreamInfo info;
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  EXPECT_EQ(info.StartTime, -1);
  EXPECT_EQ(info.Duration, 2000000);
}

TEST(ProbeRecords, VideoStreamInfoOfAPalClipAtNtscRate) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(PalClip("mp4"))));
  TVideoStreamInfo info;
  ASSERT_TRUE(probe.GetVideoStreamInfo(info));
  EXPECT_EQ(info.Width, 720);
  EXPECT_EQ(info.Height, 576);
  EXPECT_EQ(info.FrameRateNum, 30000);
  EXPECT_EQ(info.FrameRateDen, 1001);
  EXPECT_FLOAT_EQ(info.DisplayAspect, 1.3333334f);
  EXPECT_EQ(info.PixelFormat, AV_PIX_FMT_YUV420P);
  // 60 frames of 1001/30000 s in a 1/30000 time base.
  EXPECT_EQ(info.StartTime, 0);
  EXPECT_EQ(info.StartTimeUs, 0);
  EXPECT_EQ(info.Duration, 60060);
  EXPECT_EQ(info.DurationUs, 2002000);
  EXPECT_GT(info.BitRate, 0);
  EXPECT_EQ(info.Language, "und");
  EXPECT_THAT(info.CodecInfo, StartsWith("h264"));

  TVideoStreamInfo byIndex;
  ASSERT_TRUE(probe.GetVideoStreamInfoByIndex(0, byIndex));
  EXPECT_EQ(byIndex.DurationUs, info.DurationUs);
  EXPECT_EQ(byIndex.CodecInfo, info.CodecInfo);
}

TEST(ProbeRecords, StreamTimesInTheStreamsOwnTimeBase) {
  // MPEG-PS: 1/90000 and a start time that is not zero.
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mpg"))));
  TVideoStreamInfo info;
  ASSERT_TRUE(probe.GetVideoStreamInfo(info));
  const AVStream* stream = probe.FormatContext()->streams[probe.FirstVideoIndex()];
  ASSERT_NE(stream->start_time, AV_NOPTS_VALUE);
  EXPECT_EQ(info.StartTime, stream->start_time);
  EXPECT_NEAR(info.StartTimeUs, stream->start_time / 0.09, 0.5);
  EXPECT_EQ(info.DurationUs, 2000000);
  EXPECT_EQ(info.Duration, 180000);
  // The stream's start line uses the same microseconds.
  EXPECT_THAT(StreamLines(probe.InfoText())[0], HasSubstr(Format(", StartTime: 0.%.6lld, Duration: 00:00:02.000",
                                                                 static_cast<long long>(info.StartTimeUs))));
}

TEST(ProbeRecords, VideoStreamWithoutAspectRatioHasSquarePixels) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mpg"))));
  TVideoStreamInfo info;
  ASSERT_TRUE(probe.GetVideoStreamInfo(info));
  EXPECT_FLOAT_EQ(info.DisplayAspect, 320.0f / 240.0f);
}

// ---- Counts and stream kinds ----

TEST(ProbeCounts, VideoFirstThenAudio) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  EXPECT_EQ(probe.StreamCount(), 2);
  EXPECT_EQ(probe.ProgramCount(), 0);
  EXPECT_EQ(probe.VideoStreamCount(), 1);
  EXPECT_EQ(probe.AudioStreamCount(), 1);
  EXPECT_EQ(probe.SubtitleStreamCount(), 0);
  EXPECT_EQ(probe.FirstVideoIndex(), 0);
  EXPECT_EQ(probe.FirstAudioIndex(), 1);
  EXPECT_EQ(probe.FirstSubtitleIndex(), -1);
  EXPECT_TRUE(probe.IsVideoStream(0));
  EXPECT_FALSE(probe.IsAudioStream(0));
  EXPECT_TRUE(probe.IsAudioStream(1));
  EXPECT_FALSE(probe.IsVideoStream(1));
  EXPECT_FALSE(probe.IsSubtitleStream(0));
  EXPECT_FALSE(probe.IsSubtitleStream(1));
  EXPECT_EQ(probe.FormatName(), "");
}

TEST(ProbeCounts, IndexEqualToTheStreamCountIsInvalid) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  ClearLogLines();
  EXPECT_FALSE(probe.IsVideoStream(2));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #2 is invalid.");
  EXPECT_TRUE(Logged(llError, "stream index #2 is invalid."));
  EXPECT_FALSE(probe.IsAudioStream(-1));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #-1 is invalid.");
  EXPECT_FALSE(probe.IsSubtitleStream(7));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #7 is invalid.");

  TVideoStreamInfo info;
  EXPECT_FALSE(probe.GetVideoStreamInfoByIndex(2, info));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #2 is invalid.");
  EXPECT_EQ(info.Width, -1);
}

TEST(ProbeCounts, AudioStreamIsNotAVideoStream) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  TVideoStreamInfo info;
  EXPECT_FALSE(probe.GetVideoStreamInfoByIndex(1, info));
  EXPECT_EQ(probe.LastErrMsg(), "stream #1 is not video stream.");
  EXPECT_EQ(info.Width, -1);
  EXPECT_EQ(info.DisplayAspect, -1.0f);
}

TEST(ProbeCounts, AudioOnlyFileHasNoVideoStream) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("wav"))));
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_EQ(probe.FirstVideoIndex(), -1);
  EXPECT_EQ(probe.FirstAudioIndex(), 0);
  ClearLogLines();
  TVideoStreamInfo info;
  info.Width = 99;
  EXPECT_FALSE(probe.GetVideoStreamInfo(info));
  EXPECT_EQ(probe.LastErrMsg(), "no video stream.");
  EXPECT_TRUE(Logged(llError, "no video stream."));
  EXPECT_EQ(info.Width, -1);
  EXPECT_FALSE(probe.GetVideoStreamInfoByIndex(-1, info));
  EXPECT_EQ(probe.LastErrMsg(), "no video stream.");
}

// ---- File size and name ----

TEST(ProbeFile, SizeAndNameOfALoadedFile) {
  const std::string path = testmedia::CachedClip(Clip("avi"));
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, path));
  EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(path)));
  EXPECT_EQ(probe.FileName(), FromLocal8Bit(path));
}

namespace {

// A read-only input without seeking: its size is unknown to the library.
struct TMemoryInput {
  std::string Data;
  size_t Position = 0;
  static int Read(void* AOpaque, uint8_t* ABuffer, int ASize) {
    auto* self = static_cast<TMemoryInput*>(AOpaque);
    size_t n = std::min(static_cast<size_t>(ASize), self->Data.size() - self->Position);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(ABuffer, self->Data.data() + self->Position, n);
    self->Position += n;
    return static_cast<int>(n);
  }
};

class TUnseekableContext {
 public:
  TUnseekableContext(const std::string& APath, const std::string& AURL) {
    std::ifstream file(APath, std::ios::binary);
    Input.Data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    constexpr int kBufferSize = 4096;
    auto* buffer = static_cast<unsigned char*>(lib::av_malloc(kBufferSize));
    IO = lib::avio_alloc_context(buffer, kBufferSize, 0, &Input, &TMemoryInput::Read, nullptr, nullptr);
    Context = lib::avformat_alloc_context();
    Context->pb = IO;
    EXPECT_EQ(lib::avformat_open_input(&Context, AURL.c_str(), nullptr, nullptr), 0);
    if (Context) {
      EXPECT_GE(lib::avformat_find_stream_info(Context, nullptr), 0);
    }
  }
  ~TUnseekableContext() {
    lib::avformat_close_input(&Context);
    lib::av_freep(&IO->buffer);
    lib::avio_context_free(&IO);
  }
  TMemoryInput Input;
  AVIOContext* IO = nullptr;
  AVFormatContext* Context = nullptr;
};

}  // namespace

TEST(ProbeFile, SizeUnknownToTheLibraryComesFromTheFileSystem) {
  const std::string path = testmedia::CachedClip(Clip("ts"));
  TUnseekableContext opened(path, path);
  ASSERT_NE(opened.Context, nullptr);
  ASSERT_LT(lib::avio_size(opened.Context->pb), 0);
  TAVProbe probe;
  probe.Attach(opened.Context);
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(path));
  EXPECT_EQ(probe.FileSize(), size);
  EXPECT_EQ(LineStartingWith(probe.InfoText(), "File Size: "), "File Size: " + SizeText(size));
}

TEST(ProbeFile, SizeUnknownEverywhereIsZero) {
  TUnseekableContext opened(testmedia::CachedClip(Clip("ts")), "no-such-stream.ts");
  ASSERT_NE(opened.Context, nullptr);
  TAVProbe probe;
  probe.Attach(opened.Context);
  EXPECT_EQ(probe.FileName(), u"no-such-stream.ts");
  EXPECT_EQ(probe.FileSize(), 0);
  EXPECT_EQ(LineStartingWith(probe.InfoText(), "File Size: "), "File Size: 0 Byte");
}

namespace {

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

}  // namespace

TEST(ProbeFile, ChineseFileNameInAUtf8AndInTheCLocale) {
  TTempFolder folder;
  const std::u16string name = FromLocal8Bit(folder / "测试视频.mp4");
  std::filesystem::copy_file(testmedia::CachedClip(Clip("mp4")), folder / "测试视频.mp4");
  {
    TAVProbe probe;
    probe.Enable();
    ASSERT_TRUE(probe.LoadFile(name, "")) << probe.LastErrMsg();
    EXPECT_EQ(probe.FileName(), name);
    EXPECT_THAT(std::string(probe.FormatContext()->url), Not(StartsWith(kUnicodeURLPrefix)));
    EXPECT_EQ(LineStartingWith(probe.InfoText(), "File Name: "), "File Name: " + Utf16ToUtf8(name));
  }
  {
    TLocaleScope locale("C");
    TAVProbe probe;
    probe.Enable();
    ASSERT_TRUE(probe.LoadFile(name, "")) << probe.LastErrMsg();
    EXPECT_THAT(std::string(probe.FormatContext()->url), StartsWith("unicode:utf8:"));
    EXPECT_EQ(probe.FileName(), name);
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(folder / "测试视频.mp4")));
    EXPECT_EQ(StreamLines(probe.InfoText()).size(), 2u);
  }
}

// ---- Every container of the test media tooling ----

class ProbeContainers : public ::testing::TestWithParam<const char*> {};

TEST_P(ProbeContainers, LoadsAndDescribesEveryStream) {
  const testmedia::ClipSpec spec = Clip(GetParam());
  const testmedia::ResolvedSpec resolved = testmedia::Resolve(spec);
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(spec)));
  const int videos = resolved.video ? 1 : 0, audios = resolved.audio ? 1 : 0;
  EXPECT_EQ(probe.StreamCount(), videos + audios);
  EXPECT_EQ(probe.VideoStreamCount(), videos);
  EXPECT_EQ(probe.AudioStreamCount(), audios);
  EXPECT_EQ(probe.SubtitleStreamCount(), 0);
  const std::string text = probe.InfoText();
  std::vector<std::string> streams = StreamLines(text);
  EXPECT_EQ(static_cast<int>(streams.size()), probe.StreamCount()) << text;
  for (const std::string& line : streams) {
    bool video = line.find(": Video: ") != std::string::npos;
    EXPECT_EQ(video, line.find(" tbr") != std::string::npos) << line;
    EXPECT_THAT(line, HasSubstr(", Duration: "));
  }
  TVideoStreamInfo info;
  EXPECT_EQ(probe.GetVideoStreamInfo(info), resolved.video);
  if (resolved.video) {
    EXPECT_EQ(info.Width, 320);
    EXPECT_EQ(info.Height, 240);
  }
}

INSTANTIATE_TEST_SUITE_P(AllContainers, ProbeContainers,
                         ::testing::Values("avi", "mp4", "mkv", "mpg", "flv", "asf", "3gp", "mov", "ts", "ogg", "wav",
                                           "mp3", "png", "jpg"));

// ---- Attaching, closing, reloading ----

TEST(ProbeLifetime, AttachedContextIsDescribedButNotClosed) {
  TOpenedContext opened(testmedia::CachedClip(Clip("avi")));
  ASSERT_NE(opened.Context, nullptr);
  {
    TAVProbe probe;
    probe.Attach(opened.Context);
    EXPECT_EQ(probe.FormatContext(), opened.Context);
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.FirstVideoIndex(), 0);
    EXPECT_EQ(probe.FirstAudioIndex(), 1);
    EXPECT_EQ(probe.FormatName(), "");
    EXPECT_EQ(StreamLines(probe.InfoText()).size(), 2u);

    probe.Attach(nullptr);
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.FirstVideoIndex(), -1);
    EXPECT_TRUE(opened.Readable());

    probe.Attach(opened.Context);
  }  // the probe goes with the context still attached
  EXPECT_TRUE(opened.Readable());
}

TEST(ProbeLifetime, AttachReplacesALoadedFile) {
  TOpenedContext opened(testmedia::CachedClip(Clip("wav")));
  ASSERT_NE(opened.Context, nullptr);
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  probe.Attach(opened.Context);
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.FirstVideoIndex(), -1);
  probe.Close();
  EXPECT_TRUE(opened.Readable());
}

TEST(ProbeLifetime, CloseTwiceIsHarmless) {
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  probe.Close();
  probe.Close();
  EXPECT_EQ(probe.FormatContext(), nullptr);
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.VideoStreamCount(), -1);
  EXPECT_EQ(probe.AudioStreamCount(), -1);
  EXPECT_EQ(probe.ProgramCount(), -1);
  EXPECT_EQ(probe.FileSize(), -1);
}

TEST(ProbeLifetime, LoadingASecondFileReplacesTheFirst) {
  const std::string wav = testmedia::CachedClip(Clip("wav"));
  TAVProbe probe;
  ASSERT_TRUE(Load(probe, testmedia::CachedClip(Clip("mp4"))));
  ASSERT_TRUE(Load(probe, wav));
  EXPECT_EQ(probe.FileName(), FromLocal8Bit(wav));
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_EQ(probe.FirstVideoIndex(), -1);
  EXPECT_EQ(probe.FirstAudioIndex(), 0);
}

TEST(ProbeLifetime, ForcedFormatIsRemembered) {
  TAVProbe probe;
  probe.Enable();
  ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(testmedia::CachedClip(Clip("mp4"))), "mp4")) << probe.LastErrMsg();
  EXPECT_EQ(probe.FormatName(), "mp4");
  EXPECT_EQ(probe.StreamCount(), 2);
  probe.Close();
  EXPECT_EQ(probe.FormatName(), "");
}
