// The real server binary under the faults of a real machine (a full disk
// under its log, a user.ini that changes under it, the signals that end it
// or make it reopen its log) and under hostile traffic. Each test starts
// its own server on free ports; pilots are 127.0.0.2 and up.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kPilots = 3;
#if defined(__SANITIZE_ADDRESS__)
constexpr int kJunk = 20000; // the sanitizer build handles a datagram several times slower
#else
constexpr int kJunk = 100000;
#endif
const QByteArray kAccounts("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n[3]\r\nPwd=33\r\nName=Cy\r\n");
const QString kHandles[kPilots] = {QStringLiteral("Ann"), QStringLiteral("Bob"), QStringLiteral("Cy")};

qint32 typeOf(const std::optional<LoopbackDatagram> &datagram)
{
    return datagram ? Packet::fromDatagram(datagram->bytes).PacketType() : 0;
}

QByteArray chat(int from, int round)
{
    return ClientRecords::flightRecord(Packet::ChatMessage, from + 1, char('a' + round % 20 + from));
}

// Mostly random bytes of any size, else a record that names a pilot's
// SenderID (its bytes after the header are 'F' to 'L') or a pilot's logon
// with a wrong password.
QByteArray hostileDatagram(QRandomGenerator &random)
{
    const qint32 types[] = {Packet::AircraftDetails, Packet::QueryPlaneType, Packet::PlayerCrashed,
                            Packet::FlightData, Packet::ChatMessage};
    const int kind = int(random.bounded(20));
    const qint32 victim = 1 + qint32(random.bounded(kPilots));
    if (kind < 5)
        return ClientRecords::flightRecord(types[kind], victim, 'F');
    if (kind == 5)
        return ClientRecords::keepAlive(victim);
    if (kind == 6)
        return ClientRecords::logonRequest(victim, qint32(random.bounded(1000, 999999)), kHandles[victim - 1]);
    QByteArray junk(int(random.bounded(1501)), '\0');
    for (char &byte : junk)
        byte = char(random.bounded(256));
    return junk;
}

// Every line the server may write, banner included.
bool isCatalogueLine(const QString &line)
{
    static const QRegularExpression catalogue(QStringLiteral(
        "^(-{70}|Low level debugging is (on|off)|\\d\\d:\\d\\d:\\d\\d - (FS MP Server Up - .*|Listening on [\\d.]+"
        "|Rcvd logon request from [\\d.]+|User rejected logon from [\\d.]+|User .* logged on from [\\d.]+"
        "|Logon refused for pilot \\d+ as \".*\": (wrong password|throttled by (address|pilot ID) until [\\d:]{8}(, not answered)?)"
        "|Send Player Added data to clients|Send Player Added data to client [\\d.]+ .*"
        "|(Checking If Details to be dumped to:\\d+ for |(Not )?Dumping to:\\d+ Player:).* Server ID:\\d+))$"));
    return catalogue.match(line).hasMatch();
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
    void fifoInPlaceOfTheBans();
    void pilotsFlyThroughHostileTraffic();

private:
    void start(ServerProcess &server, int clients);
    // Binds client n (from 1) unless bound and logs it on with the handle
    // "P<n>"; an accepted logon is done with once a keep-alive is echoed:
    // its lines are all written.
    qint32 logOn(LoopbackClient &client, int n, qint32 pilot, qint32 password);
    // Sends keep-alives until one is echoed: the server is still there for
    // this pilot, and has handled everything sent before.
    bool echoed(LoopbackClient &client, qint32 serverID);

    quint16 m_port = 0;
    quint16 m_reply = 0;
};

void tst_ServerFaults::start(ServerProcess &server, int clients)
{
    m_port = freeUdpPort(QStringLiteral("0.0.0.0"));
    m_reply = freeUdpPort(clientAddresses(clients));
    QVERIFY(server.writeServerIni("[General]\r\nConnectPort=" + QByteArray::number(m_port) + "\r\nClientConnectPort="
                                  + QByteArray::number(m_reply) + "\r\nShowScreen=0\r\n"));
    QVERIFY(server.writeUserIni(kAccounts) && server.start());
    QVERIFY(server.waitUntilListening(m_port, kWaitMs));
}

qint32 tst_ServerFaults::logOn(LoopbackClient &client, int n, qint32 pilot, qint32 password)
{
    if (!client.isBound() && !client.bind(QStringLiteral("127.0.0.%1").arg(1 + n), m_reply))
        return 0;
    client.sendRecord(ClientRecords::logonRequest(pilot, password, QStringLiteral("P%1").arg(n)), m_port);
    std::optional<LoopbackDatagram> reply;
    while ((reply = client.waitForDatagram(kWaitMs)) && typeOf(reply) == Packet::PlayerAdded) {
    }
    if (typeOf(reply) == Packet::LogonAccepted && !echoed(client, Packet::fromDatagram(reply->bytes).int32At(Packet::PlayerIDAt)))
        return 0;
    return typeOf(reply);
}

