// The probe's failures: no file, unknown formats, files that are missing,
// empty, not media, cut short, unreadable or a folder, names that are too
// long, the mapping of the library's open errors, and missing libraries.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVFormat.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

namespace {

testmedia::ClipSpec Clip(const std::string& AContainer) {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  return spec;
}

// Loads APath and expects the load to fail with exactly AText.
void ExpectLoadFails(const std::string& APath, const std::string& AText, const std::string& AFormat = "") {
  TAVProbe probe;
  probe.Enable();
  EXPECT_FALSE(probe.LoadFile(FromLocal8Bit(APath), AFormat)) << APath;
  EXPECT_EQ(probe.LastErrMsg(), AText);
  EXPECT_EQ(probe.FormatContext(), nullptr);
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.FormatName(), "");
}

const char kIOErrorText[] = ": I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";

}  // namespace

// ---- Without a file ----

TEST(ProbeNoFile, EveryQueryFailsWithFileNotLoaded) {
  TAVProbe probe;
  probe.Enable();
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.ProgramCount(), -1);
  EXPECT_EQ(probe.AudioStreamCount(), -1);
  EXPECT_EQ(probe.VideoStreamCount(), -1);
  EXPECT_EQ(probe.SubtitleStreamCount(), -1);
  EXPECT_EQ(probe.FirstAudioIndex(), -1);
  EXPECT_EQ(probe.FirstVideoIndex(), -1);
  EXPECT_EQ(probe.FirstSubtitleIndex(), -1);

  auto expectNotLoaded = [&probe](const char* AQuery) {
    EXPECT_EQ(probe.LastErrMsg(), "file not loaded.") << AQuery;
    EXPECT_TRUE(Logged(llWarning, "file not loaded.")) << AQuery;
    ClearLogLines();
  };
  ClearLogLines();
  EXPECT_EQ(probe.FileSize(), -1);
  expectNotLoaded("FileSize");
  EXPECT_EQ(probe.FileName(), u"");
  expectNotLoaded("FileName");
  EXPECT_EQ(probe.InfoText(), "");
  expectNotLoaded("InfoText");
  EXPECT_FALSE(probe.IsVideoStream(0));
  expectNotLoaded("IsVideoStream");
  EXPECT_FALSE(probe.IsAudioStream(0));
  expectNotLoaded("IsAudioStream");
  EXPECT_FALSE(probe.IsSubtitleStream(0));
  expectNotLoaded("IsSubtitleStream");

  TFileStreamInfo file;
  file.Duration = 5;
  file.Title = "stale";
  EXPECT_FALSE(probe.GetFileStreamInfo(file));
  expectNotLoaded("GetFileStreamInfo");
  EXPECT_EQ(file.Duration, -1);
  EXPECT_EQ(file.StartTime, -1);
  EXPECT_EQ(file.Title, "");

  TVideoStreamInfo video;
  video.Width = 5;
  video.Language = "stale";
  EXPECT_FALSE(probe.GetVideoStreamInfo(video));
  expectNotLoaded("GetVideoStreamInfo");
  EXPECT_EQ(video.Width, -1);
  EXPECT_EQ(video.Height, -1);
  EXPECT_EQ(video.DurationUs, -1);
  EXPECT_EQ(video.FrameRateNum, -1);
  EXPECT_EQ(video.DisplayAspect, -1.0f);
  EXPECT_EQ(video.Language, "");
  EXPECT_FALSE(probe.GetVideoStreamInfoByIndex(0, video));
  expectNotLoaded("GetVideoStreamInfoByIndex");
}

TEST(ProbeNoFile, ProbeThatIsNotEnabledLoadsNothing) {
  TAVProbe probe;
  EXPECT_FALSE(probe.LoadFile(FromLocal8Bit(testmedia::CachedClip(Clip("mp4"))), ""));
  EXPECT_EQ(probe.FormatContext(), nullptr);
  EXPECT_EQ(probe.StreamCount(), -1);
  probe.Enable();
  EXPECT_TRUE(probe.Enabled());
  EXPECT_TRUE(probe.LoadFile(FromLocal8Bit(testmedia::CachedClip(Clip("mp4"))), "")) << probe.LastErrMsg();
}

// ---- Forced formats ----

TEST(ProbeForcedFormat, UnknownFormatNameFailsWithoutTouchingTheFile) {
  // The file does not exist: opening it would give another text.
  ExpectLoadFails("/no/such/folder/clip.avi", "Unknown input format: nosuchformat", "nosuchformat");
}

TEST(ProbeForcedFormat, ForcedFormatThatCannotReadTheFileIsAHeaderError) {
  const std::string path = testmedia::CachedClip(Clip("wav"));
  ExpectLoadFails(path, path + ": Error while parsing header", "avi");
}

// ---- Bad files ----

TEST(ProbeBadFile, MissingFile) {
  TTempFolder folder;
  const std::string path = folder / "missing.avi";
  ExpectLoadFails(path, path + ": no such file or directory");
}

