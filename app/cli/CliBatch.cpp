#include "app/cli/CliBatch.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "converter/Vidmill.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"

namespace {

std::atomic<bool> gStopRequested{false};

// What the events said of one task, read by the main thread to draw.
struct TTaskState {
  size_t Result = 0;  // index into the results
  bool Started = false;
  bool Ended = false;
  bool Reported = false;  // its end has been printed
  int CurrentDuration = 0;
  int TotalDuration = 0;
  int FPS = 0;
  int64_t Size = 0;
  bool Finished = false;
  bool Exception = false;
  std::string Message;
  std::chrono::steady_clock::time_point LastLine{};
};

std::string BaseName(const std::string& APath) {
  const size_t slash = APath.find_last_of('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

// Options whose meaning depends on the opened source or the output's
// streams: a lone engine instance cannot try them, and SetOutputFile tells
// their refusal for each file.
bool TriedWithTheFile(const std::string& AName) {
  static const char* const kNames[] = {"i",        "map",         "map_meta_data", "target", "newvideo",
                                       "newaudio", "newsubtitle", "apre",          "vpre",   "spre"};
  for (const char* name : kNames)
    if (AName == name) return true;
  return false;
}

// Why the engine refuses the option line ALine (NAME=VALUE); empty when it
// takes it. Tried on an engine instance of its own, which is let go.
std::string ExtraRefusal(const std::string& ALine) {
  const size_t equal = ALine.find('=');
  const std::string name = ALine.substr(0, equal);
  const std::string value = equal == std::string::npos ? std::string() : ALine.substr(equal + 1);
  if (TriedWithTheFile(name)) return {};
  TFFLogger* logger = FFLoggerInstance();
  const TLogLevel level = logger->LogLevel();
  const TLogEvent previous = logger->OnLog;
  std::string logged;  // the last error line of the log: why a value is refused
  logger->SetLogLevel(llError);
  logger->OnLog = [&logged](TObject*, uint32_t, TLogLevel ALevel, const std::string& AText) {
    if (ALevel <= llError) logged = AText;
  };
  std::string refusal;
  try {
    TCustomFFmpeg engine;
    engine.Prepare();
    // Options the engine passes on to the libraries do not throw: a value
    // they refuse shows as an error line of their log.
    const bool taken = engine.SetOption(name, value);
    if (!logged.empty())
      refusal = logged;
    else if (!taken)
      refusal = "the engine knows no option " + name;
  } catch (const std::exception& error) {
    refusal = error.what();
  }
  logger->OnLog = previous;
  logger->SetLogLevel(level);
  return refusal;
}

}  // namespace

std::string OutFolderRefusal(const std::string& AFolder) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(fs::path(AFolder), error);
  if (error) return "cannot create the output folder " + AFolder + ": " + error.message();
  if (!fs::is_directory(fs::path(AFolder), error)) return "the output folder " + AFolder + " is not a folder";
  if (access(AFolder.c_str(), W_OK | X_OK) != 0)
    return "cannot write into the output folder " + AFolder + ": " + std::strerror(errno);
  return {};
}

std::string ProgressLine(const std::string& AName, int ACurrentDurationMs, int ATotalDurationMs, int AFPS,
                         int64_t ASize, int ABarWidth) {
  std::string line = AName;
  int percent = -1;
  if (ATotalDurationMs > 0) {
    percent = static_cast<int>(static_cast<int64_t>(ACurrentDurationMs) * 100 / ATotalDurationMs);
    if (percent > 100) percent = 100;
    if (percent < 0) percent = 0;
  }
  if (ABarWidth > 0) {
    const int filled = percent < 0 ? 0 : percent * ABarWidth / 100;
    line += " [" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(ABarWidth - filled), '.') + "]";
  }
  char rest[96];
  if (percent >= 0)
    std::snprintf(rest, sizeof rest, " %3d%%", percent);
  else
    std::snprintf(rest, sizeof rest, "  N/A");
  line += rest;
  std::snprintf(rest, sizeof rest, "  %d fps  %d s  ", AFPS, ACurrentDurationMs / 1000);
  line += rest;
  line += SizeText(ASize);
  return line;
}

TCliBatch::TCliBatch(const TCliOptions& AOptions, std::FILE* AOut, std::FILE* AErr, std::FILE* AProgress,
                     bool ATerminal)
    : FOptions(AOptions), FOut(AOut), FErr(AErr), FProgress(AProgress), FTerminal(ATerminal) {}

void TCliBatch::RequestStop() { gStopRequested = true; }

int TCliBatch::Refuse(const std::string& AReason) {
  std::fputs(CliRefusal(AReason).c_str(), FErr);
  return 2;
}

bool TCliBatch::LoadLibraries(TVidmill& AVidmill) {
  if (AVidmill.LoadAVLib(ModuleDir() + u"LibAV")) return true;
  std::fprintf(FErr, "vidmill-cli: %s\n", AVidmill.LastErrMsg().c_str());
  return false;
}

