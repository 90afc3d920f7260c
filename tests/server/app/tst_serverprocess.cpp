// The real server binary on loopback: start-up, the log file, refusal of a
// second copy, a port in use, a bans file it cannot take in, logon and relay between two clients, and the
// receive path under odd and junk datagrams. Each test starts its own
// server on free ports and ends it.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QDir>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <sys/stat.h>

namespace {

constexpr int kWaitMs = 10000;

struct Ports {
    quint16 server = 0;
    quint16 reply = 0;
};

Ports freePorts(int clients)
{
    Ports ports;
    ports.server = freeUdpPort(QStringLiteral("0.0.0.0"));
    ports.reply = freeUdpPort(clientAddresses(clients));
    return ports;
}

QByteArray settings(const Ports &ports, const QByteArray &extra = {})
{
    return "[General]\r\nConnectPort=" + QByteArray::number(ports.server) + "\r\nClientConnectPort="
        + QByteArray::number(ports.reply) + "\r\nShowScreen=0\r\n" + extra;
}

const QByteArray kAccounts("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n");

qint32 typeOf(const LoopbackDatagram &datagram)
{
    return Packet::fromDatagram(datagram.bytes).PacketType();
}

} // namespace

class tst_ServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void startsWithDefaultsAndLogsInTheWorkingDirectory();
    void loggingOffCreatesNoLog();
    void secondCopyIsRefused();
    void portInUse_data();
    void portInUse();
    void startFailuresSayWhy_data();
    void startFailuresSayWhy();
    void unusableBansStopTheStart_data();
    void unusableBansStopTheStart();
    void logonAndRelayBetweenTwoClients_data();
    void logonAndRelayBetweenTwoClients();
    void oddDatagramDoesNotHoldUpALogon();
    void junkBurstThenLogon();
    void stopsInOrderOnSigterm();

private:
    bool startServer(ServerProcess &server, const QByteArray &serverIni, quint16 port);
};

bool tst_ServerProcess::startServer(ServerProcess &server, const QByteArray &serverIni, quint16 port)
{
    if (!server.isValid() || !server.writeServerIni(serverIni) || !server.writeUserIni(kAccounts) || !server.start())
        return false;
    return server.waitUntilListening(port, kWaitMs);
}

void tst_ServerProcess::startsWithDefaultsAndLogsInTheWorkingDirectory()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::AnyIPv4, 1500) || !QUdpSocket().bind(QHostAddress(QStringLiteral("127.0.0.2")), 1501))
        QSKIP("the default ports 1500 and 1501 are in use on this machine");
    probe.close();

    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QTemporaryDir workingDir;
    server.setWorkingDirectory(workingDir.path());
    QVERIFY(server.writeUserIni(kAccounts));
    QVERIFY(server.start());
    QVERIFY(server.waitUntilListening(1500, kWaitMs));
    QVERIFY(server.waitForLog(" - Listening on ", kWaitMs));

    LoopbackClient ann;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), 1501));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), 1500));
    const auto reply = ann.waitForDatagram(kWaitMs);
    QVERIFY(reply);
    const Packet accepted = Packet::fromDatagram(reply->bytes);
    QCOMPARE(accepted.PacketType(), qint32(Packet::LogonAccepted));
    QCOMPARE(accepted.textAt(Packet::MotdAt, Packet::MotdChars), QStringLiteral("Ventoro server run by Brisalt Ltd"));

    QVERIFY(server.stop());
    QVERIFY(!QFile::exists(QDir(server.programDir()).filePath(QStringLiteral("log.txt"))));
    const QStringList lines = QString::fromUtf8(server.logText()).split(QStringLiteral("\r\n"));
    QVERIFY(lines.size() >= 8);
    QCOMPARE(lines[0], QString(70, u'-'));
    QVERIFY(lines[1].endsWith(QStringLiteral(" - FS MP Server Up - (c) Brisalt Ltd")));
    QCOMPARE(lines[2], QString(70, u'-'));
    QCOMPARE(lines[3], QStringLiteral("Low level debugging is on"));
    QVERIFY(lines[4].contains(QStringLiteral(" - Listening on ")));
    QVERIFY(lines[5].endsWith(QStringLiteral(" - Rcvd logon request from 127.0.0.2")));
}

