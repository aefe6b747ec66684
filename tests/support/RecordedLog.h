#pragma once
// The logger of the tests that load the media libraries: every delivered
// line is recorded.
#include <string>
#include <vector>

#include "runtime/FFmpegLogger.h"

struct TRecordedLine {
  TObject* Sender;
  TLogLevel Level;
  std::string Text;
};

// The lines delivered since the last ClearLogLines (main thread only).
const std::vector<TRecordedLine>& LogLines();
void ClearLogLines();
// True when a recorded line contains AText.
bool LogContains(const std::string& AText);
