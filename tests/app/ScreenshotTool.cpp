// Saves a picture of the main window on throw-away settings, to check the
// layout and that the Chinese texts render:
//   app_screenshot out.png [tab-index | about]
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/AppServices.h"
#include "app/FormUtils.h"
#include "app/U_Main.h"
#include "app/U_about.h"

int main(int argc, char* argv[]) {
  QApplication App(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: app_screenshot out.png [tab-index | about]\n");
    return 2;
  }
  InstallIconThemeFallback();

  QTemporaryDir Root;
  QDir(Root.path()).mkpath(QStringLiteral("bin"));
  QFile Config(Root.filePath(QStringLiteral("bin/Config.ini")));
  if (!Config.open(QIODevice::WriteOnly)) return 1;
  Config.write("[Config]\nappname=Vidmill\nappver=0.1.0\nThread_Count=2\nThread_Priority=3\n"
               "dir=\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95\n");
  Config.close();

  TAppEnvironment Env;
  Env.ExeDir = Root.filePath(QStringLiteral("bin/"));
  Env.UserConfigDir = Root.filePath(QStringLiteral("user/"));
  Env.CurrentDir = Root.path();
  TFrm_Main Window(nullptr, Env);
  auto* Row = new QTreeWidgetItem(Window.lvFiles);
  Row->setText(0, QStringLiteral("示例视频.avi"));
  Row->setText(1, QStringLiteral("125"));
  Row->setText(2, QStringLiteral("10485760"));
  Row->setText(4, QStringLiteral("42%"));
  Row->setText(7, QStringLiteral("1048576"));
  Window.lvFiles->setCurrentItem(Row);
  const QString Which = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  if (!Which.isEmpty() && Which != QLatin1String("about")) Window.PageControl1->setCurrentIndex(Which.toInt());
  Window.show();
  TAppServices Services;
  TFrm_about About(Window.AppName, Window.AppVersion, Services, &Window);
  QWidget* Shot = &Window;
  if (Which == QLatin1String("about")) {
    About.show();
    Shot = &About;
  }

  const QString Out = QString::fromLocal8Bit(argv[1]);
  int Result = 1;
  QTimer::singleShot(500, [&] {
    // Few colours: an indexed, fully compressed picture stays small.
    const QImage Picture = Shot->grab().toImage().convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    Result = Picture.save(Out, "PNG", 0) ? 0 : 1;
    App.quit();
  });
  App.exec();
  return Result;
}
