// The converter component with real conversions of small generated clips:
// runs without threads and with a limited number of worker threads, the
// order and the threads of the notifications, stopping a run, removing
// tasks (indices and stable ids), and the failures of adding a task and
// setting its output.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "converter/Vidmill.h"
#include "probe/AVProbe.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "tests/media/TestMedia.h"
#include "tests/support/TempFolder.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string SourceClip() {
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.width = 160;
  spec.height = 120;
  spec.durationSec = 1.0;
  return testmedia::CachedClip(spec);
}

int ThreadCount() {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

struct TNotice {
  int Index;
  bool Finished;
  bool Exception;
  std::string Message;
  uint32_t Thread;
};

// What one component reported, recorded from any thread.
// It outlives the component it listens to (declared before it).
class TRecorder {
 public:
  void Attach(TVidmill& AVidmill) {
    AVidmill.OnTerminate() = [this](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
      std::lock_guard<std::mutex> guard(FLock);
      FNotices.push_back({AIndex, AFinished, AException, AMessage, CurrentThreadId()});
    };
    AVidmill.OnProgress() = [this](int AIndex, int, int, int, float, float, int64_t, int) {
      std::lock_guard<std::mutex> guard(FLock);
      FProgress.push_back(AIndex);
    };
  }
  std::vector<TNotice> Notices() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FNotices;
  }
  std::vector<int> Indexes() const {
    std::vector<int> indexes;
    for (const TNotice& notice : Notices()) indexes.push_back(notice.Index);
    return indexes;
  }
  std::vector<int> Progress() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FProgress;
  }
  bool RunEnded() const {
    for (const TNotice& notice : Notices())
      if (notice.Index < 0) return true;
    return false;
  }
  // Waits (serving the hand-over queue) for the end-of-run notification.
  bool WaitForEnd(std::chrono::milliseconds ATimeout = std::chrono::milliseconds(15000)) {
    const auto until = Clock::now() + ATimeout;
    WaitServing([&] { return RunEnded() || Clock::now() > until; });
    return RunEnded();
  }

 private:
  mutable std::mutex FLock;
  std::vector<TNotice> FNotices;
  std::vector<int> FProgress;
};

// Per-frame calls of the custom hook: when each task was seen working and
// on which thread. Each call sleeps a little so that tasks that run at the
// same time overlap.
class THookProbe {
 public:
  explicit THookProbe(std::chrono::milliseconds ASleep) : FSleep(ASleep) {}
  void Attach(TVidmill& AVidmill) {
    AVidmill.OnCustomHook() = [this](int AIndex, TBitmap&, int, int64_t, bool& AUpdate, bool&) {
      AUpdate = false;
      {
        std::lock_guard<std::mutex> guard(FLock);
        auto& span = FSpans[AIndex];
        if (span.first == Clock::time_point()) span.first = Clock::now();
        span.second = Clock::now();
        FThreads.insert(CurrentThreadId());
        ++FCalls;
      }
      std::this_thread::sleep_for(FSleep);
    };
  }
  int Calls() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FCalls;
  }
  std::set<uint32_t> Threads() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FThreads;
  }
  // The largest number of tasks whose spans (first to last hook call)
  // overlap at one moment.
  int MaxOverlap() const {
    std::lock_guard<std::mutex> guard(FLock);
    std::vector<std::pair<Clock::time_point, int>> edges;
    for (const auto& [index, span] : FSpans) {
      edges.emplace_back(span.first, +1);
      edges.emplace_back(span.second, -1);
    }
    std::sort(edges.begin(), edges.end(), [](const auto& A, const auto& B) {
      return A.first != B.first ? A.first < B.first : A.second < B.second;
    });
    int now = 0, most = 0;
    for (const auto& edge : edges) most = std::max(most, now += edge.second);
    return most;
  }
  size_t TasksSeen() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FSpans.size();
  }
  // Serves the hand-over queue until the hooks have seen ACount tasks, for
  // at most 10 s.
  void WaitForTasks(size_t ACount) const {
    const auto until = Clock::now() + std::chrono::seconds(10);
    WaitServing([&] { return TasksSeen() >= ACount || Clock::now() > until; });
  }

 private:
  std::chrono::milliseconds FSleep;
  mutable std::mutex FLock;
  std::map<int, std::pair<Clock::time_point, Clock::time_point>> FSpans;
  std::set<uint32_t> FThreads;
  int FCalls = 0;
};

