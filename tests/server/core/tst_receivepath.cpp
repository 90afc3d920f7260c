// The receive path: the size gate, the receive guard, arrivals refused
// during a burst, read failures, and a record whose handling fails.
#include "CoreHarness.h"
#include "ReceivePath.h"

#include <QtTest>

#include <deque>
#include <stdexcept>

namespace {

class FakeSource : public DatagramSource
{
public:
    struct Item {
        QByteArray bytes;
        QString sender;
        bool fails = false;
        qint64 arrivalNs = 0;
    };

    bool hasPendingDatagrams() const override { return !queue.empty(); }
    bool read(QByteArray *bytes, Endpoint *sender, int *errorNumber, QString *errorText) override
    {
        const Item item = queue.front();
        queue.pop_front();
        if (item.fails) {
            *errorNumber = 10054;
            *errorText = QStringLiteral("Connection reset by peer");
            return false;
        }
        *bytes = item.bytes;
        *sender = endpointOf(item.sender);
        lastArrival = item.arrivalNs;
        newestArrival = qMax(newestArrival, item.arrivalNs);
        return true;
    }
    void raiseArrivalLater(qint64 size) override { raised.append(size); }
    void takeInWaiting() override
    {
        for (const Item &item : waiting)
            newestArrival = qMax(newestArrival, item.arrivalNs);
        queue.insert(queue.end(), waiting.begin(), waiting.end());
        waiting.clear();
    }
    qint64 lastReadArrivalNs() const override { return lastArrival; }
    qint64 arrivalClockNowNs() const override { return newestArrival; }
    qint64 lastArrival = 0;
    qint64 newestArrival = 0;

