// The converter component: tasks, their configuration from the option
// records, the run of all tasks and the forwarding of the engines' events.
#include "converter/Vidmill.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/OutputFiles.h"
#include "runtime/UnicodeProtocol.h"

// ---- TFFmpeg ----

TTaskEngine::~TTaskEngine() {
  // The worker must be gone before this part of the instance goes: its end
  // is reported through the component, which may still look at it.
  Stop(true);
}

TFFmpeg::TFFmpeg() = default;

TFFmpeg::~TFFmpeg() {
  std::shared_ptr<TTaskEngine> engine = TakeEngine();
  engine.reset();
  // A reservation that no run wrote (the task never started) goes too.
  if (!FOutputFile.empty() && !FTerminated) {
    const std::u16string partial = PartialFileName(FOutputFile);
    if (FileSizeByName(partial) == 0) ::unlink(LocalFilePath(partial).c_str());
  }
}

TAVProbe& TFFmpeg::Probe() {
  if (!FProbe) {
    FProbe = std::make_unique<TAVProbe>();
    FProbe->Enable();
  }
  return *FProbe;
}

std::shared_ptr<TTaskEngine> TFFmpeg::Engine() const {
  std::lock_guard<std::mutex> guard(FEngineLock);
  return FEngine;
}

void TFFmpeg::SetEngine(std::shared_ptr<TTaskEngine> AEngine) {
  std::lock_guard<std::mutex> guard(FEngineLock);
  FEngine = std::move(AEngine);
}

std::shared_ptr<TTaskEngine> TFFmpeg::TakeEngine() {
  std::lock_guard<std::mutex> guard(FEngineLock);
  return std::move(FEngine);
}

void TFFmpeg::SetPreviewFlags(uint8_t AFlags) {
  FPreviewFlags = AFlags;
  if (std::shared_ptr<TTaskEngine> engine = Engine()) engine->SetPreviewFlags(AFlags);
}

// ---- TFFmpegList ----

TFFmpegList::~TFFmpegList() { Clear(); }

TFFmpeg* TFFmpegList::Items(int AIndex) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[static_cast<size_t>(AIndex)].get();
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> ATask) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const int index = static_cast<int>(FItems.size());
  ATask->FIndex = index;
  FItems.push_back(std::move(ATask));
  FCount = static_cast<int>(FItems.size());
  return index;
}

void TFFmpegList::Renumber() {
  for (size_t i = 0; i < FItems.size(); ++i) FItems[i]->FIndex = static_cast<int>(i);
  FCount = static_cast<int>(FItems.size());
}

std::unique_ptr<TFFmpeg> TFFmpegList::Extract(int AIndex) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) return nullptr;
  std::unique_ptr<TFFmpeg> task = std::move(FItems[static_cast<size_t>(AIndex)]);
  FItems.erase(FItems.begin() + AIndex);
  task->FIndex = -1;
  Renumber();
  return task;
}

std::vector<std::unique_ptr<TFFmpeg>> TFFmpegList::ExtractAll() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  std::vector<std::unique_ptr<TFFmpeg>> tasks = std::move(FItems);
  FItems.clear();
  for (auto& task : tasks) task->FIndex = -1;
  FCount = 0;
  return tasks;
}

// The tasks are freed outside the lock: a running task waits for its worker,
// and the worker reads its index under the lock to report its end.
void TFFmpegList::Delete(int AIndex) { Extract(AIndex).reset(); }

void TFFmpegList::Clear() { ExtractAll().clear(); }

int TFFmpegList::IndexOf(const TFFmpeg* ATask) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == ATask) return static_cast<int>(i);
  return -1;
}

int TFFmpegList::IndexOfTaskId(uint64_t AId) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AId == 0) return -1;
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->FTaskId == AId) return static_cast<int>(i);
  return -1;
}

uint64_t TFFmpegList::TaskId(int AIndex) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) return 0;
  return FItems[static_cast<size_t>(AIndex)]->FTaskId;
}

std::vector<TFFmpeg*> TFFmpegList::Snapshot() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  std::vector<TFFmpeg*> tasks;
  tasks.reserve(FItems.size());
  for (const auto& task : FItems) tasks.push_back(task.get());
  return tasks;
}

