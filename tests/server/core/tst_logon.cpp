// Logon and keep-alive: every record sent, in order, with its destination
// and all 128 bytes, and every log line, at each switch setting.
#include "CoreHarness.h"

#include <QtTest>

#include <limits>

namespace {

using Expected = QList<QPair<QString, QByteArray>>;

QByteArray accepted(qint32 id, const QString &motd = QStringLiteral("Welcome aboard"))
{
    QByteArray bytes = Golden::record(0, 1002);
    Golden::putInt32(bytes, 16, id);
    Golden::putText(bytes, 20, 40, motd);
    return bytes;
}

QByteArray rejectedRecord(qint32 lastServerID)
{
    QByteArray bytes = Golden::record(0, 1003);
    Golden::putInt32(bytes, 16, lastServerID);
    return bytes;
}

QByteArray added(qint32 id, const QString &handle)
{
    return Golden::playerNotice(1004, id, handle);
}

QByteArray removed(qint32 id, const QString &handle)
{
    return Golden::playerNotice(1005, id, handle);
}

void compareSent(const RecordingSender &sender, const Expected &expected)
{
    QStringList got;
    for (const SentRecord &record : sender.sent)
        got << record.ip + QLatin1Char(' ') + QString::fromLatin1(record.bytes.toHex());
    QStringList want;
    for (const auto &[ip, bytes] : expected)
        want << ip + QLatin1Char(' ') + QString::fromLatin1(bytes.toHex());
    QCOMPARE(got, want);
}

QStringList stamped(const QStringList &events)
{
    QStringList lines;
    for (const QString &event : events)
        lines << QStringLiteral("09:05:07 - ") + event;
    return lines;
}

} // namespace

class tst_Logon : public QObject
{
    Q_OBJECT

private slots:
    void acceptedAlone_data();
    void acceptedAlone();
    void acceptedWithThreePresent();
    void twoPilotsBehindOneAddress_data();
    void twoPilotsBehindOneAddress();
    void oneEndpointOnePilot_data();
    void oneEndpointOnePilot();
    void rejected_data();
    void rejected();
    void sameHandleAgainReplacesThePlayer();
    void wrongPasswordLeavesThePresentPlayer();
    void handleDifferingOnlyInCaseIsRefused();
    void noServerIdLeft();
    void accountWithoutName();
    void passwordGuessingIsThrottled_data();
    void passwordGuessingIsThrottled();
    void logonBudgets_data();
    void logonBudgets();
    void throttleTableIsBounded_data();
    void throttleTableIsBounded();
    void keepAliveEcho_data();
    void keepAliveEcho();
    void keepAliveCountsOnlyFromTheSendersAddress_data();
    void keepAliveCountsOnlyFromTheSendersAddress();
    void keepAliveExpiry();
};

void tst_Logon::acceptedAlone_data()
{
    QTest::addColumn<bool>("debugOn");
    QTest::addColumn<bool>("lowLevelOn");
    QTest::addColumn<QStringList>("lines");

    const QStringList ordinary{QStringLiteral("Rcvd logon request from 127.0.0.2"),
                               QStringLiteral("User Ann Example logged on from 127.0.0.2"),
                               QStringLiteral("Send Player Added data to clients")};
    const QStringList lowLevel{QStringLiteral("Checking If Details to be dumped to:1 for Ann Server ID:1"),
                               QStringLiteral("Not Dumping to:1 Player:Ann Server ID:1")};
    QTest::newRow("both on") << true << true << stamped(ordinary + lowLevel);
    QTest::newRow("low level off") << true << false << stamped(ordinary);
    QTest::newRow("logging off") << false << true << QStringList();
    QTest::newRow("both off") << false << false << QStringList();
}

