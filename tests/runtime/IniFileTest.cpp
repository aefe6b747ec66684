#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "runtime/IniFile.h"
#include "tests/support/TempFolder.h"

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void Write(const std::string& ABytes) {
    std::ofstream out(Path, std::ios::binary);
    out << ABytes;
  }
  std::string Read() const {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  TTempFolder Dir{"vidmill-ini"};
  std::string Path = Dir / "Config.ini";
};

}  // namespace

TEST_F(IniFileTest, MissingFileGivesDefaults) {
  TIniFile ini(Path);
  EXPECT_FALSE(ini.Exists());
  EXPECT_EQ(ini.ReadString("Config", "dir", ""), "");
  EXPECT_EQ(ini.ReadString("Config", "Thread_Count", "none"), "none");
  EXPECT_EQ(ini.ReadInteger("Config", "Thread_Priority", -1), -1);
}

TEST_F(IniFileTest, ReadsUtf8WithSectionsCaseAndBlanks) {
  Write(
      "\xEF\xBB\xBF; comment\r\n[Other]\r\ndir=wrong\r\n[config]\r\n  DIR = 同一目录 \r\nThread_Priority=$3\r\n"
      "Thread_Count=abc\r\n");
  TIniFile ini(Path);
  EXPECT_TRUE(ini.Exists());
  EXPECT_FALSE(ini.IsGbk());
  EXPECT_EQ(ini.ReadString("Config", "dir", ""), "同一目录");
  EXPECT_EQ(ini.ReadInteger("Config", "Thread_Priority", -1), 3);
  EXPECT_EQ(ini.ReadInteger("Config", "Thread_Count", 1), 1);  // not an integer
  EXPECT_EQ(ini.ReadString("Other", "dir", ""), "wrong");
}

TEST_F(IniFileTest, ReadsCodePage936WhenNotUtf8) {
  // "[Config]\r\nappname=视频转换\r\ndir=同一目录\r\n" in GBK.
  Write("[Config]\r\nappname=\xCA\xD3\xC6\xB5\xD7\xAA\xBB\xBB\r\ndir=\xCD\xAC\xD2\xBB\xC4\xBF\xC2\xBC\r\n");
  TIniFile ini(Path);
  EXPECT_TRUE(ini.IsGbk());
  EXPECT_EQ(ini.ReadString("Config", "appname", ""), "视频转换");
  EXPECT_EQ(ini.ReadString("Config", "dir", ""), "同一目录");
}

TEST_F(IniFileTest, ShortGbkTextThatIsAlsoValidUtf8IsStillGbk) {
  // The GBK bytes of 同一目录 happen to be valid UTF-8 too.
  Write("[Config]\r\ndir=\xCD\xAC\xD2\xBB\xC4\xBF\xC2\xBC\r\n");
  TIniFile ini(Path);
  EXPECT_TRUE(ini.IsGbk());
  EXPECT_EQ(ini.ReadString("Config", "dir", ""), "同一目录");
  // Latin letters in UTF-8 stay UTF-8 although GBK could read them too.
  Write("[Config]\r\ndir=/home/zo\xC3\xA9/vid\xC3\xA9os/\r\n");
  TIniFile latin(Path);
  EXPECT_FALSE(latin.IsGbk());
  EXPECT_EQ(latin.ReadString("Config", "dir", ""), "/home/zoé/vidéos/");
  // So do Cyrillic names with letters whose UTF-8 bytes leave the GB2312 area.
  Write("[Config]\r\ndir=/фильмы/\r\n");
  EXPECT_FALSE(TIniFile(Path).IsGbk());
}

TEST_F(IniFileTest, WritingOneKeyKeepsEveryOtherLineByteForByte) {
  const std::string before =
      "; settings\r\n[Config]\r\nappname=Vidmill\r\n  dir = /old/ \r\nThread_Count=2\n[Extra]\r\nkey=v";
  Write(before);
  TIniFile ini(Path);
  ini.WriteString("Config", "dir", "/new/输出/");
  EXPECT_EQ(Read(), "; settings\r\n[Config]\r\nappname=Vidmill\r\ndir=/new/输出/\r\nThread_Count=2\n[Extra]\r\nkey=v");
  EXPECT_EQ(TIniFile(Path).ReadString("Config", "dir", ""), "/new/输出/");
}

TEST_F(IniFileTest, NewKeysGoToTheEndOfTheirSectionOrANewOne) {
  Write("[Config]\nappname=Vidmill\n\n[Extra]\nkey=v\n");
  TIniFile ini(Path);
  ini.WriteString("Config", "dir", "/out/");
  ini.WriteString("New", "x", "1");
  EXPECT_EQ(Read(), "[Config]\nappname=Vidmill\ndir=/out/\n\n[Extra]\nkey=v\n[New]\nx=1\n");
}

TEST_F(IniFileTest, MissingFileIsCreatedOnWrite) {
  TIniFile ini(Path);
  ini.WriteString("Config", "dir", "同一目录");
  EXPECT_EQ(Read(), "[Config]\r\ndir=同一目录\r\n");
}

TEST_F(IniFileTest, Gbk_FileStaysGbkAndSwitchesToUtf8OnlyWhenItMust) {
  Write("[Config]\r\nappname=\xCA\xD3\xC6\xB5\r\ndir=x\r\n");
  {
    TIniFile ini(Path);
    ini.WriteString("Config", "dir", "同一目录");
    EXPECT_EQ(Read(), "[Config]\r\nappname=\xCA\xD3\xC6\xB5\r\ndir=\xCD\xAC\xD2\xBB\xC4\xBF\xC2\xBC\r\n");
  }
  {
    TIniFile ini(Path);
    ini.WriteString("Config", "dir", "/片\U0001F3AC/");  // no GBK form
    EXPECT_EQ(Read(), "[Config]\r\nappname=视频\r\ndir=/片\U0001F3AC/\r\n");
  }
}

TEST_F(IniFileTest, UnwritableTargetThrowsWithTheSystemMessage) {
  TIniFile ini(Dir / "no-such-folder/Config.ini");
  try {
    ini.WriteString("Config", "dir", "x");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
  }
}

TEST_F(IniFileTest, SaveAsCarriesTheContentsOver) {
  Write("[Config]\nappname=Vidmill\nappver=0.1.0\n");
  TIniFile ini(Path);
  std::string other = Dir / "copy.ini";
  ini.SaveAs(other);
  ini.WriteString("Config", "dir", "/d/");
  TIniFile copy(other);
  EXPECT_EQ(copy.ReadString("Config", "appver", ""), "0.1.0");
  EXPECT_EQ(copy.ReadString("Config", "dir", ""), "/d/");
  EXPECT_EQ(TIniFile(Path).ReadString("Config", "dir", "none"), "none");  // the original is untouched
}
