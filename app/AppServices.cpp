#include "app/AppServices.h"

#include "app/DesktopSession.h"

#include <QDesktopServices>

QMessageBox::StandardButton TAppServices::ShowMessageBox(QWidget* AOwner, const QString& AText, const QString& ACaption,
                                                         QMessageBox::Icon AIcon,
                                                         QMessageBox::StandardButtons AButtons) {
  QMessageBox Box(AIcon, ACaption, AText, AButtons, AOwner);
  return static_cast<QMessageBox::StandardButton>(Box.exec());
}

bool TAppServices::OpenUrl(const QUrl& AUrl) { return QDesktopServices::openUrl(AUrl); }

namespace {

QStringList RunOpenDialog(QWidget* AOwner, const TOpenDialogSettings& ADialog, QFileDialog::FileMode AMode) {
  QFileDialog Dialog(AOwner, ADialog.Title, ADialog.InitialDir);
  Dialog.setAcceptMode(QFileDialog::AcceptOpen);
  Dialog.setFileMode(AMode);
  Dialog.setOptions(ADialog.Options);
  Dialog.setNameFilters(ADialog.NameFilters);
  if (ADialog.FilterIndex >= 0 && ADialog.FilterIndex < ADialog.NameFilters.size())
    Dialog.selectNameFilter(ADialog.NameFilters.at(ADialog.FilterIndex));
  if (Dialog.exec() != QDialog::Accepted) return {};
  return Dialog.selectedFiles();
}

}  // namespace

QString TAppServices::GetOpenFileName(QWidget* AOwner, const TOpenDialogSettings& ADialog) {
  const QStringList Files = RunOpenDialog(AOwner, ADialog, QFileDialog::ExistingFile);
  return Files.isEmpty() ? QString() : Files.first();
}

QStringList TAppServices::GetOpenFileNames(QWidget* AOwner, const TOpenDialogSettings& ADialog) {
  return RunOpenDialog(AOwner, ADialog, QFileDialog::ExistingFiles);
}

QString TAppServices::GetExistingDirectory(QWidget* AOwner, const QString& ATitle, const QString& AInitialDir) {
  return QFileDialog::getExistingDirectory(AOwner, ATitle, AInitialDir, QFileDialog::ShowDirsOnly);
}

TAppServices::TAppServices() = default;

TAppServices::~TAppServices() = default;

TDesktopSession& TAppServices::Session() {
  if (!FSession) FSession = std::make_unique<TDesktopSession>();
  return *FSession;
}

void TAppServices::InhibitSleep(const QString& AReason) { Session().Inhibit(AReason); }

void TAppServices::ReleaseSleep() {
  if (FSession) FSession->Release();
}

void TAppServices::Notify(const QString& ASummary, const QString& ABody) { Session().Notify(ASummary, ABody); }
