#include "SkyHandling.h"

#include "FlightRelay.h"
#include "HeartbeatSweep.h"
#include "NetworkText.h"
#include "Senders.h"
#include "ServerContext.h"

#include <QtEndian>

namespace SkyHandling {
namespace {

using SkyMessage::Fault;
using SkyMessage::Item;
using SkyMessage::ItemKind;
using SkyMessage::Kind;
using SkyMessage::Message;

// What a subject says: the kind of message it carries and the node it is
// from, "ventoro.<sky>.<kind>.<node>".
struct Subject {
    Kind kind = Kind::Batch;
    int node = 0;
};

// The word each kind of message has in its subjects.
constexpr std::pair<Kind, const char *> SubjectKinds[] = {
    {Kind::Batch, "node"}, {Kind::Roster, "roster"}, {Kind::Presence, "presence"}, {Kind::RosterRequest, "request"}};

const char *subjectKind(Kind kind)
{
    for (const auto &[value, name] : SubjectKinds) {
        if (value == kind)
            return name;
    }
    return "node";
}

std::optional<Subject> parseSubject(const SkyState &sky, const QByteArray &subject)
{
    if (!subject.startsWith(sky.prefix()))
        return std::nullopt;
    const QByteArray rest = subject.mid(sky.prefix().size());
    const qsizetype dot = rest.indexOf('.');
    const QByteArray kind = rest.left(dot);
    const QByteArray number = dot < 0 ? QByteArray() : rest.mid(dot + 1);
    bool isNumber = false;
    const int node = number.toInt(&isNumber);
    if (!isNumber || node < 1 || node > SkyMessage::MaxNode || QByteArray::number(node) != number)
        return std::nullopt;
    for (const auto &[value, name] : SubjectKinds) {
        if (kind == name)
            return Subject{value, node};
    }
    return std::nullopt;
}

bool isFlightRecord(const QByteArray &record)
{
    const Packet packet = Packet::fromBytes(record.constData(), record.size());
    return packet.PacketClass() == Packet::FlightClass && FlightRelay::isFlightRecordType(packet.PacketType());
}

qint32 recordSender(const QByteArray &record)
{
    return qFromLittleEndian<qint32>(record.constData() + Packet::SenderIDAt);
}

// Which items each kind of message may hold, and whether every server ID in
// it is the sending node's.
Fault check(const Message &message)
{
    const int node = message.header.node;
    for (const Item &item : message.items) {
        bool allowed = false;
        switch (message.header.kind) {
        case Kind::Batch:
            allowed = item.kind == ItemKind::Record || item.kind == ItemKind::PlayerAdded
                || item.kind == ItemKind::PlayerRemoved;
            break;
        case Kind::Roster: allowed = item.kind == ItemKind::PlayerAdded; break;
        case Kind::Presence: allowed = item.kind == ItemKind::Presence && message.items.size() == 1; break;
        case Kind::RosterRequest: allowed = false; break;
        }
        if (!allowed || (item.kind == ItemKind::Record && !isFlightRecord(item.record))
            || (item.kind == ItemKind::PlayerAdded && item.handle.trimmed().isEmpty()))
            return Fault::Malformed;
        const qint32 id = item.kind == ItemKind::Record ? recordSender(item.record) : item.serverId;
        if (item.kind != ItemKind::Presence && !SkyState::inRange(node, id))
            return Fault::ForeignServerId;
    }
    if (message.header.kind == Kind::Presence && message.items.size() != 1)
        return Fault::Malformed;
    return Fault::None;
}

void logSky(ServerContext &context, const QString &event)
{
    if (context.ordinaryLinesOn())
        context.logEvent(event);
}

QString nodeText(int node)
{
    return QStringLiteral("sky node ") + QString::number(node);
}

// Removes every pilot of `node` here, telling this node's pilots; the node
// is forgotten first, so nothing a yield runs finds it half gone.
void dropNode(ServerContext &context, int node, const QString &why)
{
    auto found = context.sky->nodes().find(node);
    if (found == context.sky->nodes().end())
        return;
    const QList<PlayerPtr> pilots = found->second.players.values();
    context.sky->nodes().erase(found);
    logSky(context, nodeText(node) + QStringLiteral(" left the sky (") + why + QStringLiteral("), removing ")
                        + QString::number(pilots.size()) + QStringLiteral(" players"));
    for (const PlayerPtr &pilot : pilots)
        HeartbeatSweep::dropPlayer(context, pilot, QString());
}

void dropAllNodes(ServerContext &context, const QString &why)
{
    while (context.sky && !context.sky->nodes().empty())
        dropNode(context, context.sky->nodes().begin()->first, why);
}

// Whether this node speaks for a pilot of its own in the sky: only for
// server IDs of its range. A pilot kept from a run under another node
// number flies here alone, rather than have every message that named it
// dropped by the others.
bool speaksFor(const ServerContext &context, qint32 serverId)
{
    return context.sky && !context.sky->left && SkyState::inRange(context.sky->node(), serverId);
}

std::vector<Item> ownRoster(const ServerContext &context)
{
    std::vector<Item> items;
    context.players.forEach([&](const PlayerPtr &player) {
        if (player->node == 0 && speaksFor(context, player->serverId))
            items.push_back(Item::playerAdded(player->serverId, player->logonTimeMs, player->Handle));
    });
    return items;
}

void publishOwn(ServerContext &context, Kind kind, std::vector<Item> items)
{
    SkyState &sky = *context.sky;
    sky.publish(kind, sky.nodeSubject(subjectKind(kind)), std::move(items), context.clock.wallMs());
}

void publishPresence(ServerContext &context)
{
    const quint32 size = quint32(context.localPlayerCount());
    publishOwn(context, Kind::Presence, {Item::presence(size, context.sky->startedAtMs())});
    context.sky->lastPresenceMs = context.clock.monotonicMs();
}

// Of two runs with one node number, the one that started later leaves.
void leaveSky(ServerContext &context, const QString &why)
{
    SkyState &sky = *context.sky;
    sky.left = true;
    sky.leftReason = why;
    sky.publisher().leave();
    const QString line = QStringLiteral("Left the sky \"") + sky.name() + QStringLiteral("\": ") + why
        + QStringLiteral("; serving this server's own pilots only");
    qWarning("VentoroServer: %s", qPrintable(line));
    logSky(context, line);
    dropAllNodes(context, QStringLiteral("this server left the sky"));
}

// Notes that the message's node spoke, in the message's run: a run other
// than the one known replaces it, its pilots removed first. False when the
// node number is this server's own.
bool heardFrom(ServerContext &context, const SkyMessage::Header &header, qint64 startedAtMs)
{
    SkyState &sky = *context.sky;
    if (header.node == sky.node()) {
        const bool meLater = sky.startedAtMs() > startedAtMs
            || (sky.startedAtMs() == startedAtMs && sky.runId() > header.runId);
        if (startedAtMs > 0 && meLater)
            leaveSky(context, QStringLiteral("node ") + QString::number(sky.node())
                                  + QStringLiteral(" is taken by a server that started earlier"));
        ++sky.counters.dropped[Fault::WrongNode];
        return false;
    }
    auto found = sky.nodes().find(header.node);
    if (found != sky.nodes().end() && found->second.runId != header.runId)
        dropNode(context, header.node, QStringLiteral("it started again"));
    if (!context.sky || context.sky->left)
        return false;
    auto [entry, added] = context.sky->nodes().try_emplace(header.node);
    if (added) {
        entry->second.runId = header.runId;
        ++context.sky->counters.nodesSeen;
        logSky(context, nodeText(header.node) + QStringLiteral(" joined the sky"));
        // A node first heard other than by its roster (this server came
        // later, or the node started again): its pilots are asked for.
        if (header.kind != Kind::Roster)
            context.sky->rosterRequestDue = true;
    }
    entry->second.lastHeardMs = context.clock.monotonicMs();
    // NATS delivers at most once: a message missed (a full inbox, a slow
    // consumer, a broken route) may have held a roster change, so the
    // node's whole roster is asked for again.
    if (!added && header.sequence != entry->second.lastSequence + 1) {
        ++context.sky->counters.sequenceGaps;
        context.sky->rosterRequestDue = true;
    }
    entry->second.lastSequence = header.sequence;
    if (startedAtMs > 0)
        entry->second.startedAtMs = startedAtMs;
    return true;
}

SkyState::RemoteNode *remoteNode(ServerContext &context, int node, quint64 runId)
{
    if (!context.sky)
        return nullptr;
    auto found = context.sky->nodes().find(node);
    return found != context.sky->nodes().end() && found->second.runId == runId ? &found->second : nullptr;
}

// Of two pilots with one handle, the later logon stays (then the higher
// node number).
bool laterThan(qint64 logonTimeMs, int node, const Player &other, int ownNode)
{
    const int otherNode = other.node ? other.node : ownNode;
    return logonTimeMs > other.logonTimeMs || (logonTimeMs == other.logonTimeMs && node > otherNode);
}

void addRemote(ServerContext &context, const SkyMessage::Header &header, const Item &item)
{
    SkyState::RemoteNode *remote = remoteNode(context, header.node, header.runId);
    if (!remote || remote->players.contains(item.serverId))
        return;
    const QString handle = item.handle.trimmed();
    if (const PlayerPtr existing = context.players.item(handle)) {
        if (!laterThan(item.logonTimeMs, header.node, *existing, context.sky->node()))
            return; // its own node removes the other when it hears of this one
        HeartbeatSweep::dropPlayer(context, existing, QString());
        remote = remoteNode(context, header.node, header.runId);
        if (!remote || context.players.item(handle))
            return;
    }
    const PlayerPtr player = context.players.add(handle, Endpoint());
    if (!player)
        return;
    player->Handle = handle;
    player->serverId = item.serverId;
    player->ServerID = QString::number(item.serverId);
    player->node = header.node;
    player->logonTimeMs = item.logonTimeMs;
    player->HeartBeat = player->loggedOnAt = context.now();
    remote->players.insert(item.serverId, player);
    Senders::announcePlayer(context, item.serverId, handle);
}

void removeRemote(ServerContext &context, const SkyMessage::Header &header, qint32 serverId)
{
    if (SkyState::RemoteNode *remote = remoteNode(context, header.node, header.runId)) {
        if (const PlayerPtr player = remote->players.value(serverId))
            HeartbeatSweep::dropPlayer(context, player, QString());
    }
}

void relayRemote(ServerContext &context, const SkyMessage::Header &header, const Item &item)
{
    ++context.sky->counters.recordsIn;
    const SkyState::RemoteNode *remote = remoteNode(context, header.node, header.runId);
    const PlayerPtr sender = remote ? remote->players.value(recordSender(item.record)) : nullptr;
    if (!sender) {
        ++context.counters.recordsIgnored;
        return;
    }
    FlightRelay::relayFromSky(context, sender, Packet::fromBytes(item.record.constData(), item.record.size()));
}

// A roster is the node's whole list: who is not on it is gone.
void takeRoster(ServerContext &context, const Message &message)
{
    QSet<qint32> listed;
    for (const Item &item : message.items)
        listed.insert(item.serverId);
    if (SkyState::RemoteNode *remote = remoteNode(context, message.header.node, message.header.runId)) {
        const QList<PlayerPtr> known = remote->players.values();
        for (const PlayerPtr &player : known) {
            if (!listed.contains(player->serverId))
                HeartbeatSweep::dropPlayer(context, player, QString());
        }
    }
    for (const Item &item : message.items) {
        if (context.sky && !context.sky->left)
            addRemote(context, message.header, item);
    }
}

void takeMessage(ServerContext &context, const Message &message)
{
    const qint64 startedAt = message.header.kind == Kind::Presence ? message.items.front().startedAtMs : 0;
    if (!heardFrom(context, message.header, startedAt))
        return;
    ++context.sky->counters.messagesIn;
    switch (message.header.kind) {
    case Kind::Presence:
        break;
    case Kind::RosterRequest:
        context.sky->rosterAnswerDue = true;
        break;
    case Kind::Roster:
        takeRoster(context, message);
        break;
    case Kind::Batch:
        for (const Item &item : message.items) {
            if (!context.sky || context.sky->left)
                return;
            if (item.kind == ItemKind::Record)
                relayRemote(context, message.header, item);
            else if (item.kind == ItemKind::PlayerAdded)
                addRemote(context, message.header, item);
            else
                removeRemote(context, message.header, item.serverId);
        }
        break;
    }
}

void handleMessage(ServerContext &context, const SkyDelivery &delivery)
{
    SkyState &sky = *context.sky;
    const std::optional<Subject> subject = parseSubject(sky, delivery.subject);
    Fault fault = Fault::None;
    const std::optional<Message> message = SkyMessage::decode(delivery.payload, &fault);
    if (message && message->header.node == sky.node() && message->header.runId == sky.runId())
        return; // this server's own, back from the sky
    if (!subject)
        fault = Fault::UnknownSubject;
    else if (message && (message->header.node != subject->node || message->header.kind != subject->kind))
        fault = Fault::WrongNode;
    else if (message)
        fault = check(*message);
    if (fault != Fault::None) {
        ++sky.counters.dropped[fault];
        return;
    }
    takeMessage(context, *message);
}

void onConnected(ServerContext &context)
{
    SkyState &sky = *context.sky;
    sky.connected = true;
    logSky(context, QStringLiteral("Joined the sky \"") + sky.name() + QStringLiteral("\" as node ")
                        + QString::number(sky.node()));
    publishOwn(context, Kind::Roster, ownRoster(context));
    publishPresence(context);
    publishOwn(context, Kind::RosterRequest, {});
    // Nobody was heard while the connection was down: each node gets its
    // full time to speak again.
    const qint64 now = context.clock.monotonicMs();
    for (auto &[node, remote] : sky.nodes())
        remote.lastHeardMs = now;
}

} // namespace

void queueRecord(ServerContext &context, const Packet &record)
{
    if (speaksFor(context, record.SenderID()))
        context.sky->queue(Item::ofRecord(QByteArrayView(reinterpret_cast<const char *>(record.data().data()), Packet::Size)));
}

void queuePlayerAdded(ServerContext &context, const Player &player)
{
    if (speaksFor(context, player.serverId))
        context.sky->queue(Item::playerAdded(player.serverId, player.logonTimeMs, player.Handle));
}

void playerLeaving(ServerContext &context, const Player &player)
{
    if (!context.sky)
        return;
    if (player.node == 0) {
        if (speaksFor(context, player.serverId))
            context.sky->queue(Item::playerRemoved(player.serverId));
        return;
    }
    auto found = context.sky->nodes().find(player.node);
    if (found != context.sky->nodes().end() && found->second.players.value(player.serverId).get() == &player)
        found->second.players.remove(player.serverId);
}

void flush(ServerContext &context)
{
    if (context.sky)
        context.sky->flush(context.clock.wallMs());
}

void flushIfIdle(ServerContext &context)
{
    if (context.ReceiveReady)
        flush(context);
}

void handle(ServerContext &context, const SkyDelivery &delivery)
{
    if (!context.sky || context.sky->left)
        return;
    switch (delivery.type) {
    case SkyDelivery::Type::Connected:
        onConnected(context);
        break;
    case SkyDelivery::Type::Disconnected:
        if (context.sky->connected)
            context.sky->downSinceMs = context.clock.monotonicMs();
        context.sky->connected = false;
        logSky(context, QStringLiteral("Lost the connection to the sky \"") + context.sky->name() + QLatin1Char('"'));
        break;
    case SkyDelivery::Type::Message:
        handleMessage(context, delivery);
        break;
    }
}

void onTick(ServerContext &context)
{
    if (!context.sky || context.sky->left || !context.ReceiveReady)
        return;
    ReceiveGuard guard(context);
    const qint64 now = context.clock.monotonicMs();
    if (!context.sky->connected) {
        if (now - context.sky->downSinceMs >= SkyState::SilenceLimitMs)
            dropAllNodes(context, QStringLiteral("no connection to the sky"));
        return;
    }
    if (now - context.sky->lastPresenceMs >= SkyState::PresenceIntervalMs)
        publishPresence(context);
    if (context.sky->rosterAnswerDue) {
        context.sky->rosterAnswerDue = false;
        publishOwn(context, Kind::Roster, ownRoster(context));
    }
    if (context.sky->rosterRequestDue) {
        context.sky->rosterRequestDue = false;
        publishOwn(context, Kind::RosterRequest, {});
    }
    std::vector<int> silent;
    for (const auto &[node, remote] : context.sky->nodes()) {
        if (now - remote.lastHeardMs >= SkyState::SilenceLimitMs)
            silent.push_back(node);
    }
    for (int node : silent)
        dropNode(context, node, QStringLiteral("not heard for 6 s"));
    flush(context);
}

} // namespace SkyHandling
