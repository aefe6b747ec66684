#pragma once
// The log recorder of the tests that load the media libraries: every line
// the process's logger delivers is recorded. Deliveries come on the main
// thread (the hand-over), which is where the tests read them.
#include <string>
#include <vector>

#include "runtime/FFmpegLogger.h"

struct TRecordedLine {
  TObject* Sender;
  TLogLevel Level;
  std::string Text;
};

// Makes ALogger record every line it delivers from now on.
void RecordLogLines(TFFLogger& ALogger);

// The lines delivered since the last ClearLogLines (main thread only).
const std::vector<TRecordedLine>& LogLines();
// Forgets the lines and frees their storage, so that a test can weigh its
// heap.
void ClearLogLines();
// True when a recorded line contains AText.
bool LogContains(const std::string& AText);
// True when a line of that level and exactly that text was recorded.
bool Logged(TLogLevel ALevel, const std::string& AText);
