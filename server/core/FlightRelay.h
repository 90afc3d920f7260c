#pragma once

#include <QtGlobal>

class Endpoint;
class Packet;
class ServerContext;

// Records one client sends for the others: each goes on unchanged to every
// other player, except a crash report (the others get the server's crash
// notice instead) and flight data from a player that has not yet sent its
// aircraft details (dropped). Only a record from the endpoint of the player
// its SenderID names is handled (its address, or with ReplyToSourcePort its
// address and port); any other is ignored.
namespace FlightRelay {

bool isFlightRecordType(qint32 packetType);
void handleFlightRecord(ServerContext &context, const Packet &record, const Endpoint &source);

} // namespace FlightRelay
