// Held-back sends: records for one destination grouped in order, what a full
// send buffer does to each kind of record, and the fallback where the
// system refuses grouped messages.
#include "SendBatch.h"

#include <QtTest>

#include <cctype>
#include <cerrno>
#include <functional>

namespace {

struct SentMessage
{
    quint16 port = 0;
    bool grouped = false; // carried the segment size
    QList<QByteArray> records;
};

// Refuses the messages `refuses` picks, `refusals` times in all, with
// `error`, and records what went out.
class ScriptedTransport : public SendBatch::Transport
{
public:
    int sendMany(mmsghdr *messages, unsigned count) override
    {
        ++calls;
        for (unsigned i = 0; i < count; ++i) {
            const msghdr &header = messages[i].msg_hdr;
            SentMessage message;
            message.port = static_cast<const sockaddr_in6 *>(header.msg_name)->sin6_port;
            message.grouped = header.msg_controllen > 0;
            for (size_t part = 0; part < header.msg_iovlen; ++part)
                message.records.append(QByteArray(static_cast<const char *>(header.msg_iov[part].iov_base),
                                                  qsizetype(header.msg_iov[part].iov_len)));
            if (refusals > 0 && refuses(message)) {
                if (i > 0)
                    return int(i); // as sendmmsg: what went, the error on the next call
                --refusals;
                errno = error;
                return -1;
            }
            sent.append(message);
        }
        return int(count);
    }
    void waitForRoom(int) override { ++waits; }

    std::function<bool(const SentMessage &)> refuses = [](const SentMessage &) { return true; };
    int refusals = 0;
    int error = 0;
    QList<SentMessage> sent;
    int waits = 0;
    int calls = 0;
};

// In the tables a record is a letter: its destination, capital when it is
// droppable flight data.
char destinationName(char record)
{
    return char(std::tolower(static_cast<unsigned char>(record)));
}

bool droppable(char record)
{
    return std::isupper(static_cast<unsigned char>(record)) != 0;
}

sockaddr_in6 destination(char name)
{
    sockaddr_in6 to {};
    to.sin6_family = AF_INET6;
    to.sin6_port = quint16(name);
    return to;
}

} // namespace

class tst_SendBatch : public QObject
{
    Q_OBJECT

private slots:
    void fullSendBuffer_data();
    void fullSendBuffer();
    void groupedPerDestination_data();
    void groupedPerDestination();
};

void tst_SendBatch::fullSendBuffer_data()
{
    QTest::addColumn<bool>("droppable");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("waits");

    QTest::newRow("flight data dropped at once") << true << EAGAIN << 1 << QByteArray("ac") << 0;
    QTest::newRow("control record waits for room") << false << EAGAIN << 3 << QByteArray("abc") << 3;
    QTest::newRow("no room within the wait") << false << ENOBUFS << 100 << QByteArray("ac") << 10;
    QTest::newRow("stale ICMP error sent again") << true << ECONNREFUSED << 1 << QByteArray("abc") << 0;
    QTest::newRow("unreachable given up") << false << ENETUNREACH << 1 << QByteArray("ac") << 0;
    QTest::newRow("socket gone") << false << EBADF << 1 << QByteArray("a") << 0;
}

// Three datagrams a, b, c, each sent on its own; b meets the refusals.
void tst_SendBatch::fullSendBuffer()
{
    QFETCH(bool, droppable);
    QFETCH(int, error);
    QFETCH(int, refusals);
    QFETCH(QByteArray, sent);
    QFETCH(int, waits);

    ScriptedTransport transport;
    transport.refusals = refusals;
    transport.error = error;
    transport.refuses = [](const SentMessage &message) { return message.records.first().startsWith('b'); };
    SendBatch batch(transport);
    QByteArray unsent;
    batch.setUnsentHandler([&](const char *data, qsizetype size, int errorNumber) {
        QCOMPARE(size, qsizetype(128));
        QCOMPARE(errorNumber, error);
        unsent.append(*data);
    });
    for (const char first : QByteArray("abc"))
        batch.add(destination(first), sizeof(sockaddr_in6), QByteArray(128, first).constData(), 128,
                  first == 'b' && droppable);

    const int lost = batch.flush();
    QByteArray firsts;
    for (const SentMessage &message : std::as_const(transport.sent))
        firsts.append(message.records.first().front());
    QCOMPARE(firsts, sent);
    QCOMPARE(transport.waits, waits);
    QCOMPARE(lost, 3 - sent.size());
    QCOMPARE(unsent.size(), lost);
    QVERIFY(batch.isEmpty());
}

