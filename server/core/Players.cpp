#include "Players.h"

#include <algorithm>

PlayerPtr Players::Walk::next()
{
    const auto &entries = m_players->m_entries;
    const auto it = std::upper_bound(entries.begin(), entries.end(), m_lastVisited,
                                     [](quint64 sequence, const Entry &entry) { return sequence < entry.sequence; });
    if (it == entries.end())
        return nullptr;
    m_lastVisited = it->sequence;
    return it->player;
}

PlayerPtr Players::add(const QString &Key, const Endpoint &endpoint)
{
    const QString folded = foldedKey(Key);
    if (m_byKey.contains(folded))
        return nullptr;
    auto player = std::make_shared<Player>();
    player->Key = Key;
    player->endpoint = endpoint;
    m_entries.push_back(Entry{m_nextSequence++, player});
    m_byKey.insert(folded, player);
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
    return m_byKey.value(foldedKey(key));
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
    if (!player || item(key) != player)
        return false;
    const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                 [&](const Entry &entry) { return entry.player == player; });
    if (it == m_entries.end())
        return false;
    removeAt(size_t(it - m_entries.begin()));
    return true;
}

bool Players::isRegistered(const PlayerPtr &player) const
{
    return player && m_byKey.value(foldedKey(player->Key)) == player;
}

void Players::removeAt(size_t index)
{
    m_byKey.remove(foldedKey(m_entries[index].player->Key));
    m_entries.erase(m_entries.begin() + std::ptrdiff_t(index));
}

PlayerPtr Players::senderAt(qint32 senderID, const Endpoint &endpoint) const
{
    // Server IDs are unique: the first player with the ID decides.
    Walk walk = startWalk();
    while (PlayerPtr player = walk.next()) {
        if (player->serverId == senderID)
            return player->endpoint == endpoint ? player : nullptr;
    }
    return nullptr;
}
