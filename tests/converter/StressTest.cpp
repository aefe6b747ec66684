// Concurrency stress of the converter component: twenty short tasks run four
// at a time and are stopped at a random moment, round after round. Every
// round checks that each task's termination is delivered exactly once, that
// the end-of-run notification comes exactly once and last, that no file
// descriptor and no thread is left behind, and that every output that exists
// is a file the probe can load. One more round lets every task finish.
//
// The moments are drawn from a seeded generator; the seed is printed with
// every failure. VIDMILL_STRESS_SEED=<n> replays a run (the moments, not
// the threads' timing), VIDMILL_STRESS_KEEP=1 keeps the outputs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "converter/OptionRecords.h"
#include "converter/Vidmill.h"
#include "probe/AVProbe.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "tests/media/TestMedia.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTasks = 20;
constexpr int kWorkers = 4;
constexpr int kStopRounds = 7;
// The sources are 5 s long: twenty of them take about a second on two
// cores, so that the stop moments (0-400 ms) fall inside the run.
constexpr double kClipSec = 5.0;
constexpr int64_t kClipUs = static_cast<int64_t>(kClipSec * 1000000);

std::vector<std::string> ListDir(const char* APath) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(APath, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    entries.push_back(it->path().filename().string());
  return entries;
}

int ThreadCount() { return static_cast<int>(ListDir("/proc/self/task").size()); }

// The open descriptors with what they point at. The listing's own
// descriptor is among them every time, so counts compare.
std::map<std::string, std::string> OpenFiles() {
  std::map<std::string, std::string> files;
  for (const std::string& fd : ListDir("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/proc/self/fd/" + fd, error);
    files[fd] = error ? std::string("?") : target.string();
  }
  return files;
}

std::string Describe(const std::map<std::string, std::string>& AFiles) {
  std::ostringstream text;
  for (const auto& [fd, target] : AFiles) text << "  " << fd << " -> " << target << "\n";
  return text.str();
}

// What was opened in AAfter and not in ABefore (or points elsewhere now).
std::string NewFiles(const std::map<std::string, std::string>& ABefore,
                     const std::map<std::string, std::string>& AAfter) {
  std::map<std::string, std::string> extra;
  for (const auto& [fd, target] : AAfter) {
    auto it = ABefore.find(fd);
    if (it == ABefore.end() || it->second != target) extra[fd] = target;
  }
  return Describe(extra);
}

struct TEnd {
  int Index;
  uint64_t Id;  // the task's id read at the event; 0 for the end of the run
  bool Finished;
  bool Exception;
  std::string Message;
};

// The terminations of one component, recorded from the delivery thread.
class TEnds {
 public:
  void Attach(TVidmill& AVidmill) {
    TVidmill* vidmill = &AVidmill;
    AVidmill.OnTerminate() = [this, vidmill](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
      const uint64_t id = AIndex >= 0 ? vidmill->TaskId(AIndex) : 0;
      {
        std::lock_guard<std::mutex> guard(FLock);
        FEnds.push_back({AIndex, id, AFinished, AException, AMessage});
      }
      // A slow handler lets notifications queue up behind it while the
      // run is being stopped.
      if (const int delay = FDelayUs.load(); delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
    };
  }
  void SetDelayUs(int ADelayUs) { FDelayUs = ADelayUs; }
  std::vector<TEnd> Ends() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FEnds;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FEnds.size();
  }
  bool RunEnded() const {
    std::lock_guard<std::mutex> guard(FLock);
    for (const TEnd& end : FEnds)
      if (end.Index < 0) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FEnds.clear();
  }

 private:
  mutable std::mutex FLock;
  std::vector<TEnd> FEnds;
  std::atomic<int> FDelayUs{0};
};

