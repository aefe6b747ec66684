// Program entry: the application object, the hand-over of worker calls to
// the GUI thread, the window's language and the main window. The program
// takes no command line.

#include <clocale>

#include <QApplication>
#include <QIcon>
#include <QLocale>

#include "app/FormUtils.h"
#include "app/GuiHandOver.h"
#include "app/Language.h"
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
  // English for users whose UI language is English, Chinese for all others:
  // the catalogue is in place before the window is made.
  InstallUiLanguage(UiLanguageOf(QLocale::system().uiLanguages()));

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
