#include "app/cli/CliJson.h"

#include <cinttypes>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at AText[AAt], 0 when there is none
// (a stray continuation byte, a truncated or overlong sequence, a surrogate
// or a code point past U+10FFFF).
size_t Utf8Length(std::string_view AText, size_t AAt) {
  const auto byte = [&](size_t AIndex) { return static_cast<unsigned char>(AText[AIndex]); };
  const unsigned char lead = byte(AAt);
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (AAt + length > AText.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(AAt + i) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(AAt + i) & 0x3Fu);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string JsonString(std::string_view AText) {
  std::string json = "\"";
  for (size_t i = 0; i < AText.size();) {
    const auto c = static_cast<unsigned char>(AText[i]);
    if (c >= 0x80) {
      const size_t length = Utf8Length(AText, i);
      json += length == 0 ? std::string_view("\\ufffd") : AText.substr(i, length);
      i += length == 0 ? 1 : length;
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      case '\b':
        json += "\\b";
        break;
      case '\f':
        json += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          json += escaped;
        } else {
          json += static_cast<char>(c);
        }
    }
  }
  return json + "\"";
}

TJsonLine::TJsonLine(std::string_view AEvent) : FText("{\"event\":" + JsonString(AEvent)) {}

TJsonLine& TJsonLine::Add(std::string_view AName, std::string_view AValue) {
  FText += "," + JsonString(AName) + ":" + JsonString(AValue);
  return *this;
}

TJsonLine& TJsonLine::Add(std::string_view AName, int64_t AValue) {
  FText += "," + JsonString(AName) + ":" + std::to_string(AValue);
  return *this;
}

TJsonLine& TJsonLine::AddNumber(std::string_view AName, double AValue, bool ANullBelowZero) {
  FText += "," + JsonString(AName) + ":";
  if (ANullBelowZero && AValue < 0) {
    FText += "null";
  } else {
    // Whole thousandths by hand: printf's decimal point is the locale's.
    const auto thousandths = static_cast<int64_t>(AValue * 1000 + (AValue < 0 ? -0.5 : 0.5));
    const int64_t whole = thousandths / 1000, part = thousandths % 1000;
    char number[48];
    std::snprintf(number, sizeof number, "%s%" PRId64 ".%03" PRId64, thousandths < 0 && whole == 0 ? "-" : "", whole,
                  part < 0 ? -part : part);
    FText += number;
  }
  return *this;
}

TJsonLine& TJsonLine::AddBool(std::string_view AName, bool AValue) {
  FText += "," + JsonString(AName) + (AValue ? ":true" : ":false");
  return *this;
}
