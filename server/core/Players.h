#pragma once

#include "Player.h"

#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QString>

#include <vector>

// The registry of connected players: ordered by insertion, positions
// numbered from 1, keyed by text without regard to letter case, and
// indexed by endpoint (a player's endpoint never changes once added).
// Finding a player by key or endpoint and removing one cost no walk.
//
// Walks (startWalk) are made for a server whose handlers nest: a walk may
// remove its current player, and handlers that run in the middle of it may
// remove or add others. A walk never skips a player that is still
// registered, never visits one twice, never visits one that was removed
// before the walk reached it, and visits players added during the walk once
// it reaches them (they are always at the end).
class Players
{
public:
    class Walk
    {
    public:
        // The next registered player after the last one visited, or null.
        PlayerPtr next();

    private:
        friend class Players;
        explicit Walk(const Players &players) : m_players(&players) {}
        const Players *m_players;
        quint64 m_lastVisited = 0;
        size_t m_nextIndex = 0; // where the next player stands unless the registry changed
    };

    // Creates a player with the given key and endpoint and appends it. Fails,
    // adding nothing and returning null, when the key is present already
    // (letter case ignored).
    PlayerPtr add(const QString &Key, const Endpoint &endpoint);

    // By position from 1, or by key; null when there is no such entry.
    PlayerPtr item(int position) const;
    PlayerPtr item(const QString &key) const;

    int count() const { return int(m_entries.size()); }

    // By position or by key; false (and nothing changed) when there is no
    // such entry.
    bool remove(int position);
    bool remove(const QString &key);

    // Removes `player` only if that very player is still registered under
    // `key`: a newer player that took the same key in the meantime stays.
    bool removeIfCurrent(const QString &key, const PlayerPtr &player);

    bool isRegistered(const PlayerPtr &player) const;

    // The registered players whose endpoint is `endpoint`, oldest first.
    QList<PlayerPtr> atEndpoint(const Endpoint &endpoint) const;

    // The registered player whose server ID is `senderID` and whose endpoint
    // is `endpoint` (where answers to the record's source go), or null.
    // Keep-alives and flight records count only from there: nobody can
    // speak for another pilot.
    PlayerPtr senderAt(qint32 senderID, const Endpoint &endpoint) const;

    Walk startWalk() const { return Walk(*this); }

    // Visits every player as a Walk does.
    template<typename Visit>
    void forEach(Visit &&visit) const
    {
        Walk walk = startWalk();
        while (PlayerPtr player = walk.next())
            visit(player);
    }

private:
    struct Entry {
        quint64 sequence;
        PlayerPtr player;
    };

    static QString foldedKey(const QString &key) { return key.toCaseFolded(); }
    void removeAt(size_t index);
    size_t indexOf(quint64 sequence) const;

    std::vector<Entry> m_entries; // in insertion order, so sequences ascend
    QHash<QString, Entry> m_byKey;
    QMultiHash<Endpoint, PlayerPtr> m_byEndpoint;
    quint64 m_nextSequence = 1;
};
