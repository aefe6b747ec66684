#pragma once
// The about window: program name and version, the vendor's home page and the
// support address as links, and an OK button.

#include <QDialog>

class QLabel;
class QPushButton;
class TAppServices;

class TFrm_about : public QDialog {
  Q_OBJECT

 public:
  // AAppName and AAppVersion are the settings' "appname" and "appver" as the
  // main window read them.
  TFrm_about(const QString& AAppName, const QString& AAppVersion, TAppServices& AServices, QWidget* AOwner = nullptr);

  QLabel* lblAppName;
  QLabel* lblHomepageCaption;
  QLabel* lblHomepage;
  QLabel* lblEmailCaption;
  QLabel* lblEmail;
  QPushButton* btnOK;

  void lblHomepageClick();
  void lblEmailClick();

 private:
  TAppServices& FServices;
};
