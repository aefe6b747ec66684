#include "app/U_Main.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cerrno>
#include <iterator>
#include <system_error>

#include "app/AppInfo.h"
#include "app/DialogFilter.h"
#include "app/FormUtils.h"
#include "app/Language.h"
#include "app/ProgressDelegate.h"
#include "app/RadioGroup.h"
#include "app/SourceAdder.h"
#include "app/TrackBar.h"
#include "app/U_about.h"
#include "converter/Vidmill.h"
#include "player/FFPlay.h"
#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/Text.h"

namespace {

QAction* NewAction(QObject* AOwner, const char* AName, const QString& ACaption) {
  auto* Action = new QAction(ACaption, AOwner);
  Action->setObjectName(QString::fromLatin1(AName));
  return Action;
}

template <class T>
T* Named(T* AWidget, const char* AName) {
  AWidget->setObjectName(QString::fromLatin1(AName));
  return AWidget;
}

// Keeps AFollower's enabled state equal to ATarget's.
void FollowEnabled(QAction* ATarget, QWidget* AFollower) {
  AFollower->setEnabled(ATarget->isEnabled());
  QObject::connect(ATarget, &QAction::enabledChanged, AFollower, &QWidget::setEnabled);
}

void FollowEnabled(QAction* ATarget, QAction* AFollower) {
  AFollower->setEnabled(ATarget->isEnabled());
  QObject::connect(ATarget, &QAction::enabledChanged, AFollower, &QAction::setEnabled);
}

// Columns of the conversion list; a width of 0 keeps the column but hides it.
// The captions are translated where the list is made.
struct TListColumn {
  const char* Caption;
  int Width;
};
constexpr TListColumn kListColumns[] = {
    {QT_TRANSLATE_NOOP("TFrm_Main", "源文件路径"), 150},
    {QT_TRANSLATE_NOOP("TFrm_Main", "总时间"), 70},
    {QT_TRANSLATE_NOOP("TFrm_Main", "文件大小"), 70},
    {QT_TRANSLATE_NOOP("TFrm_Main", "输出文件"), 0},
    {QT_TRANSLATE_NOOP("TFrm_Main", "转换进度"), 70},
    {"FPS", 0},
    {QT_TRANSLATE_NOOP("TFrm_Main", "当前时间"), 0},
    {QT_TRANSLATE_NOOP("TFrm_Main", "文件大小"), 70},
    {"Path", 0},
};

QString FromUtf8(std::string_view AText) {
  return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

// The items of a control, from the lists the profile builder reads them by,
// in the window's language: the words ("自动", the channels, the norms) are
// translated, the sizes and rates are not, for the profile builder reads the
// text of a chosen size or rate.
template <size_t N>
QStringList ItemTexts(const std::array<std::string_view, N>& AItems) {
  QStringList Texts;
  for (const std::string_view Item : AItems) Texts.append(TFrm_Main::tr(std::string(Item).c_str()));
  return Texts;
}

// The items of converter/Profiles.h that have a translation, for the
// catalogue's tools: ItemTexts translates them from the lists themselves.
[[maybe_unused]] constexpr const char* kTranslatedItems[] = {
    QT_TRANSLATE_NOOP("TFrm_Main", "自动 - 初始化"), QT_TRANSLATE_NOOP("TFrm_Main", "自动"),
    QT_TRANSLATE_NOOP("TFrm_Main", "单声道"),        QT_TRANSLATE_NOOP("TFrm_Main", "双声道"),
    QT_TRANSLATE_NOOP("TFrm_Main", "PAL 制试"),      QT_TRANSLATE_NOOP("TFrm_Main", "NTSC 制试"),
};

bool IsDirectory(const QString& APath) {
  if (APath.isEmpty()) return false;
  struct stat Info {};
  return ::stat(SystemPath(APath.toStdU16String()).c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

QString FromLocal(const std::string& AText) { return QString::fromStdU16String(FromLocal8Bit(AText)); }

QString FileNamePart(const std::u16string& APath) { return QString::fromStdU16String(ExtractFileNameW(APath)); }

// The local files among dropped URLs, in their order.
QStringList DroppedFiles(const QMimeData* AData) {
  QStringList Files;
  if (!AData || !AData->hasUrls()) return Files;
  for (const QUrl& Url : AData->urls())
    if (Url.isLocalFile() && !Url.toLocalFile().isEmpty()) Files.append(Url.toLocalFile());
  return Files;
}

// Marks a row whose task has ended: later progress no longer changes it.
constexpr int kEndedRole = Qt::UserRole + 1;
// The row shows its outcome (converted, failed or stopped) and logged it.
constexpr int kOutcomeRole = Qt::UserRole + 2;

// The lines the log memo keeps: every added file and every task logs a few,
// and a batch of thousands must not keep them all.
constexpr int kLogLineLimit = 20000;

// How long the window's thread works on added files or on the preparation
// of a batch before it lets the window repaint and take input.
constexpr auto kWorkSlice = std::chrono::milliseconds(25);
// A batch of a few rows is queued whole inside its start, as before: only
// the rows after these are left to later slices.
constexpr int kRowsQueuedAtOnce = 16;

// A single-shot timer of 0 ms that runs AWork: it fires once the events
// waiting in the window's queue have been handled, and a slice of work
// started from it lets repaints and input come first.
template <class TWork>
QTimer* NewWorkTimer(QObject* AOwner, TWork AWork) {
  auto* Timer = new QTimer(AOwner);
  Timer->setSingleShot(true);
  Timer->setInterval(0);
  QObject::connect(Timer, &QTimer::timeout, AOwner, AWork);
  return Timer;
}

// The names a folder's files must have to be added: the media entry of
// the file-open dialog's filter.
QStringList MediaPatterns() {
  const QList<TDialogFilterEntry> Entries = ParseDialogFilter(kMediaFileFilter);
  return Entries.isEmpty() ? QStringList() : Entries.first().Patterns;
}

// Closes a probe when the scope is left, also by an exception.
class TProbeCloser {
 public:
  explicit TProbeCloser(TCustomAVProbe& AProbe) : FProbe(AProbe) {}
  ~TProbeCloser() { FProbe.Close(); }
  TProbeCloser(const TProbeCloser&) = delete;
  TProbeCloser& operator=(const TProbeCloser&) = delete;

 private:
  TCustomAVProbe& FProbe;
};

}  // namespace

bool IsCdRomFolder(const QString& AFolder) {
  if (AFolder.isEmpty()) return false;
  struct statfs Info {};
  if (::statfs(SystemPath(AFolder.toStdU16String()).c_str(), &Info) != 0) return false;
  return static_cast<unsigned long>(Info.f_type) == ISOFS_SUPER_MAGIC ||
         static_cast<unsigned long>(Info.f_type) == UDF_SUPER_MAGIC;
}

TFrm_Main::TFrm_Main(std::shared_ptr<TAppServices> AServices, TAppEnvironment AEnvironment, QWidget* AParent)
    : QMainWindow(AParent),
      FServices(AServices ? std::move(AServices) : std::make_shared<TAppServices>()),
      FEnvironment(std::move(AEnvironment)) {
  FEnvironment.NormalizeFolders();
  setObjectName(QStringLiteral("Frm_Main"));
  setFont(FormFont());

  CreateServices();
  CreateActions();
  CreateMenus();
  CreateToolBar();

  auto* Central = Named(new QWidget(this), "pnlClient");
  auto* Column = new QVBoxLayout(Central);
  Column->setContentsMargins(4, 2, 4, 4);
  Column->setSpacing(4);
  Column->addWidget(CreateFileList(), 1);
  Column->addLayout(CreateOutputRow(Central));

  auto* BottomRow = new QHBoxLayout;
  BottomRow->setSpacing(4);
  BottomRow->addWidget(CreatePreviewPanel(), 0);
  BottomRow->addWidget(CreateProfileTabs(), 1);
  Column->addLayout(BottomRow, 0);
  setCentralWidget(Central);

  CreateStatusBar();
  CreateHiddenPage();
  SetToolTips();

  resize(649, 559);
  CenterOnScreen(this);

  FormCreate();
}

void TFrm_Main::CreateServices() {
  FFLogger = std::make_unique<TFFLogger>(nullptr);
  FFLogger->OnLog = [this](TObject* Sender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg) {
    FFLoggerLog(Sender, AThreadID, ALogLevel, ALogMsg);
  };
  Vidmill = std::make_unique<TVidmill>();
  AttachConverterEvents();
  // The adder's thread wakes the window through its event queue; a wake-up
  // still queued when the window goes is dropped with it.
  FAdder = std::make_unique<TSourceAdder>([this] {
    QMetaObject::invokeMethod(
        this, [this] { TakeAddedSources(); }, Qt::QueuedConnection);
  });
  // The next slice of work on added files or on a batch's preparation
  // comes from a timer, after the repaints and input that wait.
  FAddTimer = NewWorkTimer(this, [this] { TakeAddedSources(); });
  FPrepareTimer = NewWorkTimer(this, [this] { PrepareBatch(); });
  FFPlayer = std::make_unique<TFFPlayer>();
  FFPlayer->OnFileOpen = [this](TObject*, int64_t ADuration, int AFrameWidth, int AFrameHeight, int& AScreenWidth,
                                int& AScreenHeight) {
    FFPlayerFileOpen(ADuration, AFrameWidth, AFrameHeight, AScreenWidth, AScreenHeight);
  };
  FFPlayer->OnPosition = [this](TObject*, int64_t APTS) { FFPlayerPosition(APTS); };
  FFPlayer->OnState = [this](TObject*, TPlayState AState) {
    // The picture shown before the first playback makes room for the video.
    if (AState == psPlay) RunInMainThread([this] { imgPlay->hide(); });
  };
}

QHBoxLayout* TFrm_Main::CreateOutputRow(QWidget* AParent) {
  auto* OutRow = new QHBoxLayout;
  OutRow->setSpacing(6);
  lblOutPath = Named(new QLabel(tr("输出目录:"), AParent), "lblOutPath");
  edtOutPath = Named(new QLineEdit(AParent), "edtOutPath");
  edtOutPath->setReadOnly(true);
  btnOutPath = Named(new QPushButton(tr("选择目录"), AParent), "btnOutPath");
  btnOpenPath = Named(new QPushButton(tr("打开目录"), AParent), "btnOpenPath");
  lblOutPath->setBuddy(edtOutPath);
  connect(btnOutPath, &QPushButton::clicked, this, &TFrm_Main::btnOutPathClick);
  connect(btnOpenPath, &QPushButton::clicked, this, &TFrm_Main::btnOpenPathClick);
  OutRow->addWidget(lblOutPath);
  OutRow->addWidget(edtOutPath, 1);
  OutRow->addWidget(btnOutPath);
  OutRow->addWidget(btnOpenPath);
  return OutRow;
}

void TFrm_Main::CreateStatusBar() {
  StatusBar1 = Named(new QStatusBar(this), "StatusBar1");
  StatusBar1->setSizeGripEnabled(false);
  lblStatus = Named(new QLabel(StatusBar1), "lblStatus");
  btnStatusCancel = Named(new QPushButton(tr("取消"), StatusBar1), "btnStatusCancel");
  btnStatusCancel->hide();
  connect(btnStatusCancel, &QPushButton::clicked, this, &TFrm_Main::btnStatusCancelClick);
  StatusBar1->addWidget(lblStatus, 1);
  StatusBar1->addPermanentWidget(btnStatusCancel);
  setStatusBar(StatusBar1);
}

TFrm_Main::~TFrm_Main() {
  // No log line may reach the memo while the window is being taken apart.
  if (FFLogger) FFLogger->OnLog = nullptr;
  // The adder's thread ends (serving its last log lines, which go nowhere).
  FAdder.reset();
  // Nor any event: the tasks go (each running one is stopped and waited
  // for) while the controls still exist.
  FEventsAttached = false;
  if (Vidmill) Vidmill->ClearTasks();
}

// ---------------------------------------------------------------------------
// Construction of the components and controls

void TFrm_Main::CreateActions() {
  AddFile = NewAction(this, "AddFile", tr("添加文件"));
  AddFolder = NewAction(this, "AddFolder", tr("添加目录"));
  DelFile = NewAction(this, "DelFile", tr("删除文件"));
  ClearFile = NewAction(this, "ClearFile", tr("清除"));
  Convert = NewAction(this, "Convert", tr("开始转换"));
  Convert_Stop = NewAction(this, "Convert_Stop", tr("停止转换"));
  M_Help = NewAction(this, "M_Help", tr("帮助文件"));
  M_email = NewAction(this, "M_email", tr("E-mail支持"));
  M_Homepage = NewAction(this, "M_Homepage", tr("访问官方网站"));
  M_Aboutus = NewAction(this, "M_Aboutus", tr("关于..."));
  Play = NewAction(this, "Play", tr("播放"));
  StopPlay = NewAction(this, "StopPlay", tr("停止"));
  PausePlay = NewAction(this, "PausePlay", tr("暂停/继续"));
  Pause = NewAction(this, "Pause", tr("暂停"));

  // Tool-bar images are 32x32 whatever sizes the theme offers.
  AddFile->setIcon(SizedIcon(ThemeIcon("list-add", QStyle::SP_DialogOpenButton), 32));
  AddFolder->setIcon(ThemeIcon("folder-open", QStyle::SP_DirOpenIcon));
  FollowEnabled(AddFile, AddFolder);
  DelFile->setIcon(SizedIcon(ThemeIcon("list-remove", QStyle::SP_TrashIcon), 32));
  ClearFile->setIcon(SizedIcon(ThemeIcon("edit-clear", QStyle::SP_DialogResetButton), 32));
  Convert->setIcon(SizedIcon(ThemeIcon("media-playback-start", QStyle::SP_MediaPlay), 32));
  Convert_Stop->setIcon(SizedIcon(ThemeIcon("media-playback-stop", QStyle::SP_MediaStop), 32));
  M_Help->setIcon(SizedIcon(ThemeIcon("help-contents", QStyle::SP_DialogHelpButton), 32));
  Play->setIcon(ThemeIcon("media-playback-start", QStyle::SP_MediaPlay));
  StopPlay->setIcon(ThemeIcon("media-playback-stop", QStyle::SP_MediaStop));
  PausePlay->setIcon(ThemeIcon("media-playback-pause", QStyle::SP_MediaPause));
  Pause->setIcon(ThemeIcon("media-playback-pause", QStyle::SP_MediaPause));

  connect(AddFile, &QAction::triggered, this, &TFrm_Main::AddFileExecute);
  connect(AddFolder, &QAction::triggered, this, &TFrm_Main::AddFolderExecute);
  connect(DelFile, &QAction::triggered, this, &TFrm_Main::DelFileExecute);
  connect(ClearFile, &QAction::triggered, this, &TFrm_Main::ClearFileExecute);
  connect(Convert, &QAction::triggered, this, &TFrm_Main::ConvertExecute);
  connect(Convert_Stop, &QAction::triggered, this, &TFrm_Main::Convert_StopExecute);
  connect(M_Help, &QAction::triggered, this, &TFrm_Main::M_HelpExecute);
  connect(M_email, &QAction::triggered, this, &TFrm_Main::M_emailExecute);
  connect(M_Homepage, &QAction::triggered, this, &TFrm_Main::M_HomepageExecute);
  connect(M_Aboutus, &QAction::triggered, this, &TFrm_Main::M_AboutusExecute);
}

void TFrm_Main::CreateMenus() {
  MainMenu1 = Named(new QMenuBar(this), "MainMenu1");
  setMenuBar(MainMenu1);

  mnuFile = Named(MainMenu1->addMenu(tr("文件")), "mnuFile");
  mnuFile->addAction(AddFile);
  mnuFile->addAction(AddFolder);
  mnuFile->addAction(DelFile);
  // The menu names the clear action differently from its own caption.
  mniClearFile = NewAction(this, "mniClearFile", tr("清除文件"));
  mniClearFile->setIcon(ClearFile->icon());
  FollowEnabled(ClearFile, mniClearFile);
  connect(mniClearFile, &QAction::triggered, ClearFile, &QAction::trigger);
  mnuFile->addAction(mniClearFile);
  mnuFile->addSeparator();
  mnuFile->addAction(Convert);
  mnuFile->addAction(Convert_Stop);
  mnuFile->addSeparator();
  N16 = NewAction(this, "N16", tr("退出"));
  connect(N16, &QAction::triggered, this, &TFrm_Main::N16Click);
  mnuFile->addAction(N16);

  mnuHelp = Named(MainMenu1->addMenu(tr("帮助文件")), "mnuHelp");
  mnuHelp->addAction(M_Help);
  mnuHelp->addSeparator();
  mnuHelp->addAction(M_email);
  mnuHelp->addAction(M_Homepage);
  mnuHelp->addSeparator();
  mnuHelp->addAction(M_Aboutus);
}

void TFrm_Main::CreateToolBar() {
  ToolBar1 = Named(new QToolBar(this), "ToolBar1");
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(32, 32));
  ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  ToolBar1->toggleViewAction()->setVisible(false);
  addToolBar(Qt::TopToolBarArea, ToolBar1);

  auto NewButton = [this](const char* AName) {
    auto* Button = Named(new QToolButton(ToolBar1), AName);
    Button->setAutoRaise(true);
    Button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    Button->setIconSize(QSize(32, 32));
    Button->setMinimumSize(67, 51);
    return Button;
  };
  // A button that shows a caption of its own and runs AAction.
  auto OwnCaption = [&](const char* AName, const QString& ACaption, QAction* AAction) {
    QToolButton* Button = NewButton(AName);
    Button->setText(ACaption);
    Button->setIcon(AAction->icon());
    FollowEnabled(AAction, Button);
    connect(Button, &QToolButton::clicked, AAction, &QAction::trigger);
    ToolBar1->addWidget(Button);
    return Button;
  };
  // A button that shows its action's caption.
  auto ActionCaption = [&](const char* AName, QAction* AAction) {
    QToolButton* Button = NewButton(AName);
    Button->setDefaultAction(AAction);
    ToolBar1->addWidget(Button);
    return Button;
  };

  tbAddFile = OwnCaption("tbAddFile", tr(" 添加(&A) "), AddFile);
  tbDelFile = OwnCaption("tbDelFile", tr("删除(&D)"), DelFile);
  tbClearFile = OwnCaption("tbClearFile", tr("清除(&C)"), ClearFile);
  ToolBar1->addSeparator();
  tbConvert = ActionCaption("tbConvert", Convert);
  tbConvertStop = ActionCaption("tbConvertStop", Convert_Stop);
  ToolBar1->addSeparator();
  tbHelp = ActionCaption("tbHelp", M_Help);
}

QWidget* TFrm_Main::CreateFileList() {
  lvFiles = Named(new QTreeWidget(this), "lvFiles");
  lvFiles->setRootIsDecorated(false);
  lvFiles->setItemsExpandable(false);
  lvFiles->setUniformRowHeights(true);
  lvFiles->setAllColumnsShowFocus(true);
  lvFiles->setSelectionMode(QAbstractItemView::SingleSelection);
  lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvFiles->header()->setStretchLastSection(false);
  lvFiles->header()->setSectionsMovable(false);

  QStringList Captions;
  for (const TListColumn& Col : kListColumns) Captions.append(tr(Col.Caption));
  lvFiles->setColumnCount(static_cast<int>(Captions.size()));
  lvFiles->setHeaderLabels(Captions);
  for (int I = 0; I < static_cast<int>(std::size(kListColumns)); ++I) {
    if (kListColumns[I].Width > 0)
      lvFiles->setColumnWidth(I, kListColumns[I].Width);
    else
      lvFiles->setColumnHidden(I, true);
  }

  // The selected row stays marked when the list loses the focus.
  QPalette Colors = lvFiles->palette();
  for (const auto Role : {QPalette::Highlight, QPalette::HighlightedText})
    Colors.setBrush(QPalette::Inactive, Role, Colors.brush(QPalette::Active, Role));
  lvFiles->setPalette(Colors);

  lvFiles->setItemDelegateForColumn(lcProgress, new TProgressDelegate(lvFiles));
  // Files dropped onto the list are added like files chosen in the dialog.
  lvFiles->setAcceptDrops(true);
  lvFiles->viewport()->setAcceptDrops(true);
  lvFiles->viewport()->installEventFilter(this);
  return lvFiles;
}

QWidget* TFrm_Main::CreatePreviewPanel() {
  Panel2 = Named(new QFrame(this), "Panel2");
  Panel2->setFrameShape(QFrame::StyledPanel);
  Panel2->setFixedWidth(196);
  auto* Column = new QVBoxLayout(Panel2);
  Column->setContentsMargins(2, 2, 2, 2);
  Column->setSpacing(2);

  pl_play = Named(new QFrame(Panel2), "pl_play");
  pl_play->setFrameShape(QFrame::Panel);
  pl_play->setFrameShadow(QFrame::Sunken);
  pl_play->setAutoFillBackground(true);
  QPalette Dark = pl_play->palette();
  Dark.setColor(QPalette::Window, Qt::black);
  pl_play->setPalette(Dark);
  pl_play->setMinimumSize(120, 90);
  auto* PlayLayout = new QVBoxLayout(pl_play);
  PlayLayout->setContentsMargins(0, 0, 0, 0);
  imgPlay = Named(new QLabel(pl_play), "imgPlay");
  imgPlay->setAlignment(Qt::AlignCenter);
  imgPlay->setPixmap(ThemeIcon("video-x-generic", QStyle::SP_MediaPlay).pixmap(48, 48));
  PlayLayout->addWidget(imgPlay);
  Column->addWidget(pl_play, 1);

  pl_bottom = Named(new QWidget(Panel2), "pl_bottom");
  auto* Controls = new QHBoxLayout(pl_bottom);
  Controls->setContentsMargins(0, 0, 0, 0);
  Controls->setSpacing(2);
  btnPlay = Named(new QToolButton(pl_bottom), "btnPlay");
  btnPlay->setDefaultAction(Play);
  btnPlay->setAutoRaise(true);
  btnStopPlay = Named(new QToolButton(pl_bottom), "btnStopPlay");
  btnStopPlay->setDefaultAction(StopPlay);
  btnStopPlay->setAutoRaise(true);
  TrackBar1 = Named(new TTrackBar(pl_bottom), "TrackBar1");
  TrackBar1->setTickPosition(QSlider::NoTicks);
  TrackBar1->setRange(0, 10);
  Controls->addWidget(btnPlay);
  Controls->addWidget(btnStopPlay);
  Controls->addWidget(TrackBar1, 1);
  connect(TrackBar1, &QSlider::valueChanged, this, [this] { TrackBar1Change(); });
  connect(Play, &QAction::triggered, this, &TFrm_Main::PlayExecute);
  connect(StopPlay, &QAction::triggered, this, &TFrm_Main::StopPlayExecute);
  connect(PausePlay, &QAction::triggered, this, &TFrm_Main::PausePlayExecute);
  // SDL draws into the panel's own window: Qt must neither paint it nor
  // share it with its parent.
  pl_play->setAttribute(Qt::WA_NativeWindow);
  pl_play->installEventFilter(this);
  Column->addWidget(pl_bottom, 0);
  return Panel2;
}

QWidget* TFrm_Main::CreateProfileTabs() {
  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  const char* const Names[] = {"TS1", "TS2", "TS3", "TS4", "TS5", "TS6", "TS7"};
  const QStringList Captions = ItemTexts(kTabCaptions);
  QWidget** Sheets[] = {&TS1, &TS2, &TS3, &TS4, &TS5, &TS6, &TS7};
  for (int I = 0; I < 7; ++I) {
    QWidget* Sheet = Named(new QWidget(PageControl1), Names[I]);
    auto* Layout = new QVBoxLayout(Sheet);
    Layout->setContentsMargins(4, 4, 4, 4);
    Layout->addStretch(1);
    PageControl1->addTab(Sheet, Captions[I]);
    *Sheets[I] = Sheet;
  }

  // The options panel: shown on the tab of the format it refines.
  pl2 = Named(new QWidget(TS1), "pl2");
  auto* Grid = new QGridLayout(pl2);
  Grid->setContentsMargins(0, 0, 0, 0);
  Grid->setSpacing(4);

  grpFrameSize = Named(new QGroupBox(tr("视频尺寸"), pl2), "grpFrameSize");
  auto* SizeLayout = new QVBoxLayout(grpFrameSize);
  SizeLayout->setContentsMargins(6, 4, 6, 4);
  cboFrameSize = Named(new QComboBox(grpFrameSize), "cboFrameSize");
  cboFrameSize->setEditable(false);
  cboFrameSize->addItems(ItemTexts(kFrameSizeItems));
  cboFrameSize->setCurrentIndex(0);
  cboFrameSize->setMaxVisibleItems(16);
  SizeLayout->addWidget(cboFrameSize);

  grpAudioChannels = Named(new TRadioGroup(tr("声道"), ItemTexts(kChannelItems), 3, pl2), "grpAudioChannels");
  grpAudioChannels->SetItemIndex(0);

  grpBitRate = Named(new QGroupBox(tr("视(音)频品质 (Kbps)"), pl2), "grpBitRate");
  auto* RateLayout = new QGridLayout(grpBitRate);
  RateLayout->setContentsMargins(6, 4, 6, 4);
  RateLayout->setHorizontalSpacing(6);
  RateLayout->setVerticalSpacing(2);
  chkVideoBitRate = Named(new QCheckBox(tr("视频品质"), grpBitRate), "chkVideoBitRate");
  edtVideoBitRate = Named(new QLineEdit(FromUtf8(kDefaultVideoBitrateText), grpBitRate), "edtVideoBitRate");
  chkAudioBitRate = Named(new QCheckBox(tr("音频品质"), grpBitRate), "chkAudioBitRate");
  edtAudioBitRate = Named(new QLineEdit(FromUtf8(kDefaultAudioBitrateText), grpBitRate), "edtAudioBitRate");
  for (QLineEdit* Edit : {edtVideoBitRate, edtAudioBitRate}) {
    Edit->setEnabled(false);
    Edit->setFixedWidth(56);
  }
  RateLayout->addWidget(chkVideoBitRate, 0, 0);
  RateLayout->addWidget(edtVideoBitRate, 0, 1);
  RateLayout->addWidget(chkAudioBitRate, 1, 0);
  RateLayout->addWidget(edtAudioBitRate, 1, 1);
  connect(chkVideoBitRate, &QCheckBox::toggled, this, &TFrm_Main::chkVideoBitRateClick);
  connect(chkAudioBitRate, &QCheckBox::toggled, this, &TFrm_Main::chkAudioBitRateClick);

  grpFrameRate = Named(new TRadioGroup(tr("帧率"), ItemTexts(kFrameRateItems), 5, pl2), "grpFrameRate");
  grpFrameRate->SetItemIndex(0);

  Grid->addWidget(grpFrameSize, 0, 0);
  Grid->addWidget(grpAudioChannels, 0, 1);
  Grid->addWidget(grpBitRate, 1, 0);
  Grid->addWidget(grpFrameRate, 1, 1);
  Grid->setColumnStretch(1, 1);
  static_cast<QVBoxLayout*>(TS1->layout())->insertWidget(0, pl2);

  // The TV norm: shown on the tab of the format it refines (VCD or DVD).
  grpNorm = Named(new TRadioGroup(tr("选择电视制式"), ItemTexts(kNormItems), 1, TS4), "grpNorm");
  grpNorm->SetItemIndex(0);
  static_cast<QVBoxLayout*>(TS4->layout())->insertWidget(0, grpNorm);

  PageControl1->setCurrentIndex(0);
  connect(PageControl1, &QTabWidget::currentChanged, this, &TFrm_Main::PageControl1Change);
  return PageControl1;
}

void TFrm_Main::CreateHiddenPage() {
  PageControl2 = Named(new QTabWidget(this), "PageControl2");
  TSHidden = Named(new QWidget(PageControl2), "TSHidden");
  auto* Layout = new QVBoxLayout(TSHidden);
  mmolog = Named(new QPlainTextEdit(TSHidden), "mmolog");
  mmolog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmolog->setMaximumBlockCount(kLogLineLimit);
  mmoAVFileInfo = Named(new QPlainTextEdit(TSHidden), "mmoAVFileInfo");
  mmoAVFileInfo->setReadOnly(true);
  chkOverwrite = Named(new QCheckBox(QStringLiteral("Overwrite Existing File"), TSHidden), "chkOverwrite");
  chkDisableAudio = Named(new QCheckBox(QStringLiteral("Disable Audio"), TSHidden), "chkDisableAudio");
  chkDisableVideo = Named(new QCheckBox(QStringLiteral("Disable Video"), TSHidden), "chkDisableVideo");
  chkDisableDisplay = Named(new QCheckBox(QStringLiteral("Disable Display"), TSHidden), "chkDisableDisplay");
  Layout->addWidget(mmolog);
  Layout->addWidget(mmoAVFileInfo);
  Layout->addWidget(chkOverwrite);
  Layout->addWidget(chkDisableAudio);
  Layout->addWidget(chkDisableVideo);
  Layout->addWidget(chkDisableDisplay);
  PageControl2->addTab(TSHidden, QStringLiteral("Log"));
  PageControl2->hide();
}

// ---------------------------------------------------------------------------
// Start-up and close

void TFrm_Main::FormCreate() {
  // Nothing to convert yet.
  Convert->setEnabled(false);
  Convert_Stop->setEnabled(false);

  // The first tab's own values show in the controls it replaces.
  ShowFixedChoices();

  // The dialog that adds sources: existing files, all media first.
  OpenDialog1.Filter = kMediaFileFilter;
  OpenDialog1.NameFilters = ToQtNameFilters(kMediaFileFilter);
  OpenDialog1.FilterIndex = 0;
  OpenDialog1.Options = QFileDialog::HideNameFilterDetails;

  // The settings stay open until the window closes.
  FSettings = std::make_unique<TAppSettings>(FEnvironment);

  // Run settings and the output folder.
  ThreadCountText = FSettings->ReadString(QStringLiteral("Thread_Count"), QString());
  ThreadPriority = FSettings->ReadInteger(QStringLiteral("Thread_Priority"), -1);
  edtOutPath->setText(FSettings->ReadString(QStringLiteral("dir"), QString()));

  // The window caption.
  AppName = FSettings->ReadString(QStringLiteral("appname"), QString());
  AppVersion = FSettings->ReadString(QStringLiteral("appver"), QString());
  setWindowTitle(AppName + QLatin1Char(' ') + AppVersion);
  FBaseTitle = windowTitle();

  // The output folder must exist before anything is written into it.
  CreateOutputFolder();
}

void TFrm_Main::CreateOutputFolder() {
  const QString Dir = edtOutPath->text();
  // "Next to each source" names no folder of its own.
  if (Dir == kSameFolderText) return;

  const QString Path = ResolvedFolder(Dir);
  if (IsDirectory(Path)) return;

  // One level only: a missing parent is an error like any other.
  if (::mkdir(SystemPath(Path.toStdU16String()).c_str(), 0777) == 0) return;
  const int Error = errno;
  const QString Reason = QString::fromStdU16String(FromLocal8Bit(std::generic_category().message(Error)));
  FServices->ShowMessageBox(this, tr("无法创建目录 \"%1\": %2").arg(Dir, Reason), AppInfo::kProgramName,
                            QMessageBox::Critical);
}

void TFrm_Main::FormCloseQuery(bool& CanClose) {
  // Closing stops the batch: the user is asked first.
  if (FBatchRunning &&
      FServices->ShowMessageBox(this, tr("正在转换文件。停止转换并退出吗？"), AppInfo::kProgramName,
                                QMessageBox::Question, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
    CanClose = false;
    return;
  }
  CanClose = true;
  FBatchRunning = false;
  FServices->ReleaseSleep();
  if (FFPlayer) FFPlayer->Stop(true);
  CancelAdding();
  if (FAdder) FAdder->Wait();
  FPreparing = false;
  DetachConverterEvents();
  StopAllTasks();
  if (!FSettings) return;
  try {
    FSettings->WriteString(QStringLiteral("dir"), edtOutPath->text());
  } catch (const std::exception& E) {
    const QString Line =
        QStringLiteral("***Cannot write the settings file: ") + QString::fromStdU16String(FromLocal8Bit(E.what()));
    AppendLog(Line);
    qWarning("%s", qUtf8Printable(Line));
  }
}

void TFrm_Main::closeEvent(QCloseEvent* AEvent) {
  bool CanClose = true;
  FormCloseQuery(CanClose);
  if (CanClose)
    AEvent->accept();
  else
    AEvent->ignore();
}

void TFrm_Main::AttachConverterEvents() {
  // The handlers run on the converter's threads; they stay assigned for the
  // window's life (the component's events are not to be reassigned while
  // tasks run) and are switched off with FEventsAttached.
  Vidmill->OnProgress() = [this](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                 float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    if (FEventsAttached)
      VidmillProgress(AIndex, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                      ATotalOutputDuration);
  };
  Vidmill->OnTerminate() = [this](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    if (FEventsAttached) VidmillTerminate(AIndex, AFinished, AException, AMessage);
  };
  FEventsAttached = true;
}

void TFrm_Main::DetachConverterEvents() {
  // The window runs no hooks; progress and termination go quiet at once,
  // also for notifications already on their way to the window.
  FEventsAttached = false;
}

void TFrm_Main::StopAllTasks() {
  Vidmill->StopConvert(true);
  // Every notification of the run has been delivered: nothing calls the
  // handlers any more, and they can go.
  Vidmill->OnBeforeHook() = nullptr;
  Vidmill->OnCustomHook() = nullptr;
  Vidmill->OnProgress() = nullptr;
  Vidmill->OnTerminate() = nullptr;
}

// ---------------------------------------------------------------------------
// Control handlers

void TFrm_Main::PageControl1Change() {
  ShowFixedChoices();
  QWidget* Sheet = PageControl1->currentWidget();
  if (!Sheet) return;
  // VCD and DVD are refined by the TV norm only; every other format by the
  // options panel.
  QWidget* Moved = (Sheet == TS4 || Sheet == TS5) ? static_cast<QWidget*>(grpNorm) : pl2;
  if (Moved->parentWidget() == Sheet) return;
  if (QWidget* Old = Moved->parentWidget(); Old && Old->layout()) Old->layout()->removeWidget(Moved);
  static_cast<QVBoxLayout*>(Sheet->layout())->insertWidget(0, Moved);
  Moved->show();
}

void TFrm_Main::ShowFixedChoices() {
  const TFixedChoices Fixed = FixedChoicesOfTab(PageControl1->currentIndex());
  if (Fixed.Any == FFixedShown) return;
  const QString FixedAudio = QString::fromStdString(Fixed.AudioBitrateText);
  if (Fixed.Any) {
    // The user's values wait; what the tab uses shows in their place.
    FUserChoices = {cboFrameSize->currentIndex(), grpAudioChannels->ItemIndex(), chkAudioBitRate->isChecked(),
                    edtAudioBitRate->text()};
    FShownChoices = {Fixed.FrameSizeIndex, Fixed.ChannelsIndex, true, FixedAudio};
    cboFrameSize->setCurrentIndex(Fixed.FrameSizeIndex);
    grpAudioChannels->SetItemIndex(Fixed.ChannelsIndex);
    chkAudioBitRate->setChecked(true);
    edtAudioBitRate->setText(FixedAudio);
  } else {
    // Back to the user's values, unless something set another value
    // while the tab showed its own.
    if (cboFrameSize->currentIndex() == FShownChoices.FrameSize) cboFrameSize->setCurrentIndex(FUserChoices.FrameSize);
    if (grpAudioChannels->ItemIndex() == FShownChoices.Channels) grpAudioChannels->SetItemIndex(FUserChoices.Channels);
    if (chkAudioBitRate->isChecked() == FShownChoices.AudioChecked)
      chkAudioBitRate->setChecked(FUserChoices.AudioChecked);
    if (edtAudioBitRate->text() == FShownChoices.AudioText) edtAudioBitRate->setText(FUserChoices.AudioText);
  }
  FFixedShown = Fixed.Any;
  for (QWidget* Control : std::initializer_list<QWidget*>{cboFrameSize, grpAudioChannels, chkAudioBitRate})
    Control->setEnabled(!Fixed.Any);
  edtAudioBitRate->setEnabled(!Fixed.Any && chkAudioBitRate->isChecked());
}

void TFrm_Main::chkVideoBitRateClick() { edtVideoBitRate->setEnabled(chkVideoBitRate->isChecked()); }

void TFrm_Main::chkAudioBitRateClick() { edtAudioBitRate->setEnabled(chkAudioBitRate->isChecked()); }

void TFrm_Main::FFLoggerLog(TObject* /*Sender*/, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg) {
  AppendLog(QStringLiteral("#%1.%2: %3")
                .arg(AThreadID)
                .arg(static_cast<int>(ALogLevel))
                .arg(QString::fromStdU16String(FromLocal8Bit(ALogMsg))));
}

void TFrm_Main::AppendLog(const QString& ALine) {
  // An empty memo takes its first line into the block it already has, so an
  // empty first line leaves no trace: the next line then opens the second
  // block itself.
  if (FEmptyFirstLogLine && mmolog->document()->isEmpty()) {
    QTextCursor End(mmolog->document());
    End.movePosition(QTextCursor::End);
    End.insertBlock();
    End.insertText(ALine);
  } else {
    mmolog->appendPlainText(ALine);
  }
  FEmptyFirstLogLine = ALine.isEmpty() && mmolog->document()->isEmpty();
}

// ---------------------------------------------------------------------------
// Conversion list

bool TFrm_Main::LoadLibraries() {
  if (Vidmill->AVLibLoaded()) return true;
  if (Vidmill->LoadAVLib((FEnvironment.ExeDir + QStringLiteral("LibAV")).toStdU16String())) return true;
  AppendLog(FromLocal(Vidmill->LastErrMsg()));
  return false;
}

void TFrm_Main::LogLines(const QString& AText) {
  AppendLog(QString());
  AppendLog(AText);
  AppendLog(QString());
}

void TFrm_Main::AddFileExecute() {
  if (!LoadLibraries()) return;
  const QStringList FileNames = FServices->GetOpenFileNames(this, OpenDialog1);
  if (FileNames.isEmpty()) return;
  AddFiles(FileNames);
}

void TFrm_Main::AddFolderExecute() {
  if (!LoadLibraries()) return;
  QString Folder =
      LastSource.FileName.empty() ? QString() : QString::fromStdU16String(ExtractFilePathW(LastSource.FileName));
  if (!BrowseForFolder(QStringLiteral("Select Source Folder"), QString(), Folder)) return;
  AddFiles({Folder});
}

void TFrm_Main::AddFiles(const QStringList& AFileNames) {
  if (AFileNames.isEmpty() || FAdding || !LoadLibraries()) return;
  FFLogger->SetLogLevel(llInfo);
  if (!FAdder->Start(AFileNames, MediaPatterns())) return;
  FAdding = true;
  FAddedRows = false;
  FAddFailures.clear();
  FStatesBeforeAdding = CurrentActionStates();
  // No second adding, no clearing and no batch until the rows are in.
  AddFile->setEnabled(false);
  ClearFile->setEnabled(false);
  Convert->setEnabled(false);
}

void TFrm_Main::TakeAddedSources() {
  if (!FAdding) return;
  const auto Until = std::chrono::steady_clock::now() + kWorkSlice;
  bool More = true;
  while (std::chrono::steady_clock::now() < Until) {
    const std::vector<TProbedSource> Sources = FAdder->Take(4);
    if (Sources.empty()) {
      More = false;
      break;
    }
    for (const TProbedSource& Source : Sources) AddProbedSource(Source);
  }
  if (!FAdder->Busy()) {
    EndAdding();
    return;
  }
  // AddListRow enables what a row allows; while rows are still coming the
  // adding's states hold.
  ClearFile->setEnabled(false);
  Convert->setEnabled(false);
  const int Total = FAdder->Total();
  ShowStatus(Total > 0 ? tr("正在添加 %1/%2 个文件").arg(FAdder->Taken()).arg(Total) : tr("正在查找文件..."));
  // Results left over after the slice: the adder wakes the window only
  // when it finds none waiting.
  if (More) FAddTimer->start();
}

void TFrm_Main::AddProbedSource(const TProbedSource& ASource) {
  if (!ASource.Loaded) {
    LogLines(QStringLiteral("***File load error: ") + FromLocal(ASource.Error));
    FAddFailures.append(QDir::toNativeSeparators(ASource.FileName) + QStringLiteral(": ") + FromLocal(ASource.Error));
    return;
  }
  ShowSourceInfo(ASource);
  const TOutputOptions OutputOptions = BuildOutputOptions();
  const TInputOptions InputOptions = BuildInputOptions();
  AddListRow(InputOptions, OutputOptions);
  FAddedRows = true;
}

void TFrm_Main::EndAdding() {
  if (!FAdding) return;
  FAdding = false;
  RestoreActionStates(FStatesBeforeAdding);
  if (FAddedRows) {
    DelFile->setEnabled(true);
    ClearFile->setEnabled(true);
    Convert->setEnabled(true);
  }
  ShowStatus(QString());
  ReportAddFailures();
}

void TFrm_Main::ReportAddFailures() {
  // A long list shows its first lines and how many more there are.
  constexpr int kShownLines = 20;
  QStringList Lines;
  if (!FAddFailures.isEmpty()) {
    Lines << tr("以下文件无法添加:");
    Lines << FAddFailures.mid(0, kShownLines);
    if (FAddFailures.size() > kShownLines) Lines << tr("……另有 %1 个").arg(FAddFailures.size() - kShownLines);
  }
  if (FAdder && FAdder->Found() > 0)
    Lines << tr("文件夹中有 %1 个媒体文件，一次最多添加 %2 个：只添加了前 %2 个。")
                 .arg(FAdder->Found())
                 .arg(TSourceAdder::kMostFiles);
  FAddFailures.clear();
  if (!Lines.isEmpty())
    FServices->ShowMessageBox(this, Lines.join(QLatin1Char('\n')), AppInfo::kProgramName, QMessageBox::Warning);
}

void TFrm_Main::CancelAdding() {
  if (!FAdding) return;
  FAdder->Cancel();
  EndAdding();
}

void TFrm_Main::ShowSourceInfo(TCustomAVProbe& AProbe) {
  LastProbe = &AProbe;
  ShowSourceInfo(ProbedSource(AProbe));
}

void TFrm_Main::ShowSourceInfo(const TProbedSource& ASource) {
  LastSource = ASource.Info;
  SourceDuration = LastSource.SourceDuration;
  FrameCount = LastSource.FrameCount;
  LastSourceSize = ASource.FileSize;
  mmoAVFileInfo->setPlainText(FromLocal(ASource.InfoText));
}

TFrm_Main::TActionStates TFrm_Main::CurrentActionStates() const {
  return {AddFile->isEnabled(), DelFile->isEnabled(), ClearFile->isEnabled(), Convert->isEnabled(),
          Convert_Stop->isEnabled()};
}

void TFrm_Main::RestoreActionStates(const TActionStates& AStates) {
  AddFile->setEnabled(AStates.AddFile);
  DelFile->setEnabled(AStates.DelFile);
  ClearFile->setEnabled(AStates.ClearFile);
  Convert->setEnabled(AStates.Convert);
  Convert_Stop->setEnabled(AStates.Convert_Stop);
}

void TFrm_Main::ShowStatus(const QString& AText) {
  lblStatus->setText(AText);
  btnStatusCancel->setVisible(!AText.isEmpty());
}

void TFrm_Main::btnStatusCancelClick() {
  if (FAdding)
    CancelAdding();
  else if (FPreparing)
    Convert_Stop->trigger();
}

void TFrm_Main::AddListRow(const TInputOptions& AInputOptions, const TOutputOptions& AOutputOptions) {
  auto* Row = new QTreeWidgetItem(lvFiles);
  Row->setText(lcSource, FileNamePart(AInputOptions.FileName));
  Row->setToolTip(lcSource, QDir::toNativeSeparators(QString::fromStdU16String(AInputOptions.FileName)));
  Row->setText(lcDuration, SourceDuration > 0 ? QString::number(SourceDuration / 1000000) : QStringLiteral("N/A"));
  Row->setText(lcSize, QString::number(LastSourceSize));
  Row->setText(lcOutput, FileNamePart(AOutputOptions.FileName));
  Row->setText(lcPath, QString::fromStdU16String(AInputOptions.FileName));
  LogLines(QStringLiteral("***File has been added to convert list."));
  DelFile->setEnabled(true);
  ClearFile->setEnabled(true);
  Convert->setEnabled(true);
}

void TFrm_Main::SetListActions() {
  const bool Rows = lvFiles->topLevelItemCount() > 0;
  DelFile->setEnabled(Rows);
  ClearFile->setEnabled(Rows);
  Convert->setEnabled(Rows);
}

void TFrm_Main::ForgetRow(QTreeWidgetItem* ARow) {
  for (auto It = FRowOfTask.begin(); It != FRowOfTask.end();) {
    if (It->second != ARow) {
      ++It;
      continue;
    }
    // The row's own task, wherever the task list has moved it.
    const int Index = Vidmill->IndexOfTaskId(It->first);
    if (Index >= 0) Vidmill->RemoveTask(Index);
    It = FRowOfTask.erase(It);
  }
}

void TFrm_Main::DelFileExecute() {
  const QList<QTreeWidgetItem*> Selected = lvFiles->selectedItems();
  if (Selected.isEmpty()) return;
  QTreeWidgetItem* Row = Selected.first();
  ForgetRow(Row);
  delete Row;
  SetListActions();
}

void TFrm_Main::ClearFileExecute() {
  Vidmill->ClearTasks();
  ++FBatch;
  FRowOfTask.clear();
  lvFiles->clear();
  setWindowTitle(FBaseTitle);
  ShowStatus(QString());
  AddFile->setEnabled(true);
  DelFile->setEnabled(false);
  ClearFile->setEnabled(false);
  Convert->setEnabled(false);
}

bool TFrm_Main::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == pl_play) {
    // The player draws at the size it was given: a resized panel tells it.
    if (AEvent->type() == QEvent::Resize && FFPlayer && FFPlayer->Playing() && FVideoPanel == pl_play) {
      const QSize Size = static_cast<QResizeEvent*>(AEvent)->size();
      FFPlayer->SetScreenWidth(Size.width());
      FFPlayer->SetScreenHeight(Size.height());
    }
    return QMainWindow::eventFilter(AWatched, AEvent);
  }
  if (AWatched != lvFiles->viewport()) return QMainWindow::eventFilter(AWatched, AEvent);
  switch (AEvent->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* Drag = static_cast<QDragMoveEvent*>(AEvent);
      if (AddFile->isEnabled() && !DroppedFiles(Drag->mimeData()).isEmpty())
        Drag->acceptProposedAction();
      else
        Drag->ignore();
      return true;
    }
    case QEvent::Drop: {
      auto* Drop = static_cast<QDropEvent*>(AEvent);
      const QStringList Files = DroppedFiles(Drop->mimeData());
      if (!AddFile->isEnabled() || Files.isEmpty()) {
        Drop->ignore();
        return true;
      }
      Drop->acceptProposedAction();
      // Probing takes a while: the drag source is let go first.
      QMetaObject::invokeMethod(
          this, [this, Files] { AddFiles(Files); }, Qt::QueuedConnection);
      return true;
    }
    default:
      return QMainWindow::eventFilter(AWatched, AEvent);
  }
}

