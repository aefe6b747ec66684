#include "app/FormUtils.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

QFont FormFont() {
  QFont Font(QStringLiteral("宋体"));
  Font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
                    QStringLiteral("Noto Serif CJK SC"), QStringLiteral("WenQuanYi Zen Hei")});
  Font.setPixelSize(12);
  return Font;
}

void CenterOnScreen(QWidget* AWindow) {
  QScreen* Screen = AWindow->screen();
  if (!Screen) Screen = QGuiApplication::primaryScreen();
  if (!Screen) return;
  const QRect Area = Screen->availableGeometry();
  QRect Frame = AWindow->frameGeometry();
  Frame.moveCenter(Area.center());
  AWindow->move(Frame.topLeft());
}

void InstallIconThemeFallback() {
  const QString Fallback = QIcon::fallbackThemeName();
  if (Fallback.isEmpty() || Fallback == QLatin1String("hicolor"))
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
}

QIcon ThemeIcon(const char* AName, QStyle::StandardPixmap AFallback) {
  const QString Name = QString::fromLatin1(AName);
  if (QIcon::hasThemeIcon(Name)) return QIcon::fromTheme(Name);
  return QApplication::style()->standardIcon(AFallback);
}

QIcon SizedIcon(const QIcon& AIcon, int ASize) {
  const QSize Wanted(ASize, ASize);
  QPixmap Image = AIcon.pixmap(Wanted);
  if (Image.isNull()) return AIcon;
  if (Image.size() != Wanted) Image = Image.scaled(Wanted, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return QIcon(Image);
}
