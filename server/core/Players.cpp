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

PlayerPtr Players::Add(const QString &Key, const QString &IPAddress)
{
    const QString folded = foldedKey(Key);
    if (m_byKey.contains(folded))
        return nullptr;
    auto player = std::make_shared<Player>();
    player->Key = Key;
    player->IPAddress = IPAddress;
    m_entries.push_back(Entry{m_nextSequence++, player});
    m_byKey.insert(folded, player);
    return player;
}

PlayerPtr Players::Item(int position) const
{
    if (position < 1 || position > Count())
        return nullptr;
    return m_entries[size_t(position - 1)].player;
}

PlayerPtr Players::Item(const QString &key) const
{
    return m_byKey.value(foldedKey(key));
}

bool Players::Remove(int position)
{
    if (position < 1 || position > Count())
        return false;
    removeAt(size_t(position - 1));
    return true;
}

bool Players::Remove(const QString &key)
{
    const PlayerPtr player = Item(key);
    return player && RemoveIfCurrent(key, player);
}

bool Players::RemoveIfCurrent(const QString &key, const PlayerPtr &player)
{
    if (!player || Item(key) != player)
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
