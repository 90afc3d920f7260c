#include "LogonHandling.h"

#include "AccountsFileLayout.h"
#include "Senders.h"
#include "HeartbeatSweep.h"
#include "Records.h"
#include "ServerContext.h"
#include "SettingsText.h"

#include <limits>
#include <string>

namespace LogonHandling {
namespace {

void rejectLogon(ServerContext &context, const QString &senderIP)
{
    ++context.counters.logonsRejected;
    context.logonThrottle.recordRejection(senderIP, context.now());
    Senders::sendRecord(context, senderIP, Records::logonRejected(context.LastServerID));
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("User rejected logon from ") + senderIP);
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
    const QString newIDText = QString::number(newID);
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->serverIdNumber() == newID)
            return;
        if (context.lowLevelLinesOn())
            context.logEvent(QStringLiteral("Send Player Added data to client ") + player->IPAddress + QLatin1Char(' ')
                             + player->Handle);
        Senders::sendPlayerAdded(context, *player, newIDText, handle);
        context.yield();
    });
}

void acceptLogon(ServerContext &context, const Records::LogonRequestFields &request, const QString &senderIP)
{
    const QString &handle = request.PilotHandle;
    dropSameHandle(context, handle);
    const QString name = QString::fromStdString(settingsTextAsUtf8(context.UsersIni.ReadINI(request.PilotID, AccountsFileLayout::NameKey, "No Name")));
    if (!canRegister(context, handle)) {
        rejectLogon(context, senderIP);
        return;
    }

    const qint32 newID = ++context.LastServerID;
    const PlayerPtr player = context.players.add(handle, senderIP);
    player->Handle = handle;
    player->ServerID = QString::number(newID);
    player->HeartBeat = context.now();
    player->loggedOnAt = player->HeartBeat;

    ++context.counters.logonsAccepted;
    Senders::sendRecord(context, senderIP, Records::logonAccepted(newID, context.MessageOfTheDay));
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("User ") + name + QStringLiteral(" logged on from ") + senderIP);
    announceNewcomer(context, newID, handle);
    if (const PlayerPtr newcomer = context.players.item(handle))
        Senders::sendPlayerList(context, newcomer);
}

} // namespace

void handleLogonRequest(ServerContext &context, const Packet &request, const QString &senderIP)
{
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("Rcvd logon request from ") + senderIP);
    const Records::LogonRequestFields fields = Records::readLogonRequest(request);
    if (context.logonThrottle.isBlocked(senderIP, context.now())) {
        ++context.counters.logonsThrottled;
        rejectLogon(context, senderIP);
        return;
    }
    if (!passwordMatches(context, fields)) {
        rejectLogon(context, senderIP);
        return;
    }
    acceptLogon(context, fields, senderIP);
}

void handleKeepAlive(ServerContext &context, const Packet &keepAlive, const QString &senderIP)
{
    const qint32 senderID = keepAlive.SenderID();
    if (!context.players.senderAt(senderID, senderIP)) {
        ++context.counters.recordsIgnored;
        return;
    }
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->serverIdNumber() == senderID) {
            player->HeartBeat = context.now();
            Senders::sendRecord(context, senderIP, Records::keepAliveEcho());
        }
        if (context.now() - player->HeartBeat >= KeepAliveExpirySeconds)
            HeartbeatSweep::dropPlayer(context, player, QStringLiteral("No HeartBeat, removing player "));
    });
}

} // namespace LogonHandling
