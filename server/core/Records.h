#pragma once

#include "Packet.h"

// The records the server reads and composes. Composed records start as 128
// zero bytes; only the fields of their layout are set.
namespace Records {

struct LogonRequestFields {
    qint32 PilotID = 0;
    qint32 Password = 0;
    QString PilotHandle; // trimmed of the spaces around it
};

LogonRequestFields readLogonRequest(const Packet &packet);

Packet logonAccepted(qint32 playerID, const QString &motd);
Packet logonRejected(qint32 lastServerID);
Packet playerAdded(qint32 playerID, const QString &handle);
Packet playerRemoved(qint32 playerID, const QString &handle);
Packet keepAliveEcho();
// What a client sends: its logon request, and the keep-alive that names it
// by its server ID.
Packet logonRequest(qint32 pilotID, qint32 password, const QString &handle);
Packet keepAlive(qint32 serverID);

// The crash notice: a record that holds only the crash text; the sender
// sets class, type and the crashed player's ID at each use.
Packet crashNoticeWithText(const QString &crashMessage);
void addressCrashNotice(Packet &notice, qint32 crashedPlayerID);

} // namespace Records
