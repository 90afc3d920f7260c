// The relay service in-process, with its real socket, control socket and
// event loop: what an operator's request works for must survive the yields
// of that request.
#include "FreePort.h"
#include "RelayService.h"

#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class tst_RelayService : public QObject
{
    Q_OBJECT

private slots:
    void operatorRequestOutlivesItsClient_data();
    void operatorRequestOutlivesItsClient();
};

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

// "reload bans" after a ban of 127.0.0.0/8 removes every pilot, and every
// removal tells every other pilot: thousands of sends, each followed by a
// yield in which the client may vanish and a stop may come.
void tst_RelayService::operatorRequestOutlivesItsClient_data()
{
    QTest::addColumn<bool>("clientLeaves");
    QTest::addColumn<bool>("stopInside");
    QTest::newRow("client leaves") << true << false;
    QTest::newRow("stop inside") << false << true;
    QTest::newRow("client leaves, stop inside") << true << true;
}

void tst_RelayService::operatorRequestOutlivesItsClient()
{
    QFETCH(bool, clientLeaves);
    QFETCH(bool, stopInside);
    constexpr int kPilots = 300;
    QTemporaryDir dir;
    const quint16 port = freeUdpPort(), replyPort = freeUdpPort();
    writeFile(dir.filePath(QStringLiteral("VentoroServer.ini")),
              QStringLiteral("[General]\r\nDebug=0\r\nConnectPort=%1\r\nClientConnectPort=%2\r\n")
                  .arg(port)
                  .arg(replyPort)
                  .toLatin1());
    writeFile(dir.filePath(QStringLiteral("bans.ini")), "[127.0.0.0/8]\r\nReason=test\r\n");

    RelayService service;
    ServerContext &context = service.context();
    context.ServerIni.FileName(dir.filePath(QStringLiteral("VentoroServer.ini")).toStdString());
    context.UsersIni.FileName(dir.filePath(QStringLiteral("user.ini")).toStdString());
    QString error;
    QVERIFY2(service.startListening(&error), qPrintable(error));
    const QString controlPath = dir.filePath(QStringLiteral("test.control"));
    service.startOperatorAccess(controlPath, QStringLiteral("test"), dir.filePath(QStringLiteral("log.txt")));
    for (int i = 0; i < kPilots; ++i) {
        const QString handle = QStringLiteral("P%1").arg(i);
        const PlayerPtr player = context.players.add(handle, Endpoint::fromIpv4(0x7F000002u + quint32(i), replyPort));
        player->Handle = handle;
        player->serverId = i + 1;
        player->ServerID = QString::number(i + 1);
    }

    bool stopped = false;
    QTimer stopOnceRemoving;
    stopOnceRemoving.setInterval(0);
    connect(&stopOnceRemoving, &QTimer::timeout, this, [&] {
        if (stopInside && !stopped && context.players.count() < kPilots) {
            stopped = true;
            service.stopListening();
        }
    });
    stopOnceRemoving.start();

    QLocalSocket client;
    client.connectToServer(controlPath);
    QVERIFY(client.waitForConnected(5000));
    client.write("reload bans\n");
    QVERIFY(client.waitForBytesWritten(5000));
    if (clientLeaves)
        client.abort();

    // The request completes whatever happened around it.
    QTRY_COMPARE_WITH_TIMEOUT(context.players.count(), 0, 60000);
    QCOMPARE(stopped, stopInside);
    if (stopInside)
        QVERIFY(!service.endpoint().isBound());
    if (!clientLeaves) {
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine() || client.state() != QLocalSocket::ConnectedState, 10000);
        QVERIFY(client.readLine().contains("\"removed\""));
    }
    // A new request finds the socket closed once the service has stopped.
    QLocalSocket late;
    late.connectToServer(controlPath);
    QCOMPARE(late.waitForConnected(1000), !stopInside);
}

QTEST_GUILESS_MAIN(tst_RelayService)
#include "tst_relayservice.moc"
