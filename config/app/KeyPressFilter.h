#pragma once

#include <QObject>
#include <QString>

class QContextMenuEvent;
class QKeyEvent;
class QLineEdit;

// Puts a key filter in front of a text box. Every character typed into the
// box is first handed to KeyPress as its character code; a handler that sets
// the code to 0 discards the character. Keys that type no character (arrows,
// Delete, Home, End, Tab) and access keys (Alt+letter) are not handed over.
// Ctrl with a letter types its control character (Ctrl+V is code 22).
//
// Text that arrives without typing -- a paste by Shift+Insert, by the
// context menu or by the middle button, or a drop -- is handed over one
// character at a time in the same way and discarded whole as soon as one of
// its characters is. Input methods are switched off for the box. The filter
// is there for its message; what keeps other characters out of the box,
// whatever way they come, is the box's TextBoxGuard.
class KeyPressFilter : public QObject
{
    Q_OBJECT

public:
    explicit KeyPressFilter(QLineEdit *box);

signals:
    void KeyPress(int &KeyAscii);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool passes(const QString &text);
    bool filterKey(QKeyEvent *event);
    void showContextMenu(QContextMenuEvent *event);
    void pasteFromClipboard();

    QLineEdit *m_box;
};
