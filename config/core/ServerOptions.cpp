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

void save(INIFiles &ServerIni, const Options &options)
{
    ServerIni.WriteINI(Section, MotdKey, toSettingsText(options.MOTD));
    ServerIni.WriteINI(Section, DebugKey, asState(options.Debug));
    ServerIni.WriteINI(Section, DebugLowLevelKey, asState(options.DebugLowLevel));
    ServerIni.WriteINI(Section, ShowScreenKey, asState(options.ShowScreen));
}

} // namespace ServerOptions
