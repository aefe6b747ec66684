// The engine instance's life cycle: starting, stopping, terminating, and
// the one terminate notification of every path.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "engine/config/FFmpeg.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVFormat.h"
#include "tests/engine/InspectableEngine.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace {

// Records the terminate notifications of an engine instance.
struct TTerminations {
  std::atomic<int> Count{0};
  std::atomic<uint32_t> ThreadId{0};
  std::atomic<bool> Finished{false};
  std::atomic<bool> HadException{false};
  std::string Message;

  void Attach(TCustomFFmpeg& AEngine) {
    AEngine.FOnTerminate = [this](TCustomFFmpeg* Sender) {
      ThreadId = CurrentThreadId();
      Finished = Sender->Finished();
      HadException = Sender->HasException();
      Message = Sender->ExceptionMessage();
      ++Count;
    };
  }
};

// A run that lasts until it is stopped (or ALimit passes), logging as it
// goes: stands in for a long conversion.
class TLongRun : public TInspectableEngine {
 public:
  std::atomic<bool> Started{false};
  std::atomic<int> Iterations{0};
  std::chrono::milliseconds Limit{5000};
  bool Fail = false;
  int StopItselfAfter = -1;

  // A subclass whose run uses its own parts stops the run before they go.
  ~TLongRun() override { Stop(true); }

  void Transcode() override {
    Started = true;
    auto until = std::chrono::steady_clock::now() + Limit;
    while (!FStopRequested && std::chrono::steady_clock::now() < until) {
      FFLoggerInstance()->Log(this, llInfo, "working");
      ++Iterations;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (Fail) throw FFmpegException("the run broke");
      if (Iterations == StopItselfAfter) Stop(true);
    }
    FFinished = !FStopRequested;
  }
};

// Gives an engine instance one input and one output slot so that Start
// passes its checks (Start only counts the inputs): a 0-byte output file is
// created like an output open would.
void AddOutput(TInspectableEngine& AEngine, const std::string& AFileName, bool AWithInput = true) {
  std::string name;
  ASSERT_TRUE(ToLibraryFileName(Utf8ToUtf16(AFileName), name));
  AVFormatContext* ctx = nullptr;
  ASSERT_GE(lib::avformat_alloc_output_context2(&ctx, nullptr, "wav", name.c_str()), 0);
  ASSERT_EQ(OpenOutputIO(ctx, name), 0);
  auto output = std::make_unique<TOutputFile>(ctx);
  AEngine.FOutputFiles[AEngine.FOutputFileCount++] = output.get();
  AEngine.FOutputRecords.push_back(std::move(output));
  if (AWithInput) AEngine.FInputFileCount = 1;
}

class EngineLifeCycle : public ::testing::Test {
 protected:
  // Prepares AEngine, records its notifications in T and gives it an input
  // and an output.
  void Ready(TInspectableEngine& AEngine) {
    AEngine.Prepare();
    T.Attach(AEngine);
    AddOutput(AEngine, Dir / "out.wav");
  }
  // Ready, then started on the worker thread and resumed; waits until the
  // run has begun.
  void Running(TLongRun& AEngine) {
    Ready(AEngine);
    TConvertThread* worker = AEngine.Start(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    WaitServing([&] { return AEngine.Started.load(); });
  }

  TTempFolder Dir;
  TTerminations T;
};

}  // namespace

TEST_F(EngineLifeCycle, StartWithoutInputsClosesTheOutputsAndTerminatesOnce) {
  TInspectableEngine engine;
  engine.Prepare();
  T.Attach(engine);
  const std::string out = Dir / "empty.wav";
  AddOutput(engine, out, false);
  ASSERT_TRUE(FileExistsW(Utf8ToUtf16(out)));
  EXPECT_EQ(engine.Start(true), nullptr);
  EXPECT_EQ(T.Count, 1);
  EXPECT_EQ(T.ThreadId, CurrentThreadId());  // a failed start notifies on the caller's thread
  EXPECT_FALSE(T.Finished);
  EXPECT_TRUE(T.HadException);
  EXPECT_EQ(T.Message, "At least one input file must be specified");
  EXPECT_FALSE(FileExistsW(Utf8ToUtf16(out))) << "the output that stayed empty is removed";
  EXPECT_EQ(engine.OutputFileCount(), 0);
  // Terminated: a second start and a terminate change nothing.
  EXPECT_EQ(engine.Start(false), nullptr);
  engine.Terminate(true);
  EXPECT_EQ(T.Count, 1);

  // With nothing at all, the output message comes first.
  TCustomFFmpeg bare;
  bare.Prepare();
  TTerminations b;
  b.Attach(bare);
  EXPECT_EQ(bare.Start(false), nullptr);
  EXPECT_EQ(b.Count, 1);
  EXPECT_EQ(b.Message, "At least one output file must be specified");
}

TEST_F(EngineLifeCycle, TerminateOfANeverStartedInstanceFiresOnceOnItsOwnThread) {
  TCustomFFmpeg engine;
  engine.Prepare();
  T.Attach(engine);
  engine.Terminate(false);
  engine.Terminate(false);  // still under way: must not fire again
  WaitServing([&] { return T.Count.load() > 0; });
  engine.Terminate(true);  // terminated: nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(T.Count, 1);
  EXPECT_NE(T.ThreadId, CurrentThreadId());
  EXPECT_FALSE(T.HadException);
  EXPECT_TRUE(engine.Terminated());

  TCustomFFmpeg waited;
  waited.Prepare();
  TTerminations w;
  w.Attach(waited);
  waited.Terminate(true);
  EXPECT_EQ(w.Count, 1);  // delivered before Terminate returned
  EXPECT_NE(w.ThreadId, CurrentThreadId());
}

