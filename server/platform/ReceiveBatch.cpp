#include "ReceiveBatch.h"

#include <cstring>

namespace {

// The kernel's receive time of a datagram, in nanoseconds of the
// real-time clock; 0 when it attached none.
qint64 arrivalTimeOf(const msghdr &header)
{
    auto *message = const_cast<msghdr *>(&header);
    for (cmsghdr *part = CMSG_FIRSTHDR(message); part; part = CMSG_NXTHDR(message, part)) {
        if (part->cmsg_level != SOL_SOCKET)
            continue;
        if (part->cmsg_type == SCM_TIMESTAMPNS) {
            timespec time {};
            std::memcpy(&time, CMSG_DATA(part), sizeof time);
            return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
        }
        if (part->cmsg_type == SCM_TIMESTAMP) {
            timeval time {};
            std::memcpy(&time, CMSG_DATA(part), sizeof time);
            return qint64(time.tv_sec) * 1'000'000'000 + qint64(time.tv_usec) * 1000;
        }
    }
    return 0;
}

} // namespace

int ReceiveBatch::receive(int fd)
{
    for (int i = 0; i < Size; ++i) {
        m_parts[size_t(i)] = iovec{buffer(i), DatagramBufferBytes};
        msghdr &header = m_messages[size_t(i)].msg_hdr;
        header.msg_name = &m_senders[size_t(i)];
        header.msg_namelen = sizeof(sockaddr_in6);
        header.msg_iov = &m_parts[size_t(i)];
        header.msg_iovlen = 1;
        header.msg_control = m_controls[size_t(i)].data();
        header.msg_controllen = ControlBytes;
        header.msg_flags = 0;
    }
    return ::recvmmsg(fd, m_messages.data(), Size, MSG_TRUNC, nullptr);
}

ReceiveBatch::Datagram ReceiveBatch::datagram(int index) const
{
    const mmsghdr &message = m_messages[size_t(index)];
    const bool oversized = message.msg_len > DatagramBufferBytes;
    return Datagram{buffer(index), oversized ? 0 : qsizetype(message.msg_len), oversized, reinterpret_cast<const sockaddr *>(&m_senders[size_t(index)]),
                    message.msg_hdr.msg_namelen, arrivalTimeOf(message.msg_hdr)};
}
