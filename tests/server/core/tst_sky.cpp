// The sky in-process: the message codec against hostile bytes, what this
// node publishes, what it does with what other nodes publish, membership
// and the one-handle rule. A recording publisher stands in for NATS.
#include "CoreHarness.h"
#include "OperatorCommands.h"
#include "ReceivePath.h"
#include "Records.h"
#include "RegistryCheckpoint.h"
#include "SkyHandling.h"

#include <QtTest>

using namespace SkyMessage;

namespace {

struct Published {
    QByteArray subject;
    Message message;
};

class RecordingPublisher : public SkyPublisher
{
public:
    void publish(const QByteArray &subject, const QByteArray &payload) override
    {
        Fault fault;
        std::optional<Message> decoded = decode(payload, &fault);
        QVERIFY2(decoded, faultName(fault));
        published.append({subject, *decoded});
    }
    void leave() override { left = true; }
    QList<Published> published;
    bool left = false;
};

constexpr qint32 Node2First = 2 * 16'777'216 + 1;

QByteArray frame(int node, Kind kind, std::vector<Item> items, quint64 runId = 7)
{
    static quint64 sequence = 0; // in order, as one publisher sends them
    return encode(Header{kind, node, runId, ++sequence, 0}, items);
}

SkyDelivery delivery(const QByteArray &subject, const QByteArray &payload)
{
    return {SkyDelivery::Type::Message, "ventoro.t." + subject, payload};
}

Item remoteRecord(qint32 type, qint32 sender) { return Item::ofRecord(ClientRecords::flightRecord(type, sender)); }

// A node-1 server with Ann on it, joined and connected.
struct SkyRun {
    CoreHarness h;
    RecordingPublisher publisher;
    PlayerPtr ann;
    SkyRun()
    {
        h.ctx().joinSky(std::make_unique<SkyState>(1, QStringLiteral("t"), 1000, 5000, publisher));
        SkyHandling::handle(h.ctx(), {SkyDelivery::Type::Connected, {}, {}});
        ann = h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2:40000"));
        SkyHandling::flush(h.ctx());
        h.clearRecords();
        publisher.published.clear();
    }
    void fromSky(const QByteArray &subject, const QByteArray &payload)
    {
        SkyHandling::handle(h.ctx(), delivery(subject, payload));
    }
    void addBob(int node = 2, qint64 logonTimeMs = 1)
    {
        fromSky("node." + QByteArray::number(node),
                frame(node, Kind::Batch, {Item::playerAdded(node * 16'777'216 + 1, logonTimeMs, QStringLiteral("Bob"))}));
    }
    QList<qint32> sentTypes() const
    {
        QList<qint32> types;
        for (const SentRecord &record : h.sender.sent)
            types << record.packet().PacketType();
        return types;
    }
    quint64 dropped(Fault fault) const { return h.context->sky->counters.dropped[fault]; }
};

} // namespace

class tst_Sky : public QObject
{
    Q_OBJECT

private slots:
    void decodeRefuses_data();
    void decodeRefuses();
    void roundTripAndSplit();
    void whatCrosses();
    void oneMessagePerBurst();
    void wakeUpRefusedInTheTickIsRaisedAgain();
    void arrivalsReachLocalPilots_data();
    void arrivalsReachLocalPilots();
    void hostileMessagesChangeNothing_data();
    void hostileMessagesChangeNothing();
    void membership_data();
    void membership();
    void oneHandleAcrossTheSky_data();
    void oneHandleAcrossTheSky();
    void serverIdsByNode();
    void checkpointKeepsOwnPilotsAndTheRun();
};

