#pragma once

#include <QString>

#include <string>
#include <string_view>

// Text between the window and the settings files. The files are 8-bit text:
// what the tool writes is UTF-8, and what it reads is UTF-8 when it is valid
// UTF-8 and code page 1252 otherwise (a file brought from elsewhere), the
// same rule the server reads by.
QString fromSettingsText(std::string_view bytes);
std::string toSettingsText(const QString &text);
