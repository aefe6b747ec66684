// Saves pictures of the main window on throw-away settings, to check the
// layout and that the Chinese texts render:
//   app_screenshot out.png [tab-index | about]
//   app_screenshot --batch during.png done.png [--tab N] FILE...
//   app_screenshot --play out.png FILE
// The second form adds the files, starts a batch on tab N (default 1, MP4;
// two tasks at a time, into a throw-away folder) and saves the window once a row is well under way and
// again when the batch is over. The third plays FILE in the preview panel
// and saves the screen area of the window 2.5 s in (the video is drawn
// into the panel's own X11 window, which a picture of the widgets misses;
// run it under Xvfb). The window speaks the user's language as the program
// does: LANGUAGE=en shows it in English.
#include <clocale>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/AppServices.h"
#include "app/FormUtils.h"
#include "app/GuiHandOver.h"
#include "app/Language.h"
#include "app/ProgressDelegate.h"
#include "app/TrackBar.h"
#include "app/U_Main.h"
#include "app/U_about.h"
#include "converter/Vidmill.h"
#include "player/FFPlay.h"
#include "runtime/FFUtils.h"
#include "runtime/Threads.h"

namespace {

// Lets the window take the files being added until all are in.
void WaitAdded(TFrm_Main& AWindow) {
  WaitServing([&] {
    QCoreApplication::processEvents();
    return !AWindow.Adding();
  });
}

bool Save(QWidget* AShot, const QString& AFileName) {
  // Few colours: an indexed, fully compressed picture stays small.
  const QImage Picture = AShot->grab().toImage().convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
  return Picture.save(AFileName, "PNG", 0);
}

// Throw-away settings in ARoot: bin/Config.ini with ADir as the output folder.
TAppEnvironment Environment(const QTemporaryDir& ARoot, const QByteArray& ADir) {
  QDir(ARoot.path()).mkpath(QStringLiteral("bin"));
  QFile Config(ARoot.filePath(QStringLiteral("bin/Config.ini")));
  if (Config.open(QIODevice::WriteOnly))
    Config.write("[Config]\nappname=Vidmill\nappver=0.1.0\nThread_Count=2\nThread_Priority=3\ndir=" + ADir + "\n");
  TAppEnvironment Env;
  Env.ExeDir = ARoot.filePath(QStringLiteral("bin/"));
  Env.UserConfigDir = ARoot.filePath(QStringLiteral("user/"));
  Env.CurrentDir = ARoot.path();
  return Env;
}

int Layout(QApplication& App, const QString& AOut, const QString& AWhich) {
  QTemporaryDir Root;
  TFrm_Main Window(nullptr, Environment(Root, "\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95"));
  auto* Row = new QTreeWidgetItem(Window.lvFiles);
  Row->setText(0, QStringLiteral("示例视频.avi"));
  Row->setText(1, QStringLiteral("125"));
  Row->setText(2, QStringLiteral("10485760"));
  Row->setText(4, QStringLiteral("42%"));
  Row->setText(7, QStringLiteral("1048576"));
  Window.lvFiles->setCurrentItem(Row);
  if (!AWhich.isEmpty() && AWhich != QLatin1String("about")) Window.PageControl1->setCurrentIndex(AWhich.toInt());
  Window.show();
  TAppServices Services;
  TFrm_about About(Window.AppName, Window.AppVersion, Services, &Window);
  QWidget* Shot = &Window;
  if (AWhich == QLatin1String("about")) {
    About.show();
    Shot = &About;
  }

  int Result = 1;
  QTimer::singleShot(500, [&] {
    Result = Save(Shot, AOut) ? 0 : 1;
    App.quit();
  });
  App.exec();
  return Result;
}

int Batch(QApplication& App, const QString& ADuring, const QString& ADone, QStringList AFiles) {
  int Tab = 1;  // MP4
  if (AFiles.size() > 2 && AFiles[0] == QLatin1String("--tab")) {
    Tab = AFiles[1].toInt();
    AFiles = AFiles.mid(2);
  }
  InstallGuiHandOver();
  QTemporaryDir Root;
  const QString OutDir = Root.filePath(QStringLiteral("out/"));
  TAppEnvironment Env = Environment(Root, OutDir.toUtf8());
  // The media libraries of the tool's own folder.
  QFile::link(QString::fromStdU16String(ModuleDir()) + QStringLiteral("LibAV"), Env.ExeDir + QStringLiteral("LibAV"));
  TFrm_Main Window(nullptr, Env);
  Window.Vidmill->SetProgressInterval(100);
  Window.PageControl1->setCurrentIndex(Tab);
  QStringList Files;
  for (const QString& File : AFiles) Files.append(QFileInfo(File).absoluteFilePath());
  Window.AddFiles(Files);
  WaitAdded(Window);
  if (Window.lvFiles->topLevelItemCount() == 0) {
    std::fprintf(stderr, "app_screenshot: no file could be added\n");
    return 1;
  }
  Window.show();

  int Result = 1;
  bool DuringSaved = false;
  QTimer Poll;
  Poll.setInterval(20);
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    if (!DuringSaved) {
      for (int I = 0; I < Window.lvFiles->topLevelItemCount(); ++I) {
        const int Percent = ProgressPercentOfText(Window.lvFiles->topLevelItem(I)->text(lcProgress));
        if (Percent >= 30 && Percent <= 80) {
          DuringSaved = Save(&Window, ADuring);
          break;
        }
      }
    }
    if (Window.ClearFile->isEnabled() && !Window.Convert_Stop->isEnabled()) {
      Poll.stop();
      QTimer::singleShot(300, [&] {
        Result = DuringSaved && Save(&Window, ADone) ? 0 : 1;
        if (!DuringSaved) std::fprintf(stderr, "app_screenshot: the batch was over before a row was half-way\n");
        App.quit();
      });
    }
  });
  QTimer::singleShot(300, [&] {
    Window.ConvertExecute();
    Poll.start();
  });
  App.exec();
  RemoveGuiHandOver();
  return Result;
}

