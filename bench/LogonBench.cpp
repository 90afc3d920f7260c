#include "LogonBench.h"

#include "BenchRecords.h"
#include "LoadDriver.h"
#include "LoopbackBench.h"
#include "Packet.h"
#include "ReceivePath.h"
#include "RotatingSourceSocket.h"
#include "ServerContext.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace LogonBench {
namespace {

constexpr qint64 Millisecond = 1'000'000;
constexpr qint32 GuessedPilot = 4242;
constexpr qint32 FirstGuess = 100000;

struct Options {
    QString scenario;
    QString serverBinary;
    int addresses = 3000;
    int perAddress = 4;
    int seconds = 20;
    int passwordAt = 12000;
    int handles = 200;
    int accounts = 20; // in user.ini for the core scenario
    int batch = 50;    // logons asked for at once in the cost scenario
    int pilots = 2000;
};

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint32 typeOf(const char *bytes)
{
    qint32 type = 0;
    std::memcpy(&type, bytes + Packet::PacketTypeAt, sizeof type); // little-endian, as this machine
    return type;
}

LoopbackBench::Settings relaySettings(const Options &options, const QByteArray &accounts)
{
    LoopbackBench::Settings settings;
    settings.serverBinary = options.serverBinary;
    settings.accountsFile = accounts;
    LoopbackBench::chooseCpus(&settings);
    LoopbackBench::pinTo(settings.driverCpu);
    return settings;
}

// The addresses of 2001:db8:ab::/48 are made local to loopback in a
// network namespace of this process's own, which ends with it.
bool enterIpv6Namespace()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "guesses6: a network namespace needs root (%s)\n", std::strerror(errno));
        return false;
    }
    return QProcess::execute(QStringLiteral("ip"), {"link", "set", "lo", "up"}) == 0
        && QProcess::execute(QStringLiteral("ip"),
                             {"-6", "route", "add", "local", "2001:db8:ab::/48", "dev", "lo"}) == 0;
}

int runGuesses(const Options &options, bool ipv6)
{
    if (ipv6 && !enterIpv6Namespace())
        return 1;
    const qint32 password = FirstGuess + options.passwordAt - 1;
    const QByteArray accounts =
        "[" + QByteArray::number(GuessedPilot) + "]\r\nPwd=" + QByteArray::number(password) + "\r\n";
    LoopbackBench::RelayProcess relay(relaySettings(options, accounts), 0);
    RotatingSourceSocket guesser(ipv6, relay.replyPort(), relay.serverPort());
    if (!relay.started() || !guesser.bound())
        return 1;
    const int addresses = ipv6 ? qMin(options.addresses, 65536) : options.addresses;
    const double cpuAtStart = relay.cpuMicroseconds();
    const qint64 start = steadyNs();
    const qint64 deadline = start + qint64(options.seconds) * 1000 * Millisecond;
    qint64 tries = 0, answers = 0, outstanding = 0, lastAnswer = start;
    bool found = false;
    // Up to 64 guesses in flight; one unanswered for 20 ms counts as lost.
    while (!found && steadyNs() < deadline && tries < 900000) {
        for (; outstanding < 64 && tries < 900000; ++tries, ++outstanding)
            guesser.send(int(tries / options.perAddress % addresses),
                         BenchRecords::logonRequest(GuessedPilot, FirstGuess + qint32(tries),
                                                    QStringLiteral("Guesser")));
        const qint32 type = guesser.receive(10 * Millisecond);
        found = type == Packet::LogonAccepted;
        if (type == Packet::LogonRejected) {
            ++answers;
            --outstanding;
            lastAnswer = steadyNs();
        } else if (steadyNs() - lastAnswer > 20 * Millisecond) {
            outstanding = 0;
            lastAnswer = steadyNs();
        }
    }
    const double seconds = double(steadyNs() - start) / 1e9;
    std::printf("%s: %s after %lld guesses in %.1f s from %d %s, %d each (the password was guess %d); "
                "%lld answered LogonRejected; server CPU %.2f s\n",
                ipv6 ? "guesses6" : "guesses", found ? "FOUND" : "not found", static_cast<long long>(tries), seconds,
                addresses, ipv6 ? "/64s of 2001:db8:ab::/48" : "addresses of 127.0.0.0/8", options.perAddress,
                options.passwordAt, static_cast<long long>(answers), (relay.cpuMicroseconds() - cpuAtStart) / 1e6);
    return 0;
}

