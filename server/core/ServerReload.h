#pragma once

#include <QString>
#include <QStringList>

class ServerContext;

// Taking in changed settings while the server runs, without dropping
// anyone: the bans from bans.ini (beside user.ini) and the options
// "MOTD", "CrashText" and "MaxPilots". The other options need a restart.
namespace ServerReload {

struct BansOutcome {
    bool read = false; // false: bans.ini could not be read; the bans stayed as they were
    int inForce = 0;
    QStringList warnings;
    QStringList removed; // "Ann (server ID 3, 127.0.0.2)", one per player removed
};

// Reads bans.ini and enforces what it holds from now on, then removes
// every registered player a ban in force covers, as a kick does (every
// other player is told; "Operator removed player ..." in the log).
BansOutcome reloadBans(ServerContext &context);

struct Report {
    QString logLine;         // what the log says, without the time
    QStringList restartOnly; // settings changed since start-up that take effect only at a restart
    QStringList warnings;    // values not taken as they stand, files that could not be read
    BansOutcome bans;
};

// What SIGHUP and `ventoro reload` do: reopens the log, takes in the three
// options again and the bans (reloadBans), and writes one line to the log,
// naming the restart-only settings whose text differs from start-up. When
// VentoroServer.ini cannot be read the options stay as they were. A lower
// MaxPilots removes nobody; it refuses new logons until there is room.
Report reload(ServerContext &context);

} // namespace ServerReload