void tst_ServerProcess::loggingOffCreatesNoLog()
{
    const Ports ports = freePorts(1);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(startServer(server, settings(ports, "Debug=0\r\nDebugLowLevel=1\r\n"), ports.server));
    LoopbackClient ann;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), ports.reply));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), ports.server));
    QVERIFY(ann.waitForDatagram(kWaitMs));
    QVERIFY(server.stop());
    QVERIFY(!QFile::exists(QDir(server.workingDirectory()).filePath(QStringLiteral("log.txt"))));
}

void tst_ServerProcess::secondCopyIsRefused()
{
    const Ports ports = freePorts(1);
    ServerProcess first(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(startServer(first, settings(ports), ports.server));

    ServerProcess second(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(second.writeServerIni(settings(freePorts(1))));
    QVERIFY(second.start());
    QVERIFY(second.waitForFinished(kWaitMs));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.standardError().contains("Ventoro Server module is already running, cannot run program twice"));
    QCOMPARE(QDir(second.workingDirectory()).entryList(QDir::Files), (QStringList{"VentoroServer", "VentoroServer.ini"}));

    LoopbackClient ann;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), ports.reply));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), ports.server));
    QVERIFY(ann.waitForDatagram(kWaitMs));
}

void tst_ServerProcess::portInUse_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<bool>("logged");
    QTest::newRow("hidden, logging") << QByteArray() << true;
    QTest::newRow("shown without a display, no log") << QByteArray("ShowScreen=1\r\nDebug=0\r\n") << false;
}

// With nobody to see a box, the reason goes to standard error (and to the
// log when there is one).
void tst_ServerProcess::portInUse()
{
    QFETCH(QByteArray, options);
    QFETCH(bool, logged);
    const Ports ports = freePorts(1);
    QUdpSocket occupant;
    QVERIFY(occupant.bind(QHostAddress::AnyIPv4, ports.server));
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(server.writeServerIni(settings(ports).replace("ShowScreen=0\r\n", options)));
    QVERIFY(server.start());
    QVERIFY(server.waitForFinished(kWaitMs));
    QCOMPARE(server.exitCode(), 2);
    QCOMPARE(server.logText().contains(" - Error binding to Adapter and port Address already in use\r\n"), logged);
    QVERIFY(server.standardError().contains("Couldn't Bind to port. Server closing"));
    QVERIFY(server.standardError().contains(" - Error binding to Adapter and port Address already in use"));
}

// After the fixed texts, what helps on Linux, in the order things went
// wrong. The first server of each case runs from settings and log
// directories named on its command line, away from its program directory.
void tst_ServerProcess::startFailuresSayWhy_data()
{
    QTest::addColumn<QByteArray>("secondSettings"); // PORT: the first server's port
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("stderrInOrder"); // PID: the first server's process ID, PROGRAMDIR: the second's program directory
    const QStringList noArguments;
    QTest::newRow("second copy") << QByteArray("[General]\r\nShowScreen=0\r\n") << noArguments << 1
        << QStringList{"already running", "The running copy is process PID (", "kill PID", "VENTORO_INSTANCE=NAME"};
    QTest::newRow("bad ConnectPort, then the bind") << QByteArray("[General]\r\nConnectPort=15x\r\nShowScreen=0\r\n")
        << noArguments << 2 << QStringList{"\"ConnectPort\" holds \"15x\", which is no port number from 1 to 65535 in "
                                           "PROGRAMDIR/VentoroServer.ini; the server cannot listen", "Couldn't Bind to port"};
    QTest::newRow("port held") << QByteArray("[General]\r\nConnectPort=PORT\r\nShowScreen=0\r\n") << noArguments << 2
        << QStringList{"Couldn't Bind to port", "UDP port PORT on every address of this machine (\"ConnectPort\" in "
                       "PROGRAMDIR/VentoroServer.ini) could not be had: ", "ss -ulpn 'sport = :PORT'"};
    QTest::newRow("no directory") << QByteArray() << QStringList{"--log-dir"} << 64
        << QStringList{"--log-dir needs a directory", "Usage: VentoroServer [--settings-dir DIR] [--log-dir DIR]"};
}

