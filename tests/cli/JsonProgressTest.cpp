// --progress json: standard output holds nothing but JSON objects, one per
// line, each file's events come in a valid order, the summary counts what
// happened, and any file name comes through intact.

#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/cli/CliJson.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

// A checker of the objects the program writes: one flat object of strings,
// numbers, true, false and null, per the JSON grammar. Parse gives its
// fields (strings decoded, other values as written) or false.
class TJsonChecker {
 public:
  explicit TJsonChecker(const std::string& AText) : FText(AText) {}

  bool Parse(std::map<std::string, std::string>& AFields) {
    if (!Take('{')) return false;
    Space();
    if (Take('}')) return End();
    do {
      std::string name, value;
      Space();
      if (!String(name)) return false;
      Space();
      if (!Take(':')) return false;
      Space();
      if (!Value(value) || AFields.count(name)) return false;
      AFields[name] = value;
      Space();
    } while (Take(','));
    return Take('}') && End();
  }

 private:
  bool End() { return FAt == FText.size(); }
  bool Take(char AChar) {
    if (FAt >= FText.size() || FText[FAt] != AChar) return false;
    ++FAt;
    return true;
  }
  void Space() {
    while (FAt < FText.size() && (FText[FAt] == ' ' || FText[FAt] == '\t')) ++FAt;
  }
  bool Value(std::string& AValue) {
    if (FAt < FText.size() && FText[FAt] == '"') return String(AValue);
    for (const char* word : {"true", "false", "null"})
      if (FText.compare(FAt, std::strlen(word), word) == 0) {
        AValue = word;
        FAt += std::strlen(word);
        return true;
      }
    const size_t start = FAt;
    Take('-');
    if (!Digits()) return false;
    if (Take('.') && !Digits()) return false;
    if ((Take('e') || Take('E')) && ((Take('+') || Take('-')), !Digits())) return false;
    AValue = FText.substr(start, FAt - start);
    return true;
  }
  bool Digits() {
    const size_t start = FAt;
    while (FAt < FText.size() && std::isdigit(static_cast<unsigned char>(FText[FAt]))) ++FAt;
    return FAt > start;
  }
  bool String(std::string& AValue) {
    if (!Take('"')) return false;
    while (FAt < FText.size() && FText[FAt] != '"') {
      const auto c = static_cast<unsigned char>(FText[FAt++]);
      if (c < 0x20) return false;
      if (c != '\\') {
        AValue += static_cast<char>(c);
        continue;
      }
      if (FAt >= FText.size()) return false;
      const char e = FText[FAt++];
      const std::string simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
      if (simple.find(e) != std::string::npos) {
        AValue += meant[simple.find(e)];
      } else if (e == 'u' && FAt + 4 <= FText.size()) {
        const unsigned code = std::stoul(FText.substr(FAt, 4), nullptr, 16);
        FAt += 4;
        if (code < 0x80) {
          AValue += static_cast<char>(code);
        } else if (code < 0x800) {
          AValue += static_cast<char>(0xC0 | (code >> 6));
          AValue += static_cast<char>(0x80 | (code & 0x3F));
        } else {
          AValue += static_cast<char>(0xE0 | (code >> 12));
          AValue += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
          AValue += static_cast<char>(0x80 | (code & 0x3F));
        }
      } else {
        return false;
      }
    }
    return Take('"');
  }

  const std::string& FText;
  size_t FAt = 0;
};

}  // namespace

TEST(CliJson, StringsAreEscapedAndInvalidUtf8BecomesAReplacementCharacter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\x01\n\t\x1f\x7f", R"("\u0001\n\t\u001f\u007f")"},
      {"视频 é 😀", "\"视频 é 😀\""},
      {"\xff"
       "x\xe8\xa7",
       R"("\ufffdx\ufffd\ufffd")"},                                     // a stray byte, a cut sequence
      {"\xc0\xaf\xed\xa0\x80", R"("\ufffd\ufffd\ufffd\ufffd\ufffd")"},  // overlong, surrogate
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(JsonString(text), json);
}

TEST(CliJson, ABatchWithABadFileWritesOnlyEventsInOrderAndASummaryThatCountsThem) {
  TTempFolder temp("vidmill-cli-json");
  const fs::path sources = temp.Path() / "sources";
  fs::create_directories(sources);
  testmedia::ClipSpec spec;
  spec.container = "mp4";
  spec.width = 640;
  spec.height = 480;
  spec.durationSec = 60;  // long enough for progress events
  const fs::path odd = sources / "a \"quoted\" back\\slash \x01 视频.mp4";
  fs::create_symlink(testmedia::CachedClip(spec), odd);
  const fs::path bad = sources / "bad.mp4";
  testmedia::MakeTextFile(bad.string(), "this is not a video file\n");
  testmedia::ClipSpec small;
  small.container = "avi";
  small.width = 160;
  small.height = 120;
  small.durationSec = 2;
  const fs::path plain = sources / "plain.avi";
  fs::copy_file(testmedia::CachedClip(small), plain);

  const TProgramRun run = RunProgram(VIDMILL_CLI,
                                     {"--progress", "json", "--format", "mp4", "--jobs", "2", "--out",
                                      (temp.Path() / "out").string(), odd.string(), bad.string(), plain.string()},
                                     temp.Path());
  EXPECT_EQ(run.Status, 1) << run.Err;
  std::map<std::string, std::string> events;  // each file's events, one letter each
  std::vector<std::map<std::string, std::string>> objects;
  for (const std::string& line : run.OutLines()) {
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(TJsonChecker(line).Parse(fields)) << line;
    ASSERT_TRUE(fields.count("event")) << line;
    objects.push_back(fields);
    const std::string& event = fields["event"];
    if (event == "summary") continue;
    ASSERT_TRUE(fields.count("file")) << line;
    events[fields["file"]] += event == "progress" ? 'p' : event[0];
    if (event == "progress") {
      for (const char* name : {"percent", "fps", "position", "size", "eta"}) EXPECT_TRUE(fields.count(name)) << line;
    }
    if (event == "finished") {
      EXPECT_EQ(std::to_string(fs::file_size(fields["output"])), fields["size"]) << line;
    }
  }
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(objects.back()["event"], "summary");
  EXPECT_EQ(objects.back()["converted"], "2");
  EXPECT_EQ(objects.back()["failed"], "1");
  EXPECT_EQ(objects.back()["stopped"], "0");
  // queued, started, progress..., finished; a file that cannot be read: failed.
  EXPECT_EQ(events.size(), 3u);
  EXPECT_EQ(events[bad.string()], "f");
  EXPECT_EQ(events[plain.string()].front(), 'q');
  const std::string& oddEvents = events[odd.string()];
  EXPECT_GE(oddEvents.size(), 4u) << oddEvents;
  EXPECT_EQ(oddEvents.substr(0, 3), "qsp") << oddEvents;
  EXPECT_EQ(oddEvents.find_first_not_of('p', 2), oddEvents.size() - 1) << oddEvents;
  EXPECT_EQ(oddEvents.back(), 'f') << oddEvents;
  const std::string& plainEvents = events[plain.string()];
  EXPECT_EQ(plainEvents.substr(0, 2), "qs") << plainEvents;
  EXPECT_EQ(plainEvents.back(), 'f') << plainEvents;
}
