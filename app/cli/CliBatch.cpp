#include "app/cli/CliBatch.h"

#include <atomic>
#include <chrono>
#include <csignal>
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

}  // namespace

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

// NOLINTNEXTLINE(readability-function-cognitive-complexity): being split
int TCliBatch::Run() {
  // A Ctrl-C from now on, while the sources are still being planned too,
  // stops this run.
  gStopRequested = false;
  TVidmill vidmill;
  if (!LoadLibraries(vidmill)) return 1;

  // Error lines of the engines, printed between progress redraws.
  std::vector<std::string> errors;
  TFFLogger* logger = FFLoggerInstance();
  logger->SetLogLevel(llError);
  // The engines' summaries come at llVerbose, which the level filter lets
  // through at every level but quiet; only errors are for this front.
  logger->OnLog = [&errors](TObject*, uint32_t, TLogLevel ALevel, const std::string& AText) {
    if (ALevel <= llError) errors.push_back(AText);
  };

  std::mutex stateLock;
  std::map<uint64_t, TTaskState> tasks;  // by task id
  bool runOver = false;

  // Probe, plan and queue each source, in order. Each output is opened when
  // it is queued, so the next source's plan already sees it and never takes
  // its name.
  FResults.clear();
  for (const std::string& file : FOptions.Files) {
    TCliFileResult result;
    result.Source = file;
    TAVProbe& probe = vidmill.Probe();
    if (!probe.LoadFile(FromLocal8Bit(file))) {
      result.Message = "cannot read the file: " + probe.LastErrMsg();
      FResults.push_back(result);
      continue;
    }
    const TSourceInfo source = SourceInfoFromProbe(probe);
    probe.Close();
    const TInputOptions input = BuildInputOptions(source);
    TOutputOptions output = BuildOutputOptions(FOptions.Choices, source);
    for (const std::string& extra : FOptions.Extras) output.ExtraOptions += extra + "\n";
    result.Output = ToLocal8Bit(output.FileName);

    const int index = vidmill.AddTask(input.FileName, &input);
    if (index < 0) {
      result.Message = "cannot open the file: " + vidmill.LastErrMsg();
      result.Output.clear();
      FResults.push_back(result);
      continue;
    }
    if (!vidmill.SetOutputFile(index, output.FileName, &output)) {
      result.Message = "cannot convert: " + vidmill.LastErrMsg();
      vidmill.RemoveTask(index);
      FResults.push_back(result);
      continue;
    }
    TTaskState state;
    state.Result = FResults.size();
    tasks[vidmill.TaskId(index)] = state;
    FResults.push_back(result);
  }

  vidmill.OnProgress() = [&](int AIndex, int, int AFPS, int ACurrentDuration, float, float, int64_t ACurrentSize,
                             int ATotalOutputDuration) {
    std::lock_guard<std::mutex> guard(stateLock);
    auto it = tasks.find(vidmill.TaskId(AIndex));
    if (it == tasks.end()) return;
    TTaskState& state = it->second;
    state.Started = true;
    state.CurrentDuration = ACurrentDuration;
    state.TotalDuration = ATotalOutputDuration;
    if (AFPS > 0) state.FPS = AFPS;
    state.Size = ACurrentSize;
  };
  vidmill.OnTerminate() = [&](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (AIndex < 0) {
      runOver = true;
      return;
    }
    auto it = tasks.find(vidmill.TaskId(AIndex));
    if (it == tasks.end()) return;
    it->second.Ended = true;
    it->second.Finished = AFinished;
    it->second.Exception = AException;
    it->second.Message = AMessage;
  };

  int drawnLines = 0;  // bar lines on the terminal below the cursor's line
  auto clearBars = [&] {
    if (!FTerminal) return;
    for (int i = 0; i < drawnLines; ++i) std::fputs("\x1b[1A\x1b[2K", FProgress);
    drawnLines = 0;
  };
  // Prints what has happened since the last call: ended tasks, error lines,
  // then the bars (terminal) or due progress lines (otherwise).
  auto draw = [&] {
    std::lock_guard<std::mutex> guard(stateLock);
    clearBars();
    for (const std::string& line : errors) std::fprintf(FErr, "vidmill-cli: %s\n", line.c_str());
    errors.clear();
    const auto now = std::chrono::steady_clock::now();
    for (auto& [id, state] : tasks) {
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
    for (auto& [id, state] : tasks) {
      if (!state.Started || state.Ended) continue;
      const std::string name = BaseName(FResults[state.Result].Source);
      if (FTerminal) {
        std::fprintf(FProgress, "%s\n",
                     ProgressLine(name, state.CurrentDuration, state.TotalDuration, state.FPS, state.Size, 30).c_str());
        ++drawnLines;
      } else if (now - state.LastLine >= std::chrono::seconds(1)) {
        state.LastLine = now;
        std::fprintf(FProgress, "%s\n",
                     ProgressLine(name, state.CurrentDuration, state.TotalDuration, state.FPS, state.Size, 0).c_str());
      }
    }
    std::fflush(FProgress);
    std::fflush(FErr);
  };

  if (!tasks.empty()) {
    const int jobs = FOptions.Jobs > 0 ? FOptions.Jobs : ProcessorCount();
    vidmill.SetCodecThreads(FOptions.Threads);
    bool stopping = false;
    vidmill.StartConvert(jobs);
    auto lastDraw = std::chrono::steady_clock::now();
    WaitServing(
        [&] {
          if (gStopRequested && !stopping) {
            stopping = true;
            vidmill.StopConvert(false);
          }
          const auto now = std::chrono::steady_clock::now();
          if (now - lastDraw >= std::chrono::milliseconds(200)) {
            lastDraw = now;
            draw();
          }
          std::lock_guard<std::mutex> guard(stateLock);
          return runOver;
        },
        std::chrono::milliseconds(50));
    vidmill.StopConvert(true);  // joins what delivered the notifications
  }
  draw();
  clearBars();
  vidmill.OnProgress() = nullptr;
  vidmill.OnTerminate() = nullptr;
  logger->OnLog = nullptr;

  int failures = 0;
  for (const TCliFileResult& result : FResults) {
    if (result.Converted) continue;
    ++failures;
    std::fprintf(FErr, "vidmill-cli: %s: %s\n", result.Source.c_str(), result.Message.c_str());
  }
  std::fflush(FErr);
  return failures == 0 ? 0 : 1;
}
