// The engine instance's life cycle: preparing, cleaning up, starting a run
// on a worker thread or inline, stopping, and the one terminate notification.

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/MyUtil.h"

std::recursive_mutex& PreviewLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

bool EngineLibrariesLoaded() { return FFmpegLoader().AllLoaded(kConverterLibraries); }

// ---- Bitstream filter chains ----

TBitstreamFilterChain& TBitstreamFilterChain::operator=(TBitstreamFilterChain&& AOther) noexcept {
  if (this != &AOther) {
    Clear();
    Filters = std::move(AOther.Filters);
    AOther.Filters.clear();
  }
  return *this;
}

void TBitstreamFilterChain::Clear() {
  for (AVBSFContext*& ctx : Filters)
    if (ctx && lib::av_bsf_free) lib::av_bsf_free(&ctx);
  Filters.clear();
}

// ---- Threads ----

void TEngineThread::Resume() {
  std::lock_guard<std::mutex> guard(FResumeLock);
  if (FResumed.exchange(true)) return;
  FThread.Start(
      [this] {
        FThreadId = CurrentThreadId();
        Execute();
      },
      FPriority);
}

void TEngineThread::WaitFor() {
  // A Resume under way on another thread has started the thread once it
  // lets go of the lock: the wait then has a thread to wait for.
  { std::lock_guard<std::mutex> guard(FResumeLock); }
  FThread.WaitFor();
}

void TConvertThread::Execute() {
  if (FEngine) FEngine->Run();
}

void TDoTerminateThread::Execute() {
  if (FEngine) FEngine->DoTerminate();
}

// ---- Engine instance ----

TCustomFFmpeg::TCustomFFmpeg()
    : FHookState(std::make_unique<THookState>()), FPreviewState(std::make_unique<TPreviewState>()) {
  ResetOptions();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  Stop(true);
  if (FWorker) FWorker->WaitFor();
  ReapHelpers(true);
  Cleanup();
}

void TCustomFFmpeg::KeepHelper(std::unique_ptr<TEngineThread> AThread) {
  ReapHelpers(false);
  std::lock_guard<std::mutex> guard(FHelpersLock);
  FHelpers.push_back(std::move(AThread));
}