int TCliBatch::Probe() {
  TVidmill vidmill;
  if (!LoadLibraries(vidmill)) return 1;
  TAVProbe& probe = vidmill.Probe();
  if (!probe.LoadFile(FromLocal8Bit(FOptions.ProbeFile))) {
    std::fprintf(FErr, "vidmill-cli: %s: %s\n", FOptions.ProbeFile.c_str(), probe.LastErrMsg().c_str());
    return 1;
  }
  std::fprintf(FOut, "%s\n", probe.InfoText().c_str());
  probe.Close();
  return 0;
}

// One run of the batch: the tasks queued, what their notifications have
// said (under the lock: they come from the workers), the engines' error
// lines, and the bars drawn on the terminal.
class TCliBatchRun {
 public:
  TCliBatchRun(const TCliOptions& AOptions, std::vector<TCliFileResult>& AResults, std::FILE* AOut, std::FILE* AErr,
               std::FILE* AProgress, bool ATerminal)
      : FOptions(AOptions), FResults(AResults), FOut(AOut), FErr(AErr), FProgress(AProgress), FTerminal(ATerminal) {}

  // Error lines of the engines, printed between progress redraws. The
  // engines' summaries come at llVerbose, which the level filter lets
  // through at every level but quiet; only errors are for this front.
  void CollectErrors() {
    TFFLogger* logger = FFLoggerInstance();
    logger->SetLogLevel(llError);
    logger->OnLog = [this](TObject*, uint32_t, TLogLevel ALevel, const std::string& AText) {
      if (ALevel > llError) return;
      std::lock_guard<std::mutex> guard(FLock);
      FErrors.push_back(AText);
    };
  }

  // Probe, plan and queue each source, in order. Each output is opened when
  // it is queued, so the next source's plan already sees it and never takes
  // its name.
  void QueueSources(TVidmill& AVidmill) {
    FResults.clear();
    for (const std::string& file : FOptions.Files) {
      TCliFileResult result;
      result.Source = file;
      const uint64_t id = QueueSource(AVidmill, result);
      if (id != 0) {
        TTaskState state;
        state.Result = FResults.size();
        FTasks[id] = state;
      }
      FResults.push_back(result);
    }
  }

  void AttachEvents(TVidmill& AVidmill) {
    AVidmill.OnProgress() = [this, &AVidmill](int AIndex, int, int AFPS, int ACurrentDuration, float, float,
                                              int64_t ACurrentSize, int ATotalOutputDuration) {
      std::lock_guard<std::mutex> guard(FLock);
      auto it = FTasks.find(AVidmill.TaskId(AIndex));
      if (it == FTasks.end()) return;
      TTaskState& state = it->second;
      state.Started = true;
      state.CurrentDuration = ACurrentDuration;
      state.TotalDuration = ATotalOutputDuration;
      if (AFPS > 0) state.FPS = AFPS;
      state.Size = ACurrentSize;
    };
    AVidmill.OnTerminate() = [this, &AVidmill](int AIndex, bool AFinished, bool AException,
                                               const std::string& AMessage) {
      std::lock_guard<std::mutex> guard(FLock);
      if (AIndex < 0) {
        FRunOver = true;
        return;
      }
      auto it = FTasks.find(AVidmill.TaskId(AIndex));
      if (it == FTasks.end()) return;
      it->second.Ended = true;
      it->second.Finished = AFinished;
      it->second.Exception = AException;
      it->second.Message = AMessage;
    };
  }

  // Converts the queued tasks, redrawing every 200 ms; a Ctrl-C stops the
  // batch. Returns once every notification has been delivered.
  void Convert(TVidmill& AVidmill) {
    if (FTasks.empty()) return;
    const int jobs = FOptions.Jobs > 0 ? FOptions.Jobs : ProcessorCount();
    AVidmill.SetCodecThreads(FOptions.Threads);
    bool stopping = false;
    AVidmill.StartConvert(jobs);
    auto lastDraw = std::chrono::steady_clock::now();
    WaitServing(
        [&] {
          if (gStopRequested && !stopping) {
            stopping = true;
            AVidmill.StopConvert(false);
          }
          const auto now = std::chrono::steady_clock::now();
          if (now - lastDraw >= std::chrono::milliseconds(200)) {
            lastDraw = now;
            Draw();
          }
          std::lock_guard<std::mutex> guard(FLock);
          return FRunOver;
        },
        std::chrono::milliseconds(50));
    AVidmill.StopConvert(true);  // joins what delivered the notifications
  }

  // Prints what has happened since the last call: ended tasks, error lines,
  // then the bars (terminal) or due progress lines (otherwise).
  void Draw() {
    std::lock_guard<std::mutex> guard(FLock);
    ClearBars();
    for (const std::string& line : FErrors) std::fprintf(FErr, "vidmill-cli: %s\n", line.c_str());
    FErrors.clear();
    ReportEnded();
    DrawBars();
    std::fflush(FProgress);
    std::fflush(FErr);
  }

