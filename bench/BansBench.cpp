#include "BansBench.h"

#include "BansFileLayout.h"
#include "BenchRecords.h"
#include "LoadDriver.h"
#include "Packet.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace BansBench {
namespace {

constexpr int kFloodAddresses = 16;

qint64 nowNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

QByteArray number(int value, int base = 10)
{
    return QByteArray::number(value, base);
}

// `count` bans, none of which covers 127.0.0.0/8; every fifth ends in a year.
QByteArray bansFile(int count)
{
    const QByteArray expires = "Expires="
        + QByteArray::fromStdString(BansFileLayout::timeText(QDateTime::currentSecsSinceEpoch() + 365 * 86400)) + "\r\n";
    QByteArray text;
    text.reserve(qsizetype(count) * 48);
    for (int i = 0; i < count; ++i) {
        const int unique = i / 5;
        QByteArray target;
        switch (i % 5) {
        case 0:
        case 1:
            target = number(1000000 + i);
            break;
        case 2:
            target = "10." + number(unique >> 16 & 255) + '.' + number(unique >> 8 & 255) + '.' + number(unique & 255);
            break;
        case 3:
            target = "172." + number(16 + (unique >> 8)) + '.' + number(unique & 255) + ".0/24";
            break;
        default:
            target = i % 10 == 4 ? "2001:db8:" + number(unique, 16) + "::/48" : "2001:db8:1:" + number(unique, 16) + "::/64";
        }
        text += '[' + target + "]\r\nReason=bench\r\n" + (i % 5 == 0 ? expires : QByteArray()) + "\r\n";
    }
    return text;
}

double peakMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// One logged-on pilot that keeps one keep-alive in flight at a time and
// times each echo.
class Pinger
{
public:
    Pinger(quint16 serverPort, quint16 replyPort) : m_fd(LoadDriver::boundSocket("127.0.0.2", replyPort))
    {
        m_server.sin_family = AF_INET;
        m_server.sin_port = htons(serverPort);
        m_server.sin_addr.s_addr = htonl(0x7F000001);
    }
    ~Pinger() { ::close(m_fd); }

