#include "ServerOptions.h"

#include "ServerOptionsLayout.h"
#include "WindowText.h"

namespace ServerOptions {

using namespace ServerOptionsLayout;

namespace {

int asState(bool on)
{
    return on ? 1 : 0;
}

} // namespace

Options load(const INIFiles &ServerIni)
{
    Options options;
    options.MOTD = fromSettingsText(ServerIni.ReadINI(Section, MotdKey, ""));
    options.Debug = loggingSwitchOn(ServerIni.ReadINI(Section, DebugKey, SwitchDefault));
    options.DebugLowLevel = loggingSwitchOn(ServerIni.ReadINI(Section, DebugLowLevelKey, SwitchDefault));
    options.ShowScreen = screenSwitchOn(ServerIni.ReadINI(Section, ShowScreenKey, SwitchDefault));
    return options;
}

bool save(INIFiles &ServerIni, const Options &options)
{
    return ServerIni.writeEntries({{Section, MotdKey, toSettingsText(options.MOTD)},
                                   {Section, DebugKey, asState(options.Debug)},
                                   {Section, DebugLowLevelKey, asState(options.DebugLowLevel)},
                                   {Section, ShowScreenKey, asState(options.ShowScreen)}});
}

} // namespace ServerOptions
