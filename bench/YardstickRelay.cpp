// ventoro_yardstick PORT REPLY_PORT
//
// The least a relay of 128-byte records has to do, as a yardstick for the
// server's own cost: one socket, datagrams taken in batches (recvmmsg) and
// sent in batches (sendmmsg). Every logon is accepted, every keep-alive is
// echoed, every flight record goes to every other player. No accounts, no
// log, no expiry, no event loop. Ends on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int RecordSize = 128;
constexpr int ReceiveBatch = 64;
constexpr size_t SendBatch = 1024;

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

struct Outgoing {
    std::array<unsigned char, RecordSize> bytes;
    sockaddr_in to;
};

class Yardstick
{
public:
    Yardstick(int fd, std::uint16_t replyPort) : m_fd(fd), m_replyPort(htons(replyPort)) { m_out.reserve(SendBatch); }

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
            flush();
        }
    }

private:
    void handle(const unsigned char *record, const sockaddr_in &from)
    {
        const std::int32_t packetClass = int32At(record, 0);
        const std::int32_t type = int32At(record, 4);
        if (packetClass == 0 && type == 1001) {
            m_players.push_back(from.sin_addr.s_addr);
            Outgoing &reply = queue(from.sin_addr.s_addr);
            reply.bytes.fill(0);
            putInt32(reply.bytes.data(), 4, 1002);
            putInt32(reply.bytes.data(), 16, std::int32_t(m_players.size()));
        } else if (packetClass == 0 && type == 1006) {
            std::memcpy(queue(from.sin_addr.s_addr).bytes.data(), record, RecordSize);
        } else if (packetClass == 1) {
            for (const std::uint32_t player : m_players) {
                if (player != from.sin_addr.s_addr)
                    std::memcpy(queue(player).bytes.data(), record, RecordSize);
            }
        }
    }

    Outgoing &queue(std::uint32_t address)
    {
        if (m_out.size() == SendBatch)
            flush();
        m_out.emplace_back();
        Outgoing &entry = m_out.back();
        entry.to = sockaddr_in{};
        entry.to.sin_family = AF_INET;
        entry.to.sin_port = m_replyPort;
        entry.to.sin_addr.s_addr = address;
        return entry;
    }

    void flush()
    {
        std::vector<mmsghdr> &messages = m_messages;
        std::vector<iovec> &parts = m_parts;
        messages.assign(m_out.size(), mmsghdr{});
        parts.resize(m_out.size());
        for (size_t i = 0; i < m_out.size(); ++i) {
            parts[i] = iovec{m_out[i].bytes.data(), RecordSize};
            messages[i].msg_hdr.msg_name = &m_out[i].to;
            messages[i].msg_hdr.msg_namelen = sizeof m_out[i].to;
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        size_t sent = 0;
        while (sent < messages.size()) {
            const int done = ::sendmmsg(m_fd, messages.data() + sent, unsigned(messages.size() - sent), 0);
            sent += done > 0 ? size_t(done) : 1; // a refused datagram is skipped
        }
        m_out.clear();
    }

    int m_fd;
    std::uint16_t m_replyPort;
    std::vector<std::uint32_t> m_players;
    std::vector<Outgoing> m_out;
    std::vector<mmsghdr> m_messages;
    std::vector<iovec> m_parts;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT REPLY_PORT\n", argv[0]);
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int receiveBuffer = 4 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(std::uint16_t(std::atoi(argv[1])));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        std::perror("bind");
        return 1;
    }
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    Yardstick(fd, std::uint16_t(std::atoi(argv[2]))).run();
    ::close(fd);
    return 0;
}
