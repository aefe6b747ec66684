// The main window after start-up: controls, captions, defaults, actions,
// menus and the moving of the options panel between the format tabs.

#include <gtest/gtest.h>
#include <tuple>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

#include "app/RadioGroup.h"
#include "app/TrackBar.h"
#include "tests/app/AppTestSupport.h"

namespace {

const QByteArray kConfig =
    "[Config]\r\nappname=Vidmill\r\nappver=0.1.0\r\nThread_Count=2\r\nThread_Priority=3\r\n"
    "dir=\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95\r\n";

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(F.Folders.ExeConfig(), kConfig);
    F.Open();
  }
  TFrm_Main& W() { return *F.Window; }

  TWindowFixture F;
};

QStringList MenuTexts(QMenu* AMenu) {
  QStringList Texts;
  for (QAction* Action : AMenu->actions()) Texts.append(Action->isSeparator() ? QStringLiteral("-") : Action->text());
  return Texts;
}

template <class T>
T* Find(QObject& AParent, const char* AName) {
  return AParent.findChild<T*>(QString::fromLatin1(AName));
}

}  // namespace

TEST_F(MainWindowTest, FormGeometryFontAndCaption) {
  EXPECT_EQ(W().objectName(), QStringLiteral("Frm_Main"));
  EXPECT_EQ(W().windowTitle(), QStringLiteral("Vidmill 0.1.0"));
  EXPECT_EQ(W().size(), QSize(649, 559));
  // The controls fit: showing does not widen the form beyond its size.
  W().show();
  EXPECT_EQ(W().size(), QSize(649, 559));
  EXPECT_LE(W().minimumSizeHint().width(), 649);
  EXPECT_EQ(W().font().family(), QStringLiteral("宋体"));
  EXPECT_EQ(W().font().pixelSize(), 12);
  EXPECT_TRUE(W().font().families().contains(QStringLiteral("Noto Sans CJK SC")));
  EXPECT_EQ(W().AppName, QStringLiteral("Vidmill"));
  EXPECT_EQ(W().AppVersion, QStringLiteral("0.1.0"));
  EXPECT_EQ(W().ThreadCountText, QStringLiteral("2"));
  EXPECT_EQ(W().ThreadPriority, 3);
  EXPECT_EQ(W().SourceDuration, 0);
  EXPECT_EQ(W().FrameCount, 0);
}

TEST_F(MainWindowTest, ControlsCarryTheirNames) {
  // Later parts reach every control by its name.
  for (const char* Name : {"ToolBar1",
                           "lvFiles",
                           "lblOutPath",
                           "edtOutPath",
                           "btnOutPath",
                           "btnOpenPath",
                           "Panel2",
                           "pl_play",
                           "pl_bottom",
                           "btnPlay",
                           "btnStopPlay",
                           "TrackBar1",
                           "PageControl1",
                           "TS1",
                           "TS2",
                           "TS3",
                           "TS4",
                           "TS5",
                           "TS6",
                           "TS7",
                           "pl2",
                           "grpFrameSize",
                           "cboFrameSize",
                           "grpAudioChannels",
                           "grpBitRate",
                           "chkVideoBitRate",
                           "edtVideoBitRate",
                           "chkAudioBitRate",
                           "edtAudioBitRate",
                           "grpFrameRate",
                           "grpNorm",
                           "PageControl2",
                           "mmolog",
                           "mmoAVFileInfo",
                           "chkOverwrite",
                           "chkDisableAudio",
                           "chkDisableVideo",
                           "chkDisableDisplay",
                           "MainMenu1"})
    EXPECT_NE(Find<QWidget>(W(), Name), nullptr) << Name;
  for (const char* Name : {"AddFile", "DelFile", "ClearFile", "Convert", "Convert_Stop", "M_Help", "M_email",
                           "M_Homepage", "M_Aboutus", "Play", "StopPlay", "PausePlay", "Pause", "N16"})
    EXPECT_NE(Find<QAction>(W(), Name), nullptr) << Name;
  EXPECT_EQ(Find<QTreeWidget>(W(), "lvFiles"), W().lvFiles);
  EXPECT_EQ(Find<TRadioGroup>(W(), "grpNorm"), W().grpNorm);
}

