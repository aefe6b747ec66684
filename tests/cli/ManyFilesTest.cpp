// A batch of thousands of files under the open-file limit of a desktop
// session: a waiting file holds no descriptor, so every one converts, and the
// progress output does not grow with the length of the queue.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/media/ReadBack.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

TEST(CliManyFiles, TwoThousandSourcesConvertUnderALimitOf256OpenFiles) {
  constexpr int kFiles = 2000;
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.width = 64;
  spec.height = 48;
  spec.durationSec = 0.2;
  const std::string clip = testmedia::CachedClip(spec);
  TTempFolder temp("vidmill-many");
  const fs::path src = temp.Path() / "src", out = temp.Path() / "out";
  fs::create_directories(src);
  fs::create_directories(out);
  std::vector<std::string> args = {"--format", "3gp", "--jobs", "2", "--out", out.string()};
  for (int i = 0; i < kFiles; ++i) {
    const fs::path source = src / ("s" + std::to_string(i) + ".avi");
    fs::copy_file(clip, source);
    args.push_back(source.string());
  }

  const TProgramRun run = RunProgram(VIDMILL_CLI, args, temp.Path(), 300, {}, 256);
  ASSERT_FALSE(run.TimedOut);
  EXPECT_EQ(run.Status, 0) << run.Err.substr(0, 2000);
  EXPECT_EQ(run.OutLines().size(), static_cast<size_t>(kFiles));
  // Progress lines come at most once a second per running file.
  EXPECT_LT(NonEmptyLines(run.Err).size(), 4 * (static_cast<size_t>(run.Seconds) + 2)) << run.Err.substr(0, 2000);

  int written = 0, leftOver = 0;
  for (const auto& entry : fs::directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".3gp") && name[0] != '.' && entry.file_size() > 0)
      ++written;
    else
      ++leftOver;
  }
  EXPECT_EQ(written, kFiles);
  EXPECT_EQ(leftOver, 0) << "files other than the outputs in " << out;
  // The first, one from the middle and the last play with picture and sound.
  for (int i : {0, kFiles / 2, kFiles - 1}) {
    const std::string output = (out / ("s" + std::to_string(i) + "_(new).3gp")).string();
    SCOPED_TRACE(output);
    const testmedia::FileReadBack back = testmedia::ReadBack(output);
    ASSERT_TRUE(back.opened) << back.error;
    ASSERT_NE(back.Video(), nullptr);
    ASSERT_NE(back.Audio(), nullptr);
    EXPECT_GT(back.Video()->frames, 0);
    EXPECT_NEAR(back.PlaySeconds(), 0.2, 0.12);
  }
}