// ---------------------------------------------------------------------------
// Output profiles

TProfileChoices TFrm_Main::ProfileChoices() const {
  TProfileChoices Choices;
  Choices.TabIndex = PageControl1->currentIndex();
  Choices.FrameSizeIndex = cboFrameSize->currentIndex();
  Choices.FrameSizeText = cboFrameSize->currentText().toStdString();
  Choices.ChannelsIndex = grpAudioChannels->ItemIndex();
  Choices.VideoBitrateChecked = chkVideoBitRate->isChecked();
  Choices.VideoBitrateText = edtVideoBitRate->text().toStdString();
  Choices.AudioBitrateChecked = chkAudioBitRate->isChecked();
  Choices.AudioBitrateText = edtAudioBitRate->text().toStdString();
  const int Rate = grpFrameRate->ItemIndex();
  Choices.FrameRateIndex = Rate;
  Choices.FrameRateText =
      Rate >= 0 && Rate < grpFrameRate->Items().size() ? grpFrameRate->Items().at(Rate).toStdString() : std::string();
  Choices.NormIndex = grpNorm->ItemIndex();
  const QString Folder = edtOutPath->text();
  Choices.OutputFolder = (Folder == kSameFolderText ? Folder : ResolvedFolder(Folder)).toStdU16String();
  return Choices;
}

