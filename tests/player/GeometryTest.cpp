// The display rectangle and the delay rule of the refresh step.
#include <gtest/gtest.h>

#include "player/FFPlay.h"
#include "probe/PictureTurn.h"

namespace {

constexpr AVRational kUnset{0, 1};

void ExpectRect(const TDisplayRect& ARect, int ALeft, int ATop, int AWidth, int AHeight) {
  EXPECT_EQ(ARect.Left, ALeft);
  EXPECT_EQ(ARect.Top, ATop);
  EXPECT_EQ(ARect.Width, AWidth);
  EXPECT_EQ(ARect.Height, AHeight);
}

TEST(DisplayRectTest, AnamorphicPalIsShownAtFourToThree) {
  const AVRational sar{16, 15};
  // The stream's aspect, else the decoder's.
  ExpectRect(CalculateDisplayRect(0, 720, 576, sar, kUnset, 640, 480), 0, 0, 640, 480);
  ExpectRect(CalculateDisplayRect(0, 720, 576, kUnset, sar, 640, 480), 0, 0, 640, 480);
  // Centred with the free space split; a tall display keeps the width.
  ExpectRect(CalculateDisplayRect(0, 720, 576, sar, kUnset, 800, 480), 80, 0, 640, 480);
  ExpectRect(CalculateDisplayRect(0, 720, 576, sar, kUnset, 640, 640), 0, 80, 640, 480);
  // The stream's own ratio wins over the decoder's.
  ExpectRect(CalculateDisplayRect(0, 720, 576, AVRational{1, 1}, sar, 640, 480), 20, 0, 600, 480);
  // No usable ratio: square pixels.
  ExpectRect(CalculateDisplayRect(0, 720, 576, AVRational{-1, 1}, kUnset, 640, 480), 20, 0, 600, 480);
}

TEST(DisplayRectTest, NegativeAspectFillsAndPositiveAspectIsForced) {
  ExpectRect(CalculateDisplayRect(-1, 720, 576, AVRational{16, 15}, kUnset, 800, 480), 0, 0, 800, 480);
  ExpectRect(CalculateDisplayRect(2.0f, 320, 240, kUnset, kUnset, 640, 480), 0, 80, 640, 320);
  ExpectRect(CalculateDisplayRect(1.0f, 320, 240, kUnset, kUnset, 640, 480), 80, 0, 480, 480);
}

TEST(DisplayRectTest, SidesAreEven) {
  // 16:9 in 500x300: 533 wide is too wide, so the width is the display's and
  // the height 281.25 becomes 280.
  ExpectRect(CalculateDisplayRect(16.0f / 9, 320, 240, kUnset, kUnset, 500, 300), 0, 10, 500, 280);
  // 4:3 in 301 high: 401.33 wide becomes 400.
  ExpectRect(CalculateDisplayRect(0, 320, 240, kUnset, kUnset, 640, 301), 120, 0, 400, 301);
}

TEST(DisplayRectTest, AQuarterTurnDrawsIntoTheShownRectangleWithItsSidesSwapped) {
  // A picture shown 202x360 at (219, 0) is drawn 360x202 about the same
  // middle, then turned; a half turn or a mirror keeps the rectangle.
  const TDisplayRect shown{219, 0, 202, 360};
  for (int rotation : {90, 270})
    ExpectRect(TextureRectBeforeTurn(shown, TPictureTurn{false, rotation}), 140, 79, 360, 202);
  ExpectRect(TextureRectBeforeTurn(shown, TPictureTurn{true, 180}), 219, 0, 202, 360);
}

TEST(FrameDelayTest, PicturesAreTimedAgainstTheAudioClock) {
  auto timing = [] {
    TFrameTiming t;
    t.FrameTimer = 100;
    t.LastPTS = 1.0;
    t.LastDelay = 0.04;
    return t;
  };
  TFrameTiming t = timing();
  EXPECT_NEAR(TargetFrameDelay(t, 1.04, true, 1.04), 0.04, 1e-9);
  EXPECT_DOUBLE_EQ(t.LastPTS, 1.04);
  // 50 ms behind the clock: at once; 50 ms ahead: twice as long.
  t = timing();
  EXPECT_NEAR(TargetFrameDelay(t, 1.04, true, 1.09), 0, 1e-9);
  t = timing();
  EXPECT_NEAR(TargetFrameDelay(t, 1.04, true, 0.99), 0.08, 1e-9);
  // Within the threshold nothing changes.
  t = timing();
  EXPECT_NEAR(TargetFrameDelay(t, 1.04, true, 1.07), 0.04, 1e-9);
  // More than 10 s away, or no audio: the nominal delay.
  t = timing();
  EXPECT_NEAR(TargetFrameDelay(t, 1.04, true, 20.0), 0.04, 1e-9);
  t = timing();
  EXPECT_NEAR(TargetFrameDelay(t, 1.04, false, 1.5), 0.04, 1e-9);
}

TEST(FrameDelayTest, JumpsKeepTheLastDelay) {
  TFrameTiming t;
  t.LastPTS = 1.0;
  t.LastDelay = 0.04;
  EXPECT_NEAR(TargetFrameDelay(t, 1.02, false, 0), 0.02, 1e-12);
  EXPECT_NEAR(t.LastDelay, 0.02, 1e-12);
  EXPECT_NEAR(TargetFrameDelay(t, 5.0, false, 0), 0.02, 1e-12);  // a jump forward of 2 s or more
  EXPECT_NEAR(TargetFrameDelay(t, 4.0, false, 0), 0.02, 1e-12);  // backwards
  EXPECT_NEAR(t.LastDelay, 0.02, 1e-12);
  EXPECT_DOUBLE_EQ(t.LastPTS, 4.0);
}

TEST(FrameDelayTest, TheFrameTimerAdvancesAndTheWaitIsAtLeastTenMilliseconds) {
  TFrameTiming t;
  t.FrameTimer = 100.0;
  t.LastPTS = 1.0;
  t.LastDelay = 0.04;
  EXPECT_NEAR(NextRefreshDelay(t, 1.04, true, 0.99, 100.0), 0.08, 1e-9);
  EXPECT_NEAR(t.FrameTimer, 100.08, 1e-9);
  // Late: the timer stays, the picture is shown after the minimum wait.
  EXPECT_NEAR(NextRefreshDelay(t, 1.08, true, 1.5, 100.5), 0.01, 1e-9);
  EXPECT_NEAR(t.FrameTimer, 100.08, 1e-9);
}

}  // namespace
