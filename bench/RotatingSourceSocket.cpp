#include "RotatingSourceSocket.h"

#include "Packet.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef IPV6_FREEBIND
#define IPV6_FREEBIND 78
#endif

namespace {

constexpr qint64 Millisecond = 1'000'000;

qint32 typeOf(const char *bytes)
{
    qint32 type = 0;
    std::memcpy(&type, bytes + Packet::PacketTypeAt, sizeof type); // little-endian, as this machine
    return type;
}

} // namespace

RotatingSourceSocket::RotatingSourceSocket(bool ipv6, quint16 replyPort, quint16 serverPort)
    : m_ipv6(ipv6), m_serverPort(serverPort)
{
    m_fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (ipv6)
        ::setsockopt(m_fd, SOL_IPV6, IPV6_FREEBIND, &on, sizeof on);
    sockaddr_storage local {};
    socklen_t length = sizeof(sockaddr_in);
    if (ipv6) {
        auto *address = reinterpret_cast<sockaddr_in6 *>(&local);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(replyPort);
        length = sizeof(sockaddr_in6);
    } else {
        auto *address = reinterpret_cast<sockaddr_in *>(&local);
        address->sin_family = AF_INET;
        address->sin_port = htons(replyPort);
    }
    m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), length) == 0;
}

RotatingSourceSocket::~RotatingSourceSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void RotatingSourceSocket::send(int index, const QByteArray &record)
{
    iovec part{const_cast<char *>(record.constData()), size_t(record.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    sockaddr_in to4 {};
    sockaddr_in6 to6 {};
    cmsghdr *header = reinterpret_cast<cmsghdr *>(control);
    if (m_ipv6) {
        to6.sin6_family = AF_INET6;
        to6.sin6_port = htons(m_serverPort);
        to6.sin6_addr = in6addr_loopback;
        in6_pktinfo from {};
        ::inet_pton(AF_INET6, "2001:db8:ab::1", &from.ipi6_addr);
        from.ipi6_addr.s6_addr[6] = quint8(index >> 8);
        from.ipi6_addr.s6_addr[7] = quint8(index);
        *header = cmsghdr{CMSG_LEN(sizeof from), IPPROTO_IPV6, IPV6_PKTINFO};
        std::memcpy(CMSG_DATA(header), &from, sizeof from);
        message.msg_name = &to6;
        message.msg_namelen = sizeof to6;
        message.msg_controllen = CMSG_SPACE(sizeof from);
    } else {
        to4.sin_family = AF_INET;
        to4.sin_port = htons(m_serverPort);
        to4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in_pktinfo from {};
        from.ipi_spec_dst.s_addr = htonl(quint32(127) << 24 | quint32(1 + index / 62500) << 16
                                         | quint32(index / 250 % 250) << 8 | quint32(2 + index % 250));
        *header = cmsghdr{CMSG_LEN(sizeof from), IPPROTO_IP, IP_PKTINFO};
        std::memcpy(CMSG_DATA(header), &from, sizeof from);
        message.msg_name = &to4;
        message.msg_namelen = sizeof to4;
        message.msg_controllen = CMSG_SPACE(sizeof from);
    }
    ::sendmsg(m_fd, &message, 0);
}

qint32 RotatingSourceSocket::receive(qint64 timeoutNs)
{
    pollfd ready{m_fd, POLLIN, 0};
    char bytes[Packet::Size];
    if (::recv(m_fd, bytes, sizeof bytes, 0) == Packet::Size)
        return typeOf(bytes);
    if (::poll(&ready, 1, int(timeoutNs / Millisecond)) <= 0)
        return 0;
    return ::recv(m_fd, bytes, sizeof bytes, 0) == Packet::Size ? typeOf(bytes) : 0;
}
