#include <clocale>

#include <gtest/gtest.h>

#include "runtime/Text.h"

namespace {
// Switches the process locale for one test.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* AName) : FOld(std::setlocale(LC_ALL, nullptr)) {
    EXPECT_NE(std::setlocale(LC_ALL, AName), nullptr) << AName;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, FOld.c_str()); }

 private:
  std::string FOld;
};
}  // namespace

TEST(Text, Utf16AndUtf8RoundTripIncludingSurrogatePairs) {
  std::u16string wide = u"clip 转换 \U0001F3AC.avi";
  std::string utf8 = Utf16ToUtf8(wide);
  EXPECT_EQ(utf8, "clip 转换 \xF0\x9F\x8E\xAC.avi");
  EXPECT_EQ(Utf8ToUtf16(utf8), wide);
  // An unpaired surrogate has no UTF-8 form and becomes U+FFFD.
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Text, Utf8Validation) {
  EXPECT_TRUE(IsValidUtf8("plain ascii"));
  EXPECT_TRUE(IsValidUtf8("同一目录"));
  EXPECT_FALSE(IsValidUtf8("\xCA\xD3\xC6\xB5"));  // GBK bytes of 视频
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // encoded surrogate
  EXPECT_FALSE(IsValidUtf8("\xE8\xBD"));          // truncated sequence
}

TEST(Text, CharsetConversionIsExactOrNothing) {
  auto gbk = ConvertCharset("同一目录", "UTF-8", "GBK");
  ASSERT_TRUE(gbk.has_value());
  EXPECT_EQ(*gbk, "\xCD\xAC\xD2\xBB\xC4\xBF\xC2\xBC");
  EXPECT_EQ(ConvertCharset(*gbk, "GBK", "UTF-8").value_or(""), "同一目录");
  EXPECT_FALSE(ConvertCharset("\U0001F3AC", "UTF-8", "GBK").has_value());
}

TEST(Text, LocaleConversionUnderUtf8PassesNamesUnchanged) {
  ScopedLocale locale("C.UTF-8");
  bool lossless = false;
  EXPECT_EQ(ToLocal8Bit(u"转换.avi", &lossless), "转换.avi");
  EXPECT_TRUE(lossless);
  EXPECT_EQ(FromLocal8Bit("转换.avi"), u"转换.avi");
}

TEST(Text, LocaleConversionUnderAsciiMarksLoss) {
  ScopedLocale locale("C");
  bool lossless = true;
  EXPECT_EQ(ToLocal8Bit(u"a转b", &lossless), "a?b");
  EXPECT_FALSE(lossless);
  EXPECT_EQ(ToLocal8Bit(u"plain.avi", &lossless), "plain.avi");
  EXPECT_TRUE(lossless);
  EXPECT_EQ(FromLocal8Bit("x\xE8y"), u"x\uFFFDy");
}