bool TFFmpegList::EndsReported() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  // A task that runs has its end still to come, even when its engine has
  // already finished: between the engine's end and the report, its worker
  // may be waiting for the component's lock.
  for (const auto& task : FItems)
    if ((task->FRunning.load() || task->FTerminated.load()) && !task->FReported.load()) return false;
  return true;
}

void TFFmpegList::StopRunning(bool AWait) {
  for (TFFmpeg* task : Snapshot())
    if (std::shared_ptr<TTaskEngine> engine = task->Engine(); engine && engine->Running()) engine->Stop(AWait);
}

void TFFmpegList::SetPreviewBit(uint8_t ABit, bool AValue) {
  for (TFFmpeg* task : Snapshot()) {
    const uint8_t flags = task->PreviewFlags();
    task->SetPreviewFlags(AValue ? static_cast<uint8_t>(flags | ABit) : static_cast<uint8_t>(flags & ~ABit));
  }
}

void TFFmpegList::SetPreview(bool AValue) { SetPreviewBit(1, AValue); }

void TFFmpegList::SetPreviewBitmap(bool AValue) { SetPreviewBit(2, AValue); }

// ---- The delivery of termination notifications ----

void TCustomVidmill::TDoTerminateThread::Post(TTerminateNotice ANotice) {
  bool start = false;
  {
    std::lock_guard<std::mutex> guard(FQueueLock);
    FQueue.push_back(std::move(ANotice));
    if (!FActive) {
      FActive = true;
      start = true;
    }
  }
  if (!start) return;
  // The thread that worked off the queue before has ended (it cleared
  // FActive as its last step); Start joins it before starting the next.
  std::lock_guard<std::mutex> guard(FThreadLock);
  FThread.Start([this] { Execute(); });
}

void TCustomVidmill::TDoTerminateThread::Execute() {
  FThreadId = CurrentThreadId();
  for (;;) {
    TTerminateNotice notice;
    {
      std::lock_guard<std::mutex> guard(FQueueLock);
      if (FQueue.empty()) {
        FThreadId = 0;
        FActive = false;
        return;
      }
      notice = std::move(FQueue.front());
      FQueue.pop_front();
    }
    if (!notice.Handler) continue;
    // A failing handler must not cost the notifications after it.
    try {
      notice.Handler(notice.Index, notice.Finished, notice.Exception, notice.Message);
    } catch (const std::exception& e) {
      FFLoggerInstance()->Log(FOwner, llError, std::string("Error occurs OnTerminate: ") + e.what());
    } catch (...) {
      FFLoggerInstance()->Log(FOwner, llError, "Error occurs OnTerminate");
    }
  }
}

bool TCustomVidmill::TDoTerminateThread::Busy() const {
  std::lock_guard<std::mutex> guard(FQueueLock);
  return FActive || !FQueue.empty();
}

void TCustomVidmill::TDoTerminateThread::WaitIdle() {
  if (IsCurrent()) return;  // a handler cannot wait for its own delivery
  WaitServing([this] { return !Busy(); }, std::chrono::milliseconds(2));
  std::lock_guard<std::mutex> guard(FThreadLock);
  FThread.WaitFor();
}

// ---- The component lock ----

TCustomVidmill::TComponentLock::TComponentLock(TCustomVidmill& AOwner) : FOwner(AOwner) {
  LockServing(FOwner.FLock);
  if (FOwner.FLockDepth++ == 0) FOwner.FLockOwner = CurrentThreadId();
}

TCustomVidmill::TComponentLock::~TComponentLock() {
  if (--FOwner.FLockDepth == 0) FOwner.FLockOwner = 0;
  FOwner.FLock.unlock();
}

// ---- TCustomVidmill ----

TCustomVidmill::TCustomVidmill()
    : FProbe(std::make_unique<TAVProbe>()),
      FTasks(std::make_unique<TFFmpegList>()),
      FDelivery(std::make_unique<TDoTerminateThread>(this)) {
  FProbe->Enable();
}

TCustomVidmill::~TCustomVidmill() {
  ReleaseTasks();
  FDelivery.reset();
  FTasks.reset();
  FProbe.reset();
}

