// The 240-second sweep, the close notification, and walks interrupted by
// handlers that run inside a yield and remove players.
#include "CoreHarness.h"
#include "Senders.h"
#include "HeartbeatSweep.h"
#include "ReceivePath.h"

#include <QtTest>

namespace {

QStringList sends(const RecordingSender &sender)
{
    QStringList lines;
    for (const SentRecord &record : sender.sent) {
        const Packet packet = record.packet();
        QString line = record.ip + QLatin1Char(' ') + QString::number(packet.PacketType());
        if (packet.PacketType() == Packet::PlayerAdded || packet.PacketType() == Packet::PlayerRemoved)
            line += QLatin1Char(' ') + QString::number(packet.int32At(Packet::PlayerIDAt)) + QLatin1Char(' ')
                + packet.textAt(Packet::PlayerHandleAt, Packet::HandleChars);
        lines << line;
    }
    return lines;
}

QStringList handles(const ServerContext &context)
{
    QStringList list;
    context.players.forEach([&](const PlayerPtr &player) { list << player->Handle; });
    return list;
}

// Ann (1, .2), Bob (2, .3), Cy (3, .4), Dee (4, .5); the ones named in
// `stale` have been silent for 240 seconds.
void logOnFour(CoreHarness &h, const QStringList &stale)
{
    for (const PlayerPtr &player : h.logOnAll({"Ann", "Bob", "Cy", "Dee"})) {
        if (stale.contains(player->Handle))
            player->HeartBeat -= HeartbeatSweep::ExpirySeconds;
    }
}

} // namespace

class tst_Sweep : public QObject
{
    Q_OBJECT

private slots:
    void expiryLimit_data();
    void expiryLimit();
    void tickDropsEveryExpiredPlayer();
    void loggingOffStillDrops();
    void closeDropsEveryone();
    void sweepInsideCloseNotification();
    void closeInsideThePlayerList();
    void sweepInsideARelayLoop();
    void sweepInsideAKeepAliveEcho();
    void burstInsideASweepAddsAPlayer();
};

void tst_Sweep::expiryLimit_data()
{
    QTest::addColumn<qint64>("age");
    QTest::addColumn<bool>("dropped");

    QTest::newRow("239 s") << qint64(239) << false;
    QTest::newRow("240 s") << qint64(240) << true;
    QTest::newRow("an hour") << qint64(3600) << true;
    QTest::newRow("in the future") << qint64(-30) << false;
}

void tst_Sweep::expiryLimit()
{
    QFETCH(qint64, age);
    QFETCH(bool, dropped);

    CoreHarness h;
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.clearRecords();
    h.clock.advance(age);
    HeartbeatSweep::onSweepTick(h.ctx());
    QCOMPARE(h.ctx().players.count(), dropped ? 0 : 1);
    QCOMPARE(h.logLines(), dropped ? QStringList{"09:05:07 - No HeartBeat for 240secs, removing player Ann 127.0.0.2"}
                                   : QStringList());
}

void tst_Sweep::tickDropsEveryExpiredPlayer()
{
    CoreHarness h;
    logOnFour(h, {"Ann", "Cy"});
    HeartbeatSweep::onSweepTick(h.ctx());
    QCOMPARE(sends(h.sender), (QStringList{
        "127.0.0.3 1005 1 Ann", "127.0.0.4 1005 1 Ann", "127.0.0.5 1005 1 Ann",
        "127.0.0.3 1005 3 Cy", "127.0.0.5 1005 3 Cy"}));
    QCOMPARE(h.logLines(), (QStringList{"09:05:07 - No HeartBeat for 240secs, removing player Ann 127.0.0.2",
                                        "09:05:07 - No HeartBeat for 240secs, removing player Cy 127.0.0.4"}));
    QCOMPARE(handles(h.ctx()), (QStringList{"Bob", "Dee"}));
}

void tst_Sweep::loggingOffStillDrops()
{
    CoreHarness h(false, false);
    logOnFour(h, {"Ann"});
    HeartbeatSweep::onSweepTick(h.ctx());
    QCOMPARE(h.sender.sent.size(), 3);
    QCOMPARE(h.logLines(), QStringList());
    QCOMPARE(h.ctx().players.count(), 3);
}

void tst_Sweep::closeDropsEveryone()
{
    CoreHarness h;
    logOnFour(h, {});
    h.ctx().ReceiveReady = false;
    HeartbeatSweep::onSocketClosed(h.ctx());
    QCOMPARE(sends(h.sender), (QStringList{
        "127.0.0.3 1005 1 Ann", "127.0.0.4 1005 1 Ann", "127.0.0.5 1005 1 Ann",
        "127.0.0.4 1005 2 Bob", "127.0.0.5 1005 2 Bob",
        "127.0.0.5 1005 3 Cy"}));
    QCOMPARE(h.logLines(), (QStringList{"09:05:07 - No HeartBeat, removing player Ann 127.0.0.2",
                                        "09:05:07 - No HeartBeat, removing player Bob 127.0.0.3",
                                        "09:05:07 - No HeartBeat, removing player Cy 127.0.0.4",
                                        "09:05:07 - No HeartBeat, removing player Dee 127.0.0.5"}));
    QCOMPARE(h.ctx().players.count(), 0);
    QVERIFY(!h.ctx().ReceiveReady); // the close handling leaves the guard alone
}