bool tst_ServerFaults::echoed(LoopbackClient &client, qint32 serverID)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        client.sendRecord(ClientRecords::keepAlive(serverID), m_port);
        std::optional<LoopbackDatagram> datagram;
        while ((datagram = client.waitForDatagram(kWaitMs / 50)) && typeOf(datagram) != Packet::KeepAlive) {
        }
        if (datagram)
            return true;
    }
    return false;
}

// The log may grow to 600 bytes: the banner fits, the lines of two logons
// do not. SIGXFSZ is ignored, so each write past the limit fails; the
// server says so once and goes on relaying.
void tst_ServerFaults::fullDiskUnderTheLog()
{
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    server.setFileSizeLimit(600);
    start(server, 2);
    LoopbackClient ann, bob;
    QCOMPARE(logOn(ann, 1, 1, 11), qint32(Packet::LogonAccepted));
    QCOMPARE(logOn(bob, 2, 2, 22), qint32(Packet::LogonAccepted));
    for (int n = 0; n < 5; ++n) {
        QVERIFY(ann.sendRecord(ClientRecords::flightRecord(Packet::AircraftDetails, 1, char('a' + n)), m_port));
        std::optional<LoopbackDatagram> relayed;
        while ((relayed = bob.waitForDatagram(kWaitMs)) && typeOf(relayed) == Packet::KeepAlive) {
        }
        QVERIFY(relayed && relayed->bytes == ClientRecords::flightRecord(Packet::AircraftDetails, 1, char('a' + n)));
    }
    QCOMPARE(server.standardError().count("the log is incomplete"), 1);
    QVERIFY(server.logText().size() <= 600);
    QVERIFY(server.stop() && server.exitCode() == 0);
}

// Each logon is judged by what user.ini holds at that moment; a fresh
// address each time, so no throttling. Root reads any file whatever its
// mode, so "unreadable" is a directory in its place.
void tst_ServerFaults::usersFileChangesBetweenLogons()
{
    enum Change { Keep, Replace, Truncate, MakeUnreadable, Delete, Restore };
    const std::tuple<Change, qint32, qint32> steps[] = {
        {Keep, 11, Packet::LogonAccepted}, {Replace, 11, Packet::LogonRejected},
        {Keep, 99, Packet::LogonAccepted}, {Truncate, 99, Packet::LogonRejected},
        {Keep, 9, Packet::LogonAccepted},  {MakeUnreadable, 9, Packet::LogonRejected},
        {Delete, 11, Packet::LogonRejected}, {Restore, 11, Packet::LogonAccepted}};
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, int(std::size(steps)));
    const QString users = QDir(server.programDir()).filePath(QStringLiteral("user.ini"));
    for (int n = 0; n < int(std::size(steps)); ++n) {
        const auto [change, password, expected] = steps[n];
        if (change == Replace) // as an editor saves: a new file renamed over the old
            QVERIFY(server.writeProgramFile(QStringLiteral("new.ini"), "[1]\r\nPwd=99\r\n")
                    && ::rename(qPrintable(QDir(server.programDir()).filePath(QStringLiteral("new.ini"))), qPrintable(users)) == 0);
        QVERIFY(change != Truncate || QFile::resize(users, 10)); // "[1]\r\nPwd=9"
        QVERIFY(change != MakeUnreadable || (QFile::remove(users) && QDir().mkdir(users)));
        QVERIFY(change != Delete || QDir().rmdir(users));
        QVERIFY(change != Restore || server.writeUserIni(kAccounts));
        LoopbackClient client;
        QCOMPARE(logOn(client, n + 1, 1, password), expected);
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

// However the server ends, the lines of the logon just done are in the log.
void tst_ServerFaults::endedFromOutside()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, orderly);
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, 1);
    LoopbackClient ann;
    QCOMPARE(logOn(ann, 1, 1, 11), qint32(Packet::LogonAccepted));
    QVERIFY(server.sendSignal(signalNumber) && server.waitForFinished(kWaitMs));
    QCOMPARE(server.exitedNormally() && server.exitCode() == 0, orderly);
    QVERIFY(server.logText().contains(" - User Ann logged on from 127.0.0.2\r\n"));
    QVERIFY(server.logText().endsWith("\r\n"));
}

