#include "SendBatch.h"

#include <QRandomGenerator>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <netinet/udp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Open addressing, never more than half full.
constexpr int TableBits = 13;
constexpr int TableSize = 1 << TableBits;
static_assert(TableSize >= 2 * SendBatch::Capacity);

// Where an address goes in the table: its bytes (all of a sockaddr_in6, or
// a sockaddr_in and zeros) mixed with a seed chosen per process, so senders
// cannot choose addresses that pile up in one place. Cheap, since it runs
// for every datagram.
size_t tableSlot(const sockaddr_in6 &key, quint64 seed)
{
    static_assert(sizeof key == 28);
    quint64 words[4] = {};
    std::memcpy(words, &key, sizeof key);
    constexpr quint64 Odd = 0x9E3779B97F4A7C15ull;
    quint64 mixed = seed;
    for (const quint64 word : words)
        mixed = (mixed ^ word) * Odd;
    return size_t(mixed >> (64 - TableBits));
}

bool sendBufferFull(int errorNumber)
{
    return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == ENOBUFS;
}

// What the system answers to a grouped message it will not take: it does
// not know the option, the route's device cannot cut the segments, or the
// message holds more of them than it allows.
bool groupingRefusal(int errorNumber)
{
    return errorNumber == EINVAL || errorNumber == EOPNOTSUPP || errorNumber == ENOPROTOOPT || errorNumber == EIO
        || errorNumber == EMSGSIZE;
}

// The control message that has a message cut into 128-byte datagrams.
template<size_t Size>
void writeSegmentControl(char (&buffer)[Size])
{
    static_assert(Size >= CMSG_SPACE(sizeof(quint16)));
    cmsghdr *control = reinterpret_cast<cmsghdr *>(buffer);
    control->cmsg_level = SOL_UDP;
    control->cmsg_type = UDP_SEGMENT;
    control->cmsg_len = CMSG_LEN(sizeof(quint16));
    const quint16 segmentSize = SendBatch::RecordBytes;
    std::memcpy(CMSG_DATA(control), &segmentSize, sizeof segmentSize);
}

// Sends one grouped message of `segments` records to a socket of its own on
// loopback: whether the system takes that many in one message.
bool groupedMessageReachesLoopback(int segments)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in self {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t selfLength = sizeof self;
    bool reached = false;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&self), sizeof self) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&self), &selfLength) == 0) {
        std::vector<char> records(size_t(segments) * SendBatch::RecordBytes);
        iovec part {records.data(), records.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(quint16))] {};
        writeSegmentControl(control);
        msghdr message {};
        message.msg_name = &self;
        message.msg_namelen = selfLength;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        reached = ::sendmsg(fd, &message, 0) == ssize_t(records.size());
    }
    ::close(fd);
    return reached;
}

} // namespace

bool SendBatch::descriptorGone(int errorNumber)
{
    return errorNumber == EBADF || errorNumber == ENOTSOCK;
}

SendBatch::SendBatch(Transport &transport)
    : m_transport(transport), m_seed(QRandomGenerator::system()->generate64()),
      m_bytes(std::make_unique_for_overwrite<char[]>(size_t(Capacity) * RecordBytes)), m_records(Capacity),
      m_destinations(Capacity), m_table(TableSize, -1), m_parts(Capacity), m_partRecords(Capacity),
      m_messages(Capacity), m_messageStates(Capacity)
{
    writeSegmentControl(m_segmentControl);
}

void SendBatch::setSegmentLimit(int segments)
{
    m_segmentLimit = qBound(1, segments, MostSegments);
}

void SendBatch::add(const sockaddr_in6 &to, socklen_t toLength, const char *data, qsizetype size,
                    Sender::WhenFull whenFull)
{
    if (m_count == Capacity)
        flush();
    const int index = m_count++;
    Record &record = m_records[size_t(index)];
    record.toLength = qMin(toLength, socklen_t(sizeof record.to));
    record.to = sockaddr_in6{};
    std::memcpy(&record.to, &to, record.toLength);
    record.size = qMax<qsizetype>(0, size);
    record.whenFull = whenFull;
    record.large = -1;
    if (record.size <= RecordBytes) {
        std::memcpy(m_bytes.get() + size_t(index) * RecordBytes, data, size_t(record.size));
    } else {
        record.large = int(m_large.size());
        m_large.emplace_back(data, record.size);
    }
}

const char *SendBatch::dataOf(int record) const
{
    const Record &held = m_records[size_t(record)];
    return held.large < 0 ? m_bytes.get() + size_t(record) * RecordBytes : m_large[size_t(held.large)].constData();
}

