#include "runtime/Text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

std::string LocaleCharset() {
  const char* codeset = ::nl_langinfo(CODESET);
  return (codeset && *codeset) ? codeset : "ANSI_X3.4-1968";
}

std::optional<std::string> ConvertCharset(const std::string& AText, const char* AFrom, const char* ATo) {
  iconv_t cd = ::iconv_open(ATo, AFrom);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(AText.size() * 4 + 16);
  char* in = const_cast<char*>(AText.data());
  size_t inLeft = AText.size();
  char* dst = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    size_t r = ::iconv(cd, &in, &inLeft, &dst, &outLeft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        size_t done = static_cast<size_t>(dst - out.data());
        out.resize(out.size() * 2);
        dst = out.data() + done;
        outLeft = out.size() - done;
        continue;
      }
      ok = false;
      break;
    }
    if (r > 0) {  // irreversible (approximated) conversions do not count as exact
      ok = false;
      break;
    }
  }
  if (ok) {
    // Flush any shift state.
    if (::iconv(cd, nullptr, nullptr, &dst, &outLeft) == static_cast<size_t>(-1)) ok = false;
  }
  ::iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

namespace {

// The length of the UTF-8 sequence that the lead byte ALead (not ASCII)
// starts, with the lead's bits of the code point in ACodePoint; 0 for a byte
// that starts no sequence.
size_t Utf8LeadLength(unsigned char ALead, uint32_t& ACodePoint) {
  if ((ALead & 0xE0) == 0xC0) {
    ACodePoint = ALead & 0x1F;
    return 2;
  }
  if ((ALead & 0xF0) == 0xE0) {
    ACodePoint = ALead & 0x0F;
    return 3;
  }
  if ((ALead & 0xF8) == 0xF0) {
    ACodePoint = ALead & 0x07;
    return 4;
  }
  return 0;
}

}  // namespace

bool IsValidUtf8(const std::string& AText) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(AText.data());
  size_t n = AText.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    }
    len = Utf8LeadLength(c, cp);
    if (len == 0) return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::string Utf16ToUtf8(const std::u16string& AText) {
  std::string out;
  out.reserve(AText.size() * 3);
  for (size_t i = 0; i < AText.size(); ++i) {
    uint32_t cp = AText[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (AText[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& AText) {
  std::u16string out;
  out.reserve(AText.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(AText.data());
  size_t n = AText.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else {
      len = Utf8LeadLength(c, cp);
      bool ok = len > 0 && i + len <= n;
      for (size_t k = 1; ok && k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80)
          ok = false;
        else
          cp = (cp << 6) | (s[i + k] & 0x3F);
      }
      if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        len = 1;
      }
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

namespace {
bool LocaleIsUtf8() {
  std::string cs = LocaleCharset();
  return cs == "UTF-8" || cs == "utf-8" || cs == "utf8" || cs == "UTF8";
}
}  // namespace

std::string ToLocal8Bit(const std::u16string& AText, bool* ALossless) {
  if (LocaleIsUtf8()) {
    bool lossless = true;
    for (size_t i = 0; i < AText.size(); ++i) {
      char16_t c = AText[i];
      if (c >= 0xD800 && c <= 0xDBFF) {
        if (i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF)
          ++i;
        else
          lossless = false;
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        lossless = false;
      }
    }
    if (ALossless) *ALossless = lossless;
    return Utf16ToUtf8(AText);
  }
  // Convert character by character so that unrepresentable ones become "?".
  const std::string charset = LocaleCharset();
  std::string out;
  bool lossless = true;
  std::string utf8 = Utf16ToUtf8(AText);
  if (auto whole = ConvertCharset(utf8, "UTF-8", charset.c_str())) {
    if (ALossless) *ALossless = true;
    return *whole;
  }
  for (size_t i = 0; i < AText.size(); ++i) {
    std::u16string one(1, AText[i]);
    if (AText[i] >= 0xD800 && AText[i] <= 0xDBFF && i + 1 < AText.size()) one += AText[++i];
    auto piece = ConvertCharset(Utf16ToUtf8(one), "UTF-8", charset.c_str());
    if (piece) {
      out += *piece;
    } else {
      out += '?';
      lossless = false;
    }
  }
  if (ALossless) *ALossless = lossless;
  return out;
}

std::u16string FromLocal8Bit(const std::string& AText) {
  if (LocaleIsUtf8()) return Utf8ToUtf16(AText);
  const std::string charset = LocaleCharset();
  if (auto utf8 = ConvertCharset(AText, charset.c_str(), "UTF-8")) return Utf8ToUtf16(*utf8);
  std::u16string out;
  for (char c : AText) {
    auto piece = ConvertCharset(std::string(1, c), charset.c_str(), "UTF-8");
    out += piece ? Utf8ToUtf16(*piece) : std::u16string(1, u'\uFFFD');
  }
  return out;
}