TOutputOptions TFrm_Main::BuildOutputOptions() const { return ::BuildOutputOptions(ProfileChoices(), LastSource); }

TInputOptions TFrm_Main::BuildInputOptions() const { return ::BuildInputOptions(LastSource); }

// ---------------------------------------------------------------------------
// Run control

void TFrm_Main::ConvertExecute() {
  const int Rows = lvFiles->topLevelItemCount();
  if (Rows == 0) {
    FServices->ShowMessageBox(nullptr, tr("没有视频文件，不能转换."), tr("提示"), QMessageBox::Information);
    return;
  }
  if (FPreparing || FAdding) return;
  Vidmill->ClearTasks();
  ++FBatch;
  FRowOfTask.clear();
  FStatesBeforeBatch = CurrentActionStates();
  // Nothing else may change the list or start again while it is prepared;
  // the stop button stops the preparation as it stops the batch.
  AddFile->setEnabled(false);
  DelFile->setEnabled(false);
  ClearFile->setEnabled(false);
  Convert->setEnabled(false);
  Convert_Stop->setEnabled(true);
  FPreparing = true;
  FPrepareNext = 0;
  FProgress.Start(Rows);
  FBatchClock.start();
  FBatchRunning = true;
  FServices->InhibitSleep(tr("正在转换视频文件"));
  FBatchStopped = false;
  setWindowTitle(FBaseTitle);
  PrepareBatch();
}