    bool logOn()
    {
        for (int attempt = 0; attempt < 50 && m_serverID == 0; ++attempt) {
            send(BenchRecords::logonRequest(1, 1001, QStringLiteral("Ping")));
            const qint64 until = nowNs() + 100'000'000;
            while (m_serverID == 0 && nowNs() < until)
                wait(1'000'000);
        }
        return m_serverID != 0;
    }
    // Sends a keep-alive when none is in flight and the interval has passed;
    // then takes what arrives within `waitNs`.
    void tick(qint64 intervalNs, qint64 waitNs)
    {
        if (m_sentAt == 0 && nowNs() >= m_lastSent + intervalNs) {
            m_sentAt = m_lastSent = nowNs();
            send(BenchRecords::keepAlive(m_serverID));
        }
        wait(waitNs);
    }
    void restart() { m_echoNs.clear(); }
    // The slowest echo so far, or the age of one still in flight.
    double slowestMs() const
    {
        const qint64 waiting = m_sentAt ? nowNs() - m_sentAt : 0;
        return double(std::max(waiting, m_echoNs.empty() ? 0 : *std::max_element(m_echoNs.begin(), m_echoNs.end()))) / 1e6;
    }
    double percentileMs(double share)
    {
        if (m_echoNs.empty())
            return 0;
        std::sort(m_echoNs.begin(), m_echoNs.end());
        return double(m_echoNs[std::min(m_echoNs.size() - 1, size_t(share * double(m_echoNs.size())))]) / 1e6;
    }
    size_t echoes() const { return m_echoNs.size(); }
    int fd() const { return m_fd; }

private:
    void send(const QByteArray &record)
    {
        ::sendto(m_fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&m_server),
                 sizeof m_server);
    }
    void wait(qint64 ns)
    {
        pollfd ready{m_fd, POLLIN, 0};
        const timespec timeout{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
        if (::ppoll(&ready, 1, &timeout, nullptr) <= 0)
            return;
        char bytes[2048];
        for (ssize_t got; (got = ::recv(m_fd, bytes, sizeof bytes, 0)) >= Packet::Size;) {
            const Packet packet = Packet::fromDatagram(QByteArray(bytes, int(got)));
            if (packet.PacketType() == Packet::LogonAccepted)
                m_serverID = packet.int32At(Packet::PlayerIDAt);
            else if (packet.PacketType() == Packet::KeepAlive && m_sentAt != 0) {
                m_echoNs.push_back(nowNs() - m_sentAt);
                m_sentAt = 0;
            }
        }
    }

    int m_fd;
    sockaddr_in m_server {};
    qint32 m_serverID = 0;
    qint64 m_sentAt = 0;
    qint64 m_lastSent = 0;
    std::vector<qint64> m_echoNs;
};

// One request to the server's control socket; the pilot keeps pinging
// while the answer is awaited.
std::optional<QJsonObject> ask(const QString &instance, const QByteArray &request, Pinger &pinger, qint64 intervalNs)
{
    const int fd = LoopbackBench::connectToControlSocket(instance);
    QByteArray answer;
    if (fd >= 0 && ::write(fd, request.constData(), size_t(request.size())) == ssize_t(request.size())) {
        const qint64 deadline = nowNs() + 60'000'000'000;
        while (!answer.contains('\n') && nowNs() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 0) > 0) {
                char bytes[4096];
                const ssize_t got = ::read(fd, bytes, sizeof bytes);
                if (got <= 0)
                    break;
                answer.append(bytes, int(got));
            }
            pinger.tick(intervalNs, 1'000'000);
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (!answer.contains('\n'))
        return std::nullopt;
    return QJsonDocument::fromJson(answer.left(answer.indexOf('\n'))).object();
}

qint64 logonsRejected(const QJsonObject &status)
{
    return status.value(QLatin1String("counters")).toObject().value(QLatin1String("logonsRejected")).toInteger();
}

// bans.ini takes `count` bans and SIGHUP has the server take them in.
bool reloadBans(LoopbackBench::RelayProcess &relay, const QString &instance, Pinger &pinger, int count)
{
    const double residentBefore = relay.residentMegabytes();
    QFile file(QDir(relay.programDirectory()).filePath(QStringLiteral("bans.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(bansFile(count)) < 0)
        return false;
    file.close();
    pinger.restart();
    const qint64 start = nowNs();
    ::kill(pid_t(relay.processId()), SIGHUP);
    std::optional<QJsonObject> status;
    while ((status = ask(instance, "status\n", pinger, 1'000'000)) && status->value(QLatin1String("bans")).toInt() != count
           && nowNs() - start < 60'000'000'000) {
    }
    const double seconds = double(nowNs() - start) / 1e9;
    const double slowestMs = pinger.slowestMs();
    for (const qint64 settle = nowNs() + 1'000'000'000; nowNs() < settle;)
        pinger.tick(1'000'000, 1'000'000);
    std::printf("bans %7d: reload in force after %.2f s; the pilot's slowest echo meanwhile %.1f ms (%zu echoes); "
                "resident %.1f MB -> %.1f MB (peak %.1f MB)\n",
                count, seconds, slowestMs, pinger.echoes(), residentBefore, relay.residentMegabytes(),
                peakMegabytes(relay.processId()));
    return status && status->value(QLatin1String("bans")).toInt() == count;
}

// Logons of an unknown pilot from 16 addresses at the rate, then the CPU
// the server used per logon it handled (as its counters say).
bool flood(const Settings &settings, LoopbackBench::RelayProcess &relay, const QString &instance, Pinger &pinger, int count)
{
    std::vector<int> sockets;
    for (int i = 1; i <= kFloodAddresses; ++i)
        sockets.push_back(LoadDriver::boundSocket(qPrintable(QStringLiteral("127.0.1.%1").arg(i)), relay.replyPort()));
    if (std::count(sockets.begin(), sockets.end(), -1) > 0)
        return false;
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(relay.serverPort());
    server.sin_addr.s_addr = htonl(0x7F000001);
    const std::optional<QJsonObject> before = ask(instance, "status\n", pinger, 10'000'000);
    const double cpuBefore = relay.cpuMicroseconds();
    pinger.restart();
    const qint64 start = nowNs(), intervalNs = 1'000'000'000 / settings.logonsPerSecond;
    qint64 sent = 0;
    char drain[2048];
    while (nowNs() - start < qint64(settings.floodSeconds) * 1'000'000'000) {
        for (; sent * intervalNs < nowNs() - start; ++sent) {
            const QByteArray logon = BenchRecords::logonRequest(777777, 1, QStringLiteral("Flood%1").arg(sent % 100));
            ::sendto(sockets[size_t(sent % kFloodAddresses)], logon.constData(), size_t(logon.size()), 0,
                     reinterpret_cast<const sockaddr *>(&server), sizeof server);
        }
        for (int fd : sockets) {
            while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
        }
        // Until the next logon is due.
        pinger.tick(10'000'000, std::max<qint64>(0, (sent + 1) * intervalNs - (nowNs() - start)));
    }
    const std::optional<QJsonObject> after = ask(instance, "status\n", pinger, 10'000'000);
    const double cpu = relay.cpuMicroseconds() - cpuBefore;
    for (int fd : sockets)
        ::close(fd);
    if (!before || !after)
        return false;
    const qint64 handled = logonsRejected(*after) - logonsRejected(*before);
    std::printf("bans %7d: %lld logons sent in %d s, %lld handled; server CPU %.1f us per logon handled; "
                "the pilot's keep-alive echoes beside them p50 %.2f ms, p99 %.2f ms, slowest %.1f ms (%zu echoes)\n",
                count, static_cast<long long>(sent), settings.floodSeconds, static_cast<long long>(handled),
                handled > 0 ? cpu / double(handled) : 0.0, pinger.percentileMs(0.5), pinger.percentileMs(0.99),
                pinger.slowestMs(), pinger.echoes());
    return true;
}

} // namespace

int run(const LoopbackBench::Settings &base, const Settings &settings)
{
    LoopbackBench::pinTo(base.driverCpu);
    for (int count : settings.banCounts) {
        LoopbackBench::RelayProcess relay(base, 1);
        if (!relay.started())
            return 1;
        Pinger pinger(relay.serverPort(), relay.replyPort());
        if (!pinger.logOn()) {
            std::fprintf(stderr, "bans: the pilot could not log on\n");
            return 1;
        }
        if (!reloadBans(relay, relay.instance(), pinger, count) || !flood(settings, relay, relay.instance(), pinger, count)) {
            std::fprintf(stderr, "bans: the server did not answer as expected with %d bans\n", count);
            return 1;
        }
    }
    return 0;
}

} // namespace BansBench
