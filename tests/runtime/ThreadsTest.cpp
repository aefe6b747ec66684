#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/Threads.h"

TEST(HandOver, RunsAtOnceOnTheMainThread) {
  ASSERT_TRUE(IsMainThread());
  bool ran = false;
  RunInMainThread([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(HandOver, WorkerCallsRunOnTheMainThreadWhileItWaits) {
  const uint32_t mainId = CurrentThreadId();
  std::atomic<int> done{0};
  std::vector<uint32_t> ranOn;
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&] {
      EXPECT_FALSE(IsMainThread());
      for (int k = 0; k < 25; ++k) RunInMainThread([&] { ranOn.push_back(CurrentThreadId()); });
      ++done;
    });
  }
  WaitServing([&] { return done.load() == 4; });
  for (auto& w : workers) w.join();
  ASSERT_EQ(ranOn.size(), 100u);
  for (uint32_t id : ranOn) EXPECT_EQ(id, mainId);
}

TEST(HandOver, LockingOnTheMainThreadServesAWorkerThatHoldsTheLock) {
  // The worker holds the lock while it waits for the main thread; a plain
  // lock on the main thread would never return.
  std::recursive_mutex lock;
  std::atomic<bool> holding{false};
  bool ranOnMain = false;
  std::thread worker([&] {
    std::lock_guard<std::recursive_mutex> guard(lock);
    holding = true;
    RunInMainThread([&] { ranOnMain = IsMainThread(); });
  });
  WaitServing([&] { return holding.load(); }, std::chrono::milliseconds(1));
  {
    TServingLock<std::recursive_mutex> guard(lock);
    EXPECT_TRUE(ranOnMain);
  }
  worker.join();
  // Elsewhere than the main thread it is a plain lock.
  std::thread other([&] { TServingLock<std::recursive_mutex> guard(lock); });
  other.join();
}

TEST(HandOver, ExceptionReachesTheWorker) {
  std::atomic<bool> caught{false};
  TThread worker;
  worker.Start([&] {
    try {
      RunInMainThread([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "boom";
    }
  });
  worker.WaitFor();
  EXPECT_TRUE(caught);
}

TEST(HandOver, WakerIsCalledWhenACallIsQueued) {
  std::atomic<int> wakes{0};
  SetMainThreadWaker([&] { ++wakes; });
  TThread worker;
  worker.Start([] { RunInMainThread([] {}); });
  worker.WaitFor();
  SetMainThreadWaker(nullptr);
  EXPECT_GE(wakes.load(), 1);
}

TEST(HandOver, ServeElsewhereThanTheMainThreadDoesNothing) {
  std::atomic<int> served{-1};
  std::thread t([&] { served = ServeMainThreadQueue(); });
  t.join();
  EXPECT_EQ(served.load(), 0);
}

TEST(ThreadObject, WaitForServesTheQueueAndJoins) {
  TThread worker;
  std::atomic<bool> finished{false};
  worker.Start([&] {
    // Blocks until the main thread serves; a WaitFor that did not serve
    // would never return.
    RunInMainThread([] {});
    finished = true;
  });
  worker.WaitFor();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(worker.Finished());
  EXPECT_FALSE(worker.Started());
}

TEST(ThreadObject, SeveralThreadsMayWaitForTheSameThread) {
  // An engine's worker may be stopped and waited for on the main thread and
  // on another thread at once: every wait returns after the body, and the
  // thread is joined once.
  TThread worker;
  std::atomic<bool> finished{false};
  worker.Start([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // every waiter is waiting by now
    RunInMainThread([] {});
    finished = true;
  });
  std::atomic<int> afterTheBody{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      worker.WaitFor();
      if (finished) ++afterTheBody;
    });
  worker.WaitFor();
  EXPECT_TRUE(finished);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(afterTheBody.load(), 3);
  EXPECT_FALSE(worker.Started());
}

TEST(ThreadObject, DestructorWaitsForTheBody) {
  std::atomic<bool> finished{false};
  {
    TThread worker;
    worker.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      finished = true;
    });
  }
  EXPECT_TRUE(finished);
}

TEST(ThreadObject, EscapingExceptionEndsTheThreadQuietly) {
  TThread worker;
  worker.Start([] { throw std::runtime_error("ignored"); });
  worker.WaitFor();
  EXPECT_TRUE(worker.Finished());
}

TEST(ThreadPriority, LowPrioritiesLowerTheThread) {
  // A suite started at a low priority already (nice 8 or more) has no room
  // to show the two lower steps.
  if (getpriority(PRIO_PROCESS, 0) >= 8) GTEST_SKIP() << "the tests run at nice " << getpriority(PRIO_PROCESS, 0);
  int policy = -1;
  int niceLower = 0, niceLowest = 0, niceNormal = 0;
  bool okIdle = false, okLower = false, okLowest = false;
  TThread idle, lower, lowest, normal;
  idle.Start(
      [&] {
        okIdle = true;
        policy = sched_getscheduler(0);
      },
      tpIdle);
  lower.Start(
      [&] {
        okLower = true;
        niceLower = getpriority(PRIO_PROCESS, CurrentThreadId());
      },
      tpLower);
  lowest.Start(
      [&] {
        okLowest = true;
        niceLowest = getpriority(PRIO_PROCESS, CurrentThreadId());
      },
      tpLowest);
  const int base = getpriority(PRIO_PROCESS, CurrentThreadId());
  normal.Start([&] { niceNormal = getpriority(PRIO_PROCESS, CurrentThreadId()); }, tpTimeCritical);
  idle.WaitFor();
  lower.WaitFor();
  lowest.WaitFor();
  normal.WaitFor();
  ASSERT_TRUE(okIdle && okLower && okLowest);
  EXPECT_EQ(policy, SCHED_IDLE);
  EXPECT_GT(niceLower, base);
  EXPECT_GT(niceLowest, niceLower);
  EXPECT_EQ(niceNormal, base);  // higher priorities are not raised above normal
}

TEST(ThreadPriority, ALowerPriorityNeverRaisesAThreadThatIsLowAlready) {
  int after = 0;
  bool set = false;
  std::thread worker([&] {
    set = setpriority(PRIO_PROCESS, CurrentThreadId(), 12) == 0;
    SetCurrentThreadPriority(tpLower);  // nice 8 would be higher than 12
    after = getpriority(PRIO_PROCESS, CurrentThreadId());
  });
  worker.join();
  ASSERT_TRUE(set);
  EXPECT_EQ(after, 12);
}
