#pragma once
// The converter component: a list of conversion tasks, each one engine
// instance with one input and one output, run one after another on the
// caller's thread or several at a time on worker threads. The component
// turns the tasks' option records into engine settings and forwards the
// engines' notifications (progress, termination, frame hooks, preview
// bitmaps) as its own events.
//
// Events are plain callbacks; the component has no GUI toolkit dependency.
// Which thread runs which event:
//   OnProgress, OnBeforeHook, OnCustomHook   the task's worker thread (or the
//                                            caller's thread without threads);
//                                            OnProgress under the component lock
//   OnTerminate                              threaded run: the component's
//                                            delivery thread (TDoTerminateThread);
//                                            otherwise the thread that ends the task
//   OnPreviewBitmap                          the main thread (hand-over)
//
// Task identity. Every event names its task by the task's index in the list
// at the time of the call (read under the list lock). Indices shift when a
// task is removed, so a caller that maps notifications to its own items
// (rows of a list) cannot keep an index for good. Each task therefore also
// has a 64-bit id, given by AddTask and never reused within one component:
// TaskId(AIndex) reads it, IndexOfTaskId(AId) maps it back to the task's
// current index (-1 once the task is gone).

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "converter/OptionRecords.h"
#include "engine/config/FFmpeg.h"
#include "probe/AVProbe.h"
#include "runtime/Hooks.h"
#include "runtime/Object.h"
#include "runtime/Threads.h"

// The priorities a conversion worker may have: tpIdle .. tpNormal.
using TConvertPriority = TThreadPriority;

