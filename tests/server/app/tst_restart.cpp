// The real server restarted on loopback, the test playing the service
// manager's side of the notify protocol and of the descriptor store.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QDir>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;
const QByteArray kAccounts("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n[3]\r\nPwd=33\r\n");

// systemd's side: the notify socket, the notices that came, the store.
class StandInManager
{
public:
    StandInManager() : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(this->path());
        std::memcpy(address.sun_path, path.constData(), size_t(qMin<qsizetype>(path.size(), sizeof address.sun_path - 1)));
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~StandInManager()
    {
        for (int fd : std::as_const(store))
            ::close(fd);
        ::close(m_fd);
    }
    bool isValid() const { return m_bound; }
    QString path() const { return m_dir.filePath(QStringLiteral("notify")); }

    // Reads notices until one holds `line`; keeps the descriptor of each
    // FDSTORE=1 notice under its FDNAME.
    bool waitFor(const QByteArray &line, int waitMs = kWaitMs)
    {
        for (QDeadlineTimer deadline(waitMs); !deadline.hasExpired();) {
            pollfd entry {m_fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0 && receive().split('\n').contains(line))
                return true;
        }
        return false;
    }

    QList<QByteArray> notices;
    QMap<QByteArray, int> store;

private:
    QByteArray receive()
    {
        char text[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        iovec part {text, sizeof text};
        msghdr message {nullptr, 0, &part, 1, control, sizeof control, 0};
        const QByteArray notice(text, qMax<qsizetype>(0, ::recvmsg(m_fd, &message, MSG_CMSG_CLOEXEC)));
        notices.append(notice);
        const cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (!header || header->cmsg_type != SCM_RIGHTS)
            return notice;
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        const QByteArray name = notice.mid(notice.indexOf("FDNAME=") + 7).split('\n').first();
        if (store.contains(name))
            ::close(store.take(name));
        store.insert(name, fd);
        return notice;
    }

    QTemporaryDir m_dir;
    int m_fd;
    bool m_bound = false;
};

QByteArray settings(quint16 port, quint16 reply, quint16 http, bool keep)
{
    return "[General]\r\nConnectPort=" + QByteArray::number(port) + "\r\nClientConnectPort=" + QByteArray::number(reply)
        + "\r\nShowScreen=0\r\nHttpPort=" + QByteArray::number(http) + "\r\nKeepPilotsOnRestart=" + (keep ? "1" : "0")
        + "\r\n";
}

// Whether a datagram of `type` comes within the wait, skipping others.
bool receives(LoopbackClient &client, qint32 type, int waitMs = kWaitMs)
{
    for (QDeadlineTimer deadline(waitMs); !deadline.hasExpired();) {
        const auto datagram = client.waitForDatagram(int(qMax<qint64>(1, deadline.remainingTime())));
        if (datagram && Packet::fromDatagram(datagram->bytes).PacketType() == type)
            return true;
    }
    return false;
}

QByteArray metrics(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(kWaitMs);
    socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    return answer;
}

} // namespace

class tst_Restart : public QObject
{
    Q_OBJECT

private slots:
    void restart_data();
    void restart();
};

void tst_Restart::restart_data()
{
    QTest::addColumn<bool>("keep");
    QTest::addColumn<bool>("kill");          // SIGKILL instead of SIGTERM
    QTest::addColumn<QByteArray>("replace"); // the checkpoint's bytes before the restart; empty: as left
    QTest::addColumn<bool>("otherPort");     // the second run listens elsewhere
    QTest::addColumn<bool>("restored");

    QTest::newRow("stopped") << true << false << QByteArray() << false << true;
    QTest::newRow("killed") << true << true << QByteArray() << false << true;
    QTest::newRow("switch off") << false << false << QByteArray() << false << false;
    QTest::newRow("damaged") << true << false << QByteArray("{\"format\":") << false << false;
    QTest::newRow("other port") << true << false << QByteArray() << true << false;
}

