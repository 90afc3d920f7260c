#include "OperatorCommands.h"

#include "HeartbeatSweep.h"
#include "NetworkText.h"
#include "ServerContext.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <limits>

namespace OperatorCommands {
namespace {

QJsonValue count(quint64 value)
{
    return QJsonValue(qint64(qMin<quint64>(value, quint64(std::numeric_limits<qint64>::max()))));
}

QJsonObject counters(const ServerCounters &counted, const RunFacts &facts)
{
    QJsonObject failures;
    for (const auto &[type, failed] : counted.sendFailuresByType)
        failures.insert(QString::number(type), count(failed));
    return {
        {QStringLiteral("datagramsReceived"), count(counted.datagramsReceived)},
        {QStringLiteral("recordsRelayed"), count(counted.recordsRelayed)},
        {QStringLiteral("recordsIgnored"), count(counted.recordsIgnored)},
        {QStringLiteral("logonsAccepted"), count(counted.logonsAccepted)},
        {QStringLiteral("logonsRejected"), count(counted.logonsRejected)},
        {QStringLiteral("logonsThrottled"), count(counted.logonsThrottled)},
        {QStringLiteral("logonsBanned"), count(counted.logonsBanned)},
        {QStringLiteral("logonsRefusedFull"), count(counted.logonsRefusedFull)},
        {QStringLiteral("logonsUnanswered"), count(counted.logonsUnanswered)},
        {QStringLiteral("staleFlightDataDropped"), count(counted.staleFlightDataDropped)},
        {QStringLiteral("playersRestored"), count(counted.playersRestored)},
        {QStringLiteral("sendFailuresByType"), failures},
        {QStringLiteral("receiveQueueDrops"), count(facts.receiveQueueDrops)},
        {QStringLiteral("oddSizedDatagramsDropped"), count(facts.oddSizedDatagramsDropped)},
        {QStringLiteral("mappedSourcesDropped"), count(facts.mappedSourcesDropped)},
    };
}

QJsonObject skyStatus(const SkyState &sky)
{
    QJsonObject dropped;
    for (const auto &[fault, times] : sky.counters.dropped)
        dropped.insert(QLatin1String(SkyMessage::faultName(fault)), count(times));
    QJsonArray nodes;
    for (const auto &[node, remote] : sky.nodes())
        nodes.append(QJsonObject{{QStringLiteral("node"), node}, {QStringLiteral("players"), int(remote.players.size())}});
    return {
        {QStringLiteral("name"), sky.name()},
        {QStringLiteral("node"), sky.node()},
        {QStringLiteral("connected"), sky.connected && !sky.left},
        {QStringLiteral("left"), sky.left},
        {QStringLiteral("leftReason"), sky.leftReason},
        {QStringLiteral("nodes"), nodes},
        {QStringLiteral("remotePlayers"), sky.remotePlayerCount()},
        {QStringLiteral("messagesIn"), count(sky.counters.messagesIn)},
        {QStringLiteral("messagesOut"), count(sky.counters.messagesOut)},
        {QStringLiteral("recordsIn"), count(sky.counters.recordsIn)},
        {QStringLiteral("recordsOut"), count(sky.counters.recordsOut)},
        {QStringLiteral("sequenceGaps"), count(sky.counters.sequenceGaps)},
        {QStringLiteral("dropped"), dropped},
    };
}

QJsonObject outcome(bool ok, const QString &text)
{
    return {{QStringLiteral("ok"), ok}, {ok ? QStringLiteral("message") : QStringLiteral("error"), text}};
}

PlayerPtr playerWithId(const ServerContext &context, qint32 serverId)
{
    PlayerPtr found;
    context.players.forEach([&](const PlayerPtr &player) {
        if (!found && player->serverId == serverId)
            found = player;
    });
    return found;
}

QJsonObject kickRequest(ServerContext &context, const QByteArray &argument)
{
    bool isNumber = false;
    const qint32 serverId = argument.trimmed().toInt(&isNumber);
    if (!isNumber || serverId <= 0)
        return outcome(false, QStringLiteral("a server ID is a whole number from 1"));
    const PlayerPtr found = playerWithId(context, serverId);
    if (found && found->node != 0)
        return outcome(false, QStringLiteral("%1 (server ID %2) flies on sky node %3: ask that node's operator")
                                  .arg(NetworkText::wellFormed(found->Handle), QString::number(serverId),
                                       QString::number(found->node)));
    const PlayerPtr player = kick(context, serverId);
    if (!player)
        return outcome(false, QStringLiteral("no player has server ID %1").arg(serverId));
    return outcome(true, QStringLiteral("removed %1 (server ID %2, %3)")
                             .arg(NetworkText::wellFormed(player->Handle), QString::number(serverId),
                                  context.endpointText(player->endpoint)));
}

QJsonObject bansAnswer(const ServerReload::BansOutcome &bans, QString message, QStringList warnings)
{
    message += bans.removed.isEmpty() ? QStringLiteral("; nobody on is banned")
                                      : QStringLiteral("; removed ") + bans.removed.join(QStringLiteral(", "));
    QJsonObject reply = outcome(true, message);
    reply.insert(QStringLiteral("bans"), bans.inForce);
    reply.insert(QStringLiteral("removed"), QJsonArray::fromStringList(bans.removed));
    reply.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(warnings));
    return reply;
}

QJsonObject reloadAnswer(const ServerReload::Report &report)
{
    QJsonObject reply =
        bansAnswer(report.bans, QStringLiteral("Reloaded (%1 bans in force)").arg(report.bans.inForce), report.warnings);
    reply.insert(QStringLiteral("restartOnly"), QJsonArray::fromStringList(report.restartOnly));
    return reply;
}

} // namespace

