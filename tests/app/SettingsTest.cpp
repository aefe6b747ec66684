// The settings file: where it is read and written, what start-up does with
// its values (caption, output folder) and what close writes back.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>

#include "app/Settings.h"
#include "runtime/FFUtils.h"
#include "runtime/IniFile.h"
#include "runtime/Text.h"
#include "tests/app/AppTestSupport.h"

namespace {

const QByteArray kSameFolderUtf8 = "\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95";
// "同一目录" in code page 936. These bytes also happen to be valid UTF-8.
const QByteArray kSameFolderGbk = "\xCD\xAC\xD2\xBB\xC4\xBF\xC2\xBC";

QByteArray Config(const QByteArray& ADir) {
  return "; shipped settings\r\n[Config]\r\nappname=Vidmill\r\nappver=0.1.0\r\n"
         "Thread_Count=2\r\nThread_Priority=3\r\ndir=" +
         ADir + "\r\n\r\n[Other]\r\ndir=keep\r\n";
}

// Every line of ABytes, with the value of the line "dir=" in section
// "Config" replaced by AValue.
QByteArray WithConfigDir(const QByteArray& ABytes, const QByteArray& AValue) {
  QList<QByteArray> Lines = ABytes.split('\n');
  bool InConfig = false;
  for (QByteArray& Line : Lines) {
    if (Line.startsWith('[')) InConfig = Line.startsWith("[Config]");
    if (InConfig && Line.startsWith("dir=")) Line = "dir=" + AValue + (Line.endsWith('\r') ? "\r" : "");
  }
  return Lines.join('\n');
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up

TEST(StartUpSettingsTest, CaptionAndValuesFromUtf8File) {
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), Config(kSameFolderUtf8));
  TFrm_Main& W = F.Open();
  EXPECT_EQ(W.windowTitle(), QStringLiteral("Vidmill 0.1.0"));
  EXPECT_EQ(W.edtOutPath->text(), QStringLiteral("同一目录"));
  EXPECT_EQ(W.ThreadCountText, QStringLiteral("2"));
  EXPECT_EQ(W.ThreadPriority, 3);
  EXPECT_TRUE(F.Services->Messages.empty());
  // "Next to each source" is not a folder to create.
  EXPECT_FALSE(QFileInfo::exists(F.Folders.CurrentDir() + QStringLiteral("同一目录")));
}

TEST(StartUpSettingsTest, Gbk936FileReadsAsChinese) {
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), Config(kSameFolderGbk));
  TFrm_Main& W = F.Open();
  EXPECT_EQ(W.edtOutPath->text(), QStringLiteral("同一目录"));
  EXPECT_EQ(W.windowTitle(), QStringLiteral("Vidmill 0.1.0"));
  EXPECT_TRUE(F.Services->Messages.empty());
  EXPECT_FALSE(QFileInfo::exists(F.Folders.CurrentDir() + QStringLiteral("同一目录")));
  EXPECT_TRUE(QDir(F.Folders.CurrentDir()).isEmpty());
}

TEST(StartUpSettingsTest, MissingFileGivesDefaultsAndReportsTheFolder) {
  TWindowFixture F;
  TFrm_Main& W = F.Open();
  EXPECT_EQ(W.windowTitle(), QStringLiteral(" "));
  EXPECT_EQ(W.edtOutPath->text(), QString());
  EXPECT_EQ(W.ThreadCountText, QString());
  EXPECT_EQ(W.ThreadPriority, -1);
  // An empty folder text cannot be created: reported, and the window opens.
  ASSERT_EQ(F.Services->Messages.size(), 1u);
  EXPECT_TRUE(F.Services->Messages[0].Text.contains(QStringLiteral("无法创建目录")));
  EXPECT_EQ(F.Services->Messages[0].Icon, QMessageBox::Critical);
  EXPECT_FALSE(F.Services->Messages[0].Caption.isEmpty());
  W.show();
  EXPECT_TRUE(W.isVisible());
}

TEST(StartUpSettingsTest, MissingFolderWithExistingParentIsCreated) {
  TWindowFixture F;
  const QString Out = F.Folders.Path(QStringLiteral("输出/"));
  WriteBytes(F.Folders.ExeConfig(), Config(Out.toUtf8()));
  TFrm_Main& W = F.Open();
  EXPECT_EQ(W.edtOutPath->text(), Out);
  EXPECT_TRUE(QFileInfo(Out).isDir());
  EXPECT_TRUE(F.Services->Messages.empty());
}

