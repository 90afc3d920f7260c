#include "SkyState.h"

SkyState::SkyState(int node, const QString &name, quint64 runId, qint64 startedAtMs, SkyPublisher &publisher)
    : m_node(node), m_name(name), m_prefix("ventoro." + name.toLatin1() + '.'), m_runId(runId),
      m_startedAtMs(startedAtMs), m_publisher(publisher)
{
}

QByteArray SkyState::subject(const char *suffix) const
{
    return m_prefix + suffix;
}

QByteArray SkyState::nodeSubject(const char *kind) const
{
    return m_prefix + kind + '.' + QByteArray::number(m_node);
}

int SkyState::remotePlayerCount() const
{
    int count = 0;
    for (const auto &[number, remote] : m_nodes)
        count += int(remote.players.size());
    return count;
}

void SkyState::publish(SkyMessage::Kind kind, const QByteArray &subject, std::vector<SkyMessage::Item> items,
                       qint64 nowMs)
{
    if (left)
        return;
    size_t start = 0;
    do {
        // As many items as fit one message.
        qsizetype bytes = SkyMessage::HeaderBytes;
        size_t end = start;
        while (end < items.size() && int(end - start) < SkyMessage::MaxItems
               && bytes + SkyMessage::encodedSize(items[end]) <= SkyMessage::MaxBytes)
            bytes += SkyMessage::encodedSize(items[end++]);
        const std::vector<SkyMessage::Item> part(items.begin() + qsizetype(start), items.begin() + qsizetype(end));
        const SkyMessage::Header header{kind, m_node, m_runId, ++m_sequence, nowMs};
        m_publisher.publish(subject, SkyMessage::encode(header, part));
        ++counters.messagesOut;
        for (const SkyMessage::Item &item : part)
            counters.recordsOut += item.kind == SkyMessage::ItemKind::Record;
        start = end;
    } while (start < items.size());
}

void SkyState::flush(qint64 nowMs)
{
    if (m_outbox.empty())
        return;
    std::vector<SkyMessage::Item> items;
    items.swap(m_outbox);
    if (connected)
        publish(SkyMessage::Kind::Batch, nodeSubject("node"), std::move(items), nowMs);
}