TEST(ProbeBadFile, EmptyFileIsOfUnknownFormat) {
  TTempFolder folder;
  const std::string path = folder / "empty.avi";
  testmedia::MakeEmptyFile(path);
  ExpectLoadFails(path, path + ": Unknown format");
}

TEST(ProbeBadFile, TextFileNamedAviIsOfUnknownFormat) {
  TTempFolder folder;
  const std::string path = folder / "notes.avi";
  testmedia::MakeTextFile(path, "These are some notes, not a video.\nSecond line.\n");
  ExpectLoadFails(path, path + ": Unknown format");
}

TEST(ProbeBadFile, AviCutInsideItsHeaderCannotBeParsed) {
  TTempFolder folder;
  const std::string path = folder / "cut.avi";
  testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("avi")), path, 0.02);
  ExpectLoadFails(path, path + ": Error while parsing header");
}

TEST(ProbeBadFile, Mp4CutBeforeItsIndexCannotBeParsed) {
  TTempFolder folder;
  for (double fraction : {0.02, 0.3}) {
    const std::string path = folder / ("cut" + std::to_string(static_cast<int>(fraction * 100)) + ".mp4");
    testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("mp4")), path, fraction);
    ExpectLoadFails(path, path + ": Error while parsing header");
  }
}

TEST(ProbeBadFile, MatroskaCutInsideItsHeaderIsAnIOError) {
  TTempFolder folder;
  const std::string path = folder / "cut.mkv";
  testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("mkv")), path, 0.02);
  ExpectLoadFails(path, path + kIOErrorText);
}

TEST(ProbeBadFile, FilesCutAfterTheirHeaderStillLoad) {
  TTempFolder folder;
  for (const char* container : {"avi", "mkv", "mpg", "ts"}) {
    const std::string path = folder / (std::string("cut.") + container);
    testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip(container)), path, 0.3);
    TAVProbe probe;
    probe.Enable();
    ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(path), "")) << path << ": " << probe.LastErrMsg();
    EXPECT_EQ(probe.StreamCount(), 2) << container;
    EXPECT_FALSE(probe.InfoText().empty());
    TVideoStreamInfo info;
    EXPECT_TRUE(probe.GetVideoStreamInfo(info)) << container;
  }
}

TEST(ProbeBadFile, FolderCannotBeOpened) {
  TTempFolder folder;
  const std::string path = folder / "folder.avi";
  std::filesystem::create_directory(path);
  ExpectLoadFails(path, path + ": Error while opening file");
}

TEST(ProbeBadFile, FileWithoutReadPermission) {
  TTempFolder folder;
  const std::string path = folder / "locked.avi";
  std::filesystem::copy_file(testmedia::CachedClip(Clip("avi")), path);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const std::string expected = path + ": Error while opening file";
  // The super-user reads any file: the child gives up its rights first.
  EXPECT_EXIT(
      {
        SetMainThread();
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
          std::fprintf(stderr, "cannot drop privileges\n");
          std::_Exit(2);
        }
        TAVProbe probe;
        probe.Enable();
        bool loaded = probe.LoadFile(FromLocal8Bit(path), "");
        if (loaded || probe.LastErrMsg() != expected) {
          std::fprintf(stderr, "loaded=%d text=%s\n", loaded, probe.LastErrMsg().c_str());
          std::_Exit(1);
        }
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ProbeBadFile, MissingFileWithAChineseNameInTheCLocale) {
  TTempFolder folder;
  const std::u16string name = FromLocal8Bit(folder / "不存在.avi");
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");
  TAVProbe probe;
  probe.Enable();
  bool loaded = probe.LoadFile(name, "");
  std::string text = probe.LastErrMsg();
  std::string shown = ToLocal8Bit(name);
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_FALSE(loaded);
  EXPECT_EQ(text, shown + ": no such file or directory");
}

TEST(ProbeBadFile, NameTooLongForTheLibrary) {
  std::u16string name = u"/tmp/" + std::u16string(kMaxLibraryFileName, u'a') + u".avi";
  TAVProbe probe;
  probe.Enable();
  EXPECT_FALSE(probe.LoadFile(name, ""));
  EXPECT_EQ(probe.LastErrMsg(), FileNameTooLongText(name));
  EXPECT_EQ(probe.FormatContext(), nullptr);
}

TEST(ProbeBadFile, FailedLoadForgetsThePreviousFile) {
  TTempFolder folder;
  TAVProbe probe;
  probe.Enable();
  ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(testmedia::CachedClip(Clip("mp4"))), ""));
  EXPECT_FALSE(probe.LoadFile(FromLocal8Bit(folder / "missing.mp4"), ""));
  EXPECT_EQ(probe.FormatContext(), nullptr);
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.FileSize(), -1);
  EXPECT_EQ(probe.LastErrMsg(), "file not loaded.");
}

// ---- The open-error mapping the probe and the engine share ----

