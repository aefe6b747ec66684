// What a waiting task costs: a queue of a thousand tasks holds the same
// open files as a queue of a hundred and only a small record more per task,
// and the whole queue converts.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "converter/OptionRecords.h"
#include "converter/Vidmill.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

namespace {

int OpenFileCount() {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

struct TQueueCost {
  int OpenFiles = 0;
  size_t HeapBytes = 0;
};

// Queues ACount tasks of ASource into AFolder as a batch does (one input and
// one output record for all) and returns what the queue added.
// The recorded log lines are freed before each count, as they are the
// test's, not the queue's.
TQueueCost Queue(TVidmill& AVidmill, const std::string& ASource, const std::filesystem::path& AFolder, int ACount) {
  ClearLogLines();
  const int filesBefore = OpenFileCount();
  const size_t heapBefore = HeapInUse();
  for (int i = 0; i < ACount; ++i) {
    TInputOptions input;
    InitInputOptions(input);
    const int index = AVidmill.AddTask(FromLocal8Bit(ASource), &input);
    EXPECT_EQ(index, i) << AVidmill.LastErrMsg();
    TOutputOptions output;
    InitOutputOptions(output);
    output.FileFormat = "3gp";
    output.VideoCodec = "h263";
    output.AudioCodec = "aac";
    output.FrameSize = "128x96";
    const std::string name = (AFolder / ("s" + std::to_string(i) + ".3gp")).string();
    EXPECT_TRUE(AVidmill.SetOutputFile(index, FromLocal8Bit(name), &output)) << AVidmill.LastErrMsg();
    if (::testing::Test::HasFailure()) break;
  }
  ClearLogLines();
  malloc_trim(0);
  return {OpenFileCount() - filesBefore, HeapInUse() - std::min(HeapInUse(), heapBefore)};
}

}  // namespace

TEST(QueueTest, WaitingTasksHoldNoFileAndOnlyASmallRecord) {
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.width = 64;
  spec.height = 48;
  spec.durationSec = 0.2;
  const std::string source = testmedia::CachedClip(spec);
  TTempFolder folder("vidmill-queue");

  TQueueCost costs[2];
  const int counts[2] = {100, 1000};
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(std::to_string(counts[run]) + " tasks");
    const std::filesystem::path out = folder.Path() / std::to_string(counts[run]);
    std::filesystem::create_directories(out);
    TVidmill vidmill;
    costs[run] = Queue(vidmill, source, out, counts[run]);
    if (HasFatalFailure() || HasFailure()) return;
    std::printf("[ queue    ] %d tasks: %d more open files, %zu heap bytes\n", counts[run], costs[run].OpenFiles,
                costs[run].HeapBytes);

    std::atomic<bool> ended{false};
    std::atomic<int> finished{0};
    vidmill.OnTerminate() = [&](int AIndex, bool AFinished, bool, const std::string& AMessage) {
      if (AIndex < 0) {
        ended = true;
        return;
      }
      EXPECT_TRUE(AFinished) << "task " << AIndex << ": " << AMessage;
      if (AFinished) ++finished;
    };
    vidmill.StartConvert(2);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    WaitServing([&] { return ended.load() || std::chrono::steady_clock::now() > until; });
    ASSERT_TRUE(ended.load()) << "the batch did not end";
    EXPECT_EQ(finished.load(), counts[run]);
    int written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out))
      if (entry.path().extension() == ".3gp" && entry.file_size() > 0) ++written;
    EXPECT_EQ(written, counts[run]) << "outputs in " << out;
  }
  // The same descriptors however long the queue, and a record of a few
  // hundred bytes per waiting task (a queued engine costs hundreds of
  // kilobytes).
  EXPECT_LE(costs[1].OpenFiles, costs[0].OpenFiles) << "descriptors grow with the queue";
  EXPECT_LE(costs[1].OpenFiles, 0) << "a queue holds open files";
  const double perTask = (static_cast<double>(costs[1].HeapBytes) - static_cast<double>(costs[0].HeapBytes)) / 900.0;
  EXPECT_LT(perTask, 1024.0) << "heap bytes per waiting task";
}
