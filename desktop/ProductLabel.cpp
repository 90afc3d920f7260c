#include "ProductLabel.h"

#include <QStringList>

namespace ProductLabel {

Version programVersion()
{
    return Version{VENTORO_VERSION_MAJOR, VENTORO_VERSION_MINOR, VENTORO_VERSION_PATCH};
}

QString text(const Version &version)
{
    return QStringLiteral("Ventoro Server Module. (c) Brisalt Ltd Ver:%1.%2.%3")
        .arg(version.majorNumber)
        .arg(version.minorNumber)
        .arg(version.revision);
}

QString text()
{
    return text(programVersion());
}

QFont font()
{
    QFont font;
    font.setFamilies({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(11.25);
    font.setBold(true);
    return font;
}

} // namespace ProductLabel
