// Real servers in one sky over a real nats-server on loopback (one, or a
// cluster of two joined by a route): the whole sky in every newcomer's
// list, every relayed record type across nodes, departures seen
// everywhere, a broker restart, one handle across the sky, two nodes with
// one number, and a hostile publisher on the sky's subjects. Every pilot
// keeps its view of the sky from the PlayerAdded and PlayerRemoved notices
// it was sent, and the views are compared with what the nodes report.
#include "CoreHarness.h"
#include "FreePort.h"
#include "LoopbackClient.h"
#include "NatsServerProcess.h"
#include "ServerProcess.h"
#include "SkyMessage.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;
constexpr qint32 kIdsPerNode = 16'777'216;
const QByteArray kSkyName("test");

qint32 password(int pilotId) { return 100 + pilotId; }

QByteArray accounts()
{
    QByteArray ini;
    for (int id = 1; id <= 9; ++id)
        ini += "[" + QByteArray::number(id) + "]\r\nPwd=" + QByteArray::number(password(id)) + "\r\n";
    return ini;
}

QByteArray crashNotice(qint32 crashedId, const QString &text)
{
    QByteArray notice = Golden::record(0, 4113, crashedId);
    Golden::putText(notice, 16, 50, text);
    return notice;
}

QString crashText(int node) { return QStringLiteral("Down at node ") + QString::number(node); }

// A pilot on one node, with the sky as its notices show it.
struct Pilot {
    LoopbackClient socket;
    quint16 serverPort = 0;
    qint32 id = 0;
    QString handle;
    QMap<qint32, QString> view;

    // Folds notices into the view until none has come for quietMs; what is
    // not a notice is returned in order.
    QList<QByteArray> drain(int quietMs = 300)
    {
        QList<QByteArray> others;
        while (const auto datagram = socket.waitForDatagram(quietMs)) {
            if (!fold(datagram->bytes))
                others.append(datagram->bytes);
        }
        return others;
    }
    // The next datagram that is not a notice; empty when none comes.
    QByteArray next()
    {
        while (const auto datagram = socket.waitForDatagram(kWaitMs)) {
            if (!fold(datagram->bytes))
                return datagram->bytes;
        }
        return {};
    }
    // Takes a notice into the view; false for anything else.
    bool fold(const QByteArray &bytes)
    {
        const Packet packet = Packet::fromDatagram(bytes);
        const qint32 who = packet.int32At(Packet::PlayerIDAt);
        if (packet.PacketType() == Packet::PlayerAdded)
            view.insert(who, packet.textAt(Packet::PlayerHandleAt, Packet::HandleChars));
        else if (packet.PacketType() == Packet::PlayerRemoved)
            view.remove(who);
        return packet.PacketType() == Packet::PlayerAdded || packet.PacketType() == Packet::PlayerRemoved;
    }
    // Logs on as pilotId under handle; true once accepted.
    bool logOn(quint16 port, int pilotId, const QString &name)
    {
        serverPort = port;
        handle = name;
        view.clear();
        if (!socket.isBound() && !socket.bind(QStringLiteral("127.0.0.2"), 0))
            return false;
        if (!socket.sendRecord(ClientRecords::logonRequest(pilotId, password(pilotId), name), port))
            return false;
        const auto reply = socket.waitForDatagram(kWaitMs);
        if (!reply || Packet::fromDatagram(reply->bytes).PacketType() != Packet::LogonAccepted)
            return false;
        id = Packet::fromDatagram(reply->bytes).int32At(Packet::PlayerIDAt);
        return true;
    }
    bool send(const QByteArray &record) { return socket.sendRecord(record, serverPort); }
};

// nats-servers and sky nodes of one test; all of them end with it.
class Sky
{
public:
    explicit Sky(int brokers) : m_brokers(brokers) {}

    bool startBrokers()
    {
        const QString binary = NatsServerProcess::findBinary(QStringLiteral(VENTORO_NATS_SERVER));
        const quint16 cluster[2] = {freeTcpPort(), freeTcpPort()};
        for (int i = 0; i < m_brokers; ++i) {
            m_nats.push_back(std::make_unique<NatsServerProcess>(binary, freeTcpPort()));
            if (m_brokers == 2)
                m_nats.back()->setCluster(cluster[i], cluster[1 - i]);
            if (!m_nats.back()->start(kWaitMs))
                return false;
        }
        return m_brokers == 1 || (m_nats[0]->waitForRoute(kWaitMs) && m_nats[1]->waitForRoute(kWaitMs));
    }
    NatsServerProcess &broker(int index) { return *m_nats[size_t(index)]; }

