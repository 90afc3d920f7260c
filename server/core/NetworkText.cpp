#include "NetworkText.h"

namespace NetworkText {
namespace {

// Controls that end a line or drive a terminal, and the bidirectional
// embeddings, overrides and isolates, which reorder what follows them on
// the line (a handle could make the rest of a log line read backwards).
bool unsafeInLine(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E)
        || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (unsafeInLine(c.unicode()))
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

QString html(const QString &text)
{
    const QString safe = wellFormed(oneLine(text));
    QString escaped;
    escaped.reserve(safe.size());
    for (const QChar c : safe) {
        switch (c.unicode()) {
        case u'&': escaped += QLatin1String("&amp;"); break;
        case u'<': escaped += QLatin1String("&lt;"); break;
        case u'>': escaped += QLatin1String("&gt;"); break;
        case u'"': escaped += QLatin1String("&quot;"); break;
        case u'\'': escaped += QLatin1String("&#39;"); break;
        default: escaped += c;
        }
    }
    return escaped;
}

} // namespace NetworkText