void tst_Logon::acceptedAlone()
{
    QFETCH(bool, debugOn);
    QFETCH(bool, lowLevelOn);
    QFETCH(QStringList, lines);

    CoreHarness h(debugOn, lowLevelOn);
    h.addAccount(42, "4242", "Ann Example");
    h.receive(ClientRecords::logonRequest(42, 4242, QStringLiteral("  Ann  ")), QStringLiteral("127.0.0.2"));

    compareSent(h.sender, {{QStringLiteral("127.0.0.2"), accepted(1)}});
    QCOMPARE(h.logLines(), lines);
    QCOMPARE(h.yield.count, 1);
    const PlayerPtr ann = h.ctx().players.item(QStringLiteral("Ann"));
    QVERIFY(ann);
    QCOMPARE(ann->Handle, QStringLiteral("Ann"));
    QCOMPARE(ann->ServerID, QStringLiteral("1"));
    QCOMPARE(ann->endpoint.addressText(), QStringLiteral("127.0.0.2"));
    QCOMPARE(ann->HeartBeat, h.clock.monotonicSeconds());
    QCOMPARE(h.ctx().LastServerID, 1);
}

void tst_Logon::acceptedWithThreePresent()
{
    CoreHarness h;
    h.logOnAll({"Ann", "Bob", "Cy"});
    h.addAccount(7, "77", "Dee");
    h.receive(ClientRecords::logonRequest(7, 77, QStringLiteral("Dee")), QStringLiteral("127.0.0.5"));

    compareSent(h.sender, {{QStringLiteral("127.0.0.5"), accepted(4)},
                           {QStringLiteral("127.0.0.2"), added(4, QStringLiteral("Dee"))},
                           {QStringLiteral("127.0.0.3"), added(4, QStringLiteral("Dee"))},
                           {QStringLiteral("127.0.0.4"), added(4, QStringLiteral("Dee"))},
                           {QStringLiteral("127.0.0.5"), added(1, QStringLiteral("Ann"))},
                           {QStringLiteral("127.0.0.5"), added(2, QStringLiteral("Bob"))},
                           {QStringLiteral("127.0.0.5"), added(3, QStringLiteral("Cy"))}});
    QCOMPARE(h.logLines(), stamped({
        QStringLiteral("Rcvd logon request from 127.0.0.5"),
        QStringLiteral("User Dee logged on from 127.0.0.5"),
        QStringLiteral("Send Player Added data to clients"),
        QStringLiteral("Send Player Added data to client 127.0.0.2 Ann"),
        QStringLiteral("Send Player Added data to client 127.0.0.3 Bob"),
        QStringLiteral("Send Player Added data to client 127.0.0.4 Cy"),
        QStringLiteral("Checking If Details to be dumped to:4 for Ann Server ID:1"),
        QStringLiteral("Dumping to:4 Player:Ann Server ID:1"),
        QStringLiteral("Checking If Details to be dumped to:4 for Bob Server ID:2"),
        QStringLiteral("Dumping to:4 Player:Bob Server ID:2"),
        QStringLiteral("Checking If Details to be dumped to:4 for Cy Server ID:3"),
        QStringLiteral("Dumping to:4 Player:Cy Server ID:3"),
        QStringLiteral("Checking If Details to be dumped to:4 for Dee Server ID:4"),
        QStringLiteral("Not Dumping to:4 Player:Dee Server ID:4"),
    }));
    // One yield after the reply, three per announcement, two per list entry.
    QCOMPARE(h.yield.count, 1 + 3 * 3 + 3 * 2);
}

// Two pilots behind one router: one public address, two source ports. With
// ReplyToSourcePort each is answered, and told of the other, at its own
// port (without it they share one endpoint: oneEndpointOnePilot).
void tst_Logon::twoPilotsBehindOneAddress_data()
{
    QTest::addColumn<bool>("replyToSource");
    QTest::addColumn<QString>("annFrom");
    QTest::addColumn<QString>("bobFrom");
    QTest::addColumn<QString>("annAt");
    QTest::addColumn<QString>("bobAt");
    QTest::addColumn<QString>("bobShown");

    QTest::newRow("source ports, IPv4") << true << "198.51.100.1:40001" << "198.51.100.1:40002"
                                        << "198.51.100.1:40001" << "198.51.100.1:40002" << "198.51.100.1:40002";
    QTest::newRow("source ports, IPv6") << true << "[2001:db8::1]:40001" << "[2001:db8::1]:40002"
                                        << "[2001:db8::1]:40001" << "[2001:db8::1]:40002" << "[2001:db8::1]:40002";
}

