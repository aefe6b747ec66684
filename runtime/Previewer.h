#pragma once
// The preview window of a conversion: a small always-on-top window that
// shows the pictures a task encodes. The engine uses it through this
// interface; the GUI installs the factory that makes the real window (the
// runtime and the engine know nothing of the toolkit). Without a factory
// (command-line use) no preview window exists.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/Hooks.h"

class TPreviewer {
 public:
  virtual ~TPreviewer() = default;
  // Shows ABitmap with the caption of APTS; false once the user closed the
  // window (nothing is drawn then). Called on a worker thread; the window
  // work happens on the main thread while the caller waits.
  virtual bool ShowFrame(TBitmap& ABitmap, int AFrameNumber, int64_t APTS) = 0;
};

using TPreviewerFactory = std::function<std::unique_ptr<TPreviewer>()>;
void SetPreviewerFactory(TPreviewerFactory AFactory);
// A new preview window, or null when no factory is installed.
std::unique_ptr<TPreviewer> CreatePreviewer();

// The caption of a preview: "%.2d:%.2d:%.2d.%.3d" of APTS (microseconds), or
// "N/A" for the library's no-timestamp value.
std::string PreviewCaption(int64_t APTS);
