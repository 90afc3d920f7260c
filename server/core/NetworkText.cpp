#include "NetworkText.h"

namespace NetworkText {
namespace {

bool breaksLines(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

} // namespace

QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (breaksLines(c.unicode()))
            c = u'?';
    }
    return line;
}

QString wellFormed(const QString &text)
{
    QString result = text;
    for (qsizetype i = 0; i < result.size(); ++i) {
        const QChar c = result.at(i);
        if (c.isHighSurrogate() && i + 1 < result.size() && result.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            result[i] = QChar::ReplacementCharacter;
    }
    return result;
}

} // namespace NetworkText