// Links each destination's records in the order given. Without grouping
// every record is a destination of its own, in the order given.
void SendBatch::chainByDestination()
{
    for (int index = 0; index < m_count; ++index) {
        Record &record = m_records[size_t(index)];
        record.next = -1;
        if (m_segmentLimit > 1) {
            // A relay goes to every player in the same order, so the
            // destination after the previous record's is the likely one.
            const int likely = index > 0 ? m_records[size_t(index - 1)].destination + 1 : 0;
            const bool hit = likely < m_destinationCount
                && sameDestination(m_records[size_t(m_destinations[size_t(likely)].first)], record);
            record.destination = hit ? likely : destinationOf(record);
        } else {
            record.destination = m_destinationCount++;
            m_destinations[size_t(record.destination)] = Destination{};
        }
        Destination &destination = m_destinations[size_t(record.destination)];
        if (destination.first < 0)
            destination.first = index;
        else
            m_records[size_t(destination.last)].next = index;
        destination.last = index;
    }
}

bool SendBatch::sameDestination(const Record &a, const Record &b)
{
    return a.toLength == b.toLength && std::memcmp(&a.to, &b.to, sizeof a.to) == 0;
}

// The index of the record's destination, added when it is new.
int SendBatch::destinationOf(const Record &record)
{
    size_t slot = tableSlot(record.to, m_seed);
    for (;; slot = (slot + 1) & size_t(TableSize - 1)) {
        const int found = m_table[slot];
        if (found < 0)
            break;
        if (sameDestination(m_records[size_t(m_destinations[size_t(found)].first)], record))
            return found;
    }
    const int index = m_destinationCount++;
    m_table[slot] = index;
    m_destinations[size_t(index)] = Destination{-1, -1, int(slot)};
    return index;
}

int SendBatch::flush()
{
    if (m_count == 0)
        return 0;
    m_roomBudgetMs = RoomWaitMs;
    chainByDestination();
    lineUp();
    group(0, 0, m_segmentLimit);
    int unsent = 0;
    int next = 0;
    // The first record of a grouped message the system refused, now going
    // on its own: if it goes, the grouping was what the system refused.
    int suspectPart = -1;
    int suspectError = 0;
    while (next < m_messageCount) {
        if (headOf(m_messageStates[size_t(next)]).whenFull == Sender::WhenFull::DropFirst
            && !m_transport.hasRoomToSpare()) {
            unsent += giveUp(m_messageStates[size_t(next++)], ENOBUFS);
            continue;
        }
        const int sent = m_transport.sendMany(&m_messages[size_t(next)], unsigned(sendableRun(next)));
        if (sent > 0) {
            if (m_messageStates[size_t(next)].firstPart == suspectPart && m_segmentLimit > 1) {
                m_segmentLimit = 1;
                if (m_groupingRefused)
                    m_groupingRefused(suspectError);
            }
            suspectPart = -1;
            next += sent;
            continue;
        }
        const int errorNumber = sent < 0 ? errno : EIO;
        Message &message = m_messageStates[size_t(next)];
        if (message.parts > 1 && groupingRefusal(errorNumber)) {
            suspectPart = message.firstPart;
            suspectError = errorNumber;
            group(message.firstPart, next, 1);
            continue;
        }
        switch (afterRefusal(message, errorNumber)) {
        case Outcome::Retry:
            break;
        case Outcome::GiveUp:
            suspectPart = -1; // the destination was refused, not the grouping
            unsent += giveUp(m_messageStates[size_t(next++)], errorNumber);
            break;
        case Outcome::GiveUpAll:
            for (; next < m_messageCount; ++next)
                unsent += giveUp(m_messageStates[size_t(next)], errorNumber);
            break;
        }
    }
    forget();
    return unsent;
}

// How many messages from `first` on go in one call: up to the next that may
// be dropped first, which goes alone once the buffer's room is known.
int SendBatch::sendableRun(int first) const
{
    if (headOf(m_messageStates[size_t(first)]).whenFull == Sender::WhenFull::DropFirst)
        return 1;
    int end = first + 1;
    while (end < m_messageCount && headOf(m_messageStates[size_t(end)]).whenFull != Sender::WhenFull::DropFirst)
        ++end;
    return end - first;
}

