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
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sched.h>
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

constexpr qint64 KeepAliveSeconds = 2;

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

    // Reads everything waiting, for up to timeoutMs, in batches.
    void receive(int timeoutMs)
    {
        std::vector<pollfd> fds;
        for (const Pilot &pilot : m_pilots)
            fds.push_back({pilot.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
            return;
        constexpr int Batch = 64;
        static thread_local std::array<std::array<char, 256>, Batch> buffers;
        std::array<mmsghdr, Batch> messages {};
        std::array<iovec, Batch> parts {};
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            for (;;) {
                for (int k = 0; k < Batch; ++k) {
                    parts[size_t(k)] = iovec{buffers[size_t(k)].data(), buffers[size_t(k)].size()};
                    messages[size_t(k)].msg_hdr = msghdr{};
                    messages[size_t(k)].msg_hdr.msg_iov = &parts[size_t(k)];
                    messages[size_t(k)].msg_hdr.msg_iovlen = 1;
                }
                const int got = ::recvmmsg(fds[i].fd, messages.data(), Batch, MSG_DONTWAIT, nullptr);
                const qint64 now = nowNs();
                for (int k = 0; k < got; ++k)
                    onDatagram(m_pilots[i], buffers[size_t(k)].data(), int(messages[size_t(k)].msg_len), now);
                if (got < Batch)
                    break;
            }
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

    // Every pilot sends flight data at the rate, and a keep-alive every
    // KeepAliveSeconds, for the set time; then the driver listens one more
    // second for what is still on its way.
    void fly(const std::function<void()> &atStart)
    {
        for (Pilot &pilot : m_pilots)
            send(pilot, BenchRecords::flightRecord(Packet::AircraftDetails, pilot.serverID, 0, 0));
        receive(100);
        m_latencies.clear();
        m_keepAliveEchoes = 0;
        atStart();
        const qint64 interval = 1'000'000'000 / m_settings.rate;
        const qint64 start = nowNs();
        const qint64 end = start + qint64(m_settings.seconds) * 1'000'000'000;
        qint64 next = start;
        qint64 nextKeepAlive = start;
        quint32 sequence = 0;
        while (nowNs() < end) {
            if (nowNs() >= nextKeepAlive) {
                for (Pilot &pilot : m_pilots)
                    send(pilot, BenchRecords::keepAlive(pilot.serverID));
                m_keepAlivesSent += m_settings.pilots;
                nextKeepAlive += KeepAliveSeconds * 1'000'000'000;
            }
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

    Result result() const
    {
        Result result;
        result.ok = true;
        const double expected = double(m_sent) * (m_settings.pilots - 1);
        std::vector<qint64> latencies = m_latencies;
        std::sort(latencies.begin(), latencies.end());
        const auto percentile = [&](double p) {
            return latencies.empty() ? 0.0 : double(latencies[size_t(p * double(latencies.size() - 1))]) / 1000.0;
        };
        const auto late = std::count_if(latencies.begin(), latencies.end(), [](qint64 ns) { return ns > 100'000'000; });
        result.expected = qint64(expected);
        result.delivered = qint64(latencies.size());
        result.relaysPerSecond = double(latencies.size()) / m_settings.seconds;
        result.lossPercent = expected > 0 ? 100.0 * (1.0 - double(latencies.size()) / expected) : 0.0;
        result.latePercent = latencies.empty() ? 0.0 : 100.0 * double(late) / double(latencies.size());
        result.p50us = percentile(0.5);
        result.p99us = percentile(0.99);
        result.maxUs = percentile(1.0);
        result.keepAlivesSent = m_keepAlivesSent;
        result.keepAliveEchoes = m_keepAliveEchoes;
        return result;
    }

private:
    bool allLoggedOn() const
    {
        return std::all_of(m_pilots.begin(), m_pilots.end(), [](const Pilot &pilot) { return pilot.serverID != 0; });
    }

    void onDatagram(Pilot &pilot, const char *data, int size, qint64 now)
    {
        if (size < 28)
            return;
        const QByteArray bytes = QByteArray::fromRawData(data, size);
        const Packet packet = Packet::fromDatagram(bytes);
        if (packet.PacketType() == Packet::LogonAccepted)
            pilot.serverID = packet.int32At(Packet::PlayerIDAt);
        else if (packet.PacketType() == Packet::FlightData)
            m_latencies.push_back(now - BenchRecords::sentAtNs(bytes));
        else if (packet.PacketType() == Packet::KeepAlive)
            ++m_keepAliveEchoes;
    }

    Settings m_settings;
    sockaddr_in m_server;
    std::vector<Pilot> m_pilots;
    std::vector<qint64> m_latencies;
    qint64 m_sent = 0;
    qint64 m_keepAlivesSent = 0;
    qint64 m_keepAliveEchoes = 0;
};

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}


// CPU time (user + system) the process has used, in microseconds.
double cpuMicroseconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which is in parentheses.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    const double ticks = fields[11].toDouble() + fields[12].toDouble(); // utime, stime
    return ticks * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

double residentMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

void pinTo(int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

// Starts the server (with its settings files beside it) or the yardstick.
bool startRelay(const Settings &settings, const QTemporaryDir &dir, quint16 serverPort, quint16 replyPort,
                QProcess &process)
{
    QString program;
    QStringList arguments;
    if (settings.yardstick) {
        program = settings.yardstickBinary;
        arguments = {QString::number(serverPort), QString::number(replyPort)};
    } else {
        program = dir.filePath(QStringLiteral("VentoroServer"));
        if (!QFile::copy(settings.serverBinary, program)
            || !writeFile(dir.filePath(QStringLiteral("VentoroServer.ini")),
                          "[General]\r\nDebug=0\r\nShowScreen=0\r\nConnectPort=" + QByteArray::number(serverPort)
                              + "\r\nClientConnectPort=" + QByteArray::number(replyPort) + "\r\n")
            || !writeFile(dir.filePath(QStringLiteral("user.ini")), BenchRecords::accounts(settings.pilots))) {
            std::fprintf(stderr, "cannot prepare the server's program directory\n");
            return false;
        }
    }
    if (settings.relayCpu >= 0) {
        arguments.prepend(program);
        arguments.prepend(QString::number(settings.relayCpu));
        arguments.prepend(QStringLiteral("-c"));
        program = QStringLiteral("taskset");
    }
    process.setWorkingDirectory(dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A lock of its own, so a server already running on this machine (or a
    // test's) neither blocks the run nor is blocked by it.
    environment.insert(QStringLiteral("VENTORO_INSTANCE"), QStringLiteral("ventoro-bench-%1").arg(QCoreApplication::applicationPid()));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        std::fprintf(stderr, "%s did not start\n", qPrintable(program));
        return false;
    }
    return true;
}

} // namespace

Result run(const Settings &settings)
{
    pinTo(settings.driverCpu);
    QTemporaryDir dir;
    const quint16 serverPort = freePort(QStringLiteral("0.0.0.0"));
    const quint16 replyPort = freePort(QStringLiteral("127.0.0.2"));
    QProcess relay;
    if (!startRelay(settings, dir, serverPort, replyPort, relay))
        return {};

    Result result;
    {
        Driver driver(settings, serverPort);
        double cpuAtStart = 0;
        double residentAtStart = 0;
        if (!driver.bindPilots(replyPort)) {
            std::fprintf(stderr, "cannot bind the pilots' sockets on 127.0.0.x:%u\n", replyPort);
        } else if (!driver.logOn()) {
            std::fprintf(stderr, "not every pilot was logged on within 30 s\n");
        } else {
            driver.fly([&] {
                cpuAtStart = cpuMicroseconds(relay.processId());
                residentAtStart = residentMegabytes(relay.processId());
            });
            const double cpu = cpuMicroseconds(relay.processId()) - cpuAtStart;
            const double resident = residentMegabytes(relay.processId());
            result = driver.result();
            result.residentAtStartMB = residentAtStart;
            result.residentAtEndMB = resident;
            result.cpuUsPerRelay = result.delivered > 0 ? cpu / double(result.delivered) : 0;
        }
    }
    relay.terminate();
    if (!relay.waitForFinished(5000))
        relay.kill();
    relay.waitForFinished(2000);
    return result;
}

void print(const Settings &settings, const Result &result)
{
    std::printf("loopback: %d pilots x %d Hz for %d s: %lld of %lld relays received (loss %.2f%%), %.0f relayed "
                "datagrams/s, %.2f%% later than 100 ms, %.2f us CPU per relay, keep-alives echoed %lld of %lld\n",
                settings.pilots, settings.rate, settings.seconds, static_cast<long long>(result.delivered),
                static_cast<long long>(result.expected), result.lossPercent, result.relaysPerSecond, result.latePercent,
                result.cpuUsPerRelay, static_cast<long long>(result.keepAliveEchoes),
                static_cast<long long>(result.keepAlivesSent));
    std::printf("loopback: relay latency p50 %.0f us, p99 %.0f us, max %.0f us; resident %.1f MB -> %.1f MB\n",
                result.p50us, result.p99us, result.maxUs, result.residentAtStartMB, result.residentAtEndMB);
}

} // namespace LoopbackBench
