#include "app/PreviewWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "runtime/Threads.h"

class TQtPreviewer::TPreviewForm : public QWidget {
 public:
  explicit TPreviewForm(bool& AClosed)
      : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowCloseButtonHint),
        FClosed(AClosed) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_ShowWithoutActivating);
  }

  // Takes a copy: the engine reuses its bitmap once ShowFrame returns.
  void SetPicture(TBitmap& ABitmap) {
    std::lock_guard<std::recursive_mutex> guard(ABitmap.Lock);
    if (ABitmap.Width <= 0 || ABitmap.Height <= 0 || ABitmap.Pixels.empty()) return;
    FPicture =
        QImage(ABitmap.Pixels.data(), ABitmap.Width, ABitmap.Height, ABitmap.Stride, QImage::Format_BGR888).copy();
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!FPicture.isNull()) painter.drawImage(0, 0, FPicture);
  }
  void mousePressEvent(QMouseEvent* AEvent) override {
    if (AEvent->button() == Qt::LeftButton && windowHandle()) {
      windowHandle()->startSystemMove();
      AEvent->accept();
      return;
    }
    QWidget::mousePressEvent(AEvent);
  }
  void closeEvent(QCloseEvent* AEvent) override {
    FClosed = true;
    AEvent->accept();
  }

 private:
  bool& FClosed;
  QImage FPicture;
};

TQtPreviewer::TQtPreviewer() = default;

TQtPreviewer::~TQtPreviewer() {
  if (!FForm) return;
  TPreviewForm* form = FForm;
  FForm = nullptr;
  RunInMainThread([form] { delete form; });
}

QWidget* TQtPreviewer::Form() const { return FForm; }

bool TQtPreviewer::ShowFrame(TBitmap& ABitmap, int /*AFrameNumber*/, int64_t APTS) {
  bool shown = false;
  RunInMainThread([&] {
    if (FClosed) return;
    if (!FForm) {
      FForm = new TPreviewForm(FClosed);
      FForm->setFixedSize(ABitmap.Width > 0 ? ABitmap.Width : 1, ABitmap.Height > 0 ? ABitmap.Height : 1);
      if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        FForm->move(area.center() - QPoint(FForm->width() / 2, FForm->height() / 2));
      }
      FForm->show();
    }
    FForm->setWindowTitle(QString::fromStdString(PreviewCaption(APTS)));
    FForm->SetPicture(ABitmap);
    shown = !FClosed;
  });
  return shown;
}

void InstallQtPreviewer() {
  SetPreviewerFactory([]() -> std::unique_ptr<TPreviewer> { return std::make_unique<TQtPreviewer>(); });
}
