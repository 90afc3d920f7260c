#pragma once

#include "Player.h"

class ServerContext;

// How every departure goes: a log line (when `reason` is given and ordinary
// lines are on) made of the reason, the handle, a blank and the address;
// then a PlayerRemoved to every other player while the player is still
// registered; then removal of that very player. A player that is no longer
// registered (a nested handler dropped it already) is left alone, and a
// newer player that took the same handle is never removed in its place.
void dropPlayer(ServerContext &context, const PlayerPtr &player, const QString &reason);
