#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class INIFiles;

// What the server reads from its settings at start-up, and how it turns the
// texts into options.
namespace StartupOptions {

inline constexpr char kMakersNotice[] = "(c) Brisalt Ltd";
constexpr int CrashTextChars = 50;
constexpr int MotdChars = 40;

struct Options {
    bool DebugOn = true;
    bool DebugLowLevelOn = true;
    QString CrashText;
    QString MessageOfTheDay;
    bool ShowScreen = true;
    bool ReplyToSourcePort = false;
    // Values that could not be taken as they stand, for the operator.
    QStringList warnings;
};

// The two settings files in the program's directory.
struct Paths {
    QString usersIni;
    QString serverIni;
};

Paths settingsPaths(const QString &programDirectory);

// Reads "Debug", "DebugLowLevel", "CrashText", "MOTD", "ShowScreen" and
// "ReplyToSourcePort", in that order. A switch that cannot be taken as a
// Boolean counts as its default (on for the logging switches, off for
// "ReplyToSourcePort") and is reported in `warnings`.
Options read(const INIFiles &serverIni);

struct Ports {
    quint16 replyPort = 0; // "ClientConnectPort": where every record goes
    quint16 localPort = 0; // "ConnectPort": where the server receives
};

// Reads "ClientConnectPort" (default 1501) and then "ConnectPort" (default
// 1500). Empty, with the reason in `error`, when either is not a whole
// number from 1 to 65535.
std::optional<Ports> readPorts(const INIFiles &serverIni, QString *error);

// The four lines that open the log of every run.
QStringList banner(const QString &timeOfDay, bool lowLevelOn);

} // namespace StartupOptions
