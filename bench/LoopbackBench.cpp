#include "LoopbackBench.h"

#include "BenchRecords.h"
#include "Packet.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace LoopbackBench {
namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in addressOf(const char *host, quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

int boundSocket(const QString &host, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in address = addressOf(host.toLatin1().constData(), port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    int size = 4 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

quint16 freePort(const QString &host)
{
    const int fd = boundSocket(host, 0);
    sockaddr_in address {};
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

struct Pilot {
    int fd = -1;
    qint32 serverID = 0;
};

class Driver
{
public:
    Driver(const Settings &settings, quint16 serverPort) : m_settings(settings), m_server(addressOf("127.0.0.1", serverPort)) {}
    ~Driver()
    {
        for (const Pilot &pilot : m_pilots)
            ::close(pilot.fd);
    }

    bool bindPilots(quint16 replyPort)
    {
        for (int i = 0; i < m_settings.pilots; ++i) {
            Pilot pilot;
            pilot.fd = boundSocket(QStringLiteral("127.0.%1.%2").arg(i / 250).arg(2 + i % 250), replyPort);
            if (pilot.fd < 0)
                return false;
            m_pilots.push_back(pilot);
        }
        return true;
    }

    void send(const Pilot &pilot, const QByteArray &record)
    {
        ::sendto(pilot.fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&m_server),
                 sizeof m_server);
    }

    // Reads everything waiting, for up to timeoutMs.
    void receive(int timeoutMs)
    {
        std::vector<pollfd> fds;
        for (const Pilot &pilot : m_pilots)
            fds.push_back({pilot.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
            return;
        char buffer[2048];
        for (size_t i = 0; i < fds.size(); ++i) {
            ssize_t got;
            while ((got = ::recv(fds[i].fd, buffer, sizeof buffer, 0)) > 0)
                onDatagram(m_pilots[i], QByteArray(buffer, int(got)));
        }
    }

    bool logOn()
    {
        // Asked again every second: a server still starting up (under a
        // profiler, say) has not bound its port yet.
        const qint64 deadline = nowNs() + 30'000'000'000;
        qint64 nextAsk = 0;
        while (nowNs() < deadline && !allLoggedOn()) {
            if (nowNs() >= nextAsk) {
                for (int i = 0; i < m_settings.pilots; ++i) {
                    if (m_pilots[size_t(i)].serverID == 0)
                        send(m_pilots[size_t(i)], BenchRecords::logonRequest(i + 1, i + 1001, QStringLiteral("Pilot%1").arg(i + 1)));
                }
                nextAsk = nowNs() + 1'000'000'000;
            }
            receive(50);
        }
        return allLoggedOn();
    }

    void fly()
    {
        for (Pilot &pilot : m_pilots)
            send(pilot, BenchRecords::flightRecord(Packet::AircraftDetails, pilot.serverID, 0, 0));
        const qint64 interval = 1'000'000'000 / m_settings.rate;
        const qint64 start = nowNs();
        const qint64 end = start + qint64(m_settings.seconds) * 1'000'000'000;
        qint64 next = start;
        quint32 sequence = 0;
        while (nowNs() < end) {
            if (nowNs() >= next) {
                for (Pilot &pilot : m_pilots) {
                    send(pilot, BenchRecords::flightRecord(Packet::FlightData, pilot.serverID, ++sequence, nowNs()));
                    ++m_sent;
                }
                next += interval;
            }
            receive(int(std::max<qint64>(0, (next - nowNs()) / 1'000'000)));
        }
        const qint64 drainUntil = nowNs() + 1'000'000'000;
        while (nowNs() < drainUntil)
            receive(50);
    }

    void report() const
    {
        const qint64 expected = m_sent * (m_settings.pilots - 1);
        std::vector<qint64> latencies = m_latencies;
        std::sort(latencies.begin(), latencies.end());
        auto percentile = [&](double p) {
            return latencies.empty() ? 0.0 : latencies[size_t(p * double(latencies.size() - 1))] / 1000.0;
        };
        std::printf("loopback: %d pilots x %d Hz for %d s: %lld flight records sent, %lld of %lld relays received "
                    "(%.2f%%), %.0f relayed datagrams/s\n",
                    m_settings.pilots, m_settings.rate, m_settings.seconds, static_cast<long long>(m_sent),
                    static_cast<long long>(m_latencies.size()), static_cast<long long>(expected),
                    expected ? 100.0 * double(m_latencies.size()) / double(expected) : 0.0,
                    double(m_latencies.size()) / m_settings.seconds);
        std::printf("loopback: relay latency p50 %.0f us, p99 %.0f us, max %.0f us\n", percentile(0.5), percentile(0.99),
                    percentile(1.0));
    }

private:
    bool allLoggedOn() const
    {
        return std::all_of(m_pilots.begin(), m_pilots.end(), [](const Pilot &pilot) { return pilot.serverID != 0; });
    }

    void onDatagram(Pilot &pilot, const QByteArray &bytes)
    {
        const Packet packet = Packet::fromDatagram(bytes);
        if (packet.PacketType() == Packet::LogonAccepted)
            pilot.serverID = packet.int32At(Packet::PlayerIDAt);
        else if (packet.PacketType() == Packet::FlightData)
            m_latencies.push_back(nowNs() - BenchRecords::sentAtNs(bytes));
    }

    Settings m_settings;
    sockaddr_in m_server;
    std::vector<Pilot> m_pilots;
    std::vector<qint64> m_latencies;
    qint64 m_sent = 0;
};

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

int run(const Settings &settings)
{
    QTemporaryDir dir;
    const quint16 serverPort = freePort(QStringLiteral("0.0.0.0"));
    const quint16 replyPort = freePort(QStringLiteral("127.0.0.2"));
    const QString program = dir.filePath(QStringLiteral("VentoroServer"));
    if (!QFile::copy(settings.serverBinary, program)
        || !writeFile(dir.filePath(QStringLiteral("VentoroServer.ini")),
                      "[General]\r\nDebug=0\r\nShowScreen=0\r\nConnectPort=" + QByteArray::number(serverPort)
                          + "\r\nClientConnectPort=" + QByteArray::number(replyPort) + "\r\n")
        || !writeFile(dir.filePath(QStringLiteral("user.ini")), BenchRecords::accounts(settings.pilots))) {
        std::fprintf(stderr, "cannot prepare the server's program directory\n");
        return 1;
    }

    QProcess server;
    server.setWorkingDirectory(dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A lock of its own, so a server already running on this machine (or a
    // test's) neither blocks the run nor is blocked by it.
    environment.insert(QStringLiteral("VENTORO_INSTANCE"), QStringLiteral("ventoro-bench-%1").arg(QCoreApplication::applicationPid()));
    server.setProcessEnvironment(environment);
    server.start(program, {});
    if (!server.waitForStarted(5000)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    QThread::msleep(500); // let it bind

    int status = 1;
    {
        Driver driver(settings, serverPort);
        if (!driver.bindPilots(replyPort)) {
            std::fprintf(stderr, "cannot bind the pilots' sockets on 127.0.0.x:%u\n", replyPort);
        } else if (!driver.logOn()) {
            std::fprintf(stderr, "not every pilot was logged on within 30 s\n");
        } else {
            driver.fly();
            driver.report();
            status = 0;
        }
    }
    server.terminate();
    if (!server.waitForFinished(5000))
        server.kill();
    server.waitForFinished(2000);
    return status;
}

} // namespace LoopbackBench
