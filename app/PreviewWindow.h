#pragma once
// The preview window of a conversion on Qt: a small always-on-top tool
// window centred on the screen that shows each preview picture with its
// time as the caption. Pressing the left button anywhere on the picture
// moves the window, as its caption would. Closing it ends the previews of
// that task only; the conversion goes on.

#include <memory>

#include "runtime/Previewer.h"

class QWidget;

class TQtPreviewer : public TPreviewer {
 public:
  TQtPreviewer();
  // Frees the window on the main thread (the caller waits).
  ~TQtPreviewer() override;
  bool ShowFrame(TBitmap& ABitmap, int AFrameNumber, int64_t APTS) override;

  // The window while it is shown (main thread; tests).
  QWidget* Form() const;

 private:
  class TPreviewForm;
  TPreviewForm* FForm = nullptr;  // owned; created and freed on the main thread
  bool FClosed = false;           // main thread only
};

// Installs TQtPreviewer as the preview window of every conversion.
void InstallQtPreviewer();
