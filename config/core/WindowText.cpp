#include "WindowText.h"

#include "SettingsText.h"

QString fromSettingsText(std::string_view bytes)
{
    return QString::fromStdString(settingsTextAsUtf8(bytes));
}

std::string toSettingsText(const QString &text)
{
    return text.toStdString();
}
