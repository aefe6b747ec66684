// Fitting a picture into the frame of an output that shows only some
// display aspects: bars where the aspects differ, square pixels at the
// source's size, nothing where they agree.
#include <gtest/gtest.h>

#include "engine/config/FrameFit.h"

TEST(FrameFit, BarsSquarePixelsOrTheWholeFrame) {
  struct TCase {
    const char* Mode;
    double Picture;
    int Width, Height;
    bool FromSource;
    int ExpectWidth, ExpectHeight, Top, Bottom, Left, Right;
    double FrameAspect;
  };
  const TCase cases[] = {
      {"", 0.5625, 720, 576, false, 720, 576, 0, 0, 0, 0, 0.5625},               // keep: the pixel aspect says it
      {"square", 4.0 / 3, 128, 96, false, 128, 96, 0, 0, 0, 0, 4.0 / 3},         // 3GP, a 4:3 picture
      {"square", 0.5625, 128, 96, false, 128, 96, 0, 0, 36, 38, 4.0 / 3},        // a portrait one: pillarbox
      {"square", 16.0 / 9, 320, 240, false, 320, 240, 30, 30, 0, 0, 4.0 / 3},    // a wide one: letterbox
      {"square", 4.0 / 3, 720, 576, true, 768, 576, 0, 0, 0, 0, 4.0 / 3},        // 16:15 pixels at the source's size
      {"square", 1.332, 401, 301, true, 400, 300, 0, 0, 0, 0, 4.0 / 3},          // an odd size rounded down to even
      {"4:3", 16.0 / 9, 352, 288, false, 352, 288, 36, 36, 0, 0, 4.0 / 3},       // VCD, a wide picture
      {"4:3,16:9", 16.0 / 9, 720, 576, false, 720, 576, 0, 0, 0, 0, 16.0 / 9},   // DVD keeps it anamorphic
      {"4:3,16:9", 1.25, 720, 576, false, 720, 576, 0, 0, 22, 22, 4.0 / 3},      // 5:4 into 4:3, within reach
      {"4:3,16:9", 0.5625, 720, 576, false, 720, 576, 0, 0, 208, 208, 4.0 / 3},  // a portrait picture
      {"4:3,16:9", 1.35, 720, 576, false, 720, 576, 0, 0, 0, 0, 4.0 / 3},        // within 2 %: no bars
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Mode) + " " + std::to_string(c.Picture) + " into " + std::to_string(c.Width) + "x" +
                 std::to_string(c.Height));
    const TFrameFit fit = FitPicture(c.Mode, c.Picture, c.Width, c.Height, c.FromSource);
    EXPECT_EQ(fit.Width, c.ExpectWidth);
    EXPECT_EQ(fit.Height, c.ExpectHeight);
    EXPECT_EQ(fit.PadTop, c.Top);
    EXPECT_EQ(fit.PadBottom, c.Bottom);
    EXPECT_EQ(fit.PadLeft, c.Left);
    EXPECT_EQ(fit.PadRight, c.Right);
    EXPECT_NEAR(fit.FrameAspect, c.FrameAspect, 1e-6);
    for (int side : {fit.Width, fit.Height, fit.PadTop, fit.PadBottom, fit.PadLeft, fit.PadRight})
      EXPECT_EQ(side % 2, 0) << "4:2:0 wants even sizes";
  }
}