class VidmillTest : public ::testing::Test {
 protected:
  void SetUp() override { FSource = SourceClip(); }

  std::string Out(const std::string& AName) const { return FFolder / AName; }

  // A small, quick output: MPEG-4 video in AVI, no sound.
  static TOutputOptions QuickOutput(bool ACustomHook = false) {
    TOutputOptions options;
    InitOutputOptions(options);
    options.FileFormat = "avi";
    options.VideoCodec = "mpeg4";
    options.AudioDisable = true;
    options.CustomHook = ACustomHook;
    return options;
  }

  // Adds ACount tasks converting the source clip to out<n>.avi.
  void AddTasks(TVidmill& AVidmill, int ACount, bool ACustomHook = false) {
    for (int i = 0; i < ACount; ++i) {
      const int index = AVidmill.AddTask(FromLocal8Bit(FSource));
      ASSERT_GE(index, 0) << AVidmill.LastErrMsg();
      const TOutputOptions options = QuickOutput(ACustomHook);
      const std::string name = Out("out" + std::to_string(FAdded++) + ".avi");
      ASSERT_TRUE(AVidmill.SetOutputFile(index, FromLocal8Bit(name), &options)) << AVidmill.LastErrMsg();
    }
  }

  // Waits until the process has no more threads than ABaseline.
  static bool ThreadsBackTo(int ABaseline) {
    const auto until = Clock::now() + std::chrono::seconds(3);
    WaitServing([&] { return ThreadCount() <= ABaseline || Clock::now() > until; });
    return ThreadCount() <= ABaseline;
  }

  std::string FSource;
  TTempFolder FFolder{"vidmill-component"};
  int FAdded = 0;
};

TEST_F(VidmillTest, PropertiesAndTheirLimits) {
  TVidmill vidmill;
  EXPECT_EQ(vidmill.Version(), "2.5");
  EXPECT_EQ(vidmill.ProgressInterval(), 500);
  vidmill.SetProgressInterval(50);
  EXPECT_EQ(vidmill.ProgressInterval(), 100);
  vidmill.SetProgressInterval(100);
  EXPECT_EQ(vidmill.ProgressInterval(), 100);
  vidmill.SetProgressInterval(101);
  EXPECT_EQ(vidmill.ProgressInterval(), 101);
  vidmill.SetProgressInterval(-5);
  EXPECT_EQ(vidmill.ProgressInterval(), 100);

  EXPECT_EQ(vidmill.ThreadPriority(), tpNormal);
  vidmill.SetThreadPriority(tpLower);
  EXPECT_EQ(vidmill.ThreadPriority(), tpLower);
  vidmill.SetThreadPriority(tpTimeCritical);
  EXPECT_EQ(vidmill.ThreadPriority(), tpNormal);

  EXPECT_TRUE(vidmill.AVLibLoaded());
  EXPECT_TRUE(vidmill.Probe().Enabled());

  // Preview flags reach tasks added later and tasks already there.
  vidmill.SetPreviewBitmap(true);
  const int first = vidmill.AddTask(FromLocal8Bit(FSource));
  ASSERT_EQ(first, 0) << vidmill.LastErrMsg();
  EXPECT_EQ(vidmill.Task(0)->PreviewFlags(), 2);
  vidmill.SetPreview(true);
  EXPECT_EQ(vidmill.Task(0)->PreviewFlags(), 3);
  vidmill.SetPreviewBitmap(false);
  EXPECT_EQ(vidmill.Task(0)->PreviewFlags(), 1);
  // The task's probe describes the opened input.
  EXPECT_EQ(vidmill.Task(0)->Probe().VideoStreamCount(), 1);
}