// The close notification tells Bob about Ann; in that yield a tick drops
// the stale Bob and Cy. The close goes on with Dee, then drops Dee.
void tst_Sweep::sweepInsideCloseNotification()
{
    CoreHarness h(true, false);
    logOnFour(h, {"Bob", "Cy"});
    h.yield.onYield = [&](int n) {
        if (n == 1)
            HeartbeatSweep::onSweepTick(h.ctx());
    };
    HeartbeatSweep::onSocketClosed(h.ctx());
    QCOMPARE(sends(h.sender), (QStringList{
        "127.0.0.3 1005 1 Ann",                                                // close: Ann to Bob
        "127.0.0.2 1005 2 Bob", "127.0.0.4 1005 2 Bob", "127.0.0.5 1005 2 Bob", // tick drops Bob
        "127.0.0.2 1005 3 Cy", "127.0.0.5 1005 3 Cy",                          // tick drops Cy
        "127.0.0.5 1005 1 Ann"}));                                             // close: Ann to Dee
    QCOMPARE(h.logLines(), (QStringList{"09:05:07 - No HeartBeat, removing player Ann 127.0.0.2",
                                        "09:05:07 - No HeartBeat for 240secs, removing player Bob 127.0.0.3",
                                        "09:05:07 - No HeartBeat for 240secs, removing player Cy 127.0.0.4",
                                        "09:05:07 - No HeartBeat, removing player Dee 127.0.0.5"}));
    QCOMPARE(h.ctx().players.count(), 0);
}

// A newcomer's list is interrupted after its first entry by a close
// notification that drops everyone: nothing more goes to anybody.
void tst_Sweep::closeInsideThePlayerList()
{
    CoreHarness h(false, false);
    logOnFour(h, {});
    const PlayerPtr newcomer = h.ctx().players.item(QStringLiteral("Dee"));
    h.yield.onYield = [&](int n) {
        if (n == 2)
            HeartbeatSweep::onSocketClosed(h.ctx());
    };
    Senders::sendPlayerList(h.ctx(), newcomer);
    QCOMPARE(sends(h.sender), (QStringList{
        "127.0.0.5 1004 1 Ann",
        "127.0.0.3 1005 1 Ann", "127.0.0.4 1005 1 Ann", "127.0.0.5 1005 1 Ann",
        "127.0.0.4 1005 2 Bob", "127.0.0.5 1005 2 Bob",
        "127.0.0.5 1005 3 Cy"}));
    QCOMPARE(h.ctx().players.count(), 0);
}

// A chat relay to Bob yields; a tick then drops the stale Cy. The relay goes
// on with Dee and never reaches Cy.
void tst_Sweep::sweepInsideARelayLoop()
{
    CoreHarness h(false, false);
    logOnFour(h, {"Cy"});
    const QByteArray chat = ClientRecords::flightRecord(4131, 1);
    h.yield.onYield = [&](int n) {
        if (n == 1)
            HeartbeatSweep::onSweepTick(h.ctx());
    };
    ReceivePath::handleDatagram(h.ctx(), chat, endpointOf(QStringLiteral("127.0.0.2")));
    QCOMPARE(sends(h.sender), (QStringList{
        "127.0.0.3 4131",
        "127.0.0.2 1005 3 Cy", "127.0.0.3 1005 3 Cy", "127.0.0.5 1005 3 Cy",
        "127.0.0.5 4131"}));
    QCOMPARE(handles(h.ctx()), (QStringList{"Ann", "Bob", "Dee"}));
}

// Ann's echo yields into a tick that drops the stale Bob; the keep-alive's
// own expiry check then finds Bob gone and does not drop him again.
void tst_Sweep::sweepInsideAKeepAliveEcho()
{
    CoreHarness h(true, false);
    logOnFour(h, {"Bob"});
    h.yield.onYield = [&](int n) {
        if (n == 1)
            HeartbeatSweep::onSweepTick(h.ctx());
    };
    ReceivePath::handleDatagram(h.ctx(), ClientRecords::keepAlive(1), endpointOf(QStringLiteral("127.0.0.2")));
    QCOMPARE(sends(h.sender), (QStringList{
        "127.0.0.2 1006",
        "127.0.0.2 1005 2 Bob", "127.0.0.4 1005 2 Bob", "127.0.0.5 1005 2 Bob"}));
    QCOMPARE(h.logLines(), QStringList{"09:05:07 - No HeartBeat for 240secs, removing player Bob 127.0.0.3"});
    QCOMPARE(handles(h.ctx()), (QStringList{"Ann", "Cy", "Dee"}));
}

// A burst that runs inside a tick's yield logs a newcomer on; the tick's
// broadcast about the dropped player reaches the newcomer too.
void tst_Sweep::burstInsideASweepAddsAPlayer()
{
    CoreHarness h(false, false);
    logOnFour(h, {"Ann"});
    h.addAccount(9, "99");
    h.yield.onYield = [&](int n) {
        if (n == 1)
            ReceivePath::handleDatagram(h.ctx(), ClientRecords::logonRequest(9, 99, QStringLiteral("Eve")), endpointOf(QStringLiteral("127.0.0.6")));
    };
    HeartbeatSweep::onSweepTick(h.ctx());
    QVERIFY(sends(h.sender).contains(QStringLiteral("127.0.0.6 1005 1 Ann")));
    QCOMPARE(handles(h.ctx()), (QStringList{"Bob", "Cy", "Dee", "Eve"}));
}

QTEST_GUILESS_MAIN(tst_Sweep)
#include "tst_sweep.moc"
