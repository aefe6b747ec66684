#pragma once
// The window with the converter: a test layout whose executable folder has
// the media libraries ("LibAV", linked to the build's), generated clips
// copied under names of the test's choosing, and waits that let the
// window's queued notifications run.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <chrono>
#include <functional>
#include <string>

#include "converter/Vidmill.h"
#include "runtime/FFUtils.h"
#include "runtime/Threads.h"
#include "tests/app/AppTestSupport.h"
#include "tests/media/TestMedia.h"

// Records the initial folder of the folder dialog as well.
class TBatchServices : public TServicesDouble {
 public:
  std::vector<QString> DirectoryStarts;
  QString GetExistingDirectory(QWidget* AOwner, const QString& ATitle, const QString& AInitialDir) override {
    DirectoryStarts.push_back(AInitialDir);
    return TServicesDouble::GetExistingDirectory(AOwner, ATitle, AInitialDir);
  }
};

// Small generated clips (two seconds, 160x120).
inline testmedia::ClipSpec SmallClip(const std::string& AContainer) {
  testmedia::ClipSpec Spec;
  Spec.container = AContainer;
  Spec.width = 160;
  Spec.height = 120;
  Spec.durationSec = 2.0;
  return Spec;
}

class ConversionTest : public ::testing::Test {
 protected:
  // The window on settings with AThreadCount and the output folder out/.
  TFrm_Main& Open(const QString& AThreadCount = QStringLiteral("2")) {
    const QString LibAV = QString::fromStdU16String(ModuleDir()) + QStringLiteral("LibAV");
    if (!QFile::link(LibAV, F.Folders.ExeDir() + QStringLiteral("LibAV"))) ADD_FAILURE() << "no LibAV link";
    WriteBytes(F.Folders.ExeConfig(), "[Config]\nappname=Vidmill\nappver=0.1.0\nThread_Count=" + AThreadCount.toUtf8() +
                                          "\nThread_Priority=3\ndir=" + OutDir().toUtf8() + "\n");
    F.Services = Services;
    return F.Open();
  }
  TFrm_Main& W() { return *F.Window; }

  QString OutDir() const { return F.Folders.Path(QStringLiteral("out/")); }
  QString Out(const QString& AName) const { return OutDir() + AName; }

  // A copy of the clip of ASpec named AName in the sources folder.
  QString Source(const testmedia::ClipSpec& ASpec, const QString& AName) {
    const QString Path = F.Folders.Path(QStringLiteral("src/")) + AName;
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile::remove(Path);
    if (!QFile::copy(QString::fromStdString(testmedia::CachedClip(ASpec)), Path)) ADD_FAILURE() << "copy";
    return Path;
  }
  QString Source(const std::string& AContainer, const QString& AName) { return Source(SmallClip(AContainer), AName); }

  // "添加文件" with the dialog answering AFileName, until its row is in.
  void AddClip(const QString& AFileName) {
    Services->OpenFileAnswer = AFileName;
    W().AddFile->trigger();
    EXPECT_TRUE(WaitAdded());
  }
  // Lets the window take the files being added until all are in.
  bool WaitAdded() {
    return WaitUntil([this] { return !W().Adding(); });
  }

  QTreeWidgetItem* Row(int AIndex) { return W().lvFiles->topLevelItem(AIndex); }
  int RowCount() { return W().lvFiles->topLevelItemCount(); }
  QStringList LogLines() { return W().mmolog->toPlainText().split(QLatin1Char('\n')); }
  // The last ACount lines of the log (the libraries' own lines come before).
  QStringList LastLogLines(int ACount) {
    const QStringList Lines = LogLines();
    return Lines.mid(std::max<qsizetype>(0, Lines.size() - ACount));
  }
  // The lines AText is the middle one of: "", AText..., "".
  bool LoggedBetweenEmptyLines(const QString& AStart) {
    const QStringList Lines = LogLines();
    for (int I = 1; I + 1 < Lines.size(); ++I)
      if (Lines[I].startsWith(AStart) && Lines[I - 1].isEmpty() && Lines[I + 1].isEmpty()) return true;
    return false;
  }

  // Lets the window's queued calls run until ADone() holds or the time is up.
  static bool WaitUntil(const std::function<bool()>& ADone, int ATimeoutMs = 30000) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    WaitServing(
        [&] {
          QCoreApplication::processEvents();
          return ADone() || std::chrono::steady_clock::now() > Until;
        },
        std::chrono::milliseconds(2));
    return ADone();
  }
  // The batch is over: only "清除" is left enabled.
  bool BatchOver() {
    return W().ClearFile->isEnabled() && !W().AddFile->isEnabled() && !W().DelFile->isEnabled() &&
           !W().Convert->isEnabled() && !W().Convert_Stop->isEnabled();
  }
  bool WaitBatchEnd() {
    return WaitUntil([this] { return BatchOver(); });
  }

  std::shared_ptr<TBatchServices> Services = std::make_shared<TBatchServices>();
  TWindowFixture F;
};

// Enabled states of AddFile, DelFile, ClearFile, Convert, Convert_Stop as
// a word of five letters (E enabled, - disabled), for readable failures.
inline std::string ActionStates(TFrm_Main& AWindow) {
  std::string States;
  for (QAction* Action : {AWindow.AddFile, AWindow.DelFile, AWindow.ClearFile, AWindow.Convert, AWindow.Convert_Stop})
    States += Action->isEnabled() ? 'E' : '-';
  return States;
}