    std::deque<Item> queue;
    std::vector<Item> waiting; // in the system's socket, taken in on request
    QList<qint64> raised;
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
    void oddDatagramIsReadWithTheNextBurst();
    void arrivalDuringABurstIsRaisedAgain();
    void readFailureDropsTheBurst();
    void failingRecordIsContained();
    void hostileDatagramsOfEveryLength();
    void staleFlightData_data();
    void staleFlightData();
};

void tst_ReceivePath::sizeGate_data()
{
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<bool>("read");

    QTest::newRow("0") << qint64(0) << true;
    QTest::newRow("100") << qint64(100) << false;
    QTest::newRow("128") << qint64(128) << true;
    QTest::newRow("200") << qint64(200) << false;
    QTest::newRow("256") << qint64(256) << true;
    QTest::newRow("65507") << qint64(65507) << false;
}

void tst_ReceivePath::sizeGate()
{
    QFETCH(qint64, announced);
    QFETCH(bool, read);

    CoreHarness h(false, false);
    FakeSource source;
    ReceivePath path(h.ctx(), source);
    source.queue.push_back({logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2")});
    path.onDataArrival(announced);
    QCOMPARE(source.queue.empty(), read);
    QCOMPARE(h.ctx().players.count(), read ? 1 : 0);
    QVERIFY(h.ctx().ReceiveReady);
}

// A 100-byte datagram waits; the next arrival that passes the gate reads it
// whole together with the valid logon behind it, each with its own sender.
void tst_ReceivePath::oddDatagramIsReadWithTheNextBurst()
{
    CoreHarness h(false, false);
    FakeSource source;
    ReceivePath path(h.ctx(), source);
    source.queue.push_back({QByteArray(100, '\x01'), QStringLiteral("127.0.0.9")});
    path.onDataArrival(100);
    QCOMPARE(source.queue.size(), size_t(1));

    source.queue.push_back({logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2")});
    source.queue.push_back({logonFor(h, 2, QStringLiteral("Bob")), QStringLiteral("127.0.0.3")});
    path.onDataArrival(128);
    QVERIFY(source.queue.empty());
    QCOMPARE(h.ctx().players.item(QStringLiteral("Ann"))->endpoint.addressText(), QStringLiteral("127.0.0.2"));
    QCOMPARE(h.ctx().players.item(QStringLiteral("Bob"))->endpoint.addressText(), QStringLiteral("127.0.0.3"));
}

// A datagram that arrives while a burst is being handled is refused by the
// guard, and announced again once the burst is over.
void tst_ReceivePath::arrivalDuringABurstIsRaisedAgain()
{
    CoreHarness h(false, false);
    FakeSource source;
    ReceivePath path(h.ctx(), source);
    source.queue.push_back({logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2")});
    const QByteArray late = logonFor(h, 2, QStringLiteral("Bob"));
    h.yield.onYield = [&](int n) {
        if (n != 1)
            return;
        QVERIFY(!h.ctx().ReceiveReady);
        source.queue.push_back({late, QStringLiteral("127.0.0.3")});
        path.onDataArrival(128);
    };
    path.onDataArrival(128);
    QCOMPARE(h.ctx().players.count(), 1);
    QCOMPARE(source.raised, QList<qint64>{128});
    h.yield.onYield = nullptr;
    path.onDataArrival(source.raised.takeFirst());
    QCOMPARE(h.ctx().players.count(), 2);
    QVERIFY(source.raised.isEmpty());
}

void tst_ReceivePath::readFailureDropsTheBurst()
{
    CoreHarness h(true, false);
    FakeSource source;
    ReceivePath path(h.ctx(), source);
    source.queue.push_back({logonFor(h, 1, QStringLiteral("Ann")), QStringLiteral("127.0.0.2")});
    source.queue.push_back({QByteArray(), QString(), true});
    source.queue.push_back({logonFor(h, 2, QStringLiteral("Bob")), QStringLiteral("127.0.0.3")});
    path.onDataArrival(128);
    QCOMPARE(h.logLines(),
             QStringList{"09:05:07 - Problem reading packet from 127.0.0.2 10054 Connection reset by peer"});
    QCOMPARE(h.ctx().players.count(), 0);
    QVERIFY(h.ctx().ReceiveReady);

    h.clearRecords();
    source.queue.push_front({QByteArray(), QString(), true});
    path.onDataArrival(128);
    QCOMPARE(h.logLines(), QStringList{"09:05:07 - Problem reading packet from  10054 Connection reset by peer"});
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
    FakeSource source;
    ReceivePath path(context, source);
    source.queue.push_back({ClientRecords::logonRequest(1, 1, QStringLiteral("Bad")), QStringLiteral("127.0.0.66")});
    source.queue.push_back({ClientRecords::logonRequest(1, 1, QStringLiteral("Good")), QStringLiteral("127.0.0.2")});
    path.onDataArrival(128);
    QVERIFY(context.ReceiveReady);
    QCOMPARE(sender.inner.sent.size(), 3); // Good's reply and list, and Good announced to Bad
    QVERIFY(context.players.item(QStringLiteral("Good")));
}

void tst_ReceivePath::hostileDatagramsOfEveryLength()
{
    CoreHarness h(true, true);
    h.logOn(QStringLiteral("Ann"), QStringLiteral("127.0.0.2"));
    h.logOn(QStringLiteral("Bob"), QStringLiteral("127.0.0.3"));
    FakeSource source;
    ReceivePath path(h.ctx(), source);
    QRandomGenerator random(2024);
    for (int length = 0; length <= 300; ++length) {
        QByteArray junk(length, '\0');
        for (char &byte : junk)
            byte = char(random.bounded(256));
        source.queue.push_back({junk, QStringLiteral("127.0.0.%1").arg(2 + length % 3)});
    }
    path.onDataArrival(0);
    QVERIFY(source.queue.empty());
    QVERIFY(h.ctx().ReceiveReady);
    QCOMPARE(h.ctx().players.count(), 2);
}

void tst_ReceivePath::staleFlightData_data()
{
    QTest::addColumn<qint32>("type");
    QTest::addColumn<qint64>("arrivalNs");  // the record's; a later datagram arrives at 10 s
    QTest::addColumn<qint64>("meanwhileNs"); // an arrival taken in while the burst is handled; 0: none
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("dropped");

    const qint64 later = 10'000'000'000;
    QTest::newRow("flight data, fresh") << qint32(4121) << later - 250'000'000 << qint64(0) << 1 << 0;
    QTest::newRow("flight data, stale") << qint32(4121) << later - 250'000'001 << qint64(0) << 0 << 1;
    QTest::newRow("flight data, aged by what came meanwhile")
        << qint32(4121) << later - 100'000'000 << later + 200'000'000 << 0 << 1;
    QTest::newRow("flight data, arrival unknown") << qint32(4121) << qint64(0) << qint64(0) << 1 << 0;
    QTest::newRow("chat, however late") << qint32(4131) << qint64(1) << qint64(0) << 1 << 0;
    QTest::newRow("aircraft details, however late") << qint32(4110) << qint64(1) << qint64(0) << 1 << 0;
    QTest::newRow("keep-alive, however late") << qint32(1006) << qint64(1) << qint64(0) << 1 << 0;
}

// A record that waited too long between its arrival and its turn, measured
// against the newest arrival, never against the process's clock. The odd
// datagram ahead of it is handled first; whatever reaches the socket
// meanwhile is taken in before the record's turn and ages it.
void tst_ReceivePath::staleFlightData()
{
    QFETCH(qint32, type);
    QFETCH(qint64, arrivalNs);
    QFETCH(qint64, meanwhileNs);
    QFETCH(int, sent);
    QFETCH(int, dropped);

    CoreHarness h(false, false);
    h.logOnAll({"Ann", "Bob"});
    h.receive(ClientRecords::flightRecord(4110, 1), QStringLiteral("127.0.0.2"));
    h.clearRecords();
    FakeSource source;
    ReceivePath path(h.ctx(), source);
    const QByteArray record = type == 1006 ? ClientRecords::keepAlive(1) : ClientRecords::flightRecord(type, 1);
    source.queue.push_back({QByteArray(128, '\x7f'), QStringLiteral("127.0.0.9"), false, 10'000'000'000});
    source.queue.push_back({record, QStringLiteral("127.0.0.2"), false, arrivalNs});
    if (meanwhileNs)
        source.waiting.push_back({QByteArray(128, '\x7f'), QStringLiteral("127.0.0.9"), false, meanwhileNs});
    path.onDataArrival(128);
    QCOMPARE(h.sender.sent.size(), sent);
    QCOMPARE(h.ctx().counters.staleFlightDataDropped, quint64(dropped));
}

QTEST_GUILESS_MAIN(tst_ReceivePath)
#include "tst_receivepath.moc"
