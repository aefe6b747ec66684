#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/Text.h"
#include "tests/support/TempFolder.h"

TEST(SizeText, ChoosesTheUnitAtEachBoundary) {
  EXPECT_EQ(SizeText(0), "0 Byte");
  EXPECT_EQ(SizeText(1024), "1024 Byte");
  EXPECT_EQ(SizeText(1025), "1.00 KB");
  EXPECT_EQ(SizeText(1048576), "1024.00 KB");
  EXPECT_EQ(SizeText(1048577), "1.00 MB");
  EXPECT_EQ(SizeText(1073741824), "1024.00 MB");
  EXPECT_EQ(SizeText(1073741825), "1.00 GB");
  EXPECT_EQ(SizeText(5LL * 1073741824), "5.00 GB");
  EXPECT_EQ(SizeText(-5), "-5 Byte");
}

TEST(DurationText, FormatsHoursMinutesSecondsMilliseconds) {
  EXPECT_EQ(DurationText(3723004000LL), "01:02:03.004");
  EXPECT_EQ(DurationText(0), "00:00:00.000");
  EXPECT_EQ(DurationText(999999), "00:00:00.999");
  EXPECT_EQ(DurationText(100LL * 3600 * 1000000), "100:00:00.000");  // not limited to 24 hours
}

TEST(Paths, SplitIntoFolderAndName) {
  EXPECT_EQ(ExtractFilePathW(u"/v/clip.avi"), u"/v/");
  EXPECT_EQ(ExtractFileNameW(u"/v/clip.avi"), u"clip.avi");
  EXPECT_EQ(ExtractFilePathW(u"clip.avi"), u"");
  EXPECT_EQ(ExtractFileNameW(u"clip.avi"), u"clip.avi");
  EXPECT_EQ(ExtractFilePathW(u"/v/"), u"/v/");
  EXPECT_EQ(ExtractFileNameW(u"/v/"), u"");
  // A colon is an ordinary character of a file name here.
  EXPECT_EQ(ExtractFileNameW(u"/v/c:clip.avi"), u"c:clip.avi");
  EXPECT_EQ(ExtractFileExtW(u"/v/clip.avi"), u".avi");
  EXPECT_EQ(ExtractFileExtW(u"/v.d/clip"), u"");
  EXPECT_EQ(IncludeTrailingBackslash(u"/out"), u"/out/");
  EXPECT_EQ(IncludeTrailingBackslash(u"/out/"), u"/out/");
  EXPECT_EQ(IncludeTrailingBackslash(u""), u"/");
}

TEST(Paths, Surrogates) {
  std::u16string s = u"a\U0001F3AC/";
  EXPECT_EQ(SurrogateKindAt(s, 0), 0);
  EXPECT_EQ(SurrogateKindAt(s, 1), 1);
  EXPECT_EQ(SurrogateKindAt(s, 2), 2);
  EXPECT_EQ(SurrogateKindAt(s, 9), 0);
  EXPECT_EQ(SurrogateKindAt(s, -1), 0);
  EXPECT_TRUE(IsPathDelimiterAt(s, 3));
  EXPECT_FALSE(IsPathDelimiterAt(s, 0));
  EXPECT_TRUE(IsSurrogate(0xDBFF));
  EXPECT_FALSE(IsSurrogate(0xE000));
}

TEST(Paths, ExpandResolvesAgainstTheCurrentFolder) {
  std::u16string cwd = GetCurrentDirW();
  EXPECT_EQ(ExpandFileNameW(u"a/../b/./c.avi"), IncludeTrailingBackslash(cwd) + u"b/c.avi");
  EXPECT_EQ(ExpandFileNameW(u"/x/y/../z"), u"/x/z");
  EXPECT_EQ(ExpandFileNameW(u"/x/y/"), u"/x/y/");
}

TEST(Files, ExistenceAndSizes) {
  TTempFolder dir("vidmill-utils");
  std::u16string wdir = FromLocal8Bit(dir.Path().string());
  std::u16string big = IncludeTrailingBackslash(wdir) + u"三GB.bin";
  int fd = ::open(SystemPath(big).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 3LL * 1024 * 1024 * 1024), 0);  // sparse: no real disk use
  ::close(fd);
  EXPECT_EQ(FileSizeByName(big), 3LL * 1024 * 1024 * 1024);
  EXPECT_TRUE(FileExistsW(big));
  EXPECT_FALSE(FileExistsW(wdir));
  EXPECT_TRUE(DirectoryExistsW(wdir));
  EXPECT_FALSE(DirectoryExistsW(big));
  EXPECT_EQ(FileSizeByName(wdir + u"/missing"), -1);
  EXPECT_FALSE(FileExistsW(u""));
}

TEST(Files, ModuleDirIsTheExecutablesFolder) {
  std::u16string dir = ModuleDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), u'/');
  EXPECT_TRUE(FileExistsW(ModuleFileName()));
  EXPECT_EQ(ExtractFilePathW(ModuleFileName()), dir);
}

TEST(Files, EnvironmentAndCurrentFolder) {
  ::setenv("VIDMILL_TEST_VAR", "值", 1);
  EXPECT_EQ(GetEnvVarW(u"VIDMILL_TEST_VAR"), u"值");
  EXPECT_EQ(GetEnvVarW(u"VIDMILL_TEST_UNSET_VAR"), u"");
  std::u16string old = GetCurrentDirW();
  ASSERT_TRUE(SetCurrentDirW(u"/"));
  EXPECT_EQ(GetCurrentDirW(), u"/");
  ASSERT_TRUE(SetCurrentDirW(old));
  EXPECT_FALSE(SetCurrentDirW(u"/no/such/folder"));
}

