#pragma once

#include "Player.h"
#include "SkyMessage.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <map>
#include <vector>

// Where this node's messages to the sky go. The program puts a NATS
// connection behind it; tests record what is published.
class SkyPublisher
{
public:
    virtual ~SkyPublisher() = default;
    // Queues one message; never waits for the network. A message that cannot
    // be queued is lost, as on a broken connection.
    virtual void publish(const QByteArray &subject, const QByteArray &payload) = 0;
    // Leaves the sky for the rest of the run: nothing is published or
    // delivered any more.
    virtual void leave() = 0;
};

// What this node knows of the sky and has done in it, for one run. Owned by
// the run's context when the sky is on. Remote pilots themselves are in the
// registry (Player::node); this keeps, per node, which of them it speaks
// for, so that a node's silence or new run removes exactly its pilots.
class SkyState
{
public:
    static constexpr qint32 IdsPerNode = 16'777'216;
    static constexpr qint64 PresenceIntervalMs = 2000;
    static constexpr qint64 SilenceLimitMs = 6000;

    SkyState(int node, const QString &name, quint64 runId, qint64 startedAtMs, SkyPublisher &publisher);

    int node() const { return m_node; }
    const QString &name() const { return m_name; }
    quint64 runId() const { return m_runId; }
    qint64 startedAtMs() const { return m_startedAtMs; }
    SkyPublisher &publisher() { return m_publisher; }

    // The server IDs node `node` hands out: node x IdsPerNode + 1 up to the
    // last before the next node's range.
    static qint32 firstServerId(int node) { return qint32(node) * IdsPerNode + 1; }
    static qint32 lastServerId(int node) { return qint32(qint64(node + 1) * IdsPerNode - 1); }
    static bool inRange(int node, qint32 serverId)
    {
        return serverId >= firstServerId(node) && serverId <= lastServerId(node);
    }

    // Subjects: "ventoro.<name>." followed by these.
    QByteArray subject(const char *suffix) const;
    QByteArray nodeSubject(const char *kind) const; // "<kind>.<this node>"
    QByteArray prefix() const { return m_prefix; }

    struct RemoteNode {
        quint64 runId = 0;
        qint64 startedAtMs = 0;
        qint64 lastHeardMs = 0; // monotonic
        quint64 lastSequence = 0; // of the last message taken from it
        QHash<qint32, PlayerPtr> players;
    };
    std::map<int, RemoteNode> &nodes() { return m_nodes; }
    const std::map<int, RemoteNode> &nodes() const { return m_nodes; }
    int remotePlayerCount() const;

    // The outbox: what this node's own pilots caused during the current
    // burst or handler, in order, published at the next flush.
    void queue(SkyMessage::Item item) { m_outbox.push_back(std::move(item)); }
    bool hasQueued() const { return !m_outbox.empty(); }
    // Publishes `items` as messages of `kind` on `subject`, split to keep
    // within the bounds.
    void publish(SkyMessage::Kind kind, const QByteArray &subject, std::vector<SkyMessage::Item> items, qint64 nowMs);
    // Publishes the outbox as batches on this node's subject.
    void flush(qint64 nowMs);

    // The connection: up or down since when (monotonic ms).
    bool connected = false;
    qint64 downSinceMs = 0;
    bool left = false;        // left for good: another run holds the number
    QString leftReason;
    bool rosterAnswerDue = false;  // another node asked for every roster
    bool rosterRequestDue = false; // a node was heard whose roster this one lacks
    qint64 lastPresenceMs = -PresenceIntervalMs;

    struct Counters {
        quint64 messagesIn = 0, messagesOut = 0, recordsIn = 0, recordsOut = 0;
        std::map<SkyMessage::Fault, quint64> dropped;
        quint64 nodesSeen = 0; // distinct (node, run) pairs heard from
        quint64 sequenceGaps = 0; // messages of a node missed here (then its roster is asked for)
    } counters;

private:
    int m_node;
    QString m_name;
    QByteArray m_prefix;
    quint64 m_runId;
    qint64 m_startedAtMs;
    SkyPublisher &m_publisher;
    quint64 m_sequence = 0;
    std::vector<SkyMessage::Item> m_outbox;
    std::map<int, RemoteNode> m_nodes;
};
