// ventoro_yardstick [--gso] PORT REPLY_PORT
// ventoro_yardstick --check-gso
//
// The least a relay of 128-byte records has to do, as a yardstick for the
// server's own cost: one socket, datagrams taken in batches (recvmmsg) and
// sent in batches (sendmmsg). Every logon is accepted, every keep-alive is
// echoed, every flight record goes to every other player. No accounts, no
// log, no expiry, no event loop. Ends on SIGTERM or SIGINT.
//
// With --gso the flight records of one receive batch are grouped by
// recipient, and each recipient's records go as one UDP GSO message (one
// datagram per 128-byte segment on the recipient's side, in order); logon
// answers and keep-alive echoes go as plain datagrams. Where the kernel
// refuses segmentation, it says so once on stderr and sends plain datagrams
// for the rest of the run.
//
// --check-gso sends one segmented message to a socket of its own on
// 127.0.0.1, prints on stdout how many segments a message may carry and
// whether they arrived as separate 128-byte datagrams in order, and exits
// with 0 when they did.
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

constexpr int RecordSize = 128;
constexpr int ReceiveBatch = 64;
constexpr size_t SendBatch = 1024;
// The kernel's cap on segments per message is a build constant (64 on older
// kernels, larger on newer ones); the largest it takes is found at start-up.
constexpr std::array<int, 3> SegmentLimits{256, 128, 64};

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

std::int32_t int32At(const unsigned char *bytes, int offset)
{
    return std::int32_t(std::uint32_t(bytes[offset]) | std::uint32_t(bytes[offset + 1]) << 8
                        | std::uint32_t(bytes[offset + 2]) << 16 | std::uint32_t(bytes[offset + 3]) << 24);
}

void putInt32(unsigned char *bytes, int offset, std::int32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<unsigned char>(std::uint32_t(value) >> (8 * i));
}

// Whether a failed send of a segmented message means the kernel or the
// device does not do segmentation (as opposed to a full buffer or an
// unreachable recipient).
bool refusesSegmentation(int error)
{
    return error == EINVAL || error == EIO || error == EOPNOTSUPP || error == ENOPROTOOPT;
}

// The control message that asks for 128-byte segments; one serves every
// message of a batch.
class SegmentControl
{
public:
    SegmentControl()
    {
        cmsghdr *header = reinterpret_cast<cmsghdr *>(m_bytes.data());
        header->cmsg_level = SOL_UDP;
        header->cmsg_type = UDP_SEGMENT;
        header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const std::uint16_t size = RecordSize;
        std::memcpy(CMSG_DATA(header), &size, sizeof size);
    }

    // Makes `header` send its iovecs (`count` records) as one datagram
    // each: segmented when there are several, plain for one.
    void apply(msghdr &header, size_t count)
    {
        header.msg_control = count > 1 ? m_bytes.data() : nullptr;
        header.msg_controllen = count > 1 ? m_bytes.size() : 0;
    }

private:
    alignas(cmsghdr) std::array<unsigned char, CMSG_SPACE(sizeof(std::uint16_t))> m_bytes {};
};

struct Outgoing {
    std::array<unsigned char, RecordSize> bytes;
    sockaddr_in to;
};

class Yardstick
{
public:
    // `segmentLimit` 0: plain datagrams only.
    Yardstick(int fd, std::uint16_t replyPort, int segmentLimit)
        : m_fd(fd), m_replyPort(htons(replyPort)), m_segmentLimit(size_t(segmentLimit))
    {
        m_out.reserve(SendBatch);
    }

