#include "TextBoxGuard.h"

#include <QLineEdit>

#include <algorithm>

namespace {

bool isDigit(QChar character)
{
    return character >= QLatin1Char('0') && character <= QLatin1Char('9');
}

} // namespace

TextBoxGuard::TextBoxGuard(QLineEdit *box, int limit, Characters characters)
    : QValidator(box), m_box(box), m_limit(limit), m_characters(characters), m_current(box->text())
{
    m_held.insert(m_current);
    box->setMaxLength(limit);
    box->setValidator(this);
    connect(box, &QLineEdit::textChanged, this, &TextBoxGuard::remember);
}

void TextBoxGuard::showValue(const QString &text)
{
    m_held = {text};
    m_current = text;
    // The box's own limit would cut the value; the guard keeps the limit
    // for editing instead.
    m_box->setMaxLength(std::max(m_limit, int(text.size())));
    m_box->setText(text);
}

void TextBoxGuard::remember(const QString &text)
{
    m_current = text;
    m_held.insert(text);
}

QValidator::State TextBoxGuard::validate(QString &input, int &) const
{
    if (m_held.contains(input))
        return Acceptable;
    if (input.size() > std::max(m_limit, int(m_current.size())))
        return Invalid;
    if (m_characters == Characters::DigitsOnly && !addsOnlyDigits(input))
        return Invalid;
    return Acceptable;
}

// The characters of `input` other than digits are some of those of the
// current text, in the same order: an edit removed characters or added
// digits, nothing else.
bool TextBoxGuard::addsOnlyDigits(const QString &input) const
{
    qsizetype next = 0;
    for (const QChar character : input) {
        if (isDigit(character))
            continue;
        while (next < m_current.size() && m_current.at(next) != character)
            ++next;
        if (next == m_current.size())
            return false;
        ++next;
    }
    return true;
}