void tst_Sky::decodeRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("fault");
    const QByteArray good = frame(2, Kind::Batch, {Item::playerRemoved(Node2First)});
    const auto patched = [&](int at, char value) { QByteArray b = good; b[at] = value; return b; };
    const int malformed = int(Fault::Malformed);
    QTest::newRow("empty") << QByteArray() << malformed;
    QTest::newRow("header cut") << good.left(HeaderBytes - 1) << malformed;
    QTest::newRow("item cut") << good.chopped(1) << malformed;
    QTest::newRow("byte left over") << good + '\0' << malformed;
    QTest::newRow("magic") << patched(0, 'X') << malformed;
    QTest::newRow("kind 0") << patched(4, 0) << malformed;
    QTest::newRow("kind 5") << patched(4, 5) << malformed;
    QTest::newRow("node 0") << patched(5, 0) << malformed;
    QTest::newRow("node 128") << patched(5, char(128)) << malformed;
    QTest::newRow("item kind 9") << patched(HeaderBytes, 9) << malformed;
    QByteArray longHandle = frame(2, Kind::Batch, {Item::playerAdded(Node2First, 0, QString(20, u'a'))});
    longHandle[HeaderBytes + 13] = 21;
    QTest::newRow("handle of 21 units") << longHandle << malformed;
    QByteArray count = frame(2, Kind::Batch, {});
    count[HeaderBytes - 2] = char(0xff);
    count[HeaderBytes - 1] = char(0xff);
    QTest::newRow("65535 items claimed") << count << int(Fault::TooLarge);
    QTest::newRow("over 1 MiB") << QByteArray(MaxBytes + 1, 'V') << int(Fault::TooLarge);
}

void tst_Sky::decodeRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, fault);
    Fault why = Fault::None;
    QVERIFY(!decode(bytes, &why));
    QCOMPARE(int(why), fault);
}

void tst_Sky::roundTripAndSplit()
{
    const std::vector<Item> items{remoteRecord(4131, Node2First), Item::playerAdded(Node2First, -5, QStringLiteral("Zoë %1")),
                                  Item::playerRemoved(Node2First), Item::presence(3, 12345)};
    Fault fault;
    const std::optional<Message> back = decode(encode(Header{Kind::Batch, 2, ~0ull, 9, -1}, items), &fault);
    QVERIFY(back);
    QCOMPARE(back->header.runId, ~0ull);
    QCOMPARE(back->items.size(), size_t(4));
    QCOMPARE(back->items[0].record, ClientRecords::flightRecord(4131, Node2First));
    QCOMPARE(back->items[1].handle, QStringLiteral("Zoë %1"));
    QCOMPARE(back->items[1].logonTimeMs, qint64(-5));
    QCOMPARE(back->items[3].startedAtMs, qint64(12345));

    // 10,000 records split at the item and byte bounds, none lost.
    RecordingPublisher publisher;
    SkyState sky(2, QStringLiteral("t"), 1, 0, publisher);
    sky.connected = true;
    for (int i = 0; i < 10000; ++i)
        sky.queue(remoteRecord(4121, Node2First));
    sky.flush(0);
    QCOMPARE(publisher.published.size(), 3);
    size_t total = 0;
    for (const Published &one : publisher.published)
        total += one.message.items.size();
    QCOMPARE(total, size_t(10000));
    QCOMPARE(sky.counters.recordsOut, quint64(10000));
}

void tst_Sky::whatCrosses()
{
    SkyRun run;
    const qint32 ann = run.ann->serverId;
    QCOMPARE(ann, 16'777'217);
    for (qint32 type : {4121, 4131, 4110, 4121, 4111, 4113})
        run.h.receive(ClientRecords::flightRecord(type, ann), QStringLiteral("127.0.0.2:40000"));
    run.h.receive(ClientRecords::keepAlive(ann), QStringLiteral("127.0.0.2:40000"));
    run.h.logOn(QStringLiteral("Cy"), QStringLiteral("127.0.0.3:40000"));
    SkyHandling::flush(run.h.ctx());
    QCOMPARE(run.publisher.published.size(), 1);
    const Published &batch = run.publisher.published.front();
    QCOMPARE(batch.subject, QByteArray("ventoro.t.node.1"));
    QList<qint32> crossed;
    for (const Item &item : batch.message.items)
        crossed << (item.kind == ItemKind::Record ? Packet::fromDatagram(item.record).PacketType() : -int(item.kind));
    // Flight data before aircraft details stays home; keep-alives never cross.
    QCOMPARE(crossed, (QList<qint32>{4131, 4110, 4121, 4111, 4113, -int(ItemKind::PlayerAdded)}));
    QCOMPARE(batch.message.items.back().handle, QStringLiteral("Cy"));
}

