#pragma once
// The main window: tool bar, conversion list, output folder, preview panel
// and the output-profile tabs, with the program's start-up and close.

#include <QElapsedTimer>
#include <QMainWindow>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "app/AppServices.h"
#include "app/BatchProgress.h"
#include "app/Settings.h"
#include "converter/Profiles.h"
#include "runtime/FFmpegLogger.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QStatusBar;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TCustomAVProbe;
class TRadioGroup;
class TSourceAdder;
struct TProbedSource;
class TVidmill;
class TFFPlayer;
class TTrackBar;

// The text of the output folder that means "next to each source file".
inline const QString kSameFolderText = QString::fromStdU16String(std::u16string(kSameFolder));

// Columns of the conversion list.
enum TListColumnIndex { lcSource, lcDuration, lcSize, lcOutput, lcProgress, lcFPS, lcPosition, lcOutputSize, lcPath };

// True when AFolder lies on a CD-ROM drive (an iso9660 or udf file system).
bool IsCdRomFolder(const QString& AFolder);

class TFrm_Main : public QMainWindow {
  Q_OBJECT

 public:
  // AServices: the desktop services (message boxes, shell open, dialogs);
  // null for the default ones. AEnvironment: where the settings live.
  // The start-up handler FormCreate runs before the constructor returns.
  explicit TFrm_Main(std::shared_ptr<TAppServices> AServices = nullptr,
                     TAppEnvironment AEnvironment = TAppEnvironment::FromSystem(), QWidget* AParent = nullptr);
  ~TFrm_Main() override;

  // ---- Actions ----
  QAction* AddFile;
  QAction* AddFolder;  // the media files of a folder and its subfolders; follows AddFile
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

  // ---- Status line: what the window is busy with, and its cancel button ----
  QStatusBar* StatusBar1;
  QLabel* lblStatus;
  QPushButton* btnStatusCancel;

  // ---- Preview panel ----
  QFrame* Panel2;
  QFrame* pl_play;  // the video renders into this panel's native window
  QLabel* imgPlay;  // the picture shown until the first playback
  QWidget* pl_bottom;
  QToolButton* btnPlay;
  QToolButton* btnStopPlay;
  TTrackBar* TrackBar1;

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
  std::unique_ptr<TVidmill> Vidmill;
  std::unique_ptr<TFFPlayer> FFPlayer;

  // ---- State read at start-up or kept for the conversion list ----
  QString ThreadCountText;     // "Thread_Count" as read; parsed when a batch starts
  int ThreadPriority = -1;     // "Thread_Priority"
  QString AppName;             // "appname"
  QString AppVersion;          // "appver"
  int64_t SourceDuration = 0;  // microseconds, of the most recently probed source
  int32_t FrameCount = 0;      // estimated frames of the most recently probed source
  // The probe that described the most recent source (null before the first),
  // and what it said: its file name and format outlive its Close.
  TCustomAVProbe* LastProbe = nullptr;
  TSourceInfo LastSource;
  int64_t LastSourceSize = 0;  // bytes

  // Whether the folder the user chose lies on a CD-ROM drive; IsCdRomFolder
  // unless a test puts another check here.
  std::function<bool(const QString& AFolder)> FolderOnCdRom = IsCdRomFolder;

  // ---- Handlers ----
  void FormCreate();
  void FormCloseQuery(bool& CanClose);
  void PageControl1Change();
  void chkVideoBitRateClick();
  void chkAudioBitRateClick();
  void FFLoggerLog(TObject* Sender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg);

  // Conversion list.
  void AddFileExecute();
  void DelFileExecute();
  void ClearFileExecute();
  // Asks for a folder and adds the media files in it and its subfolders.
  void AddFolderExecute();
  // The AddFile way without the dialog, in the given order (files and
  // folders dropped onto the list): a folder stands for the media files
  // under it. The files are probed on a thread of their own and the rows
  // come in as they are probed, while the window goes on; a file that
  // cannot be probed is logged and the others are still added. Nothing
  // happens while an earlier adding is still under way.
  void AddFiles(const QStringList& AFileNames);
  // An adding is under way (rows still to come).
  bool Adding() const { return FAdding; }
  // Stops the adding; the rows added so far stay.
  void CancelAdding();
  // Derives SourceDuration and FrameCount from the file open in AProbe and
  // shows its information text.
  void ShowSourceInfo(TCustomAVProbe& AProbe);
  // The same from what a probe found earlier.
  void ShowSourceInfo(const TProbedSource& ASource);
  void AddListRow(const TInputOptions& AInputOptions, const TOutputOptions& AOutputOptions);

