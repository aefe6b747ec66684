#pragma once
// What the windows ask of the desktop: message boxes, the shell's "open" of
// files, folders, web pages and mailto: links, the file-open dialog and the
// folder-browse dialog. The windows never call the toolkit for these
// directly, so that tests can put a double in their place. The default
// implementation uses QMessageBox, QDesktopServices and QFileDialog.

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

class QWidget;
class TDesktopSession;

// Settings of one file-open dialog (the window's OpenDialog1).
struct TOpenDialogSettings {
  QString Title;
  // The filter as written, "Description|pattern;pattern;...|Description|...".
  QString Filter;
  QString InitialDir;
  // Entries in Qt's syntax, "Description (pattern pattern ...)", in order.
  QStringList NameFilters;
  // Active entry, 0-based.
  int FilterIndex = 0;
  QFileDialog::Options Options;
};

class TAppServices {
 public:
  TAppServices();
  TAppServices(const TAppServices&) = delete;
  TAppServices& operator=(const TAppServices&) = delete;
  virtual ~TAppServices();

  // Shows a modal message box; returns the button the user pressed.
  virtual QMessageBox::StandardButton ShowMessageBox(QWidget* AOwner, const QString& AText, const QString& ACaption,
                                                     QMessageBox::Icon AIcon,
                                                     QMessageBox::StandardButtons AButtons = QMessageBox::Ok);

  // The shell's "open": a local file or folder (file: URL), a web page or a
  // mailto: link. False when the desktop could not open it.
  virtual bool OpenUrl(const QUrl& AUrl);

  // Lets the user pick one existing file; empty when cancelled.
  virtual QString GetOpenFileName(QWidget* AOwner, const TOpenDialogSettings& ADialog);
  // Lets the user pick one or more existing files; empty when cancelled.
  virtual QStringList GetOpenFileNames(QWidget* AOwner, const TOpenDialogSettings& ADialog);

  // Lets the user pick a folder, starting at AInitialDir; empty when cancelled.
  virtual QString GetExistingDirectory(QWidget* AOwner, const QString& ATitle, const QString& AInitialDir);

  // While a batch converts, the session is asked not to idle or sleep
  // (AReason is what it shows as the cause); ReleaseSleep gives that back.
  // A desktop notification tells the user something happened. Each is
  // skipped without a word where the desktop has no such service (the
  // default goes through TDesktopSession, made on first use).
  virtual void InhibitSleep(const QString& AReason);
  virtual void ReleaseSleep();
  virtual void Notify(const QString& ASummary, const QString& ABody);

 private:
  TDesktopSession& Session();
  std::unique_ptr<TDesktopSession> FSession;
};
