// The real server binary under the faults of a real machine: a full disk
// under its log, a user.ini that changes under it, the signals that end it
// or make it reopen its log. Each test starts its own server on free ports.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kWaitMs = 10000;
const QByteArray kAccounts("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n");

qint32 typeOf(const std::optional<LoopbackDatagram> &datagram)
{
    return datagram ? Packet::fromDatagram(datagram->bytes).PacketType() : 0;
}

} // namespace

class tst_ServerFaults : public QObject
{
    Q_OBJECT

private slots:
    void fullDiskUnderTheLog();
    void usersFileChangesBetweenLogons();
    void endedFromOutside_data();
    void endedFromOutside();
    void hangUpReopensTheLog();

private:
    // Starts a server with logging on; clients bind the reply port on
    // 127.0.0.2 and up.
    void start(ServerProcess &server, int clients);
    // Binds a client on 127.0.0.(1 + n) and logs it on; returns the reply.
    // An accepted logon is done with once the keep-alive sent after it is
    // echoed: every line it logs has been written by then.
    std::optional<LoopbackDatagram> logOn(LoopbackClient &client, int n, qint32 pilot, qint32 password,
                                          const QString &handle);

    quint16 m_port = 0;
    quint16 m_reply = 0;
};

void tst_ServerFaults::start(ServerProcess &server, int clients)
{
    m_port = freeUdpPort(QStringLiteral("0.0.0.0"));
    m_reply = freeUdpPort(clientAddresses(clients));
    QVERIFY(server.isValid());
    QVERIFY(server.writeServerIni("[General]\r\nConnectPort=" + QByteArray::number(m_port) + "\r\nClientConnectPort="
                                  + QByteArray::number(m_reply) + "\r\nShowScreen=0\r\n"));
    QVERIFY(server.writeUserIni(kAccounts));
    QVERIFY(server.start());
    QVERIFY(server.waitUntilListening(m_port, kWaitMs));
}

std::optional<LoopbackDatagram> tst_ServerFaults::logOn(LoopbackClient &client, int n, qint32 pilot, qint32 password,
                                                       const QString &handle)
{
    if (!client.isBound() && !client.bind(QStringLiteral("127.0.0.%1").arg(1 + n), m_reply))
        return std::nullopt;
    client.sendRecord(ClientRecords::logonRequest(pilot, password, handle), m_port);
    const std::optional<LoopbackDatagram> reply = client.waitForDatagram(kWaitMs);
    if (typeOf(reply) == Packet::LogonAccepted) {
        client.sendRecord(ClientRecords::keepAlive(Packet::fromDatagram(reply->bytes).int32At(Packet::PlayerIDAt)), m_port);
        std::optional<LoopbackDatagram> echo;
        while ((echo = client.waitForDatagram(kWaitMs)) && typeOf(echo) != Packet::KeepAlive) {
        }
    }
    return reply;
}

// The log may grow to 600 bytes: the banner fits, the lines of two logons
// do not. SIGXFSZ is ignored, so each write past the limit fails; the
// server says so once and goes on relaying.
void tst_ServerFaults::fullDiskUnderTheLog()
{
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.setFileSizeLimit(600);
    start(server, 2);
    LoopbackClient ann;
    LoopbackClient bob;
    QCOMPARE(typeOf(logOn(ann, 1, 1, 11, QStringLiteral("Ann"))), qint32(Packet::LogonAccepted));
    QCOMPARE(typeOf(logOn(bob, 2, 2, 22, QStringLiteral("Bob"))), qint32(Packet::LogonAccepted));
    ann.collect(100);
    bob.collect(100);
    for (int n = 0; n < 5; ++n) {
        const QByteArray details = ClientRecords::flightRecord(Packet::AircraftDetails, 1, char('a' + n));
        QVERIFY(ann.sendRecord(details, m_port));
        const auto relayed = bob.waitForDatagram(kWaitMs);
        QVERIFY(relayed);
        QCOMPARE(relayed->bytes, details);
    }
    QVERIFY(server.isRunning());
    QCOMPARE(server.standardError().count("the log is incomplete"), 1);
    QVERIFY(server.logText().size() <= 600);
    QVERIFY(server.stop());
    QCOMPARE(server.exitCode(), 0);
}

