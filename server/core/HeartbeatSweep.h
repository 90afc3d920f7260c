#pragma once

#include "Player.h"

#include <QString>

class ServerContext;

// Players leave when they fall silent. The sweep runs on every tick of the
// 30-second timer and drops every player whose last heartbeat is 240 seconds
// old or older; the socket's close notification drops every player. Every
// other departure (a keep-alive's expiry check, a logon under the same
// handle or from the same endpoint) goes through dropPlayer too.
namespace HeartbeatSweep {

constexpr int TimerIntervalMs = 30000;
constexpr qint64 ExpirySeconds = 240;

void onSweepTick(ServerContext &context);
void onSocketClosed(ServerContext &context);

// How every departure goes: a log line (when `reason` is given and ordinary
// lines are on) made of the reason, the handle, a blank and the address;
// then a PlayerRemoved to every other player while the player is still
// registered; then removal of that very player. A player that is no longer
// registered (a nested handler dropped it already) is left alone, and a
// newer player that took the same handle is never removed in its place.
void dropPlayer(ServerContext &context, const PlayerPtr &player, const QString &reason);

} // namespace HeartbeatSweep
