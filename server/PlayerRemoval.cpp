#include "PlayerRemoval.h"

#include "Common.h"
#include "ServerContext.h"

void dropPlayer(ServerContext &context, const PlayerPtr &player, const QString &reason)
{
    if (!context.players.isRegistered(player))
        return;
    if (!reason.isEmpty() && context.ordinaryLinesOn())
        context.logEvent(reason + player->Handle + QLatin1Char(' ') + player->IPAddress);
    Common::SendPlayerRemoved(context, player->ServerID, player->Handle);
    context.players.RemoveIfCurrent(player->Key, player);
}
