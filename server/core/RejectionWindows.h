#pragma once

#include <QHash>

#include <array>
#include <limits>
#include <list>
#include <optional>

// Counts rejections per unit (an address, a pilot ID) over a sliding
// window. After MaxRejections within the window a unit is blocked until the
// window passes with no further rejection counted for it. Which rejections
// count is the caller's choice.
//
// At most `capacity` units are remembered. Room for a new one is made by
// forgetting a unit whose window has passed, else the unblocked unit whose
// last rejection is oldest. A blocked unit is never forgotten before its
// block ends, so nobody frees a unit by flooding the table from others;
// while every unit held is blocked, a new unit's rejections go uncounted
// (record() says so) until the first of those blocks ends. Every call costs
// constant time on average: units are kept in two lists, blocked and not,
// each in the order of their last rejection, which is the order of expiry
// because `now` never goes back.
template<typename Unit, int MaxRejections>
class RejectionWindows
{
public:
    RejectionWindows(qint64 windowSeconds, int capacity) : m_window(windowSeconds), m_capacity(capacity) {}

    // When the unit's block ends (its last rejection plus the window), or
    // nothing when it is not blocked.
    std::optional<qint64> blockedUntil(const Unit &unit, qint64 now)
    {
        forgetPassed(now);
        const auto it = m_units.constFind(unit);
        if (it == m_units.cend() || !it->blocked)
            return std::nullopt;
        return it->last + m_window;
    }

    // Counts one rejection at `now`; false when the table was full of
    // blocked units and could not take a new one.
    bool record(const Unit &unit, qint64 now)
    {
        forgetPassed(now);
        auto it = m_units.find(unit);
        if (it == m_units.end()) {
            if (m_units.size() >= m_capacity && !forgetStalestUnblocked())
                return false;
            it = m_units.insert(unit, History{});
        } else {
            listOf(*it).erase(it->order);
        }
        History &history = *it;
        history.times[size_t(history.next)] = now;
        history.next = (history.next + 1) % MaxRejections;
        history.count = qMin(history.count + 1, MaxRejections);
        history.last = now;
        // Once the ring is full, `next` points at the oldest of the last
        // MaxRejections rejections.
        if (history.count == MaxRejections && now - history.times[size_t(history.next)] < m_window)
            history.blocked = true;
        std::list<Unit> &list = listOf(history);
        history.order = list.insert(list.end(), unit);
        return true;
    }

    // For a blocked unit, true at most once per second of `now` (always for
    // a unit that is not blocked).
    bool answerDue(const Unit &unit, qint64 now)
    {
        const auto it = m_units.find(unit);
        if (it == m_units.end() || !it->blocked)
            return true;
        if (it->lastAnswered == now)
            return false;
        it->lastAnswered = now;
        return true;
    }

    int size() const { return int(m_units.size()); }

private:
    struct History {
        std::array<qint64, size_t(MaxRejections)> times {}; // a ring of the last rejections
        int count = 0;
        int next = 0;
        qint64 last = 0;
        qint64 lastAnswered = std::numeric_limits<qint64>::min();
        bool blocked = false;
        typename std::list<Unit>::iterator order; // in m_blocked or m_unblocked
    };

    std::list<Unit> &listOf(const History &history) { return history.blocked ? m_blocked : m_unblocked; }

    void forgetPassed(qint64 now)
    {
        for (std::list<Unit> *list : {&m_blocked, &m_unblocked}) {
            while (!list->empty() && now - m_units.constFind(list->front())->last >= m_window) {
                m_units.remove(list->front());
                list->pop_front();
            }
        }
    }

    bool forgetStalestUnblocked()
    {
        if (m_unblocked.empty())
            return false;
        m_units.remove(m_unblocked.front());
        m_unblocked.pop_front();
        return true;
    }

    QHash<Unit, History> m_units;
    std::list<Unit> m_blocked;
    std::list<Unit> m_unblocked;
    qint64 m_window;
    int m_capacity;
};
