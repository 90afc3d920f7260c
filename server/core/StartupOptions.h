#pragma once

#include "Endpoint.h"
#include "ServerOptionsLayout.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

class INIFiles;

// What the server reads from its settings at start-up, and how it turns the
// texts into options.
namespace StartupOptions {

inline constexpr char kMakersNotice[] = "(c) Brisalt Ltd";
constexpr int CrashTextChars = 50;
constexpr int MotdChars = 40;

// What a running server takes in again on reload.
struct LiveOptions {
    QString CrashText;
    QString MessageOfTheDay;
    int MaxPilots = 0; // 0: no limit
    // Values that could not be taken as they stand, for the operator.
    QStringList warnings;
};

struct Options : LiveOptions {
    bool DebugOn = true;
    bool DebugLowLevelOn = true;
    bool ShowScreen = true;
    bool ReplyToSourcePort = false;
    bool KeepPilotsOnRestart = false;
};

// The two settings files in the settings directory.
struct Paths {
    QString usersIni;
    QString serverIni;
};

Paths settingsPaths(const QString &settingsDirectory);

// Reads "Debug", "DebugLowLevel", the live options, "ShowScreen",
// "ReplyToSourcePort" and "KeepPilotsOnRestart", in that order. A switch
// that cannot be taken as a Boolean counts as its default (on for the
// logging switches, off for the other two) and is reported in `warnings`.
Options read(const INIFiles &serverIni);

// Reads "CrashText", "MOTD" and "MaxPilots". A "MaxPilots" that is no
// whole number from 0 means no limit and is reported in `warnings`.
LiveOptions readLive(const INIFiles &serverIni);

// What a reload takes in: "CrashText", "MOTD" and "MaxPilots" from one read
// of the file, each only where it can be used, so that a running server
// never falls back to a default it was not given. Empty fields stay as they
// are, and `warnings` names each key or says why the file was not taken:
// when VentoroServer.ini is missing, cannot be read (or is no regular
// file) or holds no [General] section, all three stay; a "MaxPilots" that is
// no whole number from 0 stays as it was. A key missing from a readable
// file takes its default, as at start-up.
struct LiveReload {
    std::optional<QString> CrashText;
    std::optional<QString> MessageOfTheDay;
    std::optional<int> MaxPilots;
    QStringList warnings;
    bool fileTaken() const { return MessageOfTheDay.has_value(); }
};
LiveReload readLiveForReload(const INIFiles &serverIni);

// The settings a running server does not take in again: the ports, the
// HTTP listener, the reply mode and the logging and screen switches.
inline constexpr const auto &RestartOnlyKeys = ServerOptionsLayout::RestartOnlyKeys;

// Each of RestartOnlyKeys with its text as the file holds it now (a
// missing key differs from every text), to tell later which have changed.
using SettingTexts = std::vector<std::pair<QString, std::string>>;
SettingTexts readRestartOnly(const INIFiles &serverIni);

struct Ports {
    quint16 replyPort = 0; // "ClientConnectPort": where every record goes
    quint16 localPort = 0; // "ConnectPort": where the server receives
};

// Reads "ClientConnectPort" (default 1501) and then "ConnectPort" (default
// 1500). Empty, with the reason in `error`, when either is not a whole
// number from 1 to 65535.
std::optional<Ports> readPorts(const INIFiles &serverIni, QString *error);

// Where the HTTP status page listens; port 0 when it is off.
struct HttpOptions {
    quint16 port = 0;
    Endpoint address;
    // Why a value that was set leaves the page off, for the operator.
    QStringList warnings;
};

// Reads "HttpPort" (default 0: off) and "HttpAddress" (default 127.0.0.1,
// an IPv4 or IPv6 address, no name). A port that is no whole number from 0
// to 65535, or an address that is none, leaves the page off with a
// warning: the relay runs on without its status page rather than not at
// all.
HttpOptions readHttp(const INIFiles &serverIni);

// The four lines that open the log of every run.
QStringList banner(const QString &timeOfDay, bool lowLevelOn);

} // namespace StartupOptions
