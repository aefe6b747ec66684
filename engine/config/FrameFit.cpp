#include "engine/config/FrameFit.h"

#include <cmath>
#include <vector>

#include "engine/config/FFmpeg.h"

namespace {

constexpr double kSameAspect = 0.02;

int Even(double AValue) { return 2 * static_cast<int>(std::lround(AValue / 2)); }

// The bars that fit a picture of APicture into a frame shown at AFrame.
void AddBars(TFrameFit& AFit, double APicture) {
  if (std::fabs(APicture / AFit.FrameAspect - 1) <= kSameAspect) return;
  if (APicture > AFit.FrameAspect) {
    const int inner = std::max(2, Even(AFit.Height * AFit.FrameAspect / APicture));
    AFit.PadTop = Even((AFit.Height - inner) / 2.0 - 0.5);
    AFit.PadBottom = AFit.Height - inner - AFit.PadTop;
  } else {
    const int inner = std::max(2, Even(AFit.Width * APicture / AFit.FrameAspect));
    AFit.PadLeft = Even((AFit.Width - inner) / 2.0 - 0.5);
    AFit.PadRight = AFit.Width - inner - AFit.PadLeft;
  }
}

}  // namespace

TFrameFit FitPicture(const std::string& AMode, double APictureAspect, int AWidth, int AHeight, bool ASizeFromSource) {
  TFrameFit fit;
  fit.Width = AWidth;
  fit.Height = AHeight;
  if (AWidth <= 0 || AHeight <= 0 || APictureAspect <= 0) return fit;
  fit.FrameAspect = APictureAspect;
  if (AMode.empty()) return fit;
  if (AMode == "square") {
    if (ASizeFromSource) {
      fit.Height = std::max(2, AHeight & ~1);
      fit.Width = std::max(2, Even(fit.Height * APictureAspect));
      fit.FrameAspect = static_cast<double>(fit.Width) / fit.Height;
      return fit;
    }
    fit.FrameAspect = static_cast<double>(AWidth) / AHeight;
  } else {
    double nearest = 0;
    for (double aspect : ParseAspectList(AMode))
      if (nearest == 0 || std::fabs(std::log(aspect / APictureAspect)) < std::fabs(std::log(nearest / APictureAspect)))
        nearest = aspect;
    if (nearest == 0) return fit;
    fit.FrameAspect = nearest;
  }
  AddBars(fit, APictureAspect);
  return fit;
}
