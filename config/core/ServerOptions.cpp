#include "ServerOptions.h"

#include "WindowText.h"
#include "TextConversions.h"

namespace ServerOptions {
namespace {

constexpr const char *kSection = "General";

// The value the server assumes for a missing switch: on.
constexpr int kSwitchDefault = -1;

int asState(bool on)
{
    return on ? 1 : 0;
}

} // namespace

bool loggingSwitch(std::string_view text)
{
    return takeAsBoolean(text).value_or(true);
}

bool screenSwitch(std::string_view text)
{
    return numberAtStart(text) != 0;
}

Options load(const INIFiles &ServerIni)
{
    Options options;
    options.MOTD = fromSettingsText(ServerIni.ReadINI(kSection, "MOTD", ""));
    options.Debug = loggingSwitch(ServerIni.ReadINI(kSection, "Debug", kSwitchDefault));
    options.DebugLowLevel = loggingSwitch(ServerIni.ReadINI(kSection, "DebugLowLevel", kSwitchDefault));
    options.ShowScreen = screenSwitch(ServerIni.ReadINI(kSection, "ShowScreen", kSwitchDefault));
    return options;
}

void save(INIFiles &ServerIni, const Options &options)
{
    ServerIni.WriteINI(kSection, "MOTD", toSettingsText(options.MOTD));
    ServerIni.WriteINI(kSection, "Debug", asState(options.Debug));
    ServerIni.WriteINI(kSection, "DebugLowLevel", asState(options.DebugLowLevel));
    ServerIni.WriteINI(kSection, "ShowScreen", asState(options.ShowScreen));
}

} // namespace ServerOptions