TEST(ProbeOpenErrors, LibraryErrorsMapToTheOpenErrorTextsByMeaning) {
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR(ENOENT), false), -2);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR_PROTOCOL_NOT_FOUND, true), -2);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR(EIO), false), -5);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR_EOF, true), -5);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR(ENOMEM), true), -12);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR_INVALIDDATA, false), -22);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR_INVALIDDATA, true), -42);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR(EINVAL), true), -22);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR_DEMUXER_NOT_FOUND, false), -42);
  EXPECT_EQ(LegacyOpenErrorCode(AVERROR(EDOM), false), -33);
  // Everything else is the generic text, also codes that happen to equal a
  // key of the table numerically (AVERROR(ENOMSG) is -42 on Linux).
  for (int error : {AVERROR(EACCES), AVERROR(EISDIR), AVERROR(ENOMSG), AVERROR_PATCHWELCOME, AVERROR_BUG, -1})
    EXPECT_EQ(OpenErrorText("x", LegacyOpenErrorCode(error, true)), "x: Error while opening file") << error;
}

TEST(ProbeOpenErrors, ContentIsRecognisedByItsBytesNotByTheExtension) {
  TTempFolder folder;
  const std::string text = folder / "text.avi";
  testmedia::MakeTextFile(text, "plain words, no pictures\n");
  EXPECT_FALSE(InputContentRecognised(text));
  const std::string empty = folder / "empty.mp4";
  testmedia::MakeEmptyFile(empty);
  EXPECT_FALSE(InputContentRecognised(empty));
  // An AVI cut short is still an AVI.
  const std::string cut = folder / "cut.bin";
  testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("avi")), cut, 0.02);
  EXPECT_TRUE(InputContentRecognised(cut));
  // Content that cannot be read back keeps the library's verdict.
  EXPECT_TRUE(InputContentRecognised(folder / "missing.avi"));
  std::string url;
  ASSERT_TRUE(ToLibraryFileName(FromLocal8Bit(cut), url));
  EXPECT_EQ(InputOpenErrorCode(AVERROR_INVALIDDATA, nullptr, url), -22);
  ASSERT_TRUE(ToLibraryFileName(FromLocal8Bit(text), url));
  EXPECT_EQ(InputOpenErrorCode(AVERROR_INVALIDDATA, nullptr, url), -42);
  EXPECT_EQ(InputOpenErrorCode(AVERROR_INVALIDDATA, lib::av_find_input_format("avi"), url), -22);
}

TEST(ProbeOpenErrors, UnicodeNamesAreReadBackThroughTheProtocol) {
  TTempFolder folder;
  const std::string text = folder / "文本.avi";
  testmedia::MakeTextFile(text, "plain words, no pictures\n");
  const std::string cut = folder / "截断.avi";
  testmedia::MakeTruncatedCopy(testmedia::CachedClip(Clip("avi")), cut, 0.02);
  EXPECT_FALSE(InputContentRecognised(MakeUnicodeURL(FromLocal8Bit(text))));
  EXPECT_TRUE(InputContentRecognised(MakeUnicodeURL(FromLocal8Bit(cut))));
}

// ---- Missing libraries ----

TEST(ProbeLibraries, MissingLibrariesAreReportedInTheirOrder) {
  const std::u16string clip = FromLocal8Bit(testmedia::CachedClip(Clip("mp4")));
  // Unloading happens in a child, so the rest of the suite keeps its libraries.
  EXPECT_EXIT(
      {
        SetMainThread();
        auto thrown = [&clip](bool AAttach) -> std::string {
          TAVProbe probe;
          probe.Enable();
          try {
            if (AAttach)
              probe.Attach(nullptr);
            else
              probe.LoadFile(clip, "");
          } catch (const std::runtime_error& e) {
            return e.what();
          }
          return "nothing thrown";
        };
        bool ok = true;
        auto check = [&](const char* AExpected) {
          for (bool attach : {false, true}) {
            std::string text = thrown(attach);
            if (text != AExpected) {
              std::fprintf(stderr, "%s: %s instead of %s\n", attach ? "Attach" : "LoadFile", text.c_str(), AExpected);
              ok = false;
            }
          }
        };
        FFmpegLoader().UnloadLib(ltSwScale);
        check("LibSwScale not loaded.");
        FFmpegLoader().UnloadLib(ltAVUtil);
        check("LibAVUtil not loaded.");
        FFmpegLoader().UnloadLib(ltAVFormat);
        check("LibAVFormat not loaded.");
        FFmpegLoader().UnloadLib(ltAVCodec);
        check("LibAVCodec not loaded.");
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ProbeLibraries, ProbeWithAnOpenFileSurvivesTheLibrariesGoingAway) {
  const std::u16string clip = FromLocal8Bit(testmedia::CachedClip(Clip("mp4")));
  EXPECT_EXIT(
      {
        SetMainThread();
        {
          TAVProbe probe;
          probe.Enable();
          if (!probe.LoadFile(clip, "")) std::_Exit(2);
          FFmpegLoader().UnloadLibs(kConverterLibraries);
          probe.Close();
          if (probe.FormatContext() != nullptr) std::_Exit(3);
        }
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