    // Starts a node on its own ports and lock, using the broker its index
    // picks; true once it listens and says it joined the sky.
    bool addNode(int number, const QByteArray &extra = {}, const QByteArray &fakeClock = {})
    {
        const int index = int(m_nodes.size());
        auto node = std::make_unique<ServerProcess>(QStringLiteral(VENTORO_SERVER_BINARY));
        const quint16 port = freeUdpPort(QStringLiteral("0.0.0.0"));
        node->environment().insert(QStringLiteral("VENTORO_INSTANCE"), QStringLiteral("ventoro-sky-test-%1-%2")
                                   .arg(QString::number(QCoreApplication::applicationPid()), QString::number(index)));
        if (!fakeClock.isEmpty()) {
            node->environment().insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAKETIME_LIBRARY));
            node->environment().insert(QStringLiteral("FAKETIME"), QString::fromLatin1(fakeClock));
            node->environment().insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("verify_asan_link_order=0"));
        }
        const QByteArray ini = "[General]\r\nConnectPort=" + QByteArray::number(port)
            + "\r\nShowScreen=0\r\nReplyToSourcePort=1\r\nSkyUrl=" + broker(index % m_brokers).url().toLatin1()
            + "\r\nSkyNode=" + QByteArray::number(number) + "\r\nSkyName=" + kSkyName + "\r\nCrashText="
            + crashText(number).toLatin1() + "\r\n" + extra;
        const bool up = node->writeServerIni(ini) && node->writeUserIni(accounts()) && node->start()
            && node->waitUntilListening(port, kWaitMs) && node->waitForLog("Joined the sky", kWaitMs);
        m_ports.push_back(port);
        m_nodes.push_back(std::move(node));
        return up;
    }
    ServerProcess &node(int index) { return *m_nodes[size_t(index)]; }
    quint16 port(int index) const { return m_ports[size_t(index)]; }
    int nodeCount() const { return int(m_nodes.size()); }

    QJsonObject status(int index)
    {
        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VENTORO_INSTANCE"), node(index).environment().value(QStringLiteral("VENTORO_INSTANCE")));
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(VENTORO_CLI_BINARY), {QStringLiteral("status"), QStringLiteral("--json")});
        if (!cli.waitForFinished(kWaitMs))
            cli.kill();
        cli.waitForFinished();
        return QJsonDocument::fromJson(cli.readAllStandardOutput()).object();
    }
    // Server ID to (handle, node) as node `index` lists its players.
    QMap<qint32, QString> players(int index)
    {
        QMap<qint32, QString> listed;
        for (const QJsonValue &entry : status(index).value(QLatin1String("players")).toArray()) {
            const QJsonObject player = entry.toObject();
            listed.insert(player.value(QLatin1String("serverId")).toInt(), player.value(QLatin1String("handle")).toString()
                          + QLatin1Char('@') + QString::number(player.value(QLatin1String("node")).toInt()));
        }
        return listed;
    }
    // True once every running node in `indexes` lists exactly `expected`.
    bool waitForPlayers(const QList<int> &indexes, const QMap<qint32, QString> &expected, int timeoutMs = kWaitMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            bool all = true;
            for (int index : indexes)
                all = all && players(index) == expected;
            if (all || deadline.hasExpired())
                return all;
            QTest::qWait(100);
        }
    }

private:
    int m_brokers;
    std::vector<std::unique_ptr<NatsServerProcess>> m_nats;
    std::vector<std::unique_ptr<ServerProcess>> m_nodes;
    std::vector<quint16> m_ports;
};

// What a pilot's view should be: everyone listed but itself, by handle.
QMap<qint32, QString> othersOf(const QMap<qint32, QString> &listed, const Pilot &pilot)
{
    QMap<qint32, QString> view;
    for (auto it = listed.begin(); it != listed.end(); ++it)
        if (it.key() != pilot.id)
            view.insert(it.key(), it.value().section(QLatin1Char('@'), 0, 0));
    return view;
}

