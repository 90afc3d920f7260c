#pragma once

#include "Endpoint.h"
#include "Packet.h"
#include "Player.h"
#include "Seams.h"

class ServerContext;

// The server's senders. Each send puts one 128-byte record on the wire to
// one endpoint and then yields to pending events, so other handlers may run
// (and change the registry) between two sends of a loop.
namespace Senders {

// Sends `record` to `to`, then yields `yields` times. A record the socket
// refuses is counted by its type.
void sendRecord(ServerContext &context, const Endpoint &to, const Packet &record, int yields = 1,
                Sender::WhenFull whenFull = Sender::WhenFull::WaitForRoom);

// One PlayerAdded for every other registered player, to the newcomer.
void sendPlayerList(ServerContext &context, const PlayerPtr &newcomer);

// One PlayerAdded about (serverId, handle) to the recipient; yields twice.
void sendPlayerAdded(ServerContext &context, const Player &recipient, qint32 serverId, const QString &handle);

// One PlayerAdded about (serverId, handle) to every one of this server's own
// players but that one, with the log lines of a newcomer's announcement.
void announcePlayer(ServerContext &context, qint32 serverId, const QString &handle);

// One PlayerRemoved about (serverId, handle) to every one of this server's
// own players whose server ID differs from `serverId`.
void sendPlayerRemoved(ServerContext &context, qint32 serverId, const QString &handle);

// The server's crash notice about the crashed player, to one endpoint.
void sendCrashNotice(ServerContext &context, const Endpoint &to, qint32 crashedServerID);

// A received record passed on unchanged, all 128 bytes: aircraft details,
// plane-type queries, flight data and chat all go this way. Flight data is
// given up at once when the socket's send buffer is full: the next
// position will do; everything else waits for room.
void relayRecord(ServerContext &context, const Endpoint &to, const Packet &record);

} // namespace Senders