// Each logon is judged by what user.ini holds at that moment. Root reads
// any file whatever its mode, so "unreadable" is a directory in its place.
void tst_ServerFaults::usersFileChangesBetweenLogons()
{
    enum Change { Keep, Replace, Truncate, MakeUnreadable, Delete, Restore };
    struct Step {
        Change change;
        qint32 password;
        qint32 expected;
    };
    const Step steps[] = {
        {Keep, 11, Packet::LogonAccepted},          {Replace, 11, Packet::LogonRejected},
        {Keep, 99, Packet::LogonAccepted},          {Truncate, 99, Packet::LogonRejected},
        {Keep, 9, Packet::LogonAccepted},           {MakeUnreadable, 9, Packet::LogonRejected},
        {Delete, 11, Packet::LogonRejected},        {Restore, 11, Packet::LogonAccepted},
    };
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, int(std::size(steps)));
    const QString usersPath = QDir(server.programDir()).filePath(QStringLiteral("user.ini"));
    const QString replacement = usersPath + QStringLiteral(".new");
    for (int n = 0; n < int(std::size(steps)); ++n) {
        switch (steps[n].change) {
        case Keep: break;
        case Replace: // as an editor saves: a new file renamed over the old
            QVERIFY(server.writeProgramFile(QStringLiteral("user.ini.new"), "[1]\r\nPwd=99\r\nName=Ann\r\n"));
            QVERIFY(::rename(qPrintable(replacement), qPrintable(usersPath)) == 0);
            break;
        case Truncate: QVERIFY(QFile::resize(usersPath, 10)); break; // "[1]\r\nPwd=9"
        case MakeUnreadable: QVERIFY(QFile::remove(usersPath) && QDir().mkdir(usersPath)); break;
        case Delete: QVERIFY(QDir().rmdir(usersPath)); break;
        case Restore: QVERIFY(server.writeUserIni(kAccounts)); break;
        }
        LoopbackClient client; // a fresh address each time: no throttling
        QCOMPARE(typeOf(logOn(client, n + 1, 1, steps[n].password, QStringLiteral("Ann%1").arg(n))),
                 steps[n].expected);
    }
    QVERIFY(server.isRunning());
}

void tst_ServerFaults::endedFromOutside_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("orderly");
    QTest::newRow("SIGTERM") << int(SIGTERM) << true;
    QTest::newRow("SIGINT") << int(SIGINT) << true;
    QTest::newRow("kill -9") << int(SIGKILL) << false;
}

// However the server ends, the lines of the logon answered just before are
// in the log.
void tst_ServerFaults::endedFromOutside()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, orderly);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, 1);
    LoopbackClient ann;
    QCOMPARE(typeOf(logOn(ann, 1, 1, 11, QStringLiteral("Ann"))), qint32(Packet::LogonAccepted));
    QVERIFY(server.sendSignal(signalNumber));
    QVERIFY(server.waitForFinished(kWaitMs));
    QCOMPARE(server.exitedNormally() && server.exitCode() == 0, orderly);
    const QByteArray log = server.logText();
    QVERIFY(log.contains(" - Rcvd logon request from 127.0.0.2\r\n"));
    QVERIFY(log.contains(" - User Ann logged on from 127.0.0.2\r\n"));
    QVERIFY(log.endsWith("\r\n"));
}

// logrotate moves log.txt away and sends SIGHUP: the lines before are in the
// moved file, the lines after in a new log.txt.
void tst_ServerFaults::hangUpReopensTheLog()
{
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, 2);
    LoopbackClient ann;
    LoopbackClient bob;
    QCOMPARE(typeOf(logOn(ann, 1, 1, 11, QStringLiteral("Ann"))), qint32(Packet::LogonAccepted));
    const QDir dir(server.workingDirectory());
    QVERIFY(QFile::rename(dir.filePath(QStringLiteral("log.txt")), dir.filePath(QStringLiteral("log.txt.1"))));
    QVERIFY(server.sendSignal(SIGHUP));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("log.txt"))), kWaitMs);
    QCOMPARE(typeOf(logOn(bob, 2, 2, 22, QStringLiteral("Bob"))), qint32(Packet::LogonAccepted));
    QVERIFY(server.stop());
    QCOMPARE(server.exitCode(), 0);

    QFile moved(dir.filePath(QStringLiteral("log.txt.1")));
    QVERIFY(moved.open(QIODevice::ReadOnly));
    const QByteArray before = moved.readAll();
    const QByteArray after = server.logText();
    QVERIFY(before.contains(" - User Ann logged on from 127.0.0.2\r\n"));
    QVERIFY(after.contains(" - Rcvd logon request from 127.0.0.3\r\n"));
    QVERIFY(after.contains(" - User Bob logged on from 127.0.0.3\r\n"));
    QVERIFY(!before.contains("Bob") && !after.contains("Ann logged on"));
    QVERIFY(before.endsWith("\r\n") && after.endsWith("\r\n"));
}

QTEST_GUILESS_MAIN(tst_ServerFaults)
#include "tst_serverfaults.moc"
