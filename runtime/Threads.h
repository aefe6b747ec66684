#pragma once
// Threads and the hand-over of calls to the main (GUI) thread.
//
// A worker that needs the main thread (a log line for the window, a preview
// picture) calls RunInMainThread: on the main thread the call runs at once,
// on any other thread it is queued and the caller blocks until the main
// thread has run it. The main thread runs queued calls whenever the
// application's event loop wakes it (the GUI installs a waker) and inside
// every wait of its own for a worker (WaitServing, TThread::WaitFor). A wait
// of the main thread that does not serve the queue deadlocks against a
// worker that is logging, so the main thread never waits any other way.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Operating-system id of the calling thread (gettid).
uint32_t CurrentThreadId();

// True on the main thread: the process's initial thread unless SetMainThread
// named another one.
bool IsMainThread();
// Makes the calling thread the main thread (tests and tools that serve the
// queue from a thread other than the initial one).
void SetMainThread();

// Runs AMethod on the main thread and returns when it has run. Exceptions
// thrown by AMethod reach the caller.
void RunInMainThread(const std::function<void()>& AMethod);

// Runs every queued call. Main thread only; does nothing elsewhere.
// Returns the number of calls run.
int ServeMainThreadQueue();

// Installs the function that wakes the main thread's event loop when a call
// has been queued. It is called on the queuing thread and must not block.
void SetMainThreadWaker(std::function<void()> AWaker);

// Installs the function that processes the application's pending window
// events (the GUI's event loop step). Empty: none.
void SetProcessEventsHook(std::function<void()> AHook);

// Serves the hand-over queue and processes pending window events.
void ProcessPendingMessages();

// Waits until ADone() is true. On the main thread the queue is served while
// waiting; ADone is polled at least every APoll.
void WaitServing(const std::function<bool()>& ADone, std::chrono::milliseconds APoll = std::chrono::milliseconds(10));

// Locks AMutex. On the main thread the hand-over queue is served while the
// lock is held elsewhere: a worker may hold it while it waits for the main
// thread (the preview stage does), and a plain lock would deadlock.
template <class TMutex>
void LockServing(TMutex& AMutex) {
  if (!IsMainThread()) {
    AMutex.lock();
    return;
  }
  while (!AMutex.try_lock()) {
    ServeMainThreadQueue();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A scoped LockServing.
template <class TMutex>
class TServingLock {
 public:
  explicit TServingLock(TMutex& AMutex) : FMutex(AMutex) { LockServing(AMutex); }
  ~TServingLock() { FMutex.unlock(); }
  TServingLock(const TServingLock&) = delete;
  TServingLock& operator=(const TServingLock&) = delete;

 private:
  TMutex& FMutex;
};

// Thread priorities of the platform's scale. Below tpNormal they lower the
// thread (tpIdle = SCHED_IDLE, tpLowest and tpLower raise the nice value);
// tpNormal and above leave the thread as it was created.
enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
// Applies APriority to the calling thread. Returns false when the system
// refused it (the thread then keeps running at its priority).
bool SetCurrentThreadPriority(TThreadPriority APriority);

// The processors this process may run on (its affinity mask, so a process
// limited to some cores counts only those); at least 1.
int ProcessorCount();

// Asks the kernel to back this process's memory with normal pages only.
// libx264 asks for transparent huge pages for each picture buffer and rounds
// the buffer up to whole 2 MiB pages: a 720p conversion then holds about
// 15 MB more and spends more time clearing pages than it gains. Called once
// at program start; children inherit it.
void UseSmallPages();

// A joinable worker thread. Start runs the body on a new thread with the
// given priority; WaitFor returns once the body has ended and the thread is
// joined, serving the hand-over queue meanwhile when called on the main
// thread. Several threads may wait at once (a stop on the main thread and one
// on another thread): each returns after the body, and the thread is joined
// once. The destructor waits as WaitFor does: no thread outlives its owner.
class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  ~TThread();

  void Start(std::function<void()> ABody, TThreadPriority APriority = tpNormal);
  void WaitFor();
  bool Started() const;
  bool Finished() const;

 private:
  struct TState {
    std::atomic<bool> Done{false};
  };
  mutable std::mutex FLock;  // guards FState and FThread
  std::shared_ptr<TState> FState;
  std::thread FThread;
};
