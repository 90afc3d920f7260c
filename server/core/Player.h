#pragma once

#include "Endpoint.h"

#include <QString>

#include <memory>

// One connected pilot. Players are shared: the registry holds one reference
// and a walk that is visiting a player holds another, so a player removed
// from the registry in the middle of a walk stays readable by that walk.
struct Player {
    QString Key;        // registry key; set by Players::add, never changed
    Endpoint endpoint;  // where every record for this player goes (ServerContext::replyEndpoint of its logon); indexed by the registry, never changed
    QString Handle;     // the logon handle, trimmed (equal to Key)
    QString ServerID;   // decimal text of serverId, for the log lines
    qint32 serverId = 0; // the server ID assigned at logon; records name their sender by it
    qint32 PilotID = 0; // the account it logged on with, for bans
    qint64 HeartBeat = 0; // last sign of life, in whole seconds of the monotonic clock
    qint64 loggedOnAt = 0; // when its logon was accepted, on the same clock
    bool SentPlaneType = false; // set by the player's first aircraft details
    // 0: this server's own pilot. Otherwise the sky node it flies on: such a
    // player has no endpoint here, is never sent to and never expires here;
    // its own node removes it.
    int node = 0;
    qint64 logonTimeMs = 0; // when its logon was accepted, ms since 1970 UTC
};

using PlayerPtr = std::shared_ptr<Player>;
