// Two pilots behind one home router, in network namespaces this test makes:
// a server namespace, a router that masquerades with nftables, and two
// pilot namespaces behind it sharing its one public address (test-net
// addresses only). With ReplyToSourcePort=1 both pilots log on, learn of
// each other and relay; with 0 the second pilot's answers go to the first,
// as they do behind any router without forwarding. Needs root, iproute2 and
// nftables, and skips saying so without them. Every namespace and process
// it makes is gone when it ends, however it ends.
#include "CoreHarness.h"
#include "ServerProcess.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

namespace {

constexpr int kWaitMs = 10000;
// How long the test watches for a datagram that must not come.
constexpr int kQuietMs = 1500;
// A pilot process gives up on its own after this, should its parent vanish.
constexpr int kPilotLifeMs = 90000;

const char kServer[] = "198.51.100.2";
constexpr quint16 kConnectPort = 1500;
constexpr quint16 kClientConnectPort = 1501;
const QString kPrefix = QStringLiteral("vnt-nat-");

// A system tool's path: on the search path, or where Debian keeps tools
// for root. Empty when it is not installed.
QString toolPath(const char *name)
{
    const QString onPath = QStandardPaths::findExecutable(QLatin1String(name));
    return onPath.isEmpty() ? QStandardPaths::findExecutable(QLatin1String(name), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                            : onPath;
}

// Runs a command to its end (bounded); its standard error when it failed.
std::optional<QString> runCommand(const QStringList &command, const QByteArray &input = {})
{
    QProcess process;
    process.start(command.first(), command.mid(1));
    if (!process.waitForStarted(kWaitMs))
        return process.errorString();
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("timed out: ") + command.join(u' ');
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return command.join(u' ') + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return std::nullopt;
}

// The server, the router and two pilots, wired as a home network behind a
// masquerading router; the namespaces go when this does.
class HomeNetwork
{
public:
    HomeNetwork()
    {
        removeStale();
        const QString tag = QString::number(QCoreApplication::applicationPid());
        server = kPrefix + QStringLiteral("srv-") + tag;
        router = kPrefix + QStringLiteral("rtr-") + tag;
        pilotA = kPrefix + QStringLiteral("a-") + tag;
        pilotB = kPrefix + QStringLiteral("b-") + tag;
        for (const QString &name : {server, router, pilotA, pilotB}) {
            if (!ip({QStringLiteral("netns"), QStringLiteral("add"), name}))
                return;
            m_made.append(name);
            if (!ip({QStringLiteral("-n"), name, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")}))
                return;
        }
        // The router's public side faces the server; each pilot has a
        // small network of its own behind the router.
        if (!link(QStringLiteral("wan"), server, QStringLiteral("198.51.100.1/24"), QStringLiteral("198.51.100.2/24"))
            || !link(QStringLiteral("lana"), pilotA, QStringLiteral("192.0.2.1/30"), QStringLiteral("192.0.2.2/30"))
            || !link(QStringLiteral("lanb"), pilotB, QStringLiteral("192.0.2.5/30"), QStringLiteral("192.0.2.6/30"))
            || !ip({QStringLiteral("-n"), pilotA, QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("default"), QStringLiteral("via"), QStringLiteral("192.0.2.1")})
            || !ip({QStringLiteral("-n"), pilotB, QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("default"), QStringLiteral("via"), QStringLiteral("192.0.2.5")})
            || !inside(router, {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("echo 1 > /proc/sys/net/ipv4/ip_forward")})
            || !inside(router, {toolPath("nft"), QStringLiteral("-f"), QStringLiteral("-")},
                       "table ip nat {\n"
                       "  chain postrouting {\n"
                       "    type nat hook postrouting priority srcnat;\n"
                       "    oifname \"wan\" masquerade\n"
                       "  }\n"
                       "}\n"))
            return;
        m_ready = true;
    }

    ~HomeNetwork()
    {
        for (const QString &name : m_made)
            runCommand({toolPath("ip"), QStringLiteral("netns"), QStringLiteral("del"), name});
    }

    bool isReady() const { return m_ready; }
    QString error() const { return m_error; }
    // "ip netns exec NAME": what runs a program inside a namespace.
    static QStringList launcher(const QString &name) { return {toolPath("ip"), QStringLiteral("netns"), QStringLiteral("exec"), name}; }

    QString server, router, pilotA, pilotB;

private:
    bool ip(const QStringList &arguments) { return inside(QString(), QStringList{toolPath("ip")} + arguments); }

    bool inside(const QString &name, const QStringList &command, const QByteArray &input = {})
    {
        const auto failure = runCommand(name.isEmpty() ? command : launcher(name) + command, input);
        if (failure)
            m_error = *failure;
        return !failure;
    }

    // A veth pair from the router (its end `routerEnd`) to eth0 of `peer`.
    bool link(const QString &routerEnd, const QString &peer, const QString &routerAddress, const QString &peerAddress)
    {
        return ip({QStringLiteral("-n"), router, QStringLiteral("link"), QStringLiteral("add"), routerEnd, QStringLiteral("type"),
                   QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), QStringLiteral("eth0"), QStringLiteral("netns"), peer})
            && ip({QStringLiteral("-n"), router, QStringLiteral("addr"), QStringLiteral("add"), routerAddress, QStringLiteral("dev"), routerEnd})
            && ip({QStringLiteral("-n"), peer, QStringLiteral("addr"), QStringLiteral("add"), peerAddress, QStringLiteral("dev"), QStringLiteral("eth0")})
            && ip({QStringLiteral("-n"), router, QStringLiteral("link"), QStringLiteral("set"), routerEnd, QStringLiteral("up")})
            && ip({QStringLiteral("-n"), peer, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("eth0"), QStringLiteral("up")});
    }

    // Namespaces a run of this test left behind when it was killed.
    static void removeStale()
    {
        QProcess list;
        list.start(toolPath("ip"), {QStringLiteral("netns"), QStringLiteral("list")});
        if (!list.waitForFinished(kWaitMs))
            return;
        for (const QByteArray &line : list.readAllStandardOutput().split('\n')) {
            const QString name = QString::fromLocal8Bit(line.split(' ').value(0));
            const QString pid = name.section(u'-', -1);
            if (name.startsWith(kPrefix) && !QFile::exists(QStringLiteral("/proc/") + pid))
                runCommand({toolPath("ip"), QStringLiteral("netns"), QStringLiteral("del"), name});
        }
    }

    QStringList m_made;
    bool m_ready = false;
    QString m_error;
};

// A pilot's client in its namespace: this test binary in its pilot mode.
// Records written to it are sent to the server; every datagram it receives
// comes back as a record.
class Pilot
{
public:
    explicit Pilot(const QString &name)
    {
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        const QStringList command = HomeNetwork::launcher(name) + QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--pilot")};
        m_process.start(command.first(), command.mid(1));
    }
    ~Pilot()
    {
        m_process.closeWriteChannel(); // the pilot ends when its input does
        if (!m_process.waitForFinished(kWaitMs)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    bool isRunning() { return m_process.waitForStarted(kWaitMs) && m_process.state() == QProcess::Running; }

    bool send(const QByteArray &record)
    {
        m_process.write(record.toHex() + '\n');
        return m_process.waitForBytesWritten(kWaitMs);
    }

    // The next record of `type` within the wait, skipping others.
    std::optional<Packet> next(qint32 type, int waitMs = kWaitMs)
    {
        QDeadlineTimer deadline(waitMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const Packet record = Packet::fromDatagram(QByteArray::fromHex(m_process.readLine().trimmed()));
                if (record.PacketType() == type)
                    return record;
            }
            if (deadline.hasExpired() || m_process.state() != QProcess::Running)
                return std::nullopt;
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

private:
    QProcess m_process;
};

// The pilot mode: a client bound to ClientConnectPort of its namespace,
// between its standard input and output (hex, a record a line). Bounded:
// it ends with its input, or after kPilotLifeMs.
int runPilot()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(kClientConnectPort);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return 2;
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(kConnectPort);
    ::inet_pton(AF_INET, kServer, &server.sin_addr);
    QByteArray pending;
    QDeadlineTimer life(kPilotLifeMs);
    while (!life.hasExpired()) {
        pollfd polls[] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(polls, 2, 200) <= 0)
            continue;
        if (polls[1].revents & POLLIN) {
            char buffer[2048];
            const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
            const QByteArray line = QByteArray(buffer, qMax<qsizetype>(0, size)).toHex() + '\n';
            if (size >= 0 && ::write(STDOUT_FILENO, line.constData(), size_t(line.size())) != line.size())
                return 3;
        }
        if (polls[0].revents & (POLLIN | POLLHUP)) {
            char buffer[1024];
            const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (size <= 0)
                return 0;
            pending.append(buffer, size);
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
                const QByteArray record = QByteArray::fromHex(pending.left(end));
                ::sendto(fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&server), sizeof server);
            }
        }
    }
    return 0;
}

QString missingTool()
{
    for (const char *tool : {"ip", "nft"}) {
        if (toolPath(tool).isEmpty())
            return QLatin1String(tool);
    }
    return QString();
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
    if (const QString tool = missingTool(); !tool.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no %1 here (install iproute2 and nftables)").arg(tool)));
    HomeNetwork network;
    if (!network.isReady())
        QSKIP(qPrintable(QStringLiteral("the namespaces could not be made here: ") + network.error()));

    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.setLauncher(HomeNetwork::launcher(network.server));
    QVERIFY(server.writeServerIni("[General]\r\nConnectPort=1500\r\nClientConnectPort=1501\r\nShowScreen=0\r\nReplyToSourcePort="
                                  + QByteArray(replyToSource ? "1" : "0") + "\r\n"));
    QVERIFY(server.writeUserIni("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n"));
    QVERIFY(server.start());
    QVERIFY2(server.waitUntilListening(kConnectPort, kWaitMs), server.standardError().constData());

    Pilot ann(network.pilotA);
    Pilot bob(network.pilotB);
    QVERIFY(ann.isRunning() && bob.isRunning());
    QVERIFY(ann.send(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann"))));
    const auto annAccepted = ann.next(Packet::LogonAccepted);
    QVERIFY2(annAccepted, "the first pilot behind the router was not answered");
    QCOMPARE(annAccepted->int32At(Packet::PlayerIDAt), 1);
    QVERIFY(bob.send(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob"))));

    if (!replyToSource) {
        // Both are answered at port 1501 of the router's one address, which
        // the router hands to the first pilot: the second hears nothing.
        QVERIFY(!bob.next(Packet::LogonAccepted, kQuietMs));
        const auto misdelivered = ann.next(Packet::LogonAccepted);
        QVERIFY(misdelivered);
        QCOMPARE(misdelivered->int32At(Packet::PlayerIDAt), 2);
        return;
    }
    const auto bobAccepted = bob.next(Packet::LogonAccepted);
    QVERIFY2(bobAccepted, "the second pilot behind the router was not answered");
    QCOMPARE(bobAccepted->int32At(Packet::PlayerIDAt), 2);
    const auto annSeen = bob.next(Packet::PlayerAdded);
    QVERIFY(annSeen);
    QCOMPARE(annSeen->textAt(Packet::PlayerHandleAt, Packet::HandleChars), QStringLiteral("Ann"));
    const auto bobSeen = ann.next(Packet::PlayerAdded);
    QVERIFY(bobSeen);
    QCOMPARE(bobSeen->textAt(Packet::PlayerHandleAt, Packet::HandleChars), QStringLiteral("Bob"));

    // Flight records both ways through the router.
    const QByteArray annFlight = ClientRecords::flightRecord(Packet::FlightData, 1);
    QVERIFY(ann.send(ClientRecords::flightRecord(Packet::AircraftDetails, 1)));
    QVERIFY(ann.send(annFlight));
    const auto relayed = bob.next(Packet::FlightData);
    QVERIFY2(relayed, "a flight record from the first pilot did not reach the second");
    QCOMPARE(relayed->bytes(), annFlight);
    QVERIFY(bob.send(ClientRecords::flightRecord(Packet::ChatMessage, 2, 'b')));
    const auto chat = ann.next(Packet::ChatMessage);
    QVERIFY2(chat, "a chat record from the second pilot did not reach the first");
    QCOMPARE(chat->SenderID(), 2);
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