TEST(StartUpSettingsTest, RelativeFolderIsCreatedInTheCurrentDirectory) {
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), Config("out"));
  F.Open();
  EXPECT_TRUE(QFileInfo(F.Folders.CurrentDir() + QStringLiteral("out")).isDir());
  EXPECT_TRUE(F.Services->Messages.empty());
}

TEST(StartUpSettingsTest, ExistingFolderIsLeftAlone) {
  TWindowFixture F;
  const QString Out = F.Folders.Path(QStringLiteral("out"));
  ASSERT_TRUE(QDir().mkpath(Out));
  WriteBytes(Out + QStringLiteral("/kept.txt"), "x");
  WriteBytes(F.Folders.ExeConfig(), Config(Out.toUtf8()));
  F.Open();
  EXPECT_TRUE(F.Services->Messages.empty());
  EXPECT_TRUE(QFileInfo::exists(Out + QStringLiteral("/kept.txt")));
}

TEST(StartUpSettingsTest, FolderWithMissingParentIsReportedNotCreated) {
  TWindowFixture F;
  const QString Out = F.Folders.Path(QStringLiteral("missing/out/"));
  WriteBytes(F.Folders.ExeConfig(), Config(Out.toUtf8()));
  TFrm_Main& W = F.Open();
  ASSERT_EQ(F.Services->Messages.size(), 1u);
  EXPECT_TRUE(F.Services->Messages[0].Text.contains(Out));
  EXPECT_FALSE(QFileInfo::exists(F.Folders.Path(QStringLiteral("missing"))));
  EXPECT_EQ(W.edtOutPath->text(), Out);
}

TEST(StartUpSettingsTest, UserFileTakesPrecedence) {
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), Config(kSameFolderUtf8));
  WriteBytes(F.Folders.UserConfig(), "[Config]\nappname=Mine\nappver=2\ndir=" + kSameFolderUtf8 + "\n");
  TFrm_Main& W = F.Open();
  EXPECT_EQ(W.windowTitle(), QStringLiteral("Mine 2"));
  EXPECT_EQ(W.ThreadPriority, -1);
}

// ---------------------------------------------------------------------------
// Close

TEST(CloseSettingsTest, DirWrittenBesideTheExecutableKeepingOtherLines) {
  TWindowFixture F;
  const QByteArray Original = Config(kSameFolderUtf8);
  WriteBytes(F.Folders.ExeConfig(), Original);
  TFrm_Main& W = F.Open();
  const QString Out = F.Folders.Path(QStringLiteral("新目录/"));
  W.edtOutPath->setText(Out);
  W.show();
  EXPECT_TRUE(W.close());
  EXPECT_EQ(ReadBytes(F.Folders.ExeConfig()), WithConfigDir(Original, Out.toUtf8()));
  EXPECT_FALSE(QFileInfo::exists(F.Folders.UserConfig()));
}

TEST(CloseSettingsTest, GbkFileStaysGbk) {
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), Config(kSameFolderGbk));
  TFrm_Main& W = F.Open();
  W.edtOutPath->setText(QStringLiteral("同一目录"));
  W.close();
  EXPECT_EQ(ReadBytes(F.Folders.ExeConfig()), Config(kSameFolderGbk));
}

TEST(CloseSettingsTest, UnwritableExecutableFolderWritesTheUserFile) {
  TWindowFixture F(/*AExeWritable=*/false);
  const QByteArray Original = Config(kSameFolderUtf8);
  WriteBytes(F.Folders.ExeConfig(), Original);
  TFrm_Main& W = F.Open();
  const QString Out = F.Folders.Path(QStringLiteral("out/"));
  W.edtOutPath->setText(Out);
  W.close();

  EXPECT_EQ(ReadBytes(F.Folders.ExeConfig()), Original);
  ASSERT_TRUE(QFileInfo(F.Folders.UserConfig()).isFile());
  EXPECT_EQ(ReadBytes(F.Folders.UserConfig()), WithConfigDir(Original, Out.toUtf8()));

  // The next start reads the user's file.
  F.Window.reset();
  TFrm_Main Again(std::make_shared<TServicesDouble>(), F.Folders.Environment(false));
  EXPECT_EQ(Again.edtOutPath->text(), Out);
  EXPECT_EQ(Again.windowTitle(), QStringLiteral("Vidmill 0.1.0"));
  EXPECT_EQ(Again.ThreadPriority, 3);
}

TEST(CloseSettingsTest, NoSettingsAnywhereCreatesTheUserFile) {
  TWindowFixture F(false);
  TFrm_Main& W = F.Open();
  W.edtOutPath->setText(QStringLiteral("同一目录"));
  W.close();
  EXPECT_FALSE(QFileInfo::exists(F.Folders.ExeConfig()));
  TIniFile Written(SystemPath(F.Folders.UserConfig().toStdU16String()));
  EXPECT_EQ(Written.ReadString("Config", "dir", ""), "同一目录");
}