TEST_F(MainWindowTest, ActionStatesAfterStartUp) {
  EXPECT_TRUE(W().AddFile->isEnabled());
  EXPECT_TRUE(W().DelFile->isEnabled());
  EXPECT_TRUE(W().ClearFile->isEnabled());
  EXPECT_FALSE(W().Convert->isEnabled());
  EXPECT_FALSE(W().Convert_Stop->isEnabled());
  EXPECT_EQ(W().Pause->text(), QStringLiteral("暂停"));
  EXPECT_EQ(W().Convert->text(), QStringLiteral("开始转换"));
  EXPECT_EQ(W().Convert_Stop->text(), QStringLiteral("停止转换"));
  EXPECT_EQ(W().ClearFile->text(), QStringLiteral("清除"));
}

TEST_F(MainWindowTest, ToolBarButtonsCaptionsAndStates) {
  QToolBar* Bar = W().ToolBar1;
  EXPECT_EQ(Bar->iconSize(), QSize(32, 32));
  EXPECT_EQ(Bar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);

  // Order on the bar: three list buttons, separator, run buttons, separator, help.
  QStringList Order;
  for (QAction* Item : Bar->actions()) {
    if (Item->isSeparator()) {
      Order.append(QStringLiteral("-"));
    } else if (auto* Button = qobject_cast<QToolButton*>(Bar->widgetForAction(Item))) {
      Order.append(Button->text());
    }
  }
  EXPECT_EQ(Order, (QStringList{QStringLiteral(" 添加(&A) "), QStringLiteral("删除(&D)"), QStringLiteral("清除(&C)"),
                                QStringLiteral("-"), QStringLiteral("开始转换"), QStringLiteral("停止转换"),
                                QStringLiteral("-"), QStringLiteral("帮助文件")}));

  EXPECT_TRUE(W().tbAddFile->isEnabled());
  EXPECT_FALSE(W().tbConvert->isEnabled());
  EXPECT_FALSE(W().tbConvertStop->isEnabled());
  EXPECT_GE(W().tbAddFile->minimumWidth(), 67);
  EXPECT_GE(W().tbAddFile->minimumHeight(), 51);

  // Buttons with captions of their own follow their action's enabled state
  // and run the action.
  W().DelFile->setEnabled(false);
  EXPECT_FALSE(W().tbDelFile->isEnabled());
  W().DelFile->setEnabled(true);
  EXPECT_TRUE(W().tbDelFile->isEnabled());
  W().Convert->setEnabled(true);
  EXPECT_TRUE(W().tbConvert->isEnabled());

  int Added = 0, Cleared = 0;
  QObject::connect(W().AddFile, &QAction::triggered, [&] { ++Added; });
  QObject::connect(W().ClearFile, &QAction::triggered, [&] { ++Cleared; });
  W().tbAddFile->click();
  W().tbClearFile->click();
  EXPECT_EQ(Added, 1);
  EXPECT_EQ(Cleared, 1);
}

TEST_F(MainWindowTest, MenusAndTheirItems) {
  const QList<QAction*> Menus = W().MainMenu1->actions();
  ASSERT_EQ(Menus.size(), 2);
  EXPECT_EQ(Menus[0]->text(), QStringLiteral("文件"));
  EXPECT_EQ(Menus[1]->text(), QStringLiteral("帮助文件"));
  EXPECT_EQ(MenuTexts(W().mnuFile),
            (QStringList{QStringLiteral("添加文件"), QStringLiteral("添加目录"), QStringLiteral("删除文件"),
                         QStringLiteral("清除文件"), QStringLiteral("-"), QStringLiteral("开始转换"),
                         QStringLiteral("停止转换"), QStringLiteral("-"), QStringLiteral("退出")}));
  EXPECT_EQ(MenuTexts(W().mnuHelp),
            (QStringList{QStringLiteral("帮助文件"), QStringLiteral("-"), QStringLiteral("E-mail支持"),
                         QStringLiteral("访问官方网站"), QStringLiteral("-"), QStringLiteral("关于...")}));

  // "清除文件" runs ClearFile and is enabled exactly when ClearFile is.
  int Cleared = 0;
  QObject::connect(W().ClearFile, &QAction::triggered, [&] { ++Cleared; });
  W().mniClearFile->trigger();
  EXPECT_EQ(Cleared, 1);
  W().ClearFile->setEnabled(false);
  EXPECT_FALSE(W().mniClearFile->isEnabled());
  W().mniClearFile->trigger();
  EXPECT_EQ(Cleared, 1);
  // "添加目录" is allowed exactly when "添加文件" is.
  EXPECT_TRUE(W().AddFolder->isEnabled());
  W().AddFile->setEnabled(false);
  EXPECT_FALSE(W().AddFolder->isEnabled());
}

