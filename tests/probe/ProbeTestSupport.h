#pragma once
// Shared pieces of the probe tests: the log lines the libraries and the
// probe wrote (captured by the test main's logger) and a private folder.

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/FFmpegLogger.h"

namespace probetest {

struct TLogLine {
  TLogLevel Level;
  std::string Text;
};

// Lines delivered to the test logger since the last ClearLog.
std::vector<TLogLine> LoggedLines();
void ClearLog();
// True when a line with exactly AText at ALevel was logged.
bool Logged(TLogLevel ALevel, const std::string& AText);

// A fresh folder for the current test, removed by the caller's TempFolder.
class TTempFolder {
public:
  TTempFolder();
  ~TTempFolder();
  const std::filesystem::path& Path() const { return FPath; }
  std::string operator/(const std::string& AName) const { return (FPath / AName).string(); }

private:
  std::filesystem::path FPath;
};

}  // namespace probetest
