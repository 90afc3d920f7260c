#pragma once

#include <QByteArray>
#include <QJsonObject>

#include "Player.h"
#include "ServerReload.h"

#include <functional>

class ServerContext;

// What the operator can ask of a running server through its control
// socket: its status, the removal of a player, and a reload of the bans or
// of every setting a running server takes in. Requests and answers are
// text; the socket that carries them lives outside the core.
namespace OperatorCommands {

// What the run knows beside its state: when it started (monotonic
// seconds), its two ports, the datagrams its receive queue dropped (full,
// or never to be kept), those dropped for a size that is no whole number of
// records, and those whose IPv4-mapped source came in an IPv6 packet.
struct RunFacts {
    qint64 startedAt = 0;
    quint16 connectPort = 0;
    quint16 clientConnectPort = 0;
    quint64 receiveQueueDrops = 0;
    quint64 oddSizedDatagramsDropped = 0;
    quint64 mappedSourcesDropped = 0;
};

// Who a status is for: the operator sees each player's address; the
// public (the HTTP status page and its JSON) never does.
enum class Audience { Operator, Public };

// The program's version, the message of the day, uptime, ports, whether
// answers go to each pilot's source port, logging, the pilot limit, the bans
// in force, every registered player (server ID, handle, endpoint as the log
// shows it for the operator, seconds since its logon and since its last
// heartbeat, whether it has sent its aircraft details) and the run's
// counters.
QJsonObject status(const ServerContext &context, const RunFacts &facts, Audience audience = Audience::Operator);

// Removes the player with that server ID as every departure goes (the
// others are told with PlayerRemoved) and logs that the operator removed
// it; a pilot of another sky node is that node's to remove, and the "kick"
// request says so. Gives the player removed; null, with nothing changed, when no
// registered player has that ID.
PlayerPtr kick(ServerContext &context, qint32 serverId);

// The reloads the program does (ServerReload::Reloader, and telling the
// operator beside the log), given by the service that runs the server.
// Each calls its `done` once the bans it read are in force.
struct Reloads {
    std::function<void(ServerReload::Reloader::ReloadDone done)> reload;
    std::function<void(ServerReload::Reloader::BansDone done)> reloadBans;
};

// Takes one answer line; may be called after its client has gone.
using Answer = std::function<void(const QByteArray &answer)>;

// Answers one request line with one JSON line through `reply`: "status"
// gives status(); "kick ID" gives {"ok": true, "message": ...} or {"ok":
// false, "error": ...}; anything else is an error naming the requests
// there are. Those answer at once. "reload" and "reload bans" run
// `reloads` and answer once the new bans are in force, each with {"ok":
// true, "message": ..., "bans": N, "removed": [...], "warnings": [...]},
// and "reload" also {"restartOnly": [keys]}.
void answer(ServerContext &context, const RunFacts &facts, const QByteArray &request, const Reloads &reloads,
            const Answer &reply);

} // namespace OperatorCommands