TEST_F(EngineLifeCycle, StopWaitsForTheTerminateEventAndLeavesNoThread) {
  TLongRun engine;
  Ready(engine);
  TConvertThread* worker = engine.Start(true, tpLower);
  ASSERT_NE(worker, nullptr);
  EXPECT_TRUE(worker->Suspended());
  EXPECT_EQ(engine.ConvertThread(), worker);
  worker->Resume();
  WaitServing([&] { return engine.Iterations.load() > 5; });
  engine.Stop(true);  // the worker logs all along: the wait must serve it
  EXPECT_EQ(T.Count, 1);
  EXPECT_EQ(engine.ConvertThread(), nullptr);
  EXPECT_FALSE(T.Finished);
  EXPECT_FALSE(T.HadException);
  EXPECT_NE(T.ThreadId, CurrentThreadId());
  EXPECT_FALSE(engine.Running());
  EXPECT_EQ(engine.OutputFileCount(), 0);  // the run cleaned up
}

TEST_F(EngineLifeCycle, StopResumesASuspendedWorker) {
  TLongRun engine;
  Ready(engine);
  ASSERT_NE(engine.Start(true), nullptr);
  engine.Stop(true);  // never resumed by the caller
  EXPECT_EQ(T.Count, 1);
  EXPECT_TRUE(engine.Started);
}

TEST_F(EngineLifeCycle, StopOnAnIdleInstanceOnlySetsTheFlag) {
  TCustomFFmpeg engine;
  engine.Prepare();
  T.Attach(engine);
  engine.Stop(true);
  EXPECT_TRUE(engine.StopRequested());
  EXPECT_EQ(T.Count, 0);
}

TEST_F(EngineLifeCycle, InlineStartRunsEverythingBeforeReturning) {
  TLongRun engine;
  engine.Limit = std::chrono::milliseconds(20);
  Ready(engine);
  EXPECT_EQ(engine.Start(false), nullptr);
  EXPECT_EQ(T.Count, 1);
  EXPECT_EQ(T.ThreadId, CurrentThreadId());
  EXPECT_TRUE(T.Finished);
  EXPECT_GT(engine.Iterations.load(), 0);
}

TEST_F(EngineLifeCycle, AFailingRunIsLoggedAndReported) {
  TLongRun engine;
  engine.Fail = true;
  std::vector<std::string> quiet;
  TFFLogger* logger = FFLoggerInstance();
  auto old = logger->OnLog;
  logger->OnLog = [&](TObject* Sender, uint32_t, TLogLevel ALevel, const std::string& AMsg) {
    if (Sender == &engine && ALevel == llQuiet) quiet.push_back(AMsg);
  };
  Running(engine);
  WaitServing([&] { return T.Count.load() > 0; });
  logger->OnLog = old;
  EXPECT_TRUE(T.HadException);
  EXPECT_FALSE(T.Finished);
  EXPECT_EQ(T.Message, "the run broke");
  EXPECT_EQ(quiet, std::vector<std::string>{"the run broke"});
}

TEST_F(EngineLifeCycle, DestroyingARunningInstanceWaitsForItsRun) {
  {
    TLongRun engine;
    Running(engine);
  }
  EXPECT_EQ(T.Count, 1);
}

// Terminate of a running instance stops it; so does a Stop from the
// worker's own thread (as an event handler there would call it), which
// must not deadlock.
TEST_F(EngineLifeCycle, StopWithoutWaitingStillEndsTheRun) {
  TLongRun engine;
  Running(engine);
  engine.Terminate(false);
  WaitServing([&] { return T.Count.load() > 0; });
  EXPECT_EQ(T.Count, 1);
  EXPECT_FALSE(T.Finished);
}

TEST_F(EngineLifeCycle, AStopFromTheWorkersOwnThreadDoesNotDeadlock) {
  TLongRun engine;
  engine.StopItselfAfter = 3;  // as an event handler on the worker thread would
  Running(engine);
  WaitServing([&] { return T.Count.load() > 0; });
  EXPECT_EQ(T.Count, 1);
  EXPECT_FALSE(T.Finished);
}

TEST_F(EngineLifeCycle, AStopWaitedForOnAnotherThreadEndsTheRun) {
  TLongRun engine;
  Running(engine);
  std::atomic<bool> stopped{false};
  std::thread asker([&] {
    engine.Stop(true);
    stopped = true;
    EXPECT_EQ(T.Count, 1);  // the notification came before Stop returned
  });
  WaitServing([&] { return stopped.load(); });  // the worker keeps logging meanwhile
  asker.join();
}

TEST_F(EngineLifeCycle, PreviewFlagsChangeUnderTheLock) {
  TCustomFFmpeg engine;
  engine.SetPreviewFlags(3);
  EXPECT_EQ(engine.PreviewFlags(), 3);
  engine.SetPreviewFlags(2);
  EXPECT_EQ(engine.PreviewFlags(), 2);
}
