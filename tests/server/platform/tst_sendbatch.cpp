// A full send buffer: what waits for room, what is given up at once, and
// that every datagram given up is reported, with the order kept.
#include "SendBatch.h"

#include <QtTest>

#include <cerrno>

namespace {

// Refuses the datagram that starts with a given byte, once per entry, and
// records what went out.
class ScriptedTransport : public SendBatch::Transport
{
public:
    int sendMany(mmsghdr *messages, unsigned count) override
    {
        for (unsigned i = 0; i < count; ++i) {
            const char first = *static_cast<const char *>(messages[i].msg_hdr.msg_iov->iov_base);
            if (!refusals.isEmpty() && refusals.first().first == first) {
                if (i > 0)
                    return int(i); // as sendmmsg: what went, the error on the next call
                errno = refusals.takeFirst().second;
                return -1;
            }
            sent.append(first);
        }
        return int(count);
    }
    void waitForRoom(int) override { ++waits; }

    QList<QPair<char, int>> refusals; // (datagram's first byte, error)
    QByteArray sent;
    int waits = 0;
};

} // namespace

class tst_SendBatch : public QObject
{
    Q_OBJECT

private slots:
    void fullSendBuffer_data();
    void fullSendBuffer();
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

// Three datagrams a, b, c; b meets the refusals.
void tst_SendBatch::fullSendBuffer()
{
    QFETCH(bool, droppable);
    QFETCH(int, error);
    QFETCH(int, refusals);
    QFETCH(QByteArray, sent);
    QFETCH(int, waits);

    ScriptedTransport transport;
    for (int i = 0; i < refusals; ++i)
        transport.refusals.append({'b', error});
    SendBatch batch(transport);
    QByteArray unsent;
    batch.setUnsentHandler([&](const char *data, qsizetype size, int errorNumber) {
        QCOMPARE(size, qsizetype(128));
        QCOMPARE(errorNumber, error);
        unsent.append(*data);
    });
    const sockaddr_in6 to {};
    for (const char first : QByteArray("abc"))
        batch.add(to, sizeof to, QByteArray(128, first).constData(), 128, first == 'b' && droppable);

    const int lost = batch.flush();
    QCOMPARE(transport.sent, sent);
    QCOMPARE(transport.waits, waits);
    QCOMPARE(lost, 3 - sent.size());
    QCOMPARE(unsent.size(), lost);
    QVERIFY(batch.isEmpty());
}

QTEST_GUILESS_MAIN(tst_SendBatch)
#include "tst_sendbatch.moc"
