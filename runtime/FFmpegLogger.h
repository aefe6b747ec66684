#pragma once
// The logger: the single channel through which every message reaches the
// user. Library messages arrive through the library log callback and are cut
// into whole lines per producing thread; the system's own messages arrive
// through Log. Every line is delivered through OnLog on the main thread.

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "runtime/Object.h"

enum TLogLevel : uint8_t { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// Library level of a log level: (ordinal - 1) * 8.
int LogLevelToAV(TLogLevel ALevel);
// Log level of a library level: (level div 8) + 1, truncating toward zero,
// clamped to llQuiet..llDebug.
TLogLevel AVToLogLevel(int AAVLevel);

// ALogMsg is one line without its line feed, in the locale's character set.
using TLogEvent =
    std::function<void(TObject* Sender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg)>;

class TFFLogger : public TObject {
 public:
  // Becomes the process's logger. A second instance while one exists is a
  // programming error (assertion "Allow creating only one instance of TFFLogger.").
  explicit TFFLogger(TObject* AOwner = nullptr);
  ~TFFLogger() override;

  TLogLevel LogLevel() const { return FLogLevel; }
  void SetLogLevel(TLogLevel ALevel);
  // One of "quiet", "panic", "fatal", "error", "warning", "info", "verbose",
  // "debug" (any letter case), or a decimal library level. Throws
  // EConvertError for any other text.
  void SetLogLevelByName(const std::string& AName);

  // The system's own messages: delivered as given (line feeds inside are not
  // cut) when OnLog is assigned and ALevel passes the level filter.
  void Log(TObject* Sender, TLogLevel ALevel, const std::string& AMsg);

  // Installs LibraryLogCallback as the library's log callback. Requires the
  // library's av_log_set_callback to be bound.
  void InstallLogCallback();

  // The library log callback (signature of av_log_set_callback).
  static void LibraryLogCallback(void* AAVClassContext, int ALevel, const char* AFormat, va_list AArgs);

  TLogEvent OnLog;

 private:
  void DoLog();
  void Deliver(TObject* Sender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg);
  friend struct TLogDelivery;

  TLogLevel FLogLevel;
  // The delivery in progress, filled on the main thread just before OnLog runs.
  TObject* FLogSender = nullptr;
  uint32_t FLogThreadID = 0;
  TLogLevel FLogMsgLevel = llInfo;
  std::string FLogMsg;
};

// The process's logger, created (without owner) when none exists.
TFFLogger* FFLoggerInstance();

// While one lives, the library's messages from this thread are dropped: for
// trial opens whose failures are expected and are not the user's concern.
class TLibraryLogMute {
 public:
  TLibraryLogMute();
  ~TLibraryLogMute();
  TLibraryLogMute(const TLibraryLogMute&) = delete;
  TLibraryLogMute& operator=(const TLibraryLogMute&) = delete;
};

// The library level that the library log callback lets through (32 at start).
int GetAVLogLevel();

// Maximum length of one delivered line: text longer than the line buffer
// (2048 bytes with its terminator) is delivered in pieces of at most this
// many bytes.
constexpr size_t kMaxLogLineBytes = 2047;