void tst_Restart::restart()
{
    QFETCH(bool, keep);
    QFETCH(bool, kill);
    QFETCH(QByteArray, replace);
    QFETCH(bool, otherPort);
    QFETCH(bool, restored);
    StandInManager manager;
    QVERIFY(manager.isValid());
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    const quint16 reply = freeUdpPort(clientAddresses(3));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 http = probe.serverPort();
    probe.close();
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.environment().insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
    server.environment().remove(QStringLiteral("STATE_DIRECTORY"));
    QVERIFY(server.writeServerIni(settings(port, reply, http, keep)) && server.writeUserIni(kAccounts));
    QVERIFY(server.start() && manager.waitFor("READY=1"));
    QCOMPARE(manager.store.keys(), QList<QByteArray>({"http", "udp"}));

    LoopbackClient ann, bob, carol;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), reply) && bob.bind(QStringLiteral("127.0.0.3"), reply)
            && carol.bind(QStringLiteral("127.0.0.4"), reply));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), port) && receives(ann, Packet::LogonAccepted));
    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), port) && receives(bob, Packet::LogonAccepted));
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::AircraftDetails, 1), port)
            && receives(bob, Packet::AircraftDetails));

    const QString checkpoint = QDir(server.programDir()).filePath(
        QStringLiteral("registry-%1.checkpoint").arg(server.environment().value(QStringLiteral("VENTORO_INSTANCE"))));
    const auto written = [&checkpoint] {
        QFile file(checkpoint);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("\"sentPlaneType\":true");
    };
    if (kill) // what a crash leaves is the last periodic write
        QTRY_VERIFY_WITH_TIMEOUT(written(), kWaitMs);
    QVERIFY(server.sendSignal(kill ? SIGKILL : SIGTERM) && server.waitForFinished(kWaitMs));
    QCOMPARE(manager.waitFor("STOPPING=1", 200), !kill);
    QCOMPARE(QFile::exists(checkpoint), keep);
    QVERIFY(!keep || !(QFile(checkpoint).permissions() & (QFile::ReadGroup | QFile::ReadOther)));
    QFile file(checkpoint);
    QVERIFY(replace.isEmpty() || (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(replace) > 0));
    file.close();
    // In the gap nobody runs; the stored socket keeps what comes.
    QVERIFY(ann.sendRecord(ClientRecords::keepAlive(1), port));
    ann.discardPending();
    bob.discardPending();

    // The next start, as the manager makes it: the stored sockets at 3 and
    // 4, named, for this very process.
    const int udp = manager.store.value("udp");
    const int listening = manager.store.value("http");
    server.setChildSetup([udp, listening] {
        const int a = ::fcntl(udp, F_DUPFD, 64);
        const int b = ::fcntl(listening, F_DUPFD, 64);
        ::dup2(a, 3);
        ::dup2(b, 4);
        ::close(a);
        ::close(b);
    });
    server.setLauncher({QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("LISTEN_PID=$$ exec \"$0\" \"$@\"")});
    server.environment().insert(QStringLiteral("LISTEN_FDS"), QStringLiteral("2"));
    server.environment().insert(QStringLiteral("LISTEN_FDNAMES"), QStringLiteral("udp:http"));
    const quint16 secondPort = otherPort ? freeUdpPort(QStringLiteral("0.0.0.0")) : port;
    QVERIFY(server.writeServerIni(settings(secondPort, reply, http, keep)));
    manager.notices.clear();
    QVERIFY(server.start() && manager.waitFor("READY=1"));
    // A socket that fits is taken back; one that does not is bound anew.
    QCOMPARE(manager.notices.join().contains("FDSTORE=1\nFDNAME=udp"), otherPort);
    QVERIFY(!manager.notices.join().contains("FDNAME=http"));

    // Without a new logon: the keep-alive of the gap is answered and Ann's
    // flight data reaches Bob only when both are still registered. Carol's
    // logon, handled after them, marks when all they caused has been sent.
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::FlightData, 1), secondPort));
    QVERIFY(carol.sendRecord(ClientRecords::logonRequest(3, 33, QStringLiteral("Carol")), secondPort));
    QVERIFY(receives(carol, Packet::LogonAccepted));
    QCOMPARE(receives(ann, Packet::KeepAlive, 200), restored);
    QCOMPARE(receives(bob, Packet::FlightData, 200), restored);
    QVERIFY(metrics(http).contains(restored ? "\nventoro_restored_players 2\n" : "\nventoro_restored_players 0\n"));
    QVERIFY(server.stop());
    const QByteArray log = server.logText();
    const qsizetype line = log.indexOf(" - Restored 2 players from the previous run (gap ");
    QCOMPARE(line >= 0, restored);
    if (restored)
        qInfo("%s", log.mid(line + 3, log.indexOf(')', line) - line - 2).constData());
    QCOMPARE(server.standardError().contains("Did not restore the players of the previous run"), keep && !restored);
    QCOMPARE(QFile::exists(checkpoint + QStringLiteral(".rejected")), keep && !restored);
}

QTEST_GUILESS_MAIN(tst_Restart)
#include "tst_restart.moc"
