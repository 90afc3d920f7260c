#include "LogonAdmission.h"

#include "Packet.h"
#include "ServerContext.h"

namespace LogonAdmission {

std::optional<LogonRefusal> refuses(ServerContext &context, const Records::LogonRequestFields &request,
                                    const Endpoint &from)
{
    if (const Ban *ban = context.bans.covering(request.PilotID, from, context.wallNow())) {
        ++context.counters.logonsBanned;
        const QString reason =
            ban->reason.isEmpty() ? QString() : QStringLiteral(" (") + ban->reason + QLatin1Char(')');
        return LogonRefusal{LogonRefusal::Cause::Banned, ban->target.text() + reason, {}, false};
    }
    if (!hasRoomFor(context, request.PilotHandle, context.replyEndpoint(from))) {
        ++context.counters.logonsRefusedFull;
        return LogonRefusal{LogonRefusal::Cause::Full, QString::number(context.MaxPilots), {}, false};
    }
    return std::nullopt;
}

bool hasRoomFor(const ServerContext &context, const QString &handle, const Endpoint &endpoint)
{
    if (context.MaxPilots <= 0 || context.localPlayerCount() < context.MaxPilots)
        return true;
    const PlayerPtr sameHandle = context.players.item(handle);
    return (sameHandle && sameHandle->Handle == handle) || !context.players.atEndpoint(endpoint).isEmpty();
}

} // namespace LogonAdmission
