#include "Endpoint.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

constexpr int MappedPrefixBytes = 12;
constexpr Endpoint::Bytes MappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

std::optional<quint16> portOf(QStringView text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port > 65535 || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return quint16(port);
}

} // namespace

Endpoint Endpoint::fromIpv4(quint32 address, quint16 port)
{
    Endpoint endpoint;
    endpoint.m_address = MappedPrefix;
    for (int i = 0; i < 4; ++i)
        endpoint.m_address[size_t(MappedPrefixBytes + i)] = quint8(address >> (24 - 8 * i));
    endpoint.m_port = port;
    return endpoint;
}

Endpoint Endpoint::fromIpv6(const Bytes &address, quint16 port)
{
    Endpoint endpoint;
    endpoint.m_address = address;
    endpoint.m_port = port;
    return endpoint;
}

std::optional<Endpoint> Endpoint::fromText(QStringView text)
{
    QStringView host = text;
    std::optional<quint16> port = 0;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1String("]:"));
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        port = portOf(text.mid(close + 2));
        if (host.contains(QLatin1Char('.')) && !host.contains(QLatin1Char(':')))
            return std::nullopt;
    } else if (text.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        host = text.left(colon);
        port = portOf(text.mid(colon + 1));
    }
    if (!port || host.isEmpty() || host.size() > 45)
        return std::nullopt;
    const QByteArray latin = host.toLatin1();
    Bytes bytes {};
    if (::inet_pton(AF_INET, latin.constData(), bytes.data() + MappedPrefixBytes) == 1 && !text.startsWith(QLatin1Char('['))) {
        std::memcpy(bytes.data(), MappedPrefix.data(), MappedPrefixBytes);
        return fromIpv6(bytes, *port);
    }
    if (::inet_pton(AF_INET6, latin.constData(), bytes.data()) == 1)
        return fromIpv6(bytes, *port);
    return std::nullopt;
}

bool Endpoint::isIpv4() const
{
    return std::memcmp(m_address.data(), MappedPrefix.data(), MappedPrefixBytes) == 0;
}

quint32 Endpoint::ipv4() const
{
    if (!isIpv4())
        return 0;
    quint32 address = 0;
    for (int i = 0; i < 4; ++i)
        address = address << 8 | m_address[size_t(MappedPrefixBytes + i)];
    return address;
}

Endpoint Endpoint::withPort(quint16 port) const
{
    Endpoint endpoint = *this;
    endpoint.m_port = port;
    return endpoint;
}

bool Endpoint::isLinkLocal() const
{
    return m_address[0] == 0xFE && (m_address[1] & 0xC0) == 0x80;
}

Endpoint Endpoint::network(int bits) const
{
    bits = qBound(0, bits, 128);
    Endpoint network;
    for (int i = 0; i < 16; ++i) {
        const int kept = qBound(0, bits - 8 * i, 8);
        network.m_address[size_t(i)] = quint8(m_address[size_t(i)] & (0xFF00 >> kept));
    }
    return network;
}

bool Endpoint::isWithin(const Endpoint &network, int bits) const
{
    return this->network(bits).m_address == network.network(bits).m_address;
}

Endpoint Endpoint::throttleUnit() const
{
    return network(isIpv4() ? 128 : 64);
}

QString Endpoint::addressText() const
{
    char text[INET6_ADDRSTRLEN] = {};
    const bool written = isIpv4() ? ::inet_ntop(AF_INET, m_address.data() + MappedPrefixBytes, text, sizeof text)
                                  : ::inet_ntop(AF_INET6, m_address.data(), text, sizeof text);
    return written ? QString::fromLatin1(text) : QString();
}

QString Endpoint::text() const
{
    const QString address = addressText();
    return (isIpv4() ? address : QLatin1Char('[') + address + QLatin1Char(']')) + QLatin1Char(':')
        + QString::number(m_port);
}
