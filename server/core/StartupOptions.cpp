#include "StartupOptions.h"

#include "AccountsFileLayout.h"
#include "AtomicFile.h"
#include "INIFiles.h"
#include "Packet.h"
#include "ServerOptionChecks.h"
#include "ProfileDocument.h"
#include "ServerOptionsLayout.h"
#include "SettingsText.h"
#include "TextConversions.h"

#include <algorithm>

namespace StartupOptions {

using namespace ServerOptionsLayout;

namespace {

QString settingsText(const std::string &bytes)
{
    return QString::fromStdString(settingsTextAsUtf8(bytes));
}

bool readSwitch(const INIFiles &serverIni, const char *key, bool fallback, QStringList *warnings)
{
    // The switches that are off when missing share one default text, "0".
    static_assert(DefaultReplyToSourcePort == DefaultKeepPilotsOnRestart);
    const std::string text = serverIni.ReadINI(Section, key, fallback ? SwitchDefault : DefaultReplyToSourcePort);
    const std::optional<bool> value = takeAsBoolean(text);
    if (!value)
        warnings->append(QStringLiteral("\"%1\" in VentoroServer.ini holds \"%2\", which is neither a number nor "
                                        "True or False; taking it as %3")
                             .arg(QLatin1String(key), settingsText(text),
                                  fallback ? QStringLiteral("on") : QStringLiteral("off")));
    return value.value_or(fallback);
}

QString liveText(const std::string &value, int chars)
{
    return trimSpaces(settingsText(value)).left(chars);
}

QString readText(const INIFiles &serverIni, const char *key, const char *fallback, int chars)
{
    return liveText(serverIni.ReadINI(Section, key, fallback), chars);
}

std::optional<int> maxPilotsFrom(const std::string &text)
{
    const std::optional<std::int32_t> limit = wholeNumber32(text);
    return limit && *limit >= 0 ? std::optional<int>(*limit) : std::nullopt;
}

QString maxPilotsWarning(const std::string &text, const QString &consequence)
{
    return QStringLiteral("\"%1\" in VentoroServer.ini holds \"%2\", which is no whole number from 0; %3")
        .arg(QLatin1String(MaxPilotsKey), settingsText(text), consequence);
}

bool hasGeneralSection(const ProfileDocument &document)
{
    const std::vector<std::string> names = document.sectionNames();
    return std::any_of(names.begin(), names.end(), [](const std::string &name) {
        return QString::fromStdString(name).compare(QLatin1String(Section), Qt::CaseInsensitive) == 0;
    });
}

std::optional<quint16> readPort(const INIFiles &serverIni, const char *key, int fallback, QString *error)
{
    const std::string text = serverIni.ReadINI(Section, key, fallback);
    ServerOptionChecks::Problem problem;
    const std::optional<std::uint16_t> port = ServerOptionChecks::udpPort(text, &problem);
    if (!port)
        *error = QStringLiteral("\"%1\" holds \"%2\", which is %3")
                     .arg(QLatin1String(key), settingsText(text), QString::fromStdString(problem.what));
    return port;
}

QString serverMessage(const char *key, const std::string &text, const ServerOptionChecks::Problem &problem)
{
    return QString::fromStdString(ServerOptionChecks::serverMessage(key, settingsTextAsUtf8(text), problem));
}

int readMaxPilots(const INIFiles &serverIni, QStringList *warnings)
{
    const std::string text = serverIni.ReadINI(Section, MaxPilotsKey, DefaultMaxPilots);
    ServerOptionChecks::Problem problem;
    const std::optional<std::int32_t> limit = ServerOptionChecks::maxPilots(text, &problem);
    if (!limit)
        warnings->append(serverMessage(MaxPilotsKey, text, problem));
    return limit.value_or(DefaultMaxPilots);
}

} // namespace

Paths settingsPaths(const QString &settingsDirectory)
{
    const QString directory = settingsDirectory.endsWith(u'/') ? settingsDirectory : settingsDirectory + u'/';
    return {directory + QLatin1String(AccountsFileLayout::FileName), directory + QStringLiteral("VentoroServer.ini")};
}

Options read(const INIFiles &serverIni)
{
    Options options;
    QStringList switchWarnings;
    options.DebugOn = readSwitch(serverIni, DebugKey, true, &switchWarnings);
    options.DebugLowLevelOn = readSwitch(serverIni, DebugLowLevelKey, true, &switchWarnings);
    static_cast<LiveOptions &>(options) = readLive(serverIni);
    options.warnings = switchWarnings + options.warnings;
    options.ShowScreen = screenSwitchOn(serverIni.ReadINI(Section, ShowScreenKey, SwitchDefault));
    options.ReplyToSourcePort = readSwitch(serverIni, ReplyToSourcePortKey, false, &options.warnings);
    options.KeepPilotsOnRestart = readSwitch(serverIni, KeepPilotsOnRestartKey, false, &options.warnings);
    return options;
}

LiveOptions readLive(const INIFiles &serverIni)
{
    LiveOptions options;
    options.CrashText = readText(serverIni, CrashTextKey, DefaultCrashText, CrashTextChars);
    options.MessageOfTheDay = readText(serverIni, MotdKey, DefaultMotd, MotdChars);
    options.MaxPilots = readMaxPilots(serverIni, &options.warnings);
    return options;
}

LiveReload readLiveForReload(const INIFiles &serverIni)
{
    LiveReload reload;
    const QString file = QString::fromStdString(serverIni.FileName());
    const QString kept = QStringLiteral("; MOTD, CrashText and MaxPilots stay as they were");
    const AtomicFile::ReadResult read = AtomicFile::readAll(serverIni.FileName());
    if (read.status != AtomicFile::ReadStatus::Ok) {
        reload.warnings.append(file
                               + (read.status == AtomicFile::ReadStatus::Missing
                                      ? QStringLiteral(" is missing")
                                      : QStringLiteral(" cannot be read (%1)")
                                            .arg(QString::fromStdString(read.failureText(AtomicFile::kMaxFileSize))))
                               + kept);
        return reload;
    }
    const ProfileDocument document = ProfileDocument::parse(read.bytes);
    if (!hasGeneralSection(document)) {
        reload.warnings.append(file + QStringLiteral(" holds no [%1] section").arg(QLatin1String(Section)) + kept);
        return reload;
    }
    const auto value = [&](const char *key, const IniArg &fallback) {
        return INIFiles::readFrom(document, Section, key, fallback);
    };
    reload.CrashText = liveText(value(CrashTextKey, DefaultCrashText), CrashTextChars);
    reload.MessageOfTheDay = liveText(value(MotdKey, DefaultMotd), MotdChars);
    const std::string maxPilots = value(MaxPilotsKey, DefaultMaxPilots);
    reload.MaxPilots = maxPilotsFrom(maxPilots);
    if (!reload.MaxPilots)
        reload.warnings.append(maxPilotsWarning(maxPilots, QStringLiteral("MaxPilots stays as it was")));
    return reload;
}

SettingTexts readRestartOnly(const INIFiles &serverIni)
{
    // A value is one line, so a line break stands for a missing key.
    SettingTexts texts;
    for (const char *key : RestartOnlyKeys)
        texts.emplace_back(QLatin1String(key), serverIni.ReadINI(Section, key, "\n"));
    return texts;
}

std::optional<Ports> readPorts(const INIFiles &serverIni, QString *error)
{
    const std::optional<quint16> reply = readPort(serverIni, ClientConnectPortKey, DefaultClientConnectPort, error);
    if (!reply)
        return std::nullopt;
    const std::optional<quint16> local = readPort(serverIni, ConnectPortKey, DefaultConnectPort, error);
    if (!local)
        return std::nullopt;
    return Ports{*reply, *local};
}

HttpOptions readHttp(const INIFiles &serverIni)
{
    HttpOptions http;
    const std::string portText = serverIni.ReadINI(Section, HttpPortKey, DefaultHttpPort);
    ServerOptionChecks::Problem problem;
    const std::optional<std::uint16_t> port = ServerOptionChecks::httpPort(portText, &problem);
    if (!port) {
        http.warnings.append(serverMessage(HttpPortKey, portText, problem));
        return http;
    }
    if (*port == 0)
        return http;
    const std::string addressText(trimBlanks(serverIni.ReadINI(Section, HttpAddressKey, DefaultHttpAddress)));
    const std::optional<Endpoint> address = ServerOptionChecks::httpAddress(addressText, &problem)
        ? Endpoint::fromText(QString::fromStdString(addressText))
        : std::nullopt;
    if (!address) {
        http.warnings.append(serverMessage(HttpAddressKey, addressText, problem));
        return http;
    }
    http.port = *port;
    http.address = *address;
    return http;
}

QStringList banner(const QString &timeOfDay, bool lowLevelOn)
{
    const QString dashes(70, u'-');
    return {dashes, timeOfDay + QStringLiteral(" - FS MP Server Up - ") + QLatin1String(kMakersNotice), dashes,
            lowLevelOn ? QStringLiteral("Low level debugging is on") : QStringLiteral("Low level debugging is off")};
}

} // namespace StartupOptions
