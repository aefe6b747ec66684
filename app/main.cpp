// Program entry: the application object, the hand-over of worker calls to
// the GUI thread, and the main window. The program takes no command line.

#include <clocale>

#include <QApplication>
#include <QIcon>

#include "app/FormUtils.h"
#include "app/GuiHandOver.h"
#include "app/PreviewWindow.h"
#include "app/U_Main.h"
#include "runtime/Threads.h"

int main(int argc, char* argv[]) {
  setlocale(LC_ALL, "");
  UseSmallPages();
  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vidmill"));
  // The desktop entry and icon that an installation puts in place: the
  // window system matches the window to them by this name.
  QGuiApplication::setDesktopFileName(QStringLiteral("vidmill"));
  InstallIconThemeFallback();
  if (QIcon::hasThemeIcon(QStringLiteral("vidmill")))
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vidmill")));
  InstallGuiHandOver();
  InstallQtPreviewer();

  int Result;
  {
    TFrm_Main Frm_Main;
    Frm_Main.show();
    Result = App.exec();
  }
  SetPreviewerFactory(nullptr);
  RemoveGuiHandOver();
  return Result;
}