void tst_Sky::oneMessagePerBurst()
{
    SkyRun run;
    ArrivalQueue queue;
    ReceivePath path(run.h.ctx(), queue, {});
    const QByteArray chat = ClientRecords::flightRecord(4131, run.ann->serverId);
    for (int i = 0; i < 50; ++i)
        queue.push(chat.constData(), chat.size(), endpointOf(QStringLiteral("127.0.0.2:40000")), 0);
    path.onDataArrival();
    QCOMPARE(run.publisher.published.size(), 1);
    QCOMPARE(run.publisher.published.front().message.items.size(), size_t(50));
}

void tst_Sky::wakeUpRefusedInTheTickIsRaisedAgain()
{
    SkyRun run;
    run.addBob();
    run.h.clearRecords();
    ArrivalQueue queue;
    int raised = 0;
    ReceivePath path(run.h.ctx(), queue, [&] { ++raised; });
    run.h.yield.onYield = [&](int) { path.onDataArrival(); }; // the sky's wake-up, inside the tick's sends
    run.h.clock.advance(6);
    SkyHandling::onTick(run.h.ctx()); // Bob's node fell silent: Ann is told, and yields
    QCOMPARE(run.sentTypes(), QList<qint32>{1005});
    QCOMPARE(raised, 0);
    path.raiseRefused();
    QCOMPARE(raised, 1);
}

void tst_Sky::arrivalsReachLocalPilots_data()
{
    QTest::addColumn<qint32>("type");
    QTest::addColumn<bool>("asSent");
    QTest::newRow("aircraft details") << qint32(4110) << true;
    QTest::newRow("query") << qint32(4111) << true;
    QTest::newRow("flight data, checked at its origin") << qint32(4121) << true;
    QTest::newRow("chat") << qint32(4131) << true;
    QTest::newRow("crash: this node's notice") << qint32(4113) << false;
}

void tst_Sky::arrivalsReachLocalPilots()
{
    QFETCH(qint32, type);
    QFETCH(bool, asSent);
    SkyRun run;
    run.addBob();
    QCOMPARE(run.h.sender.sent.size(), 1);
    QCOMPARE(run.h.sender.sent[0].bytes.toHex(), Golden::playerNotice(1004, Node2First, QStringLiteral("Bob")).toHex());
    run.h.clearRecords();
    run.fromSky("node.2", frame(2, Kind::Batch, {remoteRecord(type, Node2First)}));
    QCOMPARE(run.h.sender.sent.size(), 1);
    QCOMPARE(run.h.sender.sent[0].to, run.ann->endpoint);
    Packet notice = run.h.ctx().CrashNotice;
    Records::addressCrashNotice(notice, Node2First);
    QCOMPARE(run.h.sender.sent[0].bytes, asSent ? ClientRecords::flightRecord(type, Node2First) : notice.bytes());
    QVERIFY(run.publisher.published.isEmpty()); // never back to the sky

    // A newcomer here hears of Bob; Bob's departure reaches Ann.
    run.h.logOn(QStringLiteral("Cy"), QStringLiteral("127.0.0.3:40000"));
    QVERIFY(std::any_of(run.h.sender.sent.begin(), run.h.sender.sent.end(), [](const SentRecord &r) {
        return r.bytes == Golden::playerNotice(1004, Node2First, QStringLiteral("Bob"));
    }));
    run.h.clearRecords();
    run.fromSky("node.2", frame(2, Kind::Batch, {Item::playerRemoved(Node2First)}));
    QCOMPARE(run.sentTypes(), (QList<qint32>{1005, 1005}));
    QCOMPARE(run.h.ctx().players.count(), 2);
}

