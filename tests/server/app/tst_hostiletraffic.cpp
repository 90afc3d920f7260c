// The real server binary under hostile traffic on loopback: junk datagrams
// of every size, records that forge a pilot's SenderID and logons replayed
// with wrong passwords, from several addresses, while three pilots log on,
// keep alive and chat. Nothing of it may reach a pilot, drop a pilot, grow
// the server's memory or put a line into the log that the server does not
// write.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kRetryMs = 200;
constexpr int kPilots = 3;
constexpr int kAttackers = 4;
constexpr int kRounds = 100;
#if defined(__SANITIZE_ADDRESS__)
constexpr int kJunk = 20000; // the sanitizer build handles each datagram several times slower
#else
constexpr int kJunk = 100000;
#endif
constexpr qint64 kMemoryGrowthKb = 4096;
constexpr char kForged = 'F';

const QByteArray kAccounts("[1]\r\nPwd=11\r\nName=Ann\r\n[2]\r\nPwd=22\r\nName=Bob\r\n[3]\r\nPwd=33\r\nName=Cy\r\n");
const QString kHandles[kPilots] = {QStringLiteral("Ann"), QStringLiteral("Bob"), QStringLiteral("Cy")};

qint32 typeOf(const LoopbackDatagram &datagram)
{
    return Packet::fromDatagram(datagram.bytes).PacketType();
}

// Every line the server may write, banner included.
bool isCatalogueLine(const QString &line)
{
    static const QRegularExpression catalogue(QStringLiteral(
        "^(-{70}|Low level debugging is (on|off)|\\d\\d:\\d\\d:\\d\\d - (FS MP Server Up - .*|Listening on [\\d.]+"
        "|Rcvd logon request from [\\d.]+|User rejected logon from [\\d.]+|User .* logged on from [\\d.]+"
        "|Send Player Added data to clients|Send Player Added data to client [\\d.]+ .*"
        "|(Checking If Details to be dumped to:\\d+ for |(Not )?Dumping to:\\d+ Player:).* Server ID:\\d+"
        "|Problem reading packet from [\\d.]* -?\\d+ .*))$"));
    return catalogue.match(line).hasMatch();
}

// One hostile datagram: mostly random bytes of any size, else a record
// that names a pilot's SenderID or replays a pilot's logon with a wrong
// password.
QByteArray hostileDatagram(QRandomGenerator &random)
{
    const int kind = int(random.bounded(20));
    const qint32 victim = 1 + qint32(random.bounded(kPilots));
    if (kind < 3) {
        const qint32 types[] = {Packet::AircraftDetails, Packet::QueryPlaneType, Packet::PlayerCrashed,
                                Packet::FlightData, Packet::ChatMessage};
        return ClientRecords::flightRecord(types[random.bounded(5)], victim, kForged);
    }
    if (kind == 3)
        return ClientRecords::keepAlive(victim);
    if (kind == 4)
        return ClientRecords::logonRequest(victim, qint32(random.bounded(1000, 999999)), kHandles[victim - 1]);
    QByteArray junk(int(random.bounded(1501)), '\0');
    for (char &byte : junk)
        byte = char(random.bounded(256));
    return junk;
}

} // namespace

class tst_HostileTraffic : public QObject
{
    Q_OBJECT

private slots:
    void pilotsFlyThroughHostileTraffic();

private:
    // Sends a keep-alive until it is echoed: the server has then handled
    // everything that came before it.
    bool keepAliveEchoed(LoopbackClient &pilot, qint32 serverID);
    // The chats of the other pilots in this round, as pilot `to` got them.
    bool othersChatsArrived(LoopbackClient &pilot, int to, int present, int round);

    quint16 m_port = 0;
};

bool tst_HostileTraffic::keepAliveEchoed(LoopbackClient &pilot, qint32 serverID)
{
    for (int attempt = 0; attempt < kWaitMs / kRetryMs; ++attempt) {
        pilot.sendRecord(ClientRecords::keepAlive(serverID), m_port);
        while (const auto datagram = pilot.waitForDatagram(kRetryMs)) {
            if (typeOf(*datagram) == Packet::KeepAlive)
                return true;
        }
    }
    return false;
}

