#include "PageFloodBench.h"

#include "LoadDriver.h"
#include "Packet.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace PageFloodBench {
namespace {

constexpr qint64 Second = 1'000'000'000;
constexpr qint64 ReconnectDelayNs = 10'000'000;
const QByteArray kRequest = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ownCpuMicroseconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

sockaddr_in ipv4(const QByteArray &host, quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.constData(), &address.sin_addr);
    return address;
}

// A TCP connection from `source` to 127.0.0.1:port, non-blocking once made;
// -1 when it cannot be made. With 0 as the port, a free port instead.
int tcpSocket(const QByteArray &source, quint16 port, quint16 *freePort = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in from = ipv4(source, 0);
    const sockaddr_in to = ipv4("127.0.0.1", port);
    socklen_t length = sizeof from;
    sockaddr_in bound {};
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) == 0
        && (freePort ? ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0
                     : ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0);
    if (!ok || freePort) {
        if (freePort)
            *freePort = ok ? ntohs(bound.sin_port) : 0;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// The flood, on a thread of its own. Counts whole answers by status.
class PageFlood
{
public:
    explicit PageFlood(quint16 port) : m_port(port), m_connections(FloodConnections) {}
    ~PageFlood() { stop(); }

    void start() { m_thread = std::thread([this] { run(); }); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 answered() const { return m_answered; }
    qint64 refused() const { return m_refused; }
    qint64 connects() const { return m_connects; }

private:
    struct Connection {
        int fd = -1;
        QByteArray in;
        QByteArray out;
        int outstanding = 0;
        qint64 retryAtNs = 0;
    };

    void run()
    {
        std::vector<pollfd> polled(m_connections.size());
        while (!m_stop) {
            for (size_t i = 0; i < m_connections.size(); ++i) {
                Connection &c = m_connections[i];
                if (c.fd < 0 && steadyNs() >= c.retryAtNs) {
                    c.fd = tcpSocket("127.0.200." + QByteArray::number(1 + int(i) % FloodClients), m_port);
                    c.retryAtNs = steadyNs() + ReconnectDelayNs;
                    m_connects += c.fd >= 0 ? 1 : 0;
                }
                if (c.fd >= 0)
                    fill(c);
                polled[i] = {c.fd, short(POLLIN | (c.out.isEmpty() ? 0 : POLLOUT)), 0};
            }
            ::poll(polled.data(), polled.size(), 5);
            for (size_t i = 0; i < m_connections.size(); ++i) {
                if (m_connections[i].fd >= 0 && polled[i].revents != 0)
                    read(m_connections[i]);
            }
        }
        for (Connection &c : m_connections)
            close(c);
    }

    void close(Connection &c)
    {
        if (c.fd >= 0)
            ::close(c.fd);
        c = Connection {-1, {}, {}, 0, steadyNs() + ReconnectDelayNs};
    }

    // Requests up to the depth, and what the socket takes of them.
    void fill(Connection &c)
    {
        for (; c.outstanding < FloodDepth; ++c.outstanding)
            c.out += kRequest;
        const ssize_t sent = ::send(c.fd, c.out.constData(), size_t(c.out.size()), MSG_NOSIGNAL);
        if (sent > 0)
            c.out.remove(0, sent);
        else if (sent < 0 && errno != EAGAIN)
            close(c);
    }

    void read(Connection &c)
    {
        char buffer[65536];
        const ssize_t received = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            if (received == 0 || errno != EAGAIN)
                close(c);
            return;
        }
        c.in.append(buffer, received);
        for (qsizetype end = c.in.indexOf("\r\n\r\n"); end >= 0; end = c.in.indexOf("\r\n\r\n")) {
            const qsizetype field = c.in.indexOf("\r\nContent-Length: ");
            const qsizetype length = field >= 0 && field < end ? c.in.mid(field + 18, 12).split('\r').first().toLongLong() : 0;
            if (c.in.size() < end + 4 + length)
                return;
            (c.in.mid(9, 3) == "200" ? m_answered : m_refused) += 1;
            c.in.remove(0, end + 4 + length);
            c.outstanding = qMax(0, c.outstanding - 1);
        }
    }

    quint16 m_port;
    std::vector<Connection> m_connections;
    std::thread m_thread;
    std::atomic<bool> m_stop {false};
    std::atomic<qint64> m_answered {0};
    std::atomic<qint64> m_refused {0};
    std::atomic<qint64> m_connects {0};
};

bool pageAnswers(quint16 port)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = tcpSocket("127.0.0.1", port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct Phase {
    double keepAliveP99Ms = 0;
    double keepAliveMaxMs = 0;
    qint64 keepAliveEchoes = 0;
    qint64 keepAlivesSent = 0;
    LoadDriver::Window relays;
    double serverCpuPercent = 0;
    double driverCpuPercent = 0;
    double answersPerSecond = 0;
    double refusalsPerSecond = 0;
};

Phase measure(LoadDriver &driver, const LoopbackBench::RelayProcess &relay, int seconds, PageFlood *flood)
{
    driver.clearRecords();
    if (flood)
        flood->start();
    const double serverCpuAtStart = relay.cpuMicroseconds();
    const double ownCpuAtStart = ownCpuMicroseconds();
    const qint64 start = driver.wallNow();
    driver.runFor(seconds * Second);
    const qint64 end = driver.wallNow();
    Phase phase;
    const double wallUs = double(end - start) / 1e3;
    phase.serverCpuPercent = (relay.cpuMicroseconds() - serverCpuAtStart) / wallUs * 100;
    phase.driverCpuPercent = (ownCpuMicroseconds() - ownCpuAtStart) / wallUs * 100;
    if (flood) {
        flood->stop();
        phase.answersPerSecond = double(flood->answered()) / (wallUs / 1e6);
        phase.refusalsPerSecond = double(flood->refused()) / (wallUs / 1e6);
    }
    phase.keepAliveP99Ms = double(driver.keepAliveEchoPercentileNs(0.99)) / 1e6;
    phase.keepAliveMaxMs = double(driver.largestKeepAliveEchoNs()) / 1e6;
    phase.keepAliveEchoes = driver.keepAliveEchoes();
    phase.keepAlivesSent = driver.keepAlivesSent();
    // Flight records of the last 200 ms may still be on their way.
    phase.relays = driver.window(start, end - Second / 5);
    return phase;
}

void print(const char *name, const Phase &phase)
{
    std::printf("pageflood: %-8s keep-alive round trip p99 %.2f ms, slowest %.2f ms (%lld sent, %lld echoes); relay "
                "latency p99 %.2f ms, loss %.2f%%; server CPU %.0f%%; load generator CPU %.0f%%",
                name, phase.keepAliveP99Ms, phase.keepAliveMaxMs, static_cast<long long>(phase.keepAlivesSent),
                static_cast<long long>(phase.keepAliveEchoes), phase.relays.percentileUs(0.99) / 1e3,
                phase.relays.lossPercent(), phase.serverCpuPercent, phase.driverCpuPercent);
    if (phase.answersPerSecond > 0 || phase.refusalsPerSecond > 0)
        std::printf("; flood answered %.0f requests/s (200), refused %.0f/s", phase.answersPerSecond,
                    phase.refusalsPerSecond);
    std::printf("\n");
}

} // namespace

int run(const LoopbackBench::Settings &settings)
{
    LoopbackBench::Settings base = settings;
    base.relay = LoopbackBench::Settings::Relay::Server;
    quint16 httpPort = 0;
    tcpSocket("127.0.0.1", 0, &httpPort);
    base.httpPort = httpPort;
    LoopbackBench::pinTo(base.driverCpu);
    LoopbackBench::RelayProcess relay(base, base.pilots);
    if (!relay.started())
        return 1;
    LoadDriver driver(relay.serverPort(), base.rate);
    if (!driver.addPilots(base.pilots, relay.replyPort()) || !driver.logOn(0, base.pilots)
        || !pageAnswers(quint16(base.httpPort))) {
        std::fprintf(stderr, "pageflood: the pilots could not be logged on, or the page does not answer\n");
        return 1;
    }
    driver.sendToAll(Packet::AircraftDetails);
    driver.runFor(Second / 10);
    driver.setFlying(0, base.pilots, true);
    std::printf("pageflood: %d pilots at %d Hz, %d s alone, then %d s beside %d connections from %d addresses, each "
                "with %d pipelined GET /status.json outstanding (server on CPU %d, load generator on CPU %d)\n",
                base.pilots, base.rate, base.seconds, base.seconds, FloodConnections, FloodClients, FloodDepth,
                base.relayCpu, base.driverCpu);
    print("alone:", measure(driver, relay, base.seconds, nullptr));
    PageFlood flood(quint16(base.httpPort));
    const Phase flooded = measure(driver, relay, base.seconds, &flood);
    print("flooded:", flooded);
    std::printf("pageflood: the flood made %lld connections\n", static_cast<long long>(flood.connects()));
    return 0;
}

} // namespace PageFloodBench