TEST_F(VidmillTest, RunWithoutThreadsGoesInListOrderOnTheCallersThread) {
  TRecorder recorder;
  TVidmill vidmill;
  recorder.Attach(vidmill);
  AddTasks(vidmill, 3);
  vidmill.SetProgressInterval(250);

  vidmill.StartConvert(0);

  // Everything happened inside the call, on this thread, in list order.
  const std::vector<TNotice> notices = recorder.Notices();
  ASSERT_EQ(recorder.Indexes(), (std::vector<int>{0, 1, 2, -1}));
  for (const TNotice& notice : notices) {
    EXPECT_EQ(notice.Thread, CurrentThreadId());
    EXPECT_TRUE(notice.Finished) << notice.Index;
    EXPECT_FALSE(notice.Exception) << notice.Index << ": " << notice.Message;
    EXPECT_EQ(notice.Message, "");
  }
  // Progress of each task comes with its index, task after task.
  const std::vector<int> progress = recorder.Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(std::set<int>(progress.begin(), progress.end()), (std::set<int>{0, 1, 2}));
  EXPECT_EQ(vidmill.Task(2)->FProgressInterval, 250000);
  for (int i = 0; i < 3; ++i) EXPECT_GT(std::filesystem::file_size(Out("out" + std::to_string(i) + ".avi")), 0u);
  // Tasks stay in the list after the run.
  EXPECT_EQ(vidmill.TaskCount(), 3);

  // Running the same tasks again converts nothing (an engine instance runs
  // once) but the run still ends, with its end-of-run notification only.
  vidmill.StartConvert(0);
  EXPECT_EQ(recorder.Indexes(), (std::vector<int>{0, 1, 2, -1, -1}));
  vidmill.StartConvert(2);
  ASSERT_TRUE(recorder.WaitForEnd());
  vidmill.StopConvert(true);
  EXPECT_EQ(recorder.Indexes(), (std::vector<int>{0, 1, 2, -1, -1, -1}));
}

TEST_F(VidmillTest, TwoWorkersRunFiveTasksAndTheEndComesLast) {
  const int baseline = ThreadCount();
  {
    TRecorder recorder;
    THookProbe hooks(std::chrono::milliseconds(3));
    std::atomic<int> previews{0}, previewsOffMain{0};
    TVidmill vidmill;
    recorder.Attach(vidmill);
    hooks.Attach(vidmill);
    vidmill.OnPreviewBitmap() = [&](int AIndex, TBitmap& ABitmap, int, int64_t) {
      ++previews;
      if (!IsMainThread() || AIndex < 0 || AIndex > 4 || ABitmap.Width != 160) ++previewsOffMain;
    };
    vidmill.SetPreviewBitmap(true);
    AddTasks(vidmill, 5, true);

    vidmill.StartConvert(2);
    ASSERT_TRUE(recorder.WaitForEnd());
    vidmill.StopConvert(true);  // joins the delivery thread

    const std::vector<TNotice> notices = recorder.Notices();
    ASSERT_EQ(notices.size(), 6u);
    EXPECT_EQ(notices.back().Index, -1);
    EXPECT_TRUE(notices.back().Finished);
    EXPECT_FALSE(notices.back().Exception);
    std::multiset<int> tasks;
    for (size_t i = 0; i + 1 < notices.size(); ++i) {
      tasks.insert(notices[i].Index);
      EXPECT_TRUE(notices[i].Finished) << notices[i].Index << ": " << notices[i].Message;
    }
    EXPECT_EQ(tasks, (std::multiset<int>{0, 1, 2, 3, 4}));

    // Never more than two at once, and two did run at once.
    EXPECT_EQ(hooks.TasksSeen(), 5u);
    EXPECT_EQ(hooks.Calls(), 5 * 25);  // every frame of every task
    EXPECT_LE(hooks.MaxOverlap(), 2);
    EXPECT_EQ(hooks.MaxOverlap(), 2);

    // Notifications ran on a thread of their own: neither this thread nor a
    // worker.
    const std::set<uint32_t> workers = hooks.Threads();
    for (const TNotice& notice : notices) {
      EXPECT_NE(notice.Thread, CurrentThreadId());
      EXPECT_EQ(workers.count(notice.Thread), 0u);
    }
    // Preview pictures were handed over to this thread.
    EXPECT_GT(previews.load(), 0);
    EXPECT_EQ(previewsOffMain.load(), 0);
  }
  EXPECT_TRUE(ThreadsBackTo(baseline)) << ThreadCount() << " threads, " << baseline << " before";
}

