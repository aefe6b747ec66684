// Temporary output names: a finished output takes its name only where
// nothing is, and long names are cut between characters.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "runtime/OutputFiles.h"
#include "runtime/Text.h"
#include "tests/support/TempFolder.h"

extern "C" {
#include <libavutil/error.h>
}

namespace fs = std::filesystem;

TEST(OutputFiles, ATemporaryFileTakesItsNameOnlyWhereNothingIs) {
  const TTempFolder folder("vidmill-outputfiles");
  const fs::path& dir = folder.Path();
  const std::u16string name = Utf8ToUtf16((dir / "clip_(new).mp4").string());
  const std::u16string partial = PartialFileName(name);
  EXPECT_EQ(Utf16ToUtf8(partial), (dir / ".clip_(new).mp4.part").string());
  struct TCase {
    const char* What;
    void (*Take)(const fs::path&);  // puts something under the name first, or nothing
    bool Published;
  };
  const TCase cases[] = {
      {"a free name", [](const fs::path&) {}, true},
      {"a file", [](const fs::path& APath) { std::ofstream(APath) << "theirs"; }, false},
      {"a dangling link", [](const fs::path& APath) { fs::create_symlink("/nowhere", APath); }, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    std::error_code ignored;
    fs::remove(dir / "clip_(new).mp4", ignored);
    std::ofstream(dir / ".clip_(new).mp4.part") << "ours";
    c.Take(dir / "clip_(new).mp4");
    const int result = PublishPartialFile(partial, name);
    EXPECT_EQ(result == 0, c.Published) << result;
    if (!c.Published) {
      EXPECT_EQ(result, AVERROR(EEXIST));
    }
    EXPECT_EQ(fs::exists(dir / ".clip_(new).mp4.part"), !c.Published);
    if (c.Published) {
      std::ifstream in(dir / "clip_(new).mp4");
      std::string text;
      in >> text;
      EXPECT_EQ(text, "ours");
    }
  }
}

TEST(OutputFiles, NamesAreCutBetweenCharacters) {
  EXPECT_EQ(FitFileName(u"abcdef", 4), u"abcd");
  EXPECT_EQ(FitFileName(u"视频片段", 7), u"视频");                      // 3 bytes each in UTF-8
  EXPECT_EQ(FitFileName(u"a\U0001F3AC\U0001F3AC", 6), u"a\U0001F3AC");  // a surrogate pair stays whole
  EXPECT_EQ(FitFileName(u"short", 255), u"short");
  EXPECT_GE(FileNameLimit(u"/tmp"), 255u);
}