void tst_Sky::hostileMessagesChangeNothing_data()
{
    QTest::addColumn<QByteArray>("subject");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("fault");
    const QByteArray chat = frame(2, Kind::Batch, {remoteRecord(4131, Node2First)});
    QTest::newRow("garbage") << QByteArray("node.2") << QByteArray("\x00\xff garbage", 10) << int(Fault::Malformed);
    QTest::newRow("another node's name") << QByteArray("node.3") << chat << int(Fault::WrongNode);
    QTest::newRow("kind against subject") << QByteArray("presence.2") << chat << int(Fault::WrongNode);
    QTest::newRow("no such subject") << QByteArray("node.02") << chat << int(Fault::UnknownSubject);
    QTest::newRow("forged sender of a record")
        << QByteArray("node.2") << frame(2, Kind::Batch, {remoteRecord(4131, 1)}) << int(Fault::ForeignServerId);
    QTest::newRow("forged ID of a newcomer") << QByteArray("node.2")
                                             << frame(2, Kind::Batch, {Item::playerAdded(3 * 16'777'216 + 1, 0, "Eve")})
                                             << int(Fault::ForeignServerId);
    QTest::newRow("removal of another node's pilot")
        << QByteArray("node.3") << frame(3, Kind::Batch, {Item::playerRemoved(Node2First)}) << int(Fault::ForeignServerId);
    QTest::newRow("logon record") << QByteArray("node.2")
                                  << frame(2, Kind::Batch, {Item::ofRecord(ClientRecords::logonRequest(1, 1, "x"))})
                                  << int(Fault::Malformed);
    QTest::newRow("blank handle") << QByteArray("node.2")
                                  << frame(2, Kind::Batch, {Item::playerAdded(Node2First + 1, 0, "  ")}) << int(Fault::Malformed);
    QTest::newRow("this node's number, another run")
        << QByteArray("node.1") << frame(1, Kind::Batch, {Item::playerRemoved(16'777'217)}) << int(Fault::WrongNode);
}

void tst_Sky::hostileMessagesChangeNothing()
{
    QFETCH(QByteArray, subject);
    QFETCH(QByteArray, payload);
    QFETCH(int, fault);
    SkyRun run;
    run.addBob();
    run.h.clearRecords();
    run.fromSky(subject, payload);
    QVERIFY(run.h.sender.sent.isEmpty());
    QCOMPARE(run.h.ctx().players.count(), 2);
    QCOMPARE(run.dropped(Fault(fault)), quint64(1));
    QVERIFY(!run.h.ctx().sky->left);
}

void tst_Sky::membership_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<QList<qint32>>("toAnn");
    QTest::addColumn<int>("remoteLeft");
    QTest::newRow("heard within 6 s") << "5 s" << QList<qint32>{} << 1;
    QTest::newRow("silent for 6 s") << "6 s" << QList<qint32>{1005} << 0;
    QTest::newRow("connection down 6 s") << "down" << QList<qint32>{1005} << 0;
    QTest::newRow("new run replaces") << "new run" << QList<qint32>{1005, 1004} << 1;
    QTest::newRow("roster without Bob") << "roster" << QList<qint32>{1005} << 0;
    QTest::newRow("same number, started earlier: this one leaves") << "twin earlier" << QList<qint32>{1005} << 0;
    QTest::newRow("same number, started later: it leaves") << "twin later" << QList<qint32>{} << 1;
}

void tst_Sky::membership()
{
    QFETCH(QString, event);
    QFETCH(QList<qint32>, toAnn);
    QFETCH(int, remoteLeft);
    SkyRun run;
    run.addBob();
    run.h.clearRecords();
    ServerContext &context = run.h.ctx();
    if (event == "5 s" || event == "6 s") {
        run.h.clock.advance(event == "5 s" ? 5 : 6);
    } else if (event == "down") {
        SkyHandling::handle(context, {SkyDelivery::Type::Disconnected, {}, {}});
        run.h.clock.advance(6);
    } else if (event == "new run") {
        run.fromSky("node.2", frame(2, Kind::Batch, {Item::playerAdded(Node2First + 5, 1, "Bob")}, 8));
    } else if (event == "roster") {
        run.fromSky("roster.2", frame(2, Kind::Roster, {Item::playerAdded(Node2First + 1, 1, "Dee")}));
        toAnn.append(1004);
        remoteLeft = 1;
    } else {
        run.fromSky("presence.1", frame(1, Kind::Presence, {Item::presence(0, event == "twin earlier" ? 4999 : 5001)}, 9));
        QCOMPARE(run.publisher.left, event == "twin earlier");
        QCOMPARE(context.sky->left, event == "twin earlier");
    }
    SkyHandling::onTick(context);
    QCOMPARE(run.sentTypes(), toAnn);
    QCOMPARE(context.sky->remotePlayerCount(), remoteLeft);
    QCOMPARE(context.players.count(), 1 + remoteLeft);
    QCOMPARE(context.players.item(QStringLiteral("Ann")), run.ann);
}