TEST(CloseSettingsTest, WriteFailureIsLoggedNotThrown) {
  TWindowFixture F(false);
  WriteBytes(F.Folders.ExeConfig(), Config(kSameFolderUtf8));
  // The user's settings folder cannot be made: a file stands where its parent should be.
  WriteBytes(F.Folders.Path(QStringLiteral("xdg")), "not a folder");
  TFrm_Main& W = F.Open();
  W.show();
  EXPECT_TRUE(W.close());
  EXPECT_FALSE(W.isVisible());
  EXPECT_TRUE(W.mmolog->toPlainText().startsWith(QStringLiteral("***")));
  EXPECT_EQ(ReadBytes(F.Folders.ExeConfig()), Config(kSameFolderUtf8));
}

TEST(CloseSettingsTest, ExitMenuItemClosesThroughTheCloseSequence) {
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), Config(kSameFolderUtf8));
  TFrm_Main& W = F.Open();
  W.show();
  const QString Out = F.Folders.Path(QStringLiteral("exit/"));
  W.edtOutPath->setText(Out);
  W.N16->trigger();
  EXPECT_FALSE(W.isVisible());
  TIniFile Written(SystemPath(F.Folders.ExeConfig().toStdU16String()));
  EXPECT_EQ(QString::fromStdString(Written.ReadString("Config", "dir", "")), Out);
}

// ---------------------------------------------------------------------------
// Location policy on its own

TEST(SettingsLocationTest, WritesGoWhereTheFileWasReadWhenWritable) {
  TTestFolders Folders;
  WriteBytes(Folders.ExeConfig(), Config("a"));
  TAppSettings Settings(Folders.Environment(true));
  EXPECT_EQ(Settings.FileName(), Folders.ExeConfig());
  EXPECT_EQ(Settings.WriteString(QStringLiteral("dir"), QStringLiteral("b")), Folders.ExeConfig());
  EXPECT_EQ(Settings.ReadString(QStringLiteral("dir"), QString()), QStringLiteral("b"));
  EXPECT_EQ(ReadBytes(Folders.ExeConfig()), WithConfigDir(Config("a"), "b"));
}

TEST(SettingsLocationTest, UnwritableExeFileMovesToTheUserFileOnce) {
  TTestFolders Folders;
  WriteBytes(Folders.ExeConfig(), Config("a"));
  TAppSettings Settings(Folders.Environment(false));
  EXPECT_EQ(Settings.WriteString(QStringLiteral("dir"), QStringLiteral("b")), Folders.UserConfig());
  EXPECT_EQ(Settings.FileName(), Folders.UserConfig());
  EXPECT_EQ(Settings.WriteString(QStringLiteral("appver"), QStringLiteral("9")), Folders.UserConfig());
  EXPECT_EQ(ReadBytes(Folders.ExeConfig()), Config("a"));
  TAppSettings Reread(Folders.Environment(false));
  EXPECT_EQ(Reread.FileName(), Folders.UserConfig());
  EXPECT_EQ(Reread.ReadString(QStringLiteral("dir"), QString()), QStringLiteral("b"));
  EXPECT_EQ(Reread.ReadString(QStringLiteral("appver"), QString()), QStringLiteral("9"));
  EXPECT_EQ(Reread.ReadString(QStringLiteral("Thread_Count"), QString()), QStringLiteral("2"));
  EXPECT_EQ(Reread.ReadInteger(QStringLiteral("Thread_Priority"), -1), 3);
}

TEST(SettingsLocationTest, UserFileIsWrittenInPlace) {
  TTestFolders Folders;
  WriteBytes(Folders.ExeConfig(), Config("exe"));
  WriteBytes(Folders.UserConfig(), Config("user"));
  TAppSettings Settings(Folders.Environment(false));
  EXPECT_EQ(Settings.ReadString(QStringLiteral("dir"), QString()), QStringLiteral("user"));
  EXPECT_EQ(Settings.WriteString(QStringLiteral("dir"), QStringLiteral("new")), Folders.UserConfig());
  EXPECT_EQ(ReadBytes(Folders.UserConfig()), WithConfigDir(Config("user"), "new"));
  EXPECT_EQ(ReadBytes(Folders.ExeConfig()), Config("exe"));
}

