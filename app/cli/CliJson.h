#pragma once
// The JSON lines of --progress json: one object per line on standard
// output, for scripts and job runners. Each has "event" first; the events
// of a file come in the order queued, started, progress..., then one of
// finished, failed or stopped (a file that cannot be planned has only
// failed), and the run ends with summary.

#include <cstdint>
#include <string>
#include <string_view>

// AText as a JSON string, quotes included. Quotes, backslashes and control
// characters are escaped; UTF-8 passes as it is, and a byte that is no part
// of valid UTF-8 (a file name is any bytes) becomes U+FFFD.
std::string JsonString(std::string_view AText);

// One object, built field by field.
class TJsonLine {
 public:
  explicit TJsonLine(std::string_view AEvent);
  TJsonLine& Add(std::string_view AName, std::string_view AValue);
  TJsonLine& Add(std::string_view AName, const char* AValue) { return Add(AName, std::string_view(AValue)); }
  TJsonLine& Add(std::string_view AName, int64_t AValue);
  TJsonLine& Add(std::string_view AName, int AValue) { return Add(AName, static_cast<int64_t>(AValue)); }
  // A number with up to three decimals; null when negative and ANullBelowZero.
  TJsonLine& AddNumber(std::string_view AName, double AValue, bool ANullBelowZero = false);
  TJsonLine& AddBool(std::string_view AName, bool AValue);
  // The object and its line feed.
  std::string Text() const { return FText + "}\n"; }

 private:
  std::string FText;
};