QString entry(const Pilot &pilot, int node) { return pilot.handle + QLatin1Char('@') + QString::number(node); }

} // namespace

class tst_SkyProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void wholeSkyAndEveryRecordCrosses_data();
    void wholeSkyAndEveryRecordCrosses();
    void departuresReachEveryNode_data();
    void departuresReachEveryNode();
    void rostersComeBackAfterABrokerRestart_data();
    void rostersComeBackAfterABrokerRestart();
    void oneHandleOnePilot_data();
    void oneHandleOnePilot();
    void laterNodeWithATakenNumberLeaves();
    void hostilePublisherChangesNothing_data();
    void hostilePublisherChangesNothing();

private:
    // Three nodes (1, 2, 3) and one pilot on each, every node listing all.
    bool threeNodesWithPilots(Sky &sky, Pilot (&pilots)[3]);
};

void tst_SkyProcess::init()
{
    if (NatsServerProcess::findBinary(QStringLiteral(VENTORO_NATS_SERVER)).isEmpty())
        QSKIP("no nats-server: `make test` takes one out of its Debian package into build/test-tools");
}

bool tst_SkyProcess::threeNodesWithPilots(Sky &sky, Pilot (&pilots)[3])
{
    const char *handles[3] = {"Ann", "Bob", "Cid"};
    QMap<qint32, QString> listed;
    for (int n = 0; n < 3; ++n) {
        if (!sky.addNode(n + 1) || !sky.waitForPlayers({n}, listed)
            || !pilots[n].logOn(sky.port(n), n + 1, QLatin1String(handles[n])))
            return false;
        listed.insert(pilots[n].id, entry(pilots[n], n + 1));
        if (!sky.waitForPlayers(QList<int>{0, 1, 2}.mid(0, n + 1), listed))
            return false;
    }
    for (Pilot &pilot : pilots)
        pilot.drain(100);
    return true;
}

void tst_SkyProcess::wholeSkyAndEveryRecordCrosses_data()
{
    QTest::addColumn<int>("brokers");
    QTest::newRow("one nats-server") << 1;
    QTest::newRow("cluster of two") << 2;
}

// Each newcomer is told of the whole sky; each record type a pilot sends
// reaches the pilots of the other nodes unchanged, a crash report as each
// node's own notice; flight data before aircraft details goes nowhere.
void tst_SkyProcess::wholeSkyAndEveryRecordCrosses()
{
    QFETCH(int, brokers);
    Sky sky(brokers);
    QVERIFY(sky.startBrokers());
    Pilot pilots[3];
    const char *handles[3] = {"Ann", "Bob", "Cid"};
    QMap<qint32, QString> listed;
    for (int n = 0; n < 3; ++n) {
        QVERIFY(sky.addNode(n + 1));
        QVERIFY(sky.waitForPlayers({n}, listed)); // its rosters asked for and taken
        QVERIFY(pilots[n].logOn(sky.port(n), n + 1, QLatin1String(handles[n])));
        QCOMPARE(pilots[n].id, (n + 1) * kIdsPerNode + 1);
        pilots[n].drain();
        QCOMPARE(pilots[n].view, othersOf(listed, pilots[n])); // the newcomer's list: the sky before it
        listed.insert(pilots[n].id, entry(pilots[n], n + 1));
        QVERIFY(sky.waitForPlayers(QList<int>{0, 1, 2}.mid(0, n + 1), listed));
    }
    for (Pilot &pilot : pilots) {
        pilot.drain(100);
        QCOMPARE(pilot.view, othersOf(listed, pilot));
    }

    // Bob's flight data before his aircraft details, then his chat: the
    // chat is the first thing the others get.
    const QByteArray early = ClientRecords::flightRecord(4121, pilots[1].id, 'e');
    const QByteArray chat = ClientRecords::flightRecord(4131, pilots[1].id, 'c');
    QVERIFY(pilots[1].send(early) && pilots[1].send(chat));
    QCOMPARE(pilots[0].next().toHex(), chat.toHex());
    QCOMPARE(pilots[2].next().toHex(), chat.toHex());

    for (int from = 0; from < 3; ++from) {
        for (const qint32 type : {4110, 4111, 4113, 4121, 4131}) {
            const QByteArray record = ClientRecords::flightRecord(type, pilots[from].id, char('a' + from));
            QVERIFY(pilots[from].send(record));
            for (int to = 0; to < 3; ++to) {
                if (to == from)
                    continue;
                const QByteArray expected = type == 4113 ? crashNotice(pilots[from].id, crashText(to + 1)) : record;
                QVERIFY2(pilots[to].next() == expected,
                         qPrintable(QStringLiteral("type %1 from node %2 to node %3").arg(QString::number(type), QString::number(from + 1), QString::number(to + 1))));
            }
        }
    }
    for (Pilot &pilot : pilots)
        QVERIFY(pilot.drain(200).isEmpty()); // nobody gets its own record back, nothing twice
}

