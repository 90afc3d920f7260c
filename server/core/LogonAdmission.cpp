#include "LogonAdmission.h"

#include "Packet.h"
#include "ServerContext.h"

namespace LogonAdmission {

bool refuses(ServerContext &context, const Records::LogonRequestFields &request, const Endpoint &from)
{
    if (context.bans.covering(request.PilotID, from, context.wallNow())) {
        ++context.counters.logonsBanned;
        return true;
    }
    if (!hasRoomFor(context, request.PilotHandle)) {
        ++context.counters.logonsRefusedFull;
        return true;
    }
    return false;
}

bool hasRoomFor(const ServerContext &context, const QString &handle)
{
    if (context.MaxPilots <= 0 || context.players.count() < context.MaxPilots)
        return true;
    bool replaces = false;
    context.players.forEach([&](const PlayerPtr &player) {
        replaces = replaces || trimSpaces(player->Handle) == handle;
    });
    return replaces;
}

} // namespace LogonAdmission