void TFrm_Main::PrepareBatch() {
  if (!FPreparing) return;
  const auto Until = std::chrono::steady_clock::now() + kWorkSlice;
  TAVProbe& Probe = Vidmill->Probe();
  const int Rows = lvFiles->topLevelItemCount();
  const int ThreadCount = StrToIntDef(ThreadCountText.toStdString(), 1);
  while (FPrepareNext < Rows) {
    QTreeWidgetItem* Row = lvFiles->topLevelItem(FPrepareNext);
    if (!Probe.LoadFile(Row->text(lcPath).toStdU16String())) {
      // The start is abandoned: the actions go back to what they were, the
      // tasks queued so far stay until the list is cleared.
      LogLines(QStringLiteral("***File load error: ") + FromLocal(Probe.LastErrMsg()));
      FPreparing = false;
      FBatchRunning = false;
      FServices->ReleaseSleep();
      RestoreActionStates(FStatesBeforeBatch);
      ShowStatus(QString());
      return;
    }
    {
      TProbeCloser Closer(Probe);
      ShowSourceInfo(Probe);
      // Planned afresh: an output reserved by an earlier row already takes its name.
      const TOutputOptions OutputOptions = BuildOutputOptions();
      const TInputOptions InputOptions = BuildInputOptions();
      QueueTask(InputOptions, OutputOptions, Row);
    }
    ++FPrepareNext;
    // Without threads the batch runs inside the start anyway: no slices.
    if (FPrepareNext < Rows && FPrepareNext >= kRowsQueuedAtOnce && ThreadCount > 0 &&
        std::chrono::steady_clock::now() >= Until) {
      ShowStatus(tr("正在准备转换 %1/%2").arg(FPrepareNext).arg(Rows));
      FPrepareTimer->start();
      return;
    }
  }
  FPreparing = false;
  ShowStatus(QString());

  FFLogger->SetLogLevel(llInfo);
  Vidmill->SetThreadPriority(ConvertPriorityFromSetting(ThreadPriority));
  // A batch in which no row got a task has nothing to wait for: the
  // converter would never report its end.
  if (Vidmill->TaskCount() == 0) {
    ShowBatchEnd();
    return;
  }
  Vidmill->StartConvert(ThreadCount);
}

