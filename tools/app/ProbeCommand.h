#pragma once

#include <QString>
#include <QTextStream>

// Logs on to a server as a client does and tells, in plain words, what
// came back: whether the logon was accepted, the server ID, the message of
// the day and the players already there. With a stay it keeps the logon
// alive and prints every record it receives, one line each.
//
// The probe receives on the reply port (the server answers every client at
// that port of its address, or at the port it sends from), so it binds
// that port itself; it sends from the same socket to the server's port.
// The server may be reached over IPv4 or IPv6; the probe's own address is
// of the same family.
namespace ProbeCommand {

enum Exit : int {
    Accepted = 0,
    Rejected = 1,
    NoAnswer = 2,
    CannotRun = 3, // the host cannot be resolved, the bind address is not of its family, or the reply port is taken
};

struct Options {
    QString host;
    quint16 port = 1500;
    quint16 replyPort = 1501;
    QString bindAddress; // empty: every address of the server's family
    qint32 pilotId = 0;
    qint32 password = 0;
    QString handle;
    int waitSeconds = 5;  // for the answer to the logon
    int staySeconds = 0;  // after an accepted logon
};

// How often a staying probe sends its keep-alive: well inside the 60
// seconds after which a silent player may be dropped.
constexpr int KeepAliveIntervalMs = 20000;
// How long an accepted probe listens for the players it is told about.
constexpr int PlayerListWindowMs = 1000;

int run(const Options &options, QTextStream &out, QTextStream &err);

} // namespace ProbeCommand
