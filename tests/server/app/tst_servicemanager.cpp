// The real server under a stand-in for the service manager, on loopback:
// the test plays systemd's side of the notify protocol (a datagram socket
// named by NOTIFY_SOCKET, descriptors passed with the messages) and of the
// descriptor store (LISTEN_FDS, LISTEN_FDNAMES, LISTEN_PID at the next
// start). Pilots stay registered across the restart, what they sent in the
// gap is handled by the next run, and a start that cannot bind never says
// it is ready.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
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
const QByteArray kAccounts("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n");

// systemd's side: the notify socket, the notices that came, the store.
class StandInManager
{
public:
    StandInManager()
    {
        m_path = m_dir.filePath(QStringLiteral("notify"));
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(m_path);
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
    QString path() const { return m_path; }

    // Reads notices until one holds `line` (true) or the wait ends; stores
    // the descriptors of FDSTORE=1 notices by FDNAME.
    bool waitFor(const QByteArray &line, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            pollfd entry {m_fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            const QByteArray notice = receive();
            notices.append(notice);
            if (notice.split('\n').contains(line))
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
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        iovec part {text, sizeof text};
        msghdr message {};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(m_fd, &message, MSG_CMSG_CLOEXEC);
        const QByteArray notice(text, size > 0 ? qsizetype(size) : 0);
        QList<int> fds;
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
                const int count = int((header->cmsg_len - CMSG_LEN(0)) / sizeof(int));
                for (int i = 0; i < count; ++i)
                    fds.append(reinterpret_cast<int *>(CMSG_DATA(header))[i]);
            }
        }
        QByteArray name;
        for (const QByteArray &line : notice.split('\n'))
            if (line.startsWith("FDNAME="))
                name = line.mid(7);
        for (int fd : std::as_const(fds)) {
            if (notice.contains("FDSTORE=1") && !store.contains(name))
                store.insert(name, fd);
            else
                ::close(fd);
        }
        return notice;
    }

    QTemporaryDir m_dir;
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
};

quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QByteArray settings(quint16 port, quint16 reply, quint16 http)
{
    return "[General]\r\nConnectPort=" + QByteArray::number(port) + "\r\nClientConnectPort=" + QByteArray::number(reply)
        + "\r\nShowScreen=0\r\nKeepPilotsOnRestart=1\r\nHttpPort=" + QByteArray::number(http) + "\r\n";
}

bool receives(LoopbackClient &client, qint32 type)
{
    for (int i = 0; i < 20; ++i) {
        const std::optional<LoopbackDatagram> datagram = client.waitForDatagram(kWaitMs / 20);
        if (datagram && Packet::fromDatagram(datagram->bytes).PacketType() == type)
            return true;
    }
    return false;
}

QByteArray httpGet(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kWaitMs))
        return {};
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(kWaitMs))
        answer += socket.readAll();
    return answer + socket.readAll();
}

} // namespace

class tst_ServiceManager : public QObject
{
    Q_OBJECT

private slots:
    void restartWithStoredSockets();
    void failedBindIsNoReadyStart();
};

void tst_ServiceManager::restartWithStoredSockets()
{
    StandInManager manager;
    QVERIFY(manager.isValid());
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    const quint16 reply = freeUdpPort(clientAddresses(2));
    const quint16 http = freeTcpPort();
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.environment().insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
    server.environment().remove(QStringLiteral("STATE_DIRECTORY"));
    QVERIFY(server.writeServerIni(settings(port, reply, http)) && server.writeUserIni(kAccounts));
    QVERIFY(server.start());
    QVERIFY(manager.waitFor("READY=1", kWaitMs));
    QCOMPARE(manager.store.keys(), QList<QByteArray>({"http", "udp"}));

    LoopbackClient ann;
    LoopbackClient bob;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), reply) && bob.bind(QStringLiteral("127.0.0.3"), reply));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), port) && receives(ann, Packet::LogonAccepted));
    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), port) && receives(bob, Packet::LogonAccepted));
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::AircraftDetails, 1), port) && receives(bob, Packet::AircraftDetails));

    QVERIFY(server.sendSignal(SIGTERM));
    QVERIFY(manager.waitFor("STOPPING=1", kWaitMs));
    QVERIFY(server.waitForFinished(kWaitMs));
    // In the gap: nobody runs, the stored socket keeps what comes.
    QVERIFY(ann.sendRecord(ClientRecords::keepAlive(1), port));
    ann.discardPending();
    bob.discardPending();

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
    manager.notices.clear();
    QVERIFY(server.start());
    QVERIFY(manager.waitFor("READY=1", kWaitMs));
    for (const QByteArray &notice : std::as_const(manager.notices))
        QVERIFY2(!notice.contains("FDSTORE=1"), notice.constData()); // both sockets taken back, none bound anew

    // The keep-alive of the gap is answered, and Ann's flight data reaches
    // Bob, with no new logon.
    QVERIFY(receives(ann, Packet::KeepAlive));
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::FlightData, 1), port));
    QVERIFY(receives(bob, Packet::FlightData));
    QVERIFY(httpGet(http, "/metrics").contains("\nventoro_restored_players 2\n"));
    QVERIFY(server.stop());
    const QByteArray log = server.logText();
    const qsizetype restored = log.indexOf(" - Restored 2 players from the previous run (gap ");
    QVERIFY(restored >= 0);
    qInfo("%s", log.mid(restored + 3, log.indexOf(')', restored) - restored - 2).constData());
}

// Type=notify makes a start that never says READY=1 a failed start.
void tst_ServiceManager::failedBindIsNoReadyStart()
{
    StandInManager manager;
    QVERIFY(manager.isValid());
    LoopbackClient squatter;
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    QVERIFY(squatter.bind(QStringLiteral("127.0.0.1"), port));
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.environment().insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
    QVERIFY(server.writeServerIni(settings(port, freeUdpPort(), 0)) && server.writeUserIni(kAccounts));
    QVERIFY(server.start());
    QVERIFY(server.waitForFinished(kWaitMs));
    QVERIFY(server.exitCode() != 0);
    QVERIFY(!manager.waitFor("READY=1", 200));
}

QTEST_GUILESS_MAIN(tst_ServiceManager)
#include "tst_servicemanager.moc"
