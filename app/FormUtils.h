#pragma once
// Helpers shared by the program's windows.

#include <QFont>
#include <QIcon>
#include <QStyle>

class QWidget;

// The windows' font: "宋体" at 12 pixels. Linux desktops rarely have that
// family, so CJK families follow as fallbacks and the Chinese texts render
// with whichever of them is installed.
QFont FormFont();

// Moves AWindow (at its current size) to the centre of the screen it is on,
// or of the primary screen.
void CenterOnScreen(QWidget* AWindow);

// Desktops without an icon theme of their own (or a bare X server) still
// get the tool-bar images: Adwaita becomes the fallback theme when the
// toolkit would only fall back to hicolor.
void InstallIconThemeFallback();

// An icon of the desktop's icon theme, or the style's standard icon when the
// theme has none of that name.
QIcon ThemeIcon(const char* AName, QStyle::StandardPixmap AFallback);

// AIcon with an image of exactly ASize x ASize pixels, scaled from the
// nearest size it has, so that buttons of one bar line up.
QIcon SizedIcon(const QIcon& AIcon, int ASize);