void tst_SkyProcess::departuresReachEveryNode_data()
{
    QTest::addColumn<int>("brokers");
    QTest::addColumn<QString>("how");
    QTest::newRow("keep-alive expiry, one nats-server") << 1 << "expiry";
    QTest::newRow("operator kick, cluster") << 2 << "kick";
    QTest::newRow("node killed, one nats-server") << 1 << "kill";
    QTest::newRow("node killed, cluster") << 2 << "kill";
}

// Ann and Eve fly on node 1, Bob on node 2, Cid on node 3. Ann leaves at
// her own node (her keep-alives stop, her operator kicks her, or node 1
// dies with Eve too): the other nodes' pilots are told, and every node
// lists the same sky. Node 1's clock runs ten times as fast for the expiry,
// so that its 60 s limit passes in 6 s.
void tst_SkyProcess::departuresReachEveryNode()
{
    QFETCH(int, brokers);
    QFETCH(QString, how);
    if (how == QLatin1String("expiry") && !QFile::exists(QStringLiteral(FAKETIME_LIBRARY)))
        QSKIP("faketime is not installed");
    Sky sky(brokers);
    QVERIFY(sky.startBrokers());
    Pilot ann, eve, bob, cid;
    QVERIFY(sky.addNode(1, {}, how == QLatin1String("expiry") ? QByteArray("+0 x10") : QByteArray()));
    QVERIFY(sky.addNode(2) && sky.addNode(3));
    QVERIFY(ann.logOn(sky.port(0), 1, QStringLiteral("Ann")) && eve.logOn(sky.port(0), 5, QStringLiteral("Eve")));
    QVERIFY(bob.logOn(sky.port(1), 2, QStringLiteral("Bob")) && cid.logOn(sky.port(2), 3, QStringLiteral("Cid")));
    QMap<qint32, QString> listed{{ann.id, entry(ann, 1)}, {eve.id, entry(eve, 1)}, {bob.id, entry(bob, 2)}, {cid.id, entry(cid, 3)}};
    QVERIFY(sky.waitForPlayers({1, 2}, listed));
    for (Pilot *pilot : {&eve, &bob, &cid})
        pilot->drain(100);

    QElapsedTimer clock;
    if (how == QLatin1String("expiry")) {
        QTest::qWait(6500);
        clock.start();
        QVERIFY(eve.send(ClientRecords::keepAlive(eve.id)));
        QVERIFY(sky.node(0).waitForLog("No HeartBeat, removing player Ann", kWaitMs));
        listed.remove(ann.id);
    } else if (how == QLatin1String("kick")) {
        clock.start();
        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VENTORO_INSTANCE"), sky.node(0).environment().value(QStringLiteral("VENTORO_INSTANCE")));
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(VENTORO_CLI_BINARY), {QStringLiteral("kick"), QString::number(ann.id)});
        QVERIFY(cli.waitForFinished(kWaitMs));
        QCOMPARE(cli.exitCode(), 0);
        listed.remove(ann.id);
        // Kicking a pilot of another node is that node's operator's job.
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(VENTORO_CLI_BINARY), {QStringLiteral("kick"), QString::number(bob.id)});
        QVERIFY(cli.waitForFinished(kWaitMs));
        QVERIFY((cli.readAllStandardOutput() + cli.readAllStandardError()).contains("flies on sky node 2"));
    } else {
        clock.start();
        QVERIFY(sky.node(0).sendSignal(SIGKILL));
        QVERIFY(sky.node(0).waitForFinished(kWaitMs));
        listed.remove(ann.id);
        listed.remove(eve.id);
    }
    QVERIFY(sky.waitForPlayers({1, 2}, listed));
    qInfo("%s: the other nodes listed the rest after %lld ms", qPrintable(how), clock.elapsed());
    for (Pilot *pilot : {&bob, &cid}) {
        QVERIFY(pilot->drain().isEmpty());
        QCOMPARE(pilot->view, othersOf(listed, *pilot));
    }
    // Node 1's own view, where its clock runs at the speed of the others.
    if (how == QLatin1String("kick")) {
        QVERIFY(sky.waitForPlayers({0}, listed));
        QVERIFY(eve.drain().isEmpty());
        QCOMPARE(eve.view, othersOf(listed, eve));
    }
}

