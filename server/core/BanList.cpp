#include "BanList.h"

#include "SettingsText.h"

#include <algorithm>

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

QString BanTarget::text() const
{
    if (m_isPilotId)
        return QString::number(m_pilotId);
    // A network within the IPv4-mapped range is written as IPv4.
    const bool ipv4 = m_bits >= Ipv4Offset && m_network.isIpv4();
    const int prefix = ipv4 ? m_bits - Ipv4Offset : m_bits;
    const QString address = m_network.addressText();
    return m_bits == 128 ? address : address + QLatin1Char('/') + QString::number(prefix);
}

bool BanTarget::covers(qint32 pilotId, const Endpoint &address) const
{
    return m_isPilotId ? pilotId == m_pilotId : address.isWithin(m_network, m_bits);
}

BanList::Loaded BanList::fromEntries(const std::vector<BansFileLayout::Entry> &entries)
{
    Loaded loaded;
    loaded.readable = true;
    for (const BansFileLayout::Entry &entry : entries) {
        const QString name = fromSettings(entry.target);
        const std::optional<BanTarget> target = BanTarget::fromText(name);
        if (!target) {
            loaded.warnings.append(QStringLiteral("bans.ini: [%1] names no pilot ID and no address; it is left out")
                                       .arg(name));
            continue;
        }
        if (entry.expiresUnreadable)
            loaded.warnings.append(QStringLiteral("bans.ini: the expiry of [%1] is not a time such as "
                                                  "2026-12-07T10:00:00Z; the ban holds until it is lifted")
                                       .arg(name));
        loaded.bans.push_back(Ban{*target, fromSettings(entry.reason), entry.expires});
    }
    return loaded;
}

BanList::Loaded BanList::read(const std::string &path)
{
    const BansFileLayout::ReadResult file = BansFileLayout::read(path);
    if (file.status == BansFileLayout::FileStatus::Unreadable) {
        Loaded unreadable;
        unreadable.warnings.append(QStringLiteral("%1 cannot be read").arg(QString::fromStdString(path)));
        return unreadable;
    }
    return fromEntries(file.entries);
}

const Ban *BanList::covering(qint32 pilotId, const Endpoint &address, qint64 wallSeconds) const
{
    for (const Ban &ban : m_bans) {
        if (ban.inForceAt(wallSeconds) && ban.target.covers(pilotId, address))
            return &ban;
    }
    return nullptr;
}

int BanList::countInForce(qint64 wallSeconds) const
{
    return int(std::count_if(m_bans.begin(), m_bans.end(), [&](const Ban &ban) { return ban.inForceAt(wallSeconds); }));
}