TEST(SettingsLocationTest, FoldersGetTrailingSlashes) {
  TTestFolders Folders;
  TAppEnvironment Env = Folders.Environment();
  Env.ExeDir.chop(1);
  Env.UserConfigDir.chop(1);
  TAppSettings Settings(Env);
  EXPECT_EQ(Settings.ExeFileName(), Folders.ExeConfig());
  EXPECT_EQ(Settings.UserFileName(), Folders.UserConfig());
}

TEST(SettingsLocationTest, UserFolderFollowsXdgConfigHome) {
  const QByteArray SavedXdg = qgetenv("XDG_CONFIG_HOME");
  const QByteArray SavedHome = qgetenv("HOME");
  const bool HadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
  const bool HadHome = qEnvironmentVariableIsSet("HOME");

  qputenv("HOME", "/home/someone");
  qputenv("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(DefaultUserConfigDir(), QStringLiteral("/cfg/vidmill/"));
  qputenv("XDG_CONFIG_HOME", "relative/cfg");  // not absolute: ignored
  EXPECT_EQ(DefaultUserConfigDir(), QStringLiteral("/home/someone/.config/vidmill/"));
  qunsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(DefaultUserConfigDir(), QStringLiteral("/home/someone/.config/vidmill/"));

  if (HadHome)
    qputenv("HOME", SavedHome);
  else
    qunsetenv("HOME");
  if (HadXdg) qputenv("XDG_CONFIG_HOME", SavedXdg);
}

TEST(SettingsLocationTest, DefaultWritabilityCheck) {
  TTestFolders Folders;
  EXPECT_TRUE(CanWriteFile(Folders.ExeConfig()));
  EXPECT_FALSE(CanWriteFile(Folders.Path(QStringLiteral("no/such/folder/Config.ini"))));
}

TEST(ThreadPrioritySettingTest, LowByteZeroToThreeElseNormal) {
  EXPECT_EQ(ConvertPriorityFromSetting(0), tpIdle);
  EXPECT_EQ(ConvertPriorityFromSetting(1), tpLowest);
  EXPECT_EQ(ConvertPriorityFromSetting(2), tpLower);
  EXPECT_EQ(ConvertPriorityFromSetting(3), tpNormal);
  EXPECT_EQ(ConvertPriorityFromSetting(-1), tpNormal);
  EXPECT_EQ(ConvertPriorityFromSetting(4), tpNormal);
  EXPECT_EQ(ConvertPriorityFromSetting(6), tpNormal);
  EXPECT_EQ(ConvertPriorityFromSetting(255), tpNormal);
  EXPECT_EQ(ConvertPriorityFromSetting(256), tpIdle);
  EXPECT_EQ(ConvertPriorityFromSetting(258), tpLower);
  EXPECT_EQ(ConvertPriorityFromSetting(-256), tpIdle);
}

// ---------------------------------------------------------------------------
// The default file that the build puts beside the executable

#if defined(VIDMILL_CMAKE_COMMAND) && defined(VIDMILL_DEFAULT_CONFIG_SCRIPT)
TEST(DefaultConfigTest, WrittenOnceWithTheShippedValues) {
  TTestFolders Folders;
  auto Run = [&] {
    return QProcess::execute(QStringLiteral(VIDMILL_CMAKE_COMMAND),
                             {QStringLiteral("-DCONFIG_FILE=") + Folders.ExeConfig(),
                              QStringLiteral("-DAPP_VERSION=") + QStringLiteral(VIDMILL_PROJECT_VERSION),
                              QStringLiteral("-P"), QStringLiteral(VIDMILL_DEFAULT_CONFIG_SCRIPT)});
  };
  ASSERT_EQ(Run(), 0);
  TAppSettings Settings(Folders.Environment());
  EXPECT_EQ(Settings.ReadString(QStringLiteral("appname"), QString()), QStringLiteral("Vidmill"));
  EXPECT_EQ(Settings.ReadString(QStringLiteral("appver"), QString()), QStringLiteral(VIDMILL_PROJECT_VERSION));
  EXPECT_EQ(Settings.ReadString(QStringLiteral("Thread_Count"), QString()), QStringLiteral("2"));
  EXPECT_EQ(Settings.ReadInteger(QStringLiteral("Thread_Priority"), -1), 3);
  EXPECT_EQ(Settings.ReadString(QStringLiteral("dir"), QString()), QStringLiteral("同一目录"));
  EXPECT_TRUE(IsValidUtf8(ReadBytes(Folders.ExeConfig()).toStdString()));

  // A user's edit survives the next build.
  WriteBytes(Folders.ExeConfig(), "[Config]\ndir=/mine/\n");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadBytes(Folders.ExeConfig()), QByteArray("[Config]\ndir=/mine/\n"));
}
#endif
