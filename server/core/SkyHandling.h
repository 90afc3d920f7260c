#pragma once

#include "Packet.h"
#include "Player.h"
#include "SkyInbox.h"

#include <QByteArray>

class ServerContext;

// This node's part in a sky: what its own pilots cause goes out, what the
// other nodes' pilots cause comes in and reaches this node's pilots as a
// local record would. Every function here runs on the server's thread and
// does nothing when the context has no sky.
//
// What crosses: records the relay passes on from this node's own pilots
// and this node's roster changes. Logons, keep-alives and their answers
// never cross, and nothing that came from the sky goes back to it.
namespace SkyHandling {

// A record from one of this node's pilots that the relay passes on.
void queueRecord(ServerContext &context, const Packet &record);
// One of this node's pilots logged on.
void queuePlayerAdded(ServerContext &context, const Player &player);
// A player leaves the registry: one of this node's goes out as removed; one
// of another node's is forgotten here.
void playerLeaving(ServerContext &context, const Player &player);

// Publishes what was queued, as one message (split only at the size
// bounds). Not while a receive burst runs: its end flushes.
void flushIfIdle(ServerContext &context);
void flush(ServerContext &context);

// Handles deliveries in order. Runs under the receive guard, never inside a
// burst of datagrams.
void handle(ServerContext &context, const SkyDelivery &delivery);

// Every half second or so: presence, the silence and connection limits, a
// roster asked for. Does nothing while a burst runs (the next tick will).
void onTick(ServerContext &context);

} // namespace SkyHandling