TEST_F(VidmillTest, AnEmptyListDeliversNothing) {
  TRecorder recorder;
  TVidmill vidmill;
  recorder.Attach(vidmill);
  vidmill.StartConvert(0);
  vidmill.StartConvert(3);
  vidmill.StopConvert(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ServeMainThreadQueue();
  EXPECT_TRUE(recorder.Notices().empty());
}

TEST_F(VidmillTest, RemovingATaskRenumbersAndIdsFollowTheTasks) {
  TRecorder recorder;
  TVidmill vidmill;
  recorder.Attach(vidmill);
  AddTasks(vidmill, 3);
  const uint64_t id0 = vidmill.TaskId(0), id1 = vidmill.TaskId(1), id2 = vidmill.TaskId(2);
  EXPECT_NE(id0, 0u);
  EXPECT_EQ(std::set<uint64_t>({id0, id1, id2}).size(), 3u);
  EXPECT_EQ(vidmill.TaskId(3), 0u);

  vidmill.RemoveTask(0);
  EXPECT_EQ(vidmill.TaskCount(), 2);
  EXPECT_EQ(vidmill.IndexOfTaskId(id0), -1);
  EXPECT_EQ(vidmill.IndexOfTaskId(id1), 0);
  EXPECT_EQ(vidmill.IndexOfTaskId(id2), 1);
  EXPECT_EQ(vidmill.Task(0)->FIndex, 0);
  EXPECT_EQ(vidmill.Task(1)->FIndex, 1);
  vidmill.RemoveTask(7);  // nothing there
  EXPECT_EQ(vidmill.TaskCount(), 2);

  // Notifications name the remaining tasks by their new indices, which map
  // back to the ids the caller kept.
  std::vector<uint64_t> reportedIds;
  TTerminateEvent record = vidmill.OnTerminate();
  vidmill.OnTerminate() = [&](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    if (AIndex >= 0) reportedIds.push_back(vidmill.TaskId(AIndex));
    record(AIndex, AFinished, AException, AMessage);
  };
  vidmill.StartConvert(0);
  EXPECT_EQ(recorder.Indexes(), (std::vector<int>{0, 1, -1}));
  EXPECT_EQ(reportedIds, (std::vector<uint64_t>{id1, id2}));
  const std::vector<int> progress = recorder.Progress();
  EXPECT_EQ(std::set<int>(progress.begin(), progress.end()), (std::set<int>{0, 1}));

  // Ids are never handed out twice, not even after removals.
  const int added = vidmill.AddTask(FromLocal8Bit(FSource));
  ASSERT_EQ(added, 2);
  EXPECT_GT(vidmill.TaskId(added), id2);
  vidmill.ClearTasks();
  EXPECT_EQ(vidmill.IndexOfTaskId(id1), -1);
  ASSERT_EQ(vidmill.AddTask(FromLocal8Bit(FSource)), 0);
  EXPECT_GT(vidmill.TaskId(0), id2 + 1);
}

TEST_F(VidmillTest, ExtraOptionLinesWithCrLfActLikeLineFeeds) {
  TRecorder recorder;
  TVidmill vidmill;
  recorder.Attach(vidmill);
  const std::vector<std::string> texts = {"s=96x64\nr=10\nvb=200000", "s=96x64\r\nr=10\r\nvb=200000\r\n\r\n"};
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(vidmill.AddTask(FromLocal8Bit(FSource)), static_cast<int>(i)) << vidmill.LastErrMsg();
    TOutputOptions options = QuickOutput();
    options.ExtraOptions = texts[i];
    ASSERT_TRUE(
        vidmill.SetOutputFile(static_cast<int>(i), FromLocal8Bit(Out("extra" + std::to_string(i) + ".avi")), &options))
        << vidmill.LastErrMsg();
  }
  vidmill.StartConvert(0);
  ASSERT_EQ(recorder.Indexes(), (std::vector<int>{0, 1, -1}));

  TVideoStreamInfo info[2];
  for (int i = 0; i < 2; ++i) {
    TAVProbe probe;
    probe.Enable();
    ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(Out("extra" + std::to_string(i) + ".avi")))) << probe.LastErrMsg();
    ASSERT_TRUE(probe.GetVideoStreamInfo(info[i]));
  }
  EXPECT_EQ(info[0].Width, 96);
  EXPECT_EQ(info[0].Height, 64);
  EXPECT_EQ(info[0].FrameRateNum * 1.0 / info[0].FrameRateDen, 10.0);
  EXPECT_EQ(info[1].Width, info[0].Width);
  EXPECT_EQ(info[1].Height, info[0].Height);
  EXPECT_EQ(info[1].FrameRateNum * info[0].FrameRateDen, info[0].FrameRateNum * info[1].FrameRateDen);
  // The same settings give the same file.
  EXPECT_EQ(std::filesystem::file_size(Out("extra0.avi")), std::filesystem::file_size(Out("extra1.avi")));
}

