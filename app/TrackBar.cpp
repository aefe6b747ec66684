#include "app/TrackBar.h"

#include <algorithm>

#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

TTrackBar::TTrackBar(QWidget* AParent) : QSlider(Qt::Horizontal, AParent) {
  // valueChanged on release and on keyboard or page moves only.
  setTracking(false);
}

void TTrackBar::SetSelStart(int AValue) {
  if (AValue == FSelStart) return;
  FSelStart = AValue;
  update();
}

void TTrackBar::SetSelEnd(int AValue) {
  if (AValue == FSelEnd) return;
  FSelEnd = AValue;
  update();
}

void TTrackBar::SetThumbVisible(bool AValue) {
  if (AValue == FThumbVisible) return;
  FThumbVisible = AValue;
  update();
}

void TTrackBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionSlider option;
  initStyleOption(&option);
  if (!FThumbVisible) option.subControls &= ~QStyle::SC_SliderHandle;
  const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
  style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);

  // The played part, over the groove and under nothing else the user needs.
  const int span = maximum() - minimum();
  if (span > 0 && FSelEnd > FSelStart) {
    const auto x = [&](int AValue) {
      return groove.left() + static_cast<int>(static_cast<long long>(AValue - minimum()) * groove.width() / span);
    };
    const int from = std::clamp(x(FSelStart), groove.left(), groove.right());
    const int to = std::clamp(x(FSelEnd), groove.left(), groove.right());
    const QRect band(from, groove.center().y() - 2, std::max(1, to - from), 4);
    painter.fillRect(band, palette().highlight());
  }
  if (FThumbVisible) {
    // The thumb stays on top of the band.
    option.subControls = QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
  }
}