bool TFrm_Main::QueueTask(const TInputOptions& AInputOptions, const TOutputOptions& AOutputOptions,
                          QTreeWidgetItem* ARow) {
  const int Index = Vidmill->AddTask(AInputOptions.FileName, &AInputOptions);
  if (Index < 0) {
    const QString Error = FromLocal(Vidmill->LastErrMsg());
    LogLines(QStringLiteral("***File open error: ") + Error);
    MarkRowFailed(ARow, Error);
    FProgress.RowFailed();
    return false;
  }
  if (!Vidmill->SetOutputFile(Index, AOutputOptions.FileName, &AOutputOptions)) {
    const QString Error = FromLocal(Vidmill->LastErrMsg());
    Vidmill->RemoveTask(Index);
    LogLines(QStringLiteral("***Cannot do convert, error: ") + Error);
    MarkRowFailed(ARow, Error);
    FProgress.RowFailed();
    return false;
  }
  FRowOfTask[Vidmill->TaskId(Index)] = ARow;
  return true;
}

void TFrm_Main::Convert_StopExecute() {
  Convert_Stop->setEnabled(false);
  FBatchStopped = true;
  const bool Preparing = FPreparing;
  FPreparing = false;
  ShowStatus(QString());
  // The tasks queued so far end unstarted, and their reserved names go.
  Vidmill->StopConvert(true);
  // A batch stopped while it was being prepared never started: it is over
  // now.
  if (Preparing) ShowBatchEnd();
}

