#pragma once

#include <QtGlobal>

#include "Player.h"

class Endpoint;
class Packet;
class ServerContext;

// Records one client sends for the others: each goes on unchanged to every
// other player, except a crash report (the others get the server's crash
// notice instead) and flight data from a player that has not yet sent its
// aircraft details (dropped). Only a record from the endpoint of the player
// its SenderID names is handled (its address, or with ReplyToSourcePort its
// address and port); any other is ignored. In a sky, what this server's own
// pilots send crosses to the other nodes as well.
namespace FlightRelay {

bool isFlightRecordType(qint32 packetType);
void handleFlightRecord(ServerContext &context, const Packet &record, const Endpoint &source);

// A record another sky node's pilot sent, passed on to this server's own
// pilots as a local one would be (a crash report as this server's own crash
// notice). Its node checked it, flight data included.
void relayFromSky(ServerContext &context, const PlayerPtr &sender, const Packet &record);

} // namespace FlightRelay