TEST_F(VidmillTest, FailuresOfAddTaskAndSetOutputFileKeepTheEnginesText) {
  TVidmill vidmill;
  // What the engine itself says about the same mistakes.
  auto engineInputError = [](const std::string& APath) {
    TCustomFFmpeg engine;
    engine.Prepare();
    EXPECT_FALSE(engine.OpenInputFile(FromLocal8Bit(APath)));
    return engine.LastError();
  };

  const std::string missing = Out("no-such-file.avi");
  EXPECT_EQ(vidmill.AddTask(FromLocal8Bit(missing)), -1);
  EXPECT_FALSE(vidmill.LastErrMsg().empty());
  EXPECT_EQ(vidmill.LastErrMsg(), engineInputError(missing));

  const std::string text = Out("text.avi");
  testmedia::MakeTextFile(text, "this is not a video\n");
  EXPECT_EQ(vidmill.AddTask(FromLocal8Bit(text)), -1);
  EXPECT_EQ(vidmill.LastErrMsg(), engineInputError(text));

  TInputOptions input;
  InitInputOptions(input);
  input.FileFormat = "nosuchformat";
  EXPECT_EQ(vidmill.AddTask(FromLocal8Bit(FSource), &input), -1);
  EXPECT_EQ(vidmill.LastErrMsg(), "Unknown input format: nosuchformat");
  EXPECT_EQ(vidmill.TaskCount(), 0);

  // Outputs.
  ASSERT_EQ(vidmill.AddTask(FromLocal8Bit(FSource)), 0) << vidmill.LastErrMsg();
  const TOutputOptions plain = QuickOutput();
  const std::string unwritable = Out("no-such-folder/out.avi");
  EXPECT_FALSE(vidmill.SetOutputFile(0, FromLocal8Bit(unwritable), &plain));
  std::string expected;
  {
    TCustomFFmpeg engine;
    engine.Prepare();
    ASSERT_TRUE(engine.OpenInputFile(FromLocal8Bit(FSource)));
    engine.SetOutputFormat("avi");
    engine.SetVideoCodec("mpeg4");
    engine.SetAudioDisable(true);
    EXPECT_LT(engine.OpenOutputFile(FromLocal8Bit(unwritable), false), 0);
    expected = engine.LastError();
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(vidmill.LastErrMsg(), expected);

  TOutputOptions badLine = QuickOutput();
  badLine.ExtraOptions = "vn=1\ns=notasize";
  EXPECT_FALSE(vidmill.SetOutputFile(0, FromLocal8Bit(Out("bad.avi")), &badLine));
  {
    TCustomFFmpeg engine;
    engine.Prepare();
    try {
      engine.SetOption("s", "notasize");
      expected = "(nothing raised)";
    } catch (const std::exception& e) {
      expected = e.what();
    }
  }
  EXPECT_NE(expected, "(nothing raised)");
  EXPECT_EQ(vidmill.LastErrMsg(), expected);

  TOutputOptions badRange = QuickOutput();
  badRange.HookRanges = "100-x";
  EXPECT_FALSE(vidmill.SetOutputFile(0, FromLocal8Bit(Out("bad.avi")), &badRange));
  EXPECT_FALSE(vidmill.LastErrMsg().empty());

  EXPECT_FALSE(vidmill.SetOutputFile(5, FromLocal8Bit(Out("bad.avi")), &plain));
  EXPECT_EQ(vidmill.LastErrMsg(), "List index out of bounds (5)");
  // The task stays in the list.
  EXPECT_EQ(vidmill.TaskCount(), 1);
  vidmill.ClearTasks();
  EXPECT_EQ(vidmill.LastErrMsg(), "");
  EXPECT_EQ(vidmill.TaskCount(), 0);
}

// A batch's name is planned free, but a file (or a link, even a dangling
// one) may take it before the output opens: the open then fails and what
// is there stays exactly as it was.
TEST_F(VidmillTest, AnOutputNameTakenSinceItWasPlannedIsNeverReplaced) {
  TVidmill vidmill;
  const std::string taken = Out("taken.avi");
  testmedia::MakeTextFile(taken, "keep me\n");
  const std::string link = Out("link.avi"), target = Out("link-target.avi");
  std::filesystem::create_symlink(target, link);
  const TOutputOptions options = QuickOutput();
  for (const std::string& name : {taken, link}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(vidmill.AddTask(FromLocal8Bit(FSource)), 0) << vidmill.LastErrMsg();
    EXPECT_FALSE(vidmill.SetOutputFile(0, FromLocal8Bit(name), &options));
    EXPECT_EQ(vidmill.LastErrMsg(), "Could not open '" + name + "'");
    vidmill.ClearTasks();
  }
  std::ifstream in(taken);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me\n");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(VidmillTest, StopDuringAThreadedRunReportsEveryTaskOnceAndLeavesNoThread) {
  const int baseline = ThreadCount();
  {
    TRecorder recorder;
    THookProbe hooks(std::chrono::milliseconds(10));
    TVidmill vidmill;
    recorder.Attach(vidmill);
    hooks.Attach(vidmill);
    AddTasks(vidmill, 3, true);

    vidmill.StartConvert(2);
    hooks.WaitForTasks(2);
    ASSERT_EQ(hooks.TasksSeen(), 2u);
    vidmill.StopConvert(true);

    // Everything was delivered before StopConvert returned.
    const std::vector<TNotice> notices = recorder.Notices();
    ASSERT_EQ(notices.size(), 4u);
    EXPECT_EQ(notices.back().Index, -1);
    std::multiset<int> tasks;
    for (size_t i = 0; i + 1 < notices.size(); ++i) {
      tasks.insert(notices[i].Index);
      EXPECT_FALSE(notices[i].Finished) << notices[i].Index;
      EXPECT_FALSE(notices[i].Exception) << notices[i].Index << ": " << notices[i].Message;
    }
    EXPECT_EQ(tasks, (std::multiset<int>{0, 1, 2}));
    // The third task never ran: it cannot run any more, so its reservation
    // (the output's empty temporary file) is gone, and nothing is under the
    // name itself.
    EXPECT_EQ(hooks.TasksSeen(), 2u);
    EXPECT_FALSE(std::filesystem::exists(Out(".out2.avi.part")));
    EXPECT_FALSE(std::filesystem::exists(Out("out2.avi")));
    // The stopped tasks still wrote valid, shorter files.
    EXPECT_LT(hooks.Calls(), 50);

    // A second stop has nothing left to report.
    vidmill.StopConvert(true);
    EXPECT_EQ(recorder.Notices().size(), 4u);
    EXPECT_TRUE(ThreadsBackTo(baseline)) << ThreadCount() << " threads, " << baseline << " before";
  }
  EXPECT_TRUE(ThreadsBackTo(baseline));
}

// A component whose workers linger between the end of their run and its
// report, as a worker does that waits for the component's lock.
class TLingeringEnds : public TVidmill {
 public:
  std::atomic<int> Ending{0};

 protected:
  void DoTerminate(TCustomFFmpeg* Sender) override {
    if (Sender != nullptr) {
      ++Ending;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    TVidmill::DoTerminate(Sender);
  }
};

TEST_F(VidmillTest, StopWaitsForATaskThatHasEndedButNotYetReported) {
  TRecorder recorder;
  TLingeringEnds vidmill;
  recorder.Attach(vidmill);
  AddTasks(vidmill, 1);
  vidmill.StartConvert(1);
  const auto until = Clock::now() + std::chrono::seconds(15);
  WaitServing([&] { return vidmill.Ending > 0 || Clock::now() > until; });
  ASSERT_GT(vidmill.Ending, 0);
  vidmill.StopConvert(true);
  EXPECT_EQ(recorder.Indexes(), (std::vector<int>{0, -1}));
}

TEST_F(VidmillTest, RemovingARunningTaskLetsTheRunGoOn) {
  const int baseline = ThreadCount();
  {
    TRecorder recorder;
    THookProbe hooks(std::chrono::milliseconds(5));
    TVidmill vidmill;
    recorder.Attach(vidmill);
    hooks.Attach(vidmill);
    AddTasks(vidmill, 3, true);
    const uint64_t id1 = vidmill.TaskId(1), id2 = vidmill.TaskId(2);

    vidmill.StartConvert(1);
    hooks.WaitForTasks(1);
    ASSERT_EQ(hooks.TasksSeen(), 1u);
    // Freed while it runs: it is stopped and waited for, reports nothing,
    // and its place goes to the next task.
    vidmill.RemoveTask(0);
    EXPECT_EQ(vidmill.IndexOfTaskId(id1), 0);
    ASSERT_TRUE(recorder.WaitForEnd());
    EXPECT_EQ(recorder.Indexes(), (std::vector<int>{0, 1, -1}));
    for (const TNotice& notice : recorder.Notices()) EXPECT_TRUE(notice.Finished) << notice.Index;
    EXPECT_EQ(vidmill.IndexOfTaskId(id2), 1);
  }
  // Destroying the component joins everything it started.
  EXPECT_TRUE(ThreadsBackTo(baseline));
}

TEST_F(VidmillTest, DestroyingTheComponentDuringARunStopsItsTasks) {
  const int baseline = ThreadCount();
  TRecorder recorder;
  THookProbe hooks(std::chrono::milliseconds(10));
  {
    TVidmill vidmill;
    recorder.Attach(vidmill);
    hooks.Attach(vidmill);
    AddTasks(vidmill, 2, true);
    vidmill.StartConvert(2);
    hooks.WaitForTasks(1);
    ASSERT_GE(hooks.TasksSeen(), 1u);
  }
  EXPECT_TRUE(ThreadsBackTo(baseline)) << ThreadCount() << " threads, " << baseline << " before";
  // Tasks freed by the component report nothing any more.
  EXPECT_TRUE(recorder.Notices().empty());
}

}  // namespace
