#include "app/cli/CliLog.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "converter/Vidmill.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"

namespace {

const char* LevelName(TLogLevel ALevel) {
  static const char* const kNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};
  return ALevel <= llDebug ? kNames[ALevel] : "debug";
}

// Local time with milliseconds, as the log file's lines begin.
std::string NowText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const size_t used = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + used, sizeof text - used, ".%03d", static_cast<int>(millis));
  return text;
}

}  // namespace

TCliLog::~TCliLog() {
  Detach();
  if (FFile) std::fclose(FFile);
}

bool TCliLog::OpenFile(const std::string& APath, std::string& AError) {
  FFile = std::fopen(APath.c_str(), "w");
  if (FFile) return true;
  AError = "cannot write the log file " + APath + ": " + std::strerror(errno);
  return false;
}

void TCliLog::Attach() {
  if (!Active()) return;
  TFFLogger* logger = FFLoggerInstance();
  logger->SetLogLevel(FFile ? llDebug : llInfo);
  logger->OnLog = [this](TObject* ASender, uint32_t AThread, TLogLevel ALevel, const std::string& AText) {
    OnLine(ASender, AThread, ALevel, AText);
  };
  FAttached = true;
}

void TCliLog::Detach() {
  if (!FAttached) return;
  FFLoggerInstance()->OnLog = nullptr;
  FAttached = false;
}

void TCliLog::NameThread(uint32_t AThread, const std::string& AFile) {
  std::lock_guard<std::mutex> guard(FLock);
  FThreads[AThread] = AFile;
}

std::vector<std::string> TCliLog::TakeScreenLines() {
  std::lock_guard<std::mutex> guard(FLock);
  std::vector<std::string> lines;
  lines.swap(FScreenLines);
  return lines;
}

void TCliLog::Note(const std::string& AText) {
  if (!FFile) return;
  std::fprintf(FFile, "%s vidmill-cli %s\n", NowText().c_str(), AText.c_str());
  std::fflush(FFile);
}

// An engine instance of a task names its source, and from then on the
// source of the thread it runs on; a library line is named by its thread.
std::string TCliLog::FileOf(TObject* ASender, uint32_t AThread) {
  std::lock_guard<std::mutex> guard(FLock);
  if (auto* engine = dynamic_cast<TTaskEngine*>(ASender); engine && engine->FTask)
    return FThreads[AThread] = ToLocal8Bit(engine->FTask->FSourceFile);
  auto it = FThreads.find(AThread);
  return it == FThreads.end() ? std::string() : it->second;
}

void TCliLog::OnLine(TObject* ASender, uint32_t AThread, TLogLevel ALevel, const std::string& AText) {
  const std::string file = FileOf(ASender, AThread);
  const std::string where =
      "[" + (file.empty() ? std::string() : file + ", ") + "thread " + std::to_string(AThread) + "] ";
  if (FFile) {
    std::fprintf(FFile, "%s %s %s%s\n", NowText().c_str(), LevelName(ALevel), where.c_str(), AText.c_str());
    std::fflush(FFile);
  }
  if (FVerbose && ALevel <= llInfo) {
    std::lock_guard<std::mutex> guard(FLock);
    FScreenLines.push_back(where + AText);
  }
}
