#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// Window layouts are given in twips, 1/1440 inch: 15 twips make one pixel at
// 96 dots per inch. A value that is not a multiple of 15 is cut towards zero.
constexpr int twips(int value)
{
    return value / 15;
}

// The font for controls placed on the twip grid: the system's sans-serif
// face at 10 pixels, the size of the classic 8-point dialog font at 96 dots
// per inch. It is sized in pixels, as the grid is, so that texts fit their
// controls whatever the screen's dots per inch.
QFont layoutFont();

// A rectangle given in twips (left, top, width, height), in pixels.
constexpr QRect twipRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

// Where a window of outer size `outer` goes to stand centred on `screen`:
// left = (screen width - outer width) / 2 and top likewise, rounded down
// (towards minus infinity when the window is larger than the screen).
QPoint centredPosition(const QRect &screen, const QSize &outer);

// Moves `window` so that its outer frame stands centred on its screen. A
// window that has not been shown yet has no frame: it is centred on its
// client size now and again on its outer size once it is shown and its
// frame is known. Does nothing when there is no screen.
void centreOnScreen(QWidget *window);
