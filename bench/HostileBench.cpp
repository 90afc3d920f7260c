#include "HostileBench.h"

#include "BenchRecords.h"
#include "LoadDriver.h"
#include "Packet.h"

#include <QElapsedTimer>
#include <QHash>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace HostileBench {
namespace {

using Options = QHash<QString, QString>;

Options optionsOf(const QStringList &arguments)
{
    Options options;
    for (int i = 0; i + 1 < arguments.size(); i += 2)
        options.insert(arguments[i].mid(2), arguments[i + 1]);
    return options;
}

sockaddr_in serverAddress(const Options &options)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(options.value(QStringLiteral("port"), QStringLiteral("1500")).toUInt()));
    ::inet_pton(AF_INET, qPrintable(options.value(QStringLiteral("host"), QStringLiteral("127.0.0.1"))), &to.sin_addr);
    return to;
}

// Sends, waiting a little for room when the socket's buffer is full.
bool sendTo(int fd, const sockaddr_in &to, const QByteArray &bytes)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (::sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to) == bytes.size())
            return true;
        if (errno != EAGAIN && errno != ENOBUFS)
            return false;
        pollfd entry {fd, POLLOUT, 0};
        ::poll(&entry, 1, 10);
    }
    return false;
}

// The type of the next record to arrive within `timeoutMs`, 0 on none.
qint32 awaitRecord(int fd, int timeoutMs, qint32 *playerId = nullptr)
{
    pollfd entry {fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0)
        return 0;
    char bytes[Packet::Size] {};
    if (::recv(fd, bytes, sizeof bytes, 0) < 16)
        return 0;
    const Packet record = Packet::fromBytes(bytes, sizeof bytes);
    if (playerId)
        *playerId = record.int32At(Packet::PlayerIDAt);
    return record.PacketType();
}

int oddDatagrams(const LoopbackBench::Settings &base)
{
    constexpr int Count = 3000;
    constexpr int Size = 65000;
    LoopbackBench::RelayProcess server(base, 1);
    if (!server.started())
        return 1;
    QThread::msleep(500);
    const double before = server.residentMegabytes();
    // At the reply port, where the server answers.
    const int fd = LoadDriver::boundSocket("127.0.0.2", server.replyPort());
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.serverPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray junk(Size, 'j');
    int sent = 0;
    for (int n = 0; n < Count; ++n) {
        sent += sendTo(fd, to, junk) ? 1 : 0;
        if (n % 20 == 19)
            QThread::msleep(2); // the server drains its socket as it goes
    }
    QThread::msleep(1000);
    const double after = server.residentMegabytes();
    // Still serving: a logon of pilot 1 is answered.
    const bool answers = sendTo(fd, to, BenchRecords::logonRequest(1, 1001, QStringLiteral("After")))
        && awaitRecord(fd, 3000) == Packet::LogonAccepted;
    ::close(fd);
    std::printf("odd-datagrams: %d of %d datagrams of %d bytes sent; server resident %.1f MB before, %.1f MB after; "
                "%s a logon afterwards\n",
                sent, Count, Size, before, after, answers ? "answered" : "did NOT answer");
    return answers ? 0 : 1;
}

