// Log lines in the log memo, and the help menu: help file or help page, home
// page, support mail and the about window.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QUrlQuery>
#include <atomic>
#include <thread>
#include <tuple>

#include "app/AppInfo.h"
#include "app/GuiHandOver.h"
#include "app/U_about.h"
#include "runtime/Threads.h"
#include "tests/app/AppTestSupport.h"

namespace {

const QByteArray kConfig =
    "[Config]\nappname=Vidmill\nappver=0.1.0\ndir=\xE5\x90\x8C\xE4\xB8\x80\xE7\x9B\xAE\xE5\xBD\x95\n";

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(F.Folders.ExeConfig(), kConfig);
    F.Open();
  }
  TFrm_Main& W() { return *F.Window; }
  QStringList LogLines() { return W().mmolog->toPlainText().split(QLatin1Char('\n')); }

  TWindowFixture F;
};

const char* const kMailEncoded = "mailto:support@vidmill.example.org?subject=%E6%94%B9%E8%BF%9B%E6%84%8F%E8%A7%81";

}  // namespace

// ---------------------------------------------------------------------------
// Log lines

TEST_F(WindowTest, LogLineFromTheMainThread) {
  W().FFLogger->SetLogLevel(llDebug);
  W().FFLogger->Log(nullptr, llInfo, "done");
  W().FFLogger->Log(nullptr, llQuiet, "stopped: no space");
  EXPECT_EQ(LogLines(), (QStringList{QStringLiteral("#%1.5: done").arg(CurrentThreadId()),
                                     QStringLiteral("#%1.0: stopped: no space").arg(CurrentThreadId())}));
}

TEST_F(WindowTest, LogLineFromAWorkerThread) {
  W().FFLogger->SetLogLevel(llDebug);
  std::atomic<bool> Done{false};
  std::atomic<uint32_t> WorkerId{0};
  std::thread Worker([&] {
    WorkerId = CurrentThreadId();
    W().FFLogger->Log(nullptr, llWarning, "from worker");
    W().FFLogger->Log(nullptr, llDebug, "second");
    Done = true;
  });
  WaitServing([&] { return Done.load(); });
  Worker.join();
  ASSERT_NE(WorkerId.load(), CurrentThreadId());
  EXPECT_EQ(LogLines(), (QStringList{QStringLiteral("#%1.4: from worker").arg(WorkerId.load()),
                                     QStringLiteral("#%1.7: second").arg(WorkerId.load())}));
}

TEST_F(WindowTest, WorkerLinesReachTheMemoWhileTheEventLoopIdles) {
  // The program's event loop, not a wait of its own, serves the hand-over.
  InstallGuiHandOver();
  W().FFLogger->SetLogLevel(llDebug);
  std::atomic<bool> Done{false};
  std::atomic<uint32_t> WorkerId{0};
  QEventLoop Loop;
  std::thread Worker([&] {
    WorkerId = CurrentThreadId();
    W().FFLogger->Log(nullptr, llInfo, "idle loop");
    Done = true;
    QMetaObject::invokeMethod(
        &Loop, [&] { Loop.quit(); }, Qt::QueuedConnection);
  });
  QTimer::singleShot(10000, &Loop, [&] { Loop.quit(); });
  Loop.exec();
  const bool Delivered = Done.load();
  if (!Delivered) WaitServing([&] { return Done.load(); });  // lets the worker end
  Worker.join();
  RemoveGuiHandOver();
  EXPECT_TRUE(Delivered);
  EXPECT_EQ(LogLines(), (QStringList{QStringLiteral("#%1.5: idle loop").arg(WorkerId.load())}));
}

TEST_F(WindowTest, LogLevelFilterApplies) {
  W().FFLogger->SetLogLevel(llError);
  W().FFLogger->Log(nullptr, llInfo, "hidden");
  W().FFLogger->Log(nullptr, llError, "shown");
  EXPECT_EQ(LogLines(), (QStringList{QStringLiteral("#%1.3: shown").arg(CurrentThreadId())}));
}

TEST(WindowLifetimeTest, LoggerGoesWithTheWindow) {
  // Each window owns the process's logger: a second window after the first
  // one is gone must be able to create its own.
  for (int I = 0; I < 2; ++I) {
    TWindowFixture F;
    TFrm_Main& W = F.Open();
    W.FFLogger->Log(nullptr, llQuiet, "x");
    EXPECT_EQ(W.mmolog->toPlainText(), QStringLiteral("#%1.0: x").arg(CurrentThreadId()));
  }
}

// ---------------------------------------------------------------------------
// Help menu

TEST(HelpTest, HelpOpensTheHelpFileBesideTheExecutableElseThePageOfTheLanguage) {
  const struct {
    TUiLanguage Language;
    bool HelpFile;  // a Help.CHM beside the executable
    const char* Opened;
  } Cases[] = {
      {TUiLanguage::Chinese, false, "help_zh.html"},
      {TUiLanguage::English, false, "help_en.html"},
      {TUiLanguage::Chinese, true, "Help.CHM"},
      {TUiLanguage::English, true, "Help.CHM"},
  };
  for (const auto& Case : Cases) {
    TLanguageScope Language(Case.Language);
    ASSERT_TRUE(Language.Installed);
    TWindowFixture F;
    WriteBytes(F.Folders.ExeConfig(), kConfig);
    if (Case.HelpFile) WriteBytes(F.Folders.ExeDir() + QStringLiteral("Help.CHM"), "ITSF");
    TFrm_Main& W = F.Open();
    W.M_Help->trigger();
    // The tool-bar button runs the same action.
    W.tbHelp->click();
    ASSERT_EQ(F.Services->OpenedUrls.size(), 2u) << Case.Opened;
    for (const QUrl& Url : F.Services->OpenedUrls) {
      EXPECT_TRUE(Url.isLocalFile());
      EXPECT_EQ(Url.toLocalFile(), F.Folders.ExeDir() + QString::fromLatin1(Case.Opened));
    }
  }
}

