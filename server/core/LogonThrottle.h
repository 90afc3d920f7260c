#pragma once

#include "Endpoint.h"
#include "RejectionWindows.h"

#include <QCache>

// Slows down password guessing and logon loops, by address and by pilot ID.
//
// - By address: after MaxRejections rejected logons from one address within
//   WindowSeconds, logons from there are refused without reading the
//   accounts until WindowSeconds pass with no rejection counted. An address
//   is an IPv4 address, or an IPv6 /64 (Endpoint::throttleUnit): one
//   customer's network, whose sender can take a new address in it at will;
//   the port never counts.
// - By pilot ID: after MaxWrongPasswords wrong passwords for one pilot ID
//   within WindowSeconds, from any addresses, logons for that ID are
//   refused without reading the accounts until WindowSeconds pass without a
//   wrong one; except from the address of that pilot's last accepted logon,
//   so a guesser cannot lock the pilot out.
// - Logon rate: after MaxLogons accepted logons for one pilot ID within
//   WindowSeconds, its logons are refused until WindowSeconds pass without
//   an accepted one.
//
// Only what the caller records counts. The logon handling records the
// rejections it gave after reading the accounts, never a refusal made
// without reading them, so a pilot retrying while throttled does not
// prolong the block. Times are monotonic seconds. Every table is bounded
// (RejectionWindows); the address of the last accepted logon is kept for
// the MaxPilotIds pilot IDs accepted most recently.
class LogonThrottle
{
public:
    static constexpr int MaxRejections = 5;
    static constexpr int MaxWrongPasswords = 10;
    static constexpr int MaxLogons = 10;
    static constexpr qint64 WindowSeconds = 60;
    static constexpr int MaxAddresses = 4096;
    static constexpr int MaxPilotIds = 16384;

    enum class Block { None, Address, PilotId, LogonRate };
    struct Verdict {
        Block by = Block::None;
        qint64 until = 0; // when the block ends, on the monotonic clock
        explicit operator bool() const { return by != Block::None; }
    };

    // Whether a logon is refused before its password is read: for its
    // address, or for its pilot ID unless it comes from where that pilot
    // last logged on.
    Verdict beforePassword(const Endpoint &source, qint32 pilotId, qint64 now);
    // Whether a logon whose password was right is refused for the rate.
    Verdict logonRate(qint32 pilotId, qint64 now);

    // A rejection after the accounts were read that tells nothing about a
    // password (an unknown pilot ID, a handle that cannot be registered).
    void recordRejection(const Endpoint &source, qint64 now);
    void recordWrongPassword(const Endpoint &source, qint32 pilotId, qint64 now);
    void recordAccepted(const Endpoint &source, qint32 pilotId, qint64 now);

    // Whether a logon refused for its address is answered: at most once a
    // second per address.
    bool answerDue(const Endpoint &source, qint64 now);

    bool isBlocked(const Endpoint &sender, qint64 now)
    {
        return m_byAddress.blockedUntil(sender.throttleUnit(), now).has_value();
    }
    int trackedAddresses() const { return m_byAddress.size(); }
    int trackedPilotIds() const { return m_wrongByPilotId.size(); }

private:
    RejectionWindows<Endpoint, MaxRejections> m_byAddress {WindowSeconds, MaxAddresses};
    RejectionWindows<qint32, MaxWrongPasswords> m_wrongByPilotId {WindowSeconds, MaxPilotIds};
    RejectionWindows<qint32, MaxLogons> m_acceptedByPilotId {WindowSeconds, MaxPilotIds};
    QCache<qint32, Endpoint> m_lastAcceptedFrom {MaxPilotIds}; // by pilot ID, its throttle unit
};
