#include "Senders.h"

#include "Records.h"
#include "ServerContext.h"

namespace Senders {

void sendRecord(ServerContext &context, const QString &address, const Packet &record, int yields,
                Sender::WhenFull whenFull)
{
    if (!context.sender.send(address, record, whenFull))
        ++context.counters.sendFailuresByType[record.PacketType()];
    for (int i = 0; i < yields; ++i)
        context.yield();
}

void sendPlayerList(ServerContext &context, const PlayerPtr &newcomer)
{
    // The newcomer is copied once: a handler that runs in a yield may drop
    // it, and the rest of the list then still goes where it was going.
    const Player target = *newcomer;
    context.players.forEach([&](const PlayerPtr &examined) {
        const bool other = examined->ServerID != target.ServerID;
        if (context.lowLevelLinesOn()) {
            const QString details = examined->Handle + QStringLiteral(" Server ID:") + examined->ServerID;
            context.logEvent(QStringLiteral("Checking If Details to be dumped to:") + target.ServerID
                             + QStringLiteral(" for ") + details);
            context.logEvent((other ? QStringLiteral("Dumping to:") : QStringLiteral("Not Dumping to:")) + target.ServerID
                             + QStringLiteral(" Player:") + details);
        }
        if (other)
            sendPlayerAdded(context, target, examined->ServerID, examined->Handle);
    });
}

void sendPlayerAdded(ServerContext &context, const Player &recipient, const QString &serverID, const QString &handle)
{
    sendRecord(context, recipient.IPAddress, Records::playerAdded(serverID.toInt(), handle), 2);
}

void sendPlayerRemoved(ServerContext &context, const QString &serverID, const QString &handle)
{
    const Packet notice = Records::playerRemoved(serverID.toInt(), handle);
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->ServerID != serverID)
            sendRecord(context, player->IPAddress, notice);
    });
}

void sendCrashNotice(ServerContext &context, const QString &address, qint32 crashedServerID)
{
    Records::addressCrashNotice(context.CrashNotice, crashedServerID);
    ++context.counters.recordsRelayed;
    sendRecord(context, address, context.CrashNotice);
}

void relayRecord(ServerContext &context, const QString &address, const Packet &record)
{
    ++context.counters.recordsRelayed;
    const bool flightData = record.PacketType() == Packet::FlightData;
    sendRecord(context, address, record, 1, flightData ? Sender::WhenFull::Drop : Sender::WhenFull::WaitForRoom);
}

} // namespace Senders
