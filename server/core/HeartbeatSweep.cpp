#include "HeartbeatSweep.h"

#include "PlayerRemoval.h"
#include "ServerContext.h"

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

void Timer1_Timer(ServerContext &context)
{
    forEachContained(context, [&](const PlayerPtr &player) {
        if (context.now() - player->HeartBeat >= ExpirySeconds)
            dropPlayer(context, player, QStringLiteral("No HeartBeat for 240secs, removing player "));
    });
}

void ctlWinsock_Close(ServerContext &context)
{
    forEachContained(context, [&](const PlayerPtr &player) {
        dropPlayer(context, player, QStringLiteral("No HeartBeat, removing player "));
    });
}

} // namespace HeartbeatSweep
