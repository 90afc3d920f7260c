// Two pilots behind one home router, in network namespaces this test makes
// (home-network.sh): with ReplyToSourcePort=1 both log on, learn of each
// other and relay; with 0 the second pilot's answers go to the first, as
// behind any router that forwards nothing. Needs root, iproute2 and
// nftables, and skips saying so without them. The namespaces and the
// processes in them go when the test ends, however it ends.
#include "CoreHarness.h"
#include "ServerProcess.h"

#include <QDeadlineTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <optional>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kQuietMs = 1500; // how long a datagram that must not come is waited for
constexpr int kPilotLifeMs = 90000;

QStringList inNamespace(const QString &name)
{
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("PATH=/usr/sbin:/sbin:$PATH exec ip netns exec \"$0\" \"$@\""), name};
}

// Runs the network script; its standard error when it failed.
QString homeNetwork(const char *action, const QString &tag)
{
    QProcess script;
    script.start(QStringLiteral("/bin/sh"), {QStringLiteral(VENTORO_HOME_NETWORK), QLatin1String(action), tag});
    const bool done = script.waitForFinished(kWaitMs) && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    return done ? QString() : QString::fromLocal8Bit(script.readAllStandardError()).trimmed() + script.errorString();
}

struct HomeNetwork {
    const QString tag = QStringLiteral("vnt-nat-%1").arg(QCoreApplication::applicationPid());
    const QString error = homeNetwork("up", tag);
    ~HomeNetwork() { homeNetwork("down", tag); }
};

// A pilot's client in its namespace: this test binary with --pilot. Records
// written to it go to the server; every datagram it receives comes back.
class Pilot
{
public:
    explicit Pilot(const QString &name)
    {
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        const QStringList command = inNamespace(name) + QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--pilot")};
        m_process.start(command.first(), command.mid(1));
    }
    ~Pilot()
    {
        m_process.closeWriteChannel(); // the pilot ends with its input
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
    }
    bool send(const QByteArray &record)
    {
        m_process.write(record.toHex() + '\n');
        return m_process.waitForBytesWritten(kWaitMs);
    }
    // The next record of `type`, skipping others.
    std::optional<Packet> next(qint32 type, int waitMs = kWaitMs)
    {
        const QDeadlineTimer deadline(waitMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const Packet record = Packet::fromDatagram(QByteArray::fromHex(m_process.readLine().trimmed()));
                if (record.PacketType() == type)
                    return record;
            }
            if (deadline.hasExpired() || !m_process.waitForStarted(0) || m_process.state() != QProcess::Running)
                return std::nullopt;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

private:
    QProcess m_process;
};

// The pilot mode: a client on port 1501 that sends the hex records of its
// input to 198.51.100.2:1500 and writes what it receives out as hex.
int runPilot()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {AF_INET, htons(1501), {}, {}};
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return 2;
    address.sin_port = htons(1500);
    ::inet_pton(AF_INET, "198.51.100.2", &address.sin_addr);
    QByteArray input;
    char buffer[2048];
    for (const QDeadlineTimer life(kPilotLifeMs); !life.hasExpired();) {
        pollfd polls[] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(polls, 2, 200) > 0 && (polls[1].revents & POLLIN)) {
            const QByteArray line = QByteArray(buffer, qMax<ssize_t>(0, ::recv(fd, buffer, sizeof buffer, 0))).toHex() + '\n';
            if (::write(STDOUT_FILENO, line.constData(), size_t(line.size())) != line.size())
                return 3;
        }
        if (polls[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (size <= 0)
                return 0;
            input.append(buffer, size);
            for (qsizetype end; (end = input.indexOf('\n')) >= 0; input.remove(0, end + 1)) {
                const QByteArray record = QByteArray::fromHex(input.left(end));
                ::sendto(fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&address), sizeof address);
            }
        }
    }
    return 0;
}

} // namespace

class tst_NatReach : public QObject
{
    Q_OBJECT

private slots:
    void twoPilotsBehindOneRouter_data();
    void twoPilotsBehindOneRouter();
};

void tst_NatReach::twoPilotsBehindOneRouter_data()
{
    QTest::addColumn<bool>("replyToSource");
    QTest::newRow("answers at the source port") << true;
    QTest::newRow("answers at ClientConnectPort") << false;
}

void tst_NatReach::twoPilotsBehindOneRouter()
{
    QFETCH(bool, replyToSource);
    if (::geteuid() != 0)
        QSKIP("not root: network namespaces and a router's nftables need root");
    const HomeNetwork network;
    if (!network.error.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no home network in namespaces here (iproute2 and nftables?): ") + network.error));

    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.setLauncher(inNamespace(network.tag + QStringLiteral("-srv")));
    QVERIFY(server.writeServerIni("[General]\r\nShowScreen=0\r\nReplyToSourcePort=" + QByteArray::number(replyToSource) + "\r\n"));
    QVERIFY(server.writeUserIni("[1]\r\nPwd=11\r\n[2]\r\nPwd=22\r\n"));
    QVERIFY(server.start());
    QVERIFY2(server.waitUntilListening(1500, kWaitMs), server.standardError().constData());

    Pilot ann(network.tag + QStringLiteral("-a"));
    Pilot bob(network.tag + QStringLiteral("-b"));
    QVERIFY(ann.send(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann"))));
    const auto annAccepted = ann.next(Packet::LogonAccepted);
    QVERIFY2(annAccepted && annAccepted->int32At(Packet::PlayerIDAt) == 1, "the first pilot was not accepted");
    QVERIFY(bob.send(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob"))));
    if (!replyToSource) {
        // Both are answered at port 1501 of the router's one address, which
        // the router hands to the first pilot.
        QVERIFY(!bob.next(Packet::LogonAccepted, kQuietMs));
        const auto misdelivered = ann.next(Packet::LogonAccepted);
        QVERIFY(misdelivered && misdelivered->int32At(Packet::PlayerIDAt) == 2);
        return;
    }
    const auto bobAccepted = bob.next(Packet::LogonAccepted);
    QVERIFY2(bobAccepted && bobAccepted->int32At(Packet::PlayerIDAt) == 2, "the second pilot was not accepted");
    QCOMPARE(bob.next(Packet::PlayerAdded).value_or(Packet()), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerAdded, 1, QStringLiteral("Ann"))));
    QCOMPARE(ann.next(Packet::PlayerAdded).value_or(Packet()), Packet::fromDatagram(Golden::playerNotice(Packet::PlayerAdded, 2, QStringLiteral("Bob"))));
    // Flight records both ways through the router.
    const QByteArray flight = ClientRecords::flightRecord(Packet::FlightData, 1);
    QVERIFY(ann.send(ClientRecords::flightRecord(Packet::AircraftDetails, 1)) && ann.send(flight));
    QCOMPARE(bob.next(Packet::FlightData).value_or(Packet()), Packet::fromDatagram(flight));
    const QByteArray chat = ClientRecords::flightRecord(Packet::ChatMessage, 2);
    QVERIFY(bob.send(chat));
    QCOMPARE(ann.next(Packet::ChatMessage).value_or(Packet()), Packet::fromDatagram(chat));
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--pilot") == 0)
        return runPilot();
    QCoreApplication app(argc, argv);
    tst_NatReach test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_natreach.moc"