TEST(HelpTest, TheBuildPutsBothHelpPagesBesideTheProgram) {
  // The tests run from the folder of the program's executable. Each page
  // is in its language, links to the other one and has the same sections.
  QList<QByteArray> Sections;
  for (const auto& [Language, Tag, Other] : {std::tuple{TUiLanguage::Chinese, "zh-CN", TUiLanguage::English},
                                             std::tuple{TUiLanguage::English, "en", TUiLanguage::Chinese}}) {
    const QByteArray Page =
        ReadBytes(QCoreApplication::applicationDirPath() + QLatin1Char('/') + HelpPageName(Language));
    EXPECT_TRUE(Page.contains(QByteArray("<html lang=\"") + Tag + "\">")) << Tag;
    EXPECT_TRUE(Page.contains("href=\"" + HelpPageName(Other).toUtf8() + '"')) << Tag;
    QByteArray Ids;
    for (qsizetype At = Page.indexOf("<h2 id=\""); At >= 0; At = Page.indexOf("<h2 id=\"", At + 1))
      Ids += Page.mid(At, Page.indexOf('"', At + 8) - At) + ' ';
    Sections.append(Ids);
  }
  EXPECT_EQ(Sections[0], Sections[1]);
  EXPECT_FALSE(Sections[0].isEmpty());
}

TEST_F(WindowTest, HomePageAndSupportMail) {
  W().M_Homepage->trigger();
  W().M_email->trigger();
  ASSERT_EQ(F.Services->OpenedUrls.size(), 2u);
  EXPECT_EQ(F.Services->OpenedUrls[0].toString(), QStringLiteral("https://vidmill.example.org/"));

  const QUrl Mail = F.Services->OpenedUrls[1];
  EXPECT_EQ(Mail.scheme(), QStringLiteral("mailto"));
  EXPECT_EQ(Mail.path(), QStringLiteral("support@vidmill.example.org"));
  EXPECT_EQ(QUrlQuery(Mail).queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded), QStringLiteral("改进意见"));
  EXPECT_EQ(Mail.toEncoded(), QByteArray(kMailEncoded));
}

TEST_F(WindowTest, AboutWindowShowsModallyAndCloses) {
  QString Caption, Title;
  bool Modal = false, Bold = false;
  int Attempts = 0;
  QTimer Poll;
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    auto* About = qobject_cast<TFrm_about*>(QApplication::activeModalWidget());
    if (!About) {
      if (++Attempts > 500) Poll.stop();  // the test fails below instead of hanging
      return;
    }
    Poll.stop();
    Caption = About->windowTitle();
    Title = About->lblAppName->text();
    Bold = About->lblAppName->font().bold();
    Modal = About->isModal();
    emit About->lblEmail->linkActivated(QStringLiteral("#"));
    emit About->lblHomepage->linkActivated(QStringLiteral("#"));
    About->btnOK->click();
  });
  Poll.start(10);
  QTimer Guard;
  Guard.setSingleShot(true);
  QObject::connect(&Guard, &QTimer::timeout, [] {
    if (QWidget* Open = QApplication::activeModalWidget()) Open->close();
  });
  Guard.start(10000);

  W().M_Aboutus->trigger();  // returns once the window is closed

  EXPECT_EQ(Caption, QStringLiteral("关于..."));
  EXPECT_EQ(Title, QStringLiteral("Vidmill 0.1.0"));
  EXPECT_TRUE(Bold);
  EXPECT_TRUE(Modal);
  ASSERT_EQ(F.Services->OpenedUrls.size(), 2u);
  EXPECT_EQ(F.Services->OpenedUrls[0].toEncoded(), QByteArray(kMailEncoded));
  EXPECT_EQ(F.Services->OpenedUrls[1].toString(), QStringLiteral("https://vidmill.example.org/"));
  // The about window is gone with its closing.
  EXPECT_EQ(W().findChild<TFrm_about*>(), nullptr);
}

TEST(AboutWindowTest, LayoutAndTexts) {
  TServicesDouble Services;
  TFrm_about About(QStringLiteral("Vidmill"), QStringLiteral("0.1.0"), Services);
  EXPECT_EQ(About.objectName(), QStringLiteral("Frm_about"));
  EXPECT_EQ(About.size(), QSize(419, 206));
  EXPECT_EQ(About.windowTitle(), QStringLiteral("关于..."));
  EXPECT_EQ(About.lblAppName->text(), QStringLiteral("Vidmill 0.1.0"));
  EXPECT_EQ(About.lblHomepageCaption->text(), QStringLiteral("官方网站:"));
  EXPECT_EQ(About.lblEmailCaption->text(), QStringLiteral("E-mail:"));
  EXPECT_TRUE(About.lblHomepage->text().contains(AppInfo::kHomePageUrl));
  EXPECT_TRUE(About.lblEmail->text().contains(AppInfo::kSupportMail));
  EXPECT_EQ(About.btnOK->text(), QStringLiteral("&OK"));
  // Links go through the services, never straight to the desktop.
  EXPECT_FALSE(About.lblHomepage->openExternalLinks());
  EXPECT_FALSE(About.lblEmail->openExternalLinks());
}
