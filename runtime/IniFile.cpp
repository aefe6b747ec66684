#include "runtime/IniFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "runtime/FFUtils.h"
#include "runtime/Text.h"

namespace {

constexpr const char* kGbk = "GBK";

bool ReadWholeFile(const std::string& AFileName, std::string& AText) {
  std::ifstream in(AFileName, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  AText = ss.str();
  return true;
}

void WriteWholeFile(const std::string& AFileName, const std::string& AText) {
  errno = 0;
  std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
  if (out) out.write(AText.data(), static_cast<std::streamsize>(AText.size()));
  if (out) out.flush();
  if (!out) {
    int err = errno ? errno : EIO;
    throw std::runtime_error("Cannot write \"" + AFileName + "\": " + std::strerror(err));
  }
}

// Whether a settings file is code page 936 text. Invalid UTF-8 that GBK can
// read is GBK. Short GBK texts can also be valid UTF-8 ("同一目录" in GBK
// reads as four Greek/Cyrillic-range characters), so valid UTF-8 made only
// of two-byte sequences outside the Latin letters counts as GBK when every
// double-byte pair lies in the GB2312 area (lead A1..F7, trail A1..FE).
bool DetectGbk(const std::string& AText) {
  if (!ConvertCharset(AText, kGbk, "UTF-8")) return false;
  if (!IsValidUtf8(AText)) return true;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(AText.data());
  const size_t n = AText.size();
  bool beyondLatin = false;
  for (size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    if ((s[i] & 0xE0) != 0xC0) return false;  // a three- or four-byte sequence: real UTF-8
    uint32_t cp = ((s[i] & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
    if (cp >= 0x250) beyondLatin = true;
    i += 2;
  }
  if (!beyondLatin) return false;
  for (size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    if (s[i] < 0xA1 || s[i] > 0xF7 || i + 1 >= n || s[i + 1] < 0xA1 || s[i + 1] > 0xFE) return false;
    i += 2;
  }
  return true;
}

}  // namespace

TIniFile::TIniFile(std::string AFileName) : FFileName(std::move(AFileName)) {
  std::string text;
  if (!ReadWholeFile(FFileName, text)) return;
  FExists = true;
  // A byte order mark stays part of the first line's raw bytes; parsing skips it.
  FGbk = DetectGbk(text);
  Parse(text);
}

void TIniFile::Parse(const std::string& AText) {
  FLines.clear();
  FLineBreak = AText.find("\r\n") != std::string::npos || AText.find('\n') == std::string::npos ? "\r\n" : "\n";
  std::string section;
  size_t start = 0;
  while (start < AText.size()) {
    size_t lf = AText.find('\n', start);
    size_t end = lf == std::string::npos ? AText.size() : lf;
    TLine line;
    line.Raw = AText.substr(start, end - start);
    if (lf != std::string::npos) line.Break = "\n";
    if (!line.Raw.empty() && line.Raw.back() == '\r') {
      line.Raw.pop_back();
      line.Break = "\r" + line.Break;
    }
    std::string utf8 = line.Raw;
    if (FGbk) utf8 = ConvertCharset(line.Raw, kGbk, "UTF-8").value_or(line.Raw);
    if (FLines.empty() && utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) utf8.erase(0, 3);
    std::string t = Trim(utf8);
    if (!t.empty() && t.front() == '[' && t.back() == ']') {
      section = Trim(t.substr(1, t.size() - 2));
      line.Section = section;
    } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
      size_t eq = t.find('=');
      if (eq != std::string::npos && eq > 0) {
        line.Section = section;
        line.Key = Trim(t.substr(0, eq));
        line.Value = Trim(t.substr(eq + 1));
      }
    }
    FLines.push_back(std::move(line));
    start = end + 1;
  }
}

std::string TIniFile::ReadString(const std::string& ASection, const std::string& AIdent,
                                 const std::string& ADefault) const {
  for (const TLine& line : FLines)
    if (!line.Key.empty() && SameText(line.Section, ASection) && SameText(line.Key, AIdent)) return line.Value;
  return ADefault;
}

int TIniFile::ReadInteger(const std::string& ASection, const std::string& AIdent, int ADefault) const {
  return StrToIntDef(ReadString(ASection, AIdent, ""), ADefault);
}

std::string TIniFile::Encode(const std::string& AUtf8) const {
  if (!FGbk) return AUtf8;
  return ConvertCharset(AUtf8, "UTF-8", kGbk).value_or(AUtf8);
}

void TIniFile::WriteString(const std::string& ASection, const std::string& AIdent, const std::string& AValue) {
  if (FGbk && !ConvertCharset(AValue, "UTF-8", kGbk)) {
    // The value has characters code page 936 cannot hold: store the whole
    // file as UTF-8 from now on rather than lose them.
    for (TLine& line : FLines) line.Raw = ConvertCharset(line.Raw, kGbk, "UTF-8").value_or(line.Raw);
    FGbk = false;
  }
  const std::string raw = Encode(AIdent + "=" + AValue);
  int sectionLine = -1;
  int lastInSection = -1;
  bool done = false;
  for (size_t i = 0; i < FLines.size(); ++i) {
    TLine& line = FLines[i];
    bool header = line.Key.empty() && !line.Section.empty();
    if (header) {
      if (sectionLine >= 0 && lastInSection >= 0) break;  // the section ended
      if (SameText(line.Section, ASection)) {
        sectionLine = static_cast<int>(i);
        lastInSection = static_cast<int>(i);
      }
      continue;
    }
    if (sectionLine < 0) continue;
    if (!line.Key.empty() && SameText(line.Section, ASection)) {
      lastInSection = static_cast<int>(i);
      if (SameText(line.Key, AIdent)) {
        line.Raw = raw;
        line.Value = AValue;
        done = true;
        break;
      }
    }
  }
  if (!done) {
    TLine line;
    line.Raw = raw;
    line.Section = ASection;
    line.Key = AIdent;
    line.Value = AValue;
    line.Break = FLineBreak;
    size_t at;
    if (sectionLine < 0) {
      TLine header;
      header.Raw = Encode("[" + ASection + "]");
      header.Section = ASection;
      header.Break = FLineBreak;
      at = FLines.size();
      FLines.push_back(std::move(header));
      FLines.push_back(std::move(line));
    } else {
      at = static_cast<size_t>(lastInSection) + 1;
      FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
    }
    // The line before the new ones ends with a line break now.
    if (at > 0 && FLines[at - 1].Break.empty()) FLines[at - 1].Break = FLineBreak;
  }
  WriteWholeFile(FFileName, Serialize());
  FExists = true;
}

std::string TIniFile::Serialize() const {
  std::string out;
  for (const TLine& line : FLines) out += line.Raw + line.Break;
  return out;
}

void TIniFile::SaveAs(const std::string& AFileName) {
  WriteWholeFile(AFileName, Serialize());
  FFileName = AFileName;
  FExists = true;
}
