// The registry, and walks that survive removals made while they run.
#include "CoreHarness.h"
#include "Players.h"

#include <QtTest>

namespace {

Players registryOf(const QStringList &keys)
{
    Players players;
    for (const QString &key : keys)
        players.add(key, endpointOf(QStringLiteral("127.0.0.1")));
    return players;
}

QStringList keysOf(const Players &players)
{
    QStringList keys;
    players.forEach([&](const PlayerPtr &player) { keys << player->Key; });
    return keys;
}

} // namespace

class tst_Players : public QObject
{
    Q_OBJECT

private slots:
    void addItemCountRemove();
    void keysIgnoreLetterCase();
    void walkSurvivesRemoval_data();
    void walkSurvivesRemoval();
    void walkSeesPlayersAddedOnTheWay();
    void removedPlayerStaysReadable();
    void removeIfCurrentSparesANewerPlayer();
};

void tst_Players::addItemCountRemove()
{
    Players players;
    QCOMPARE(players.count(), 0);
    QCOMPARE(keysOf(players), QStringList());
    const PlayerPtr ann = players.add(QStringLiteral("Ann"), endpointOf(QStringLiteral("127.0.0.2")));
    QVERIFY(ann);
    QCOMPARE(ann->Key, QStringLiteral("Ann"));
    QCOMPARE(ann->endpoint.addressText(), QStringLiteral("127.0.0.2"));
    QVERIFY(ann->Handle.isEmpty() && ann->ServerID.isEmpty());
    QCOMPARE(ann->HeartBeat, qint64(0));
    QVERIFY(!ann->SentPlaneType);
    players.add(QStringLiteral(" Bob "), endpointOf(QStringLiteral("127.0.0.3")));
    QCOMPARE(players.count(), 2);
    QCOMPARE(players.item(1), ann);
    QCOMPARE(players.item(2)->Key, QStringLiteral(" Bob "));
    QVERIFY(!players.item(0) && !players.item(3));
    QVERIFY(!players.item(QStringLiteral("Bob")));
    QVERIFY(!players.remove(3));
    QVERIFY(!players.remove(QStringLiteral("nobody")));
    QVERIFY(players.remove(1));
    QCOMPARE(keysOf(players), QStringList{QStringLiteral(" Bob ")});
    QVERIFY(players.remove(QStringLiteral(" BOB ")));
    QCOMPARE(players.count(), 0);
    QVERIFY(players.add(QStringLiteral("Ann"), endpointOf(QStringLiteral("127.0.0.4"))));
}

void tst_Players::keysIgnoreLetterCase()
{
    Players players;
    QVERIFY(players.add(QStringLiteral("Ann"), endpointOf(QStringLiteral("10.0.0.1"))));
    QVERIFY(!players.add(QStringLiteral("ANN"), endpointOf(QStringLiteral("10.0.0.2"))));
    QVERIFY(players.add(QStringLiteral("\u00C5sa"), endpointOf(QStringLiteral("10.0.0.3"))));
    QVERIFY(!players.add(QStringLiteral("\u00E5SA"), endpointOf(QStringLiteral("10.0.0.4"))));
    QCOMPARE(players.count(), 2);
    QCOMPARE(players.item(QStringLiteral("aNn"))->endpoint.addressText(), QStringLiteral("10.0.0.1"));
}

// During the visit of `at`, the walk removes the players named in `removes`;
// every player not removed before its turn is visited once, in order.
void tst_Players::walkSurvivesRemoval_data()
{
    QTest::addColumn<QString>("at");
    QTest::addColumn<QStringList>("removes");
    QTest::addColumn<QStringList>("visited");
    QTest::addColumn<QStringList>("left");

    const QStringList all{"A", "B", "C", "D", "E"};
    QTest::newRow("current") << "B" << QStringList{"B"} << all << QStringList{"A", "C", "D", "E"};
    QTest::newRow("next one") << "B" << QStringList{"C"} << QStringList{"A", "B", "D", "E"} << QStringList{"A", "B", "D", "E"};
    QTest::newRow("current and next") << "B" << QStringList{"B", "C"} << QStringList{"A", "B", "D", "E"}
                                      << QStringList{"A", "D", "E"};
    QTest::newRow("an earlier one") << "C" << QStringList{"A"} << all << QStringList{"B", "C", "D", "E"};
    QTest::newRow("all from the first") << "A" << all << QStringList{"A"} << QStringList();
    QTest::newRow("last") << "E" << QStringList{"E"} << all << QStringList{"A", "B", "C", "D"};
    QTest::newRow("three in a row") << "B" << QStringList{"B", "C", "D"} << QStringList{"A", "B", "E"}
                                    << QStringList{"A", "E"};
}

void tst_Players::walkSurvivesRemoval()
{
    QFETCH(QString, at);
    QFETCH(QStringList, removes);
    QFETCH(QStringList, visited);
    QFETCH(QStringList, left);

    Players players = registryOf({"A", "B", "C", "D", "E"});
    QStringList seen;
    players.forEach([&](const PlayerPtr &player) {
        seen << player->Key;
        if (player->Key == at) {
            for (const QString &key : removes)
                players.remove(key);
        }
    });
    QCOMPARE(seen, visited);
    QCOMPARE(keysOf(players), left);
}

void tst_Players::walkSeesPlayersAddedOnTheWay()
{
    Players players = registryOf({"A", "B"});
    QStringList seen;
    players.forEach([&](const PlayerPtr &player) {
        seen << player->Key;
        if (player->Key == "A") {
            players.remove(QStringLiteral("B"));
            players.add(QStringLiteral("B"), endpointOf(QStringLiteral("10.0.0.9")));
        }
    });
    QCOMPARE(seen, (QStringList{"A", "B"}));
    QCOMPARE(players.item(QStringLiteral("B"))->endpoint.addressText(), QStringLiteral("10.0.0.9"));

    // A walk that removes every player it visits ends with an empty registry.
    int visits = 0;
    players.forEach([&](const PlayerPtr &player) {
        ++visits;
        players.remove(player->Key);
    });
    QCOMPARE(visits, 2);
    QCOMPARE(players.count(), 0);
}

void tst_Players::removedPlayerStaysReadable()
{
    Players players = registryOf({"A", "B"});
    Players::Walk walk = players.startWalk();
    const PlayerPtr first = walk.next();
    players.remove(1);
    QCOMPARE(first->Key, QStringLiteral("A"));
    QVERIFY(!players.isRegistered(first));
    QCOMPARE(walk.next()->Key, QStringLiteral("B"));
    QVERIFY(!walk.next());
}

void tst_Players::removeIfCurrentSparesANewerPlayer()
{
    Players players = registryOf({"A"});
    const PlayerPtr old = players.item(1);
    players.remove(QStringLiteral("A"));
    const PlayerPtr newer = players.add(QStringLiteral("a"), endpointOf(QStringLiteral("10.0.0.8")));
    QVERIFY(!players.removeIfCurrent(old->Key, old));
    QVERIFY(players.isRegistered(newer));
    QVERIFY(players.removeIfCurrent(QStringLiteral("A"), newer));
    QCOMPARE(players.count(), 0);
}

QTEST_GUILESS_MAIN(tst_Players)
#include "tst_players.moc"