QJsonObject status(const ServerContext &context, const RunFacts &facts, Audience audience)
{
    QJsonArray players;
    context.players.forEach([&](const PlayerPtr &player) {
        QJsonObject entry{
            {QStringLiteral("serverId"), player->serverId},
            {QStringLiteral("handle"), NetworkText::wellFormed(player->Handle)},
            {QStringLiteral("secondsSinceLogon"), context.now() - player->loggedOnAt},
            {QStringLiteral("secondsSinceHeartbeat"), context.now() - player->HeartBeat},
            {QStringLiteral("sentAircraftDetails"), player->SentPlaneType},
        };
        if (context.sky)
            entry.insert(QStringLiteral("node"), player->node ? player->node : context.sky->node());
        if (audience == Audience::Operator && player->node == 0)
            entry.insert(QStringLiteral("address"), context.endpointText(player->endpoint));
        players.append(entry);
    });
    QJsonObject answer{
        {QStringLiteral("ok"), true},
        {QStringLiteral("version"), QStringLiteral(VENTORO_VERSION)},
        {QStringLiteral("messageOfTheDay"), NetworkText::wellFormed(context.MessageOfTheDay)},
        {QStringLiteral("uptimeSeconds"), context.now() - facts.startedAt},
        {QStringLiteral("connectPort"), facts.connectPort},
        {QStringLiteral("clientConnectPort"), facts.clientConnectPort},
        {QStringLiteral("replyToSourcePort"), context.ReplyToSourcePort},
        {QStringLiteral("logging"), context.ordinaryLinesOn()},
        {QStringLiteral("maxPilots"), context.MaxPilots},
        {QStringLiteral("bans"), context.bans.countInForce(context.wallNow())},
        {QStringLiteral("players"), players},
        {QStringLiteral("counters"), counters(context.counters, facts)},
    };
    if (context.sky)
        answer.insert(QStringLiteral("sky"), skyStatus(*context.sky));
    return answer;
}

PlayerPtr kick(ServerContext &context, qint32 serverId)
{
    const PlayerPtr player = playerWithId(context, serverId);
    if (player)
        HeartbeatSweep::dropPlayer(context, player, QStringLiteral("Operator removed player "));
    return player;
}

void answer(ServerContext &context, const RunFacts &facts, const QByteArray &request, const Reloads &reloads,
            const Answer &reply)
{
    const auto line = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; };
    const QByteArray verb = request.left(request.indexOf(' ')).trimmed();
    const QByteArray simplified = request.simplified();
    if (simplified == "status") {
        reply(line(status(context, facts)));
    } else if (verb == "kick") {
        reply(line(kickRequest(context, request.mid(verb.size()))));
    } else if (simplified == "reload" && reloads.reload) {
        reloads.reload([reply, line](const ServerReload::Report &report) { reply(line(reloadAnswer(report))); });
    } else if (simplified == "reload bans" && reloads.reloadBans) {
        reloads.reloadBans([reply, line](const ServerReload::BansOutcome &bans) {
            reply(line(bansAnswer(bans, QStringLiteral("Bans reloaded (%1 in force)").arg(bans.inForce), bans.warnings)));
        });
    } else {
        reply(line(outcome(false, QStringLiteral("unknown request; there are \"status\", \"kick SERVERID\", "
                                                 "\"reload\" and \"reload bans\""))));
    }
}

} // namespace OperatorCommands
