#include "RegistryCheckpoint.h"

#include "HeartbeatSweep.h"
#include "NetworkText.h"
#include "Packet.h"
#include "ServerContext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <limits>

namespace RegistryCheckpoint {
namespace {

const QString kFormat = QStringLiteral("ventoro-registry-checkpoint");
constexpr int kVersion = 1;
// A small step of the wall clock backwards between two runs (a time
// service correcting it) is no reason to throw the pilots out.
constexpr qint64 ClockStepToleranceMs = 5000;
constexpr qint64 MaxAgeS = qint64(1) << 40;

// A whole number within [least, most], or nothing: JSON numbers are
// doubles, and a hostile file may hold 1e300, 2.5 or a string.
std::optional<qint64> wholeNumber(const QJsonValue &value, qint64 least, qint64 most)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < double(least) || number > double(most))
        return std::nullopt;
    return qint64(number);
}

// A handle is kept as text for whoever reads the file; one that text
// cannot hold as it is (a UTF-16 surrogate without its partner) is kept
// beside it as its code units, four hex digits each, so that two handles
// told apart by such units are not made one by the restart.
QString handleUnits(const QString &handle)
{
    QString units;
    for (const QChar unit : handle)
        units += QString::number(unit.unicode(), 16).rightJustified(4, u'0');
    return units;
}

std::optional<QString> handleFromUnits(const QString &units)
{
    if (units.size() % 4 != 0 || units.size() > 4 * Packet::HandleChars)
        return std::nullopt;
    QString handle;
    for (qsizetype at = 0; at < units.size(); at += 4) {
        bool ok = false;
        const ushort unit = units.mid(at, 4).toUShort(&ok, 16);
        if (!ok)
            return std::nullopt;
        handle += QChar(unit);
    }
    return handle;
}

QJsonObject playerObject(const PlayerState &player)
{
    const QString text = NetworkText::wellFormed(player.handle);
    QJsonObject object{
        {QStringLiteral("serverId"), player.serverId},
        {QStringLiteral("pilotId"), player.pilotId},
        {QStringLiteral("handle"), text},
        {QStringLiteral("endpoint"), player.endpoint.text()},
        {QStringLiteral("heartbeatAgeS"), player.heartbeatAgeS},
        {QStringLiteral("loggedOnAgeS"), player.loggedOnAgeS},
        {QStringLiteral("sentPlaneType"), player.sentPlaneType},
    };
    if (text != player.handle)
        object.insert(QStringLiteral("handleUnits"), handleUnits(player.handle));
    return object;
}

// The handle as a logon leaves it: 1 to HandleChars units, no space at
// either end.
std::optional<QString> handleFrom(const QJsonObject &object)
{
    const QJsonValue text = object.value(QLatin1String("handle"));
    const QJsonValue units = object.value(QLatin1String("handleUnits"));
    if (!text.isString())
        return std::nullopt;
    const std::optional<QString> handle = units.isUndefined() ? std::optional<QString>(text.toString())
                                                              : handleFromUnits(units.toString());
    if (!handle || handle->isEmpty() || handle->size() > Packet::HandleChars || handle->startsWith(u' ')
        || handle->endsWith(u' '))
        return std::nullopt;
    return handle;
}

// An endpoint records can be sent to, as the reply mode makes them.
std::optional<Endpoint> endpointFrom(const QJsonObject &object, const Setup &setup)
{
    const std::optional<Endpoint> endpoint = Endpoint::fromText(object.value(QLatin1String("endpoint")).toString());
    if (!endpoint || endpoint->port() == 0 || endpoint->isLinkLocal()
        || (!setup.replyToSourcePort && endpoint->port() != setup.clientConnectPort))
        return std::nullopt;
    return endpoint;
}