  // Output profiles: the showing tab and the controls, and the records built
  // from them for the most recently probed source.
  TProfileChoices ProfileChoices() const;
  TOutputOptions BuildOutputOptions() const;
  TInputOptions BuildInputOptions() const;

  // Run control. A batch is prepared (each row probed, planned and queued)
  // in slices between which the window goes on, and starts when every row
  // is queued; a batch of a few rows starts inside ConvertExecute.
  void ConvertExecute();
  // A batch is being prepared and has not started yet.
  bool Preparing() const { return FPreparing; }
  void Convert_StopExecute();
  // Creates the task of ARow; false when it got none (the reason is logged).
  bool QueueTask(const TInputOptions& AInputOptions, const TOutputOptions& AOutputOptions, QTreeWidgetItem* ARow);
  void btnOutPathClick();
  bool BrowseForFolder(const QString& ATitle, const QString& ARoot, QString& AFolder);
  void btnOpenPathClick();
  // The converter's events, on its worker and delivery threads (on this
  // thread in a run without threads): the task index is taken to the task's
  // id at once, and the rest goes to the window's thread without waiting.
  void VidmillProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality, float ABitRate,
                       int64_t ACurrentSize, int ATotalOutputDuration);
  void VidmillTerminate(int AIndex, bool AFinished, bool AException, const std::string& AMessage);

  // The row of the task with id ATaskId in the current batch; null when the
  // task has no row (any more).
  QTreeWidgetItem* RowOfTask(uint64_t ATaskId) const;

  // Preview panel.
  void PlayExecute();
  void StopPlayExecute();
  void PausePlayExecute();
  void TrackBar1Change();
  // The player's events; it raises them on this thread.
  void FFPlayerFileOpen(int64_t ADuration, int AFrameWidth, int AFrameHeight, int& AScreenWidth, int& AScreenHeight);
  void FFPlayerPosition(int64_t APTS);
  // The position the last seek asked the player for (-1 before the first).
  int64_t LastSeekRequest() const { return FLastSeekRequest; }

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
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  // The logger, the converter, the source adder, the work timers and the
  // preview player, with their events.
  void CreateServices();
  // The output folder row: its label, field and two buttons.
  QHBoxLayout* CreateOutputRow(QWidget* AParent);
  // The status line with its cancel button.
  void CreateStatusBar();
  QWidget* CreateFileList();
  QWidget* CreatePreviewPanel();
  QWidget* CreateProfileTabs();
  void CreateHiddenPage();
  void CreateOutputFolder();
  // The tool tips of the tool bar, the format tabs and the options
  // (MainToolTips.cpp).
  void SetToolTips();

  void AttachConverterEvents();
  // Detaches the converter's OnBeforeHook, OnCustomHook, OnProgress and
  // OnTerminate handlers so that no event reaches the closing window.
  void DetachConverterEvents();
  // Stops every conversion task and waits for each to end.
  void StopAllTasks();

  // Loads the media libraries from "LibAV" beside the executable unless they
  // are loaded; false (the reason logged) when they cannot be.
  bool LoadLibraries();
  // The adding's side on the window's thread: takes the probed files for a
  // slice of time and adds their rows; ends the adding when all are in.
  void TakeAddedSources();
  // Adds the row of ASource, or logs why it could not be probed.
  void AddProbedSource(const TProbedSource& ASource);
  void EndAdding();
  // Prepares the rows of the batch for a slice of time; starts the batch
  // when the last row is queued.
  void PrepareBatch();
  // The status line's text; an empty text clears it and hides the cancel
  // button.
  void ShowStatus(const QString& AText);
  void btnStatusCancelClick();
  void LogLines(const QString& AText);  // an empty line, AText, an empty line
  // A relative folder text against the current directory of the environment.
  QString ResolvedFolder(const QString& AFolder) const;
  void SetListActions();  // after a row has been added or removed
  void ForgetRow(QTreeWidgetItem* ARow);

  // The main-thread side of the converter's events, by task id.
  void ShowTaskProgress(uint64_t ATaskId, int AFPS, int ACurrentDuration, int64_t ACurrentSize,
                        int ATotalOutputDuration);
  void ShowTaskEnd(uint64_t ATaskId, bool AFinished, bool AException, const QString& AMessage);
  void ShowBatchEnd();
  // Runs AMethod on the window's thread: at once when called there (a run
  // without threads), otherwise queued, without waiting for it. Calls of a
  // batch that is no longer the current one, or that arrive after the
  // events were detached, are dropped.
  void PostToWindow(std::function<void()> AMethod);
  // Runs the calls posted from other threads (a queued wake-up).
  Q_INVOKABLE void RunPosted();
  std::mutex FPostedLock;
  std::deque<std::function<void()>> FPosted;  // under FPostedLock

  // Preview panel: the panel the video plays in (set by each play
  // request), and the guard that keeps the program's own moves of the seek
  // bar from seeking.
  QFrame* FVideoPanel = nullptr;
  bool FTrackBarGuard = false;
  int64_t FLastSeekRequest = -1;
  // The X11 window of the video panel, 0 when the platform has none (the
  // player then draws into a window of its own).
  uintptr_t VideoWindowHandle() const;

  std::shared_ptr<TAppServices> FServices;
  TAppEnvironment FEnvironment;
  std::unique_ptr<TAppSettings> FSettings;

  // The task id -> row map of the current batch (filled by QueueTask).
  std::map<uint64_t, QTreeWidgetItem*> FRowOfTask;
  // The events reach the window (cleared when it closes).
  std::atomic<bool> FEventsAttached{false};
  // Counts the task lists: a notification of a list cleared since is stale.
  std::atomic<uint32_t> FBatch{0};
  // The log memo holds one empty line, which its document cannot show.
  bool FEmptyFirstLogLine = false;

  // Enabled states of AddFile, DelFile, ClearFile, Convert and Convert_Stop.
  struct TActionStates {
    bool AddFile, DelFile, ClearFile, Convert, Convert_Stop;
  };
  TActionStates CurrentActionStates() const;
  void RestoreActionStates(const TActionStates& AStates);

  // The adding of files: the prober, the states it found the actions in,
  // and whether it has added a row.
  std::unique_ptr<TSourceAdder> FAdder;
  bool FAdding = false;
  bool FAddedRows = false;
  TActionStates FStatesBeforeAdding{};
  // The preparation of a batch: the next row to queue and the states to
  // go back to when a row cannot be loaded.
  bool FPreparing = false;
  int FPrepareNext = 0;
  // Start the next slice of the adding or of the preparation.
  QTimer* FAddTimer = nullptr;
  QTimer* FPrepareTimer = nullptr;
  TActionStates FStatesBeforeBatch{};

  // What the batch under way has done and how long it still needs, on the
  // clock started with it; the window's title before a batch marked it.
  TBatchProgress FProgress;
  QElapsedTimer FBatchClock;
  bool FBatchRunning = false;
  bool FBatchStopped = false;
  QString FBaseTitle;
  // The controls a tab replaces (FixedChoicesOfTab) show its values,
  // disabled, while it shows; the user's values wait in FUserChoices.
  struct TReplacedChoices {
    int FrameSize = 0, Channels = 0;
    bool AudioChecked = false;
    QString AudioText;
  };
  TReplacedChoices FUserChoices, FShownChoices;
  bool FFixedShown = false;
  void ShowFixedChoices();
  // The sources the adding under way could not add, with the probe's reason.
  QStringList FAddFailures;
  // The row's outcome: "失败" with the reason as its tooltip and a log line,
  // or "已停止" after its last percentage.
  void MarkRowFailed(QTreeWidgetItem* ARow, const QString& AReason);
  void MarkRowStopped(QTreeWidgetItem* ARow);
  void ShowBatchStatus();
  // Tells the user, in one box, which sources could not be added and why,
  // and that a folder held more files than one adding takes.
  void ReportAddFailures();
};