void tst_Logon::twoPilotsBehindOneAddress()
{
    QFETCH(bool, replyToSource);
    QFETCH(QString, annFrom);
    QFETCH(QString, bobFrom);
    QFETCH(QString, annAt);
    QFETCH(QString, bobAt);
    QFETCH(QString, bobShown);

    CoreHarness h(true, false);
    h.ctx().ReplyToSourcePort = replyToSource;
    h.logOn(QStringLiteral("Ann"), annFrom);
    h.clearRecords();
    h.logOn(QStringLiteral("Bob"), bobFrom);

    QStringList sent;
    for (const SentRecord &record : h.sender.sent)
        sent << record.to.text() + QLatin1Char(' ') + QString::fromLatin1(record.bytes.toHex());
    QCOMPARE(sent, (QStringList{bobAt + QLatin1Char(' ') + QString::fromLatin1(accepted(2).toHex()),
                                annAt + QLatin1Char(' ') + QString::fromLatin1(added(2, QStringLiteral("Bob")).toHex()),
                                bobAt + QLatin1Char(' ') + QString::fromLatin1(added(1, QStringLiteral("Ann")).toHex())}));
    QCOMPARE(h.logLines(), stamped({QStringLiteral("Rcvd logon request from ") + bobShown,
                                    QStringLiteral("User Bob logged on from ") + bobShown,
                                    QStringLiteral("Send Player Added data to clients")}));
    QCOMPARE(h.ctx().players.count(), 2);
}

// Cy is on from 127.0.0.4, Ann from `annFrom`; Bob logs on from `bobFrom`.
// Where both have one endpoint, Bob replaces Ann as a logon under her
// handle would.
void tst_Logon::oneEndpointOnePilot_data()
{
    QTest::addColumn<bool>("replyToSource");
    QTest::addColumn<QString>("annFrom");
    QTest::addColumn<QString>("bobFrom");
    QTest::addColumn<QStringList>("sent"); // endpoint, type, player ID, handle

    const QStringList replaced{"127.0.0.4:1501 1005 2 Ann", "BOB 1002 3 ", "127.0.0.4:1501 1004 3 Bob",
                               "BOB 1004 1 Cy"};
    QTest::newRow("reply port, another source port") << false << "127.0.0.2:40001" << "127.0.0.2:40002"
                                                     << QStringList(replaced).replaceInStrings("BOB", "127.0.0.2:1501");
    QTest::newRow("source port, the same") << true << "127.0.0.2:40001" << "127.0.0.2:40001"
                                           << QStringList(replaced).replaceInStrings("BOB", "127.0.0.2:40001")
                                                  .replaceInStrings("127.0.0.4:1501", "127.0.0.4:40000");
    QTest::newRow("source port, IPv6") << true << "[2001:db8::2]:9" << "[2001:db8::2]:9"
                                       << QStringList(replaced).replaceInStrings("BOB", "[2001:db8::2]:9")
                                              .replaceInStrings("127.0.0.4:1501", "127.0.0.4:40000");
    QTest::newRow("source port, another port")
        << true << "127.0.0.2:40001" << "127.0.0.2:40002"
        << QStringList{"127.0.0.2:40002 1002 3 ", "127.0.0.4:40000 1004 3 Bob", "127.0.0.2:40001 1004 3 Bob",
                       "127.0.0.2:40002 1004 1 Cy", "127.0.0.2:40002 1004 2 Ann"};
}

void tst_Logon::oneEndpointOnePilot()
{
    QFETCH(bool, replyToSource);
    QFETCH(QString, annFrom);
    QFETCH(QString, bobFrom);
    QFETCH(QStringList, sent);

    CoreHarness h(true, false);
    h.ctx().ReplyToSourcePort = replyToSource;
    h.logOn(QStringLiteral("Cy"), QStringLiteral("127.0.0.4:40000"));
    h.logOn(QStringLiteral("Ann"), annFrom);
    h.clearRecords();
    h.logOn(QStringLiteral("Bob"), bobFrom);

    QStringList got;
    for (const SentRecord &record : h.sender.sent) {
        const Packet packet = record.packet();
        got << record.to.text() + QLatin1Char(' ') + QString::number(packet.PacketType()) + QLatin1Char(' ')
                + QString::number(packet.int32At(16)) + QLatin1Char(' ')
                + (packet.PacketType() == Packet::LogonAccepted ? QString() : trimSpaces(packet.textAt(Packet::PlayerHandleAt, 20)));
    }
    QCOMPARE(got, sent);
    QCOMPARE(h.ctx().players.count(), sent.size() == 4 ? 2 : 3);
    QCOMPARE(h.ctx().players.atEndpoint(h.ctx().replyEndpoint(endpointOf(bobFrom))).size(), 1);
}