// Everything a player must be for the registry to take it: a handle as a
// logon leaves it, an endpoint one can send to, a server ID handed out.
std::optional<PlayerState> playerFrom(const QJsonValue &value, const Checkpoint &checkpoint, QString *problem)
{
    const QJsonObject object = value.toObject();
    const auto number = [&object](const char *key, qint64 least, qint64 most) {
        return wholeNumber(object.value(QLatin1String(key)), least, most);
    };
    const std::optional<qint64> serverId = number("serverId", 1, checkpoint.lastServerId);
    const std::optional<qint64> pilotId =
        number("pilotId", std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
    const std::optional<qint64> heartbeatAge = number("heartbeatAgeS", 0, MaxAgeS);
    const std::optional<qint64> loggedOnAge = number("loggedOnAgeS", 0, MaxAgeS);
    const QJsonValue sentPlaneType = object.value(QLatin1String("sentPlaneType"));
    if (!serverId || !pilotId || !heartbeatAge || !loggedOnAge || !sentPlaneType.isBool()) {
        *problem = QStringLiteral("a player entry is incomplete or out of range");
        return std::nullopt;
    }
    const std::optional<QString> handle = handleFrom(object);
    const std::optional<Endpoint> endpoint = endpointFrom(object, checkpoint.setup);
    if (!handle || !endpoint) {
        *problem = handle ? QStringLiteral("a player's endpoint cannot be answered")
                          : QStringLiteral("a player's handle is not one a logon gives");
        return std::nullopt;
    }
    return PlayerState{*handle,       *endpoint,   qint32(*serverId),     qint32(*pilotId),
                       *heartbeatAge, *loggedOnAge, sentPlaneType.toBool()};
}

bool headerFrom(const QJsonObject &object, Checkpoint *checkpoint)
{
    const std::optional<qint64> written = wholeNumber(object.value(QLatin1String("writtenAtMs")), 0, qint64(1) << 50);
    const std::optional<qint64> connectPort = wholeNumber(object.value(QLatin1String("connectPort")), 1, 65535);
    const std::optional<qint64> replyPort = wholeNumber(object.value(QLatin1String("clientConnectPort")), 1, 65535);
    const std::optional<qint64> lastServerId =
        wholeNumber(object.value(QLatin1String("lastServerId")), 0, std::numeric_limits<qint32>::max());
    const QJsonValue replyToSource = object.value(QLatin1String("replyToSourcePort"));
    if (!written || !connectPort || !replyPort || !lastServerId || !replyToSource.isBool())
        return false;
    checkpoint->writtenAtMs = *written;
    checkpoint->setup = {quint16(*connectPort), quint16(*replyPort), replyToSource.toBool()};
    checkpoint->lastServerId = qint32(*lastServerId);
    // The sky run is a courtesy to the other nodes: one that cannot be
    // read is left out, and the restored node joins as a new run.
    const QJsonObject sky = object.value(QLatin1String("sky")).toObject();
    const std::optional<qint64> node = wholeNumber(sky.value(QLatin1String("node")), 1, 127);
    const std::optional<qint64> startedAt = wholeNumber(sky.value(QLatin1String("startedAtMs")), 0, qint64(1) << 50);
    bool isNumber = false;
    const quint64 runId = sky.value(QLatin1String("runId")).toString().toULongLong(&isNumber);
    if (node && startedAt && isNumber && runId != 0)
        checkpoint->sky = {int(*node), runId, *startedAt};
    return true;
}

// Two players with one server ID, one handle (letter case ignored) or one
// endpoint cannot both be registered.
bool unique(const QList<PlayerState> &players)
{
    QSet<qint32> ids;
    QSet<QString> handles;
    QSet<Endpoint> endpoints;
    for (const PlayerState &player : players) {
        const QString folded = player.handle.toCaseFolded();
        if (ids.contains(player.serverId) || handles.contains(folded) || endpoints.contains(player.endpoint))
            return false;
        ids.insert(player.serverId);
        handles.insert(folded);
        endpoints.insert(player.endpoint);
    }
    return true;
}

// Bans may have been added to bans.ini while the server was down: a pilot
// they cover leaves as a reload would remove it, the others being told.
void removeBanned(ServerContext &context)
{
    const qint64 wallNow = context.wallNow();
    context.players.forEach([&](const PlayerPtr &player) {
        if (context.bans.covering(player->PilotID, player->endpoint, wallNow))
            HeartbeatSweep::dropPlayer(context, player, QStringLiteral("Operator removed player "));
    });
}

} // namespace

Checkpoint capture(const ServerContext &context, const Setup &setup, qint64 wallNowMs)
{
    Checkpoint checkpoint;
    checkpoint.writtenAtMs = wallNowMs;
    checkpoint.setup = setup;
    checkpoint.lastServerId = context.LastServerID;
    if (context.sky && !context.sky->left)
        checkpoint.sky = {context.sky->node(), context.sky->runId(), context.sky->startedAtMs()};
    const qint64 now = context.now();
    // Another sky node's pilots are that node's to keep.
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->node != 0)
            return;
        checkpoint.players.append({player->Handle, player->endpoint, player->serverId, player->PilotID,
                                   qMax<qint64>(0, now - player->HeartBeat), qMax<qint64>(0, now - player->loggedOnAt),
                                   player->SentPlaneType});
    });
    return checkpoint;
}