void tst_SkyProcess::rostersComeBackAfterABrokerRestart_data()
{
    QTest::addColumn<int>("brokers");
    QTest::addColumn<bool>("pauseNode");
    QTest::addColumn<int>("downMs");
    QTest::newRow("one nats-server, down 1 s") << 1 << false << 1000;
    QTest::newRow("one nats-server, down 7 s") << 1 << false << 7000;
    QTest::newRow("cluster, one of two down 7 s") << 2 << false << 7000;
    QTest::newRow("node 2 stopped 7 s, its connection kept") << 1 << true << 7000;
}

// The broker nodes 1 and 3 use dies and comes back at the same port (or
// node 2 stops for a while, and the others give it up): afterwards every
// node lists the whole sky again, every pilot's view says so, and a
// newcomer is told of everyone.
void tst_SkyProcess::rostersComeBackAfterABrokerRestart()
{
    QFETCH(int, brokers);
    QFETCH(bool, pauseNode);
    QFETCH(int, downMs);
    Sky sky(brokers);
    QVERIFY(sky.startBrokers());
    Pilot pilots[3];
    QVERIFY(threeNodesWithPilots(sky, pilots));
    if (pauseNode) {
        QVERIFY(sky.node(1).sendSignal(SIGSTOP));
        QTest::qWait(downMs);
        QVERIFY(sky.node(1).sendSignal(SIGCONT));
    } else {
        sky.broker(0).kill();
        QTest::qWait(downMs);
        QVERIFY(sky.broker(0).start(kWaitMs));
        QVERIFY(brokers == 1 || sky.broker(0).waitForRoute(kWaitMs));
    }
    QMap<qint32, QString> listed;
    for (int n = 0; n < 3; ++n)
        listed.insert(pilots[n].id, entry(pilots[n], n + 1));
    const bool back = sky.waitForPlayers({0, 1, 2}, listed, 3 * kWaitMs / 2);
    for (int n = 0; !back && n < 3; ++n)
        qWarning() << "node" << n + 1 << "lists" << sky.players(n) << sky.status(n).value(QLatin1String("sky"));
    QVERIFY(back);
    for (Pilot &pilot : pilots) {
        QVERIFY(pilot.drain().isEmpty());
        QCOMPARE(pilot.view, othersOf(listed, pilot));
    }
    Pilot dee;
    QVERIFY(dee.logOn(sky.port(2), 4, QStringLiteral("Dee")));
    dee.drain();
    QCOMPARE(dee.view, othersOf(listed, dee));
}

void tst_SkyProcess::oneHandleOnePilot_data()
{
    QTest::addColumn<int>("brokers");
    QTest::addColumn<bool>("atOnce");
    QTest::newRow("one after the other, cluster") << 2 << false;
    QTest::newRow("at once, one nats-server") << 1 << true;
}

