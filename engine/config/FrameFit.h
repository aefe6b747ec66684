#pragma once
// How a picture goes into the frame of an output that can show only some
// display aspects ("aspect_fit"). A frame that shows the picture's own
// aspect (within 2 %) takes it whole; otherwise the picture is fitted
// inside with black bars, above and below (letterbox) or left and right
// (pillarbox). With square pixels and a size that came from the source, the
// frame takes the picture's aspect instead: its width follows the height.
// Every size and bar is even, as 4:2:0 pictures need.

#include <string>

struct TFrameFit {
  int Width = 0, Height = 0;                                 // the frame
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;  // the bars inside it
  double FrameAspect = 0;                                    // the display aspect the frame is shown at

  bool Bars() const { return PadTop + PadBottom + PadLeft + PadRight > 0; }
};

// AMode: "" (the frame takes the picture's aspect through its pixel
// aspect, as always), "square", or a list of aspects ("4:3,16:9") of which
// the one nearest to the picture's is the frame's. APictureAspect: the
// picture's display aspect; AWidth x AHeight: the frame's size.
TFrameFit FitPicture(const std::string& AMode, double APictureAspect, int AWidth, int AHeight, bool ASizeFromSource);
