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
#include <set>

#include "app/cli/CliJson.h"
#include "app/cli/CliLog.h"
#include "app/cli/CliPlan.h"
#include "converter/Vidmill.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace {

std::atomic<bool> gStopRequested{false};

using TClock = std::chrono::steady_clock;

int64_t MsSince(TClock::time_point AStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - AStart).count();
}

// What the events said of one task, read by the main thread to draw.
struct TTaskState {
  size_t Result = 0;  // index into the results
  bool Started = false;
  bool Ended = false;
  bool Reported = false;       // its end has been printed
  bool StartReported = false;  // its started event has been written (JSON)
  int CurrentDuration = 0;
  int TotalDuration = 0;
  int FPS = 0;
  int64_t Size = 0;
  bool Finished = false;
  bool Exception = false;
  std::string Message;
  TClock::time_point LastLine{};
  // Its first progress report: the speed so far is measured from there.
  TClock::time_point FirstAt{};
  int FirstDuration = 0;
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

// Why an encoder that AEngine's options name is not there; empty when each
// is. The engine takes any name and looks it up only when an output opens.
std::string MissingEncoder(TCustomFFmpeg& AEngine) {
  const TEngineSettings& settings = AEngine.Settings();
  const std::pair<const std::string&, int> named[] = {{settings.Video.FVideoCodecName, AVMEDIA_TYPE_VIDEO},
                                                      {settings.Audio.FAudioCodecName, AVMEDIA_TYPE_AUDIO},
                                                      {settings.Subtitle.FSubtitleCodecName, AVMEDIA_TYPE_SUBTITLE}};
  int id = 0;
  for (const auto& [name, type] : named)
    if (!AEngine.FindCodecId(name, type, true, id)) return AEngine.LastError();
  return {};
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
    else
      refusal = MissingEncoder(engine);
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

TCliBatch::TCliBatch(const TCliOptions& AOptions, std::FILE* AOut, std::FILE* AErr, std::FILE* AProgress,
                     bool ATerminal)
    : FOptions(AOptions), FOut(AOut), FErr(AErr), FProgress(AProgress), FTerminal(ATerminal) {}

void TCliBatch::RequestStop() { gStopRequested = true; }

int TCliBatch::Refuse(const std::string& AReason, TCliLog& ALog) {
  ALog.Note(AReason);
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
// said (under the lock: they come from the workers), and the bars drawn on
// the terminal.
class TCliBatchRun {
 public:
  TCliBatchRun(const TCliOptions& AOptions, std::vector<TCliFileResult>& AResults, TCliLog& ALog, std::FILE* AOut,
               std::FILE* AErr, std::FILE* AProgress, bool ATerminal)
      : FOptions(AOptions),
        FResults(AResults),
        FLog(ALog),
        FOut(AOut),
        FErr(AErr),
        FProgress(AProgress),
        FTerminal(ATerminal),
        FJson(AOptions.Progress == TCliProgress::Json) {}

  // Probe, plan and queue each source, in order. Each output is opened when
  // it is queued, so the next source's plan already sees it and never takes
  // its name. After a Ctrl-C the sources left are not started.
  void QueueSources(TVidmill& AVidmill) {
    FResults.clear();
    for (const std::string& file : FOptions.Files) {
      TCliFileResult result;
      result.Source = file;
      const uint64_t id = gStopRequested ? 0 : QueueSource(AVidmill, result);
      if (id != 0) {
        TTaskState state;
        state.Result = FResults.size();
        FTasks[id] = state;
        if (FJson) Emit(TJsonLine("queued").Add("file", file).Add("output", result.Output));
      } else if (FJson) {
        EmitEnd(result, false);
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
      if (!state.Started) {
        state.Started = true;
        state.FirstAt = TClock::now();
        state.LastLine = state.FirstAt;  // its first line is due a second in
        state.FirstDuration = ACurrentDuration;
        FLog.NameThread(CurrentThreadId(), FResults[state.Result].Source);
      }
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
    auto lastDraw = TClock::now();
    WaitServing(
        [&] {
          if (gStopRequested && !stopping) {
            stopping = true;
            AVidmill.StopConvert(false);
          }
          if (TClock::now() - lastDraw >= std::chrono::milliseconds(200)) {
            lastDraw = TClock::now();
            Draw();
          }
          std::lock_guard<std::mutex> guard(FLock);
          return FRunOver;
        },
        std::chrono::milliseconds(50));
    AVidmill.StopConvert(true);  // joins what delivered the notifications
  }

  // Prints what has happened since the last call: ended tasks, log lines
  // (--verbose), then the bars (terminal) or due progress lines (otherwise).
  void Draw() {
    std::lock_guard<std::mutex> guard(FLock);
    ClearBars();
    for (const std::string& line : FLog.TakeScreenLines()) std::fprintf(FErr, "vidmill-cli: %s\n", line.c_str());
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
  }

  // A line for each file that did not convert, then the summary; the exit
  // status.
  int Report(int64_t AElapsedMs) {
    bool all = true;
    for (const TCliFileResult& result : FResults) {
      if (result.Outcome == TCliOutcome::Converted) continue;
      all = false;
      const std::string line = OutcomeLine(result);
      std::fprintf(FErr, "vidmill-cli: %s\n", line.c_str());
      FLog.Note(line);
    }
    const std::string summary = SummaryLine(FResults, AElapsedMs);
    std::fprintf(FErr, "%s\n", summary.c_str());
    FLog.Note(summary);
    std::fflush(FErr);
    if (FJson) EmitSummary(AElapsedMs);
    return all ? 0 : 1;
  }

 private:
  // Probes, plans and queues one source; its task id, or 0 with the reason
  // in AResult when it cannot be converted.
  uint64_t QueueSource(TVidmill& AVidmill, TCliFileResult& AResult) {
    AResult.Outcome = TCliOutcome::Failed;
    FLog.NameThread(CurrentThreadId(), AResult.Source);
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
    AResult.Outcome = TCliOutcome::NotStarted;
    return AVidmill.TaskId(index);
  }

  // How a task that has ended went, from what its events said.
  static void TakeOutcome(const TTaskState& AState, TCliFileResult& AResult) {
    AResult.PositionMs = AState.CurrentDuration;
    AResult.DurationMs = AState.TotalDuration;
    AResult.Size = AState.Size;
    if (AState.Finished && !AState.Exception) {
      AResult.Outcome = TCliOutcome::Converted;
    } else if (AState.Exception) {
      AResult.Outcome = TCliOutcome::Failed;
      AResult.Message = AState.Message;
    } else if (!gStopRequested) {
      AResult.Outcome = TCliOutcome::Failed;
      AResult.Message = "stopped before the end";
    } else {
      AResult.Outcome = AState.Started ? TCliOutcome::Stopped : TCliOutcome::NotStarted;
    }
  }

  // The output path of each task that converted since the last call, or
  // (JSON) the end event of each task that ended.
  void ReportEnded() {
    for (auto& [id, state] : FTasks) {
      if (!state.Ended || state.Reported) continue;
      state.Reported = true;
      TCliFileResult& result = FResults[state.Result];
      TakeOutcome(state, result);
      if (FJson) {
        EmitStarted(state);
        EmitEnd(result, state.Started);
      } else if (result.Outcome == TCliOutcome::Converted) {
        std::fprintf(FOut, "%s\n", result.Output.c_str());
        std::fflush(FOut);
      }
    }
  }

  void Emit(const TJsonLine& ALine) {
    std::fputs(ALine.Text().c_str(), FOut);
    std::fflush(FOut);
  }

  // The started event of a task that started, once; a task that converted
  // started even when it ended before its first report.
  void EmitStarted(TTaskState& AState) {
    if (AState.StartReported || !(AState.Started || AState.Finished)) return;
    AState.StartReported = true;
    Emit(TJsonLine("started").Add("file", FResults[AState.Result].Source));
  }

  // finished, failed or stopped: how AResult ended. AStarted tells a task
  // stopped while it ran from one that never started.
  void EmitEnd(const TCliFileResult& AResult, bool AStarted) {
    switch (AResult.Outcome) {
      case TCliOutcome::Converted: {
        std::error_code error;
        const auto size = std::filesystem::file_size(std::filesystem::path(AResult.Output), error);
        const int64_t bytes = error ? AResult.Size : static_cast<int64_t>(size);
        Emit(TJsonLine("finished").Add("file", AResult.Source).Add("output", AResult.Output).Add("size", bytes));
        return;
      }
      case TCliOutcome::Failed:
        Emit(TJsonLine("failed").Add("file", AResult.Source).Add("reason", AResult.Message));
        return;
      case TCliOutcome::Stopped:
      case TCliOutcome::NotStarted:
        break;
    }
    TJsonLine line("stopped");
    line.Add("file", AResult.Source).AddBool("started", AStarted);
    if (AStarted)
      line.Add("output", AResult.Output)
          .AddNumber("position", AResult.PositionMs / 1000.0)
          .AddNumber("duration", AResult.DurationMs / 1000.0);
    Emit(line);
  }

  void EmitProgress(const TTaskState& AState, int64_t ALeftMs) {
    const double percent = AState.TotalDuration > 0 ? 100.0 * AState.CurrentDuration / AState.TotalDuration : -1;
    Emit(TJsonLine("progress")
             .Add("file", FResults[AState.Result].Source)
             .AddNumber("percent", percent > 100 ? 100 : percent, true)
             .Add("fps", AState.FPS)
             .AddNumber("position", AState.CurrentDuration / 1000.0)
             .AddNumber("duration", AState.TotalDuration / 1000.0)
             .Add("size", AState.Size)
             .AddNumber("eta", ALeftMs < 0 ? -1.0 : ALeftMs / 1000.0, true));
  }

  void EmitSummary(int64_t AElapsedMs) {
    int counts[4] = {};
    for (const TCliFileResult& result : FResults) ++counts[static_cast<int>(result.Outcome)];
    Emit(TJsonLine("summary")
             .Add("converted", counts[static_cast<int>(TCliOutcome::Converted)])
             .Add("failed", counts[static_cast<int>(TCliOutcome::Failed)])
             .Add("stopped", counts[static_cast<int>(TCliOutcome::Stopped)])
             .Add("not_started", counts[static_cast<int>(TCliOutcome::NotStarted)])
             .AddNumber("seconds", AElapsedMs / 1000.0));
  }

  // A bar per running task (terminal), or a line per running task once a
  // second from a second after its start (otherwise: files shorter than that
  // show only their result), with the time left at the speed since its start.
  void DrawBars() {
    const auto now = TClock::now();
    for (auto& [id, state] : FTasks) {
      if (!state.Started || state.Ended) continue;
      if (FJson) EmitStarted(state);
      const bool due = (FTerminal && !FJson) || now - state.LastLine >= std::chrono::seconds(1);
      if (!due) continue;
      state.LastLine = now;
      const int64_t left = TimeLeftMs(state.CurrentDuration, state.TotalDuration,
                                      state.CurrentDuration - state.FirstDuration, MsSince(state.FirstAt));
      if (FJson) {
        EmitProgress(state, left);
        continue;
      }
      const std::string line = ProgressLine(BaseName(FResults[state.Result].Source), state.CurrentDuration,
                                            state.TotalDuration, state.FPS, state.Size, left, FTerminal ? 30 : 0);
      std::fprintf(FProgress, "%s\n", line.c_str());
      if (FTerminal) ++FDrawnLines;
    }
  }

  const TCliOptions& FOptions;
  std::vector<TCliFileResult>& FResults;
  TCliLog& FLog;
  std::FILE* FOut;
  std::FILE* FErr;
  std::FILE* FProgress;
  bool FTerminal;
  bool FJson;  // --progress json: events on FOut instead of paths and bars
  std::mutex FLock;
  std::map<uint64_t, TTaskState> FTasks;  // by task id
  bool FRunOver = false;
  int FDrawnLines = 0;  // bar lines on the terminal below the cursor's line
};

int TCliBatch::DryRun(TVidmill& AVidmill) {
  // Planning alone writes nothing: no task is made (a task reserves its
  // output's name with an empty temporary file) and no folder is swept.
  KeepStalePartialOutputs();
  const bool json = FOptions.Progress == TCliProgress::Json;
  std::set<std::u16string> planned;  // the names given so far: the next source must not get them
  bool all = true;
  for (const std::string& file : FOptions.Files) {
    TAVProbe& probe = AVidmill.Probe();
    if (!probe.LoadFile(FromLocal8Bit(file))) {
      all = false;
      const std::string reason = "cannot read the file: " + probe.LastErrMsg();
      if (json)
        std::fputs(TJsonLine("failed").Add("file", file).Add("reason", reason).Text().c_str(), FOut);
      else
        std::fprintf(FErr, "vidmill-cli: %s: %s\n", file.c_str(), reason.c_str());
      continue;
    }
    const TSourceInfo source = SourceInfoFromProbe(probe);
    probe.Close();
    TOutputOptions output = BuildOutputOptions(FOptions.Choices, source);
    output.FileName =
        PlanOutputFileName(OutputBaseName(FOptions.Choices.OutputFolder, source.FileName), output.OutputReserved,
                           [&planned](const std::u16string& AName) { return planned.count(AName) > 0; });
    planned.insert(output.FileName);
    for (const std::string& extra : FOptions.Extras) output.ExtraOptions += extra + "\n";
    const std::string name = ToLocal8Bit(output.FileName);
    std::string lines;
    for (const std::string& line : PlannedOptionLines(output)) lines += (json ? "" : "  ") + line + "\n";
    if (json)
      std::fputs(TJsonLine("planned").Add("file", file).Add("output", name).Add("options", lines).Text().c_str(), FOut);
    else
      std::fprintf(FOut, "%s -> %s\n%s", file.c_str(), name.c_str(), lines.c_str());
  }
  std::fflush(FOut);
  return all ? 0 : 1;
}

// Opens the log file, checks the output folder and the extra options: the
// refusal of the command line, empty when the batch may start.
std::string TCliBatch::Prepare(TCliLog& ALog) {
  std::string refusal;
  if (!FOptions.LogFile.empty() && !ALog.OpenFile(FOptions.LogFile, refusal)) return refusal;
  // A dry run leaves a missing folder missing; the plan names what would be
  // written there.
  if (!FOptions.OutFolder.empty() && !FOptions.DryRun) refusal = OutFolderRefusal(FOptions.OutFolder);
  return refusal;
}

int TCliBatch::Run() {
  // A Ctrl-C from now on, while the sources are still being planned too,
  // stops this run.
  gStopRequested = false;
  const auto start = TClock::now();
  TCliLog log(FOptions.Verbose);
  const std::string refusal = Prepare(log);
  if (!refusal.empty()) return Refuse(refusal, log);
  TVidmill vidmill;
  if (!LoadLibraries(vidmill)) {
    log.Note(vidmill.LastErrMsg());
    return 1;
  }
  for (const std::string& extra : FOptions.Extras) {
    const std::string why = ExtraRefusal(extra);
    if (!why.empty()) return Refuse(std::string("--extra ").append(extra).append(": ").append(why), log);
  }
  log.Attach();
  if (FOptions.DryRun) return DryRun(vidmill);
  TCliBatchRun run(FOptions, FResults, log, FOut, FErr, FProgress, FTerminal);
  run.QueueSources(vidmill);
  run.AttachEvents(vidmill);
  run.Convert(vidmill);
  run.Draw();
  run.ClearBars();
  run.Detach(vidmill);
  log.Detach();
  return run.Report(MsSince(start));
}