// Adds AFolder and saves the window while its files are still coming in
// (the status line with its cancel button), then cancels the adding.
int AddingFolder(QApplication& App, const QString& AOut, const QString& AFolder) {
  InstallGuiHandOver();
  QTemporaryDir Root;
  TAppEnvironment Env = Environment(Root, Root.filePath(QStringLiteral("out/")).toUtf8());
  QFile::link(QString::fromStdU16String(ModuleDir()) + QStringLiteral("LibAV"), Env.ExeDir + QStringLiteral("LibAV"));
  TFrm_Main Window(nullptr, Env);
  Window.show();
  Window.AddFiles({QFileInfo(AFolder).absoluteFilePath()});
  int Result = 1;
  QTimer Poll;
  Poll.setInterval(20);
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    if (!Window.Adding()) {
      std::fprintf(stderr, "app_screenshot: the folder was added before it could be seen coming in\n");
      App.quit();
      return;
    }
    if (Window.lvFiles->topLevelItemCount() < 5 || Window.lblStatus->text().isEmpty()) return;
    Poll.stop();
    Result = Save(&Window, AOut) ? 0 : 1;
    Window.CancelAdding();
    App.quit();
  });
  Poll.start();
  App.exec();
  RemoveGuiHandOver();
  return Result;
}

int PlayInPanel(QApplication& App, const QString& AOut, const QString& AFile) {
  InstallGuiHandOver();
  QTemporaryDir Root;
  TAppEnvironment Env = Environment(Root, "\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95");
  QFile::link(QString::fromStdU16String(ModuleDir()) + QStringLiteral("LibAV"), Env.ExeDir + QStringLiteral("LibAV"));
  TFrm_Main Window(nullptr, Env);
  Window.AddFiles({QFileInfo(AFile).absoluteFilePath()});
  WaitAdded(Window);
  if (Window.lvFiles->topLevelItemCount() == 0) {
    std::fprintf(stderr, "app_screenshot: the file could not be added\n");
    return 1;
  }
  Window.lvFiles->setCurrentItem(Window.lvFiles->topLevelItem(0));
  Window.show();
  int Result = 1;
  QTimer::singleShot(500, [&] {
    Window.PlayExecute();
    if (!Window.FFPlayer->Playing()) {
      App.quit();
      return;
    }
    QTimer::singleShot(2500, [&] {
      const QRect Area = Window.frameGeometry();
      const QImage Picture = Window.screen()
                                 ->grabWindow(0, Area.x(), Area.y(), Area.width(), Area.height())
                                 .toImage()
                                 .convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
      Result = Picture.save(AOut, "PNG", 0) ? 0 : 1;
      Window.StopPlayExecute();
      App.quit();
    });
  });
  App.exec();
  RemoveGuiHandOver();
  return Result;
}

}  // namespace

int main(int argc, char* argv[]) {
  setlocale(LC_ALL, "");
  QApplication App(argc, argv);
  const QStringList Args = App.arguments().mid(1);
  if (Args.isEmpty() || (Args[0] == QLatin1String("--batch") && Args.size() < 4) ||
      (Args[0] == QLatin1String("--play") && Args.size() != 3) ||
      (Args[0] == QLatin1String("--add") && Args.size() != 3)) {
    std::fprintf(stderr,
                 "usage: app_screenshot out.png [tab-index | about]\n"
                 "       app_screenshot --batch during.png done.png [--tab N] FILE...\n"
                 "       app_screenshot --play out.png FILE\n"
                 "       app_screenshot --add out.png FOLDER\n");
    return 2;
  }
  InstallIconThemeFallback();
  InstallUiLanguage(UiLanguageOf(QLocale::system().uiLanguages()));
  if (Args[0] == QLatin1String("--batch")) return Batch(App, Args[1], Args[2], Args.mid(3));
  if (Args[0] == QLatin1String("--play")) return PlayInPanel(App, Args[1], Args[2]);
  if (Args[0] == QLatin1String("--add")) return AddingFolder(App, Args[1], Args[2]);
  return Layout(App, Args[0], Args.size() > 1 ? Args[1] : QString());
}
