#pragma once
// Shared pieces of the probe tests: the log lines the libraries and the
// probe wrote (captured by the test main's logger).

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

}  // namespace probetest
