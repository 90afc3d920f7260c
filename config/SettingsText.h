#pragma once

#include <QString>

#include <string>
#include <string_view>

// The settings files hold 8-bit text in code page 1252; the window shows
// Unicode. Characters that 1252 cannot hold are stored as "?".
QString fromSettingsText(std::string_view bytes);
std::string toSettingsText(const QString &text);
