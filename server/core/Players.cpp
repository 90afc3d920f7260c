#include "Players.h"

#include <algorithm>

PlayerPtr Players::Walk::next()
{
    const auto &entries = m_players->m_entries;
    // The entry after the last one visited is where it stood unless a
    // removal moved it; only then is it looked for.
    const bool inPlace = m_nextIndex < entries.size() && entries[m_nextIndex].sequence > m_lastVisited
        && (m_nextIndex == 0 || entries[m_nextIndex - 1].sequence <= m_lastVisited);
    if (!inPlace)
        m_nextIndex = size_t(std::upper_bound(entries.begin(), entries.end(), m_lastVisited,
                                              [](quint64 sequence, const Entry &entry) { return sequence < entry.sequence; })
                             - entries.begin());
    if (m_nextIndex == entries.size())
        return nullptr;
    m_lastVisited = entries[m_nextIndex].sequence;
    return entries[m_nextIndex++].player;
}

PlayerPtr Players::add(const QString &Key, const Endpoint &endpoint)
{
    const QString folded = foldedKey(Key);
    if (m_byKey.contains(folded))
        return nullptr;
    auto player = std::make_shared<Player>();
    player->Key = Key;
    player->endpoint = endpoint;
    const Entry entry{m_nextSequence++, player};
    m_entries.push_back(entry);
    m_byKey.insert(folded, entry);
    m_byEndpoint.insert(endpoint, player);
    return player;
}

PlayerPtr Players::item(int position) const
{
    if (position < 1 || position > count())
        return nullptr;
    return m_entries[size_t(position - 1)].player;
}

PlayerPtr Players::item(const QString &key) const
{
    return m_byKey.value(foldedKey(key)).player;
}

bool Players::remove(int position)
{
    if (position < 1 || position > count())
        return false;
    removeAt(size_t(position - 1));
    return true;
}

bool Players::remove(const QString &key)
{
    const PlayerPtr player = item(key);
    return player && removeIfCurrent(key, player);
}

bool Players::removeIfCurrent(const QString &key, const PlayerPtr &player)
{
    const auto it = m_byKey.constFind(foldedKey(key));
    if (!player || it == m_byKey.cend() || it->player != player)
        return false;
    removeAt(indexOf(it->sequence));
    return true;
}

bool Players::isRegistered(const PlayerPtr &player) const
{
    return player && m_byKey.value(foldedKey(player->Key)).player == player;
}

QList<PlayerPtr> Players::atEndpoint(const Endpoint &endpoint) const
{
    QList<PlayerPtr> found = m_byEndpoint.values(endpoint);
    // A multi-hash gives the newest first.
    std::reverse(found.begin(), found.end());
    return found;
}

size_t Players::indexOf(quint64 sequence) const
{
    const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), sequence,
                                     [](const Entry &entry, quint64 wanted) { return entry.sequence < wanted; });
    return size_t(it - m_entries.begin());
}

void Players::removeAt(size_t index)
{
    const PlayerPtr player = m_entries[index].player;
    m_byKey.remove(foldedKey(player->Key));
    m_byEndpoint.remove(player->endpoint, player);
    m_entries.erase(m_entries.begin() + std::ptrdiff_t(index));
}

PlayerPtr Players::senderAt(qint32 senderID, const Endpoint &endpoint) const
{
    // Server IDs are unique, so the one player with the ID is at the endpoint
    // or nowhere; the endpoint index finds it without a walk.
    for (auto it = m_byEndpoint.constFind(endpoint); it != m_byEndpoint.cend() && it.key() == endpoint; ++it) {
        if (it.value()->serverId == senderID)
            return it.value();
    }
    return nullptr;
}
