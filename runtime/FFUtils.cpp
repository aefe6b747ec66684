#include "runtime/FFUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "runtime/Text.h"

// ---- Wide path and file functions ----

bool IsSurrogate(char16_t ACh) { return ACh >= 0xD800 && ACh <= 0xDFFF; }

int SurrogateKindAt(const std::u16string& S, int I) {
  if (I < 0 || static_cast<size_t>(I) >= S.size() || !IsSurrogate(S[I])) return 0;
  return S[I] <= 0xDBFF ? 1 : 2;
}

bool IsPathDelimiterAt(const std::u16string& S, int I) {
  return I >= 0 && static_cast<size_t>(I) < S.size() && S[I] == u'/' && SurrogateKindAt(S, I) == 0;
}

std::u16string IncludeTrailingBackslash(const std::u16string& S) {
  if (!S.empty() && S.back() == u'/') return S;
  return S + u'/';
}

namespace {
size_t LastDelimiter(const std::u16string& S) {
  size_t pos = S.rfind(u'/');
  return pos;
}
}  // namespace

std::u16string ExtractFilePathW(const std::u16string& S) {
  size_t pos = LastDelimiter(S);
  return pos == std::u16string::npos ? std::u16string() : S.substr(0, pos + 1);
}

std::u16string ExtractFileNameW(const std::u16string& S) {
  size_t pos = LastDelimiter(S);
  return pos == std::u16string::npos ? S : S.substr(pos + 1);
}

std::u16string ExtractFileExtW(const std::u16string& S) {
  size_t dot = S.rfind(u'.');
  size_t slash = LastDelimiter(S);
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return {};
  return S.substr(dot);
}

std::string SystemPath(const std::u16string& S) { return ToLocal8Bit(S); }

