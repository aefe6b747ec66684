#pragma once
// Character-set conversions. Wide texts (file names) are UTF-16; 8-bit texts
// handed to the operating system and the media libraries are in the locale's
// character set (nl_langinfo(CODESET) after setlocale(LC_ALL, "")), normally
// UTF-8. Window texts and the settings file use UTF-8.

#include <optional>
#include <string>

// The locale's character set name as iconv knows it (for example "UTF-8" or
// "ANSI_X3.4-1968").
std::string LocaleCharset();

// Converts AText from one character set to another. Empty when a character
// cannot be converted (the conversion is exact or nothing).
std::optional<std::string> ConvertCharset(const std::string& AText, const char* AFrom, const char* ATo);

bool IsValidUtf8(const std::string& AText);

std::string Utf16ToUtf8(const std::u16string& AText);
std::u16string Utf8ToUtf16(const std::string& AText);

// Wide text to the locale's character set; characters it cannot represent
// become "?". ALossless (when given) tells whether every character survived.
std::string ToLocal8Bit(const std::u16string& AText, bool* ALossless = nullptr);
// Locale text to wide text; bytes that are not valid in the locale's
// character set become U+FFFD.
std::u16string FromLocal8Bit(const std::string& AText);

// Wide text of a UTF-8 literal, for readable code: W("同一目录").
inline std::u16string W(const char* AUtf8) { return Utf8ToUtf16(AUtf8); }
