// The real server restarted on loopback, without a service manager: with
// "KeepPilotsOnRestart" two pilots stay registered across a clean stop and
// a kill, and keep talking without a new logon; a checkpoint that does not
// fit is set aside with a line saying why; with the switch off nothing is
// written or restored.
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

QByteArray settings(quint16 server, quint16 reply, bool keep)
{
    return "[General]\r\nConnectPort=" + QByteArray::number(server) + "\r\nClientConnectPort=" + QByteArray::number(reply)
        + "\r\nShowScreen=0\r\nKeepPilotsOnRestart=" + (keep ? "1" : "0") + "\r\n";
}

qint32 typeOf(const std::optional<LoopbackDatagram> &datagram)
{
    return datagram ? Packet::fromDatagram(datagram->bytes).PacketType() : 0;
}

// The first datagram of `type` within the wait, skipping others.
bool receives(LoopbackClient &client, qint32 type)
{
    for (int i = 0; i < 20; ++i) {
        const std::optional<LoopbackDatagram> datagram = client.waitForDatagram(kWaitMs / 10);
        if (typeOf(datagram) == type)
            return true;
    }
    return false;
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
    QTest::addColumn<QString>("how");       // "stop" (SIGTERM) or "kill" (SIGKILL)
    QTest::addColumn<QByteArray>("replace"); // the checkpoint's bytes before the restart; empty: as left
    QTest::addColumn<bool>("otherPort");     // the second run listens elsewhere
    QTest::addColumn<bool>("restored");

    QTest::newRow("clean stop") << true << "stop" << QByteArray() << false << true;
    QTest::newRow("killed") << true << "kill" << QByteArray() << false << true;
    QTest::newRow("switch off") << false << "stop" << QByteArray() << false << false;
    QTest::newRow("damaged") << true << "stop" << QByteArray("{\"format\":\"ventoro-registry-checkpoint\",\"ver") << false << false;
    QTest::newRow("hostile") << true << "stop" << QByteArray(200000, '[') << false << false;
    QTest::newRow("other port") << true << "stop" << QByteArray() << true << false;
}

void tst_Restart::restart()
{
    QFETCH(bool, keep);
    QFETCH(QString, how);
    QFETCH(QByteArray, replace);
    QFETCH(bool, otherPort);
    QFETCH(bool, restored);

    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    const quint16 reply = freeUdpPort(clientAddresses(2));
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    for (const char *name : {"STATE_DIRECTORY", "NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"})
        server.environment().remove(QString::fromLatin1(name));
    QVERIFY(server.writeServerIni(settings(port, reply, keep)) && server.writeUserIni(kAccounts));
    QVERIFY(server.start() && server.waitUntilListening(port, kWaitMs));

    LoopbackClient ann;
    LoopbackClient bob;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), reply) && bob.bind(QStringLiteral("127.0.0.3"), reply));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), port));
    QVERIFY(receives(ann, Packet::LogonAccepted));
    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), port));
    QVERIFY(receives(bob, Packet::LogonAccepted));
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::AircraftDetails, 1), port));
    QVERIFY(receives(bob, Packet::AircraftDetails));

    const QString checkpoint = QDir(server.programDir())
                                   .filePath(QStringLiteral("registry-%1.checkpoint")
                                                 .arg(server.environment().value(QStringLiteral("VENTORO_INSTANCE"))));
    if (how == QLatin1String("kill")) {
        // What a crash leaves is the last periodic write.
        QTRY_VERIFY_WITH_TIMEOUT([&] {
            QFile file(checkpoint);
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            return bytes.contains("\"Bob\"") && bytes.contains("\"sentPlaneType\":true");
        }(), kWaitMs);
        QVERIFY(server.sendSignal(SIGKILL) && server.waitForFinished(kWaitMs));
    } else {
        QVERIFY(server.stop());
    }
    QCOMPARE(QFile::exists(checkpoint), keep);
    if (keep)
        QCOMPARE(QFile(checkpoint).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFileDevice::Permissions());
    if (!replace.isEmpty()) {
        QFile file(checkpoint);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(replace) == replace.size());
    }
    const quint16 secondPort = otherPort ? freeUdpPort(QStringLiteral("0.0.0.0")) : port;
    QVERIFY(server.writeServerIni(settings(secondPort, reply, keep)));
    ann.discardPending();
    bob.discardPending();
    // The first run's log says it listened; the second run's must say so.
    QVERIFY(QFile::remove(QDir(server.workingDirectory()).filePath(QStringLiteral("log.txt"))));
    QVERIFY(server.start() && server.waitUntilListening(secondPort, kWaitMs));

    // Without a new logon: Ann's keep-alive is echoed and her flight data
    // reaches Bob only when both are still registered. Carol's logon,
    // handled after them, marks when everything they caused has been sent.
    QVERIFY(ann.sendRecord(ClientRecords::keepAlive(1), secondPort));
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::FlightData, 1), secondPort));
    LoopbackClient carol;
    QVERIFY(carol.bind(QStringLiteral("127.0.0.4"), reply));
    QVERIFY(server.writeUserIni(kAccounts + "[3]\r\nPwd=33\r\n"));
    QVERIFY(carol.sendRecord(ClientRecords::logonRequest(3, 33, QStringLiteral("Carol")), secondPort));
    QVERIFY(receives(carol, Packet::LogonAccepted));
    const auto types = [](LoopbackClient &client) {
        QList<qint32> seen;
        for (const LoopbackDatagram &datagram : client.collect(200))
            seen.append(Packet::fromDatagram(datagram.bytes).PacketType());
        return seen;
    };
    QCOMPARE(types(ann).contains(Packet::KeepAlive), restored);
    QCOMPARE(types(bob).contains(Packet::FlightData), restored);
    QVERIFY(server.stop());
    const QByteArray out = server.standardOutput() + server.standardError();
    QCOMPARE(server.logText().contains(" - Restored 2 players from the previous run (gap "), restored);
    QCOMPARE(out.contains("Did not restore the players of the previous run"), keep && !restored);
    QCOMPARE(QFile::exists(checkpoint + QStringLiteral(".rejected")), keep && !restored);
}

QTEST_GUILESS_MAIN(tst_Restart)
#include "tst_restart.moc"