TEST_F(MainWindowTest, ConversionListColumns) {
  QTreeWidget* List = W().lvFiles;
  const QStringList Captions{QStringLiteral("源文件路径"), QStringLiteral("总时间"),   QStringLiteral("文件大小"),
                             QStringLiteral("输出文件"),   QStringLiteral("转换进度"), QStringLiteral("FPS"),
                             QStringLiteral("当前时间"),   QStringLiteral("文件大小"), QStringLiteral("Path")};
  const int Widths[] = {150, 70, 70, 0, 70, 0, 0, 70, 0};
  ASSERT_EQ(List->columnCount(), 9);
  for (int I = 0; I < 9; ++I) {
    EXPECT_EQ(List->headerItem()->text(I), Captions[I]) << I;
    if (Widths[I] == 0) {
      EXPECT_TRUE(List->isColumnHidden(I)) << I;
    } else {
      EXPECT_FALSE(List->isColumnHidden(I)) << I;
      EXPECT_EQ(List->columnWidth(I), Widths[I]) << I;
    }
  }
  EXPECT_EQ(List->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_FALSE(List->rootIsDecorated());
  // The selection stays visible when the list has no focus.
  EXPECT_EQ(List->palette().brush(QPalette::Inactive, QPalette::Highlight),
            List->palette().brush(QPalette::Active, QPalette::Highlight));
}

TEST_F(MainWindowTest, OutputFolderRowAndPreviewPanel) {
  EXPECT_EQ(W().lblOutPath->text(), QStringLiteral("输出目录:"));
  EXPECT_TRUE(W().edtOutPath->isReadOnly());
  EXPECT_EQ(W().edtOutPath->text(), QStringLiteral("同一目录"));
  EXPECT_EQ(W().btnOutPath->text(), QStringLiteral("选择目录"));
  EXPECT_EQ(W().btnOpenPath->text(), QStringLiteral("打开目录"));

  EXPECT_EQ(W().btnPlay->defaultAction(), W().Play);
  EXPECT_EQ(W().btnStopPlay->defaultAction(), W().StopPlay);
  EXPECT_EQ(W().TrackBar1->orientation(), Qt::Horizontal);
  EXPECT_EQ(W().TrackBar1->tickPosition(), QSlider::NoTicks);
  EXPECT_TRUE(W().Panel2->isAncestorOf(W().pl_play));
  EXPECT_TRUE(W().Panel2->isAncestorOf(W().pl_bottom));
  EXPECT_TRUE(W().pl_bottom->isAncestorOf(W().TrackBar1));
}

TEST_F(MainWindowTest, HiddenPageStaysHidden) {
  W().show();
  EXPECT_FALSE(W().PageControl2->isVisible());
  EXPECT_FALSE(W().mmolog->isVisible());
  EXPECT_EQ(W().mmolog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_TRUE(W().mmoAVFileInfo->isReadOnly());
  EXPECT_EQ(W().chkOverwrite->text(), QStringLiteral("Overwrite Existing File"));
  for (QCheckBox* Box : {W().chkOverwrite, W().chkDisableAudio, W().chkDisableVideo, W().chkDisableDisplay})
    EXPECT_FALSE(Box->isChecked()) << Box->objectName().toStdString();
}

TEST_F(MainWindowTest, FormatTabsInOrderFirstActive) {
  QTabWidget* Tabs = W().PageControl1;
  const QStringList Captions{"3GP", "MP4", "AVI", "VCD", "DVD", "Flv", "WMV"};
  ASSERT_EQ(Tabs->count(), 7);
  for (int I = 0; I < 7; ++I) {
    EXPECT_EQ(Tabs->tabText(I), Captions[I]);
    EXPECT_EQ(Tabs->widget(I)->objectName(), QStringLiteral("TS%1").arg(I + 1));
  }
  EXPECT_EQ(Tabs->currentIndex(), 0);
  EXPECT_EQ(W().pl2->parentWidget(), W().TS1);
  EXPECT_EQ(W().grpNorm->parentWidget(), W().TS4);
}

TEST_F(MainWindowTest, FrameSizeItems) {
  const QStringList Expected{
      "自动 - 初始化",      "128x96 - sqcif",     "176x144 - qcif",     "352x288 - cif",      "704x576 - 4cif",
      "160x120 - qqvga",    "320x240 - qvga",     "640x480 - vga",      "800x600 - svga",     "1024x768 - xga",
      "1600x1200 - uxga",   "2048x1536 - qxga",   "1280x1024 - sxga",   "2560x2048 - qsxga",  "5120x4096 - hsxga",
      "852x480 - wvga",     "1366x768 - wxga",    "1600x1024 - wsxga",  "1920x1200 - wuxga",  "2560x1600 - woxga",
      "3200x2048 - wqsxga", "3840x2400 - wquxga", "6400x4096 - whsxga", "7680x4800 - whuxga", "320x200 - cga",
      "640x350 - ega",      "852x480 - hd480",    "1280x720 - hd720",   "1920x1080 - hd1080"};
  QComboBox* Box = W().cboFrameSize;
  EXPECT_EQ(W().grpFrameSize->title(), QStringLiteral("视频尺寸"));
  EXPECT_FALSE(Box->isEditable());
  ASSERT_EQ(Box->count(), 29);
  for (int I = 0; I < Box->count(); ++I) EXPECT_EQ(Box->itemText(I), Expected[I]) << I;
  // The 3GP tab, showing first, replaces the size, the channels and the
  // sound's bit rate: the controls show its values, disabled, and the
  // user's come back on another tab.
  const auto Shown = [&] {
    return std::tuple(Box->currentIndex(), Box->isEnabled(), W().grpAudioChannels->ItemIndex(),
                      W().grpAudioChannels->isEnabled(), W().chkAudioBitRate->isChecked(),
                      W().chkAudioBitRate->isEnabled(), W().edtAudioBitRate->text(), W().edtAudioBitRate->isEnabled());
  };
  EXPECT_EQ(Shown(), std::tuple(1, false, 1, false, true, false, QStringLiteral("7.4"), false));
  W().PageControl1->setCurrentIndex(1);
  EXPECT_EQ(Shown(), std::tuple(0, true, 0, true, false, true, QStringLiteral("64"), false));
  W().chkAudioBitRate->setChecked(true);
  W().PageControl1->setCurrentIndex(0);
  EXPECT_EQ(Shown(), std::tuple(1, false, 1, false, true, false, QStringLiteral("7.4"), false));
  W().PageControl1->setCurrentIndex(2);
  EXPECT_EQ(Shown(), std::tuple(0, true, 0, true, true, true, QStringLiteral("64"), true));
}

TEST_F(MainWindowTest, RadioGroupsItemsAndDefaults) {
  W().PageControl1->setCurrentIndex(1);  // the 3GP tab shows its own channels
  EXPECT_EQ(W().grpAudioChannels->title(), QStringLiteral("声道"));
  EXPECT_EQ(W().grpAudioChannels->Items(), (QStringList{"自动", "单声道", "双声道"}));
  EXPECT_EQ(W().grpAudioChannels->Columns(), 3);
  EXPECT_EQ(W().grpAudioChannels->ItemIndex(), 0);

  EXPECT_EQ(W().grpFrameRate->title(), QStringLiteral("帧率"));
  EXPECT_EQ(W().grpFrameRate->Items(), (QStringList{"自动", "10", "15", "25", "30"}));
  EXPECT_EQ(W().grpFrameRate->Columns(), 5);
  EXPECT_EQ(W().grpFrameRate->ItemIndex(), 0);

  EXPECT_EQ(W().grpNorm->title(), QStringLiteral("选择电视制式"));
  EXPECT_EQ(W().grpNorm->Items(), (QStringList{"自动", "PAL 制试", "NTSC 制试"}));
  EXPECT_EQ(W().grpNorm->ItemIndex(), 0);
}

TEST_F(MainWindowTest, BitRateEditsFollowTheirBoxes) {
  W().PageControl1->setCurrentIndex(1);  // the 3GP tab shows its own sound bit rate
  EXPECT_EQ(W().grpBitRate->title(), QStringLiteral("视(音)频品质 (Kbps)"));
  EXPECT_EQ(W().chkVideoBitRate->text(), QStringLiteral("视频品质"));
  EXPECT_EQ(W().chkAudioBitRate->text(), QStringLiteral("音频品质"));
  EXPECT_EQ(W().edtVideoBitRate->text(), QStringLiteral("600"));
  EXPECT_EQ(W().edtAudioBitRate->text(), QStringLiteral("64"));
  EXPECT_FALSE(W().chkVideoBitRate->isChecked());
  EXPECT_FALSE(W().chkAudioBitRate->isChecked());
  EXPECT_FALSE(W().edtVideoBitRate->isEnabled());
  EXPECT_FALSE(W().edtAudioBitRate->isEnabled());

  W().chkVideoBitRate->click();
  EXPECT_TRUE(W().edtVideoBitRate->isEnabled());
  EXPECT_FALSE(W().edtAudioBitRate->isEnabled());
  W().chkAudioBitRate->click();
  EXPECT_TRUE(W().edtAudioBitRate->isEnabled());
  W().chkVideoBitRate->click();
  EXPECT_FALSE(W().edtVideoBitRate->isEnabled());
  EXPECT_TRUE(W().edtAudioBitRate->isEnabled());
  // A check set by the program has the same effect as a click.
  W().chkAudioBitRate->setChecked(false);
  EXPECT_FALSE(W().edtAudioBitRate->isEnabled());
}

TEST_F(MainWindowTest, OptionsPanelFollowsTheFormatTabsKeepingValues) {
  W().show();
  W().cboFrameSize->setCurrentIndex(3);
  W().grpAudioChannels->SetItemIndex(2);
  W().chkVideoBitRate->click();
  W().edtVideoBitRate->setText(QStringLiteral("800"));
  W().grpFrameRate->SetItemIndex(3);
  W().grpNorm->SetItemIndex(2);

  QTabWidget* Tabs = W().PageControl1;
  Tabs->setCurrentIndex(3);  // VCD: the norm group is here, the options panel stays put
  EXPECT_EQ(W().grpNorm->parentWidget(), W().TS4);
  EXPECT_TRUE(W().grpNorm->isVisible());
  EXPECT_EQ(W().pl2->parentWidget(), W().TS1);

  Tabs->setCurrentIndex(0);  // back to 3GP, which shows its own size and channels
  EXPECT_EQ(W().pl2->parentWidget(), W().TS1);
  EXPECT_TRUE(W().pl2->isVisible());
  EXPECT_EQ(W().cboFrameSize->currentIndex(), 1);
  EXPECT_EQ(W().grpAudioChannels->ItemIndex(), 1);
  EXPECT_TRUE(W().chkVideoBitRate->isChecked());
  EXPECT_TRUE(W().edtVideoBitRate->isEnabled());
  EXPECT_EQ(W().edtVideoBitRate->text(), QStringLiteral("800"));
  EXPECT_EQ(W().grpFrameRate->ItemIndex(), 3);

  Tabs->setCurrentIndex(1);  // MP4
  EXPECT_EQ(W().pl2->parentWidget(), W().TS2);
  EXPECT_TRUE(W().pl2->isVisible());
  EXPECT_EQ(W().cboFrameSize->currentIndex(), 3);
  EXPECT_EQ(W().grpAudioChannels->ItemIndex(), 2);
  Tabs->setCurrentIndex(4);  // DVD
  EXPECT_EQ(W().grpNorm->parentWidget(), W().TS5);
  EXPECT_TRUE(W().grpNorm->isVisible());
  EXPECT_EQ(W().pl2->parentWidget(), W().TS2);
  Tabs->setCurrentIndex(6);  // WMV
  EXPECT_EQ(W().pl2->parentWidget(), W().TS7);
  EXPECT_EQ(W().grpNorm->parentWidget(), W().TS5);
  Tabs->setCurrentIndex(5);  // Flv
  EXPECT_EQ(W().pl2->parentWidget(), W().TS6);
  Tabs->setCurrentIndex(2);  // AVI
  EXPECT_EQ(W().pl2->parentWidget(), W().TS3);
  Tabs->setCurrentIndex(3);  // VCD again
  EXPECT_EQ(W().grpNorm->parentWidget(), W().TS4);
  EXPECT_EQ(W().grpNorm->ItemIndex(), 2);
  EXPECT_EQ(W().cboFrameSize->currentIndex(), 3);

  // The panel sits at the top of its tab, as it did on the first one.
  Tabs->setCurrentIndex(0);
  EXPECT_EQ(W().TS1->layout()->indexOf(W().pl2), 0);
  EXPECT_EQ(W().TS3->layout()->indexOf(W().pl2), -1);
}

TEST_F(MainWindowTest, OpenDialogConfiguredAtStartUp) {
  const QString Expected = QStringLiteral(
      "视频/音频/图片文件|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;"
      "*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*."
      "APE;"
      "*.OFR;*.OGG;*.RA;*.WV;*.TTA;*.AC3;*.DTS;*.BMP;*.GIF;*.JPEG;*.JPG;*.PNG;|视频文件|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;"
      "*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;|音频文件|*.MP3;"
      "*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;*.AC3;"
      "*.DTS;|图片文件|*.BMP;*.GIF;*.JPEG;*.JPG;*.PNG;|所有文件|*.*");
  EXPECT_EQ(W().OpenDialog1.Filter, Expected);
  ASSERT_EQ(W().OpenDialog1.NameFilters.size(), 5);
  EXPECT_TRUE(W().OpenDialog1.NameFilters[0].startsWith(QStringLiteral("视频/音频/图片文件 (")));
  EXPECT_EQ(W().OpenDialog1.NameFilters[4], QStringLiteral("所有文件 (*)"));
  EXPECT_EQ(W().OpenDialog1.FilterIndex, 0);
}

// ---------------------------------------------------------------------------

TEST(RadioGroupTest, SelectionAndColumnLayout) {
  TRadioGroup Group(QStringLiteral("g"), {"a", "b", "c", "d", "e"}, 2);
  EXPECT_EQ(Group.ItemIndex(), -1);
  Group.SetItemIndex(3);
  EXPECT_EQ(Group.ItemIndex(), 3);
  EXPECT_TRUE(Group.Button(3)->isChecked());
  Group.SetItemIndex(-1);
  EXPECT_EQ(Group.ItemIndex(), -1);
  EXPECT_FALSE(Group.Button(3)->isChecked());
  Group.SetItemIndex(7);
  EXPECT_EQ(Group.ItemIndex(), -1);

  // A user's click selects the item and reports it.
  int Clicks = 0;
  QObject::connect(&Group, &TRadioGroup::Click, [&] { ++Clicks; });
  Group.Button(1)->click();
  EXPECT_EQ(Group.ItemIndex(), 1);
  EXPECT_EQ(Clicks, 1);
  Group.Button(4)->click();
  EXPECT_EQ(Group.ItemIndex(), 4);
  EXPECT_FALSE(Group.Button(1)->isChecked());

  // Five items in two columns: three down the first column, two down the second.
  Group.show();
  EXPECT_EQ(Group.Button(0)->x(), Group.Button(2)->x());
  EXPECT_LT(Group.Button(0)->y(), Group.Button(1)->y());
  EXPECT_EQ(Group.Button(0)->y(), Group.Button(3)->y());
  EXPECT_GT(Group.Button(3)->x(), Group.Button(0)->x());

  // Changing the columns keeps the selection.
  Group.SetColumns(5);
  EXPECT_EQ(Group.ItemIndex(), 4);
  Group.SetItems({"x", "y"});
  EXPECT_EQ(Group.Items(), (QStringList{"x", "y"}));
  EXPECT_EQ(Group.ItemIndex(), -1);
  EXPECT_EQ(Group.Button(2), nullptr);
}
