#pragma once

#include <QString>

#include <memory>

// One connected pilot. Players are shared: the registry holds one reference
// and a walk that is visiting a player holds another, so a player removed
// from the registry in the middle of a walk stays readable by that walk.
struct Player {
    QString Key;        // registry key; set by Players::add, never changed
    QString IPAddress;  // dotted IPv4 address every record for this player goes to
    QString Handle;     // the logon handle, trimmed (equal to Key)
    QString ServerID;   // decimal text of the server ID assigned at logon
    qint64 HeartBeat = 0; // last sign of life, in whole seconds of the monotonic clock
    qint64 loggedOnAt = 0; // when its logon was accepted, on the same clock
    bool SentPlaneType = false; // set by the player's first aircraft details

    // ServerID read as a number (0 when it is not a number).
    qint32 serverIdNumber() const { return ServerID.toInt(); }
};

using PlayerPtr = std::shared_ptr<Player>;
