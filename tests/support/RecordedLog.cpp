#include "tests/support/RecordedLog.h"

namespace {
std::vector<TRecordedLine> gLines;
}

void RecordLogLines(TFFLogger& ALogger) {
  ALogger.OnLog = [](TObject* Sender, uint32_t, TLogLevel ALevel, const std::string& AText) {
    gLines.push_back({Sender, ALevel, AText});
  };
}

const std::vector<TRecordedLine>& LogLines() { return gLines; }

void ClearLogLines() { std::vector<TRecordedLine>().swap(gLines); }

bool LogContains(const std::string& AText) {
  for (const TRecordedLine& line : gLines)
    if (line.Text.find(AText) != std::string::npos) return true;
  return false;
}

bool Logged(TLogLevel ALevel, const std::string& AText) {
  for (const TRecordedLine& line : gLines)
    if (line.Level == ALevel && line.Text == AText) return true;
  return false;
}