TEST(SplitAt, HeadAndRest) {
  std::string s = "name=value=more", head;
  SplitAt(s, "=", true, head);
  EXPECT_EQ(head, "name");
  EXPECT_EQ(s, "value=more");
  SplitAt(s, "=", false, head);
  EXPECT_EQ(head, "value");
  EXPECT_EQ(s, "value=more");
  std::string none = "no separator";
  SplitAt(none, ",", false, head);
  EXPECT_EQ(head, "no separator");
  EXPECT_EQ(none, "no separator");
  SplitAt(none, ",", true, head);
  EXPECT_EQ(head, "no separator");
  EXPECT_EQ(none, "");
}

TEST(Clamp, LowWinsOverHigh) {
  EXPECT_EQ(Clamp(5, 0, 10), 5);
  EXPECT_EQ(Clamp(-1, 0, 10), 0);
  EXPECT_EQ(Clamp(11, 0, 10), 10);
  EXPECT_EQ(Clamp(3, 5, 1), 5);  // low is checked first
}

TEST(OpenErrorText, KnownCodesAndTheRest) {
  EXPECT_EQ(OpenErrorText("a.avi", -2), "a.avi: no such file or directory");
  EXPECT_EQ(OpenErrorText("a.avi", -42), "a.avi: Unknown format");
  EXPECT_EQ(OpenErrorText("a.avi", -22), "a.avi: Error while parsing header");
  EXPECT_EQ(OpenErrorText("a.avi", -12), "a.avi: memory allocation error occurred");
  EXPECT_EQ(OpenErrorText("a.avi", -5),
            "a.avi: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.");
  EXPECT_EQ(OpenErrorText("a.avi", -1234), "a.avi: Error while opening file");
  std::string image = OpenErrorText("img.jpg", -33);
  EXPECT_NE(image.find("Use '%d' to specify the image number:\r\n"), std::string::npos);
  EXPECT_NE(image.find("use 'img%03d.jpg'."), std::string::npos);
  // A name holding "%" is not read as a format.
  EXPECT_EQ(OpenErrorText("100%s.avi", -2), "100%s.avi: no such file or directory");
}

TEST(MediaTypeName, AllKinds) {
  EXPECT_EQ(MediaTypeName(0), "Video");
  EXPECT_EQ(MediaTypeName(1), "Audio");
  EXPECT_EQ(MediaTypeName(2), "Data");
  EXPECT_EQ(MediaTypeName(3), "Subtitle");
  EXPECT_EQ(MediaTypeName(4), "Attachment");
  EXPECT_EQ(MediaTypeName(-1), "Unknown");
  EXPECT_EQ(MediaTypeName(5), "Unknown");
}

TEST(Numbers, IntegersInDecimalAndDollarHex) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt(" -7 "), -7);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("$FFFFFF"), 0xFFFFFF);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_THROW(StrToInt("abc"), EConvertError);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_THROW(StrToInt("12abc"), EConvertError);
  EXPECT_THROW(StrToInt("3000000000"), EConvertError);
  EXPECT_EQ(StrToIntDef("x", 200), 200);
  try {
    StrToInt("abc");
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
}

TEST(Numbers, FloatsUseTheCLocale) {
  EXPECT_DOUBLE_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloat(" -0.25 "), -0.25);
  EXPECT_THROW(StrToFloat("1,5"), EConvertError);
  EXPECT_THROW(StrToFloat("abc"), EConvertError);
  double v = 0;
  EXPECT_FALSE(TryStrToFloat("", v));
}

TEST(Numbers, RoundHalfToEven) {
  EXPECT_EQ(RoundHalfEven(2.5L), 2);
  EXPECT_EQ(RoundHalfEven(3.5L), 4);
  EXPECT_EQ(RoundHalfEven(-2.5L), -2);
  EXPECT_EQ(RoundHalfEven(2.4999L), 2);
  EXPECT_EQ(RoundHalfEven(123.4L), 123);
  EXPECT_EQ(RoundHalfEven(299.7L), 300);
}

TEST(DateTimes, UnixAndLocalDateTimesRoundTrip) {
  ::setenv("TZ", "CST-8", 1);  // POSIX form: eight hours east of UTC
  ::tzset();
  EXPECT_NEAR(LocalOffsetDays(), 8.0 / 24.0, 1e-9);
  // 2000-01-01 00:00:00 UTC is 36526 days after 1899-12-30; local is +8 h.
  EXPECT_NEAR(UnixToLocalDateTime(946684800), 36526.0 + 8.0 / 24.0, 1e-9);
  EXPECT_EQ(LocalDateTimeToUnix(36526.0 + 8.0 / 24.0), 946684800);
  ::unsetenv("TZ");
  ::tzset();
}

TEST(Texts, TrimCaseAndFormat) {
  EXPECT_EQ(Trim("  a b \r\n"), "a b");
  EXPECT_EQ(LowerCase("AbC"), "abc");
  EXPECT_EQ(UpperCase("AbC"), "ABC");
  EXPECT_TRUE(SameText("WARNING", "warning"));
  EXPECT_EQ(Format("%d-%s", 3, "x"), "3-x");
  EXPECT_EQ(Format("%s", std::string(5000, 'z').c_str()).size(), 5000u);
}