bool FileExistsW(const std::u16string& S) {
  struct stat st;
  return !S.empty() && ::stat(SystemPath(S).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExistsW(const std::u16string& S) {
  struct stat st;
  return !S.empty() && ::stat(SystemPath(S).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::u16string GetCurrentDirW() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) return FromLocal8Bit(buffer.data());
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool SetCurrentDirW(const std::u16string& S) { return ::chdir(SystemPath(S).c_str()) == 0; }

std::u16string GetEnvVarW(const std::u16string& AName) {
  const char* value = std::getenv(SystemPath(AName).c_str());
  return value ? FromLocal8Bit(value) : std::u16string();
}

std::u16string ExpandFileNameW(const std::u16string& S) {
  std::u16string path = S;
  if (path.empty() || path[0] != u'/') path = IncludeTrailingBackslash(GetCurrentDirW()) + path;
  // Resolve "." and ".." lexically (the file need not exist).
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find(u'/', start);
    if (slash == std::u16string::npos) slash = path.size();
    std::u16string part = path.substr(start, slash - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::u16string out;
  for (auto& part : parts) out += u'/' + part;
  if (out.empty() || (!S.empty() && S.back() == u'/')) out += u'/';
  return out;
}

int64_t FileSizeByName(const std::u16string& S) {
  struct stat st;
  if (S.empty() || ::stat(SystemPath(ExpandFileNameW(S)).c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::u16string ModuleFileName() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) return FromLocal8Bit(std::string(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

std::u16string ModuleDir() { return ExtractFilePathW(ModuleFileName()); }

void SplitAt(std::string& S, const std::string& ASeparator, bool ARemove, std::string& AHead) {
  size_t pos = ASeparator.empty() ? std::string::npos : S.find(ASeparator);
  if (pos == std::string::npos) {
    AHead = S;
    if (ARemove) S.clear();
    return;
  }
  AHead = S.substr(0, pos);
  if (ARemove) S.erase(0, pos + ASeparator.size());
}

// ---- Texts ----

std::string Format(const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, AFormat, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), AFormat, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

std::string SizeText(int64_t ABytes) {
  if (ABytes <= 1024) return Format("%lld Byte", static_cast<long long>(ABytes));
  if (ABytes <= 1048576) return Format("%.2f KB", ABytes / 1024.0);
  if (ABytes <= 1073741824) return Format("%.2f MB", ABytes / 1048576.0);
  return Format("%.2f GB", ABytes / 1073741824.0);
}

std::string DurationText(int64_t AMicroseconds) {
  int64_t totalSeconds = AMicroseconds / 1000000;
  int64_t hours = totalSeconds / 3600;
  int64_t minutes = totalSeconds / 60 % 60;
  int64_t seconds = totalSeconds % 60;
  int64_t ms = (AMicroseconds % 1000000) * 1000 / 1000000;
  return Format("%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(hours), static_cast<long long>(minutes),
                static_cast<long long>(seconds), static_cast<long long>(ms));
}

std::string OpenErrorText(const std::string& AName, int ACode) {
  switch (ACode) {
    case -42:
      return AName + ": Unknown format";
    case -33:
      return AName +
             ": Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
             "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
             "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.";
    case -22:
      return AName + ": Error while parsing header";
    case -12:
      return AName + ": memory allocation error occurred";
    case -5:
      return AName + ": I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
    case -2:
      return AName + ": no such file or directory";
    default:
      return AName + ": Error while opening file";
  }
}

std::string MediaTypeName(int AType) {
  switch (AType) {
    case 0:
      return "Video";
    case 1:
      return "Audio";
    case 2:
      return "Data";
    case 3:
      return "Subtitle";
    case 4:
      return "Attachment";
    default:
      return "Unknown";
  }
}

// ---- Local date-times ----

double LocalOffsetDays() {
  time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  return static_cast<double>(local.tm_gmtoff) / 86400.0;
}

double UnixToLocalDateTime(int64_t ASeconds) {
  return static_cast<double>(ASeconds) / 86400.0 + 25569.0 + LocalOffsetDays();
}

int64_t LocalDateTimeToUnix(double AValue) {
  return RoundHalfEven(static_cast<long double>(AValue - 25569.0 - LocalOffsetDays()) * 86400.0L);
}

double NowLocalDateTime() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9) / 86400.0 + 25569.0 + LocalOffsetDays();
}

// ---- Number conversions ----

std::string Trim(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

std::string LowerCase(const std::string& S) {
  std::string out = S;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string UpperCase(const std::string& S) {
  std::string out = S;
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool SameText(const std::string& A, const std::string& B) { return LowerCase(A) == LowerCase(B); }

bool TryStrToInt64(const std::string& S, int64_t& AValue) {
  std::string t = Trim(S);
  if (t.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (t[i] == '-' || t[i] == '+') {
    negative = t[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < t.size() && t[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size()) return false;
  unsigned long long value = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    if (value > (ULLONG_MAX - static_cast<unsigned>(digit)) / static_cast<unsigned>(base)) return false;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (base == 16 && !negative) {
    // Hexadecimal texts may give the full bit pattern ($FFFFFFFFFFFFFFFF).
    AValue = static_cast<int64_t>(value);
    return true;
  }
  if (negative) {
    if (value > static_cast<unsigned long long>(INT64_MAX) + 1ULL) return false;
    AValue = static_cast<int64_t>(0ULL - value);
  } else {
    if (value > static_cast<unsigned long long>(INT64_MAX)) return false;
    AValue = static_cast<int64_t>(value);
  }
  return true;
}

bool TryStrToInt(const std::string& S, int& AValue) {
  int64_t v;
  if (!TryStrToInt64(S, v)) return false;
  std::string t = Trim(S);
  bool hex = t.find('$') != std::string::npos || t.find("0x") != std::string::npos || t.find("0X") != std::string::npos;
  if (hex && v >= 0 && v <= 0xFFFFFFFFLL) {
    AValue = static_cast<int>(static_cast<uint32_t>(v));  // $FFFFFFFF is -1, as a 32-bit pattern
    return true;
  }
  if (v < INT_MIN || v > INT_MAX) return false;
  AValue = static_cast<int>(v);
  return true;
}

int StrToInt(const std::string& S) {
  int v;
  if (!TryStrToInt(S, v)) throw EConvertError("'" + S + "' is not a valid integer value");
  return v;
}

int64_t StrToInt64(const std::string& S) {
  int64_t v;
  if (!TryStrToInt64(S, v)) throw EConvertError("'" + S + "' is not a valid integer value");
  return v;
}

int StrToIntDef(const std::string& S, int ADefault) {
  int v;
  return TryStrToInt(S, v) ? v : ADefault;
}

bool TryStrToFloat(const std::string& S, double& AValue) {
  std::string t = Trim(S);
  if (t.empty()) return false;
  static locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", nullptr);
  char* end = nullptr;
  errno = 0;
  double v = ::strtod_l(t.c_str(), &end, cLocale);
  if (end == t.c_str() || *end != '\0' || errno == ERANGE) return false;
  AValue = v;
  return true;
}

double StrToFloat(const std::string& S) {
  double v;
  if (!TryStrToFloat(S, v)) throw EConvertError("'" + S + "' is not a valid floating point value");
  return v;
}

int64_t RoundHalfEven(long double AValue) {
  long double floor = std::floor(AValue);
  long double diff = AValue - floor;
  int64_t f = static_cast<int64_t>(floor);
  if (diff > 0.5L) return f + 1;
  if (diff < 0.5L) return f;
  return (f % 2 == 0) ? f : f + 1;
}
