#pragma once
// The texts vidmill-cli prints about a batch: a file's progress line, how
// each file ended, and the summary of the run.

#include <cstdint>
#include <string>
#include <vector>

enum class TCliOutcome : uint8_t { NotStarted, Converted, Failed, Stopped };

struct TCliFileResult {
  std::string Source;  // as given on the command line
  std::string Output;  // the planned output (empty when none was planned)
  TCliOutcome Outcome = TCliOutcome::NotStarted;
  std::string Message;  // why it failed
  int PositionMs = 0;   // how much of the output was written
  int DurationMs = 0;   // the output's whole duration (0 when not known)
  int64_t Size = 0;     // bytes written
};

// Milliseconds as "HH:MM:SS", to the nearest second (hours may grow past 99).
std::string ClockText(int64_t AMs);

// The time left of a conversion that has written APositionMs of
// ADurationMs, AGainedMs of them in the last AElapsedMs of wall time: -1
// while that is too little to tell.
int64_t TimeLeftMs(int APositionMs, int ADurationMs, int AGainedMs, int64_t AElapsedMs);

// One progress line of a file: name, bar (ABarWidth > 0), percent or "N/A",
// frames per second, seconds written, bytes written and the time left
// (ALeftMs < 0: not known yet).
std::string ProgressLine(const std::string& AName, int ACurrentDurationMs, int ATotalDurationMs, int AFPS,
                         int64_t ASize, int64_t ALeftMs, int ABarWidth);

// How a file that did not convert ended: "SOURCE: reason", "SOURCE: stopped
// at 00:00:21 of 00:01:30" or "SOURCE: not started".
std::string OutcomeLine(const TCliFileResult& AResult);

// "3 converted, 1 failed, 1 stopped in 00:01:12", with ", N not started"
// before " in" when files never started.
std::string SummaryLine(const std::vector<TCliFileResult>& AResults, int64_t AElapsedMs);