// Events of the component. AIndex is the task's index; AIndex -1 in a
// terminate event means that every task of the run is done (it then comes
// with AFinished true, AException false and an empty message).
using TProgressEvent = std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                          float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateEvent = std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent =
    std::function<void(int AIndex, TBitmap& ABitmap, int AFrameNumber, int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TPreviewBitmapEvent = std::function<void(int AIndex, TBitmap& ABitmap, int AFrameNumber, int64_t APTS)>;

class TFFmpeg;

// The engine instance of a task, from its set-up to its end; the task it
// belongs to names it in the component's events.
class TTaskEngine : public TCustomFFmpeg {
 public:
  explicit TTaskEngine(TFFmpeg* ATask) : FTask(ATask) {}
  // Stops a running instance and waits for its worker first, so that one
  // freed while it runs leaves no thread behind.
  ~TTaskEngine() override;
  TFFmpeg* const FTask;
};

// One conversion task: its option records, its planned output and, from
// its start to its end, its engine instance. A task waiting in the queue
// holds no open file and no library object: its output name is reserved by
// the output's empty temporary file, and its engine instance is made anew
// from the records when it starts. One that has ended keeps what its row or
// line shows (finished, failed with a message, stopped).
//
// AddTask opens the source in an engine instance and SetOutputFile opens the
// output in it, so that a refused file or option is told at once; then the
// instance goes and only the records stay.
class TFFmpeg {
 public:
  TFFmpeg();
  // Frees the engine instance (waiting for its worker) and a reservation
  // that no run has written.
  ~TFFmpeg();
  TFFmpeg(const TFFmpeg&) = delete;
  TFFmpeg& operator=(const TFFmpeg&) = delete;

  // A probe of the task's source while its engine instance has it open
  // (from AddTask up to SetOutputFile); empty otherwise.
  TAVProbe& Probe();
  uint8_t PreviewFlags() const { return FPreviewFlags.load(); }
  // The engine instance, while there is one (nullptr when queued or ended).
  std::shared_ptr<TTaskEngine> Engine() const;

  int FIndex = -1;       // position in the task list, -1 while not in one
  uint64_t FTaskId = 0;  // the component's id of the task, 0 until added
  std::u16string FSourceFile;
  // The input record without its file name, shared like the output record;
  // nullptr when AddTask had none.
  std::shared_ptr<const TInputOptions> FInputOptions;
  std::u16string FOutputFile;  // empty until SetOutputFile succeeded
  // The output record, shared with the tasks queued before it that have
  // the same one but for the file name (a batch of thousands of files
  // keeps one): nullptr when SetOutputFile had none.
  std::shared_ptr<const TOutputOptions> FOutputOptions;
  int64_t FProgressInterval = 500000;  // microseconds, for its engine instance
  // How it went (set when it ends).
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FHasException{false};
  std::string FExceptionMessage;
  // The component's bookkeeping (under its lock): the task's termination has
  // been counted in the current run.
  bool FCounted = false;
  // Its end has been reported by the component (set once the notification
  // has been delivered or queued; never cleared).
  std::atomic<bool> FReported{false};

 private:
  friend class TCustomVidmill;
  friend class TVidmill;
  friend class TFFmpegList;
  void SetEngine(std::shared_ptr<TTaskEngine> AEngine);
  std::shared_ptr<TTaskEngine> TakeEngine();
  void SetPreviewFlags(uint8_t AFlags);

  mutable std::mutex FEngineLock;  // around FEngine
  std::shared_ptr<TTaskEngine> FEngine;
  std::unique_ptr<TAVProbe> FProbe;
  std::atomic<uint8_t> FPreviewFlags{0};
};

// The component's task list, guarded by its own lock. Nothing is called on
// a task while the lock is held: a task's notification reads its index
// under this lock, so a caller waiting for a task while holding it would
// wait for ever.
class TFFmpegList {
 public:
  TFFmpegList() = default;
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;
  ~TFFmpegList();

  // The task at AIndex, nullptr when there is none.
  TFFmpeg* Items(int AIndex) const;
  // The number of tasks as of the last change (no lock).
  int Count() const { return FCount.load(); }
  // Appends ATask, sets its FIndex and returns it.
  int Add(std::unique_ptr<TFFmpeg> ATask);
  // Frees the task at AIndex and renumbers the following ones.
  void Delete(int AIndex);
  // Frees every task.
  void Clear();
  // Takes the task at AIndex out of the list (its FIndex becomes -1, the
  // following ones are renumbered) and hands it to the caller; nullptr when
  // there is none.
  std::unique_ptr<TFFmpeg> Extract(int AIndex);
  // Takes every task out of the list.
  std::vector<std::unique_ptr<TFFmpeg>> ExtractAll();
  // The current index of ATask, -1 when it is not in the list.
  int IndexOf(const TFFmpeg* ATask) const;
  int IndexOfTaskId(uint64_t AId) const;
  uint64_t TaskId(int AIndex) const;
  // Every task, in list order (for calls made outside the lock).
  std::vector<TFFmpeg*> Snapshot() const;
  // True when every task that has started has had its end reported.
  bool EndsReported() const;

  // Asks every running task to stop (with AWait, waits for each worker to
  // begin its end).
  void StopRunning(bool AWait);
  // Sets or clears bit 0 (preview window), respectively bit 1 (preview
  // bitmap event), of every task's preview flags.
  void SetPreview(bool AValue);
  void SetPreviewBitmap(bool AValue);

 private:
  void Renumber();  // under FLock
  void SetPreviewBit(uint8_t ABit, bool AValue);

  mutable std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TFFmpeg>> FItems;
  std::atomic<int> FCount{0};
};

class TCustomVidmill : public TObject {
 public:
  TCustomVidmill();
  ~TCustomVidmill() override;

  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string& AValue) { FAbout = AValue; }
  std::string Version() const { return "2.5"; }

 protected:
  // The dispatchers the engine instances call through their event fields.
  virtual void DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction);
  virtual void DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS, bool& AUpdate,
                            bool& AStopHook);
  virtual void DoPreviewBitmap(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS);
  virtual void DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                          float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration);
  // Called by an engine instance when it ends, on the thread that ends it;
  // a nil Sender reports the end of the run.
  virtual void DoTerminate(TCustomFFmpeg* Sender);

  // One termination notification with the handler it goes to.
  struct TTerminateNotice {
    TTerminateEvent Handler;
    int Index = -1;
    bool Finished = false;
    bool Exception = false;
    std::string Message;
  };

  // The delivery of termination notifications in threaded runs. A
  // notification is not run on the thread that ends a task (a worker, or a
  // thread waiting for it): it goes to a queue that one short-lived thread
  // of the component works off in order, calling each handler outside the
  // component lock. The thread ends when the queue is empty and is joined
  // by the next Post that needs a new one, and by WaitIdle. One thread at a
  // time keeps the notifications in the order they were posted, so the
  // end-of-run notification, posted after every task's, is delivered last.
  class TDoTerminateThread {
   public:
    explicit TDoTerminateThread(TObject* AOwner) : FOwner(AOwner) {}
    TDoTerminateThread(const TDoTerminateThread&) = delete;
    TDoTerminateThread& operator=(const TDoTerminateThread&) = delete;
    ~TDoTerminateThread() { WaitIdle(); }

    void Post(TTerminateNotice ANotice);
    // Waits until every posted notification has been delivered and joins
    // the delivery thread (serving the hand-over queue on the main thread).
    // On the delivery thread itself (a handler) it returns at once.
    void WaitIdle();
    // True on the delivery thread.
    bool IsCurrent() const { return FThreadId.load() == CurrentThreadId(); }
    // Notifications posted but not yet delivered, and the one being delivered.
    bool Busy() const;

   private:
    void Execute();

    TObject* FOwner;  // the sender of log lines about failing handlers
    mutable std::mutex FQueueLock;
    std::deque<TTerminateNotice> FQueue;
    bool FActive = false;    // a delivery thread is working off the queue
    std::mutex FThreadLock;  // around starting and joining FThread
    TThread FThread;
    std::atomic<uint32_t> FThreadId{0};
  };

  // The component lock (re-entrant). On the main thread it is taken while
  // serving the hand-over queue; the holder's thread id is kept so that
  // operations called from inside a handler that runs under it know not to
  // wait for workers (which need it to report their end).
  class TComponentLock {
   public:
    explicit TComponentLock(TCustomVidmill& AOwner);
    ~TComponentLock();
    TComponentLock(const TComponentLock&) = delete;
    TComponentLock& operator=(const TComponentLock&) = delete;

   private:
    TCustomVidmill& FOwner;
  };
  bool HoldsLock() const { return FLockOwner.load() == CurrentThreadId(); }

  // Frees every task (stopping and waiting for the running ones, whose ends
  // are no longer reported) and waits for the deliveries in progress. The
  // destructor of the most derived class calls it first, so that no worker
  // calls a dispatcher of an object being torn down.
  void ReleaseTasks();
  // Starts task FNextIndex when tasks are pending (under the lock).
  void StartNextTask();
  // Delivers (-1, true, false, "") (under the lock).
  void ReportEnd();
  // Delivers one notification: directly, or through the delivery thread in
  // threaded mode (under the lock).
  void Deliver(int AIndex, bool AFinished, bool AException, const std::string& AMessage);
  // Accounts for a task taken out of the list at AIndex (under the lock).
  void ForgetTask(TFFmpeg& ATask, int AIndex);
  // Reports the end of the run when removals left nothing to wait for.
  void CheckRunEnd();
  // Frees tasks or keeps them for later: a task cannot be freed on a thread
  // that holds the component lock (its worker may be waiting for the lock)
  // or from inside its own notification. Engine instances of ended tasks
  // are let go the same way, as soon as their workers are done.
  void Dispose(std::vector<std::unique_ptr<TFFmpeg>> ATasks);
  void FreeRetired();

  // The engine instance of a task: prepared, with the component's events.
  std::shared_ptr<TTaskEngine> NewEngine(TFFmpeg& ATask);
  // The records' settings and the opens: the source, then the output
  // (whose reservation an earlier open made, with AReserved). False with
  // the reason in AError.
  bool OpenSource(TTaskEngine& AEngine, TFFmpeg& ATask, std::string& AError);
  bool OpenOutput(TTaskEngine& AEngine, TFFmpeg& ATask, bool AReserved, std::string& AError);
  // A task that waits: its engine instance goes, the reservation stays.
  void Park(TFFmpeg& ATask);
  // The engine instance a waiting task starts with, made from its records;
  // nullptr (the reason in AError) when its source or output no longer
  // opens.
  std::shared_ptr<TTaskEngine> Unpark(TFFmpeg& ATask, int AThreads, std::string& AError);
  // The codec threads of the task that starts now (under the lock).
  int TaskThreads() const;
  // Ends a task that never started (a stop, or a start that could not
  // open it): counted and reported like any end (under the lock).
  void EndUnstarted(TFFmpeg& ATask, int AIndex, bool AException, const std::string& AMessage);

  std::string FAbout;
  std::string FLastErrMsg;
  int FNextIndex = -1;
  bool FThreaded = false;
  int FProgressInterval = 500;
  TConvertPriority FThreadPriority = tpNormal;
  int FCodecThreads = 0;
  int FJobs = 1;  // tasks of the current run that run at once
  bool FPreview = false;
  bool FPreviewBitmap = false;
  int FTaskVerbose = 1;
  TBeforeHookEvent FOnBeforeHook;
  TCustomHookEvent FOnCustomHook;
  TPreviewBitmapEvent FOnPreviewBitmap;
  TProgressEvent FOnProgress;
  TTerminateEvent FOnTerminate;
  std::unique_ptr<TAVProbe> FProbe;
  std::unique_ptr<TFFmpegList> FTasks;
  std::recursive_mutex FLock;
  std::atomic<uint32_t> FLockOwner{0};
  int FLockDepth = 0;  // under FLock
  int FFinishedCount = 0;
  int FPendingCount = 0;
  // A run started by StartConvert whose end has not been reported yet.
  bool FRunOpen = false;
  uint64_t FLastTaskId = 0;
  std::vector<std::unique_ptr<TFFmpeg>> FRetired;             // under FLock
  std::vector<std::shared_ptr<TTaskEngine>> FRetiredEngines;  // under FLock
  std::shared_ptr<const TInputOptions> FLastInputOptions;     // the records last queued
  std::shared_ptr<const TOutputOptions> FLastOutputOptions;
  std::unique_ptr<TDoTerminateThread> FDelivery;
};

