#include "app/cli/CliReport.h"

#include <cinttypes>
#include <cstdio>

#include "runtime/FFUtils.h"

std::string ClockText(int64_t AMs) {
  const int64_t seconds = AMs < 0 ? 0 : (AMs + 500) / 1000;  // a duration of 59.96 s is a minute
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRId64 ":%02d:%02d", seconds / 3600, static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return text;
}

int64_t TimeLeftMs(int APositionMs, int ADurationMs, int AGainedMs, int64_t AElapsedMs) {
  if (ADurationMs <= 0 || AGainedMs <= 0 || AElapsedMs < 1000) return -1;
  const int64_t rest = ADurationMs > APositionMs ? ADurationMs - APositionMs : 0;
  return rest * AElapsedMs / AGainedMs;
}

std::string ProgressLine(const std::string& AName, int ACurrentDurationMs, int ATotalDurationMs, int AFPS,
                         int64_t ASize, int64_t ALeftMs, int ABarWidth) {
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
  line += "  left " + (ALeftMs < 0 ? std::string("--:--:--") : ClockText(ALeftMs));
  return line;
}

std::string OutcomeLine(const TCliFileResult& AResult) {
  switch (AResult.Outcome) {
    case TCliOutcome::NotStarted:
      return AResult.Source + ": not started";
    case TCliOutcome::Stopped:
      return AResult.Source + ": stopped at " + ClockText(AResult.PositionMs) + " of " + ClockText(AResult.DurationMs);
    case TCliOutcome::Converted:
      return AResult.Source + ": converted to " + AResult.Output;
    case TCliOutcome::Failed:
      break;
  }
  return AResult.Source + ": " + AResult.Message;
}

std::string SummaryLine(const std::vector<TCliFileResult>& AResults, int64_t AElapsedMs) {
  int counts[4] = {};
  for (const TCliFileResult& result : AResults) ++counts[static_cast<int>(result.Outcome)];
  std::string line = std::to_string(counts[static_cast<int>(TCliOutcome::Converted)]) + " converted, " +
                     std::to_string(counts[static_cast<int>(TCliOutcome::Failed)]) + " failed, " +
                     std::to_string(counts[static_cast<int>(TCliOutcome::Stopped)]) + " stopped";
  if (counts[static_cast<int>(TCliOutcome::NotStarted)] > 0)
    line += ", " + std::to_string(counts[static_cast<int>(TCliOutcome::NotStarted)]) + " not started";
  return line + " in " + ClockText(AElapsedMs);
}
