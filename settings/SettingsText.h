#pragma once

#include <string>
#include <string_view>

// Settings files hold 8-bit text. Files written on this system are UTF-8;
// files brought from elsewhere may be code page 1252. A value that is valid
// UTF-8 is taken as UTF-8, any other as 1252. The programs store what they
// write as UTF-8.
std::string settingsTextAsUtf8(std::string_view bytes);
