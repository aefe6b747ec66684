// What vidmill-cli leaves under the planned names: an output is written
// under its hidden temporary name and takes the planned name only when the
// conversion ends (normally, or stopped with Ctrl-C); a conversion killed
// outright leaves no file under the planned name, and the next run plans
// around what it left. A conversion that wrote nothing is a failure with no
// file at all. Names of any length and script fit the file system.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/media/ReadBack.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const fs::path& AFolder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(AFolder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Long enough to be caught in the middle: 60 s of 640x480 into MP4 takes
// several seconds.
std::string LongClip() {
  testmedia::ClipSpec spec;
  spec.container = "mp4";
  spec.width = 640;
  spec.height = 480;
  spec.durationSec = 60;
  return testmedia::CachedClip(spec);
}

}  // namespace

TEST(CliOutputNames, AKilledRunLeavesOnlyItsTemporaryFileAndAStoppedOneAValidShorterFile) {
  TTempFolder temp("vidmill-names");
  const fs::path source = temp.Path() / "long.mp4";
  fs::create_symlink(LongClip(), source);
  const fs::path out = temp.Path() / "out";
  fs::create_directories(out);
  const fs::path planned = out / "long_(new).mp4", partial = out / ".long_(new).mp4.part";
  // The signal goes once the temporary file holds part of the conversion.
  auto signalWhenWriting = [](int ASignal, fs::path APartial) {
    return [ASignal, APartial, sent = false](pid_t APid) mutable {
      std::error_code ignored;
      if (!sent && fs::exists(APartial) && fs::file_size(APartial, ignored) > 200000) {
        kill(APid, ASignal);
        sent = true;
      }
    };
  };
  const std::vector<std::string> args = {"--format", "mp4", "--out", out.string() + "/", source.string()};

  const TProgramRun killed = RunProgram(VIDMILL_CLI, args, temp.Path(), 120, signalWhenWriting(SIGKILL, partial));
  ASSERT_EQ(killed.Signal, SIGKILL) << killed.Err;
  EXPECT_EQ(Names(out), std::vector<std::string>{partial.filename().string()});

  // The temporary file left behind still reserves its name.
  const fs::path next = out / "long_(new_1).mp4";
  const TProgramRun stopped =
      RunProgram(VIDMILL_CLI, args, temp.Path(), 120, signalWhenWriting(SIGINT, out / ".long_(new_1).mp4.part"));
  EXPECT_EQ(stopped.Status, 1) << stopped.Err;
  EXPECT_EQ(Names(out), (std::vector<std::string>{partial.filename().string(), next.filename().string()}));
  const testmedia::FileReadBack file = testmedia::ReadBack(next.string());
  ASSERT_TRUE(file.opened) << file.error;
  ASSERT_NE(file.Video(), nullptr);
  EXPECT_GT(file.Video()->frames, 10);
  EXPECT_LT(file.PlaySeconds(), 59.0) << "stopped before the end";
  EXPECT_GT(file.PlaySeconds(), 0.5);
}

TEST(CliOutputNames, ARunThatEncodedNothingFailsAndLeavesNoFile) {
  TTempFolder temp("vidmill-names");
  testmedia::ClipSpec spec;
  spec.container = "mp4";
  spec.durationSec = 1;
  const fs::path source = temp.Path() / "zeroed.mp4";
  testmedia::MakeUndecodableCopy(testmedia::CachedClip(spec), source.string());
  const fs::path out = temp.Path() / "out";
  fs::create_directories(out);
  for (const char* format : {"mp4", "avi", "flv"}) {
    SCOPED_TRACE(format);
    const TProgramRun run =
        RunProgram(VIDMILL_CLI, {"--format", format, "--out", out.string() + "/", source.string()}, temp.Path());
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("Nothing was encoded for '" + (out / "zeroed_(new).").string()), std::string::npos)
        << run.Err.substr(run.Err.size() > 2000 ? run.Err.size() - 2000 : 0);
    EXPECT_TRUE(run.OutLines().empty()) << run.Out;
    EXPECT_TRUE(Names(out).empty());
  }
}

TEST(CliOutputNames, LongAndWideNamesAreShortenedToFitTheFileSystem) {
  TTempFolder temp("vidmill-names");
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.width = 160;
  spec.height = 120;
  spec.durationSec = 1;
  const std::string clip = testmedia::CachedClip(spec);
  std::string chinese;
  for (int i = 0; i < 40; ++i) chinese += "视频";  // 240 bytes of UTF-8
  std::vector<std::string> args = {"--format", "3gp", "--jobs", "2"};
  for (const std::string& stem : {std::string(248, 'l'), chinese}) {
    const fs::path source = temp.Path() / (stem + ".avi");
    fs::create_symlink(clip, source);
    args.push_back(source.string());
  }
  const TProgramRun run = RunProgram(VIDMILL_CLI, args, temp.Path());
  EXPECT_EQ(run.Status, 0) << run.Err;
  const std::vector<std::string> printed = run.OutLines();
  ASSERT_EQ(printed.size(), 2u) << run.Out;
  for (const std::string& path : printed) {
    const std::string name = fs::path(path).filename().string();
    SCOPED_TRACE(name);
    EXPECT_LE(name.size() + 6, 255u) << "its temporary name fits too";
    EXPECT_NE(name.find("_(new).3gp"), std::string::npos);
    // Cut at a character: the name is still valid UTF-8 Chinese or letters.
    const std::string stem = name.substr(0, name.find("_(new)"));
    EXPECT_TRUE(stem.find_first_not_of('l') == std::string::npos || stem.size() % 3 == 0) << stem;
    EXPECT_TRUE(testmedia::ReadBack(path).opened);
  }
}