class TVidmill : public TCustomVidmill {
 public:
  TVidmill() = default;
  ~TVidmill() override;

  // ---- Properties ----
  bool Preview() const { return FPreview; }
  void SetPreview(bool AValue);
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool AValue);
  int ProgressInterval() const { return FProgressInterval; }
  // Milliseconds between two progress reports of a task; any value up to
  // 100 is stored as 100.
  void SetProgressInterval(int AValue) { FProgressInterval = AValue <= 100 ? 100 : AValue; }
  TConvertPriority ThreadPriority() const { return FThreadPriority; }
  // Values above tpNormal are taken as tpNormal.
  void SetThreadPriority(TConvertPriority AValue) { FThreadPriority = AValue > tpNormal ? tpNormal : AValue; }
  // Threads for each codec of a task. 0 (the default): the processors
  // shared among the tasks that run at once, at least one each, so that a
  // lone file uses every core and a full batch one per task.
  int CodecThreads() const { return FCodecThreads; }
  void SetCodecThreads(int AValue) { FCodecThreads = AValue > 0 ? AValue : 0; }

  // ---- Events (assigned before a run) ----
  TBeforeHookEvent& OnBeforeHook() { return FOnBeforeHook; }
  TCustomHookEvent& OnCustomHook() { return FOnCustomHook; }
  TPreviewBitmapEvent& OnPreviewBitmap() { return FOnPreviewBitmap; }
  TProgressEvent& OnProgress() { return FOnProgress; }
  TTerminateEvent& OnTerminate() { return FOnTerminate; }

  // ---- Operations ----
  // Sets the loader's library folder and loads the converter's libraries;
  // false with the loader's error text in LastErrMsg.
  bool LoadAVLib(const std::u16string& ALibPath);
  bool AVLibLoaded() const;
  // Creates a task for AFileName: the task index, or -1 with LastErrMsg.
  int AddTask(const std::u16string& AFileName, const TInputOptions* AInputOptions = nullptr);
  // Configures task AIndex and opens its output; false with LastErrMsg.
  bool SetOutputFile(int AIndex, const std::u16string& AFileName, const TOutputOptions* AOutputOptions = nullptr);
  void RemoveTask(int AIndex);
  void ClearTasks();
  // Runs every task: AThreadCount 0 (or less) one after another on this
  // thread, inside this call; otherwise up to AThreadCount at a time on
  // worker threads, each end starting the next.
  void StartConvert(int AThreadCount);
  // Stops the run: a running task is asked to stop, a task not yet started
  // delivers its termination notification. With AWait the call returns
  // when every notification of the run has been delivered.
  void StopConvert(bool AWait);

  const std::string& LastErrMsg() const { return FLastErrMsg; }
  int TaskCount() const { return FTasks->Count(); }
  // The stable id of task AIndex (0 when there is none), and back.
  uint64_t TaskId(int AIndex) const { return FTasks->TaskId(AIndex); }
  int IndexOfTaskId(uint64_t AId) const { return FTasks->IndexOfTaskId(AId); }
  // The task at AIndex (nullptr when there is none).
  TFFmpeg* Task(int AIndex) const { return FTasks->Items(AIndex); }
  // The component's own probe, for looking at a file before adding it.
  TAVProbe& Probe() { return *FProbe; }
};
