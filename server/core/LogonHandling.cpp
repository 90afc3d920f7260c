#include "LogonHandling.h"

#include "AccountsFileLayout.h"
#include "Endpoint.h"
#include "HeartbeatSweep.h"
#include "LogonAdmission.h"
#include "Records.h"
#include "Senders.h"
#include "ServerContext.h"
#include "SettingsText.h"

#include <limits>
#include <string>

namespace LogonHandling {
namespace {

enum class Guess { Counts, DoesNotCount };

void rejectLogon(ServerContext &context, const Endpoint &source, Guess guess = Guess::Counts)
{
    ++context.counters.logonsRejected;
    if (guess == Guess::Counts)
        context.logonThrottle.recordRejection(source, context.now());
    // A refusal goes only while the send buffer has room to spare: a flood
    // of refused logons must not take the room the pilots' records need.
    Senders::sendRecord(context, context.replyEndpoint(source), Records::logonRejected(context.LastServerID), 1,
                        Sender::WhenFull::DropFirst);
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("User rejected logon from ") + context.endpointText(source));
}

bool passwordMatches(ServerContext &context, const Records::LogonRequestFields &request)
{
    const std::string stored = context.UsersIni.ReadINI(request.PilotID, AccountsFileLayout::PwdKey, "No");
    return stored == std::to_string(request.Password);
}

// The registry refuses a handle that differs from a present one only in
// letter case, and no server ID is left after the largest 32-bit number.
bool canRegister(const ServerContext &context, const QString &handle)
{
    return context.LastServerID < std::numeric_limits<qint32>::max() && !context.players.item(handle);
}

void dropSameHandle(ServerContext &context, const QString &handle)
{
    context.players.forEach([&](const PlayerPtr &player) {
        if (trimSpaces(player->Handle) == handle)
            HeartbeatSweep::dropPlayer(context, player, QString());
    });
}

void announceNewcomer(ServerContext &context, qint32 newID, const QString &handle)
{
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("Send Player Added data to clients"));
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->serverId == newID)
            return;
        if (context.lowLevelLinesOn())
            context.logEvent(QStringLiteral("Send Player Added data to client ") + context.endpointText(player->endpoint)
                             + QLatin1Char(' ') + player->Handle);
        Senders::sendPlayerAdded(context, *player, newID, handle);
        context.yield();
    });
}

void acceptLogon(ServerContext &context, const Records::LogonRequestFields &request, const Endpoint &source)
{
    const QString &handle = request.PilotHandle;
    dropSameHandle(context, handle);
    const QString name = QString::fromStdString(settingsTextAsUtf8(context.UsersIni.ReadINI(request.PilotID, AccountsFileLayout::NameKey, "No Name")));
    if (!canRegister(context, handle)) {
        rejectLogon(context, source);
        return;
    }

    const qint32 newID = ++context.LastServerID;
    const Endpoint endpoint = context.replyEndpoint(source);
    const PlayerPtr player = context.players.add(handle, endpoint);
    player->Handle = handle;
    player->ServerID = QString::number(newID);
    player->serverId = newID;
    player->PilotID = request.PilotID;
    player->HeartBeat = context.now();
    player->loggedOnAt = player->HeartBeat;

    ++context.counters.logonsAccepted;
    Senders::sendRecord(context, endpoint, Records::logonAccepted(newID, context.MessageOfTheDay));
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("User ") + name + QStringLiteral(" logged on from ") + context.endpointText(endpoint));
    announceNewcomer(context, newID, handle);
    if (const PlayerPtr newcomer = context.players.item(handle))
        Senders::sendPlayerList(context, newcomer);
}

} // namespace

void handleLogonRequest(ServerContext &context, const Packet &request, const Endpoint &source)
{
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("Rcvd logon request from ") + context.endpointText(source));
    const Records::LogonRequestFields fields = Records::readLogonRequest(request);
    if (LogonAdmission::refuses(context, fields, source)) {
        rejectLogon(context, source, Guess::DoesNotCount);
        return;
    }
    if (context.logonThrottle.isBlocked(source, context.now())) {
        ++context.counters.logonsThrottled;
        rejectLogon(context, source);
        return;
    }
    if (!passwordMatches(context, fields)) {
        rejectLogon(context, source);
        return;
    }
    acceptLogon(context, fields, source);
}

void handleKeepAlive(ServerContext &context, const Packet &keepAlive, const Endpoint &source)
{
    const qint32 senderID = keepAlive.SenderID();
    const Endpoint replyTo = context.replyEndpoint(source);
    if (!context.players.senderAt(senderID, replyTo)) {
        ++context.counters.recordsIgnored;
        return;
    }
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->serverId == senderID) {
            player->HeartBeat = context.now();
            Senders::sendRecord(context, replyTo, Records::keepAliveEcho());
        }
        if (context.now() - player->HeartBeat >= KeepAliveExpirySeconds)
            HeartbeatSweep::dropPlayer(context, player, QStringLiteral("No HeartBeat, removing player "));
    });
}

} // namespace LogonHandling
