// Held-back sends: each destination's records in order, grouped where the
// system takes it; a full send buffer treating each kind of record by its
// own rule; the fallback where grouped messages are refused.
#include "SendBatch.h"

#include <QtTest>

#include <cctype>
#include <cerrno>

namespace {

// In the tables a record is a letter or digit: its destination, a capital
// when it is droppable flight data, a digit when it is dropped first (an
// answer to a refused logon). Each record carries its number.
char destinationName(char record)
{
    return char(std::tolower(static_cast<unsigned char>(record)));
}

Sender::WhenFull whenFull(char record)
{
    if (std::isdigit(static_cast<unsigned char>(record)))
        return Sender::WhenFull::DropFirst;
    return std::isupper(static_cast<unsigned char>(record)) ? Sender::WhenFull::Drop : Sender::WhenFull::WaitForRoom;
}

bool droppable(char record)
{
    return whenFull(record) != Sender::WhenFull::WaitForRoom;
}

int numberOf(const void *record)
{
    return QByteArray(static_cast<const char *>(record), 8).trimmed().toInt();
}

// Refuses `refusals` messages in all with `error`: those to the destination
// `refused`, the grouped ones ('g') or any ('*'); 'h' refuses nothing but
// has the buffer half full. Records what went out.
class ScriptedTransport : public SendBatch::Transport
{
public:
    int sendMany(mmsghdr *messages, unsigned count) override
    {
        for (unsigned i = 0; i < count; ++i) {
            const msghdr &header = messages[i].msg_hdr;
            const char to = char(static_cast<const sockaddr_in6 *>(header.msg_name)->sin6_port);
            const bool grouped = header.msg_controllen > 0;
            if (refusals > 0 && (refused == '*' || refused == to || (refused == 'g' && grouped))) {
                if (i > 0)
                    return int(i); // as sendmmsg: what went, the error on the next call
                --refusals;
                errno = error;
                return -1;
            }
            ++sentMessages;
            largestMessage = qMax(largestMessage, int(header.msg_iovlen));
            wronglyMarked += grouped != (header.msg_iovlen > 1) ? 1 : 0;
            for (size_t part = 0; part < header.msg_iovlen; ++part)
                received[to].append(numberOf(header.msg_iov[part].iov_base));
        }
        return int(count);
    }
    int waitForRoom(int timeoutMs) override
    {
        ++waits;
        return timeoutMs;
    }
    bool hasRoomToSpare() override { return refused != 'h'; }

    char refused = '*';
    int error = 0;
    int refusals = 0;
    QHash<char, QList<int>> received;
    int sentMessages = 0;
    int largestMessage = 0;
    int wronglyMarked = 0;
    int waits = 0;
};

} // namespace

class tst_SendBatch : public QObject
{
    Q_OBJECT

private slots:
    void eachDestinationInOrder_data();
    void eachDestinationInOrder();
};

