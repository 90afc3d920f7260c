#include "ServerOptions.h"

#include "ServerOptionChecks.h"
#include "ServerOptionsLayout.h"
#include "TextConversions.h"
#include "WindowText.h"

#include <QStringList>

#include <string>
#include <vector>

namespace ServerOptions {

using namespace ServerOptionsLayout;

namespace {

int asState(bool on)
{
    return on ? 1 : 0;
}

QString trimmed(const INIFiles &ServerIni, const char *key, const std::string &fallback)
{
    return fromSettingsText(trimBlanks(ServerIni.ReadINI(Section, key, fallback)));
}

// One value of the server's numeric options, as the server will read it:
// decimal without leading zeros ("007" is 7).
std::string decimal(std::optional<std::int32_t> number, const QString &asTyped)
{
    return number ? std::to_string(*number) : toSettingsText(asTyped);
}

struct Entry {
    const char *key;
    std::string value;
    std::string fallback; // the server's default for a missing key
};

// The options added after the first four: written where the file has the
// key, or the value is not what a missing key means.
std::vector<IniEntry> laterEntries(const INIFiles &ServerIni, const Options &options)
{
    ServerOptionChecks::Problem unused;
    const Entry entries[] = {
        {ReplyToSourcePortKey, std::to_string(asState(options.ReplyToSourcePort)), std::to_string(DefaultReplyToSourcePort)},
        {MaxPilotsKey, decimal(ServerOptionChecks::maxPilots(toSettingsText(options.MaxPilots), &unused), options.MaxPilots),
         std::to_string(DefaultMaxPilots)},
        {HttpPortKey, decimal(ServerOptionChecks::httpPort(toSettingsText(options.HttpPort), &unused), options.HttpPort),
         std::to_string(DefaultHttpPort)},
        {HttpAddressKey, std::string(trimBlanks(toSettingsText(options.HttpAddress))), DefaultHttpAddress}};
    std::vector<IniEntry> written;
    for (const Entry &entry : entries) {
        // A value holds one line, so a line break stands for a missing key.
        const bool present = ServerIni.ReadINI(Section, entry.key, "\n") != "\n";
        if (present || entry.value != entry.fallback)
            written.push_back({Section, entry.key, entry.value});
    }
    return written;
}

} // namespace

Options load(const INIFiles &ServerIni)
{
    Options options;
    options.MOTD = fromSettingsText(ServerIni.ReadINI(Section, MotdKey, ""));
    options.Debug = loggingSwitchOn(ServerIni.ReadINI(Section, DebugKey, SwitchDefault));
    options.DebugLowLevel = loggingSwitchOn(ServerIni.ReadINI(Section, DebugLowLevelKey, SwitchDefault));
    options.ShowScreen = screenSwitchOn(ServerIni.ReadINI(Section, ShowScreenKey, SwitchDefault));
    options.ReplyToSourcePort =
        takeAsBoolean(ServerIni.ReadINI(Section, ReplyToSourcePortKey, DefaultReplyToSourcePort)).value_or(false);
    options.MaxPilots = trimmed(ServerIni, MaxPilotsKey, std::to_string(DefaultMaxPilots));
    options.HttpPort = trimmed(ServerIni, HttpPortKey, std::to_string(DefaultHttpPort));
    options.HttpAddress = trimmed(ServerIni, HttpAddressKey, DefaultHttpAddress);
    return options;
}

std::optional<QString> check(const Options &options)
{
    ServerOptionChecks::Problem problem;
    const auto refusal = [&problem](const char *key, const QString &value) {
        return QStringLiteral("Nothing was saved. The server would say: ")
            + QString::fromStdString(ServerOptionChecks::serverMessage(key, toSettingsText(value), problem));
    };
    if (!ServerOptionChecks::maxPilots(toSettingsText(options.MaxPilots), &problem))
        return refusal(MaxPilotsKey, options.MaxPilots);
    const std::optional<std::uint16_t> port = ServerOptionChecks::httpPort(toSettingsText(options.HttpPort), &problem);
    if (!port)
        return refusal(HttpPortKey, options.HttpPort);
    if (*port != 0 && !ServerOptionChecks::httpAddress(toSettingsText(options.HttpAddress), &problem))
        return refusal(HttpAddressKey, options.HttpAddress);
    return std::nullopt;
}

bool save(INIFiles &ServerIni, const Options &options)
{
    std::vector<IniEntry> entries{{Section, MotdKey, toSettingsText(options.MOTD)},
                                         {Section, DebugKey, std::to_string(asState(options.Debug))},
                                         {Section, DebugLowLevelKey, std::to_string(asState(options.DebugLowLevel))},
                                         {Section, ShowScreenKey, std::to_string(asState(options.ShowScreen))}};
    for (IniEntry &entry : laterEntries(ServerIni, options))
        entries.push_back(std::move(entry));
    return ServerIni.writeEntries(entries);
}

QString changeNote(const Options &before, const Options &after)
{
    QStringList reload;
    if (before.MOTD.trimmed() != after.MOTD.trimmed())
        reload.append(QStringLiteral("message of the day"));
    if (before.MaxPilots.toLongLong() != after.MaxPilots.toLongLong())
        reload.append(QStringLiteral("pilot limit"));
    QStringList restart;
    const std::pair<bool, const char *> restartOnly[] = {
        {before.Debug != after.Debug, DebugKey},
        {before.Debug && after.Debug && before.DebugLowLevel != after.DebugLowLevel, DebugLowLevelKey},
        {before.ShowScreen != after.ShowScreen, ShowScreenKey},
        {before.ReplyToSourcePort != after.ReplyToSourcePort, ReplyToSourcePortKey},
        {before.HttpPort.toLongLong() != after.HttpPort.toLongLong(), HttpPortKey},
        {after.HttpPort.toLongLong() != 0 && before.HttpAddress.trimmed() != after.HttpAddress.trimmed(), HttpAddressKey}};
    for (const auto &[changed, key] : restartOnly) {
        if (changed)
            restart.append(QLatin1String(key));
    }
    if (!restart.isEmpty())
        return QStringLiteral("Saved. A running server works by %1 only after a restart (sudo systemctl restart ventoro); "
                              "the pilots who are on log on again.")
            .arg(restart.join(QStringLiteral(", ")));
    if (!reload.isEmpty())
        return QStringLiteral("Saved. A running server takes in the new %1 on a reload, which drops nobody: sudo "
                              "systemctl reload ventoro (or ventoro reload).")
            .arg(reload.join(QStringLiteral(" and ")));
    return QString();
}

} // namespace ServerOptions
