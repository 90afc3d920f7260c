#pragma once

#include "Endpoint.h"

#include <QHash>

#include <deque>

// Slows down password guessing. After MaxRejections rejected logons from one
// address within WindowSeconds, that address is refused without looking at
// the accounts until WindowSeconds pass with no rejection; every refusal,
// the throttled ones included, counts as a rejection. An address is an IPv4
// address, or an IPv6 /64 (Endpoint::throttleUnit): one customer's network,
// whose sender can take a new address in it at will; the port never counts.
// Times are monotonic seconds. At most MaxAddresses are remembered; when a
// new one comes, those whose window has passed are forgotten, else the
// stalest address that is not blocked, else the stalest of all.
class LogonThrottle
{
public:
    static constexpr int MaxRejections = 5;
    static constexpr qint64 WindowSeconds = 60;
    static constexpr int MaxAddresses = 4096;

    bool isBlocked(const Endpoint &sender, qint64 now);
    void recordRejection(const Endpoint &sender, qint64 now);
    int trackedAddresses() const { return int(m_history.size()); }

private:
    struct History {
        std::deque<qint64> recent; // rejections within the window
        qint64 last = 0;
        bool blocked = false;
    };

    void makeRoom(qint64 now);

    QHash<Endpoint, History> m_history; // by throttle unit
};
