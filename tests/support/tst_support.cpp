#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int WaitMs = 10000;
constexpr int StandInLifetimeSeconds = 60;

// The test binary doubles as a stand-in server: "--stand-in PORT MODE".
// MODE "plain" ends on SIGTERM, "stubborn" ignores it, "exit" ends at once
// with status 3. Its lifetime is bounded even if nobody stops it.
int runStandIn(quint16 port, const char *mode)
{
    if (qstrcmp(mode, "exit") == 0)
        return 3;
    if (qstrcmp(mode, "stubborn") == 0)
        std::signal(SIGTERM, SIG_IGN);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return 4;
    std::fprintf(stderr, "stand-in ready\n");
    std::fflush(stderr);
    for (int second = 0; second < StandInLifetimeSeconds; ++second)
        ::sleep(1);
    return 0;
}

} // namespace

class tst_Support : public QObject
{
    Q_OBJECT

private slots:
    void freePortIsFreeOnEveryAddress();
    void clientStaysOnLoopback_data();
    void clientStaysOnLoopback();
    void serverProcessListensAndStops();
    void stubbornProcessIsKilled();
    void earlyExitIsNotListening();
};

void tst_Support::freePortIsFreeOnEveryAddress()
{
    const QStringList hosts = QStringList {QStringLiteral("127.0.0.1")} + clientAddresses(3);
    const quint16 port = freeUdpPort(hosts);
    QVERIFY(port != 0);
    LoopbackClient clients[4];
    for (int n = 0; n < hosts.size(); ++n) {
        QString error;
        QVERIFY2(clients[n].bind(hosts.at(n), port, &error), qPrintable(hosts.at(n) + ": " + error));
    }
    QVERIFY(freeUdpPort(QStringLiteral("0.0.0.0")) != 0);
}

void tst_Support::clientStaysOnLoopback_data()
{
    QTest::addColumn<QString>("bindAddress");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("loopback to loopback") << "127.0.0.2" << "127.0.0.1" << true;
    QTest::newRow("far end of loopback") << "127.0.0.254" << "127.255.255.254" << true;
    QTest::newRow("bind to a real interface") << "192.0.2.2" << "127.0.0.1" << false;
    QTest::newRow("bind to every address") << "0.0.0.0" << "127.0.0.1" << false;
    QTest::newRow("send off the machine") << "127.0.0.2" << "192.0.2.1" << false;
    QTest::newRow("send to a name") << "127.0.0.2" << "localhost" << false;
}

void tst_Support::clientStaysOnLoopback()
{
    QFETCH(QString, bindAddress);
    QFETCH(QString, target);
    QFETCH(bool, allowed);

    LoopbackClient client;
    const bool bound = client.bind(bindAddress, 0);
    const bool sent = bound && client.sendDatagram(QByteArray(128, 'x'), 9, target);
    QCOMPARE(bound && sent, allowed);
}

void tst_Support::serverProcessListensAndStops()
{
    ServerProcess server(QCoreApplication::applicationFilePath());
    QVERIFY2(server.isValid(), qPrintable(server.errorText()));
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    QVERIFY(server.start({QStringLiteral("--stand-in"), QString::number(port), QStringLiteral("plain")}));
    QVERIFY(server.waitUntilListening(port, WaitMs));
    QVERIFY(server.stop());
    QVERIFY(!server.isRunning());
    QVERIFY(server.standardError().contains("stand-in ready"));
}

void tst_Support::stubbornProcessIsKilled()
{
    ServerProcess server(QCoreApplication::applicationFilePath());
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    QVERIFY(server.start({QStringLiteral("--stand-in"), QString::number(port), QStringLiteral("stubborn")}));
    QVERIFY(server.waitUntilListening(port, WaitMs));
    QVERIFY(!server.stop(100));
    QVERIFY(!server.isRunning());
    QVERIFY(!server.exitedNormally());
}

void tst_Support::earlyExitIsNotListening()
{
    ServerProcess server(QCoreApplication::applicationFilePath());
    const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
    QVERIFY(server.start({QStringLiteral("--stand-in"), QString::number(port), QStringLiteral("exit")}));
    QVERIFY(!server.waitUntilListening(port, WaitMs));
    QVERIFY(server.waitForFinished(WaitMs));
    QCOMPARE(server.exitCode(), 3);
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--stand-in") == 0)
        return runStandIn(quint16(QByteArray(argv[2]).toUInt()), argv[3]);
    QCoreApplication app(argc, argv);
    tst_Support test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_support.moc"