void TCustomVidmill::ReleaseTasks() {
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  std::vector<std::shared_ptr<TTaskEngine>> engines;
  {
    // Waits for a delivery in progress under the lock.
    TComponentLock lock(*this);
    FPendingCount = 0;
    FRunOpen = false;
    tasks = FTasks->ExtractAll();
    for (auto& task : FRetired) tasks.push_back(std::move(task));
    FRetired.clear();
    engines = std::move(FRetiredEngines);
    FRetiredEngines.clear();
  }
  // Each running task is stopped and waited for; being out of the list, its
  // end is not reported any more.
  tasks.clear();
  engines.clear();
  FDelivery->WaitIdle();
}

void TCustomVidmill::Deliver(int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
  if (!FOnTerminate) return;
  if (FThreaded) {
    FDelivery->Post({FOnTerminate, AIndex, AFinished, AException, AMessage});
  } else {
    FOnTerminate(AIndex, AFinished, AException, AMessage);
  }
}

void TCustomVidmill::ReportEnd() {
  FRunOpen = false;
  Deliver(-1, true, false, std::string());
}

void TCustomVidmill::StartNextTask() {
  bool skipped = false;
  while (FPendingCount > 0) {
    --FPendingCount;
    const int index = FNextIndex++;
    TFFmpeg* task = FTasks->Items(index);
    if (task == nullptr) continue;
    task->FProgressInterval = static_cast<int64_t>(FProgressInterval) * 1000;
    if (task->FTerminated) {
      // The task ended in an earlier run and a task does not run twice: it
      // counts as ended at once (it has nothing new to report), and its
      // place goes to the next pending task. Without this the run would
      // wait for its end for ever.
      task->FCounted = true;
      ++FFinishedCount;
      skipped = true;
      continue;
    }
    // A waiting task gets its engine instance now, made from its records.
    std::shared_ptr<TTaskEngine> engine = task->Engine();
    if (!engine) {
      std::string error;
      engine = Unpark(*task, TaskThreads(), error);
      if (!engine) {
        EndUnstarted(*task, index, true, error);
        if (FThreaded) continue;
        return;
      }
      task->SetEngine(engine);
    }
    engine->FProgressInterval = task->FProgressInterval;
    task->FRunning = true;
    if (FThreaded) {
      if (TConvertThread* worker = engine->Start(true, FThreadPriority)) worker->Resume();
    } else {
      engine->Start(false, FThreadPriority);
    }
    return;
  }
  if (skipped && FFinishedCount >= FTasks->Count()) ReportEnd();
}

void TCustomVidmill::EndUnstarted(TFFmpeg& ATask, int AIndex, bool AException, const std::string& AMessage) {
  // An instance that holds its source (the output was never set) goes too.
  ATask.FProbe.reset();
  if (std::shared_ptr<TTaskEngine> engine = ATask.TakeEngine()) FRetiredEngines.push_back(std::move(engine));
  ATask.FRunning = false;
  ATask.FFinished = false;
  ATask.FHasException = AException;
  ATask.FExceptionMessage = AMessage;
  ATask.FTerminated = true;
  if (AException) FFLoggerInstance()->Log(this, llQuiet, AMessage);
  // Its reservation goes: no run will write it.
  if (!ATask.FOutputFile.empty()) {
    const std::u16string partial = PartialFileName(ATask.FOutputFile);
    if (FileSizeByName(partial) == 0) ::unlink(LocalFilePath(partial).c_str());
  }
  ATask.FCounted = true;
  ++FFinishedCount;
  Deliver(AIndex, false, AException, AMessage);
  if (FPendingCount == 0 && FFinishedCount >= FTasks->Count()) ReportEnd();
  ATask.FReported = true;
}

