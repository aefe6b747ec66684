// The thread budget of a batch: a lone file's codecs share every processor,
// a full batch keeps one thread per task, an explicit count wins, and what
// comes out decodes whole either way, with every picture once (a decoder
// with frame threads gives its pictures out several packets late).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "converter/OptionRecords.h"
#include "converter/Vidmill.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "tests/media/ReadBack.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

namespace {

// The thread counts of the runs' summary lines, in the order logged.
std::vector<int> SummaryThreads() {
  static const std::regex summary(R"(muxing overhead -?[0-9.]+% threads:(\d+))");
  std::vector<int> counts;
  for (const TRecordedLine& line : LogLines()) {
    std::smatch match;
    if (std::regex_search(line.Text, match, summary)) counts.push_back(std::stoi(match[1].str()));
  }
  return counts;
}

}  // namespace

TEST(ThreadsTest, ALoneFileUsesEveryProcessorAndAFullBatchOneEach) {
  testmedia::ClipSpec spec;
  spec.container = "mp4";  // H.264 and AAC: both codecs of the run can take threads
  spec.width = 320;
  spec.height = 240;
  spec.durationSec = 1.0;
  const std::string source = testmedia::CachedClip(spec);
  const int64_t sourceFrames = testmedia::ReadBack(source).Video()->frames;
  const int processors = ProcessorCount();

  struct TCase {
    const char* Name;
    int Tasks, Jobs, CodecThreads, Expected;
  };
  const TCase cases[] = {
      {"one task", 1, 2, 0, processors},
      {"two tasks, two at once", 2, 2, 0, std::max(1, processors / 2)},
      {"two tasks, one at a time", 2, 1, 0, processors},
      {"an explicit count", 1, 2, 3, 3},
      {"more threads than processors", 1, 1, 5, 5},
  };
  TTempFolder folder("vidmill-threads");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::filesystem::path out = folder.Path() / c.Name;
    std::filesystem::create_directories(out);
    TVidmill vidmill;
    vidmill.SetCodecThreads(c.CodecThreads);
    for (int i = 0; i < c.Tasks; ++i) {
      TInputOptions input;
      InitInputOptions(input);
      const int index = vidmill.AddTask(FromLocal8Bit(source), &input);
      ASSERT_GE(index, 0) << vidmill.LastErrMsg();
      TOutputOptions output;
      InitOutputOptions(output);
      output.FileFormat = "mp4";
      output.VideoCodec = "libx264";
      output.AudioCodec = "aac";
      const std::string name = (out / ("t" + std::to_string(i) + ".mp4")).string();
      ASSERT_TRUE(vidmill.SetOutputFile(index, FromLocal8Bit(name), &output)) << vidmill.LastErrMsg();
    }
    ClearLogLines();
    std::atomic<bool> ended{false};
    vidmill.OnTerminate() = [&](int AIndex, bool AFinished, bool, const std::string& AMessage) {
      if (AIndex < 0) {
        ended = true;
      } else {
        EXPECT_TRUE(AFinished) << AMessage;
      }
    };
    vidmill.StartConvert(c.Jobs);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    WaitServing([&] { return ended.load() || std::chrono::steady_clock::now() > until; });
    ASSERT_TRUE(ended.load());
    EXPECT_EQ(SummaryThreads(), std::vector<int>(static_cast<size_t>(c.Tasks), c.Expected));
    for (int i = 0; i < c.Tasks; ++i) {
      const testmedia::FileReadBack back = testmedia::ReadBack((out / ("t" + std::to_string(i) + ".mp4")).string());
      ASSERT_NE(back.Video(), nullptr) << i;
      EXPECT_EQ(back.Video()->frames, sourceFrames) << i;
      EXPECT_EQ(back.Video()->decodeErrors, 0) << i;
      ASSERT_NE(back.Audio(), nullptr) << i;
    }
  }
}
