// The receive path: the size gate, the receive guard, arrivals refused
// during a burst, read failures, and a record whose handling fails; and the
// bounds of the arrival queue it takes its bursts from.
#include "CoreHarness.h"
#include "ReceivePath.h"

#include <QtTest>

#include <cerrno>
#include <stdexcept>

namespace {

// A receive path over an arrival queue of its own; raising again later is
// counted, and happens when the test calls onDataArrival.
struct PathUnderTest {
    explicit PathUnderTest(ServerContext &context) : path(context, queue, [this] { ++raised; }) {}
    void push(const QByteArray &bytes, const QString &sender, qint64 arrivalNs = 0)
    {
        queue.push(bytes.constData(), bytes.size(), endpointOf(sender), arrivalNs);
    }
    ArrivalQueue queue;
    ReceivePath path;
    int raised = 0;
};

class ThrowingSender : public Sender
{
public:
    bool send(const Endpoint &to, const Packet &record, WhenFull whenFull) override
    {
        if (to.addressText() == QStringLiteral("127.0.0.66") && !m_thrown) {
            m_thrown = true;
            throw std::runtime_error("send failed");
        }
        return inner.send(to, record, whenFull);
    }
    RecordingSender inner;

private:
    bool m_thrown = false;
};

QByteArray logonFor(CoreHarness &h, qint32 pilot, const QString &handle)
{
    h.addAccount(pilot, QByteArray::number(pilot));
    return ClientRecords::logonRequest(pilot, pilot, handle);
}

} // namespace

class tst_ReceivePath : public QObject
{
    Q_OBJECT

private slots:
    void sizeGate_data();
    void sizeGate();
    void oddDatagramIsDroppedAtOnce();
    void arrivalQueueBounds();
    void arrivalDuringABurstIsRaisedAgain();
    void readFailureDropsTheBurst();
    void failingRecordIsContained();
    void hostileDatagramsOfEveryLength();
    void staleFlightData_data();
    void staleFlightData();
};

void tst_ReceivePath::sizeGate_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("players");

    QTest::newRow("0") << 0 << true << 0; // a record of zeros: ignored
    QTest::newRow("100") << 100 << false << 0;
    QTest::newRow("128") << 128 << true << 1;
    QTest::newRow("200") << 200 << false << 0;
    QTest::newRow("256") << 256 << true << 1; // its first record counts
    QTest::newRow("65507") << 65507 << false << 0;
}

// Only whole records are ever queued: the logon at the datagram's start,
// cut or padded with junk to its size.
void tst_ReceivePath::sizeGate()
{
    QFETCH(int, size);
    QFETCH(bool, kept);
    QFETCH(int, players);

    CoreHarness h(false, false);
    PathUnderTest receive(h.ctx());
    QByteArray datagram = logonFor(h, 1, QStringLiteral("Ann"));
    datagram.resize(size, '\x55');
    receive.push(datagram, QStringLiteral("127.0.0.2"));
    QCOMPARE(receive.queue.size(), kept ? 1 : 0);
    QCOMPARE(receive.queue.oddSizedDropped(), quint64(kept ? 0 : 1));
    receive.path.onDataArrival();
    QVERIFY(receive.queue.isEmpty());
    QCOMPARE(h.ctx().players.count(), players);
    QCOMPARE(h.ctx().counters.datagramsReceived, quint64(kept ? 1 : 0));
    QVERIFY(h.ctx().ReceiveReady);
}