void TCustomVidmill::DoTerminate(TCustomFFmpeg* Sender) {
  {
    TComponentLock lock(*this);
    if (Sender == nullptr) {
      ReportEnd();
      return;
    }
    TFFmpeg* task = static_cast<TTaskEngine*>(Sender)->FTask;
    // What the row or line of the task keeps; its engine instance goes as
    // soon as its worker is done.
    task->FFinished = Sender->Finished();
    task->FHasException = Sender->HasException();
    task->FExceptionMessage = Sender->ExceptionMessage();
    task->FRunning = false;
    task->FTerminated = true;
    // The run has closed the input the task's probe was attached to.
    task->FProbe.reset();
    if (std::shared_ptr<TTaskEngine> engine = task->TakeEngine()) FRetiredEngines.push_back(std::move(engine));
    const int index = FTasks->IndexOf(task);
    if (index < 0) {
      // A task taken out of the list while it ran: there is no item left to
      // report on, but its place in the run goes to the next pending task.
      if (FThreaded && FPendingCount > 0) {
        StartNextTask();
      } else if (FRunOpen && FPendingCount == 0 && FFinishedCount >= FTasks->Count()) {
        ReportEnd();
      }
    } else {
      // Counted before the handler runs: a handler that removes the task
      // (in a run without threads it runs right here) then finds the count
      // right.
      task->FCounted = true;
      ++FFinishedCount;
      Deliver(index, task->FFinished.load(), task->FHasException.load(), task->FExceptionMessage);
      if (FPendingCount > 0) {
        if (FThreaded) StartNextTask();
      } else if (FFinishedCount >= FTasks->Count()) {
        ReportEnd();
      }
      task->FReported = true;
    }
  }
  // Outside the lock: the instances of the tasks that ended before, whose
  // workers may still want the lock to return.
  FreeRetired();
}

void TCustomVidmill::DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
  TComponentLock lock(*this);
  if (!FOnProgress) return;
  const int index = FTasks->IndexOf(static_cast<TTaskEngine*>(Sender)->FTask);
  if (index < 0) return;
  FOnProgress(index, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize, ATotalOutputDuration);
}

void TCustomVidmill::DoPreviewBitmap(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS) {
  TPreviewBitmapEvent handler = FOnPreviewBitmap;
  if (!handler) return;
  const int index = FTasks->IndexOf(static_cast<TTaskEngine*>(Sender)->FTask);
  if (index < 0) return;
  // The values travel with the call itself: several workers may hand over
  // pictures at the same time.
  RunInMainThread([&] { handler(index, ABitmap, AFrameNumber, APTS); });
}

void TCustomVidmill::DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction) {
  if (!FOnBeforeHook) return;
  const int index = FTasks->IndexOf(static_cast<TTaskEngine*>(Sender)->FTask);
  if (index < 0) return;
  FOnBeforeHook(index, APTS, AHookAction);
}

