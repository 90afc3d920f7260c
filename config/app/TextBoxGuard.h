#pragma once

#include <QSet>
#include <QString>
#include <QValidator>

class QLineEdit;

// What may enter a text box, whatever route the text takes: typing, any
// paste (clipboard, X11 selection, context menu, middle button), a drop, an
// Alt chord that no button takes, or a call to insert(). The box keeps an
// edit only when
//   - it leaves the text no longer than the box's limit, or, when the text
//     is already longer (a value loaded whole), no longer than it was; and
//   - in a box for digits only, it adds no character other than a digit.
// Deleting is always allowed, and undo and redo may return to any text the
// box has held since its value was last shown. A refused edit leaves the
// text and the cursor as they were.
class TextBoxGuard : public QValidator
{
    Q_OBJECT

public:
    enum class Characters { Any, DigitsOnly };

    // Guards `box` from now on; the guard belongs to the box.
    TextBoxGuard(QLineEdit *box, int limit, Characters characters);

    // Shows a value read from a file whole, even beyond the limit.
    void showValue(const QString &text);

    State validate(QString &input, int &pos) const override;

private:
    void remember(const QString &text);
    bool addsOnlyDigits(const QString &input) const;

    QLineEdit *m_box;
    int m_limit;
    Characters m_characters;
    QString m_current;   // the text the box holds before the edit in question
    QSet<QString> m_held; // every text held since the value was shown
};