void tst_SendBatch::groupedPerDestination_data()
{
    QTest::addColumn<int>("segments");
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<char>("refused"); // the messages refused: 'g' grouped ones, '*' any, else to that destination
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<int>("messages"); // sent
    QTest::addColumn<int>("droppedFlightData");
    QTest::addColumn<int>("unsentOthers");
    QTest::addColumn<int>("waits");
    QTest::addColumn<int>("segmentsAfter");

    const QByteArray interleaved = QByteArray("xyz").repeated(200);
    QTest::newRow("interleaved, 128 a message") << 128 << interleaved << '*' << 0 << 0 << 6 << 0 << 0 << 0 << 128;
    QTest::newRow("interleaved, 64 a message") << 64 << interleaved << '*' << 0 << 0 << 12 << 0 << 0 << 0 << 64;
    QTest::newRow("no grouping") << 1 << interleaved << '*' << 0 << 0 << 600 << 0 << 0 << 0 << 1;
    QTest::newRow("kinds apart") << 64 << QByteArray("xXXyxxX") << '*' << 0 << 0 << 5 << 0 << 0 << 0 << 64;
    QTest::newRow("grouping refused") << 64 << QByteArray("xxXXyy") << 'g' << EINVAL << 1000 << 6 << 0 << 0 << 0 << 1;
    QTest::newRow("device cannot segment") << 64 << QByteArray("xxxxy") << 'g' << EIO << 1000 << 5 << 0 << 0 << 0 << 1;
    QTest::newRow("destination refused") << 64 << QByteArray("xxxyy") << 'x' << EINVAL << 1000 << 2 << 0 << 3 << 0 << 64;
    QTest::newRow("full: control waits") << 64 << QByteArray("XXxxXX") << '*' << EAGAIN << 3 << 2 << 2 << 0 << 2 << 64;
    QTest::newRow("full past the wait") << 64 << QByteArray("XXxxXX") << '*' << ENOBUFS << 100 << 0 << 4 << 2 << 10 << 64;
    QTest::newRow("full after a partial send") << 2 << QByteArray("XXxxYYyy") << 'y' << EAGAIN << 2 << 3 << 2 << 0 << 1 << 2;
}

// Each record carries its number; every destination must receive its
// records in the order given, each exactly once or reported unsent.
void tst_SendBatch::groupedPerDestination()
{
    QFETCH(int, segments);
    QFETCH(QByteArray, records);
    QFETCH(char, refused);
    QFETCH(int, error);
    QFETCH(int, refusals);
    QFETCH(int, messages);
    QFETCH(int, droppedFlightData);
    QFETCH(int, unsentOthers);
    QFETCH(int, waits);
    QFETCH(int, segmentsAfter);

    ScriptedTransport transport;
    transport.refusals = refusals;
    transport.error = error;
    transport.refuses = [refused](const SentMessage &message) {
        return refused == '*' || (refused == 'g' ? message.grouped : message.port == quint16(refused));
    };
    SendBatch batch(transport);
    batch.setSegmentLimit(segments);
    int notices = 0;
    batch.setGroupingRefusedHandler([&](int) { ++notices; });
    QHash<int, bool> unsent;
    batch.setUnsentHandler([&](const char *data, qsizetype, int) {
        unsent.insert(QByteArray(data, 8).trimmed().toInt(), true);
    });
    for (int i = 0; i < records.size(); ++i) {
        const QByteArray record = QByteArray::number(i).leftJustified(128, ' ');
        batch.add(destination(destinationName(records[i])), sizeof(sockaddr_in6), record.constData(), 128,
                  droppable(records[i]));
    }
    const int lost = batch.flush();
    QCOMPARE(lost, unsent.size());

    QCOMPARE(transport.sent.size(), messages);
    QHash<char, QList<int>> received;
    for (const SentMessage &message : std::as_const(transport.sent)) {
        QVERIFY(message.records.size() <= segments);
        QCOMPARE(message.grouped, message.records.size() > 1);
        for (const QByteArray &record : message.records)
            received[char(message.port)].append(record.trimmed().toInt());
    }
    for (const char name : QByteArray("xyz")) {
        QList<int> expected;
        for (int i = 0; i < records.size(); ++i) {
            if (destinationName(records[i]) == name && !unsent.contains(i))
                expected.append(i);
        }
        QCOMPARE(received.value(name), expected);
    }
    int droppedCount = 0;
    for (auto it = unsent.cbegin(); it != unsent.cend(); ++it)
        droppedCount += droppable(records[it.key()]) ? 1 : 0;
    QCOMPARE(droppedCount, droppedFlightData);
    QCOMPARE(unsent.size() - droppedCount, unsentOthers);
    QCOMPARE(transport.waits, waits);
    QCOMPARE(batch.segmentLimit(), segmentsAfter);
    QCOMPARE(notices, segmentsAfter < segments ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_SendBatch)
#include "tst_sendbatch.moc"
