// The window in its two languages: the Chinese texts as written, the English
// catalogue for users whose UI language is English, and the tool tips of
// the tool bar and of the format tabs in both.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>
#include <vector>

#include "tests/app/AppTestSupport.h"

namespace {

const QByteArray kConfig =
    "[Config]\nappname=Vidmill\nappver=0.1.0\ndir=\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95\n";

// The captions of the tool bar's buttons in their order, "-" for a separator.
QStringList ToolBarTexts(QToolBar* ABar) {
  QStringList Texts;
  for (QAction* Item : ABar->actions()) {
    if (Item->isSeparator())
      Texts.append(QStringLiteral("-"));
    else if (auto* Button = qobject_cast<QToolButton*>(ABar->widgetForAction(Item)))
      Texts.append(Button->text());
  }
  return Texts;
}

// Every text the window shows: captions, items, column headers and tool
// tips of its widgets and of its actions (menus and tool bar).
QStringList ShownTexts(TFrm_Main& AWindow) {
  QStringList Texts{AWindow.windowTitle()};
  for (QAction* Action : AWindow.findChildren<QAction*>()) Texts << Action->text() << Action->toolTip();
  for (QWidget* Widget : AWindow.findChildren<QWidget*>()) {
    Texts << Widget->toolTip();
    if (auto* Button = qobject_cast<QAbstractButton*>(Widget)) Texts << Button->text();
    if (auto* Label = qobject_cast<QLabel*>(Widget)) Texts << Label->text();
    if (auto* Group = qobject_cast<QGroupBox*>(Widget)) Texts << Group->title();
    if (auto* Menu = qobject_cast<QMenu*>(Widget)) Texts << Menu->title();
    if (auto* Combo = qobject_cast<QComboBox*>(Widget))
      for (int I = 0; I < Combo->count(); ++I) Texts << Combo->itemText(I);
    if (auto* Tabs = qobject_cast<QTabWidget*>(Widget))
      for (int I = 0; I < Tabs->count(); ++I) Texts << Tabs->tabText(I) << Tabs->tabToolTip(I);
    if (auto* List = qobject_cast<QTreeWidget*>(Widget))
      for (int I = 0; I < List->columnCount(); ++I) Texts << List->headerItem()->text(I);
  }
  return Texts;
}

bool HasChinese(const QString& AText) {
  return std::any_of(AText.begin(), AText.end(), [](QChar C) {
    const char16_t Code = C.unicode();
    return (Code >= 0x2E80 && Code <= 0x9FFF) || (Code >= 0xFF00 && Code <= 0xFFEF);
  });
}

}  // namespace

