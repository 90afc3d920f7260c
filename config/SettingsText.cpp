#include "SettingsText.h"

#include "Codepage1252.h"

#include <QList>

QString fromSettingsText(std::string_view bytes)
{
    const std::u32string text = Codepage1252::toUnicode(bytes);
    return QString::fromUcs4(text.data(), qsizetype(text.size()));
}

std::string toSettingsText(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    std::u32string unicode;
    unicode.reserve(size_t(codePoints.size()));
    for (const uint codePoint : codePoints)
        unicode.push_back(char32_t(codePoint));
    return Codepage1252::fromUnicode(unicode);
}