void TCustomVidmill::DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                  bool& AUpdate, bool& AStopHook) {
  if (!FOnCustomHook) return;
  const int index = FTasks->IndexOf(static_cast<TTaskEngine*>(Sender)->FTask);
  if (index < 0) return;
  FOnCustomHook(index, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomVidmill::ForgetTask(TFFmpeg& ATask, int AIndex) {
  if (AIndex < FNextIndex) {
    // Started in this run (or in the one before): the tasks after it move up.
    --FNextIndex;
    if (ATask.FCounted) --FFinishedCount;
  } else if (AIndex < FNextIndex + FPendingCount) {
    --FPendingCount;  // it will not be started
  }
}

void TCustomVidmill::CheckRunEnd() {
  if (FRunOpen && FPendingCount == 0 && FFinishedCount >= FTasks->Count()) ReportEnd();
}

namespace {
// True on the worker thread of an engine instance (a handler of its hooks,
// or its end).
bool OnOwnWorker(const TCustomFFmpeg& AEngine) {
  TConvertThread* worker = AEngine.ConvertThread();
  return worker != nullptr && worker->IsCurrent();
}
bool OnOwnWorker(const TFFmpeg& ATask) {
  std::shared_ptr<TTaskEngine> engine = ATask.Engine();
  return engine && OnOwnWorker(*engine);
}
}  // namespace

void TCustomVidmill::Dispose(std::vector<std::unique_ptr<TFFmpeg>> ATasks) {
  if (ATasks.empty()) return;
  const bool holds = HoldsLock();
  std::vector<std::unique_ptr<TFFmpeg>> now;
  {
    TComponentLock lock(*this);
    for (auto& task : ATasks) {
      if (holds || OnOwnWorker(*task))
        FRetired.push_back(std::move(task));
      else
        now.push_back(std::move(task));
    }
  }
  now.clear();  // outside the lock: each waits for its worker
}

void TCustomVidmill::FreeRetired() {
  if (HoldsLock()) return;
  std::vector<std::unique_ptr<TFFmpeg>> now;
  std::vector<std::shared_ptr<TTaskEngine>> engines;
  {
    TComponentLock lock(*this);
    for (auto it = FRetired.begin(); it != FRetired.end();) {
      if (OnOwnWorker(**it)) {
        ++it;
      } else {
        now.push_back(std::move(*it));
        it = FRetired.erase(it);
      }
    }
    // An instance whose end is being reported on this very thread stays
    // for the next call.
    for (auto it = FRetiredEngines.begin(); it != FRetiredEngines.end();) {
      if (OnOwnWorker(**it)) {
        ++it;
      } else {
        engines.push_back(std::move(*it));
        it = FRetiredEngines.erase(it);
      }
    }
  }
  now.clear();
  engines.clear();
}

std::shared_ptr<TTaskEngine> TCustomVidmill::NewEngine(TFFmpeg& ATask) {
  auto engine = std::make_shared<TTaskEngine>(&ATask);
  engine->Prepare();
  engine->SetVerbose(FTaskVerbose);
  engine->SetPreviewFlags(ATask.PreviewFlags());
  engine->FOnPreviewBitmap = [this](TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS) {
    DoPreviewBitmap(Sender, ABitmap, AFrameNumber, APTS);
  };
  engine->FOnProgress = [this](TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                               float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    DoProgress(Sender, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize, ATotalOutputDuration);
  };
  engine->FOnTerminate = [this](TCustomFFmpeg* Sender) { DoTerminate(Sender); };
  return engine;
}

bool TCustomVidmill::OpenSource(TTaskEngine& AEngine, TFFmpeg& ATask, std::string& AError) {
  try {
    if (ATask.FInputOptions) {
      const TInputOptions& options = *ATask.FInputOptions;
      ApplyExtraOptions(AEngine, options.ExtraOptions, TExtraOptionGroup::General);
      if (!options.FileFormat.empty()) AEngine.SetInputFormat(options.FileFormat);
      if (options.StartTimeMs > 0) AEngine.SetStartTime(static_cast<int64_t>(options.StartTimeMs) * 1000);
      if (options.StartTime > 0) AEngine.SetStartTime(options.StartTime);
      if (options.ProgramID >= 0) AEngine.SetProgramId(options.ProgramID);
    }
    if (AEngine.OpenInputFile(ATask.FSourceFile)) return true;
    AError = AEngine.LastError();
  } catch (const std::exception& e) {
    AError = e.what();
  }
  return false;
}

bool TCustomVidmill::OpenOutput(TTaskEngine& AEngine, TFFmpeg& ATask, bool AReserved, std::string& AError) {
  try {
    bool join = false;
    if (ATask.FOutputOptions) {
      const TOutputOptions& options = *ATask.FOutputOptions;
      ApplyTarget(AEngine, options);
      ApplyExtraOptions(AEngine, options.ExtraOptions, TExtraOptionGroup::General);
      ApplyOutputOptions(AEngine, options);
      ApplyExtraOptions(AEngine, options.ExtraOptions, TExtraOptionGroup::Preset);
      if (options.CustomHook) {
        AEngine.FOnCustomHook = [this](TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                       bool& AUpdate, bool& AStopHook) {
          DoCustomHook(Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
        };
      } else if (options.BeforeHook) {
        AEngine.FOnBeforeHook = [this](TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction) {
          DoBeforeHook(Sender, APTS, AHookAction);
        };
      } else {
        ParseHookRanges(AEngine, options.HookRanges);
      }
      join = options.JoinInputs;
    }
    // The batch never replaces a file: its names are planned free, and a
    // file that took a planned name since then makes this open fail. Each
    // output is written under its temporary name, which reserves the
    // planned name while the task waits, and takes that name when the task
    // ends.
    AEngine.FOverwrite = false;
    AEngine.FWritePartialFiles = true;
    AEngine.FReuseReservations = AReserved;
    if (AEngine.OpenOutputFile(ATask.FOutputFile, join) < 0) {
      AError = AEngine.LastError();
      return false;
    }
    if (ATask.FOutputOptions)
      ApplyExtraOptions(AEngine, ATask.FOutputOptions->ExtraOptions, TExtraOptionGroup::NewStream);
    return true;
  } catch (const std::exception& e) {
    AError = e.what();
  }
  return false;
}

void TCustomVidmill::Park(TFFmpeg& ATask) {
  std::shared_ptr<TTaskEngine> engine = ATask.TakeEngine();
  ATask.FProbe.reset();
  if (!engine) return;
  engine->FKeepReservations = true;
  engine.reset();  // never started: nothing runs on it
}

int TCustomVidmill::TaskThreads() const {
  if (FCodecThreads > 0) return FCodecThreads;
  // The tasks that run beside this one: those started and not ended (this
  // one included) and those still to come, as far as the run allows.
  const int unfinished = FNextIndex - FFinishedCount + FPendingCount;
  const int atOnce = std::max(1, std::min(FJobs, unfinished));
  return std::max(1, ProcessorCount() / atOnce);
}

std::shared_ptr<TTaskEngine> TCustomVidmill::Unpark(TFFmpeg& ATask, int AThreads, std::string& AError) {
  std::shared_ptr<TTaskEngine> engine = NewEngine(ATask);
  engine->SetThreadCount(AThreads);
  if (!OpenSource(*engine, ATask, AError)) return nullptr;
  if (!ATask.FOutputFile.empty() && !OpenOutput(*engine, ATask, true, AError)) {
    engine->FKeepReservations = false;
    return nullptr;
  }
  return engine;
}

// ---- TVidmill ----

TVidmill::~TVidmill() {
  // Workers call the dispatchers until their tasks are gone: the tasks go
  // while the object is still whole.
  ReleaseTasks();
}

void TVidmill::SetPreview(bool AValue) {
  FPreview = AValue;
  FTasks->SetPreview(AValue);
}

void TVidmill::SetPreviewBitmap(bool AValue) {
  FPreviewBitmap = AValue;
  FTasks->SetPreviewBitmap(AValue);
}

bool TVidmill::LoadAVLib(const std::u16string& ALibPath) {
  TFFmpegLoader& loader = FFmpegLoader();
  loader.SetLibraryPath(ALibPath);
  if (loader.LoadLibs(kConverterLibraries)) return true;
  FLastErrMsg = loader.LastError();
  return false;
}

bool TVidmill::AVLibLoaded() const { return FFmpegLoader().AllLoaded(kConverterLibraries); }

int TVidmill::AddTask(const std::u16string& AFileName, const TInputOptions* AInputOptions) {
  FreeRetired();
  // Without the libraries an engine instance can neither prepare nor open.
  if (!AVLibLoaded()) {
    FLastErrMsg = "The media libraries are not loaded.";
    return -1;
  }
  auto task = std::make_unique<TFFmpeg>();
  task->FSourceFile = AFileName;
  task->FPreviewFlags = static_cast<uint8_t>((FPreview ? 1 : 0) | (FPreviewBitmap ? 2 : 0));
  if (AInputOptions != nullptr) {
    TInputOptions options = *AInputOptions;
    options.FileName.clear();  // the task's source file is AFileName
    TComponentLock lock(*this);
    if (!FLastInputOptions || !(*FLastInputOptions == options))
      FLastInputOptions = std::make_shared<const TInputOptions>(std::move(options));
    task->FInputOptions = FLastInputOptions;
  }
  // The source is opened now, so that a file that cannot be read is told at
  // once; the instance stays until the output is set.
  std::shared_ptr<TTaskEngine> engine;
  try {
    engine = NewEngine(*task);
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    return -1;
  }
  std::string error;
  if (!OpenSource(*engine, *task, error)) {
    FLastErrMsg = error;
    return -1;
  }
  task->Probe().Attach(engine->InputFile(engine->InputFileCount() - 1));
  task->SetEngine(std::move(engine));
  // Ids are handed out under the component lock: AddTask may be called
  // from a handler while other threads run.
  TComponentLock lock(*this);
  task->FTaskId = ++FLastTaskId;
  return FTasks->Add(std::move(task));
}

bool TVidmill::SetOutputFile(int AIndex, const std::u16string& AFileName, const TOutputOptions* AOutputOptions) {
  TFFmpeg* task = FTasks->Items(AIndex);
  if (task == nullptr) {
    FLastErrMsg = Format("List index out of bounds (%d)", AIndex);
    return false;
  }
  std::shared_ptr<TTaskEngine> engine = task->Engine();
  if (!engine || !task->FOutputFile.empty() || task->FTerminated) {
    FLastErrMsg = "The task's output is set already.";
    return false;
  }
  task->FOutputFile = AFileName;
  if (AOutputOptions != nullptr) {
    // Kept without its file name (the task has that), so that the tasks of
    // a batch share one record.
    TOutputOptions options = *AOutputOptions;
    options.FileName.clear();
    {
      TComponentLock lock(*this);
      if (!FLastOutputOptions || !(*FLastOutputOptions == options))
        FLastOutputOptions = std::make_shared<const TOutputOptions>(std::move(options));
      task->FOutputOptions = FLastOutputOptions;
    }
  }
  std::string error;
  if (!OpenOutput(*engine, *task, false, error)) {
    task->FOutputFile.clear();
    task->FOutputOptions.reset();
    FLastErrMsg = error;
    return false;
  }
  // Opened and checked: the task waits with its records and the output's
  // reservation only.
  Park(*task);
  return true;
}

void TVidmill::RemoveTask(int AIndex) {
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  {
    TComponentLock lock(*this);
    std::unique_ptr<TFFmpeg> task = FTasks->Extract(AIndex);
    if (!task) return;
    ForgetTask(*task, AIndex);
    gone.push_back(std::move(task));
  }
  Dispose(std::move(gone));
  // Inside a handler under the lock, the notification being handled makes
  // its own check once the handler returns.
  if (!HoldsLock()) {
    TComponentLock lock(*this);
    CheckRunEnd();
  }
  FreeRetired();
}

void TVidmill::ClearTasks() {
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  const bool nested = HoldsLock();
  {
    TComponentLock lock(*this);
    gone = FTasks->ExtractAll();
    FPendingCount = 0;
    FFinishedCount = 0;
    FNextIndex = -1;
    FLastErrMsg.clear();
    // A run that still had tasks is over now: nothing is left to wait for.
    if (!nested) CheckRunEnd();
    FThreaded = false;
  }
  Dispose(std::move(gone));
  if (!nested) {
    FDelivery->WaitIdle();
    FreeRetired();
  }
}

void TVidmill::StartConvert(int AThreadCount) {
  FreeRetired();
  {
    TComponentLock lock(*this);
    FNextIndex = 0;
    FFinishedCount = 0;
    FThreaded = AThreadCount > 0;
    FJobs = FThreaded ? AThreadCount : 1;
    FPendingCount = TaskCount();
    FRunOpen = FPendingCount > 0;
    for (TFFmpeg* task : FTasks->Snapshot()) task->FCounted = false;
  }
  // The lock is held around each start: a task that ends at once starts its
  // successor from its notification, which must not race this loop.
  for (;;) {
    {
      TComponentLock lock(*this);
      if (FPendingCount <= 0) break;
      StartNextTask();
      if (FThreaded && --AThreadCount <= 0) break;
    }
    // Without threads each task has run inside StartNextTask: its engine
    // instance goes before the next one comes.
    FreeRetired();
  }
}

void TVidmill::StopConvert(bool AWait) {
  // From a handler that runs under the lock nothing may wait: the workers
  // that end need the lock to report.
  const bool nested = HoldsLock();
  {
    // The tasks that have not started end now, in list order.
    TComponentLock lock(*this);
    FPendingCount = 0;
    const std::vector<TFFmpeg*> tasks = FTasks->Snapshot();
    for (size_t i = 0; i < tasks.size(); ++i)
      if (!tasks[i]->FTerminated && !tasks[i]->FRunning) EndUnstarted(*tasks[i], static_cast<int>(i), false, {});
  }
  FTasks->StopRunning(AWait && !nested);
  if (AWait && !nested) {
    // Each stop waits for its worker's end, but a worker that had begun to
    // end is passed over (its engine lets go of its thread before it
    // reports): wait for every report, then for their delivery.
    WaitServing([this] { return FTasks->EndsReported(); }, std::chrono::milliseconds(2));
    FDelivery->WaitIdle();
  }
  FreeRetired();
}
