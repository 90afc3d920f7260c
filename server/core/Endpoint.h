#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// An address and a UDP port: where a datagram came from or where a record
// goes. Kept binary from the socket to the registry and back; text is made
// only for people (the log, the status, the screen) by text() and
// addressText().
//
// Both families share one form, the one a dual-stack socket reports: an IPv4
// address is held as its IPv4-mapped IPv6 address (::ffff:a.b.c.d), and is
// still an IPv4 address everywhere it shows (isIpv4(), "a.b.c.d").
class Endpoint
{
public:
    using Bytes = std::array<quint8, 16>;

    // The unspecified address (::), port 0.
    Endpoint() = default;
    // `address` in host byte order (127.0.0.1 is 0x7F000001).
    static Endpoint fromIpv4(quint32 address, quint16 port = 0);
    // An IPv4-mapped address gives the IPv4 endpoint.
    static Endpoint fromIpv6(const Bytes &address, quint16 port = 0);
    // "a.b.c.d", "a.b.c.d:port", an IPv6 address, or "[IPv6]:port". Strict:
    // no host names, nothing around it, dotted quads as inet_pton reads them.
    static std::optional<Endpoint> fromText(QStringView text);

    bool isIpv4() const;
    // The IPv4 address in host byte order; 0 for an IPv6 endpoint.
    quint32 ipv4() const;
    const Bytes &address() const { return m_address; }
    quint16 port() const { return m_port; }
    Endpoint withPort(quint16 port) const;

    // fe80::/10: such a sender can only be answered with the interface it
    // came in on, which an address alone does not say.
    bool isLinkLocal() const;

    // The network of the first `bits` bits of the 128-bit form (an IPv4
    // address's own bits start at 96), port 0. `bits` is clamped to 0..128.
    Endpoint network(int bits) const;
    bool isWithin(const Endpoint &network, int bits) const;
    // The unit the logon throttle counts: an IPv4 address, or an IPv6 /64
    // (one customer's network, as ISPs hand them out).
    Endpoint throttleUnit() const;

    // "a.b.c.d" or the RFC 5952 text of an IPv6 address ("2001:db8::1").
    QString addressText() const;
    // With the port: "a.b.c.d:port" or "[2001:db8::1]:port".
    QString text() const;

    friend bool operator==(const Endpoint &a, const Endpoint &b)
    {
        return a.m_port == b.m_port && a.m_address == b.m_address;
    }
    friend bool operator!=(const Endpoint &a, const Endpoint &b) { return !(a == b); }
    friend size_t qHash(const Endpoint &endpoint, size_t seed = 0)
    {
        return qHashMulti(seed, qHashBits(endpoint.m_address.data(), endpoint.m_address.size()), endpoint.m_port);
    }

private:
    Bytes m_address {};
    quint16 m_port = 0;
};
