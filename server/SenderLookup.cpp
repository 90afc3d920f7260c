#include "SenderLookup.h"

#include "ServerContext.h"

PlayerPtr findSenderAt(const ServerContext &context, qint32 senderID, const QString &senderIP)
{
    PlayerPtr found;
    context.players.forEach([&](const PlayerPtr &player) {
        if (!found && player->serverIdNumber() == senderID && player->IPAddress == senderIP)
            found = player;
    });
    return found;
}