QByteArray chat(int from, int round)
{
    return ClientRecords::flightRecord(Packet::ChatMessage, from + 1, char('a' + round % 20 + from));
}

bool tst_HostileTraffic::othersChatsArrived(LoopbackClient &pilot, int to, int present, int round)
{
    QList<QByteArray> expected;
    for (int from = 0; from < present; ++from) {
        if (from != to)
            expected.append(chat(from, round));
    }
    while (!expected.isEmpty()) {
        const auto datagram = pilot.waitForDatagram(kWaitMs);
        if (!datagram || datagram->bytes.size() != Packet::Size || datagram->bytes.contains(kForged))
            return false;
        expected.removeOne(datagram->bytes);
    }
    return true;
}

void tst_HostileTraffic::pilotsFlyThroughHostileTraffic()
{
    m_port = freeUdpPort(QStringLiteral("0.0.0.0"));
    const quint16 reply = freeUdpPort(clientAddresses(kPilots));
    ServerProcess server(QStringLiteral(VENTORO_SERVER_BINARY));
    QVERIFY(server.writeServerIni("[General]\r\nConnectPort=" + QByteArray::number(m_port) + "\r\nClientConnectPort="
                                  + QByteArray::number(reply) + "\r\nShowScreen=0\r\n"));
    QVERIFY(server.writeUserIni(kAccounts));
    QVERIFY(server.start());
    QVERIFY(server.waitUntilListening(m_port, kWaitMs));

    LoopbackClient pilots[kPilots];
    LoopbackClient attackers[kAttackers];
    for (int n = 0; n < kAttackers; ++n)
        QVERIFY(attackers[n].bind(QStringLiteral("127.0.0.%1").arg(10 + n), 0));
    QRandomGenerator random(20261207);
    qint64 residentAtStart = 0;
    for (int round = 0; round < kRounds; ++round) {
        if (round < kPilots) { // a pilot logs on in each of the first rounds
            QVERIFY(pilots[round].bind(QStringLiteral("127.0.0.%1").arg(2 + round), reply));
            QVERIFY(pilots[round].sendRecord(ClientRecords::logonRequest(round + 1, 11 * (round + 1), kHandles[round]),
                                            m_port));
            std::optional<LoopbackDatagram> accepted;
            while ((accepted = pilots[round].waitForDatagram(kWaitMs)) && typeOf(*accepted) != Packet::LogonAccepted) {
            }
            QVERIFY(accepted);
        }
        for (int n = 0; n < kJunk / kRounds; ++n)
            QVERIFY(attackers[n % kAttackers].sendDatagram(hostileDatagram(random), m_port));
        const int present = qMin(round + 1, kPilots);
        for (int p = 0; p < present; ++p)
            QVERIFY2(keepAliveEchoed(pilots[p], p + 1), qPrintable(kHandles[p] + QStringLiteral(" is gone")));
        for (int p = 0; p < present; ++p)
            QVERIFY(pilots[p].sendRecord(chat(p, round), m_port));
        for (int p = 0; p < present; ++p)
            QVERIFY2(othersChatsArrived(pilots[p], p, present, round), qPrintable(QStringLiteral("round %1").arg(round)));
        if (round == kPilots)
            residentAtStart = server.residentKilobytes();
    }
    const qint64 residentAtEnd = server.residentKilobytes();
    QVERIFY(server.isRunning());
    QVERIFY(server.stop());
    QCOMPARE(server.exitCode(), 0);

    const QStringList lines = QString::fromUtf8(server.logText()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        QVERIFY2(isCatalogueLine(line), qPrintable(line));
    QCOMPARE(lines.filter(QStringLiteral(" logged on from ")).size(), kPilots);
    qInfo("%d hostile datagrams, %lld logon requests logged; resident memory %lld kB after the logons, %lld kB "
          "at the end", kJunk, qint64(lines.filter(QStringLiteral(" - Rcvd logon request from ")).size()),
          residentAtStart, residentAtEnd);
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer keeps freed memory in quarantine
    QVERIFY(residentAtStart > 0 && residentAtEnd - residentAtStart < kMemoryGrowthKb);
#endif
}

QTEST_GUILESS_MAIN(tst_HostileTraffic)
#include "tst_hostiletraffic.moc"
