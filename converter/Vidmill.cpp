// The converter component: tasks, their configuration from the option
// records, the run of all tasks and the forwarding of the engines' events.
#include "converter/Vidmill.h"

#include <exception>
#include <utility>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"

// ---- TFFmpeg ----

TFFmpeg::TFFmpeg() : FProbe(std::make_unique<TAVProbe>()) {
  FProbe->Enable();
  InitInputOptions(FInputOptions);
  InitOutputOptions(FOutputOptions);
}

TFFmpeg::~TFFmpeg() {
  // The worker must be gone before this part of the task goes: its end is
  // reported through the component, which may still look at the task.
  Stop(true);
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

int TFFmpegList::IndexOf(const TCustomFFmpeg* ATask) const {
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
  for (const auto& task : FItems)
    if (task->FTerminated.load() && !task->FReported.load()) return false;
  return true;
}

void TFFmpegList::StopAll(bool AWait) {
  for (TFFmpeg* task : Snapshot()) task->Terminate(AWait);
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
  {
    // Waits for a delivery in progress under the lock.
    TComponentLock lock(*this);
    FPendingCount = 0;
    FRunOpen = false;
    tasks = FTasks->ExtractAll();
    for (auto& task : FRetired) tasks.push_back(std::move(task));
    FRetired.clear();
  }
  // Each running task is stopped and waited for; being out of the list, its
  // end is not reported any more.
  tasks.clear();
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
    TFFmpeg* task = FTasks->Items(FNextIndex++);
    if (task == nullptr) continue;
    task->FProgressInterval = static_cast<int64_t>(FProgressInterval) * 1000;
    if (task->FTerminated) {
      // The task ended in an earlier run and an engine instance does not
      // start twice: it counts as ended at once (it has nothing new to
      // report), and its place goes to the next pending task. Without this
      // the run would wait for its end for ever.
      task->FCounted = true;
      ++FFinishedCount;
      skipped = true;
      continue;
    }
    if (FThreaded) {
      if (TConvertThread* worker = task->Start(true, FThreadPriority)) worker->Resume();
    } else {
      task->Start(false, FThreadPriority);
    }
    return;
  }
  if (skipped && FFinishedCount >= FTasks->Count()) ReportEnd();
}

void TCustomVidmill::DoTerminate(TCustomFFmpeg* Sender) {
  TComponentLock lock(*this);
  if (Sender == nullptr) {
    ReportEnd();
    return;
  }
  auto* task = static_cast<TFFmpeg*>(Sender);
  const int index = FTasks->IndexOf(Sender);
  if (index < 0) {
    // A task taken out of the list while it ran: there is no item left to
    // report on, but its place in the run goes to the next pending task.
    if (FThreaded && FPendingCount > 0) {
      StartNextTask();
    } else if (FRunOpen && FPendingCount == 0 && FFinishedCount >= FTasks->Count()) {
      ReportEnd();
    }
    return;
  }
  // The run has closed the input the task's probe was attached to.
  if (task->FInputFileCount == 0) task->Probe().Close();
  // Counted before the handler runs: a handler that removes the task (in a
  // run without threads it runs right here) then finds the count right.
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

void TCustomVidmill::DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration,
                                float AQuality, float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
  TComponentLock lock(*this);
  if (!FOnProgress) return;
  const int index = FTasks->IndexOf(Sender);
  if (index < 0) return;
  FOnProgress(index, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize, ATotalOutputDuration);
}

void TCustomVidmill::DoPreviewBitmap(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS) {
  TPreviewBitmapEvent handler = FOnPreviewBitmap;
  if (!handler) return;
  const int index = FTasks->IndexOf(Sender);
  if (index < 0) return;
  // The values travel with the call itself: several workers may hand over
  // pictures at the same time.
  RunInMainThread([&] { handler(index, ABitmap, AFrameNumber, APTS); });
}

void TCustomVidmill::DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction) {
  if (!FOnBeforeHook) return;
  const int index = FTasks->IndexOf(Sender);
  if (index < 0) return;
  FOnBeforeHook(index, APTS, AHookAction);
}

void TCustomVidmill::DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                  bool& AUpdate, bool& AStopHook) {
  if (!FOnCustomHook) return;
  const int index = FTasks->IndexOf(Sender);
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
// True on the task's own worker thread (a handler of its hooks).
bool OnOwnWorker(TFFmpeg& ATask) {
  TConvertThread* worker = ATask.FConvertThread.load();
  return worker != nullptr && worker->IsCurrent();
}
}  // namespace

void TCustomVidmill::Dispose(std::vector<std::unique_ptr<TFFmpeg>> ATasks) {
  if (ATasks.empty()) return;
  const bool holds = HoldsLock();
  std::vector<std::unique_ptr<TFFmpeg>> now;
  {
    TComponentLock lock(*this);
    for (auto& task : ATasks) {
      if (holds || OnOwnWorker(*task)) FRetired.push_back(std::move(task));
      else now.push_back(std::move(task));
    }
  }
  now.clear();  // outside the lock: each waits for its worker
}