  void ClearBars() {
    if (!FTerminal) return;
    for (int i = 0; i < FDrawnLines; ++i) std::fputs("\x1b[1A\x1b[2K", FProgress);
    FDrawnLines = 0;
  }

  void Detach(TVidmill& AVidmill) {
    AVidmill.OnProgress() = nullptr;
    AVidmill.OnTerminate() = nullptr;
    FFLoggerInstance()->OnLog = nullptr;
  }

  // One line per file that did not convert; the exit status.
  int ReportFailures() {
    int failures = 0;
    for (const TCliFileResult& result : FResults) {
      if (result.Converted) continue;
      ++failures;
      std::fprintf(FErr, "vidmill-cli: %s: %s\n", result.Source.c_str(), result.Message.c_str());
    }
    std::fflush(FErr);
    return failures == 0 ? 0 : 1;
  }

 private:
  // Probes, plans and queues one source; its task id, or 0 with the reason
  // in AResult when it cannot be converted.
  uint64_t QueueSource(TVidmill& AVidmill, TCliFileResult& AResult) {
    TAVProbe& probe = AVidmill.Probe();
    if (!probe.LoadFile(FromLocal8Bit(AResult.Source))) {
      AResult.Message = "cannot read the file: " + probe.LastErrMsg();
      return 0;
    }
    const TSourceInfo source = SourceInfoFromProbe(probe);
    probe.Close();
    const TInputOptions input = BuildInputOptions(source);
    TOutputOptions output = BuildOutputOptions(FOptions.Choices, source);
    for (const std::string& extra : FOptions.Extras) output.ExtraOptions += extra + "\n";
    AResult.Output = ToLocal8Bit(output.FileName);

    const int index = AVidmill.AddTask(input.FileName, &input);
    if (index < 0) {
      AResult.Message = "cannot open the file: " + AVidmill.LastErrMsg();
      AResult.Output.clear();
      return 0;
    }
    if (!AVidmill.SetOutputFile(index, output.FileName, &output)) {
      AResult.Message = "cannot convert: " + AVidmill.LastErrMsg();
      AVidmill.RemoveTask(index);
      return 0;
    }
    return AVidmill.TaskId(index);
  }

  // The output path of each task that converted since the last call; the
  // reason of each that did not.
  void ReportEnded() {
    for (auto& [id, state] : FTasks) {
      if (!state.Ended || state.Reported) continue;
      state.Reported = true;
      TCliFileResult& result = FResults[state.Result];
      result.Converted = state.Finished && !state.Exception;
      if (result.Converted) {
        std::fprintf(FOut, "%s\n", result.Output.c_str());
        std::fflush(FOut);
      } else {
        result.Message = state.Exception ? state.Message : "stopped before the end";
      }
    }
  }

  // A bar per running task (terminal), or a line per running task once a
  // second (otherwise).
  void DrawBars() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [id, state] : FTasks) {
      if (!state.Started || state.Ended) continue;
      const std::string name = BaseName(FResults[state.Result].Source);
      if (FTerminal) {
        std::fprintf(FProgress, "%s\n",
                     ProgressLine(name, state.CurrentDuration, state.TotalDuration, state.FPS, state.Size, 30).c_str());
        ++FDrawnLines;
      } else if (now - state.LastLine >= std::chrono::seconds(1)) {
        state.LastLine = now;
        std::fprintf(FProgress, "%s\n",
                     ProgressLine(name, state.CurrentDuration, state.TotalDuration, state.FPS, state.Size, 0).c_str());
      }
    }
  }

  const TCliOptions& FOptions;
  std::vector<TCliFileResult>& FResults;
  std::FILE* FOut;
  std::FILE* FErr;
  std::FILE* FProgress;
  bool FTerminal;
  std::mutex FLock;
  std::map<uint64_t, TTaskState> FTasks;  // by task id
  std::vector<std::string> FErrors;
  bool FRunOver = false;
  int FDrawnLines = 0;  // bar lines on the terminal below the cursor's line
};

int TCliBatch::Run() {
  // A Ctrl-C from now on, while the sources are still being planned too,
  // stops this run.
  gStopRequested = false;
  if (!FOptions.OutFolder.empty()) {
    const std::string refusal = OutFolderRefusal(FOptions.OutFolder);
    if (!refusal.empty()) return Refuse(refusal);
  }
  TVidmill vidmill;
  if (!LoadLibraries(vidmill)) return 1;
  for (const std::string& extra : FOptions.Extras) {
    const std::string refusal = ExtraRefusal(extra);
    if (!refusal.empty()) return Refuse(std::string("--extra ").append(extra).append(": ").append(refusal));
  }
  TCliBatchRun run(FOptions, FResults, FOut, FErr, FProgress, FTerminal);
  run.CollectErrors();
  run.QueueSources(vidmill);
  run.AttachEvents(vidmill);
  run.Convert(vidmill);
  run.Draw();
  run.ClearBars();
  run.Detach(vidmill);
  return run.ReportFailures();
}