void tst_ServerProcess::startFailuresSayWhy()
{
    QFETCH(QByteArray, secondSettings);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, stderrInOrder);
    const Ports ports = freePorts(1);
    QTemporaryDir settingsDir, logDir;
    QFile ini(settingsDir.filePath(QStringLiteral("VentoroServer.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(settings(ports)) > 0);
    ini.close();
    ServerProcess first(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(first.start({QStringLiteral("--settings-dir"), settingsDir.path(), QStringLiteral("--log-dir=") + logDir.path()}));
    QVERIFY(first.waitUntilListening(ports.server, kWaitMs));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(logDir.filePath(QStringLiteral("log.txt"))), kWaitMs);
    QVERIFY(!QFile::exists(QDir(first.workingDirectory()).filePath(QStringLiteral("log.txt"))));

    ServerProcess second(QStringLiteral(VENTORO_SERVER_BINARY));
    if (exitCode == 2) // a lock of its own: it gets as far as the bind
        second.environment().insert(QStringLiteral("VENTORO_INSTANCE"), QStringLiteral("second-%1").arg(first.processId()));
    QVERIFY(secondSettings.isEmpty() || second.writeServerIni(secondSettings.replace("PORT", QByteArray::number(ports.server))));
    QVERIFY(second.start(arguments));
    QVERIFY(second.waitForFinished(kWaitMs));
    QCOMPARE(second.exitCode(), exitCode);
    const QString errors = QString::fromUtf8(second.standardError());
    qsizetype from = 0;
    for (QString expected : stderrInOrder) {
        expected.replace(QStringLiteral("PID"), QString::number(first.processId()))
            .replace(QStringLiteral("PROGRAMDIR"), second.programDir())
            .replace(QStringLiteral("PORT"), QString::number(ports.server));
        from = errors.indexOf(expected, from);
        QVERIFY2(from >= 0, qPrintable(expected + QStringLiteral(" not in order in:\n") + errors));
    }
}

void tst_ServerProcess::unusableBansStopTheStart_data()
{
    QTest::addColumn<QString>("bans");
    QTest::addColumn<QByteArray>("why");
    QTest::newRow("a directory") << "dir" << QByteArray("(not a regular file)");
    QTest::newRow("a FIFO") << "fifo" << QByteArray("(not a regular file)");
    QTest::newRow("over 64 MB") << "huge" << QByteArray("(larger than 67108864 bytes)");
    QTest::newRow("over 500,000 sections") << "many" << QByteArray("(more than 500000 sections)");
}

// A server never runs without the bans its operator gave it: a bans.ini it
// cannot take in ends the start, saying why, before it listens.
void tst_ServerProcess::unusableBansStopTheStart()
{
    QFETCH(QString, bans);
    QFETCH(QByteArray, why);
    const Ports ports = freePorts(1);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    const QString path = QDir(server.programDir()).filePath(QStringLiteral("bans.ini"));
    QFile file(path);
    if (bans == QLatin1String("dir"))
        QVERIFY(QDir(server.programDir()).mkdir(QStringLiteral("bans.ini")));
    else if (bans == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else
        QVERIFY(file.open(QIODevice::WriteOnly));
    for (int section = 0; bans == QLatin1String("many") && section <= 500000; ++section)
        file.write("[" + QByteArray::number(section) + "]\n");
    if (bans == QLatin1String("huge"))
        QVERIFY(file.resize(64 * 1024 * 1024 + 1));
    file.close();
    QVERIFY(server.writeServerIni(settings(ports)) && server.writeUserIni(kAccounts) && server.start());
    QVERIFY(server.waitForFinished(kWaitMs));
    QCOMPARE(server.exitCode(), 3);
    const QByteArray error = server.standardError();
    QVERIFY2(error.contains("bans.ini cannot be read " + why + "; the server does not start without its bans"),
             error.constData());
}

void tst_ServerProcess::logonAndRelayBetweenTwoClients_data()
{
    QTest::addColumn<QByteArray>("fakeClock");
    QTest::newRow("real clock") << QByteArray();
    QTest::newRow("clock ten times as fast") << QByteArray("+0 x10");
    QTest::newRow("clock a day ahead, fast") << QByteArray("+1d x10");
}

void tst_ServerProcess::logonAndRelayBetweenTwoClients()
{
    QFETCH(QByteArray, fakeClock);
    const Ports ports = freePorts(2);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    if (!fakeClock.isEmpty()) {
        const QString library = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
        if (!QFile::exists(library))
            QSKIP("faketime is not installed");
        server.environment().insert(QStringLiteral("LD_PRELOAD"), library);
        server.environment().insert(QStringLiteral("FAKETIME"), QString::fromLatin1(fakeClock));
        server.environment().insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("verify_asan_link_order=0"));
    }
    QVERIFY(startServer(server, settings(ports, "MOTD=  Blue skies  \r\n"), ports.server));
    LoopbackClient ann;
    LoopbackClient bob;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), ports.reply));
    QVERIFY(bob.bind(QStringLiteral("127.0.0.3"), ports.reply));

    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), ports.server));
    auto reply = ann.waitForDatagram(kWaitMs);
    QVERIFY(reply);
    QCOMPARE(Packet::fromDatagram(reply->bytes).textAt(Packet::MotdAt, Packet::MotdChars), QStringLiteral("Blue skies"));

    QVERIFY(bob.sendRecord(ClientRecords::logonRequest(2, 22, QStringLiteral("Bob")), ports.server));
    reply = bob.waitForDatagram(kWaitMs);
    QVERIFY(reply);
    QCOMPARE(Packet::fromDatagram(reply->bytes).int32At(Packet::PlayerIDAt), 2);
    reply = bob.waitForDatagram(kWaitMs); // Ann is present
    QVERIFY(reply);
    QCOMPARE(reply->bytes.toHex(), Golden::playerNotice(1004, 1, QStringLiteral("Ann")).toHex());
    reply = ann.waitForDatagram(kWaitMs); // Bob has come
    QVERIFY(reply);
    QCOMPARE(reply->bytes.toHex(), Golden::playerNotice(1004, 2, QStringLiteral("Bob")).toHex());

    const QByteArray chat = ClientRecords::flightRecord(4131, 1);
    QVERIFY(ann.sendRecord(chat, ports.server));
    reply = bob.waitForDatagram(kWaitMs);
    QVERIFY(reply);
    QCOMPARE(reply->bytes, chat);
    QCOMPARE(reply->senderIP, QStringLiteral("127.0.0.1"));
    QVERIFY(ann.collect(200).isEmpty()); // nobody gets their own record back

    // Flight data waits for aircraft details. How long it queued is told by
    // the kernel's receive times, never by the process's (here fast) clock.
    QVERIFY(ann.sendRecord(ClientRecords::flightRecord(4110, 1), ports.server));
    QVERIFY(bob.waitForDatagram(kWaitMs));
    const QByteArray flight = ClientRecords::flightRecord(4121, 1);
    QVERIFY(ann.sendRecord(flight, ports.server));
    reply = bob.waitForDatagram(kWaitMs);
    QVERIFY(reply);
    QCOMPARE(reply->bytes, flight);
}

