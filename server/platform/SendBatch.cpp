#include "SendBatch.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace {

bool sendBufferFull(int errorNumber)
{
    return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == ENOBUFS;
}

} // namespace

bool SendBatch::descriptorGone(int errorNumber)
{
    return errorNumber == EBADF || errorNumber == ENOTSOCK;
}

void SendBatch::add(const sockaddr_in6 &to, socklen_t toLength, const char *data, qsizetype size, bool dropWhenFull)
{
    if (m_count == Capacity)
        flush();
    Slot &slot = m_slots[size_t(m_count++)];
    slot.to = to;
    slot.toLength = qMin(toLength, socklen_t(sizeof to));
    slot.size = size;
    if (size <= qsizetype(slot.inlineBytes.size())) {
        std::memcpy(slot.inlineBytes.data(), data, size_t(size));
        slot.largeBytes.clear();
    } else {
        slot.largeBytes = QByteArray(data, size);
    }
    slot.dropWhenFull = dropWhenFull;
    slot.retriedStaleError = false;
    slot.roomWaits = 0;
}

int SendBatch::flush()
{
    for (int i = 0; i < m_count; ++i) {
        Slot &slot = m_slots[size_t(i)];
        slot.part = iovec{const_cast<char *>(slot.data()), size_t(slot.size)};
        msghdr &header = m_messages[size_t(i)].msg_hdr;
        header = msghdr{};
        header.msg_name = &slot.to;
        header.msg_namelen = slot.toLength;
        header.msg_iov = &slot.part;
        header.msg_iovlen = 1;
    }
    int unsent = 0;
    int next = 0;
    while (next < m_count) {
        const int sent = m_transport.sendMany(&m_messages[size_t(next)], unsigned(m_count - next));
        if (sent > 0) {
            next += sent;
            continue;
        }
        const int errorNumber = sent < 0 ? errno : EIO;
        switch (afterRefusal(m_slots[size_t(next)], errorNumber)) {
        case Outcome::Retry:
            break;
        case Outcome::GiveUp:
            giveUp(m_slots[size_t(next++)], errorNumber);
            ++unsent;
            break;
        case Outcome::GiveUpAll:
            for (; next < m_count; ++next, ++unsent)
                giveUp(m_slots[size_t(next)], errorNumber);
            break;
        }
    }
    m_count = 0;
    return unsent;
}

SendBatch::Outcome SendBatch::afterRefusal(Slot &slot, int errorNumber)
{
    if (errorNumber == EINTR)
        return Outcome::Retry;
    if (errorNumber == ECONNREFUSED && !slot.retriedStaleError) {
        slot.retriedStaleError = true;
        return Outcome::Retry;
    }
    if (descriptorGone(errorNumber))
        return Outcome::GiveUpAll;
    if (sendBufferFull(errorNumber) && !slot.dropWhenFull && slot.roomWaits < RoomWaitRounds) {
        ++slot.roomWaits;
        m_transport.waitForRoom(RoomWaitMs / RoomWaitRounds);
        return Outcome::Retry;
    }
    return Outcome::GiveUp;
}

void SendBatch::giveUp(const Slot &slot, int errorNumber)
{
    m_lastErrorNumber = errorNumber;
    if (m_unsent)
        m_unsent(slot.data(), slot.size, errorNumber);
}

int SendBatch::SocketTransport::sendMany(mmsghdr *messages, unsigned count)
{
    return ::sendmmsg(m_fd, messages, count, MSG_NOSIGNAL);
}

void SendBatch::SocketTransport::waitForRoom(int timeoutMs)
{
    pollfd entry {m_fd, POLLOUT, 0};
    ::poll(&entry, 1, timeoutMs);
}
