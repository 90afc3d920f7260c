#include "WindowGeometry.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {

int halfRoundedDown(int value)
{
    return value >= 0 ? value / 2 : -((1 - value) / 2);
}

void moveToCentre(QWidget *window)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // move() places the frame's top-left corner, so the outer size is the one to centre.
    window->move(centredPosition(screen->geometry(), window->frameGeometry().size()));
}

// Centres its window again each time the frame around it changes size, until
// the frame is known: a window gets its frame only once it is shown, and the
// window manager may add it a little later still.
class FrameCentring : public QObject
{
public:
    explicit FrameCentring(QWidget *window) : QObject(window), m_window(window)
    {
        setObjectName(QStringLiteral("frameCentring"));
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (watched != m_window || (type != QEvent::Show && type != QEvent::Move && type != QEvent::Resize))
            return false;
        const QSize frame = m_window->frameGeometry().size() - m_window->size();
        if (frame != m_frame) {
            m_frame = frame;
            moveToCentre(m_window);
        }
        if (m_window->isVisible() && !frame.isNull()) {
            m_window->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }

private:
    QWidget *m_window;
    QSize m_frame; // the frame's share of the outer size, as last centred on
};

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
    moveToCentre(window);
    if (!window->isVisible() && !window->findChild<QObject *>(QStringLiteral("frameCentring"), Qt::FindDirectChildrenOnly))
        new FrameCentring(window);
}
