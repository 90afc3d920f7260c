// The registry's checkpoint across a restart, in-process: what a restore
// brings back, what it refuses, and when a restored silent pilot expires.
#include "CoreHarness.h"
#include "RegistryCheckpoint.h"

#include <QtTest>

using namespace RegistryCheckpoint;

namespace {

constexpr qint64 WrittenAtMs = 1800000000000;
const Setup kSetup{1500, 1501, false};

// Three players with different ages and flags, one of them IPv6, written
// at WrittenAtMs; LastServerID is 4 (a fourth pilot came and went).
QByteArray previousRun(bool replyToSource)
{
    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    h.logOn(QStringLiteral("Alpha"), QStringLiteral("127.0.0.2:40000"))->SentPlaneType = true;
    h.clock.advance(7);
    h.logOn(QStringLiteral("gone"), QStringLiteral("127.0.0.3:40000"));
    h.ctx().players.remove(QStringLiteral("gone"));
    h.logOn(QStringLiteral("Bravo %1"), QStringLiteral("[2001:db8::5]:40001"));
    h.clock.advance(5);
    h.logOn(QStringLiteral("Charlie"), QStringLiteral("127.0.0.4:40002"));
    h.clock.advance(3);
    return encode(capture(h.ctx(), {1500, 1501, replyToSource}, WrittenAtMs));
}

} // namespace

class tst_Checkpoint : public QObject
{
    Q_OBJECT

private slots:
    void restoresTheRegistry_data();
    void restoresTheRegistry();
    void setsAsideWhatDoesNotFit_data();
    void setsAsideWhatDoesNotFit();
    void restoredSilentPilotExpiresFromItsLastKeepAlive();
    void handlesComeBackExactly();
};

void tst_Checkpoint::restoresTheRegistry_data()
{
    QTest::addColumn<bool>("replyToSource");
    QTest::addColumn<qint64>("gapMs");
    QTest::newRow("at once") << false << qint64(0);
    QTest::newRow("after 2.5 s") << false << qint64(2500);
    QTest::newRow("source ports, 59.999 s") << true << qint64(59999);
    QTest::newRow("clock stepped back a little") << false << qint64(-3000);
}

void tst_Checkpoint::restoresTheRegistry()
{
    QFETCH(bool, replyToSource);
    QFETCH(qint64, gapMs);
    const Decoded decoded = decode(previousRun(replyToSource));
    QVERIFY2(decoded.checkpoint, qPrintable(decoded.problem));

    CoreHarness h;
    h.ctx().ReplyToSourcePort = replyToSource;
    h.clock.advance(-90000); // a new run's monotonic clock has nothing to do with the old one's
    const Restored restored = restore(h.ctx(), *decoded.checkpoint, {1500, 1501, replyToSource}, WrittenAtMs + gapMs);
    QVERIFY2(restored.problem.isEmpty(), qPrintable(restored.problem));
    QCOMPARE(restored.players, 3);
    QCOMPARE(restored.gapMs, qMax<qint64>(0, gapMs));
    QCOMPARE(h.ctx().LastServerID, 4);

    const qint64 gapS = qMax<qint64>(0, gapMs) / 1000;
    struct Expected { const char *handle; const char *endpoint; qint32 id; qint64 age; qint64 onFor; bool plane; };
    const Expected expected[] = {
        {"Alpha", replyToSource ? "127.0.0.2:40000" : "127.0.0.2:1501", 1, 15, 15, true},
        {"Bravo %1", replyToSource ? "[2001:db8::5]:40001" : "[2001:db8::5]:1501", 3, 8, 8, false},
        {"Charlie", replyToSource ? "127.0.0.4:40002" : "127.0.0.4:1501", 4, 3, 3, false},
    };
    for (int i = 0; i < 3; ++i) {
        const PlayerPtr player = h.ctx().players.item(i + 1);
        QCOMPARE(player->Handle, QString::fromLatin1(expected[i].handle));
        QCOMPARE(player->endpoint, endpointOf(QString::fromLatin1(expected[i].endpoint)));
        QCOMPARE(player->serverId, expected[i].id);
        QCOMPARE(player->ServerID, QString::number(expected[i].id));
        QCOMPARE(h.ctx().now() - player->HeartBeat, expected[i].age + gapS);
        QCOMPARE(h.ctx().now() - player->loggedOnAt, expected[i].onFor + gapS);
        QCOMPARE(player->SentPlaneType, expected[i].plane);
    }
    // Records of a restored pilot count from its endpoint, and the next logon
    // gets the next server ID, never one handed out before.
    const Endpoint bravo = h.ctx().players.item(2)->endpoint;
    h.receive(ClientRecords::keepAlive(3), QStringLiteral("[2001:db8::5]:40001"));
    const QByteArray echoHeader = ClientRecords::keepAlive(3).left(8);
    QVERIFY(std::any_of(h.sender.sent.cbegin(), h.sender.sent.cend(), [&](const SentRecord &sent) {
        return sent.to == bravo && sent.bytes.left(8) == echoHeader;
    }));
    QCOMPARE(h.logOn(QStringLiteral("Delta"), QStringLiteral("127.0.0.9:40000"))->serverId, 5);
}