void tst_Sky::oneHandleAcrossTheSky_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("stays"); // the node of the pilot named Ann at the end
    QTest::newRow("Ann logs on at node 2 later") << "remote later" << "2";
    QTest::newRow("Ann's logon at node 2 was earlier") << "remote earlier" << "1";
    QTest::newRow("same moment: the higher node") << "same moment" << "2";
    QTest::newRow("Ann logs on here while on node 2") << "local logon" << "1";
}

void tst_Sky::oneHandleAcrossTheSky()
{
    QFETCH(QString, scenario);
    QFETCH(QString, stays);
    SkyRun run;
    ServerContext &context = run.h.ctx();
    const qint64 annAt = run.ann->logonTimeMs;
    const auto remoteAnn = [&](qint64 at) {
        run.fromSky("node.2", frame(2, Kind::Batch, {Item::playerAdded(Node2First, at, "Ann")}));
    };
    if (scenario == "local logon") {
        remoteAnn(annAt + 1);
        run.h.clock.advance(1);
        run.ann = run.h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.3:40000"));
        QVERIFY(run.ann);
    } else {
        remoteAnn(scenario == "remote later" ? annAt + 1 : scenario == "remote earlier" ? annAt - 1 : annAt);
    }
    const PlayerPtr ann = context.players.item(QStringLiteral("Ann"));
    QVERIFY(ann);
    QCOMPARE(QString::number(ann->node ? ann->node : 1), stays);
    QCOMPARE(context.players.count(), 1);
    SkyHandling::flush(context);
    // A pilot of this node replaced by the sky's goes out as removed; a
    // logon here goes out as added.
    QList<int> kinds;
    for (const Published &one : run.publisher.published)
        for (const Item &item : one.message.items)
            kinds << int(item.kind);
    const int added = int(ItemKind::PlayerAdded), removed = int(ItemKind::PlayerRemoved);
    const QList<int> expected = scenario == "local logon" ? QList<int>{removed, added}
        : stays == "2"                                    ? QList<int>{removed}
                                                          : QList<int>{};
    QCOMPARE(kinds, expected);
}

void tst_Sky::serverIdsByNode()
{
    QCOMPARE(SkyState::firstServerId(127), 2'130'706'433);
    QCOMPARE(SkyState::lastServerId(127), std::numeric_limits<qint32>::max());
    QVERIFY(!SkyState::inRange(2, 3 * 16'777'216));
    SkyRun run;
    ServerContext &context = run.h.ctx();
    context.LastServerID = SkyState::lastServerId(1);
    QVERIFY(!run.h.logOn(QStringLiteral("Cy"), QStringLiteral("127.0.0.3:40000")));
    run.addBob();
    const QJsonObject kick = OperatorCommands::status(context, {});
    QCOMPARE(kick[QLatin1String("sky")][QLatin1String("remotePlayers")].toInt(), 1);
    QCOMPARE(OperatorCommands::kick(context, run.ann->serverId), run.ann);
}

void tst_Sky::checkpointKeepsOwnPilotsAndTheRun()
{
    SkyRun run;
    run.addBob();
    const RegistryCheckpoint::Setup setup{1500, 1501, true};
    const qint64 now = run.h.clock.wallMs();
    const QByteArray bytes = RegistryCheckpoint::encode(RegistryCheckpoint::capture(run.h.ctx(), setup, now));
    const RegistryCheckpoint::Decoded decoded = RegistryCheckpoint::decode(bytes);
    QVERIFY2(decoded.checkpoint, qPrintable(decoded.problem));
    QCOMPARE(decoded.checkpoint->players.size(), 1); // Bob is node 2's to keep
    QCOMPARE(decoded.checkpoint->sky.runId, quint64(1000));
    QCOMPARE(decoded.checkpoint->sky.node, 1);

    CoreHarness next;
    RegistryCheckpoint::restore(next.ctx(), *decoded.checkpoint, setup, now + 2000);
    QCOMPARE(next.ctx().players.item(QStringLiteral("Ann"))->logonTimeMs, run.ann->logonTimeMs);
}

QTEST_GUILESS_MAIN(tst_Sky)
#include "tst_sky.moc"
