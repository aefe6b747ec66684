#pragma once
// Formatting, path and conversion helpers shared by every part of the system.
// Paths are wide (UTF-16) texts with "/" as the only delimiter.

#include <cstdint>
#include <stdexcept>
#include <string>

using TPathFileName = std::u16string;

// The platform's conversion error (a text that is not an integer or number).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Wide path and file functions ----
bool IsSurrogate(char16_t ACh);
// 0 outside the text or for no surrogate, 1 for a lead unit, 2 for a trail unit.
int SurrogateKindAt(const std::u16string& S, int I);
bool IsPathDelimiterAt(const std::u16string& S, int I);
std::u16string IncludeTrailingBackslash(const std::u16string& S);
// Up to and including the last "/"; ExtractFileNameW gives the rest.
std::u16string ExtractFilePathW(const std::u16string& S);
std::u16string ExtractFileNameW(const std::u16string& S);
// The text from the last "." after the last "/", or empty.
std::u16string ExtractFileExtW(const std::u16string& S);
bool FileExistsW(const std::u16string& S);  // exists and is not a directory
bool DirectoryExistsW(const std::u16string& S);
std::u16string GetCurrentDirW();
bool SetCurrentDirW(const std::u16string& S);
std::u16string GetEnvVarW(const std::u16string& AName);
std::u16string ExpandFileNameW(const std::u16string& S);  // absolute, "." and ".." resolved
int64_t FileSizeByName(const std::u16string& S);          // -1 when there is no such file
std::u16string ModuleFileName();                          // the running executable
std::u16string ModuleDir();                               // its folder, ending in "/"
// The file-system path (locale bytes) of a wide name.
std::string SystemPath(const std::u16string& S);

// Head := text before the first ASeparator; with ARemove, S := text after it.
// Without an occurrence Head := S and, with ARemove, S becomes empty.
void SplitAt(std::string& S, const std::string& ASeparator, bool ARemove, std::string& AHead);

template <class T>
constexpr T Clamp(T AValue, T ALow, T AHigh) {
  return AValue < ALow ? ALow : (AValue < AHigh ? AValue : AHigh);
}

// ---- Texts ----
// "%d Byte" up to 1024, then "%.2f KB", "%.2f MB", "%.2f GB".
std::string SizeText(int64_t ABytes);
// "%.2d:%.2d:%.2d.%.3d" of a time in microseconds; hours are not limited to 24.
std::string DurationText(int64_t AMicroseconds);
// The text for a failed open of AName with library error code ACode.
std::string OpenErrorText(const std::string& AName, int ACode);
// "Video", "Audio", "Data", "Subtitle", "Attachment", or "Unknown".
std::string MediaTypeName(int AType);

// ---- Local date-times (days since 1899-12-30, local time) ----
double LocalOffsetDays();  // the local zone's offset to UTC in days
double UnixToLocalDateTime(int64_t ASeconds);
int64_t LocalDateTimeToUnix(double AValue);
double NowLocalDateTime();

// ---- Number conversions of the option vocabulary ----
// Decimal, or hexadecimal after a leading "$" (also "0x"); surrounding blanks
// are allowed. Throws EConvertError ("'abc' is not a valid integer value").
int StrToInt(const std::string& S);
int64_t StrToInt64(const std::string& S);
bool TryStrToInt(const std::string& S, int& AValue);
bool TryStrToInt64(const std::string& S, int64_t& AValue);
int StrToIntDef(const std::string& S, int ADefault);
// A decimal number in the C locale. Throws EConvertError.
double StrToFloat(const std::string& S);
bool TryStrToFloat(const std::string& S, double& AValue);
// printf-style formatting into a std::string.
std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Trim(const std::string& S);
std::string LowerCase(const std::string& S);
std::string UpperCase(const std::string& S);
bool SameText(const std::string& A, const std::string& B);  // ASCII case-insensitive
// Round half to even, as the system's rounding of quotients.
int64_t RoundHalfEven(long double AValue);
