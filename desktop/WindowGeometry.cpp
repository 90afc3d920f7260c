#include "WindowGeometry.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {

int halfRoundedDown(int value)
{
    return value >= 0 ? value / 2 : -((1 - value) / 2);
}

} // namespace

QFont layoutFont()
{
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(10);
    return font;
}

QPoint centredPosition(const QRect &screen, const QSize &outer)
{
    return QPoint(screen.left() + halfRoundedDown(screen.width() - outer.width()),
                  screen.top() + halfRoundedDown(screen.height() - outer.height()));
}

void centreOnScreen(QWidget *window)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // move() places the frame's top-left corner, so the outer size is the one to centre.
    window->move(centredPosition(screen->geometry(), window->frameGeometry().size()));
}