// Answers to `fd` within `timeoutNs`, by type.
QHash<qint32, int> answersTo(int fd, qint64 timeoutNs)
{
    QHash<qint32, int> answers;
    char bytes[Packet::Size];
    for (pollfd ready{fd, POLLIN, 0}; ::poll(&ready, 1, int(timeoutNs / Millisecond)) > 0;) {
        while (::recv(fd, bytes, sizeof bytes, 0) == Packet::Size)
            ++answers[typeOf(bytes)];
    }
    return answers;
}

int runSocket(const Options &options)
{
    LoopbackBench::RelayProcess relay(relaySettings(options, BenchRecords::accounts(2)), 2);
    const int one = LoadDriver::boundSocket("127.0.0.2", relay.replyPort());
    const int watcher = LoadDriver::boundSocket("127.0.0.3", relay.replyPort());
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(relay.serverPort());
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto send = [&](int fd, const QByteArray &record) {
        ::sendto(fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&server),
                 sizeof server);
    };
    if (!relay.started() || one < 0 || watcher < 0)
        return 1;
    ::usleep(300000); // the server binds its port
    const double cpuAtStart = relay.cpuMicroseconds();
    int accepted = 0;
    for (int handle = 0; handle < options.handles; ++handle) {
        send(one, BenchRecords::logonRequest(1, 1001, QStringLiteral("Handle%1").arg(handle)));
        accepted += answersTo(one, 20 * Millisecond).value(Packet::LogonAccepted);
    }
    const double cpu = relay.cpuMicroseconds() - cpuAtStart;
    // Every player at that socket's endpoint is told of the watcher once.
    send(watcher, BenchRecords::logonRequest(2, 1002, QStringLiteral("Watcher")));
    const int held = answersTo(one, 300 * Millisecond).value(Packet::PlayerAdded);
    std::printf("socket: %d of %d logons under one account from one socket accepted (server CPU %.2f s); players "
                "held there, and so copies of each record sent to that address: %d\n",
                accepted, options.handles, cpu / 1e6, held);
    ::close(one);
    ::close(watcher);
    return 0;
}

// One logon request each, answered however long the server takes: a
// request repeated would cost the server a replacement too.
bool logOnOnce(LoadDriver &driver, int first, int count)
{
    const qint64 deadline = steadyNs() + 120'000 * Millisecond;
    driver.requestLogons(first, count);
    while (!driver.allLoggedOn(first, count) && steadyNs() < deadline)
        driver.runFor(20 * Millisecond);
    return driver.allLoggedOn(first, count);
}

int runCost(const Options &options)
{
    const int Batch = options.batch;
    const LoopbackBench::Settings settings = relaySettings(options, QByteArray());
    LoopbackBench::RelayProcess relay(settings, options.pilots);
    if (!relay.started())
        return 1;
    LoadDriver driver(relay.serverPort(), 20);
    // The first pilot is asked until the server has bound its port.
    if (!driver.addPilots(options.pilots, relay.replyPort()) || !driver.logOn(0, 1))
        return 1;
    const double cpuAtStart = relay.cpuMicroseconds();
    for (int first = 1; first < options.pilots;) {
        const int count = qMin(Batch - first % Batch, options.pilots - first);
        const double before = relay.cpuMicroseconds();
        if (!logOnOnce(driver, first, count)) {
            std::fprintf(stderr, "cost: pilots %d to %d were not logged on within 120 s\n", first + 1, first + count);
            return 1;
        }
        driver.clearRecords(); // what the pilots were told is not kept
        first += count;
        if ((first == 250 || first == options.pilots) && count < options.pilots - 1)
            std::printf("cost: the logons that brought the players to %d took %.0f us of server CPU each\n", first,
                        (relay.cpuMicroseconds() - before) / count);
    }
    std::printf("cost: %d logons, %d at a time, took %.2f s of server CPU\n", options.pilots - 1, Batch,
                (relay.cpuMicroseconds() - cpuAtStart) / 1e6);
    return 0;
}

