#pragma once
// The seek bar of the preview panel: a horizontal slider whose thumb marks
// where to seek and whose selection (a band along the groove, SelStart to
// SelEnd) shows where playback is. The thumb can be hidden (a file without
// a known duration cannot be sought). Value changes come when the user
// releases the thumb or moves it with the keyboard, not while dragging.

#include <QSlider>

class TTrackBar : public QSlider {
  Q_OBJECT
 public:
  explicit TTrackBar(QWidget* AParent = nullptr);

  int SelStart() const { return FSelStart; }
  int SelEnd() const { return FSelEnd; }
  void SetSelStart(int AValue);
  void SetSelEnd(int AValue);

  bool ThumbVisible() const { return FThumbVisible; }
  void SetThumbVisible(bool AValue);

 protected:
  void paintEvent(QPaintEvent* AEvent) override;

 private:
  int FSelStart = 0;
  int FSelEnd = 0;
  bool FThumbVisible = true;
};