void TCustomFFmpeg::ReapHelpers(bool AWaitAll) {
  std::vector<std::unique_ptr<TEngineThread>> done;
  {
    std::lock_guard<std::mutex> guard(FHelpersLock);
    for (auto it = FHelpers.begin(); it != FHelpers.end();) {
      if (AWaitAll || (*it)->Finished()) {
        done.push_back(std::move(*it));
        it = FHelpers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& thread : done) {
    if (thread->IsCurrent()) {
      // A helper cannot join itself: it is joined by the next reap.
      std::lock_guard<std::mutex> guard(FHelpersLock);
      FHelpers.push_back(std::move(thread));
      continue;
    }
    thread->WaitFor();
  }
}

void TCustomFFmpeg::Prepare() {
  if (!EngineLibrariesLoaded()) return;
  Cleanup();
  ResetOptions();
  FJoin = false;
  FRunning = false;
  FStopRequested = false;
  FFinished = false;
  FTerminated = false;
  FTerminateRequested = false;
  FTotalDuration = -1;
  AllocOptionContexts(FOptionStore, FSettings.Run.FSwsFlags);
}

void TCustomFFmpeg::Cleanup() {
  if (!EngineLibrariesLoaded()) return;
  // Option contexts and the names set through them.
  FreeOptionContexts(FOptionStore);
  // The pipeline's buffers.
  FBuffers.reset();
  CloseOutputs();
  // Inputs.
  for (std::unique_ptr<TInputFile>& input : FInputFiles) input.reset();
  FInputFileCount = 0;
  ReleaseAllocatedSettings();
  // Frame hook modules of this instance.
  ReleaseFrameHooks(FHookState->Chain);
  FHookState->HookText.clear();
  // The video filter graphs (in join mode one per input video stream).
  if (FFilterGraph) lib::avfilter_graph_free(&FFilterGraph);
  FEarlierFilterGraphs.clear();
  // Hook and preview pictures (the preview window stays while its flag is set).
  ResetFrameBitmap(FHookState->Rgb);
  ResetFrameBitmap(FPreviewState->Rgb);
  FPreviewState->LastPreviewTime = 0;
}

void TCustomFFmpeg::CloseOutputs() {
  // Each output once, whatever slots it fills; its record frees the rest.
  for (const std::unique_ptr<TOutputFile>& output : FOutputRecords)
    output->Close(FDiscardCreatedOutputs, FKeepReservations);
  FOutputRecords.clear();
  for (TOutputFile*& slot : FOutputFiles) slot = nullptr;
  FOutputFileCount = 0;
  FDiscardCreatedOutputs = false;
}

void TCustomFFmpeg::ReleaseAllocatedSettings() {
  FSettings.Video.FIntraMatrix.reset();
  FSettings.Video.FInterMatrix.reset();
  if (FVstatsFile) {
    lib::my_fclose(FVstatsFile);
    FVstatsFile = nullptr;
  }
  FSettings.Run.FVstatsFileName.clear();
  FSettings.Video.FVideoCodecName.clear();
  FSettings.Audio.FAudioCodecName.clear();
  FSettings.Subtitle.FSubtitleCodecName.clear();
  FSettings.Video.FVideoStandard.clear();
  FSettings.Video.FVideoRcOverride.clear();
  FSettings.Audio.FAudioLanguage.clear();
  FSettings.Subtitle.FSubtitleLanguage.clear();
  FSettings.Subtitle.FSubtitleCodecTag = 0;
  FSettings.Video.FVideoBitstreamFilters.Clear();
  FSettings.Audio.FAudioBitstreamFilters.Clear();
  FSettings.Subtitle.FSubtitleBitstreamFilters.Clear();
}

TConvertThread* TCustomFFmpeg::Start(bool AInThread, TThreadPriority APriority) {
  if (FRunning || FTerminated) return nullptr;
  try {
    if (FOutputFileCount <= 0) {
      Cleanup();
      throw FFmpegException("At least one output file must be specified");
    }
    if (FInputFileCount == 0) {
      Cleanup();
      throw FFmpegException("At least one input file must be specified");
    }
  } catch (const FFmpegException& e) {
    FFLoggerInstance()->Log(this, llQuiet, e.what());
    FHasException = true;
    FExceptionMessage = e.what();
    DoTerminate();
    return nullptr;
  }
  FRunning = true;
  FStopRequested = false;
  FFinished = false;
  FTerminated = false;
  if (!AInThread) {
    Run();
    return nullptr;
  }
  if (FWorker) FWorker->WaitFor();  // the thread of an earlier run has ended
  FWorker = std::make_unique<TConvertThread>(this);
  FWorker->SetPriority(APriority);
  FConvertThread = FWorker.get();
  return FWorker.get();
}

void TCustomFFmpeg::Run() {
  FFinished = false;
  FOutputsEmpty = false;
  try {
    Transcode();
  } catch (const std::exception& e) {
    FFLoggerInstance()->Log(this, llQuiet, e.what());
    FHasException = true;
    FExceptionMessage = e.what();
  } catch (...) {
    FFLoggerInstance()->Log(this, llQuiet, "Unknown error");
    FHasException = true;
    FExceptionMessage = "Unknown error";
  }
  CloseOpenedCodecs();
  if (!FHasException && !FOutputsEmpty) PublishOutputs();
  // A failed run leaves no broken file of its own behind (a stopped run
  // ends normally, with a valid shorter file, unless it wrote nothing).
  FDiscardCreatedOutputs = FHasException || FOutputsEmpty;
  Cleanup();
  DoTerminate();
}

void TCustomFFmpeg::PublishOutputs() {
  for (const std::unique_ptr<TOutputFile>& output : FOutputRecords) {
    const std::u16string& written = output->WrittenName;
    const int result = output->Publish();
    if (result >= 0) continue;
    FHasException = true;
    FExceptionMessage = Format("Could not rename '%s' to '%s': %s", ToLocal8Bit(written).c_str(),
                               ToLocal8Bit(output->Name).c_str(), LibraryErrorText(result).c_str());
    FFLoggerInstance()->Log(this, llQuiet, FExceptionMessage);
    return;
  }
}

void TCustomFFmpeg::Stop(bool AWait) {
  FStopRequested = true;
  TConvertThread* worker = FConvertThread.load();
  if (worker == nullptr) return;
  if (worker->Suspended()) worker->Resume();
  // A stop asked for on the worker thread itself (from one of its events)
  // cannot wait for that thread's end.
  if (AWait && !worker->IsCurrent()) worker->WaitFor();
}

void TCustomFFmpeg::Terminate(bool AWait) {
  if (FRunning) {
    Stop(AWait);
    return;
  }
  if (FTerminated || FTerminateRequested.exchange(true)) return;
  auto thread = std::make_unique<TDoTerminateThread>(this);
  thread->Resume();
  if (AWait)
    thread->WaitFor();
  else
    KeepHelper(std::move(thread));
}

void TCustomFFmpeg::DoTerminate() {
  FRunning = false;
  FTerminated = true;
  FConvertThread = nullptr;
  if (FOnTerminate) FOnTerminate(this);
}

void TCustomFFmpeg::SetPreviewFlags(uint8_t AFlags) {
  TServingLock<std::recursive_mutex> guard(PreviewLock());
  if (AFlags == FPreviewFlags) return;
  // The preview window goes when its flag is cleared.
  if ((FPreviewFlags & 1) && !(AFlags & 1)) FPreviewState->Window.reset();
  FPreviewFlags = AFlags;
}