// "Ann" logs on at node 1 and at node 2: one Ann is left, the same on
// every node, and Cid on node 3 sees that one alone.
void tst_SkyProcess::oneHandleOnePilot()
{
    QFETCH(int, brokers);
    QFETCH(bool, atOnce);
    Sky sky(brokers);
    QVERIFY(sky.startBrokers());
    QVERIFY(sky.addNode(1) && sky.addNode(2) && sky.addNode(3));
    Pilot first, second, cid;
    QVERIFY(cid.logOn(sky.port(2), 3, QStringLiteral("Cid")));
    QVERIFY(first.socket.bind(QStringLiteral("127.0.0.2"), 0) && second.socket.bind(QStringLiteral("127.0.0.2"), 0));
    if (atOnce) {
        const QByteArray logon = ClientRecords::logonRequest(1, password(1), QStringLiteral("Ann"));
        QVERIFY(first.socket.sendRecord(logon, sky.port(0)) && second.socket.sendRecord(logon, sky.port(1)));
        for (auto [pilot, node] : {std::pair{&first, 0}, std::pair{&second, 1}}) {
            const auto reply = pilot->socket.waitForDatagram(kWaitMs);
            QVERIFY(reply && Packet::fromDatagram(reply->bytes).PacketType() == Packet::LogonAccepted);
            pilot->id = Packet::fromDatagram(reply->bytes).int32At(Packet::PlayerIDAt);
            pilot->serverPort = sky.port(node);
        }
    } else {
        QVERIFY(first.logOn(sky.port(0), 1, QStringLiteral("Ann")));
        QVERIFY(sky.waitForPlayers({0, 1, 2}, {{cid.id, QStringLiteral("Cid@3")}, {first.id, QStringLiteral("Ann@1")}}));
        QVERIFY(second.logOn(sky.port(1), 1, QStringLiteral("Ann")));
    }
    // The later logon wins; at once, the nodes must merely agree.
    QMap<qint32, QString> listed{{cid.id, QStringLiteral("Cid@3")}, {second.id, QStringLiteral("Ann@2")}};
    if (atOnce && !sky.waitForPlayers({0, 1, 2}, listed, 3000))
        listed = {{cid.id, QStringLiteral("Cid@3")}, {first.id, QStringLiteral("Ann@1")}};
    QVERIFY(sky.waitForPlayers({0, 1, 2}, listed));
    cid.drain();
    QCOMPARE(cid.view, othersOf(listed, cid));
}

// A second node 1, started later, leaves the sky and says so; it goes on
// serving its own pilots, whom the sky never sees, and the first node 1
// stays in the sky.
void tst_SkyProcess::laterNodeWithATakenNumberLeaves()
{
    Sky sky(1);
    QVERIFY(sky.startBrokers());
    Pilot ann, bob, cid;
    QVERIFY(sky.addNode(1));
    QVERIFY(ann.logOn(sky.port(0), 1, QStringLiteral("Ann")));
    QVERIFY(sky.addNode(1));
    QTRY_VERIFY_WITH_TIMEOUT(sky.node(1).standardError().contains("Left the sky"), kWaitMs);
    QVERIFY(sky.node(1).logText().contains("Left the sky"));
    QCOMPARE(sky.status(1).value(QLatin1String("sky")).toObject().value(QLatin1String("left")).toBool(), true);
    QCOMPARE(sky.status(0).value(QLatin1String("sky")).toObject().value(QLatin1String("connected")).toBool(), true);

    QVERIFY(bob.logOn(sky.port(1), 2, QStringLiteral("Bob")));
    bob.drain();
    QVERIFY(bob.view.isEmpty());
    QVERIFY(sky.addNode(2));
    QVERIFY(cid.logOn(sky.port(2), 3, QStringLiteral("Cid")));
    const QMap<qint32, QString> listed{{ann.id, QStringLiteral("Ann@1")}, {cid.id, QStringLiteral("Cid@2")}};
    QVERIFY(sky.waitForPlayers({0, 2}, listed));
    for (Pilot *pilot : {&ann, &cid}) {
        pilot->drain();
        QCOMPARE(pilot->view, othersOf(listed, *pilot));
    }
    QCOMPARE(sky.players(1), (QMap<qint32, QString>{{bob.id, QStringLiteral("Bob@1")}}));
}

void tst_SkyProcess::hostilePublisherChangesNothing_data()
{
    QTest::addColumn<int>("brokers");
    QTest::newRow("one nats-server") << 1;
    QTest::newRow("cluster of two") << 2;
}

