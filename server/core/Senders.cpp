#include "Senders.h"

#include "Records.h"
#include "ServerContext.h"

namespace Senders {

void sendRecord(ServerContext &context, const Endpoint &to, const Packet &record, int yields,
                Sender::WhenFull whenFull)
{
    if (!context.sender.send(to, record, whenFull))
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
        const bool other = examined->serverId != target.serverId;
        if (context.lowLevelLinesOn()) {
            const QString details = examined->Handle + QStringLiteral(" Server ID:") + examined->ServerID;
            context.logEvent(QStringLiteral("Checking If Details to be dumped to:") + target.ServerID
                             + QStringLiteral(" for ") + details);
            context.logEvent((other ? QStringLiteral("Dumping to:") : QStringLiteral("Not Dumping to:")) + target.ServerID
                             + QStringLiteral(" Player:") + details);
        }
        if (other)
            sendPlayerAdded(context, target, examined->serverId, examined->Handle);
    });
}

void sendPlayerAdded(ServerContext &context, const Player &recipient, qint32 serverId, const QString &handle)
{
    sendRecord(context, recipient.endpoint, Records::playerAdded(serverId, handle), 2);
}

void announcePlayer(ServerContext &context, qint32 serverId, const QString &handle)
{
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("Send Player Added data to clients"));
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->serverId == serverId || player->node != 0)
            return;
        if (context.lowLevelLinesOn())
            context.logEvent(QStringLiteral("Send Player Added data to client ") + context.endpointText(player->endpoint)
                             + QLatin1Char(' ') + player->Handle);
        sendPlayerAdded(context, *player, serverId, handle);
        context.yield();
    });
}

void sendPlayerRemoved(ServerContext &context, qint32 serverId, const QString &handle)
{
    const Packet notice = Records::playerRemoved(serverId, handle);
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->serverId != serverId && player->node == 0)
            sendRecord(context, player->endpoint, notice);
    });
}

void sendCrashNotice(ServerContext &context, const Endpoint &to, qint32 crashedServerID)
{
    Records::addressCrashNotice(context.CrashNotice, crashedServerID);
    ++context.counters.recordsRelayed;
    sendRecord(context, to, context.CrashNotice);
}

void relayRecord(ServerContext &context, const Endpoint &to, const Packet &record)
{
    ++context.counters.recordsRelayed;
    const bool flightData = record.PacketType() == Packet::FlightData;
    sendRecord(context, to, record, 1, flightData ? Sender::WhenFull::Drop : Sender::WhenFull::WaitForRoom);
}

} // namespace Senders