    void run()
    {
        std::array<std::array<unsigned char, 2048>, ReceiveBatch> buffers {};
        std::array<mmsghdr, ReceiveBatch> messages {};
        std::array<iovec, ReceiveBatch> parts {};
        std::array<sockaddr_in, ReceiveBatch> senders {};
        while (!stopRequested) {
            pollfd entry {m_fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0)
                continue;
            for (int i = 0; i < ReceiveBatch; ++i) {
                parts[i] = iovec{buffers[i].data(), buffers[i].size()};
                messages[i].msg_hdr = msghdr{};
                messages[i].msg_hdr.msg_name = &senders[i];
                messages[i].msg_hdr.msg_namelen = sizeof senders[i];
                messages[i].msg_hdr.msg_iov = &parts[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int count = ::recvmmsg(m_fd, messages.data(), ReceiveBatch, MSG_DONTWAIT, nullptr);
            for (int i = 0; i < count; ++i) {
                if (messages[i].msg_len >= unsigned(RecordSize))
                    handle(buffers[i].data(), senders[i]);
            }
            // The grouped records point into the receive buffers: they go
            // before the next receive.
            flush();
        }
    }

private:
    struct Player {
        std::uint32_t address;
        std::vector<const unsigned char *> pending; // flight records of this batch, in order
    };

    void handle(const unsigned char *record, const sockaddr_in &from)
    {
        const std::int32_t packetClass = int32At(record, 0);
        const std::int32_t type = int32At(record, 4);
        if (packetClass == 0 && type == 1001) {
            m_players.push_back({from.sin_addr.s_addr, {}});
            m_players.back().pending.reserve(ReceiveBatch);
            Outgoing &reply = queue(from.sin_addr.s_addr);
            reply.bytes.fill(0);
            putInt32(reply.bytes.data(), 4, 1002);
            putInt32(reply.bytes.data(), 16, std::int32_t(m_players.size()));
        } else if (packetClass == 0 && type == 1006) {
            std::memcpy(queue(from.sin_addr.s_addr).bytes.data(), record, RecordSize);
        } else if (packetClass == 1) {
            for (Player &player : m_players) {
                if (player.address == from.sin_addr.s_addr)
                    continue;
                if (m_segmentLimit > 0)
                    player.pending.push_back(record);
                else
                    std::memcpy(queue(player.address).bytes.data(), record, RecordSize);
            }
        }
    }

    Outgoing &queue(std::uint32_t address)
    {
        if (m_out.size() == SendBatch)
            flush();
        m_out.emplace_back();
        Outgoing &entry = m_out.back();
        entry.to = addressOf(address);
        return entry;
    }

    sockaddr_in addressOf(std::uint32_t address) const
    {
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = m_replyPort;
        to.sin_addr.s_addr = address;
        return to;
    }

    // Sends the queued datagrams and each player's grouped records: one
    // message per player and up to m_segmentLimit records. With plain
    // datagrams only, nothing is grouped and the players are not visited.
    void flush()
    {
        const bool grouping = m_segmentLimit > 0;
        size_t records = m_out.size();
        for (size_t p = 0; grouping && p < m_players.size(); ++p)
            records += m_players[p].pending.size();
        m_parts.resize(records);
        m_messages.clear();
        size_t part = 0;
        for (Outgoing &out : m_out) {
            m_parts[part] = iovec{out.bytes.data(), RecordSize};
            addMessage(&out.to, part++, 1);
        }
        if (grouping)
            addGroupedMessages(part);
        send();
        m_out.clear();
    }

    void addGroupedMessages(size_t part)
    {
        m_recipients.resize(m_players.size());
        for (size_t p = 0; p < m_players.size(); ++p) {
            std::vector<const unsigned char *> &pending = m_players[p].pending;
            if (!pending.empty())
                m_recipients[p] = addressOf(m_players[p].address);
            for (size_t first = 0; first < pending.size(); first += m_segmentLimit) {
                const size_t count = std::min(m_segmentLimit, pending.size() - first);
                for (size_t i = 0; i < count; ++i)
                    m_parts[part + i] = iovec{const_cast<unsigned char *>(pending[first + i]), RecordSize};
                addMessage(&m_recipients[p], part, count);
                part += count;
            }
            pending.clear();
        }
    }

    void addMessage(sockaddr_in *to, size_t firstPart, size_t count)
    {
        mmsghdr message {};
        message.msg_hdr.msg_name = to;
        message.msg_hdr.msg_namelen = sizeof *to;
        message.msg_hdr.msg_iov = &m_parts[firstPart];
        message.msg_hdr.msg_iovlen = count;
        m_control.apply(message.msg_hdr, count);
        m_messages.push_back(message);
    }

    void send()
    {
        size_t sent = 0;
        while (sent < m_messages.size()) {
            const int done = ::sendmmsg(m_fd, m_messages.data() + sent, unsigned(m_messages.size() - sent), 0);
            if (done > 0) {
                sent += size_t(done);
            } else if (m_messages[sent].msg_hdr.msg_iovlen > 1 && refusesSegmentation(errno)) {
                std::fprintf(stderr, "ventoro_yardstick: the kernel refuses UDP segmentation (%s); plain datagrams "
                                     "from now on\n", std::strerror(errno));
                m_segmentLimit = 0;
                unsegmentFrom(sent);
            } else {
                ++sent; // a refused datagram is skipped
            }
        }
    }

    // Splits every segmented message from `first` on into one plain
    // message per record.
    void unsegmentFrom(size_t first)
    {
        std::vector<mmsghdr> rest(m_messages.begin() + std::ptrdiff_t(first), m_messages.end());
        m_messages.resize(first);
        for (const mmsghdr &message : rest) {
            for (size_t i = 0; i < message.msg_hdr.msg_iovlen; ++i) {
                mmsghdr plain = message;
                plain.msg_hdr.msg_iov = message.msg_hdr.msg_iov + i;
                plain.msg_hdr.msg_iovlen = 1;
                m_control.apply(plain.msg_hdr, 1);
                m_messages.push_back(plain);
            }
        }
    }

    int m_fd;
    std::uint16_t m_replyPort;
    size_t m_segmentLimit;
    std::vector<Player> m_players;
    std::vector<Outgoing> m_out;
    std::vector<mmsghdr> m_messages;
    std::vector<iovec> m_parts;
    std::vector<sockaddr_in> m_recipients; // one per player, for the grouped messages
    SegmentControl m_control;
};

int udpSocket(std::uint32_t address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int receiveBuffer = 4 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Sends `count` numbered records as one segmented message from `from` to
// `to` and reads them back: "" when they arrived as `count` datagrams of
// 128 bytes in order, else what went wrong. `sendError` is the send's errno
// (0 when it went).
std::string probeSegments(int from, int to, int count, int *sendError)
{
    sockaddr_in target {};
    socklen_t length = sizeof target;
    ::getsockname(to, reinterpret_cast<sockaddr *>(&target), &length);
    std::vector<std::array<unsigned char, RecordSize>> records(static_cast<size_t>(count));
    std::vector<iovec> parts(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        records[size_t(i)].fill(0);
        putInt32(records[size_t(i)].data(), 0, i);
        parts[size_t(i)] = iovec{records[size_t(i)].data(), RecordSize};
    }
    msghdr message {};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = parts.data();
    message.msg_iovlen = parts.size();
    SegmentControl control;
    control.apply(message, parts.size());
    *sendError = ::sendmsg(from, &message, 0) < 0 ? errno : 0;
    if (*sendError != 0)
        return std::strerror(*sendError);
    std::array<unsigned char, 65536> buffer {};
    for (int i = 0; i < count; ++i) {
        pollfd entry {to, POLLIN, 0};
        if (::poll(&entry, 1, 1000) <= 0)
            return "segment " + std::to_string(i) + " did not arrive";
        const ssize_t size = ::recv(to, buffer.data(), buffer.size(), 0);
        if (size != RecordSize)
            return "a datagram of " + std::to_string(size) + " bytes arrived";
        if (int32At(buffer.data(), 0) != i)
            return "segment " + std::to_string(int32At(buffer.data(), 0)) + " arrived in place " + std::to_string(i);
    }
    return {};
}

// The most segments per message the kernel takes on loopback, checked for
// separate, ordered datagrams on arrival; 0 (with the reason in `why`)
// when segmentation cannot be used.
int segmentLimit(std::string *why)
{
    const int from = udpSocket(INADDR_LOOPBACK, 0);
    const int to = udpSocket(INADDR_LOOPBACK, 0);
    int limit = 0;
    *why = from < 0 || to < 0 ? "no loopback socket" : "";
    for (const int count : SegmentLimits) {
        if (from < 0 || to < 0)
            break;
        int error = 0;
        *why = probeSegments(from, to, count, &error);
        if (why->empty())
            limit = count;
        if (!why->empty() && error == EINVAL && count > SegmentLimits.back())
            continue; // more segments than this kernel takes: try fewer
        break;
    }
    if (from >= 0)
        ::close(from);
    if (to >= 0)
        ::close(to);
    return limit;
}

int checkSegmentation()
{
    std::string why;
    const int limit = segmentLimit(&why);
    if (limit == 0) {
        std::printf("gso: not usable here (%s); the GSO yardstick sends plain datagrams\n", why.c_str());
        return 1;
    }
    std::printf("gso: up to %d segments per message; one message of %d records arrived as %d datagrams of %d bytes, "
                "in order\n", limit, limit, limit, RecordSize);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--check-gso") == 0)
        return checkSegmentation();
    const bool gso = argc == 4 && std::strcmp(argv[1], "--gso") == 0;
    if (argc != 3 && !gso) {
        std::fprintf(stderr, "usage: %s [--gso] PORT REPLY_PORT\n       %s --check-gso\n", argv[0], argv[0]);
        return 2;
    }
    int limit = 0;
    if (gso) {
        std::string why;
        limit = segmentLimit(&why);
        if (limit == 0)
            std::fprintf(stderr, "ventoro_yardstick: UDP segmentation is not usable here (%s); plain datagrams\n",
                         why.c_str());
    }
    const int fd = udpSocket(INADDR_ANY, std::uint16_t(std::atoi(argv[argc - 2])));
    if (fd < 0) {
        std::perror("bind");
        return 1;
    }
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    Yardstick(fd, std::uint16_t(std::atoi(argv[argc - 1])), limit).run();
    ::close(fd);
    return 0;
}