// logrotate moves log.txt away and sends SIGHUP: the lines before are in the
// moved file, the lines after, from the reload's own line on, in a new
// log.txt.
void tst_ServerFaults::hangUpReopensTheLog()
{
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, 2);
    LoopbackClient ann, bob;
    QCOMPARE(logOn(ann, 1, 1, 11), qint32(Packet::LogonAccepted));
    const QDir dir(server.workingDirectory());
    QVERIFY(QFile::rename(dir.filePath(QStringLiteral("log.txt")), dir.filePath(QStringLiteral("log.1"))));
    QVERIFY(server.sendSignal(SIGHUP));
    // The log is reopened at once, its "Reloaded" line written once the bans
    // are read (off the event loop): a logon before then would log first.
    QTRY_VERIFY_WITH_TIMEOUT(server.logText().contains("- Reloaded\r\n"), kWaitMs);
    QCOMPARE(logOn(bob, 2, 2, 22), qint32(Packet::LogonAccepted));
    QVERIFY(server.stop() && server.exitCode() == 0);
    QFile moved(dir.filePath(QStringLiteral("log.1")));
    QVERIFY(moved.open(QIODevice::ReadOnly));
    const QByteArray before = moved.readAll();
    QVERIFY(before.contains(" - User Ann logged on from 127.0.0.2\r\n") && before.endsWith("\r\n"));
    QVERIFY(server.logText().startsWith(server.logText().left(9) + "- Reloaded\r\n"));
    QVERIFY(server.logText().contains(" - Rcvd logon request from 127.0.0.3\r\n"));
    QVERIFY(server.logText().contains(" - User Bob logged on from 127.0.0.3\r\n"));
}

// A FIFO put in bans.ini's place is no file: a reload says so at once and
// keeps the bans, and the server goes on relaying and ends in order.
void tst_ServerFaults::fifoInPlaceOfTheBans()
{
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, 2);
    LoopbackClient ann, bob;
    QCOMPARE(logOn(ann, 1, 1, 11), qint32(Packet::LogonAccepted));
    const QString bans = QDir(server.programDir()).filePath(QStringLiteral("bans.ini"));
    QCOMPARE(::mkfifo(QFile::encodeName(bans).constData(), 0600), 0);
    QVERIFY(server.sendSignal(SIGHUP));
    QVERIFY(server.waitForLog(" - Reloaded\r\n", kWaitMs));
    QCOMPARE(logOn(bob, 2, 2, 22), qint32(Packet::LogonAccepted));
    QVERIFY(server.stop() && server.exitCode() == 0);
    QVERIFY(server.standardError().contains("bans.ini cannot be read (not a regular file); the bans stay as they were"));
}

// Junk, forged and replayed datagrams from four addresses while three pilots
// log on, keep alive and chat: no pilot is dropped, every chat reaches the
// others and nothing forged does, memory stays flat, the log holds only
// lines the server writes.
void tst_ServerFaults::pilotsFlyThroughHostileTraffic()
{
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    start(server, kPilots);
    LoopbackClient pilots[kPilots], attackers[4];
    for (int n = 0; n < 4; ++n)
        QVERIFY(attackers[n].bind(QStringLiteral("127.0.0.%1").arg(10 + n), 0));
    QRandomGenerator random(20261207);
    qint64 residentAtStart = 0;
    for (int round = 0; round < 100; ++round) {
        if (round < kPilots) // a pilot logs on in each of the first rounds
            QCOMPARE(logOn(pilots[round], round + 1, round + 1, 11 * (round + 1)), qint32(Packet::LogonAccepted));
        for (int n = 0; n < kJunk / 100; ++n)
            QVERIFY(attackers[n % 4].sendDatagram(hostileDatagram(random), m_port));
        const int present = qMin(round + 1, kPilots);
        for (int p = 0; p < present; ++p)
            QVERIFY(echoed(pilots[p], p + 1));
        for (int p = 0; p < present; ++p)
            QVERIFY(pilots[p].sendRecord(chat(p, round), m_port));
        for (int to = 0; to < present; ++to) {
            QList<QByteArray> chats;
            for (int from = 0; from < present; ++from)
                chats.append(chat(from, round));
            chats.removeOne(chat(to, round));
            while (!chats.isEmpty()) {
                const auto datagram = pilots[to].waitForDatagram(kWaitMs);
                QVERIFY2(datagram && !datagram->bytes.contains('F'), "a chat lost or a forged record relayed");
                chats.removeOne(datagram->bytes);
            }
        }
        residentAtStart = round == kPilots ? server.residentKilobytes() : residentAtStart;
    }
    const qint64 residentAtEnd = server.residentKilobytes();
    QVERIFY(server.stop() && server.exitCode() == 0);
    const QStringList lines = QString::fromUtf8(server.logText()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        QVERIFY2(isCatalogueLine(line), qPrintable(line));
    QCOMPARE(lines.filter(QStringLiteral(" logged on from ")).size(), kPilots);
    qInfo("%d hostile datagrams, %lld logons logged; resident %lld kB after the logons, %lld kB at the end", kJunk,
          qint64(lines.filter(QStringLiteral(" - Rcvd logon request")).size()), residentAtStart, residentAtEnd);
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer keeps freed memory in quarantine
    QVERIFY(residentAtStart > 0 && residentAtEnd - residentAtStart < 4096);
#endif
}

QTEST_GUILESS_MAIN(tst_ServerFaults)
#include "tst_serverfaults.moc"