TEST(LanguageTest, TheFirstUiLanguageChoosesEnglishOrChinese) {
  const struct {
    QStringList UiLanguages;
    TUiLanguage Expected;
  } Cases[] = {
      {{QStringLiteral("en")}, TUiLanguage::English},
      {{QStringLiteral("en-GB"), QStringLiteral("zh-CN")}, TUiLanguage::English},
      {{QStringLiteral("en_US")}, TUiLanguage::English},
      {{QStringLiteral("zh-CN"), QStringLiteral("en")}, TUiLanguage::Chinese},
      {{QStringLiteral("de-DE")}, TUiLanguage::Chinese},
      {{QStringLiteral("eo")}, TUiLanguage::Chinese},
      {{QStringLiteral("C")}, TUiLanguage::Chinese},
      {{}, TUiLanguage::Chinese},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(UiLanguageOf(Case.UiLanguages), Case.Expected) << Case.UiLanguages.join(QLatin1Char(',')).toStdString();
}

TEST(LanguageTest, ToolBarMenusAndTabTipsShowTheLanguageOfTheCatalogue) {
  const struct {
    TUiLanguage Language;
    QStringList ToolBar;
    QStringList Menus;
    bool ChineseTips;
  } Cases[] = {
      {TUiLanguage::Chinese,
       {QStringLiteral(" 添加(&A) "), QStringLiteral("删除(&D)"), QStringLiteral("清除(&C)"), QStringLiteral("-"),
        QStringLiteral("开始转换"), QStringLiteral("停止转换"), QStringLiteral("-"), QStringLiteral("帮助文件")},
       {QStringLiteral("文件"), QStringLiteral("帮助文件")},
       true},
      {TUiLanguage::English,
       {QStringLiteral(" &Add "), QStringLiteral("&Remove"), QStringLiteral("&Clear"), QStringLiteral("-"),
        QStringLiteral("Convert"), QStringLiteral("Stop"), QStringLiteral("-"), QStringLiteral("Help")},
       {QStringLiteral("File"), QStringLiteral("Help")},
       false},
  };
  for (const auto& Case : Cases) {
    TLanguageScope Language(Case.Language);
    ASSERT_TRUE(Language.Installed);
    TWindowFixture F;
    WriteBytes(F.Folders.ExeConfig(), kConfig);
    TFrm_Main& W = F.Open();
    EXPECT_EQ(ToolBarTexts(W.ToolBar1), Case.ToolBar);
    QStringList Menus;
    for (QAction* Menu : W.MainMenu1->actions()) Menus.append(Menu->text());
    EXPECT_EQ(Menus, Case.Menus);
    // Each button and each tab says what it is for (more than the caption),
    // in the same language.
    for (QToolButton* Button : {W.tbAddFile, W.tbDelFile, W.tbClearFile, W.tbConvert, W.tbConvertStop, W.tbHelp}) {
      const QString Tip = Button->toolTip();
      EXPECT_EQ(HasChinese(Tip), Case.ChineseTips) << Tip.toStdString();
      EXPECT_GT(Tip.size(), Button->text().size()) << Tip.toStdString();
    }
    for (int I = 0; I < W.PageControl1->count(); ++I)
      EXPECT_EQ(HasChinese(W.PageControl1->tabToolTip(I)), Case.ChineseTips) << I;
  }
}

TEST(LanguageTest, InEnglishNoChineseTextIsLeftAndTheWindowStillFits) {
  TLanguageScope Language(TUiLanguage::English);
  ASSERT_TRUE(Language.Installed);
  TWindowFixture F;
  WriteBytes(F.Folders.ExeConfig(), kConfig);
  TFrm_Main& W = F.Open();
  for (QString Text : ShownTexts(W)) {
    // The output folder's "next to each source" is a value of the settings,
    // the same in every language.
    Text.remove(kSameFolderText);
    EXPECT_FALSE(HasChinese(Text)) << Text.toStdString();
  }
  W.show();
  EXPECT_LE(W.minimumSizeHint().width(), W.width());
}

TEST(LanguageTest, EachTabsTipNamesTheCodecsAndContainerItWrites) {
  // Each tab's caption, then the video and audio codecs (and container)
  // converter/Profiles.cpp and the engine's targets give it.
  const std::vector<std::vector<const char*>> Names = {
      {"3GP", "H.263", "AMR-NB"},    {"MP4", "H.264", "AAC"},   {"AVI", "MPEG-4", "MP3"},
      {"VCD", "MPEG-1", "MP2"},      {"DVD", "MPEG-2", "AC-3"}, {"Flv", "FLV1", "MP3", "FLV"},
      {"WMV", "WMV2", "WMA", "ASF"},
  };
  for (const TUiLanguage Lang : {TUiLanguage::Chinese, TUiLanguage::English}) {
    TLanguageScope Language(Lang);
    TWindowFixture F;
    WriteBytes(F.Folders.ExeConfig(), kConfig);
    TFrm_Main& W = F.Open();
    ASSERT_EQ(W.PageControl1->count(), static_cast<int>(Names.size()));
    for (int I = 0; I < W.PageControl1->count(); ++I) {
      const QString Tip = W.PageControl1->tabToolTip(I);
      EXPECT_EQ(W.PageControl1->tabText(I), QString::fromLatin1(Names[I][0]));
      for (const char* Name : Names[I])
        EXPECT_TRUE(Tip.contains(QString::fromLatin1(Name))) << Name << ": " << Tip.toStdString();
    }
  }
}
