#include "SettingsText.h"

#include "Codepage1252.h"

namespace {

bool isValidUtf8(std::string_view bytes)
{
    // The decoder replaces every malformed sequence, so only valid UTF-8
    // comes back unchanged.
    return Codepage1252::encodeUtf8(Codepage1252::decodeUtf8(bytes)) == bytes;
}

} // namespace

std::string settingsTextAsUtf8(std::string_view bytes)
{
    if (isValidUtf8(bytes))
        return std::string(bytes);
    return Codepage1252::encodeUtf8(Codepage1252::toUnicode(bytes));
}