int echoProbe(const Options &options)
{
    const int seconds = std::clamp(options.value(QStringLiteral("seconds"), QStringLiteral("10")).toInt(), 1, 600);
    const int intervalMs = 500;
    const sockaddr_in to = serverAddress(options);
    const int fd = LoadDriver::boundSocket(qPrintable(options.value(QStringLiteral("bind"), QStringLiteral("0.0.0.0"))), 0);
    if (fd < 0)
        return 1;
    qint32 serverId = 0;
    QElapsedTimer waited;
    waited.start();
    while (serverId == 0 && waited.elapsed() < 10000) {
        sendTo(fd, to, BenchRecords::logonRequest(options.value(QStringLiteral("id")).toInt(),
                                                  options.value(QStringLiteral("password")).toInt(),
                                                  options.value(QStringLiteral("handle"), QStringLiteral("Probe"))));
        qint32 playerId = 0;
        for (qint32 type = awaitRecord(fd, 1000, &playerId); type != 0; type = awaitRecord(fd, 1000, &playerId)) {
            if (type == Packet::LogonAccepted) {
                serverId = playerId;
                break;
            }
        }
    }
    if (serverId == 0) {
        std::printf("echo-probe: no logon accepted\n");
        return 1;
    }
    std::vector<double> roundTripsMs;
    int sent = 0;
    for (QElapsedTimer run; !run.isValid() || run.elapsed() < seconds * 1000; ++sent) {
        if (!run.isValid())
            run.start();
        QElapsedTimer roundTrip;
        roundTrip.start();
        sendTo(fd, to, BenchRecords::keepAlive(serverId));
        for (qint64 left = intervalMs; left > 0; left = intervalMs - roundTrip.elapsed()) {
            const qint32 type = awaitRecord(fd, int(left));
            if (type == Packet::KeepAlive) {
                roundTripsMs.push_back(double(roundTrip.nsecsElapsed()) / 1e6);
                break;
            }
        }
        const qint64 rest = intervalMs - roundTrip.elapsed();
        if (rest > 0)
            QThread::msleep(quint64(rest));
    }
    ::close(fd);
    std::sort(roundTripsMs.begin(), roundTripsMs.end());
    const auto percentile = [&](double share) {
        return roundTripsMs.empty() ? 0.0 : roundTripsMs[size_t(share * double(roundTripsMs.size() - 1))];
    };
    std::printf("echo-probe: %d keep-alives, %zu echoed within %d ms, %zu lost; round trip p50 %.2f ms, p99 %.2f ms, "
                "max %.2f ms\n",
                sent, roundTripsMs.size(), intervalMs, size_t(sent) - roundTripsMs.size(), percentile(0.5),
                percentile(0.99), roundTripsMs.empty() ? 0.0 : roundTripsMs.back());
    return 0;
}

// "a.b.c.d-e": a.b.c.d up to a.b.c.e.
std::vector<int> sourceSockets(const QString &range)
{
    std::vector<int> sockets;
    const QStringList parts = range.split(QLatin1Char('-'));
    const QString first = parts.value(0);
    const QString prefix = first.left(first.lastIndexOf(QLatin1Char('.')) + 1);
    const int from = first.mid(prefix.size()).toInt();
    const int to = parts.size() > 1 ? parts[1].toInt() : from;
    for (int host = from; host <= to && host < 256; ++host) {
        const int fd = LoadDriver::boundSocket(qPrintable(prefix + QString::number(host)), 0);
        if (fd >= 0)
            sockets.push_back(fd);
    }
    return sockets;
}

int logonFlood(const Options &options)
{
    const int seconds = std::clamp(options.value(QStringLiteral("seconds"), QStringLiteral("10")).toInt(), 1, 600);
    const int rate = std::clamp(options.value(QStringLiteral("rate"), QStringLiteral("1000")).toInt(), 1, 1000000);
    const sockaddr_in to = serverAddress(options);
    const std::vector<int> sockets = sourceSockets(options.value(QStringLiteral("sources"), QStringLiteral("127.0.0.2")));
    if (sockets.empty())
        return 1;
    QRandomGenerator random(7);
    qint64 sent = 0;
    char drain[Packet::Size];
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000) {
        const qint64 due = run.elapsed() * rate / 1000;
        for (; sent < due; ++sent) {
            const int fd = sockets[size_t(sent) % sockets.size()];
            const QByteArray logon = BenchRecords::logonRequest(qint32(random.bounded(1, 1000)),
                                                                qint32(random.bounded(100000, 999999)),
                                                                QStringLiteral("F%1").arg(sent % 1000));
            ::sendto(fd, logon.constData(), size_t(logon.size()), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to);
        }
        for (const int fd : sockets) {
            while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
        }
        QThread::usleep(500);
    }
    for (const int fd : sockets)
        ::close(fd);
    std::printf("logon-flood: %lld wrong-password logons from %zu addresses in %d s\n", sent, sockets.size(), seconds);
    return 0;
}

} // namespace

bool handles(const QString &mode)
{
    return mode == QStringLiteral("odd-datagrams") || mode == QStringLiteral("echo-probe")
        || mode == QStringLiteral("logon-flood");
}

int run(const QString &mode, const QStringList &arguments, const LoopbackBench::Settings &base)
{
    if (mode == QStringLiteral("odd-datagrams"))
        return oddDatagrams(base);
    if (mode == QStringLiteral("echo-probe"))
        return echoProbe(optionsOf(arguments));
    return logonFlood(optionsOf(arguments));
}

} // namespace HostileBench
