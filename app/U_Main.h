#pragma once
// The main window: tool bar, conversion list, output folder, preview panel
// and the output-profile tabs, with the program's start-up and close.

#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <string>

#include "app/AppServices.h"
#include "app/Settings.h"
#include "runtime/FFmpegLogger.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QToolBar;
class QToolButton;
class QTreeWidget;
class TRadioGroup;

// The text of the output folder that means "next to each source file".
inline const QString kSameFolderText = QStringLiteral("同一目录");

class TFrm_Main : public QMainWindow {
  Q_OBJECT

public:
  // AServices: the desktop services (message boxes, shell open, dialogs);
  // null for the default ones. AEnvironment: where the settings live.
  // The start-up handler FormCreate runs before the constructor returns.
  explicit TFrm_Main(std::shared_ptr<TAppServices> AServices = nullptr,
                     TAppEnvironment AEnvironment = TAppEnvironment::FromSystem(),
                     QWidget* AParent = nullptr);
  ~TFrm_Main() override;

  // ---- Actions ----
  QAction* AddFile;
  QAction* DelFile;
  QAction* ClearFile;
  QAction* Convert;
  QAction* Convert_Stop;
  QAction* M_Help;
  QAction* M_email;
  QAction* M_Homepage;
  QAction* M_Aboutus;
  QAction* Play;
  QAction* StopPlay;
  QAction* PausePlay;
  QAction* Pause;

  // ---- Main menu ----
  QMenuBar* MainMenu1;
  QMenu* mnuFile;
  QMenu* mnuHelp;
  QAction* mniClearFile;  // "清除文件", runs ClearFile
  QAction* N16;           // "退出"

  // ---- Tool bar ----
  QToolBar* ToolBar1;
  QToolButton* tbAddFile;
  QToolButton* tbDelFile;
  QToolButton* tbClearFile;
  QToolButton* tbConvert;
  QToolButton* tbConvertStop;
  QToolButton* tbHelp;

  // ---- Conversion list and output folder ----
  QTreeWidget* lvFiles;
  QLabel* lblOutPath;
  QLineEdit* edtOutPath;
  QPushButton* btnOutPath;
  QPushButton* btnOpenPath;

  // ---- Preview panel ----
  QFrame* Panel2;
  QFrame* pl_play;    // the video renders into this panel's native window
  QLabel* imgPlay;    // the picture shown until the first playback
  QWidget* pl_bottom;
  QToolButton* btnPlay;
  QToolButton* btnStopPlay;
  QSlider* TrackBar1;

  // ---- Output profiles ----
  QTabWidget* PageControl1;
  QWidget* TS1;
  QWidget* TS2;
  QWidget* TS3;
  QWidget* TS4;
  QWidget* TS5;
  QWidget* TS6;
  QWidget* TS7;
  QWidget* pl2;
  QGroupBox* grpFrameSize;
  QComboBox* cboFrameSize;
  TRadioGroup* grpAudioChannels;
  QGroupBox* grpBitRate;
  QCheckBox* chkVideoBitRate;
  QLineEdit* edtVideoBitRate;
  QCheckBox* chkAudioBitRate;
  QLineEdit* edtAudioBitRate;
  TRadioGroup* grpFrameRate;
  TRadioGroup* grpNorm;

  // ---- Hidden page: never shown ----
  QTabWidget* PageControl2;
  QWidget* TSHidden;
  QPlainTextEdit* mmolog;
  QPlainTextEdit* mmoAVFileInfo;
  QCheckBox* chkOverwrite;
  QCheckBox* chkDisableAudio;
  QCheckBox* chkDisableVideo;
  QCheckBox* chkDisableDisplay;

  // ---- Components ----
  TOpenDialogSettings OpenDialog1;
  std::unique_ptr<TFFLogger> FFLogger;

  // ---- State read at start-up or kept for the conversion list ----
  QString ThreadCountText;    // "Thread_Count" as read; parsed when a batch starts
  int ThreadPriority = -1;    // "Thread_Priority"
  QString AppName;            // "appname"
  QString AppVersion;         // "appver"
  int64_t SourceDuration = 0; // microseconds, of the most recently probed source
  int32_t FrameCount = 0;     // estimated frames of the most recently probed source

  // ---- Handlers ----
  void FormCreate();
  void FormCloseQuery(bool& CanClose);
  void PageControl1Change();
  void chkVideoBitRateClick();
  void chkAudioBitRateClick();
  void FFLoggerLog(TObject* Sender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg);
  void M_HelpExecute();
  void M_HomepageExecute();
  void M_emailExecute();
  void M_AboutusExecute();
  void N16Click();

  // Appends one line to the log memo.
  void AppendLog(const QString& ALine);

  TAppServices& Services() const { return *FServices; }
  const TAppEnvironment& Environment() const { return FEnvironment; }
  // The settings file; null until FormCreate has opened it.
  TAppSettings* Settings() const { return FSettings.get(); }

protected:
  void closeEvent(QCloseEvent* AEvent) override;

private:
  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  QWidget* CreateFileList();
  QWidget* CreatePreviewPanel();
  QWidget* CreateProfileTabs();
  void CreateHiddenPage();
  void CreateOutputFolder();

  // Converter hooks: the converter component is not part of the window yet.
  // Detaches its OnBeforeHook, OnCustomHook, OnProgress and OnTerminate
  // handlers so that no event reaches the closing window.
  void DetachConverterEvents();
  // Stops every conversion task and waits for each to end.
  void StopAllTasks();

  std::shared_ptr<TAppServices> FServices;
  TAppEnvironment FEnvironment;
  std::unique_ptr<TAppSettings> FSettings;
};