QTreeWidgetItem* TFrm_Main::RowOfTask(uint64_t ATaskId) const {
  const auto It = FRowOfTask.find(ATaskId);
  return It == FRowOfTask.end() ? nullptr : It->second;
}

void TFrm_Main::PostToWindow(std::function<void()> AMethod) {
  const uint32_t Batch = FBatch.load();
  auto Guarded = [this, Batch, Method = std::move(AMethod)] {
    if (FEventsAttached && Batch == FBatch.load()) Method();
  };
  if (QThread::currentThread() == thread()) {
    Guarded();
    return;
  }
  // The call waits in the window's own queue, under its lock, and one queued
  // wake-up runs whatever is there: what the worker wrote is handed over
  // through that lock, not only through the toolkit's event queue.
  bool Wake;
  {
    std::lock_guard<std::mutex> Lock(FPostedLock);
    Wake = FPosted.empty();
    FPosted.push_back(std::move(Guarded));
  }
  if (Wake) QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

void TFrm_Main::RunPosted() {
  std::deque<std::function<void()>> Calls;
  {
    std::lock_guard<std::mutex> Lock(FPostedLock);
    Calls.swap(FPosted);
  }
  for (const std::function<void()>& Call : Calls) Call();
}

void TFrm_Main::VidmillProgress(int AIndex, int /*AFrameNumber*/, int AFPS, int ACurrentDuration, float /*AQuality*/,
                                float /*ABitRate*/, int64_t ACurrentSize, int ATotalOutputDuration) {
  // The index is good only now: it is taken to the task's id at once.
  const uint64_t Id = Vidmill->TaskId(AIndex);
  PostToWindow([this, Id, AFPS, ACurrentDuration, ACurrentSize, ATotalOutputDuration] {
    ShowTaskProgress(Id, AFPS, ACurrentDuration, ACurrentSize, ATotalOutputDuration);
  });
}

void TFrm_Main::VidmillTerminate(int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
  if (AIndex < 0) {
    PostToWindow([this] { ShowBatchEnd(); });
    return;
  }
  const uint64_t Id = Vidmill->TaskId(AIndex);
  const QString Message = FromLocal(AMessage);
  PostToWindow([this, Id, AFinished, AException, Message] { ShowTaskEnd(Id, AFinished, AException, Message); });
}

void TFrm_Main::ShowTaskProgress(uint64_t ATaskId, int AFPS, int ACurrentDuration, int64_t ACurrentSize,
                                 int ATotalOutputDuration) {
  QTreeWidgetItem* Row = RowOfTask(ATaskId);
  if (!Row || Row->data(lcProgress, kEndedRole).toBool()) return;
  // A source that runs a little past the length it gave (its container
  // said less) stays at 100 % until it ends.
  Row->setText(lcProgress,
               ATotalOutputDuration > 0
                   ? QString::number(std::min<int64_t>(int64_t{ACurrentDuration} * 100 / ATotalOutputDuration, 100)) +
                         QLatin1Char('%')
                   : QStringLiteral("N/A"));
  if (AFPS > 0) Row->setText(lcFPS, QString::number(AFPS));
  Row->setText(lcPosition, QString::number(ACurrentDuration / 1000));
  Row->setText(lcOutputSize, QString::number(ACurrentSize));
  const int64_t Left = FProgress.TaskProgress(ATaskId, ACurrentDuration, ATotalOutputDuration, FBatchClock.elapsed());
  Row->setToolTip(lcProgress, Left >= 0 ? tr("剩余时间 %1").arg(TBatchProgress::DurationText(Left)) : QString());
  ShowBatchStatus();
}

void TFrm_Main::ShowBatchStatus() {
  if (FPreparing || FAdding) return;  // their own status shows
  lblStatus->setText(FProgress.StatusText());
  btnStatusCancel->hide();
}

void TFrm_Main::MarkRowFailed(QTreeWidgetItem* ARow, const QString& AReason) {
  ARow->setData(lcProgress, kEndedRole, true);
  ARow->setText(lcProgress, tr("失败"));
  for (int Column = 0; Column < lvFiles->columnCount(); ++Column) ARow->setToolTip(Column, AReason);
  if (ARow->data(lcProgress, kOutcomeRole).toBool()) return;
  ARow->setData(lcProgress, kOutcomeRole, true);
  LogLines(QStringLiteral("***Convert failed: ") + ARow->text(lcPath) + QStringLiteral(": ") + AReason);
}

void TFrm_Main::MarkRowStopped(QTreeWidgetItem* ARow) {
  ARow->setData(lcProgress, kEndedRole, true);
  ARow->setData(lcProgress, kOutcomeRole, true);
  ARow->setToolTip(lcProgress, QString());
  const QString Last = ARow->text(lcProgress);
  ARow->setText(lcProgress, Last.endsWith(QLatin1Char('%')) ? Last + QLatin1Char(' ') + tr("已停止") : tr("已停止"));
}

void TFrm_Main::ShowTaskEnd(uint64_t ATaskId, bool AFinished, bool AException, const QString& AMessage) {
  FProgress.TaskEnded(ATaskId, AException  ? TBatchProgress::toFailed
                               : AFinished ? TBatchProgress::toConverted
                                           : TBatchProgress::toStopped);
  if (QTreeWidgetItem* Row = RowOfTask(ATaskId)) {
    Row->setData(lcProgress, kEndedRole, true);
    if (AException) {
      MarkRowFailed(Row, AMessage);
    } else if (AFinished) {
      Row->setText(lcProgress, QStringLiteral("100%"));
      Row->setToolTip(lcProgress, QString());
      Row->setData(lcProgress, kOutcomeRole, true);
    } else {
      MarkRowStopped(Row);
    }
  }
  ShowBatchStatus();
  if (AException) FServices->ShowMessageBox(this, AMessage, AppInfo::kProgramName, QMessageBox::Warning);
}

void TFrm_Main::ShowBatchEnd() {
  // Rows whose task never reported (stopped before it started) were stopped.
  for (const auto& [Id, Row] : FRowOfTask)
    if (!Row->data(lcProgress, kOutcomeRole).toBool()) MarkRowStopped(Row);
  FBatchRunning = false;
  ShowBatchStatus();
  const QString Outcome = FBatchStopped ? tr("转换已停止") : tr("转换完成");
  setWindowTitle(FBaseTitle + QStringLiteral(" - ") + Outcome +
                 tr(" (%1 个成功，%2 个失败)").arg(FProgress.Converted()).arg(FProgress.Failed()));
  FServices->ReleaseSleep();
  FServices->Notify(AppInfo::kProgramName + QStringLiteral(": ") + Outcome,
                    tr("%1 个文件转换成功，%2 个失败").arg(FProgress.Converted()).arg(FProgress.Failed()));
  AddFile->setEnabled(false);
  DelFile->setEnabled(false);
  Convert->setEnabled(false);
  Convert_Stop->setEnabled(false);
  ClearFile->setEnabled(true);
}

// ---------------------------------------------------------------------------
// Output folder

QString TFrm_Main::ResolvedFolder(const QString& AFolder) const {
  if (AFolder.isEmpty() || QDir::isAbsolutePath(AFolder) || FEnvironment.CurrentDir.isEmpty()) return AFolder;
  return QDir(FEnvironment.CurrentDir).filePath(AFolder);
}

void TFrm_Main::btnOutPathClick() {
  QString Folder = edtOutPath->text();
  if (Folder == kSameFolderText)
    Folder = LastSource.FileName.empty() ? QString() : QString::fromStdU16String(ExtractFilePathW(LastSource.FileName));
  if (!BrowseForFolder(QStringLiteral("Select Output Folder"), QString(), Folder)) return;
  if (FolderOnCdRom && FolderOnCdRom(Folder)) {
    FServices->ShowMessageBox(this, QStringLiteral("Output folder cannot be located in CD-ROM."), AppInfo::kProgramName,
                              QMessageBox::Information);
    return;
  }
  edtOutPath->setText(Folder);
}

bool TFrm_Main::BrowseForFolder(const QString& ATitle, const QString& ARoot, QString& AFolder) {
  if (!IsDirectory(ResolvedFolder(AFolder))) AFolder.clear();
  if (!AFolder.isEmpty())
    AFolder = QString::fromStdU16String(ExpandFileNameW(ResolvedFolder(AFolder).toStdU16String()));
  // The dialog is modal: the other windows wait while it is open.
  const QString Chosen = FServices->GetExistingDirectory(this, ATitle, AFolder.isEmpty() ? ARoot : AFolder);
  if (Chosen.isEmpty()) return false;
  AFolder = QString::fromStdU16String(IncludeTrailingBackslash(Chosen.toStdU16String()));
  return true;
}

void TFrm_Main::btnOpenPathClick() {
  const QString Dir = edtOutPath->text();
  if (Dir.isEmpty()) return;
  const QString Path = ResolvedFolder(Dir);
  if (!IsDirectory(Path)) return;
  FServices->OpenUrl(QUrl::fromLocalFile(Path));
}

// ---------------------------------------------------------------------------
// Help menu and exit

void TFrm_Main::M_HelpExecute() {
  // A help file put beside the program comes first; else the help page in
  // the window's language.
  const QString HelpFile = FEnvironment.ExeDir + QStringLiteral("Help.CHM");
  const QString Page =
      QFileInfo::exists(HelpFile) ? HelpFile : FEnvironment.ExeDir + HelpPageName(InstalledUiLanguage());
  FServices->OpenUrl(QUrl::fromLocalFile(Page));
}

void TFrm_Main::M_HomepageExecute() { FServices->OpenUrl(AppInfo::HomePageUrl()); }

void TFrm_Main::M_emailExecute() { FServices->OpenUrl(AppInfo::SupportMailUrl()); }

void TFrm_Main::M_AboutusExecute() {
  TFrm_about About(AppName, AppVersion, *FServices, this);
  About.exec();
}

void TFrm_Main::N16Click() { close(); }

// ---------------------------------------------------------------------------
// Preview panel

uintptr_t TFrm_Main::VideoWindowHandle() const {
  // SDL takes over an X11 window only; elsewhere (offscreen, Wayland) the
  // player opens a window of its own.
  if (!FVideoPanel || QGuiApplication::platformName() != QLatin1String("xcb")) return 0;
  return static_cast<uintptr_t>(FVideoPanel->winId());
}

void TFrm_Main::PlayExecute() {
  QTreeWidgetItem* Row = lvFiles->currentItem();
  if (!Row || !Row->isSelected()) {
    FServices->ShowMessageBox(this, tr("请在列表中选择一个文件再点击播放预览"), AppInfo::kProgramName,
                              QMessageBox::Information);
    lvFiles->setFocus();
    return;
  }
  if (!FFPlayer->AVLibLoaded() &&
      !FFPlayer->LoadAVLib((FEnvironment.ExeDir + QStringLiteral("LibAV")).toStdU16String())) {
    AppendLog(QString::fromStdU16String(FromLocal8Bit(FFPlayer->LastErrMsg())));
    return;
  }
  FFPlayer->SetDisableAudio(chkDisableAudio->isChecked());
  FFPlayer->SetDisableVideo(chkDisableVideo->isChecked());
  FFPlayer->SetDisableDisplay(chkDisableDisplay->isChecked());
  FVideoPanel = pl_play;
  const uintptr_t Handle = VideoWindowHandle();
  if (!FFPlayer->Open(Row->text(lcPath).toStdU16String(), Handle))
    AppendLog(QString::fromStdU16String(FromLocal8Bit(FFPlayer->LastErrMsg())));
}

void TFrm_Main::StopPlayExecute() { FFPlayer->Stop(true); }

void TFrm_Main::PausePlayExecute() { FFPlayer->TogglePause(); }

void TFrm_Main::FFPlayerFileOpen(int64_t ADuration, int AFrameWidth, int AFrameHeight, int& AScreenWidth,
                                 int& AScreenHeight) {
  AppendLog(QString::fromStdU16String(FromLocal8Bit(FFPlayer->Probe().InfoText())));
  AppendLog(QString::asprintf("duration: %.2f, frame size: %dx%d", static_cast<double>(ADuration) / 1000000.0,
                              AFrameWidth, AFrameHeight));
  if (FVideoPanel) {
    AScreenWidth = FVideoPanel->width();
    AScreenHeight = FVideoPanel->height();
  } else if (QScreen* Screen = QGuiApplication::primaryScreen()) {
    AScreenWidth = Screen->size().width();
    AScreenHeight = Screen->size().height();
  }
  SourceDuration = ADuration;
  TrackBar1->setTickInterval(5);
  TrackBar1->setTickPosition(QSlider::NoTicks);
  TrackBar1->setMaximum(std::max(1, TrackBar1->width()));
  TrackBar1->SetSelStart(0);
  TrackBar1->SetSelEnd(0);
  TrackBar1->SetThumbVisible(ADuration > 0);
  // The program's own move: not a seek.
  struct TGuard {
    bool& Flag;
    explicit TGuard(bool& AFlag) : Flag(AFlag) { Flag = true; }
    ~TGuard() { Flag = false; }
  } Guard(FTrackBarGuard);
  TrackBar1->setValue(0);
}

void TFrm_Main::TrackBar1Change() {
  // The bar reports a change when the thumb is let go, or moved by the
  // keyboard; not while the program moves it, nor while it is dragged.
  if (FTrackBarGuard || TrackBar1->isSliderDown()) return;
  if (QGuiApplication::mouseButtons() & Qt::LeftButton) return;
  if (TrackBar1->maximum() <= 0) return;
  FLastSeekRequest = SourceDuration * TrackBar1->value() / TrackBar1->maximum();
  FFPlayer->Seek(FLastSeekRequest);
}

void TFrm_Main::FFPlayerPosition(int64_t APTS) {
  if (APTS < 0 || SourceDuration <= 0) return;
  TrackBar1->SetSelEnd(static_cast<int>(static_cast<int64_t>(TrackBar1->maximum()) * APTS / SourceDuration));
}
