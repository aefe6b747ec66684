#include "app/AppServices.h"

#include <QDesktopServices>

QMessageBox::StandardButton TAppServices::ShowMessageBox(QWidget* AOwner, const QString& AText, const QString& ACaption,
                                                         QMessageBox::Icon AIcon,
                                                         QMessageBox::StandardButtons AButtons) {
  QMessageBox Box(AIcon, ACaption, AText, AButtons, AOwner);
  return static_cast<QMessageBox::StandardButton>(Box.exec());
}

bool TAppServices::OpenUrl(const QUrl& AUrl) { return QDesktopServices::openUrl(AUrl); }

QString TAppServices::GetOpenFileName(QWidget* AOwner, const TOpenDialogSettings& ADialog) {
  QFileDialog Dialog(AOwner, ADialog.Title, ADialog.InitialDir);
  Dialog.setAcceptMode(QFileDialog::AcceptOpen);
  Dialog.setFileMode(QFileDialog::ExistingFile);
  Dialog.setOptions(ADialog.Options);
  Dialog.setNameFilters(ADialog.NameFilters);
  if (ADialog.FilterIndex >= 0 && ADialog.FilterIndex < ADialog.NameFilters.size())
    Dialog.selectNameFilter(ADialog.NameFilters.at(ADialog.FilterIndex));
  if (Dialog.exec() != QDialog::Accepted) return {};
  const QStringList Files = Dialog.selectedFiles();
  return Files.isEmpty() ? QString() : Files.first();
}

QString TAppServices::GetExistingDirectory(QWidget* AOwner, const QString& ATitle, const QString& AInitialDir) {
  return QFileDialog::getExistingDirectory(AOwner, ATitle, AInitialDir, QFileDialog::ShowDirsOnly);
}