void tst_Checkpoint::setsAsideWhatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<qint64>("gapMs");
    const struct { const char *name, *from, *to; qint64 gapMs; } rows[] = {
        {"too old", "", "", 60001},
        {"written in the future", "", "", -6000},
        {"other port", "\"connectPort\":1500", "\"connectPort\":1600", 0},
        {"other reply mode", "\"replyToSourcePort\":false", "\"replyToSourcePort\":true", 0},
        {"cut short", "}],", "", 0},
        {"not JSON", "{", "\x01\xff[", 0},
        {"other format", "\"version\":1", "\"version\":2", 0},
        {"ID above the counter", "\"serverId\":4", "\"serverId\":5", 0},
        {"ID not whole", "\"serverId\":3", "\"serverId\":2.5", 0},
        {"ID huge", "\"serverId\":3", "\"serverId\":1e300", 0},
        {"ID as text", "\"serverId\":3", "\"serverId\":\"3\"", 0},
        {"age negative", "\"heartbeatAgeS\":3", "\"heartbeatAgeS\":-1", 0},
        {"two IDs alike", "\"serverId\":3", "\"serverId\":1", 0},
        {"handles alike but for case", "\"Charlie\"", "\"ALPHA\"", 0},
        {"endpoints alike", "127.0.0.4:1501", "127.0.0.2:1501", 0},
        {"handle too long", "\"Charlie\"", "\"Charlie678901234567890\"", 0},
        {"handle untrimmed", "\"Charlie\"", "\" Charlie\"", 0},
        {"handle empty", "\"Charlie\"", "\"\"", 0},
        {"endpoint port 0", "127.0.0.4:1501", "127.0.0.4:0", 0},
        {"endpoint of another port", "127.0.0.4:1501", "127.0.0.4:1502", 0},
        {"endpoint link-local", "[2001:db8::5]:1501", "[fe80::5]:1501", 0},
        {"endpoint a name", "127.0.0.4:1501", "example.org:1501", 0},
        {"players no list", "\"players\":[", "\"players\":5,\"p\":[", 0},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QByteArray(row.from) << QByteArray(row.to) << row.gapMs;
}

void tst_Checkpoint::setsAsideWhatDoesNotFit()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(qint64, gapMs);
    QByteArray bytes = previousRun(false);
    QVERIFY(bytes.contains(from));
    bytes.replace(from, to);
    CoreHarness h;
    const Decoded decoded = decode(bytes);
    const Restored restored =
        decoded.checkpoint ? restore(h.ctx(), *decoded.checkpoint, kSetup, WrittenAtMs + gapMs) : Restored{0, 0, decoded.problem};
    QVERIFY(!restored.problem.isEmpty());
    QCOMPARE(restored.players + h.ctx().players.count() + h.ctx().LastServerID, 0);
}

// Charlie's last keep-alive was 3 s old at the write; 10 s pass before the
// restore. It expires when another pilot's keep-alive finds it 60 s silent:
// 47 s after the restore, not 60. Bravo, banned while the server was down,
// leaves at once, the others told.
void tst_Checkpoint::restoredSilentPilotExpiresFromItsLastKeepAlive()
{
    const Decoded decoded = decode(previousRun(false));
    QVERIFY(decoded.checkpoint);
    CoreHarness h;
    h.ctx().bans.set({Ban{*BanTarget::fromText(u"2001:db8::/64"), QStringLiteral("x"), std::nullopt}});
    QCOMPARE(restore(h.ctx(), *decoded.checkpoint, kSetup, WrittenAtMs + 10000).players, 2);
    QCOMPARE(h.sender.sent.size(), 2); // PlayerRemoved to Alpha and Charlie
    const auto keepAliveFromAlpha = [&h] { h.receive(ClientRecords::keepAlive(1), QStringLiteral("127.0.0.2:40000")); };
    h.clock.advance(46);
    keepAliveFromAlpha();
    QVERIFY(h.ctx().players.item(QStringLiteral("Charlie")));
    h.clock.advance(1);
    keepAliveFromAlpha();
    QVERIFY(!h.ctx().players.item(QStringLiteral("Charlie")));
    QVERIFY(h.ctx().players.item(QStringLiteral("Alpha")));
}

// Handles that only a lone surrogate tells apart stay two pilots; text that
// would break a line stays escaped in the file.
void tst_Checkpoint::handlesComeBackExactly()
{
    CoreHarness before;
    const QStringList handles{QStringLiteral("A") + QChar(0xD800), QStringLiteral("A") + QChar(0xD801), QStringLiteral("x\ny\u2028")};
    before.logOnAll(handles);
    const QByteArray bytes = encode(capture(before.ctx(), kSetup, WrittenAtMs));
    QCOMPARE(bytes.count('\n'), 1);
    const Decoded decoded = decode(bytes);
    QVERIFY2(decoded.checkpoint, qPrintable(decoded.problem));
    CoreHarness h;
    QCOMPARE(restore(h.ctx(), *decoded.checkpoint, kSetup, WrittenAtMs).players, 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(h.ctx().players.item(i + 1)->Handle, handles[i]);
    QVERIFY(bytes.contains("\"handleUnits\":\"0041d800\""));
    QVERIFY(decode(QByteArray(bytes).replace("\"handleUnits\":\"0041d800\"", "\"handleUnits\":\"0041d8g0\"")).problem.size());
}

QTEST_GUILESS_MAIN(tst_Checkpoint)
#include "tst_checkpoint.moc"