std::string Sources(int AIndex) {
  testmedia::ClipSpec spec;
  spec.container = AIndex % 2 == 0 ? "mp4" : "avi";
  spec.width = 160;
  spec.height = 120;
  spec.durationSec = kClipSec;
  return testmedia::CachedClip(spec);
}

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* text = std::getenv("VIDMILL_STRESS_SEED"); text != nullptr && *text != '\0')
      FSeed = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    else
      FSeed = std::random_device()();
    std::printf("[ stress   ] seed %u (VIDMILL_STRESS_SEED=%u replays it)\n", FSeed, FSeed);
    std::fflush(stdout);
    FRandom.seed(FSeed);
    FSources[0] = Sources(0);
    FSources[1] = Sources(1);
  }
  void TearDown() override {
    // VIDMILL_STRESS_KEEP=1 keeps the outputs for a look.
    if (const char* keep = std::getenv("VIDMILL_STRESS_KEEP"); keep != nullptr && *keep == '1') {
      std::printf("[ stress   ] outputs kept in %s\n", FFolder.Path().string().c_str());
      FFolder.Keep();
    }
  }

  // Output of task ATask in round ARound: MPEG-4 video in AVI without
  // sound, or in MP4 with AAC sound.
  std::string OutName(int ARound, int ATask) const {
    return FFolder / ("r" + std::to_string(ARound) + "-t" + std::to_string(ATask) + (ATask % 4 < 2 ? ".avi" : ".mp4"));
  }

  void AddTasks(TVidmill& AVidmill, int ARound) {
    for (int i = 0; i < kTasks; ++i) {
      TInputOptions input;
      InitInputOptions(input);
      const int index = AVidmill.AddTask(FromLocal8Bit(FSources[i % 2]), &input);
      ASSERT_EQ(index, i) << AVidmill.LastErrMsg();
      TOutputOptions output;
      InitOutputOptions(output);
      output.VideoCodec = "mpeg4";
      if (i % 4 < 2) {
        output.FileFormat = "avi";
        output.AudioDisable = true;
      } else {
        output.FileFormat = "mp4";
        output.AudioCodec = "aac";
      }
      ASSERT_TRUE(AVidmill.SetOutputFile(index, FromLocal8Bit(OutName(ARound, i)), &output)) << AVidmill.LastErrMsg();
    }
  }

  // Each task's end exactly once (by id), the end of the run exactly once
  // and last, and no failure reported.
  static void CheckEnds(const std::vector<TEnd>& AEnds, const std::vector<uint64_t>& AIds, bool AAllFinished) {
    std::map<uint64_t, int> seen;
    int runEnds = 0;
    for (size_t i = 0; i < AEnds.size(); ++i) {
      const TEnd& end = AEnds[i];
      if (end.Index < 0) {
        ++runEnds;
        EXPECT_EQ(end.Index, -1);
        EXPECT_EQ(i + 1, AEnds.size()) << "the end of the run came before other notifications";
        EXPECT_TRUE(end.Finished);
        EXPECT_FALSE(end.Exception);
        EXPECT_EQ(end.Message, "");
        continue;
      }
      EXPECT_NE(end.Id, 0u) << "notification for index " << end.Index << " names no task";
      ++seen[end.Id];
      EXPECT_FALSE(end.Exception) << "task index " << end.Index << ": " << end.Message;
      if (AAllFinished) {
        EXPECT_TRUE(end.Finished) << "task index " << end.Index << ": " << end.Message;
      }
    }
    EXPECT_EQ(runEnds, 1) << "end-of-run notifications";
    for (uint64_t id : AIds) EXPECT_EQ(seen[id], 1) << "terminations of task id " << id;
    for (const auto& [id, count] : seen)
      EXPECT_NE(std::find(AIds.begin(), AIds.end(), id), AIds.end()) << "termination of unknown task id " << id;
    EXPECT_EQ(AEnds.size(), AIds.size() + 1);
  }

  // An output that exists must load; a finished task's output must be
  // complete. An empty file is the output of a task that never started
  // (the component opens outputs when they are set).
  void CheckOutputs(int ARound, const std::vector<TEnd>& AEnds, const std::vector<uint64_t>& AIds, bool AAllFinished) {
    std::map<uint64_t, bool> finished;
    for (const TEnd& end : AEnds)
      if (end.Index >= 0) finished[end.Id] = end.Finished;
    int complete = 0, stopped = 0, empty = 0, trackless = 0;
    for (int i = 0; i < kTasks; ++i) {
      const std::string name = OutName(ARound, i);
      const bool done = finished[AIds[static_cast<size_t>(i)]];
      std::error_code error;
      const bool exists = std::filesystem::exists(name, error);
      const uintmax_t size = exists ? std::filesystem::file_size(name, error) : 0;
      if (!exists || size == 0) {
        EXPECT_FALSE(done) << name << ": finished, but its output is " << (exists ? "empty" : "missing");
        EXPECT_FALSE(AAllFinished) << name;
        ++empty;
        continue;
      }
      TAVProbe probe;
      probe.Enable();
      const bool loaded = probe.LoadFile(FromLocal8Bit(name));
      EXPECT_TRUE(loaded) << name << " (" << size << " bytes, " << (done ? "finished" : "stopped")
                          << "): " << probe.LastErrMsg();
      if (!loaded) continue;
      if (done) {
        ++complete;
        EXPECT_EQ(probe.VideoStreamCount(), 1) << name;
        EXPECT_EQ(probe.AudioStreamCount(), i % 4 >= 2 ? 1 : 0) << name;
        TFileStreamInfo info;
        ASSERT_TRUE(probe.GetFileStreamInfo(info)) << name;
        EXPECT_NEAR(static_cast<double>(info.Duration), static_cast<double>(kClipUs), 300000.0) << name;
        TVideoStreamInfo video;
        ASSERT_TRUE(probe.GetVideoStreamInfo(video)) << name;
        EXPECT_EQ(video.Width, 160) << name;
        EXPECT_EQ(video.Height, 120) << name;
      } else {
        // Stopped before its first packet, an MP4 output holds no track
        // (the muxer writes only tracks with samples): it loads, with no
        // streams. Otherwise it has the streams it was set up with.
        ++stopped;
        EXPECT_LE(probe.VideoStreamCount(), 1) << name << " (" << size << " bytes)";
        EXPECT_LE(probe.AudioStreamCount(), i % 4 >= 2 ? 1 : 0) << name << " (" << size << " bytes)";
        if (i % 4 < 2) {
          EXPECT_EQ(probe.VideoStreamCount(), 1) << name << " (" << size << " bytes)";
        }
        if (probe.VideoStreamCount() == 0) ++trackless;
      }
      probe.Close();
    }
    std::printf("[ stress   ] round %d: %d complete, %d stopped (%d without tracks), %d not started\n", ARound,
                complete, stopped, trackless, empty);
    std::fflush(stdout);
  }

  // Waits (serving the hand-over queue) until the process has no more
  // threads than ABaseline.
  static bool ThreadsBackTo(int ABaseline) {
    const auto until = Clock::now() + milliseconds(2000);
    WaitServing([&] { return ThreadCount() <= ABaseline || Clock::now() > until; });
    return ThreadCount() <= ABaseline;
  }

  // One round. AStopAfterMs < 0 lets every task finish. AFresh makes a new
  // component; otherwise AShared is reused (its tasks cleared afterwards).
  void Round(int ARound, int AStopAfterMs, int AHandlerDelayUs, bool AFresh, std::unique_ptr<TVidmill>& AShared,
             TEnds& ASharedEnds) {
    SCOPED_TRACE("round " + std::to_string(ARound) + ", " +
                 (AStopAfterMs < 0 ? std::string("no stop") : "stop after " + std::to_string(AStopAfterMs) + " ms") +
                 ", handler delay " + std::to_string(AHandlerDelayUs) + " us" +
                 (AFresh ? ", fresh component" : ", reused component") + ", seed " + std::to_string(FSeed));
    const int threadsBefore = ThreadCount();
    const std::map<std::string, std::string> filesBefore = OpenFiles();

    std::unique_ptr<TVidmill> own;
    TEnds ownEnds;
    if (AFresh) own = std::make_unique<TVidmill>();
    TVidmill& vidmill = AFresh ? *own : *AShared;
    TEnds& ends = AFresh ? ownEnds : ASharedEnds;
    ends.Clear();
    ends.SetDelayUs(AHandlerDelayUs);
    if (AFresh) ends.Attach(vidmill);

    AddTasks(vidmill, ARound);
    if (HasFatalFailure()) return;
    std::vector<uint64_t> ids;
    for (int i = 0; i < kTasks; ++i) ids.push_back(vidmill.TaskId(i));

    const auto started = Clock::now();
    FWatchdog.Arm("round " + std::to_string(ARound) + " (seed " + std::to_string(FSeed) + ")", milliseconds(30000));
    vidmill.StartConvert(kWorkers);
    if (AStopAfterMs < 0) {
      const auto until = Clock::now() + milliseconds(25000);
      WaitServing([&] { return ends.RunEnded() || Clock::now() > until; });
      EXPECT_TRUE(ends.RunEnded()) << "the run did not end";
    } else {
      const auto until = started + milliseconds(AStopAfterMs);
      WaitServing([&] { return Clock::now() >= until; }, milliseconds(1));
    }
    vidmill.StopConvert(true);
    const auto stopped = Clock::now();

    // Every notification of the run has been delivered by now.
    const std::vector<TEnd> atStop = ends.Ends();
    CheckEnds(atStop, ids, AStopAfterMs < 0);

    // Nothing arrives late, not even from a second stop.
    vidmill.StopConvert(true);
    const auto settle = Clock::now() + milliseconds(100);
    WaitServing([&] { return Clock::now() >= settle; });
    EXPECT_EQ(ends.Count(), atStop.size()) << "notifications after StopConvert(true) returned";

    if (AFresh) {
      own.reset();
    } else {
      vidmill.ClearTasks();
      EXPECT_EQ(vidmill.TaskCount(), 0);
    }
    EXPECT_EQ(ends.Count(), atStop.size()) << "notifications while the tasks were freed";
    FWatchdog.Disarm();

    EXPECT_TRUE(ThreadsBackTo(threadsBefore)) << ThreadCount() << " threads, " << threadsBefore << " before";
    const std::map<std::string, std::string> filesAfter = OpenFiles();
    EXPECT_EQ(filesAfter.size(), filesBefore.size()) << "descriptors left open:\n" << NewFiles(filesBefore, filesAfter);

    CheckOutputs(ARound, atStop, ids, AStopAfterMs < 0);
    std::printf("[ stress   ] round %d: %s, run %lld ms\n", ARound,
                AStopAfterMs < 0 ? "all finished" : ("stopped at " + std::to_string(AStopAfterMs) + " ms").c_str(),
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(stopped - started).count()));
    std::fflush(stdout);
  }

  uint32_t FSeed = 0;
  std::mt19937 FRandom;
  std::string FSources[2];
  TTempFolder FFolder{"vidmill-stress"};
  TWatchdog FWatchdog;
};

