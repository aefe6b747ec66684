#pragma once
// Doubles and temporary folders for the window tests.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <functional>
#include <memory>
#include <vector>

#include "app/AppServices.h"
#include "app/Language.h"
#include "app/Settings.h"
#include "app/U_Main.h"
#include "tests/support/TempFolder.h"

// Records what the window asks of the desktop and answers with canned values.
class TServicesDouble : public TAppServices {
 public:
  struct TMessage {
    QString Text;
    QString Caption;
    QMessageBox::Icon Icon;
  };
  std::vector<TMessage> Messages;
  std::vector<QUrl> OpenedUrls;
  std::vector<TOpenDialogSettings> OpenDialogs;
  QString OpenFileAnswer;
  std::vector<QString> DirectoryTitles;
  QString DirectoryAnswer;

  // The answer to a question (a box with Yes and No); any other box is
  // answered with its first button.
  QMessageBox::StandardButton QuestionAnswer = QMessageBox::Yes;
  QMessageBox::StandardButton ShowMessageBox(QWidget*, const QString& AText, const QString& ACaption,
                                             QMessageBox::Icon AIcon, QMessageBox::StandardButtons AButtons) override {
    Messages.push_back({AText, ACaption, AIcon});
    return AButtons.testFlag(QMessageBox::Yes) && AButtons.testFlag(QMessageBox::No) ? QuestionAnswer : QMessageBox::Ok;
  }
  bool OpenUrl(const QUrl& AUrl) override {
    OpenedUrls.push_back(AUrl);
    return true;
  }
  QString GetOpenFileName(QWidget*, const TOpenDialogSettings& ADialog) override {
    OpenDialogs.push_back(ADialog);
    return OpenFileAnswer;
  }
  // The session's sleep inhibit ("inhibit: REASON", "release") and the
  // notifications ("SUMMARY|BODY"), in order.
  std::vector<QString> SessionCalls;
  std::vector<QString> Notifications;
  void InhibitSleep(const QString& AReason) override { SessionCalls.push_back(QStringLiteral("inhibit: ") + AReason); }
  void ReleaseSleep() override { SessionCalls.push_back(QStringLiteral("release")); }
  void Notify(const QString& ASummary, const QString& ABody) override {
    Notifications.push_back(ASummary + QLatin1Char('|') + ABody);
  }
  // Several files picked at once: OpenFilesAnswer, else OpenFileAnswer alone.
  QStringList OpenFilesAnswer;
  QStringList GetOpenFileNames(QWidget*, const TOpenDialogSettings& ADialog) override {
    OpenDialogs.push_back(ADialog);
    if (!OpenFilesAnswer.isEmpty()) return OpenFilesAnswer;
    return OpenFileAnswer.isEmpty() ? QStringList() : QStringList{OpenFileAnswer};
  }
  QString GetExistingDirectory(QWidget*, const QString& ATitle, const QString&) override {
    DirectoryTitles.push_back(ATitle);
    return DirectoryAnswer;
  }
};

// A throw-away program layout: bin/ (the executable's folder), xdg/vidmill/
// (the user's settings folder, not created) and cwd/ (the current directory).
class TTestFolders {
 public:
  TTestFolders() {
    QDir(RootPath()).mkpath(QStringLiteral("bin"));
    QDir(RootPath()).mkpath(QStringLiteral("cwd"));
  }

  QString Path(const QString& ARelative) const { return RootPath() + QLatin1Char('/') + ARelative; }
  QString ExeDir() const { return Path(QStringLiteral("bin/")); }
  QString UserDir() const { return Path(QStringLiteral("xdg/vidmill/")); }
  QString CurrentDir() const { return Path(QStringLiteral("cwd/")); }
  QString ExeConfig() const { return ExeDir() + QStringLiteral("Config.ini"); }
  QString UserConfig() const { return UserDir() + QStringLiteral("Config.ini"); }

  // AExeWritable false: nothing in the executable's folder can be written
  // (tests run as root, where permissions do not stop a write).
  TAppEnvironment Environment(bool AExeWritable = true) const {
    TAppEnvironment Env;
    Env.ExeDir = ExeDir();
    Env.UserConfigDir = UserDir();
    Env.CurrentDir = CurrentDir();
    const QString Exe = ExeDir();
    Env.IsWritable = [AExeWritable, Exe](const QString& AFileName) {
      return AExeWritable || !AFileName.startsWith(Exe);
    };
    return Env;
  }

 private:
  QString RootPath() const { return QString::fromStdString(Root.Path().string()); }

  TTempFolder Root;
};

inline void WriteBytes(const QString& AFileName, const QByteArray& ABytes) {
  QDir().mkpath(QFileInfo(AFileName).absolutePath());
  QFile File(AFileName);
  if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) abort();
  File.write(ABytes);
}

inline QByteArray ReadBytes(const QString& AFileName) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) return {};
  return File.readAll();
}

// The window on a test layout; the output folder of its settings must not
// point outside the temporary folders.
struct TWindowFixture {
  explicit TWindowFixture(bool AExeWritable = true) : ExeWritable(AExeWritable) {}

  TFrm_Main& Open() {
    Window = std::make_unique<TFrm_Main>(Services, Folders.Environment(ExeWritable));
    return *Window;
  }

  TTestFolders Folders;
  bool ExeWritable;
  std::shared_ptr<TServicesDouble> Services = std::make_shared<TServicesDouble>();
  std::unique_ptr<TFrm_Main> Window;
};

// The window's language for one scope: windows made in it show the texts of
// ALanguage, and the Chinese texts come back when it ends.
class TLanguageScope {
 public:
  explicit TLanguageScope(TUiLanguage ALanguage) : Installed(InstallUiLanguage(ALanguage)) {}
  ~TLanguageScope() { InstallUiLanguage(TUiLanguage::Chinese); }
  TLanguageScope(const TLanguageScope&) = delete;
  TLanguageScope& operator=(const TLanguageScope&) = delete;

  const bool Installed;  // the catalogue could be loaded
};
