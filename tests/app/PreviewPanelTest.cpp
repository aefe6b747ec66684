// The preview panel: playing the selected row in the panel, the seek bar's
// mapping onto the file's duration, and the position shown on it.

#include <cstdlib>

#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "app/TrackBar.h"
#include "player/FFPlay.h"
#include "tests/app/ConversionTestSupport.h"

namespace {

class PreviewPanelTest : public ConversionTest {
 protected:
  void SetUp() override {
    // No display and no sound card: SDL draws nowhere and writes the sound
    // to a file.
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", F.Folders.Path(QStringLiteral("sound.raw")).toLocal8Bit().constData(), 1);
  }
};

}  // namespace

TEST_F(PreviewPanelTest, PlayWithoutASelectedRowAsksForOneAndFocusesTheList) {
  Open();
  W().Play->trigger();
  ASSERT_EQ(Services->Messages.size(), 1u);
  EXPECT_EQ(Services->Messages[0].Text, QStringLiteral("请在列表中选择一个文件再点击播放预览"));
  EXPECT_EQ(W().focusWidget(), W().lvFiles);
  EXPECT_FALSE(W().FFPlayer->Playing());
}

TEST_F(PreviewPanelTest, TheSeekBarMapsPixelsOntoTheDuration) {
  Open();
  W().TrackBar1->setFixedWidth(200);
  W().TrackBar1->setValue(30);  // the user's move, before any file: seeks to 0
  const int64_t Before = W().LastSeekRequest();
  int ScreenWidth = 0, ScreenHeight = 0;
  W().FFPlayerFileOpen(100000000, 320, 240, ScreenWidth, ScreenHeight);
  EXPECT_EQ(W().TrackBar1->maximum(), 200);
  EXPECT_EQ(W().TrackBar1->value(), 0);
  EXPECT_EQ(W().LastSeekRequest(), Before) << "the program's own move of the thumb does not seek";
  EXPECT_TRUE(W().TrackBar1->ThumbVisible());
  EXPECT_EQ(W().SourceDuration, 100000000);
  EXPECT_GT(ScreenWidth, 0);
  EXPECT_TRUE(LastLogLines(1).first().startsWith(QStringLiteral("duration: 100.00, frame size: 320x240")));

  W().FFPlayerPosition(25000000);
  EXPECT_EQ(W().TrackBar1->SelEnd(), 50);
  {
    // The played part is drawn along the groove in the highlight colour.
    W().TrackBar1->resize(200, W().TrackBar1->sizeHint().height());
    const QImage Bar = W().TrackBar1->grab().toImage();
    const QColor Highlight = W().TrackBar1->palette().highlight().color();
    int Marked = 0;
    for (int X = 0; X < Bar.width(); ++X)
      if (QColor(Bar.pixel(X, Bar.height() / 2)) == Highlight) ++Marked;
    EXPECT_GT(Marked, 20) << "band pixels on the middle row";
    EXPECT_LT(Marked, 100);
  }
  W().FFPlayerPosition(-1);
  EXPECT_EQ(W().TrackBar1->SelEnd(), 50) << "a negative time is no position";
  W().TrackBar1->setValue(150);
  EXPECT_EQ(W().LastSeekRequest(), 75000000);

  // Without a known duration there is nothing to seek in or to show.
  W().FFPlayerFileOpen(0, -1, -1, ScreenWidth, ScreenHeight);
  EXPECT_FALSE(W().TrackBar1->ThumbVisible());
  W().FFPlayerPosition(1000000);
  EXPECT_EQ(W().TrackBar1->SelEnd(), 0);
}

TEST_F(PreviewPanelTest, TheSelectedRowPlaysInThePanelAndTheBarFollowsIt) {
  Open();
  AddClip(Source("mp4", QStringLiteral("first.mp4")));
  AddClip(Source("avi", QStringLiteral("second.avi")));
  ASSERT_EQ(RowCount(), 2);
  W().lvFiles->setCurrentItem(Row(0));
  W().Play->trigger();
  ASSERT_TRUE(W().FFPlayer->Playing()) << W().mmolog->toPlainText().toStdString();
  EXPECT_TRUE(LogLines().contains(QStringLiteral("duration: 2.00, frame size: 160x120")));
  EXPECT_TRUE(W().TrackBar1->ThumbVisible());
  ASSERT_TRUE(WaitUntil([this] { return W().TrackBar1->SelEnd() > 0; }, 5000)) << "the position moves the bar";
  EXPECT_TRUE(W().imgPlay->isHidden()) << "the video replaces the picture";

  // The second row in the same panel: the first stops.
  W().lvFiles->setCurrentItem(Row(1));
  W().Play->trigger();
  ASSERT_TRUE(W().FFPlayer->Playing());
  EXPECT_EQ(W().FFPlayer->FileName(), Row(1)->text(lcPath).toStdU16String());

  W().PausePlay->trigger();
  EXPECT_TRUE(W().FFPlayer->Paused());
  W().StopPlay->trigger();
  EXPECT_FALSE(W().FFPlayer->Playing());
}