// Someone with access to the broker publishes on the sky's subjects:
// garbage, messages whose subject and header name different nodes, server
// IDs outside the named node's range, records no relay passes on, subjects
// no node uses, too many items. Every node drops each message whole and
// counts it by reason; no pilot is told of anything.
void tst_SkyProcess::hostilePublisherChangesNothing()
{
    QFETCH(int, brokers);
    Sky sky(brokers);
    QVERIFY(sky.startBrokers());
    Pilot pilots[3];
    QVERIFY(threeNodesWithPilots(sky, pilots));
    QMap<qint32, QString> listed;
    for (int n = 0; n < 3; ++n)
        listed.insert(pilots[n].id, entry(pilots[n], n + 1));
    QList<QJsonObject> before;
    for (int n = 0; n < 3; ++n)
        before.append(sky.status(n).value(QLatin1String("sky")).toObject().value(QLatin1String("dropped")).toObject());

    using namespace SkyMessage;
    const auto message = [](Kind kind, int node, std::vector<Item> items) {
        return encode(Header{kind, node, 0x5eed, 1, 0}, items);
    };
    const QByteArray node2 = "ventoro." + kSkyName + ".node.2";
    QByteArray truncated = message(Kind::Batch, 2, {Item::playerAdded(2 * kIdsPerNode + 9, 0, QStringLiteral("Mal"))});
    truncated.chop(3);
    QByteArray tooMany = message(Kind::Batch, 2, {});
    tooMany[HeaderBytes - 2] = char(0x88); // 5000 items, none there
    tooMany[HeaderBytes - 1] = char(0x13);
    const QByteArray chat = message(Kind::Batch, 2, {Item::ofRecord(ClientRecords::flightRecord(4131, pilots[0].id))});
    const QList<std::pair<QByteArray, QByteArray>> hostile{
        {node2, QByteArray(300, '\xa5')},
        {node2, truncated},
        {node2, tooMany},
        {node2, message(Kind::Batch, 3, {})},
        {node2, chat},
        {"ventoro." + kSkyName + ".roster.2", message(Kind::Roster, 2, {Item::playerAdded(pilots[0].id, 0, QStringLiteral("Mal"))})},
        {node2, message(Kind::Batch, 2, {Item::ofRecord(ClientRecords::logonRequest(1, 1, QStringLiteral("Mal")))})},
        {"ventoro." + kSkyName + ".node.02", chat},
        {"ventoro." + kSkyName + ".node.200", chat},
        {"ventoro." + kSkyName + ".presence", message(Kind::Presence, 2, {Item::presence(0, 1)})},
    };
    const QMap<QString, int> expected{{"malformed", 3}, {"too_large", 1}, {"wrong_node", 1},
                                      {"foreign_server_id", 2}, {"unknown_subject", 3}};

    QTcpSocket publisher;
    publisher.connectToHost(QStringLiteral("127.0.0.1"), sky.broker(0).port());
    QVERIFY(publisher.waitForConnected(kWaitMs));
    QByteArray wire = "CONNECT {\"verbose\":false,\"pedantic\":false}\r\n";
    for (const auto &[subject, payload] : hostile)
        wire += "PUB " + subject + ' ' + QByteArray::number(payload.size()) + "\r\n" + payload + "\r\n";
    publisher.write(wire + "PING\r\n");
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += publisher.readAll()).contains("PONG"), kWaitMs);
    QVERIFY2(!answer.contains("-ERR"), answer.constData());

    for (int n = 0; n < 3; ++n) {
        QMap<QString, int> counted;
        QDeadlineTimer deadline(kWaitMs);
        while (counted != expected && !deadline.hasExpired()) {
            const QJsonObject dropped = sky.status(n).value(QLatin1String("sky")).toObject().value(QLatin1String("dropped")).toObject();
            counted.clear();
            for (auto it = dropped.begin(); it != dropped.end(); ++it)
                if (const int more = it.value().toInt() - before[n].value(it.key()).toInt())
                    counted.insert(it.key(), more);
            if (counted != expected)
                QTest::qWait(100);
        }
        QCOMPARE(counted, expected);
        QCOMPARE(sky.players(n), listed);
        QVERIFY(pilots[n].drain().isEmpty());
        QCOMPARE(pilots[n].view, othersOf(listed, pilots[n]));
    }
}

QTEST_GUILESS_MAIN(tst_SkyProcess)
#include "tst_skyprocess.moc"
