#pragma once

#include "BansFileLayout.h"
#include "Endpoint.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// What a ban names: a pilot ID, or an address with the length of its
// network's prefix. An IPv4 address or network also covers its IPv4-mapped
// IPv6 form, which is how a dual-stack socket reports IPv4 senders.
class BanTarget
{
public:
    // A pilot ID: a whole number within 32 bits, in decimal ("0042" is 42).
    // An address: an IPv4 address in dotted form with an optional "/0" to
    // "/32", or an IPv6 address with an optional "/0" to "/128". No host
    // names, no ports. Host bits beyond the prefix are cleared, so
    // "192.0.2.9/24" names 192.0.2.0/24.
    static std::optional<BanTarget> fromText(QStringView text);

    bool isPilotId() const { return m_isPilotId; }
    // The one way the target is written: "1234", "192.0.2.7",
    // "198.51.100.0/24", "2001:db8::/32".
    QString text() const;
    bool covers(qint32 pilotId, const Endpoint &address) const;

    friend bool operator==(const BanTarget &a, const BanTarget &b)
    {
        return a.m_isPilotId == b.m_isPilotId && a.m_pilotId == b.m_pilotId && a.m_bits == b.m_bits
            && a.m_network == b.m_network;
    }

private:
    bool m_isPilotId = false;
    qint32 m_pilotId = 0;
    Endpoint m_network;
    int m_bits = 128; // of the 128-bit form
};

struct Ban {
    BanTarget target;
    QString reason;
    std::optional<qint64> expiresAt; // seconds since 1970 UTC; none: never

    bool inForceAt(qint64 wallSeconds) const { return !expiresAt || wallSeconds < *expiresAt; }
};

// The bans a server enforces, as bans.ini gave them. Expired bans stay in
// the list and simply stop counting.
class BanList
{
public:
    struct Loaded {
        std::vector<Ban> bans;
        QStringList warnings; // sections left out, expiries not understood
        bool readable = false; // false: the file exists and cannot be read
    };

    // A section whose name is no pilot ID or address is left out and
    // reported; one whose expiry cannot be read is kept without an end and
    // reported.
    static Loaded fromEntries(const std::vector<BansFileLayout::Entry> &entries);
    // Reads the file at `path`; a missing file holds no bans.
    static Loaded read(const std::string &path);

    void set(std::vector<Ban> bans) { m_bans = std::move(bans); }
    const std::vector<Ban> &bans() const { return m_bans; }

    // The first ban in force at `wallSeconds` that covers the pilot ID or
    // the address, or null.
    const Ban *covering(qint32 pilotId, const Endpoint &address, qint64 wallSeconds) const;
    int countInForce(qint64 wallSeconds) const;

private:
    std::vector<Ban> m_bans;
};