// The protocol core alone, in-process: no socket, a sender that only
// counts, a yield that returns at once, and a clock that moves 6 s a logon.
class CoreRun : public Clock, public Sender, public Yield
{
public:
    QTime timeOfDay() const override { return QTime(12, 0, 0); }
    qint64 monotonicSeconds() const override { return now; }
    qint64 wallSeconds() const override { return 1800000000 + now; }
    bool send(const Endpoint &, const Packet &, WhenFull) override { return ++sent > 0; }
    void yield() override {}
    qint64 now = 1000;
    qint64 sent = 0;
};

// Twenty accounts take turns, each once in two minutes, so that reading
// user.ini (--accounts of them) costs the same at every size and what grows
// is the players' part alone.
int runCore(const Options &options)
{
    constexpr int Accounts = 20;
    QTemporaryDir dir;
    QFile users(dir.filePath(QStringLiteral("user.ini")));
    if (!users.open(QIODevice::WriteOnly) || users.write(BenchRecords::accounts(qMax(Accounts, options.accounts))) < 0)
        return 1;
    users.close();
    CoreRun run;
    ServerContext context(run, run, run);
    context.UsersIni.FileName(users.fileName().toStdString());
    QElapsedTimer timer;
    qint64 batchNs = 0, batchSent = 0;
    for (int pilot = 1; pilot <= options.pilots; ++pilot) {
        const qint32 account = 1 + pilot % Accounts;
        const qint64 sentBefore = run.sent;
        run.now += 6;
        timer.start();
        const QByteArray request =
            BenchRecords::logonRequest(account, account + 1000, QStringLiteral("Pilot%1").arg(pilot));
        ReceivePath::handleDatagram(context, request, Endpoint::fromIpv4(0x0A000000u + quint32(pilot), 40000));
        batchNs += timer.nsecsElapsed();
        batchSent += run.sent - sentBefore;
        if (pilot % 50 == 0 && (pilot == 250 || pilot == options.pilots))
            std::printf("core: the logons that brought the players to %d took %.1f us each, %.0f records sent each\n",
                        pilot, double(batchNs) / 50e3, double(batchSent) / 50);
        if (pilot % 50 == 0)
            batchNs = batchSent = 0;
    }
    std::printf("core: %d players registered\n", context.players.count());
    return 0;
}

Options parse(QStringList arguments, const QString &serverBinary, bool *ok)
{
    Options options;
    options.serverBinary = serverBinary;
    options.scenario = arguments.isEmpty() ? QString() : arguments.takeFirst();
    *ok = true;
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        const QString &name = arguments[i];
        const int value = arguments[i + 1].toInt();
        if (name == QStringLiteral("--server"))
            options.serverBinary = arguments[i + 1];
        else if (name == QStringLiteral("--addresses"))
            options.addresses = qBound(1, value, 1000000);
        else if (name == QStringLiteral("--per-address"))
            options.perAddress = qBound(1, value, 1000);
        else if (name == QStringLiteral("--seconds"))
            options.seconds = qBound(1, value, 600);
        else if (name == QStringLiteral("--password-at"))
            options.passwordAt = qBound(1, value, 900000);
        else if (name == QStringLiteral("--batch"))
            options.batch = qBound(1, value, 60000);
        else if (name == QStringLiteral("--accounts"))
            options.accounts = qBound(1, value, 1000000);
        else if (name == QStringLiteral("--handles"))
            options.handles = qBound(1, value, 10000);
        else if (name == QStringLiteral("--pilots"))
            options.pilots = qBound(2, value, 60000);
        else
            *ok = false;
    }
    return options;
}

} // namespace

int run(QStringList arguments, const QString &serverBinary)
{
    bool ok = false;
    const Options options = parse(std::move(arguments), serverBinary, &ok);
    if (ok && options.scenario == QStringLiteral("guesses"))
        return runGuesses(options, false);
    if (ok && options.scenario == QStringLiteral("guesses6"))
        return runGuesses(options, true);
    if (ok && options.scenario == QStringLiteral("socket"))
        return runSocket(options);
    if (ok && options.scenario == QStringLiteral("cost"))
        return runCost(options);
    if (ok && options.scenario == QStringLiteral("core"))
        return runCore(options);
    std::fprintf(stderr, "usage: ventoro_bench logons guesses|guesses6|socket|cost|core [--server PATH] "
                         "[--addresses N] [--per-address N] [--seconds S] [--password-at N] [--handles N] "
                         "[--pilots N] [--batch N] [--accounts N]\n");
    return 2;
}

} // namespace LogonBench
