#pragma once

#include "BansFileLayout.h"
#include "Endpoint.h"

#include <QHash>
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
    qint32 pilotId() const { return m_pilotId; }
    // The network, port 0, and its prefix length in the 128-bit form (an
    // IPv4 /24 is 120).
    const Endpoint &network() const { return m_network; }
    int bits() const { return m_bits; }
    // The prefix length as written: of the IPv4 form for a network within
    // the IPv4-mapped range, else of the IPv6 form.
    int writtenBits() const;
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

// The bans a server enforces, as bans.ini gave them, indexed so that a
// logon is checked in the same time however many there are: pilot IDs by
// hash, and addresses by hash in one table per prefix length in use, so a
// check costs one probe per length (at most 129). Expired bans stay in the
// list and simply stop counting.
//
// Building a list (fromEntries, read) touches nothing but its arguments, so
// it may run on any thread; the list is then moved to where it is used.
class BanList
{
public:
    // The most bans a list holds: the sections bans.ini may have.
    static constexpr size_t MaxBans = BansFileLayout::MaxEntries;
    // Warnings about single sections, at most; the rest are counted.
    static constexpr int MaxSectionWarnings = 20;

    // A list read from bans.ini, with what was said about the file.
    struct Loaded;

    // A section whose name is no pilot ID or address is left out and
    // reported; one whose expiry cannot be read is kept without an end and
    // reported.
    static Loaded fromEntries(const std::vector<BansFileLayout::Entry> &entries);
    // Reads the file at `path`; a missing file holds no bans. A file that
    // cannot be read or is over the limits gives no list, and a warning
    // that names the file and says why.
    static Loaded read(const std::string &path);

    BanList() = default;
    // At most MaxBans; any beyond are left out.
    explicit BanList(std::vector<Ban> bans);
    void set(std::vector<Ban> bans) { *this = BanList(std::move(bans)); }
    const std::vector<Ban> &bans() const { return m_bans; }

    // The first ban in file order in force at `wallSeconds` that covers the
    // pilot ID or the address, or null.
    const Ban *covering(qint32 pilotId, const Endpoint &address, qint64 wallSeconds) const;
    int countInForce(qint64 wallSeconds) const;

private:
    struct PrefixTable {
        int bits = 0;
        QHash<Endpoint, qint32> firstBan; // by network: the first ban of it
    };

    std::vector<Ban> m_bans;
    // For each ban, the next one (in file order) of the same pilot ID or
    // network; -1 for none.
    std::vector<qint32> m_nextOfSameTarget;
    QHash<qint32, qint32> m_firstByPilotId;
    std::vector<PrefixTable> m_prefixTables; // only the lengths in use
    std::vector<qint64> m_expiriesSorted;
    int m_withoutEnd = 0;
};

struct BanList::Loaded {
    BansFileLayout::FileStatus status = BansFileLayout::FileStatus::Unreadable;
    BanList list;
    QStringList warnings; // sections left out, expiries not understood, why the file was not taken
    // Whether the file gave a list: it held one, or there was none.
    bool taken() const
    {
        return status == BansFileLayout::FileStatus::Ok || status == BansFileLayout::FileStatus::Missing;
    }
};
