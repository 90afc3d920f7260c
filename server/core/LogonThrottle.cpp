#include "LogonThrottle.h"

#include <utility>

bool LogonThrottle::isBlocked(const Endpoint &sender, qint64 now)
{
    const auto it = m_history.find(sender.throttleUnit());
    if (it == m_history.end())
        return false;
    if (now - it->last >= WindowSeconds) {
        m_history.erase(it);
        return false;
    }
    return it->blocked;
}

void LogonThrottle::recordRejection(const Endpoint &sender, qint64 now)
{
    const Endpoint address = sender.throttleUnit();
    if (!m_history.contains(address) && m_history.size() >= MaxAddresses)
        makeRoom(now);
    History &history = m_history[address];
    history.recent.push_back(now);
    while (!history.recent.empty() && now - history.recent.front() >= WindowSeconds)
        history.recent.pop_front();
    while (history.recent.size() > size_t(MaxRejections))
        history.recent.pop_front();
    history.last = now;
    if (history.recent.size() >= size_t(MaxRejections))
        history.blocked = true;
}

void LogonThrottle::makeRoom(qint64 now)
{
    m_history.removeIf([now](const auto &entry) { return now - entry.value().last >= WindowSeconds; });
    if (m_history.size() < MaxAddresses)
        return;
    // Blocked addresses go last: otherwise a guesser could free itself by
    // sending refused logons from enough other addresses.
    auto stalest = m_history.cend();
    for (auto it = m_history.cbegin(); it != m_history.cend(); ++it) {
        if (stalest == m_history.cend() || std::pair(it->blocked, it->last) < std::pair(stalest->blocked, stalest->last))
            stalest = it;
    }
    m_history.erase(stalest);
}