// One part per record: destination by destination, each one's in the order
// given.
void SendBatch::lineUp()
{
    int part = 0;
    for (int destination = 0; destination < m_destinationCount; ++destination) {
        int record = m_destinations[size_t(destination)].first;
        while (record >= 0) {
            const Record &held = m_records[size_t(record)];
            m_parts[size_t(part)] = iovec{const_cast<char *>(dataOf(record)), size_t(held.size)};
            m_partRecords[size_t(part++)] = record;
            record = held.next;
        }
    }
}

// The messages over the parts from firstPart on, written from firstMessage
// on: up to `segments` consecutive 128-byte records of one destination and
// one kind (what becomes of them when the buffer is full) in each.
void SendBatch::group(int firstPart, int firstMessage, int segments)
{
    int index = firstMessage;
    for (int part = firstPart; part < m_count; ++index) {
        Record &head = m_records[size_t(m_partRecords[size_t(part)])];
        int parts = 1;
        if (head.size == RecordBytes) {
            while (parts < segments && part + parts < m_count) {
                const Record &record = m_records[size_t(m_partRecords[size_t(part + parts)])];
                if (record.destination != head.destination || record.size != RecordBytes
                    || record.whenFull != head.whenFull)
                    break;
                ++parts;
            }
        }
        msghdr &header = m_messages[size_t(index)].msg_hdr;
        header = msghdr{};
        header.msg_name = &head.to;
        header.msg_namelen = head.toLength;
        header.msg_iov = &m_parts[size_t(part)];
        header.msg_iovlen = size_t(parts);
        if (parts > 1) {
            header.msg_control = m_segmentControl;
            header.msg_controllen = sizeof m_segmentControl;
        }
        m_messageStates[size_t(index)] = Message{part, parts, false};
        part += parts;
    }
    m_messageCount = index;
}

SendBatch::Outcome SendBatch::afterRefusal(Message &message, int errorNumber)
{
    if (errorNumber == EINTR)
        return Outcome::Retry;
    if (errorNumber == ECONNREFUSED && !message.retriedStaleError) {
        message.retriedStaleError = true;
        return Outcome::Retry;
    }
    if (descriptorGone(errorNumber))
        return Outcome::GiveUpAll;
    const bool droppable = headOf(message).whenFull != Sender::WhenFull::WaitForRoom;
    if (sendBufferFull(errorNumber) && !droppable && m_roomBudgetMs > 0) {
        // At least a millisecond a round: a socket that reports room it
        // does not have cannot keep the flush going.
        m_roomBudgetMs -= std::max(1, m_transport.waitForRoom(std::min(RoomWaitSliceMs, m_roomBudgetMs)));
        return Outcome::Retry;
    }
    return Outcome::GiveUp;
}

int SendBatch::giveUp(const Message &message, int errorNumber)
{
    m_lastErrorNumber = errorNumber;
    if (m_unsent) {
        for (int part = message.firstPart; part < message.firstPart + message.parts; ++part) {
            const int record = m_partRecords[size_t(part)];
            m_unsent(dataOf(record), m_records[size_t(record)].size, errorNumber);
        }
    }
    return message.parts;
}

void SendBatch::forget()
{
    for (int destination = 0; destination < m_destinationCount; ++destination) {
        const int slot = m_destinations[size_t(destination)].tableSlot;
        if (slot >= 0)
            m_table[size_t(slot)] = -1;
    }
    m_destinationCount = 0;
    m_messageCount = 0;
    m_count = 0;
    m_large.clear();
}

int SendBatch::SocketTransport::sendMany(mmsghdr *messages, unsigned count)
{
    return ::sendmmsg(m_fd, messages, count, MSG_NOSIGNAL);
}

int SendBatch::SocketTransport::waitForRoom(int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    pollfd entry {m_fd, POLLOUT, 0};
    ::poll(&entry, 1, timeoutMs);
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

bool SendBatch::SocketTransport::hasRoomToSpare()
{
    int queued = 0;
    int buffer = 0;
    socklen_t length = sizeof buffer;
    if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0 || ::getsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &buffer, &length) != 0)
        return true;
    return queued < buffer / 2;
}

int SendBatch::SocketTransport::segmentLimit() const
{
    // Setting the socket's default segment size to 0 (none) changes nothing
    // but tells whether the system knows the option at all; one that does not
    // would ignore the control message.
    const int none = 0;
    if (m_fd < 0 || ::setsockopt(m_fd, SOL_UDP, UDP_SEGMENT, &none, sizeof none) != 0)
        return 1;
    return groupedMessageReachesLoopback(MostSegments) ? MostSegments : SafeSegments;
}
