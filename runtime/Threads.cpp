#include "runtime/Threads.h"

#include <cerrno>

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace {

struct TQueuedCall {
  const std::function<void()>* Method = nullptr;
  std::exception_ptr Error;
  bool Done = false;
};

struct THandOver {
  std::mutex Lock;
  std::condition_variable Changed;  // a call was queued or a call was run
  std::deque<TQueuedCall*> Queue;
  std::function<void()> Waker;
  std::function<void()> ProcessEvents;
};

THandOver& HandOver() {
  static THandOver* instance = new THandOver;  // lives until the process ends
  return *instance;
}

std::atomic<uint32_t> gMainThreadId{0};

}  // namespace

uint32_t CurrentThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

bool IsMainThread() {
  uint32_t main = gMainThreadId.load(std::memory_order_relaxed);
  if (main == 0) main = static_cast<uint32_t>(::getpid());
  return CurrentThreadId() == main;
}

void SetMainThread() { gMainThreadId.store(CurrentThreadId()); }

void RunInMainThread(const std::function<void()>& AMethod) {
  if (IsMainThread()) {
    AMethod();
    return;
  }
  THandOver& h = HandOver();
  TQueuedCall call;
  call.Method = &AMethod;
  std::function<void()> waker;
  {
    std::lock_guard<std::mutex> guard(h.Lock);
    h.Queue.push_back(&call);
    waker = h.Waker;
  }
  h.Changed.notify_all();
  if (waker) waker();
  std::unique_lock<std::mutex> guard(h.Lock);
  h.Changed.wait(guard, [&] { return call.Done; });
  if (call.Error) std::rethrow_exception(call.Error);
}

int ServeMainThreadQueue() {
  if (!IsMainThread()) return 0;
  THandOver& h = HandOver();
  int count = 0;
  for (;;) {
    TQueuedCall* call;
    {
      std::lock_guard<std::mutex> guard(h.Lock);
      if (h.Queue.empty()) break;
      call = h.Queue.front();
      h.Queue.pop_front();
    }
    try {
      (*call->Method)();
    } catch (...) {
      call->Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> guard(h.Lock);
      call->Done = true;
    }
    h.Changed.notify_all();
    ++count;
  }
  return count;
}

void SetMainThreadWaker(std::function<void()> AWaker) {
  THandOver& h = HandOver();
  std::lock_guard<std::mutex> guard(h.Lock);
  h.Waker = std::move(AWaker);
}

void SetProcessEventsHook(std::function<void()> AHook) {
  THandOver& h = HandOver();
  std::lock_guard<std::mutex> guard(h.Lock);
  h.ProcessEvents = std::move(AHook);
}

void ProcessPendingMessages() {
  ServeMainThreadQueue();
  std::function<void()> hook;
  {
    THandOver& h = HandOver();
    std::lock_guard<std::mutex> guard(h.Lock);
    hook = h.ProcessEvents;
  }
  if (hook && IsMainThread()) hook();
}

void WaitServing(const std::function<bool()>& ADone, std::chrono::milliseconds APoll) {
  if (!IsMainThread()) {
    while (!ADone()) std::this_thread::sleep_for(APoll);
    return;
  }
  THandOver& h = HandOver();
  for (;;) {
    ServeMainThreadQueue();
    if (ADone()) return;
    std::unique_lock<std::mutex> guard(h.Lock);
    if (h.Queue.empty()) h.Changed.wait_for(guard, APoll);
  }
}

int ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

void UseSmallPages() { ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0); }

bool SetCurrentThreadPriority(TThreadPriority APriority) {
  switch (APriority) {
    case tpIdle: {
      sched_param param{};
      param.sched_priority = 0;
      return ::sched_setscheduler(0, SCHED_IDLE, &param) == 0;
    }
    case tpLowest:
    case tpLower: {
      // Nice 15 and 8, but never above the thread's own priority: a
      // program started at a low priority stays there.
      const int wanted = APriority == tpLowest ? 15 : 8;
      errno = 0;
      const int current = ::getpriority(PRIO_PROCESS, CurrentThreadId());
      if (errno == 0 && current >= wanted) return true;
      return ::setpriority(PRIO_PROCESS, CurrentThreadId(), wanted) == 0;
    }
    default:
      // Normal and higher priorities leave the thread as it was created:
      // raising a thread above its process needs privileges a desktop
      // program does not have.
      return true;
  }
}

TThread::~TThread() { WaitFor(); }

void TThread::Start(std::function<void()> ABody, TThreadPriority APriority) {
  WaitFor();
  auto state = std::make_shared<TState>();
  TServingLock<std::mutex> guard(FLock);
  FState = state;
  FThread = std::thread([state, body = std::move(ABody), APriority] {
    SetCurrentThreadPriority(APriority);
    try {
      body();
    } catch (...) {
      // A body that lets an exception escape ends its thread quietly; the
      // owners of the system's threads report their own failures.
    }
    state->Done.store(true);
  });
}

void TThread::WaitFor() {
  std::shared_ptr<TState> state;
  {
    TServingLock<std::mutex> guard(FLock);
    if (!FThread.joinable()) return;
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();  // a thread cannot wait for itself
      return;
    }
    state = FState;
  }
  WaitServing([&] { return state->Done.load(); }, std::chrono::milliseconds(2));
  // Another waiter may have joined the thread meanwhile, or the thread let
  // go of itself.
  TServingLock<std::mutex> guard(FLock);
  if (FState == state && FThread.joinable()) FThread.join();
}

bool TThread::Started() const {
  TServingLock<std::mutex> guard(FLock);
  return FThread.joinable();
}

bool TThread::Finished() const {
  TServingLock<std::mutex> guard(FLock);
  return FState && FState->Done.load();
}