void tst_Logon::rejected_data()
{
    QTest::addColumn<QByteArray>("storedPassword");
    QTest::addColumn<qint32>("pilotID");
    QTest::addColumn<qint32>("password");
    QTest::addColumn<QString>("cause");

    QTest::newRow("wrong password") << QByteArray("4242") << 42 << 4243 << "wrong password";
    QTest::newRow("no such account") << QByteArray("4242") << 43 << 4242 << "unknown pilot";
    QTest::newRow("stored with a leading zero") << QByteArray("04242") << 42 << 4242 << "wrong password";
    QTest::newRow("password No is no number") << QByteArray("No") << 42 << 0 << "unknown pilot";
    QTest::newRow("negative pilot ID has its own section") << QByteArray("4242") << -42 << 4242 << "unknown pilot";
}

void tst_Logon::rejected()
{
    QFETCH(QByteArray, storedPassword);
    QFETCH(qint32, pilotID);
    QFETCH(qint32, password);
    QFETCH(QString, cause);

    CoreHarness h;
    h.logOn(QStringLiteral("Zed"), QStringLiteral("127.0.0.9"));
    h.clearRecords();
    h.addAccount(42, storedPassword);
    h.receive(ClientRecords::logonRequest(pilotID, password, QStringLiteral("Ann")), QStringLiteral("127.0.0.2"));

    compareSent(h.sender, {{QStringLiteral("127.0.0.2"), rejectedRecord(1)}});
    QCOMPARE(h.sender.sent.first().whenFull, Sender::WhenFull::DropFirst);
    QCOMPARE(h.logLines(), stamped({QStringLiteral("Rcvd logon request from 127.0.0.2"),
                                    QStringLiteral("User rejected logon from 127.0.0.2"),
                                    QStringLiteral("Logon refused for pilot %1 as \"Ann\": %2").arg(QString::number(pilotID), cause)}));
    QCOMPARE(h.ctx().players.count(), 1);
    QCOMPARE(h.ctx().LastServerID, 1);
}

void tst_Logon::sameHandleAgainReplacesThePlayer()
{
    CoreHarness h(true, false);
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    h.clearRecords();
    h.addAccount(5, "55");
    h.receive(ClientRecords::logonRequest(5, 55, QStringLiteral(" Ann")), QStringLiteral("127.0.0.6"));

    compareSent(h.sender, {{QStringLiteral("127.0.0.3"), removed(1, QStringLiteral("Ann"))},
                           {QStringLiteral("127.0.0.6"), accepted(3)},
                           {QStringLiteral("127.0.0.3"), added(3, QStringLiteral("Ann"))},
                           {QStringLiteral("127.0.0.6"), added(2, QStringLiteral("Bob"))}});
    QCOMPARE(h.logLines(), stamped({QStringLiteral("Rcvd logon request from 127.0.0.6"),
                                    QStringLiteral("User No Name logged on from 127.0.0.6"),
                                    QStringLiteral("Send Player Added data to clients")}));
    QCOMPARE(h.ctx().players.count(), 2);
    QCOMPARE(h.ctx().players.item(QStringLiteral("Ann"))->endpoint.addressText(), QStringLiteral("127.0.0.6"));
}

void tst_Logon::wrongPasswordLeavesThePresentPlayer()
{
    CoreHarness h;
    const PlayerPtr ann = h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    h.clearRecords();
    h.addAccount(5, "55");
    h.receive(ClientRecords::logonRequest(5, 56, QStringLiteral("Ann")), QStringLiteral("127.0.0.66"));

    compareSent(h.sender, {{QStringLiteral("127.0.0.66"), rejectedRecord(2)}});
    QVERIFY(h.ctx().players.isRegistered(ann));
}

