#include "ReceiveBatch.h"

#include <cstring>

namespace {

struct Ancillary {
    qint64 arrivalNs = 0;
    bool cameAsIpv4 = false;
};

// The kernel's receive time of a datagram, in nanoseconds of the real-time
// clock (0 when it attached none), and whether it came in an IPv4 packet:
// on a dual-stack socket only those carry IP_PKTINFO, while an IPv6 packet
// whose source is an IPv4-mapped address looks like IPv4 by its sender alone.
Ancillary ancillaryOf(const msghdr &header)
{
    Ancillary found;
    auto *message = const_cast<msghdr *>(&header);
    for (cmsghdr *part = CMSG_FIRSTHDR(message); part; part = CMSG_NXTHDR(message, part)) {
        if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
            found.cameAsIpv4 = true;
        } else if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_TIMESTAMPNS) {
            timespec time {};
            std::memcpy(&time, CMSG_DATA(part), sizeof time);
            found.arrivalNs = qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
        } else if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_TIMESTAMP) {
            timeval time {};
            std::memcpy(&time, CMSG_DATA(part), sizeof time);
            found.arrivalNs = qint64(time.tv_sec) * 1'000'000'000 + qint64(time.tv_usec) * 1000;
        }
    }
    return found;
}

} // namespace

int ReceiveBatch::receive(int fd)
{
    for (int i = 0; i < Size; ++i) {
        m_parts[size_t(i)] = iovec{m_bytes[size_t(i)].data(), KeptBytes};
        msghdr &header = m_messages[size_t(i)].msg_hdr;
        header.msg_name = &m_senders[size_t(i)];
        header.msg_namelen = sizeof(sockaddr_in6);
        header.msg_iov = &m_parts[size_t(i)];
        header.msg_iovlen = 1;
        header.msg_control = m_controls[size_t(i)].data();
        header.msg_controllen = ControlBytes;
        header.msg_flags = 0;
    }
    // MSG_TRUNC: each length is the datagram's whole size, not what was kept.
    return ::recvmmsg(fd, m_messages.data(), Size, MSG_TRUNC, nullptr);
}

ReceiveBatch::Datagram ReceiveBatch::datagram(int index) const
{
    const mmsghdr &message = m_messages[size_t(index)];
    const Ancillary ancillary = ancillaryOf(message.msg_hdr);
    return Datagram{m_bytes[size_t(index)].data(), qsizetype(message.msg_len),
                    reinterpret_cast<const sockaddr *>(&m_senders[size_t(index)]), message.msg_hdr.msg_namelen,
                    ancillary.arrivalNs, ancillary.cameAsIpv4};
}