// Warms the libraries up (one-time set-up that keeps files or threads for
// good, outside any round) with one short conversion.
void WarmUp(const std::string& ASource, const std::string& AOutput) {
  TVidmill vidmill;
  ASSERT_EQ(vidmill.AddTask(FromLocal8Bit(ASource)), 0) << vidmill.LastErrMsg();
  TOutputOptions output;
  InitOutputOptions(output);
  output.FileFormat = "mp4";
  output.VideoCodec = "mpeg4";
  output.AudioCodec = "aac";
  ASSERT_TRUE(vidmill.SetOutputFile(0, FromLocal8Bit(AOutput), &output)) << vidmill.LastErrMsg();
  vidmill.StartConvert(0);
  TAVProbe probe;
  probe.Enable();
  ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(AOutput))) << probe.LastErrMsg();
}

TEST_F(StressTest, TwentyTasksFourAtATimeStoppedAtRandomMoments) {
  WarmUp(FSources[0], FFolder / "warm-up.mp4");
  if (HasFatalFailure()) return;

  std::uniform_int_distribution<int> stopAfter(0, 400);
  std::uniform_int_distribution<int> handlerDelay(0, 3000);
  std::unique_ptr<TVidmill> shared = std::make_unique<TVidmill>();
  TEnds sharedEnds;
  sharedEnds.Attach(*shared);
  for (int round = 0; round < kStopRounds; ++round) {
    // Every other round on a fresh component; the others reuse one
    // component whose tasks are cleared after each round.
    // Rounds 2, 3 and 6 (one of each kind, and one more) also get a slow
    // termination handler.
    const int stop = stopAfter(FRandom);
    const int delay = handlerDelay(FRandom);
    Round(round, stop, round % 4 >= 2 ? delay : 0, round % 2 == 0, shared, sharedEnds);
    if (HasFatalFailure()) break;
  }
  // A last round on the reused component that lets every task finish.
  if (!HasFatalFailure()) Round(kStopRounds, -1, 0, false, shared, sharedEnds);
}

}  // namespace
