// Program entry: the application object, the hand-over of worker calls to
// the GUI thread, and the main window. The program takes no command line.

#include <clocale>

#include <QApplication>

#include "app/FormUtils.h"
#include "app/GuiHandOver.h"
#include "app/PreviewWindow.h"
#include "app/U_Main.h"

int main(int argc, char* argv[]) {
  setlocale(LC_ALL, "");
  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vidmill"));
  InstallIconThemeFallback();
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