void tst_SendBatch::eachDestinationInOrder_data()
{
    QTest::addColumn<int>("segments");
    QTest::addColumn<QByteArray>("records");
    QTest::addColumn<char>("refused");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<int>("messages"); // sent
    QTest::addColumn<int>("dropped"); // flight data given up
    QTest::addColumn<int>("unsentOthers");
    QTest::addColumn<int>("waits");
    QTest::addColumn<int>("segmentsAfter");

    QTest::newRow("flight data dropped at once") << 1 << QByteArray("xYz") << 'y' << EAGAIN << 1 << 2 << 1 << 0 << 0 << 1;
    QTest::newRow("control record waits for room") << 1 << QByteArray("xyz") << 'y' << EAGAIN << 3 << 3 << 0 << 0 << 3 << 1;
    QTest::newRow("no room within the wait") << 1 << QByteArray("xyz") << 'y' << ENOBUFS << 100 << 2 << 0 << 1 << 50 << 1;
    QTest::newRow("stale ICMP error sent again") << 1 << QByteArray("xYz") << 'y' << ECONNREFUSED << 1 << 3 << 0 << 0 << 0 << 1;
    QTest::newRow("unreachable given up") << 1 << QByteArray("xyz") << 'y' << ENETUNREACH << 1 << 2 << 0 << 1 << 0 << 1;
    QTest::newRow("socket gone") << 1 << QByteArray("xyz") << 'y' << EBADF << 1 << 1 << 0 << 2 << 0 << 1;

    const QByteArray interleaved = QByteArray("xyz").repeated(200);
    QTest::newRow("interleaved, 128 a message") << 128 << interleaved << '*' << 0 << 0 << 6 << 0 << 0 << 0 << 128;
    QTest::newRow("interleaved, 64 a message") << 64 << interleaved << '*' << 0 << 0 << 12 << 0 << 0 << 0 << 64;
    QTest::newRow("kinds apart") << 64 << QByteArray("xXXyxxX") << '*' << 0 << 0 << 5 << 0 << 0 << 0 << 64;
    QTest::newRow("grouping refused") << 64 << QByteArray("xxXXyy") << 'g' << EINVAL << 1000 << 6 << 0 << 0 << 0 << 1;
    QTest::newRow("device cannot segment") << 64 << QByteArray("xxxxy") << 'g' << EIO << 1000 << 5 << 0 << 0 << 0 << 1;
    QTest::newRow("destination refused") << 64 << QByteArray("xxxyy") << 'x' << EINVAL << 1000 << 2 << 0 << 3 << 0 << 64;
    QTest::newRow("full: control waits") << 64 << QByteArray("XXxxXX") << '*' << EAGAIN << 3 << 2 << 2 << 0 << 2 << 64;
    QTest::newRow("full past the wait") << 64 << QByteArray("XXxxXX") << '*' << ENOBUFS << 100 << 0 << 4 << 2 << 50 << 64;
    QTest::newRow("full after a partial send") << 2 << QByteArray("XXxxYYyy") << 'y' << EAGAIN << 2 << 3 << 2 << 0 << 1 << 2;
    QTest::newRow("one wait for the whole flush") << 1 << QByteArray("xyzw") << '*' << ENOBUFS << 100 << 0 << 0 << 4 << 50 << 1;
    QTest::newRow("refusals while there is room") << 64 << QByteArray("x1y22") << '*' << 0 << 0 << 4 << 0 << 0 << 0 << 64;
    QTest::newRow("refusals dropped first") << 64 << QByteArray("x1y22X") << 'h' << ENOBUFS << 0 << 3 << 3 << 0 << 0 << 64;
    QTest::newRow("refusal meets a full buffer") << 1 << QByteArray("x1") << '1' << EAGAIN << 1 << 1 << 1 << 0 << 0 << 1;
}

// Every destination receives its records in the order given, each once or
// reported unsent with the system's error.
void tst_SendBatch::eachDestinationInOrder()
{
    QFETCH(int, segments);
    QFETCH(QByteArray, records);
    QFETCH(char, refused);
    QFETCH(int, error);
    QFETCH(int, refusals);
    QFETCH(int, messages);
    QFETCH(int, dropped);
    QFETCH(int, unsentOthers);
    QFETCH(int, waits);
    QFETCH(int, segmentsAfter);

    ScriptedTransport transport;
    transport.refused = refused;
    transport.error = error;
    transport.refusals = refusals;
    SendBatch batch(transport);
    batch.setSegmentLimit(segments);
    int notices = 0;
    batch.setGroupingRefusedHandler([&](int) { ++notices; });
    QSet<int> unsent;
    batch.setUnsentHandler([&](const char *data, qsizetype size, int errorNumber) {
        QCOMPARE(size, qsizetype(128));
        QCOMPARE(errorNumber, error);
        unsent.insert(numberOf(data));
    });
    for (int n = 0; n < records.size(); ++n) {
        sockaddr_in6 to {};
        to.sin6_family = AF_INET6;
        to.sin6_port = quint16(destinationName(records[n]));
        batch.add(to, sizeof to, QByteArray::number(n).leftJustified(128).constData(), 128, whenFull(records[n]));
    }
    const int lost = batch.flush();

    QCOMPARE(lost, unsent.size());
    QVERIFY(batch.isEmpty());
    QCOMPARE(transport.sentMessages, messages);
    QVERIFY(transport.largestMessage <= segments);
    QCOMPARE(transport.wronglyMarked, 0);
    QHash<char, QList<int>> expected;
    int droppedCount = 0;
    for (int n = 0; n < records.size(); ++n) {
        if (!unsent.contains(n))
            expected[destinationName(records[n])].append(n);
        else if (droppable(records[n]))
            ++droppedCount;
    }
    QCOMPARE(transport.received, expected);
    QCOMPARE(droppedCount, dropped);
    QCOMPARE(unsent.size() - droppedCount, unsentOthers);
    QCOMPARE(transport.waits, waits);
    QCOMPARE(batch.segmentLimit(), segmentsAfter);
    QCOMPARE(notices, segmentsAfter < segments ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_SendBatch)
#include "tst_sendbatch.moc"
