#include "FlightRelay.h"

#include "Senders.h"
#include "Packet.h"
#include "ServerContext.h"
#include "SkyHandling.h"

namespace FlightRelay {
namespace {

// Visits every one of this server's own players but the record's sender.
// Server IDs are unique, so the sender found by its ID is the one player to
// leave out; comparing players spares reading every ID as a number on
// every walk.
template<typename Visit>
void forEachRecipient(ServerContext &context, const PlayerPtr &sender, Visit &&visit)
{
    context.players.forEach([&](const PlayerPtr &player) {
        if (player != sender && player->node == 0)
            visit(player);
    });
}

void logPerRecipient(ServerContext &context, const QString &event, const Player &recipient)
{
    if (context.lowLevelLinesOn())
        context.logEvent(event + context.endpointText(recipient.endpoint) + QLatin1Char(' ') + recipient.Handle);
}

void relayAircraftDetails(ServerContext &context, const PlayerPtr &sender, const Packet &record)
{
    context.players.forEach([&](const PlayerPtr &player) {
        if (player == sender) {
            player->SentPlaneType = true;
            return;
        }
        if (player->node != 0)
            return;
        logPerRecipient(context, QStringLiteral("Send Aircraft Details to client "), *player);
        Senders::relayRecord(context, player->endpoint, record);
    });
}

} // namespace

bool isFlightRecordType(qint32 packetType)
{
    switch (packetType) {
    case Packet::AircraftDetails:
    case Packet::QueryPlaneType:
    case Packet::PlayerCrashed:
    case Packet::FlightData:
    case Packet::ChatMessage:
        return true;
    default:
        return false;
    }
}

// Passes a record on to this server's own pilots, as its type says. Flight
// data counts only once its sender has sent aircraft details, which the
// sender's own server checks.
static void relay(ServerContext &context, const PlayerPtr &sender, const Packet &record, bool gateFlightData)
{
    const qint32 senderID = record.SenderID();
    switch (record.PacketType()) {
    case Packet::AircraftDetails:
        relayAircraftDetails(context, sender, record);
        break;
    case Packet::QueryPlaneType:
        forEachRecipient(context, sender, [&](const PlayerPtr &player) {
            logPerRecipient(context, QStringLiteral("Send Query Plane Type to "), *player);
            Senders::relayRecord(context, player->endpoint, record);
        });
        break;
    case Packet::PlayerCrashed:
        forEachRecipient(context, sender, [&](const PlayerPtr &player) {
            logPerRecipient(context, QStringLiteral("Send Player crashed to "), *player);
            Senders::sendCrashNotice(context, player->endpoint, senderID);
        });
        break;
    case Packet::FlightData:
        // Server IDs are unique, so the sender is the one player whose
        // aircraft details count.
        if (gateFlightData && !sender->SentPlaneType)
            break;
        forEachRecipient(context, sender, [&](const PlayerPtr &player) {
            Senders::relayRecord(context, player->endpoint, record);
        });
        break;
    case Packet::ChatMessage:
        forEachRecipient(context, sender, [&](const PlayerPtr &player) {
            Senders::relayRecord(context, player->endpoint, record);
        });
        break;
    default:
        break;
    }
}

void handleFlightRecord(ServerContext &context, const Packet &record, const Endpoint &source)
{
    const PlayerPtr sender = context.players.senderAt(record.SenderID(), context.replyEndpoint(source));
    if (!sender) {
        ++context.counters.recordsIgnored;
        return;
    }
    if (record.PacketType() != Packet::FlightData || sender->SentPlaneType)
        SkyHandling::queueRecord(context, record);
    relay(context, sender, record, true);
}

void relayFromSky(ServerContext &context, const PlayerPtr &sender, const Packet &record)
{
    relay(context, sender, record, false);
}

} // namespace FlightRelay