// A 100-byte datagram never holds up the valid logons behind it, each
// handled with its own sender.
void tst_ReceivePath::oddDatagramIsDroppedAtOnce()
{
    CoreHarness h(false, false);
    PathUnderTest receive(h.ctx());
    receive.push(QByteArray(100, '\x01'), QStringLiteral("127.0.0.9"));
    receive.push(logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2"));
    receive.push(logonFor(h, 2, QStringLiteral("Bob")), QStringLiteral("127.0.0.3"));
    receive.path.onDataArrival();
    QVERIFY(receive.queue.isEmpty());
    QCOMPARE(h.ctx().players.item(QStringLiteral("Ann"))->endpoint.addressText(), QStringLiteral("127.0.0.2"));
    QCOMPARE(h.ctx().players.item(QStringLiteral("Bob"))->endpoint.addressText(), QStringLiteral("127.0.0.3"));
    QCOMPARE(h.ctx().counters.datagramsReceived, quint64(2));
}

// Full, the queue gives up its oldest; a smaller limit keeps the newest;
// a burst ends at a read failure, and what came after waits for the next.
void tst_ReceivePath::arrivalQueueBounds()
{
    ArrivalQueue queue(3);
    const QByteArray record = ClientRecords::keepAlive(1);
    for (qint64 n = 1; n <= 5; ++n)
        queue.push(record.constData(), record.size(), Endpoint::fromIpv4(0x7F000000u + quint32(n), 9), n);
    QCOMPARE(queue.size(), 3);
    QCOMPARE(queue.overflowDropped(), quint64(2));
    queue.setLimit(2);
    QCOMPARE(queue.overflowDropped(), quint64(3));
    queue.pushReadFailure(ENOMEM);
    queue.push(record.constData(), record.size(), Endpoint::fromIpv4(0x7F000006u, 9), 6);
    QCOMPARE(queue.overflowDropped(), quint64(5));
    QCOMPARE(queue.newestArrivalNs(), qint64(6));
    std::vector<Arrival> burst;
    queue.takeBurst(burst);
    QCOMPARE(burst.size(), size_t(1));
    QCOMPARE(burst[0].readError, ENOMEM);
    queue.takeBurst(burst);
    QCOMPARE(burst.size(), size_t(1));
    QCOMPARE(burst[0].from.addressText(), QStringLiteral("127.0.0.6"));
    QCOMPARE(burst[0].record, Packet::fromDatagram(record));
    QVERIFY(queue.isEmpty());
}

// A datagram that arrives while a burst is being handled is refused by the
// guard, and announced again once the burst is over.
void tst_ReceivePath::arrivalDuringABurstIsRaisedAgain()
{
    CoreHarness h(false, false);
    PathUnderTest receive(h.ctx());
    receive.push(logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2"));
    const QByteArray late = logonFor(h, 2, QStringLiteral("Bob"));
    h.yield.onYield = [&](int n) {
        if (n != 1)
            return;
        QVERIFY(!h.ctx().ReceiveReady);
        receive.push(late, QStringLiteral("127.0.0.3"));
        receive.path.onDataArrival();
    };
    receive.path.onDataArrival();
    QCOMPARE(h.ctx().players.count(), 1);
    QCOMPARE(receive.raised, 1);
    h.yield.onYield = nullptr;
    receive.path.onDataArrival();
    QCOMPARE(h.ctx().players.count(), 2);
    QCOMPARE(receive.raised, 1);
}

void tst_ReceivePath::readFailureDropsTheBurst()
{
    CoreHarness h(true, false);
    PathUnderTest receive(h.ctx());
    receive.push(logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2"));
    receive.queue.pushReadFailure(ECONNRESET);
    receive.push(logonFor(h, 2, QStringLiteral("Bob")), QStringLiteral("127.0.0.3"));
    receive.path.onDataArrival();
    QCOMPARE(h.logLines(),
             QStringList{"09:05:07 - Problem reading packet from 127.0.0.2 104 Connection reset by peer"});
    QCOMPARE(h.ctx().players.count(), 0);
    QVERIFY(h.ctx().ReceiveReady);
    QCOMPARE(receive.raised, 1); // Bob's logon waits for no later arrival

    h.clearRecords();
    receive.queue.clear();
    receive.queue.pushReadFailure(ECONNRESET);
    receive.push(logonFor(h, 2, QStringLiteral("Bob")), QStringLiteral("127.0.0.3"));
    receive.path.onDataArrival();
    QCOMPARE(h.logLines(), QStringList{"09:05:07 - Problem reading packet from  104 Connection reset by peer"});
}

void tst_ReceivePath::failingRecordIsContained()
{
    FakeClock clock;
    ThrowingSender sender;
    ScriptedYield yield;
    ServerContext context(clock, sender, yield);
    QTemporaryDir dir;
    context.UsersIni.FileName(dir.filePath(QStringLiteral("user.ini")).toStdString());
    context.UsersIni.WriteINI(1, "Pwd", 1);
    PathUnderTest receive(context);
    receive.push(ClientRecords::logonRequest(1, 1, QStringLiteral("Bad")), QStringLiteral("127.0.0.66"));
    receive.push(ClientRecords::logonRequest(1, 1, QStringLiteral("Good")), QStringLiteral("127.0.0.2"));
    receive.path.onDataArrival();
    QVERIFY(context.ReceiveReady);
    QCOMPARE(sender.inner.sent.size(), 3); // Good's reply and list, and Good announced to Bad
    QVERIFY(context.players.item(QStringLiteral("Good")));
}

void tst_ReceivePath::hostileDatagramsOfEveryLength()
{
    CoreHarness h(true, true);
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    PathUnderTest receive(h.ctx());
    QRandomGenerator random(2024);
    for (int length = 0; length <= 300; ++length) {
        QByteArray junk(length, '\0');
        for (char &byte : junk)
            byte = char(random.bounded(256));
        receive.push(junk, QStringLiteral("127.0.0.%1").arg(2 + length % 3));
    }
    QCOMPARE(receive.queue.size(), 3);
    receive.path.onDataArrival();
    QVERIFY(receive.queue.isEmpty());
    QVERIFY(h.ctx().ReceiveReady);
    QCOMPARE(h.ctx().players.count(), 2);
}

void tst_ReceivePath::staleFlightData_data()
{
    QTest::addColumn<qint32>("type");
    QTest::addColumn<qint64>("arrivalNs"); // the record's; a datagram ahead of it arrived at 10 s
    QTest::addColumn<qint64>("clockNs");   // the kernel's clock at its turn; 0: unknown
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("dropped");

    const qint64 later = 10'000'000'000;
    QTest::newRow("flight data, fresh") << qint32(4121) << later - 250'000'000 << qint64(0) << 1 << 0;
    QTest::newRow("flight data, stale") << qint32(4121) << later - 250'000'001 << qint64(0) << 0 << 1;
    QTest::newRow("flight data, aged by the clock")
        << qint32(4121) << later - 100'000'000 << later + 200'000'000 << 0 << 1;
    QTest::newRow("flight data, clock behind the arrivals")
        << qint32(4121) << later - 100'000'000 << later - 5'000'000'000 << 1 << 0;
    QTest::newRow("flight data, clock implausibly ahead")
        << qint32(4121) << later - 100'000'000 << later + 20'000'000'000 << 1 << 0;
    QTest::newRow("flight data, arrival unknown") << qint32(4121) << qint64(0) << later << 1 << 0;
    QTest::newRow("chat, however late") << qint32(4131) << qint64(1) << later << 1 << 0;
    QTest::newRow("aircraft details, however late") << qint32(4110) << qint64(1) << later << 1 << 0;
    QTest::newRow("keep-alive, however late") << qint32(1006) << qint64(1) << later << 1 << 0;
}

// A record that waited too long between its arrival and its turn, measured
// on the kernel's clock, never on the process's; a clock reading behind the
// newest arrival, or too far ahead of it to be the same clock, counts as
// that arrival. The datagram ahead of it is handled first.
void tst_ReceivePath::staleFlightData()
{
    QFETCH(qint32, type);
    QFETCH(qint64, arrivalNs);
    QFETCH(qint64, clockNs);
    QFETCH(int, sent);
    QFETCH(int, dropped);

    CoreHarness h(false, false);
    h.logOnAll({"Ann", "Bob"});
    h.receive(ClientRecords::flightRecord(4110, 1), QStringLiteral("127.0.0.2"));
    h.clearRecords();
    h.clock.arrivalNowNs = clockNs;
    PathUnderTest receive(h.ctx());
    const QByteArray record = type == 1006 ? ClientRecords::keepAlive(1) : ClientRecords::flightRecord(type, 1);
    receive.push(QByteArray(128, '\x7f'), QStringLiteral("127.0.0.9"), 10'000'000'000);
    receive.push(record, QStringLiteral("127.0.0.2"), arrivalNs);
    receive.path.onDataArrival();
    QCOMPARE(h.sender.sent.size(), sent);
    QCOMPARE(h.ctx().counters.staleFlightDataDropped, quint64(dropped));
}

QTEST_GUILESS_MAIN(tst_ReceivePath)
#include "tst_receivepath.moc"
