#include "ServerOptionsLayout.h"

#include "TextConversions.h"

namespace ServerOptionsLayout {

bool loggingSwitchOn(std::string_view text)
{
    return takeAsBoolean(text).value_or(true);
}

bool screenSwitchOn(std::string_view text)
{
    return numberAtStart(text) != 0;
}

} // namespace ServerOptionsLayout