QByteArray encode(const Checkpoint &checkpoint)
{
    QJsonArray players;
    for (const PlayerState &player : checkpoint.players)
        players.append(playerObject(player));
    QJsonObject document{
        {QStringLiteral("format"), kFormat},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("writtenAtMs"), checkpoint.writtenAtMs},
        {QStringLiteral("connectPort"), checkpoint.setup.connectPort},
        {QStringLiteral("clientConnectPort"), checkpoint.setup.clientConnectPort},
        {QStringLiteral("replyToSourcePort"), checkpoint.setup.replyToSourcePort},
        {QStringLiteral("lastServerId"), checkpoint.lastServerId},
        {QStringLiteral("players"), players},
    };
    if (checkpoint.sky.node != 0)
        document.insert(QStringLiteral("sky"), QJsonObject{{QStringLiteral("node"), checkpoint.sky.node},
                                                          {QStringLiteral("runId"), QString::number(checkpoint.sky.runId)},
                                                          {QStringLiteral("startedAtMs"), checkpoint.sky.startedAtMs}});
    return QJsonDocument(document).toJson(QJsonDocument::Compact) + '\n';
}

Decoded decode(const QByteArray &bytes)
{
    if (bytes.size() > MaxBytes)
        return {std::nullopt, QStringLiteral("it is larger than %1 bytes").arg(MaxBytes)};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {std::nullopt, QStringLiteral("it is damaged (no whole JSON object)")};
    const QJsonObject object = document.object();
    if (object.value(QLatin1String("format")).toString() != kFormat
        || object.value(QLatin1String("version")).toInt(-1) != kVersion)
        return {std::nullopt, QStringLiteral("it is no registry checkpoint of this version")};
    Checkpoint checkpoint;
    if (!headerFrom(object, &checkpoint))
        return {std::nullopt, QStringLiteral("its time, ports or server-ID counter are missing or out of range")};
    const QJsonValue players = object.value(QLatin1String("players"));
    if (!players.isArray() || players.toArray().size() > MaxPlayers)
        return {std::nullopt, QStringLiteral("its player list is missing or longer than %1").arg(MaxPlayers)};
    QString problem;
    for (const QJsonValue &value : players.toArray()) {
        std::optional<PlayerState> player = playerFrom(value, checkpoint, &problem);
        if (!player)
            return {std::nullopt, problem};
        checkpoint.players.append(std::move(*player));
    }
    if (!unique(checkpoint.players))
        return {std::nullopt, QStringLiteral("two players share a server ID, a handle or an endpoint")};
    return {std::move(checkpoint), QString()};
}

Restored restore(ServerContext &context, const Checkpoint &checkpoint, const Setup &setup, qint64 wallNowMs)
{
    const qint64 gapMs = wallNowMs - checkpoint.writtenAtMs;
    if (context.players.count() != 0)
        return {0, gapMs, QStringLiteral("the registry is in use already")};
    if (!(checkpoint.setup == setup))
        return {0, gapMs,
                QStringLiteral("it was written for ConnectPort %1, ClientConnectPort %2 and ReplyToSourcePort %3")
                    .arg(QString::number(checkpoint.setup.connectPort),
                         QString::number(checkpoint.setup.clientConnectPort),
                         QString::number(int(checkpoint.setup.replyToSourcePort)))};
    if (gapMs < -ClockStepToleranceMs)
        return {0, gapMs, QStringLiteral("it was written %1 ms in the future").arg(-gapMs)};
    if (gapMs > MaxAgeMs)
        return {0, gapMs,
                QStringLiteral("it is %1 ms old, more than %2").arg(QString::number(gapMs), QString::number(MaxAgeMs))};
    const qint64 gapS = qMax<qint64>(0, gapMs) / 1000;
    const qint64 now = context.now();
    for (const PlayerState &state : checkpoint.players) {
        const PlayerPtr player = context.players.add(state.handle, state.endpoint);
        if (!player)
            continue;
        player->Handle = state.handle;
        player->serverId = state.serverId;
        player->ServerID = QString::number(state.serverId);
        player->PilotID = state.pilotId;
        player->HeartBeat = now - state.heartbeatAgeS - gapS;
        player->loggedOnAt = now - state.loggedOnAgeS - gapS;
        player->logonTimeMs = wallNowMs - (state.loggedOnAgeS + gapS) * 1000;
        player->SentPlaneType = state.sentPlaneType;
    }
    context.LastServerID = qMax(context.LastServerID, checkpoint.lastServerId);
    removeBanned(context);
    return {context.players.count(), qMax<qint64>(0, gapMs), QString()};
}

} // namespace RegistryCheckpoint
