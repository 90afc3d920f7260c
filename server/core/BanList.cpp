#include "BanList.h"

#include "SettingsText.h"

#include <algorithm>
#include <array>

namespace {

constexpr int Ipv4Offset = 96; // where an IPv4 address's bits start in the 128-bit form

bool allDigits(QStringView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

QString fromSettings(const std::string &bytes)
{
    return QString::fromStdString(settingsTextAsUtf8(bytes));
}

} // namespace

std::optional<BanTarget> BanTarget::fromText(QStringView text)
{
    BanTarget target;
    const QStringView digits = text.startsWith(QLatin1Char('-')) ? text.mid(1) : text;
    if (allDigits(digits)) {
        bool inRange = false;
        target.m_pilotId = text.toInt(&inRange);
        target.m_isPilotId = inRange;
        return inRange ? std::optional(target) : std::nullopt;
    }
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    const QStringView address = slash < 0 ? text : text.left(slash);
    // Endpoint also reads "a.b.c.d:port" and "[v6]:port"; a ban has no port.
    const bool dotted = address.contains(QLatin1Char('.')) && !address.contains(QLatin1Char(':'));
    if (!dotted && address.count(QLatin1Char(':')) < 2)
        return std::nullopt;
    if (address.contains(QLatin1Char('[')))
        return std::nullopt;
    const std::optional<Endpoint> endpoint = Endpoint::fromText(address);
    if (!endpoint)
        return std::nullopt;
    const int familyBits = dotted ? 32 : 128;
    int prefix = familyBits;
    if (slash >= 0) {
        const QStringView length = text.mid(slash + 1);
        if (!allDigits(length) || length.size() > 3 || length.toInt() > familyBits)
            return std::nullopt;
        prefix = length.toInt();
    }
    target.m_bits = dotted ? Ipv4Offset + prefix : prefix;
    target.m_network = endpoint->network(target.m_bits);
    return target;
}

int BanTarget::writtenBits() const
{
    // A network within the IPv4-mapped range is written as IPv4.
    const bool ipv4 = m_bits >= Ipv4Offset && m_network.isIpv4();
    return ipv4 ? m_bits - Ipv4Offset : m_bits;
}

QString BanTarget::text() const
{
    if (m_isPilotId)
        return QString::number(m_pilotId);
    const QString address = m_network.addressText();
    return m_bits == 128 ? address : address + QLatin1Char('/') + QString::number(writtenBits());
}

bool BanTarget::covers(qint32 pilotId, const Endpoint &address) const
{
    return m_isPilotId ? pilotId == m_pilotId : address.isWithin(m_network, m_bits);
}

BanList::Loaded BanList::fromEntries(const std::vector<BansFileLayout::Entry> &entries)
{
    Loaded loaded;
    loaded.status = BansFileLayout::FileStatus::Ok;
    std::vector<Ban> bans;
    bans.reserve(std::min(entries.size(), MaxBans));
    int unreported = 0;
    std::string lastReason;
    QString reason;
    const auto warn = [&](const QString &warning) {
        if (loaded.warnings.size() < MaxSectionWarnings)
            loaded.warnings.append(warning);
        else
            ++unreported;
    };
    for (const BansFileLayout::Entry &entry : entries) {
        const QString name = fromSettings(entry.target);
        const std::optional<BanTarget> target = BanTarget::fromText(name);
        if (!target) {
            warn(QStringLiteral("bans.ini: [") + name + QStringLiteral("] names no pilot ID and no address; it is left out"));
            continue;
        }
        if (entry.expiresUnreadable)
            warn(QStringLiteral("bans.ini: the expiry of [") + name
                 + QStringLiteral("] is not a time such as 2026-12-07T10:00:00Z; the ban holds until it is lifted"));
        // Long lists tend to give many bans one reason: they share its text.
        if (bans.empty() || entry.reason != lastReason)
            reason = fromSettings(entry.reason);
        lastReason = entry.reason;
        bans.push_back(Ban{*target, reason, entry.expires});
    }
    if (unreported > 0)
        loaded.warnings.append(QStringLiteral("bans.ini: %1 more sections like these").arg(unreported));
    loaded.list = BanList(std::move(bans));
    return loaded;
}

BanList::Loaded BanList::read(const std::string &path)
{
    BansFileLayout::ReadResult file = BansFileLayout::read(path);
    if (file.status == BansFileLayout::FileStatus::Ok)
        return fromEntries(file.entries);
    Loaded loaded;
    loaded.status = file.status;
    if (!loaded.taken())
        loaded.warnings.append(QString::fromStdString(path) + QStringLiteral(" cannot be read (")
                               + QString::fromStdString(file.problem) + QLatin1Char(')'));
    return loaded;
}

BanList::BanList(std::vector<Ban> bans) : m_bans(std::move(bans))
{
    if (m_bans.size() > MaxBans)
        m_bans.resize(MaxBans);
    m_nextOfSameTarget.assign(m_bans.size(), -1);
    std::array<int, 129> tableOfBits;
    tableOfBits.fill(-1);
    // Backwards, so that each chain runs in file order from its first ban.
    for (qint32 index = qint32(m_bans.size()) - 1; index >= 0; --index) {
        const Ban &ban = m_bans[size_t(index)];
        qint32 *first = nullptr;
        if (ban.target.isPilotId()) {
            auto byId = m_firstByPilotId.find(ban.target.pilotId());
            if (byId == m_firstByPilotId.end())
                byId = m_firstByPilotId.insert(ban.target.pilotId(), -1);
            first = &byId.value();
        } else {
            int &table = tableOfBits[size_t(ban.target.bits())];
            if (table < 0) {
                table = int(m_prefixTables.size());
                m_prefixTables.push_back(PrefixTable{ban.target.bits(), {}});
            }
            QHash<Endpoint, qint32> &firstBan = m_prefixTables[size_t(table)].firstBan;
            auto byNetwork = firstBan.find(ban.target.network());
            if (byNetwork == firstBan.end())
                byNetwork = firstBan.insert(ban.target.network(), -1);
            first = &byNetwork.value();
        }
        m_nextOfSameTarget[size_t(index)] = *first;
        *first = index;
        if (ban.expiresAt)
            m_expiriesSorted.push_back(*ban.expiresAt);
        else
            ++m_withoutEnd;
    }
    std::sort(m_expiriesSorted.begin(), m_expiriesSorted.end());
}

const Ban *BanList::covering(qint32 pilotId, const Endpoint &address, qint64 wallSeconds) const
{
    qint32 found = -1;
    // The first ban in force of a chain, if it comes before the one found.
    const auto consider = [&](qint32 index) {
        for (; index >= 0 && (found < 0 || index < found); index = m_nextOfSameTarget[size_t(index)]) {
            if (m_bans[size_t(index)].inForceAt(wallSeconds)) {
                found = index;
                return;
            }
        }
    };
    if (const auto byId = m_firstByPilotId.constFind(pilotId); byId != m_firstByPilotId.cend())
        consider(*byId);
    for (const PrefixTable &table : m_prefixTables) {
        const auto byNetwork = table.firstBan.constFind(address.network(table.bits));
        if (byNetwork != table.firstBan.cend())
            consider(*byNetwork);
    }
    return found < 0 ? nullptr : &m_bans[size_t(found)];
}

int BanList::countInForce(qint64 wallSeconds) const
{
    const auto ended = std::upper_bound(m_expiriesSorted.begin(), m_expiriesSorted.end(), wallSeconds);
    return m_withoutEnd + int(m_expiriesSorted.end() - ended);
}
