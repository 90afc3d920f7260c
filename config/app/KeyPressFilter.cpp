#include "KeyPressFilter.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>

namespace {

// The characters a key press types, as the box would receive them.
QString typedCharacters(const QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
        return {};
    default:
        break;
    }
    if (event->modifiers() & Qt::AltModifier)
        return {};
    if (!event->text().isEmpty())
        return event->text();
    const bool control = event->modifiers() & Qt::ControlModifier;
    if (control && event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
        return QString(QChar(event->key() - Qt::Key_A + 1));
    return {};
}

// Where a paste key takes its text from: Ctrl+Shift+Insert pastes the
// selection where there is one, as the box itself does.
QClipboard::Mode pastedFrom(const QKeyEvent *event)
{
    const bool selection = event->key() == Qt::Key_Insert
        && event->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier)
        && QGuiApplication::clipboard()->supportsSelection();
    return selection ? QClipboard::Selection : QClipboard::Clipboard;
}

// The standard menu's Paste entry: named "edit-paste" in newer Qt versions,
// known by its text in older ones.
QAction *pasteAction(const QMenu *menu)
{
    for (QAction *action : menu->actions()) {
        if (action->objectName() == QLatin1String("edit-paste")
            || action->text().section(QLatin1Char('\t'), 0, 0) == QLineEdit::tr("&Paste"))
            return action;
    }
    return nullptr;
}

} // namespace

KeyPressFilter::KeyPressFilter(QLineEdit *box) : QObject(box), m_box(box)
{
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
    box->installEventFilter(this);
}

bool KeyPressFilter::passes(const QString &text)
{
    for (const QChar character : text) {
        int KeyAscii = character.unicode();
        emit KeyPress(KeyAscii);
        if (KeyAscii == 0)
            return false;
    }
    return true;
}

bool KeyPressFilter::filterKey(QKeyEvent *event)
{
    const QString typed = typedCharacters(event);
    if (!typed.isEmpty())
        return !passes(typed);
    if (event->matches(QKeySequence::Paste))
        return !passes(QGuiApplication::clipboard()->text(pastedFrom(event)));
    return false;
}

void KeyPressFilter::showContextMenu(QContextMenuEvent *event)
{
    QMenu *menu = m_box->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (QAction *paste = pasteAction(menu)) {
        paste->disconnect(m_box);
        connect(paste, &QAction::triggered, this, &KeyPressFilter::pasteFromClipboard);
    }
    menu->popup(event->globalPos());
}

void KeyPressFilter::pasteFromClipboard()
{
    if (passes(QGuiApplication::clipboard()->text(QClipboard::Clipboard)))
        m_box->paste();
}

bool KeyPressFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_box || m_box->isReadOnly())
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
        return filterKey(static_cast<QKeyEvent *>(event));
    case QEvent::ContextMenu:
        showContextMenu(static_cast<QContextMenuEvent *>(event));
        return true;
    case QEvent::MouseButtonRelease:
        return static_cast<QMouseEvent *>(event)->button() == Qt::MiddleButton
            && QGuiApplication::clipboard()->supportsSelection()
            && !passes(QGuiApplication::clipboard()->text(QClipboard::Selection));
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        if (drop->mimeData()->hasText() && !passes(drop->mimeData()->text())) {
            drop->ignore();
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}