void TCustomVidmill::FreeRetired() {
  if (HoldsLock()) return;
  std::vector<std::unique_ptr<TFFmpeg>> now;
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
  }
  now.clear();
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
  try {
    task->Prepare();
    task->FVerbose = FTaskVerbose;
    task->SetPreviewFlags(static_cast<uint8_t>((FPreview ? 1 : 0) | (FPreviewBitmap ? 2 : 0)));
    task->FOnPreviewBitmap = [this](TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS) {
      DoPreviewBitmap(Sender, ABitmap, AFrameNumber, APTS);
    };
    if (AInputOptions != nullptr) {
      task->FInputOptions = *AInputOptions;
      TInputOptions& options = task->FInputOptions;
      if (options.FileName.empty()) options.FileName = AFileName;
      ApplyExtraOptions(*task, options.ExtraOptions, TExtraOptionGroup::General);
      if (!options.FileFormat.empty()) task->SetInputFormat(options.FileFormat);
      if (options.StartTimeMs > 0) task->SetStartTime(static_cast<int64_t>(options.StartTimeMs) * 1000);
      if (options.StartTime > 0) task->SetStartTime(options.StartTime);
      if (options.ProgramID >= 0) task->SetProgramId(options.ProgramID);
    }
    if (!task->OpenInputFile(AFileName)) {
      FLastErrMsg = task->FLastError;
      return -1;
    }
    task->Probe().Attach(task->FInputFiles[task->FInputFileCount - 1]);
    task->FOnProgress = [this](TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration,
                               float AQuality, float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
      DoProgress(Sender, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                 ATotalOutputDuration);
    };
    task->FOnTerminate = [this](TCustomFFmpeg* Sender) { DoTerminate(Sender); };
    // Ids are handed out under the component lock: AddTask may be called
    // from a handler while other threads run.
    TComponentLock lock(*this);
    task->FTaskId = ++FLastTaskId;
    return FTasks->Add(std::move(task));
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    return -1;
  }
}

bool TVidmill::SetOutputFile(int AIndex, const std::u16string& AFileName, const TOutputOptions* AOutputOptions) {
  TFFmpeg* task = FTasks->Items(AIndex);
  if (task == nullptr) {
    FLastErrMsg = Format("List index out of bounds (%d)", AIndex);
    return false;
  }
  try {
    bool join = false;
    if (AOutputOptions != nullptr) {
      task->FOutputOptions = *AOutputOptions;
      TOutputOptions& options = task->FOutputOptions;
      if (options.FileName.empty()) options.FileName = AFileName;
      ApplyTarget(*task, options);
      ApplyExtraOptions(*task, options.ExtraOptions, TExtraOptionGroup::General);
      ApplyOutputOptions(*task, options);
      ApplyExtraOptions(*task, options.ExtraOptions, TExtraOptionGroup::Preset);
      if (options.CustomHook) {
        task->FOnCustomHook = [this](TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                     bool& AUpdate, bool& AStopHook) {
          DoCustomHook(Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
        };
      } else if (options.BeforeHook) {
        task->FOnBeforeHook = [this](TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction) {
          DoBeforeHook(Sender, APTS, AHookAction);
        };
      } else {
        ParseHookRanges(*task, options.HookRanges);
      }
      join = options.JoinInputs;
    }
    // The batch never replaces a file: its names are planned free, and a
    // file that took a planned name since then makes this open fail.
    task->FOverwrite = false;
    // Each output is written under its temporary name, which reserves the
    // planned name, and takes that name when the task ends.
    task->FWritePartialFiles = true;
    if (task->OpenOutputFile(AFileName, join) < 0) {
      FLastErrMsg = task->FLastError;
      return false;
    }
    if (AOutputOptions != nullptr)
      ApplyExtraOptions(*task, task->FOutputOptions.ExtraOptions, TExtraOptionGroup::NewStream);
    return true;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    return false;
  }
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
    FPendingCount = TaskCount();
    FRunOpen = FPendingCount > 0;
    for (TFFmpeg* task : FTasks->Snapshot()) task->FCounted = false;
  }
  // The lock is held around each start: a task that ends at once starts its
  // successor from its notification, which must not race this loop.
  for (;;) {
    TComponentLock lock(*this);
    if (FPendingCount <= 0) break;
    StartNextTask();
    if (FThreaded && --AThreadCount <= 0) break;
  }
}

void TVidmill::StopConvert(bool AWait) {
  // From a handler that runs under the lock nothing may wait: the workers
  // that end need the lock to report.
  const bool nested = HoldsLock();
  {
    TComponentLock lock(*this);
    FPendingCount = 0;
  }
  FTasks->StopAll(AWait && !nested);
  if (AWait && !nested) {
    // A stopped worker is waited for only until it begins to end (the
    // engine lets go of its thread before it reports): wait for every
    // report, then for their delivery.
    WaitServing([this] { return FTasks->EndsReported(); }, std::chrono::milliseconds(2));
    FDelivery->WaitIdle();
  }
  FreeRetired();
}