void tst_ServerProcess::oddDatagramDoesNotHoldUpALogon()
{
    const Ports ports = freePorts(1);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(startServer(server, settings(ports), ports.server));
    LoopbackClient ann;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), ports.reply));
    QVERIFY(ann.sendDatagram(QByteArray(100, '\x01'), ports.server));
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), ports.server));
    const auto reply = ann.waitForDatagram(kWaitMs);
    QVERIFY(reply);
    QCOMPARE(typeOf(*reply), qint32(Packet::LogonAccepted));
}

void tst_ServerProcess::junkBurstThenLogon()
{
    const Ports ports = freePorts(1);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(startServer(server, settings(ports), ports.server));
    LoopbackClient ann;
    QVERIFY(ann.bind(QStringLiteral("127.0.0.2"), ports.reply));
    QRandomGenerator random(7);
    for (int i = 0; i < 500; ++i) {
        QByteArray junk(int(random.bounded(400)), '\0');
        for (char &byte : junk)
            byte = char(random.bounded(256));
        QVERIFY(ann.sendDatagram(junk, ports.server));
    }
    QVERIFY(ann.sendRecord(ClientRecords::logonRequest(1, 11, QStringLiteral("Ann")), ports.server));
    std::optional<LoopbackDatagram> reply;
    while ((reply = ann.waitForDatagram(kWaitMs)) && typeOf(*reply) != Packet::LogonAccepted) {
    }
    QVERIFY2(reply, "the logon after the junk was never answered");
    QVERIFY(server.isRunning());
}

void tst_ServerProcess::stopsInOrderOnSigterm()
{
    const Ports ports = freePorts(1);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(startServer(server, settings(ports), ports.server));
    // Headless, it builds no window system: no platform plugin, no fonts,
    // nothing said on standard error.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(server.processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY(!mapped.contains("/platforms/libq") && !mapped.contains("/fonts/"));
    QVERIFY(server.stop());
    QVERIFY(server.exitedNormally());
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(server.logText().endsWith("\r\n"));
    QCOMPARE(server.standardError(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_ServerProcess)
#include "tst_serverprocess.moc"
