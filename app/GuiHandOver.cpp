#include "app/GuiHandOver.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "runtime/Threads.h"

void InstallGuiHandOver() {
  SetMainThreadWaker([] {
    QMetaObject::invokeMethod(
        qApp, [] { ServeMainThreadQueue(); }, Qt::QueuedConnection);
  });
  SetProcessEventsHook([] { QCoreApplication::processEvents(); });
}

void RemoveGuiHandOver() {
  SetMainThreadWaker(nullptr);
  SetProcessEventsHook(nullptr);
}
