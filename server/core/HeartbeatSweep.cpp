#include "HeartbeatSweep.h"

#include "Senders.h"
#include "ServerContext.h"
#include "SkyHandling.h"

#include <QDebug>

#include <exception>

namespace HeartbeatSweep {
namespace {

// A failure while dropping one player must not leave the walk half done.
template<typename Step>
void forEachContained(ServerContext &context, Step &&step)
{
    context.players.forEach([&](const PlayerPtr &player) {
        try {
            step(player);
        } catch (const std::exception &error) {
            qWarning("Dropping player %s failed: %s", qPrintable(player->Handle), error.what());
        }
    });
}

} // namespace

void dropPlayer(ServerContext &context, const PlayerPtr &player, const QString &reason)
{
    if (!context.players.isRegistered(player))
        return;
    if (!reason.isEmpty() && context.ordinaryLinesOn())
        context.logEvent(reason + player->Handle + QLatin1Char(' ') + context.endpointText(player->endpoint));
    SkyHandling::playerLeaving(context, *player);
    Senders::sendPlayerRemoved(context, player->serverId, player->Handle);
    context.players.removeIfCurrent(player->Key, player);
}

void onSweepTick(ServerContext &context)
{
    forEachContained(context, [&](const PlayerPtr &player) {
        if (player->node == 0 && context.now() - player->HeartBeat >= ExpirySeconds)
            dropPlayer(context, player, QStringLiteral("No HeartBeat for 240secs, removing player "));
    });
}

void onSocketClosed(ServerContext &context)
{
    forEachContained(context, [&](const PlayerPtr &player) {
        if (player->node == 0)
            dropPlayer(context, player, QStringLiteral("No HeartBeat, removing player "));
    });
}

} // namespace HeartbeatSweep