void tst_Logon::handleDifferingOnlyInCaseIsRefused()
{
    CoreHarness h;
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.clearRecords();
    h.addAccount(5, "55");
    h.receive(ClientRecords::logonRequest(5, 55, QStringLiteral("ANN")), QStringLiteral("127.0.0.3"));

    compareSent(h.sender, {{QStringLiteral("127.0.0.3"), rejectedRecord(1)}});
    QCOMPARE(h.logLines(), stamped({QStringLiteral("Rcvd logon request from 127.0.0.3"),
                                    QStringLiteral("User rejected logon from 127.0.0.3"),
                                    QStringLiteral("Logon refused for pilot 5 as \"ANN\": handle in use in another letter case")}));
    QCOMPARE(h.ctx().LastServerID, 1);
    QCOMPARE(h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.4"))->ServerID, QStringLiteral("2"));
}

void tst_Logon::noServerIdLeft()
{
    CoreHarness h;
    h.ctx().LastServerID = std::numeric_limits<qint32>::max() - 1;
    QCOMPARE(h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"))->ServerID, QStringLiteral("2147483647"));
    h.clearRecords();
    QVERIFY(!h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3")));
    compareSent(h.sender, {{QStringLiteral("127.0.0.3"), rejectedRecord(std::numeric_limits<qint32>::max())}});
    QCOMPARE(h.ctx().LastServerID, std::numeric_limits<qint32>::max());
}

void tst_Logon::accountWithoutName()
{
    CoreHarness h(true, false);
    h.addAccount(8, "1");
    h.receive(ClientRecords::logonRequest(8, 1, QStringLiteral("Nameless")), QStringLiteral("127.0.0.2"));
    QCOMPARE(h.logLines().value(1), QStringLiteral("09:05:07 - User No Name logged on from 127.0.0.2"));
}

// Guesses from `guesser`; `sameUnit` is refused with it (another port, or
// another address of its IPv6 /64), `elsewhere` is not.
void tst_Logon::passwordGuessingIsThrottled_data()
{
    QTest::addColumn<bool>("replyToSource");
    QTest::addColumn<QString>("guesser");
    QTest::addColumn<QString>("sameUnit");
    QTest::addColumn<QString>("elsewhere");
    QTest::addColumn<QString>("refusedAt");

    QTest::newRow("IPv4") << false << "127.0.0.66" << "127.0.0.66" << "127.0.0.7" << "127.0.0.66:1501";
    QTest::newRow("IPv4, another port") << true << "127.0.0.66:4000" << "127.0.0.66:4001" << "127.0.0.7:4000"
                                        << "127.0.0.66:4001";
    QTest::newRow("IPv6, same /64") << false << "[2001:db8:1:2::66]:4000" << "[2001:db8:1:2:ffff::1]:4000"
                                    << "[2001:db8:1:3::66]:4000" << "[2001:db8:1:2:ffff::1]:1501";
    QTest::newRow("IPv6, same /64, source ports") << true << "[2001:db8:1:2::66]:4000" << "[2001:db8:1:2::67]:9"
                                                  << "[2001:db8:1:3::66]:4000" << "[2001:db8:1:2::67]:9";
}

void tst_Logon::passwordGuessingIsThrottled()
{
    QFETCH(bool, replyToSource);
    QFETCH(QString, guesser);
    QFETCH(QString, sameUnit);
    QFETCH(QString, elsewhere);
    QFETCH(QString, refusedAt);

    CoreHarness h(false, false);
    h.ctx().ReplyToSourcePort = replyToSource;
    h.addAccount(42, "4242");
    for (int guess = 0; guess < 5; ++guess) {
        h.receive(ClientRecords::logonRequest(42, guess, QStringLiteral("Ann")), guesser);
        h.clock.advance(5);
    }
    // The right password from the same address is now refused unread...
    h.receive(ClientRecords::logonRequest(42, 4242, QStringLiteral("Ann")), sameUnit);
    QCOMPARE(h.ctx().players.count(), 0);
    QCOMPARE(h.sender.sent.last().packet().PacketType(), qint32(Packet::LogonRejected));
    QCOMPARE(h.sender.sent.last().to.text(), refusedAt);
    // ... while another address logs on as usual.
    h.receive(ClientRecords::logonRequest(42, 4242, QStringLiteral("Bob")), elsewhere);
    QCOMPARE(h.ctx().players.count(), 1);
    // Refusals made without reading the accounts do not prolong the block:
    // it ends a minute after the last wrong password.
    h.clock.advance(54);
    h.receive(ClientRecords::logonRequest(42, 4242, QStringLiteral("Ann")), guesser);
    QCOMPARE(h.ctx().players.count(), 1);
    h.clock.advance(1);
    h.receive(ClientRecords::logonRequest(42, 4242, QStringLiteral("Ann")), sameUnit);
    QCOMPARE(h.ctx().players.count(), 2);
    QCOMPARE(h.sender.sent.size(), 5 + 1 + 1 + 1 + 3);
}

// Pilot 42 (password 4242) logged on as Ann from 127.0.0.2; then each step
// "SECONDS FROM right|wrong | OUTCOME" waits, sends a logon for pilot 42
// as Ann, and expects it accepted or refused with the cause the log gives.
// Every refusal is answered with one droppable LogonRejected unless it says
// "not answered".
void tst_Logon::logonBudgets_data()
{
    QTest::addColumn<QStringList>("steps");

    QStringList tenWrong;
    for (int n = 1; n <= 10; ++n)
        tenWrong << QStringLiteral("0 127.1.0.%1 wrong | wrong password").arg(n);
    QTest::newRow("rotating addresses stop at the pilot ID budget")
        << tenWrong + QStringList{"0 127.1.0.11 right | throttled by pilot ID until 09:06:07",
                                  "30 127.0.0.3 right | throttled by pilot ID until 09:05:37",
                                  "29 127.1.0.12 wrong | throttled by pilot ID until 09:05:08",
                                  "1 127.1.0.13 right | accepted"};
    QTest::newRow("the pilot's last address still gets in")
        << tenWrong + QStringList{"0 127.0.0.2 right | accepted", "0 127.0.0.2 wrong | wrong password",
                                  "59 127.1.0.11 right | throttled by pilot ID until 09:05:08"};
    QTest::newRow("a refusal unread does not prolong the block")
        << QStringList{"0 127.0.0.66 wrong | wrong password", "0 127.0.0.66 wrong | wrong password",
                       "0 127.0.0.66 wrong | wrong password", "0 127.0.0.66 wrong | wrong password",
                       "0 127.0.0.66 wrong | wrong password",
                       "58 127.0.0.66 right | throttled by address until 09:05:09",
                       "23 127.0.0.66 right | accepted"};
    QTest::newRow("a throttled address is answered once a second")
        << QStringList{"0 127.0.0.66 wrong | wrong password", "0 127.0.0.66 wrong | wrong password",
                       "0 127.0.0.66 wrong | wrong password", "0 127.0.0.66 wrong | wrong password",
                       "0 127.0.0.66 wrong | wrong password",
                       "0 127.0.0.66 right | throttled by address until 09:06:07",
                       "0 127.0.0.66 right | throttled by address until 09:06:07, not answered",
                       "0 127.0.0.66 wrong | throttled by address until 09:06:07, not answered",
                       "1 127.0.0.66 right | throttled by address until 09:06:06"};
    QStringList nineMore;
    for (int n = 0; n < 9; ++n)
        nineMore << QStringLiteral("0 127.0.0.2 right | accepted");
    QTest::newRow("the eleventh logon in a minute")
        << nineMore + QStringList{"0 127.0.0.2 right | logon rate (over 10 a minute) until 09:06:07",
                                  "10 127.0.0.5 right | logon rate (over 10 a minute) until 09:05:57",
                                  "50 127.0.0.2 right | accepted"};
}

void tst_Logon::logonBudgets()
{
    QFETCH(QStringList, steps);

    CoreHarness h(true, false);
    h.addAccount(42, "4242");
    h.receive(ClientRecords::logonRequest(42, 4242, QStringLiteral("Ann")), QStringLiteral("127.0.0.2"));
    const QString refused = QStringLiteral("09:05:07 - Logon refused for pilot 42 as \"Ann\": ");
    for (const QString &step : steps) {
        const QStringList parts = step.split(QStringLiteral(" | "));
        const QStringList request = parts.at(0).split(u' ');
        h.clock.advance(request.at(0).toInt());
        h.clearRecords();
        const quint64 acceptedBefore = h.ctx().counters.logonsAccepted;
        h.receive(ClientRecords::logonRequest(42, request.at(2) == QStringLiteral("right") ? 4242 : 1, QStringLiteral("Ann")),
                  request.at(1));
        const QStringList lines = h.logLines().filter(refused);
        const QString outcome = h.ctx().counters.logonsAccepted > acceptedBefore ? QStringLiteral("accepted")
                                                                                 : lines.value(0).mid(refused.size());
        QCOMPARE(outcome, parts.at(1));
        if (outcome != QStringLiteral("accepted")) {
            QCOMPARE(h.sender.sent.size(), outcome.endsWith(QStringLiteral("not answered")) ? 0 : 1);
            for (const SentRecord &record : h.sender.sent)
                QVERIFY(record.packet().PacketType() == Packet::LogonRejected && record.whenFull == Sender::WhenFull::DropFirst);
        }
    }
}

// Refusals from ever new addresses or pilot IDs neither grow a table
// without bound nor push a blocked guesser out of it, even when every
// other unit is blocked too.
void tst_Logon::throttleTableIsBounded_data()
{
    QTest::addColumn<bool>("byPilotId");
    QTest::addColumn<bool>("othersBlocked");

    QTest::newRow("addresses") << false << false;
    QTest::newRow("addresses, all blocked") << false << true;
    QTest::newRow("pilot IDs, all blocked") << true << true;
}

void tst_Logon::throttleTableIsBounded()
{
    QFETCH(bool, byPilotId);
    QFETCH(bool, othersBlocked);

    LogonThrottle throttle;
    const Endpoint guesser = endpointOf(QStringLiteral("127.0.0.66"));
    const int limit = byPilotId ? LogonThrottle::MaxWrongPasswords : LogonThrottle::MaxRejections;
    const int others = (byPilotId ? LogonThrottle::MaxPilotIds : LogonThrottle::MaxAddresses) + 100;
    for (int n = 0; n < limit; ++n)
        throttle.recordWrongPassword(byPilotId ? Endpoint::fromIpv4(0x0B000000u + quint32(n)) : guesser, 7, 100);
    for (int n = 0; n < others; ++n) {
        const Endpoint address = Endpoint::fromIpv4(0x0A000000u + quint32(n));
        for (int refusal = 0; refusal < (othersBlocked ? limit : 1); ++refusal) {
            if (byPilotId)
                throttle.recordWrongPassword(address.withPort(quint16(refusal)), 1000 + n, 110);
            else
                throttle.recordRejection(address, 110);
        }
    }
    QVERIFY(throttle.trackedAddresses() <= LogonThrottle::MaxAddresses);
    QVERIFY(throttle.trackedPilotIds() <= LogonThrottle::MaxPilotIds);
    const LogonThrottle::Verdict verdict = throttle.beforePassword(byPilotId ? endpointOf(QStringLiteral("127.0.0.9")) : guesser, 7, 120);
    QCOMPARE(int(verdict.by), int(byPilotId ? LogonThrottle::Block::PilotId : LogonThrottle::Block::Address));
    QCOMPARE(verdict.until, qint64(160));
}

// The echo goes where any answer to the keep-alive's source goes; without
// ReplyToSourcePort a keep-alive counts from any port of the address.
void tst_Logon::keepAliveEcho_data()
{
    QTest::addColumn<bool>("replyToSource");
    QTest::addColumn<QString>("logonFrom");
    QTest::addColumn<QString>("keepAliveFrom");
    QTest::addColumn<QString>("echoTo");

    QTest::newRow("reply port") << false << "127.0.0.2" << "127.0.0.2" << "127.0.0.2:1501";
    QTest::newRow("reply port, from another port") << false << "127.0.0.2:40001" << "127.0.0.2:40009" << "127.0.0.2:1501";
    QTest::newRow("source port") << true << "127.0.0.2:40001" << "127.0.0.2:40001" << "127.0.0.2:40001";
    QTest::newRow("source port, IPv6") << true << "[2001:db8::7]:40001" << "[2001:db8::7]:40001" << "[2001:db8::7]:40001";
}

void tst_Logon::keepAliveEcho()
{
    QFETCH(bool, replyToSource);
    QFETCH(QString, logonFrom);
    QFETCH(QString, keepAliveFrom);
    QFETCH(QString, echoTo);

    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    const PlayerPtr ann = h.logOn(QStringLiteral("Ann"), logonFrom);
    h.clearRecords();
    h.clock.advance(30);
    h.receive(ClientRecords::keepAlive(1), keepAliveFrom);
    compareSent(h.sender, {{endpointOf(echoTo).addressText(), Golden::record(0, 1006, 0)}});
    QCOMPARE(h.sender.sent.first().to.text(), echoTo);
    QCOMPARE(ann->HeartBeat, h.clock.monotonicSeconds());
    QCOMPARE(h.logLines(), QStringList());
    QCOMPARE(h.yield.count, 1);
}

// Ann logs on from 127.0.0.2:40001, Bob from 127.0.0.3:40001.
void tst_Logon::keepAliveCountsOnlyFromTheSendersAddress_data()
{
    QTest::addColumn<qint32>("senderID");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("replyToSource");

    QTest::newRow("another address") << 1 << QStringLiteral("127.0.0.9") << false;
    QTest::newRow("never registered") << 99 << QStringLiteral("127.0.0.2") << false;
    QTest::newRow("zero") << 0 << QStringLiteral("127.0.0.2") << false;
    QTest::newRow("other player's ID") << 2 << QStringLiteral("127.0.0.2") << false;
    QTest::newRow("source ports: another port") << 1 << QStringLiteral("127.0.0.2:40002") << true;
    QTest::newRow("source ports: the reply port") << 1 << QStringLiteral("127.0.0.2:1501") << true;
    QTest::newRow("source ports: other player's port") << 1 << QStringLiteral("127.0.0.3:40001") << true;
}

void tst_Logon::keepAliveCountsOnlyFromTheSendersAddress()
{
    QFETCH(qint32, senderID);
    QFETCH(QString, from);
    QFETCH(bool, replyToSource);

    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    const PlayerPtr ann = h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2:40001"));
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3:40001"));
    h.clearRecords();
    const qint64 before = ann->HeartBeat;
    h.clock.advance(60);
    h.receive(ClientRecords::keepAlive(senderID), from);
    QCOMPARE(h.sender.sent.size(), 0);
    QCOMPARE(ann->HeartBeat, before);
    QCOMPARE(h.ctx().players.count(), 2);
}

void tst_Logon::keepAliveExpiry()
{
    CoreHarness h;
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    const PlayerPtr bob = h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    h.clearRecords();

    h.clock.advance(59);
    h.receive(ClientRecords::keepAlive(2), QStringLiteral("127.0.0.3"));
    compareSent(h.sender, {{QStringLiteral("127.0.0.3"), Golden::record(0, 1006, 0)}});
    QCOMPARE(h.ctx().players.count(), 2);

    h.clearRecords();
    h.clock.advance(1);
    h.receive(ClientRecords::keepAlive(2), QStringLiteral("127.0.0.3"));
    compareSent(h.sender, {{QStringLiteral("127.0.0.3"), removed(1, QStringLiteral("Ann"))},
                           {QStringLiteral("127.0.0.3"), Golden::record(0, 1006, 0)}});
    QCOMPARE(h.logLines(), stamped({QStringLiteral("No HeartBeat, removing player Ann 127.0.0.2")}));
    QCOMPARE(h.ctx().players.count(), 1);
    QVERIFY(h.ctx().players.isRegistered(bob));
}

QTEST_GUILESS_MAIN(tst_Logon)
#include "tst_logon.moc"
