// The preview window: shown on the main thread for a worker, its caption,
// picture and size, and what closing it does.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QWidget>

#include "app/PreviewWindow.h"
#include "runtime/Threads.h"

namespace {

// A w x h bitmap, left half blue and right half red (BGR rows).
void Paint(TBitmap& ABitmap, int AWidth, int AHeight) {
  ABitmap.SetSize(AWidth, AHeight);
  for (int y = 0; y < AHeight; ++y) {
    uint8_t* row = ABitmap.ScanLine(y);
    for (int x = 0; x < AWidth; ++x) {
      const bool left = x < AWidth / 2;
      row[3 * x + 0] = left ? 255 : 0;  // blue
      row[3 * x + 1] = 0;
      row[3 * x + 2] = left ? 0 : 255;  // red
    }
  }
}

// Runs ABody on a worker thread while the main thread serves the hand-over.
template <class F>
void OnWorker(F ABody) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ABody();
    done = true;
  });
  WaitServing([&] { return done.load(); }, std::chrono::milliseconds(1));
  worker.join();
}

}  // namespace

TEST(PreviewWindow, ShowsTheBitmapWithItsTimeOnTopOfTheOtherWindows) {
  TQtPreviewer previewer;
  TBitmap bitmap;
  Paint(bitmap, 98, 60);  // odd stride: 294 bytes per row
  bool shown = false;
  OnWorker([&] { shown = previewer.ShowFrame(bitmap, 1, 3723456000); });
  ASSERT_TRUE(shown);
  QWidget* form = previewer.Form();
  ASSERT_NE(form, nullptr);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->windowTitle(), QStringLiteral("01:02:03.456"));
  EXPECT_EQ(form->size(), QSize(98, 60));
  EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(form->windowFlags() & Qt::WindowType_Mask, Qt::Tool);

  const QImage picture = form->grab().toImage();
  EXPECT_EQ(QColor(picture.pixel(10, 30)), QColor(0, 0, 255));
  EXPECT_EQ(QColor(picture.pixel(90, 30)), QColor(255, 0, 0));

  // The engine reuses its bitmap: the window keeps what it was given.
  Paint(bitmap, 98, 60);
  std::fill(bitmap.Pixels.begin(), bitmap.Pixels.end(), 0);
  EXPECT_EQ(QColor(form->grab().toImage().pixel(10, 30)), QColor(0, 0, 255));

  OnWorker([&] { shown = previewer.ShowFrame(bitmap, 2, INT64_MIN); });
  EXPECT_TRUE(shown);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("N/A"));
}

TEST(PreviewWindow, ClosingItEndsThePreviewsAndTheWorkerFreesIt) {
  auto previewer = std::make_unique<TQtPreviewer>();
  TBitmap bitmap;
  Paint(bitmap, 32, 24);
  bool shown = false;
  OnWorker([&] { shown = previewer->ShowFrame(bitmap, 1, 0); });
  ASSERT_TRUE(shown);
  ASSERT_NE(previewer->Form(), nullptr);
  QPointer<QWidget> form = previewer->Form();
  form->close();
  OnWorker([&] { shown = previewer->ShowFrame(bitmap, 2, 40000); });
  EXPECT_FALSE(shown);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(form->windowTitle(), QStringLiteral("00:00:00.000")) << "nothing is drawn once closed";
  // The engine drops the window on its worker: the form goes on the main thread.
  OnWorker([&] { previewer.reset(); });
  QApplication::processEvents();
  EXPECT_TRUE(form.isNull());
}

TEST(PreviewWindow, TheFactoryMakesQtPreviewers) {
  InstallQtPreviewer();
  std::unique_ptr<TPreviewer> made = CreatePreviewer();
  EXPECT_NE(dynamic_cast<TQtPreviewer*>(made.get()), nullptr);
  SetPreviewerFactory(nullptr);
  EXPECT_EQ(CreatePreviewer(), nullptr);
}
