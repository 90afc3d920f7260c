#include "LogonHandling.h"

#include "AccountsFileLayout.h"
#include "Endpoint.h"
#include "HeartbeatSweep.h"
#include "LogonAdmission.h"
#include "LogonRefusal.h"
#include "Records.h"
#include "Senders.h"
#include "ServerContext.h"
#include "SettingsText.h"
#include "SkyHandling.h"

#include <optional>
#include <string>

namespace LogonHandling {
namespace {

using Cause = LogonRefusal::Cause;

// Answers a refused logon with LogonRejected, logs why and counts it. The
// answer goes only while the socket's send buffer has room to spare, and an
// address throttled for guessing gets at most one a second: a flood of
// refused logons must neither take the room the pilots' records need nor
// make the server an amplifier.
void refuseLogon(ServerContext &context, const Records::LogonRequestFields &request, const Endpoint &source,
                 LogonRefusal refusal)
{
    ++context.counters.logonsRejected;
    if (refusal.throttled())
        ++context.counters.logonsThrottled;
    if (refusal.cause == Cause::ThrottledByAddress && !context.logonThrottle.answerDue(source, context.now())) {
        refusal.unanswered = true;
        ++context.counters.logonsUnanswered;
    } else {
        Senders::sendRecord(context, context.replyEndpoint(source), Records::logonRejected(context.LastServerID), 1,
                            Sender::WhenFull::DropFirst);
    }
    if (context.ordinaryLinesOn()) {
        context.logEvent(QStringLiteral("User rejected logon from ") + context.endpointText(source));
        context.logEvent(refusal.logText(request.PilotID, request.PilotHandle));
    }
}

LogonRefusal throttledRefusal(const ServerContext &context, const LogonThrottle::Verdict &verdict)
{
    const Cause cause = verdict.by == LogonThrottle::Block::Address ? Cause::ThrottledByAddress
        : verdict.by == LogonThrottle::Block::PilotId               ? Cause::ThrottledByPilotId
                                                                    : Cause::LogonRate;
    const qint64 secondsLeft = qBound(qint64(0), verdict.until - context.now(), qint64(86400));
    const QTime until = context.clock.timeOfDay().addSecs(int(secondsLeft));
    return LogonRefusal{cause, QString(), until, false};
}

enum class Password { Unknown, Wrong, Right };

Password checkPassword(ServerContext &context, const Records::LogonRequestFields &request)
{
    const std::string stored = context.UsersIni.ReadINI(request.PilotID, AccountsFileLayout::PwdKey, "No");
    if (stored == "No")
        return Password::Unknown;
    return stored == std::to_string(request.Password) ? Password::Right : Password::Wrong;
}

// The registry refuses a handle that differs from a present one only in
// letter case, and no server ID is left after the largest 32-bit number (in
// a sky, after the last of this node's range).
std::optional<Cause> unregistrable(const ServerContext &context, const QString &handle)
{
    if (context.LastServerID >= context.lastServerIdAllowed())
        return Cause::NoServerIdLeft;
    if (context.players.item(handle))
        return Cause::HandleInUse;
    return std::nullopt;
}

// Replaced players leave as every departure does; the registry's indexes
// find them without a walk.
void dropReplacedPlayers(ServerContext &context, const QString &handle, const Endpoint &endpoint)
{
    const PlayerPtr sameHandle = context.players.item(handle);
    if (sameHandle && trimSpaces(sameHandle->Handle) == handle)
        HeartbeatSweep::dropPlayer(context, sameHandle, QString());
    for (const PlayerPtr &sameEndpoint : context.players.atEndpoint(endpoint))
        HeartbeatSweep::dropPlayer(context, sameEndpoint, QString());
}

void acceptLogon(ServerContext &context, const Records::LogonRequestFields &request, const Endpoint &source)
{
    const QString &handle = request.PilotHandle;
    const Endpoint endpoint = context.replyEndpoint(source);
    dropReplacedPlayers(context, handle, endpoint);
    const QString name = QString::fromStdString(settingsTextAsUtf8(context.UsersIni.ReadINI(request.PilotID, AccountsFileLayout::NameKey, "No Name")));
    if (const std::optional<Cause> cause = unregistrable(context, handle)) {
        context.logonThrottle.recordRejection(source, context.now());
        refuseLogon(context, request, source, LogonRefusal{*cause, QString(), QTime(), false});
        return;
    }

    const qint32 newID = ++context.LastServerID;
    const PlayerPtr player = context.players.add(handle, endpoint);
    player->Handle = handle;
    player->ServerID = QString::number(newID);
    player->serverId = newID;
    player->PilotID = request.PilotID;
    player->HeartBeat = context.now();
    player->loggedOnAt = player->HeartBeat;
    player->logonTimeMs = context.clock.wallMs();
    SkyHandling::queuePlayerAdded(context, *player);
    context.logonThrottle.recordAccepted(source, request.PilotID, context.now());

    ++context.counters.logonsAccepted;
    Senders::sendRecord(context, endpoint, Records::logonAccepted(newID, context.MessageOfTheDay));
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("User ") + name + QStringLiteral(" logged on from ") + context.endpointText(endpoint));
    Senders::announcePlayer(context, newID, handle);
    if (const PlayerPtr newcomer = context.players.item(handle))
        Senders::sendPlayerList(context, newcomer);
}

// Checked before the accounts are read: a refusal there counts for no
// throttle, so retrying while refused never prolongs a block.
std::optional<LogonRefusal> refusedUnread(ServerContext &context, const Records::LogonRequestFields &request,
                                          const Endpoint &source)
{
    if (std::optional<LogonRefusal> refusal = LogonAdmission::refuses(context, request, source))
        return refusal;
    const LogonThrottle::Verdict verdict = context.logonThrottle.beforePassword(source, request.PilotID, context.now());
    if (verdict)
        return throttledRefusal(context, verdict);
    return std::nullopt;
}

} // namespace

void handleLogonRequest(ServerContext &context, const Packet &request, const Endpoint &source)
{
    if (context.ordinaryLinesOn())
        context.logEvent(QStringLiteral("Rcvd logon request from ") + context.endpointText(source));
    const Records::LogonRequestFields fields = Records::readLogonRequest(request);
    if (const std::optional<LogonRefusal> refusal = refusedUnread(context, fields, source)) {
        refuseLogon(context, fields, source, *refusal);
        return;
    }
    switch (checkPassword(context, fields)) {
    case Password::Unknown:
        context.logonThrottle.recordRejection(source, context.now());
        refuseLogon(context, fields, source, LogonRefusal{Cause::UnknownPilot, QString(), QTime(), false});
        return;
    case Password::Wrong:
        context.logonThrottle.recordWrongPassword(source, fields.PilotID, context.now());
        refuseLogon(context, fields, source, LogonRefusal{Cause::WrongPassword, QString(), QTime(), false});
        return;
    case Password::Right:
        break;
    }
    if (const LogonThrottle::Verdict verdict = context.logonThrottle.logonRate(fields.PilotID, context.now())) {
        refuseLogon(context, fields, source, throttledRefusal(context, verdict));
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
        if (player->node != 0)
            return;
        if (player->serverId == senderID) {
            player->HeartBeat = context.now();
            Senders::sendRecord(context, replyTo, Records::keepAliveEcho());
        }
        if (context.now() - player->HeartBeat >= KeepAliveExpirySeconds)
            HeartbeatSweep::dropPlayer(context, player, QStringLiteral("No HeartBeat, removing player "));
    });
}

} // namespace LogonHandling
