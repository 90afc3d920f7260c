#include "FreePort.h"
#include "LoopbackClient.h"
#include "SingleInstance.h"

#include <QTemporaryDir>
#include "UdpEndpoint.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int WaitMs = 10000;

// A datagram whose bytes tell where it belongs: its number, then filler.
QByteArray numbered(int number, int size)
{
    QByteArray bytes(size, char('a' + number % 26));
    const QByteArray tag = QByteArray::number(number) + ';';
    if (size >= tag.size())
        bytes.replace(0, tag.size(), tag);
    return bytes;
}

// Everything the wrapper announced, and how deeply its handlers nested.
struct ArrivalLog
{
    QList<qint64> sizes;
    int depth = 0;
    int maxDepth = 0;
};

QList<QByteArray> takeAll(UdpEndpoint &socket, QStringList *senders = nullptr)
{
    QList<QByteArray> taken;
    QByteArray bytes;
    Endpoint sender;
    int errorNumber = 0;
    QString errorText;
    while (socket.takeDatagram(&bytes, &sender, &errorNumber, &errorText)) {
        taken.append(bytes);
        if (senders)
            senders->append(sender.addressText());
    }
    return taken;
}

Endpoint loopback(quint8 host, quint16 port)
{
    return Endpoint::fromIpv4(0x7F000000u | host, port);
}

// Holds a datagram for `to` and sends it at once.
bool sendNow(UdpEndpoint &socket, const Endpoint &to, const QByteArray &bytes)
{
    const bool queued = socket.queueDatagram(to, bytes.constData(), bytes.size(), false);
    socket.flushSends();
    return queued;
}

bool readable(int descriptor)
{
    pollfd entry {descriptor, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

// The test binary doubles as a second copy: "--hold-instance PATH" holds
// the lock file and says "held", then waits for its stdin to close (bounded).
int holdInstance(const char *path)
{
    SingleInstance guard;
    if (!guard.tryAcquire(QString::fromUtf8(path)))
        return 2;
    if (::write(STDOUT_FILENO, "held\n", 5) != 5)
        return 3;
    pollfd input {STDIN_FILENO, POLLIN, 0};
    ::poll(&input, 1, 60000);
    return 0;
}

} // namespace

class tst_UdpEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void receivesWholeDatagram_data();
    void receivesWholeDatagram();
    void burstComesOutInOrder();
    void overflowDropsOldest_data();
    void overflowDropsOldest();
    void nestedEventLoopInHandler_data();
    void nestedEventLoopInHandler();
    void arrivalRaisedLater();
    void takenInWithoutTheEventLoop();
    void sendReachesClient();
    void groupedRecordsArriveOneByOne();
    void badDestinationFailsQuietly_data();
    void badDestinationFailsQuietly();
    void unreachablePeerIsNotClosed_data();
    void unreachablePeerIsNotClosed();
    void portInUseFailsBind_data();
    void portInUseFailsBind();
    void closeIsQuiet();
    void brokenDescriptorRaisesClosed();
    void singleInstanceInProcess();
    void singleInstanceFreedByKill();

private:
    static void bindOrFail(UdpEndpoint &socket);
};

void tst_UdpEndpoint::bindOrFail(UdpEndpoint &socket)
{
    QString error;
    QVERIFY2(socket.bind(0, &error), qPrintable(error));
    QVERIFY(socket.localPort() != 0);
}

void tst_UdpEndpoint::receivesWholeDatagram_data()
{
    QTest::addColumn<int>("size");

    QTest::newRow("record") << 128;
    QTest::newRow("short") << 100;
    QTest::newRow("empty") << 0;
    QTest::newRow("two records") << 256;
    QTest::newRow("largest IPv4") << 65507;
}

void tst_UdpEndpoint::receivesWholeDatagram()
{
    QFETCH(int, size);
    UdpEndpoint socket;
    bindOrFail(socket);
    QList<qint64> announced;
    connect(&socket, &UdpEndpoint::dataArrival, this, [&](qint64 bytes) { announced.append(bytes); });

    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    const QByteArray sent = numbered(7, size);
    QVERIFY(client.sendDatagram(sent, socket.localPort()));

    QTRY_COMPARE_WITH_TIMEOUT(announced.size(), 1, WaitMs);
    QCOMPARE(announced.first(), qint64(size));
    QVERIFY(socket.hasPendingDatagrams());

    QByteArray bytes;
    Endpoint taken;
    int errorNumber = -1;
    QString errorText;
    QVERIFY(socket.takeDatagram(&bytes, &taken, &errorNumber, &errorText));
    QCOMPARE(bytes, sent);
    QCOMPARE(taken.text(), QStringLiteral("127.0.0.2:%1").arg(client.port())); // never as ::ffff:127.0.0.2
    QCOMPARE(errorNumber, 0);
    QVERIFY(!socket.hasPendingDatagrams());
    QVERIFY(!socket.takeDatagram(&bytes, &taken, &errorNumber, &errorText));
    QVERIFY(errorNumber != 0);
    QVERIFY(!errorText.isEmpty());
}

// Mixed sizes from two senders, a zero-length datagram among them: none may
// stop the drain, none may be lost or reordered.
void tst_UdpEndpoint::burstComesOutInOrder()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    QList<qint64> announced;
    connect(&socket, &UdpEndpoint::dataArrival, this, [&](qint64 bytes) { announced.append(bytes); });

    LoopbackClient first, second;
    QVERIFY(first.bind(QStringLiteral("127.0.0.2"), 0));
    QVERIFY(second.bind(QStringLiteral("127.0.0.3"), 0));
    const int sizes[] = {128, 100, 0, 256, 1, 128};
    const int count = 300;
    QList<QByteArray> sent;
    QList<qint64> sentSizes;
    QStringList senders;
    for (int n = 0; n < count; ++n) {
        sent.append(numbered(n, sizes[n % 6]));
        sentSizes.append(sent.last().size());
        LoopbackClient &from = n % 2 ? second : first;
        senders.append(from.address());
        QVERIFY(from.sendDatagram(sent.last(), socket.localPort()));
    }

    QTRY_COMPARE_WITH_TIMEOUT(announced.size(), count, WaitMs);
    QCOMPARE(announced, sentSizes);
    QStringList receivedFrom;
    QCOMPARE(takeAll(socket, &receivedFrom), sent);
    QCOMPARE(receivedFrom, senders);
    QCOMPARE(socket.droppedDatagrams(), quint64(0));
}

void tst_UdpEndpoint::overflowDropsOldest_data()
{
    QTest::addColumn<int>("limit");
    QTest::newRow("limit 4") << 4;
    QTest::newRow("default limit") << int(UdpEndpoint::DefaultQueueLimit);
}

// Nobody reads the queue; the sender pauses often enough for the wrapper to
// drain the kernel's queue, so every drop is the wrapper's own.
void tst_UdpEndpoint::overflowDropsOldest()
{
    QFETCH(int, limit);
    UdpEndpoint socket;
    if (limit != UdpEndpoint::DefaultQueueLimit)
        socket.setQueueLimit(limit);
    bindOrFail(socket);
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    for (int n = 0; n < limit + 6; ++n) {
        QVERIFY(client.sendDatagram(numbered(n, 128), socket.localPort()));
        if (n % 32 == 31)
            QTRY_COMPARE_WITH_TIMEOUT(quint64(socket.pendingDatagramCount()) + socket.droppedDatagrams(), quint64(n + 1), WaitMs);
    }

    QTRY_COMPARE_WITH_TIMEOUT(socket.droppedDatagrams(), quint64(6), WaitMs);
    QCOMPARE(socket.pendingDatagramCount(), limit);
    const QList<QByteArray> all = takeAll(socket);
    QCOMPARE(all.size(), limit);
    QCOMPARE(all.first(), numbered(6, 128));
    QCOMPARE(all.last(), numbered(limit + 5, 128));
}

// The handler runs the event loop while its client keeps sending, as the
// server's senders do after every datagram. Every datagram must be queued
// and announced once, and handlers must never nest.
void tst_UdpEndpoint::nestedEventLoopInHandler_data()
{
    QTest::addColumn<bool>("handlerReads");

    QTest::newRow("handler leaves the queue") << false;
    QTest::newRow("handler reads the queue") << true;
}

void tst_UdpEndpoint::nestedEventLoopInHandler()
{
    QFETCH(bool, handlerReads);
    UdpEndpoint socket;
    bindOrFail(socket);
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));

    const int rounds = 200;
    int sent = 0;
    QList<QByteArray> expected;
    QList<QByteArray> read;
    ArrivalLog log;
    const auto send = [&] {
        expected.append(numbered(sent++, 128));
        return client.sendDatagram(expected.last(), socket.localPort());
    };
    connect(&socket, &UdpEndpoint::dataArrival, this, [&](qint64 bytes) {
        log.sizes.append(bytes);
        log.maxDepth = qMax(log.maxDepth, ++log.depth);
        if (handlerReads)
            read += takeAll(socket);
        if (sent < rounds * 2) {
            send();
            send();
        }
        for (int turn = 0; turn < 3; ++turn)
            QCoreApplication::processEvents();
        --log.depth;
    });

    QVERIFY(send());
    QTRY_COMPARE_WITH_TIMEOUT(log.sizes.size(), sent, WaitMs);
    QTest::qWait(50); // nothing more may be announced
    QCOMPARE(log.sizes.size(), sent);
    QCOMPARE(log.maxDepth, 1);
    read += takeAll(socket);
    QCOMPARE(read, expected);
}

void tst_UdpEndpoint::arrivalRaisedLater()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    QList<qint64> announced;
    connect(&socket, &UdpEndpoint::dataArrival, this, [&](qint64 bytes) { announced.append(bytes); });

    socket.raiseArrivalLater(256);
    QVERIFY(announced.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(announced, QList<qint64> {256}, WaitMs);
}

// What reached the socket is taken in on request, more than one batch of
// it, without running the event loop; it is announced from the loop. The
// kernel's clock then reads no earlier than those arrivals, and near them.
void tst_UdpEndpoint::takenInWithoutTheEventLoop()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    QList<qint64> announced;
    connect(&socket, &UdpEndpoint::dataArrival, this, [&](qint64 bytes) { announced.append(bytes); });
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    const int count = 40;
    for (int n = 0; n < count; ++n)
        QVERIFY(client.sendDatagram(numbered(n, 128), socket.localPort()));

    socket.takeInWaiting();
    QCOMPARE(socket.pendingDatagramCount(), count);
    QVERIFY(announced.isEmpty());
    const qint64 newest = socket.newestArrivalNs();
    QVERIFY(newest > 0);
    QVERIFY(socket.arrivalClockNowNs() >= newest);
    QVERIFY(socket.arrivalClockNowNs() - newest < 10'000'000'000);
    QTRY_COMPARE_WITH_TIMEOUT(announced.size(), count, WaitMs);
    QCOMPARE(takeAll(socket).size(), count);
}

// Every datagram leaves from the bound port.
void tst_UdpEndpoint::sendReachesClient()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.3"), 0));

    const QByteArray record = numbered(42, 128);
    QVERIFY(sendNow(socket, loopback(3, client.port()), record));
    const auto received = client.waitForDatagram(WaitMs);
    QVERIFY(received);
    QCOMPARE(received->bytes, record);
    QCOMPARE(received->senderPort, socket.localPort());
    QCOMPARE(QHostAddress(socket.localAddress()).protocol(), QAbstractSocket::IPv4Protocol);
}

// What one flush holds for a pilot goes out grouped where the system can:
// each pilot still receives every record as its own 128-byte datagram, in
// the order given, across more records than one grouped message holds.
void tst_UdpEndpoint::groupedRecordsArriveOneByOne()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    LoopbackClient clients[2];
    QVERIFY(clients[0].bind(QStringLiteral("127.0.0.3"), 0));
    QVERIFY(clients[1].bind(QStringLiteral("127.0.0.4"), 0));
    const int records = 2 * (SendBatch::MostSegments + 20);
    for (int n = 0; n < records; ++n) {
        LoopbackClient &to = clients[n % 2];
        QVERIFY(socket.queueDatagram(loopback(3 + n % 2, to.port()), numbered(n, 128).constData(), 128, n % 2 == 0));
    }
    socket.flushSends();
    for (int n = 0; n < records; ++n) {
        const auto received = clients[n % 2].waitForDatagram(WaitMs);
        QVERIFY(received);
        QCOMPARE(received->bytes, numbered(n, 128));
    }
}

void tst_UdpEndpoint::badDestinationFailsQuietly_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("zeroPort");

    QTest::newRow("too large for UDP") << 65508 << false;
    QTest::newRow("port 0") << 128 << true;
}

// A datagram the system refuses is reported as unsent; one refused before
// it is held is not held. Neither closes the socket or holds up the next.
void tst_UdpEndpoint::badDestinationFailsQuietly()
{
    QFETCH(int, size);
    QFETCH(bool, zeroPort);
    UdpEndpoint socket;
    bindOrFail(socket);
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    QList<int> unsent;
    socket.setUnsentHandler([&](const char *, qsizetype, int errorNumber) { unsent.append(errorNumber); });
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.3"), 0));

    const QByteArray bad(size, 'x');
    const bool held = socket.queueDatagram(loopback(3, zeroPort ? 0 : client.port()), bad.constData(), bad.size(), false);
    QCOMPARE(held, !zeroPort);
    QVERIFY(sendNow(socket, loopback(3, client.port()), QByteArray(128, 'y')));
    QCOMPARE(unsent, held ? QList<int>{EMSGSIZE} : QList<int>{});
    const auto received = client.waitForDatagram(WaitMs);
    QVERIFY(received);
    QCOMPARE(received->bytes, QByteArray(128, 'y'));
    QCOMPARE(closed.size(), 0);
}

// Sends to a port nobody listens on draw ICMP "port unreachable" replies.
// Linux keeps them from an unbound-peer socket unless asked (IP_RECVERR);
// asked, it reports them to later socket calls and keeps the socket
// readable until they are read. Neither way may close the socket, stop it
// receiving, or leave it readable with nothing to read.
void tst_UdpEndpoint::unreachablePeerIsNotClosed_data()
{
    QTest::addColumn<bool>("errorsReported");

    QTest::newRow("errors kept by the system") << false;
    QTest::newRow("errors reported to socket calls") << true;
}

void tst_UdpEndpoint::unreachablePeerIsNotClosed()
{
    QFETCH(bool, errorsReported);
    UdpEndpoint socket;
    bindOrFail(socket);
    if (errorsReported) {
        const int on = 1;
        QCOMPARE(::setsockopt(socket.socketDescriptor(), IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
        ::setsockopt(socket.socketDescriptor(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on); // where it is dual-stack
    }
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    QList<qint64> announced;
    connect(&socket, &UdpEndpoint::dataArrival, this, [&](qint64 bytes) { announced.append(bytes); });

    const Endpoint nobody = loopback(4, freeUdpPort(QStringLiteral("127.0.0.4")));
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    for (int n = 0; n < 5; ++n) {
        QVERIFY(sendNow(socket, nobody, numbered(n, 128)));
        QVERIFY(client.sendDatagram(numbered(n, 128), socket.localPort()));
        QTRY_COMPARE_WITH_TIMEOUT(announced.size(), n + 1, WaitMs);
    }
    QCOMPARE(takeAll(socket).size(), 5);
    QTRY_VERIFY_WITH_TIMEOUT(!readable(socket.socketDescriptor()), WaitMs);
    QCOMPARE(closed.size(), 0);
    QVERIFY(socket.isBound());
}

void tst_UdpEndpoint::portInUseFailsBind_data()
{
    QTest::addColumn<bool>("holderOnLoopback");

    QTest::newRow("held on 0.0.0.0") << false;
    QTest::newRow("held on 127.0.0.1") << true;
}

void tst_UdpEndpoint::portInUseFailsBind()
{
    QFETCH(bool, holderOnLoopback);
    UdpEndpoint holder;
    LoopbackClient loopbackHolder;
    quint16 port = 0;
    if (holderOnLoopback) {
        QVERIFY(loopbackHolder.bind(QStringLiteral("127.0.0.1"), 0));
        port = loopbackHolder.port();
    } else {
        bindOrFail(holder);
        port = holder.localPort();
    }

    UdpEndpoint socket;
    QString error;
    QVERIFY(!socket.bind(port, &error));
    QCOMPARE(error, qt_error_string(EADDRINUSE));
    QVERIFY(!socket.isBound());
}

void tst_UdpEndpoint::closeIsQuiet()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    QSignalSpy arrivals(&socket, &UdpEndpoint::dataArrival);
    socket.raiseArrivalLater(128);
    socket.close();
    socket.close();
    QTest::qWait(20);
    QCOMPARE(closed.size(), 0);
    QCOMPARE(arrivals.size(), 0);

    QByteArray bytes;
    Endpoint sender;
    int errorNumber = 0;
    QString errorText;
    QVERIFY(!socket.takeDatagram(&bytes, &sender, &errorNumber, &errorText));
    QVERIFY(errorNumber != 0);
    QVERIFY(!sendNow(socket, loopback(3, 9), QByteArray(128, 'x')));
}

// The descriptor replaced behind the wrapper's back: receiving can never
// work again, so the wrapper closes and says so, once.
void tst_UdpEndpoint::brokenDescriptorRaisesClosed()
{
    UdpEndpoint socket;
    bindOrFail(socket);
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    const int notASocket = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(notASocket >= 0);
    QVERIFY(::dup2(notASocket, socket.socketDescriptor()) >= 0);
    ::close(notASocket);

    QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, WaitMs);
    QVERIFY(!socket.isBound());
    QTest::qWait(20);
    QCOMPARE(closed.size(), 1);
}

void tst_UdpEndpoint::singleInstanceInProcess()
{
    QTemporaryDir runtime;
    const QString name = runtime.filePath(QStringLiteral("ventoro-test.lock"));
    SingleInstance first;
    SingleInstance second;
    QVERIFY(first.tryAcquire(name));
    QVERIFY(first.tryAcquire(name));
    QVERIFY(!second.tryAcquire(name));
    QVERIFY(second.errorText().isEmpty());
    first.release();
    QVERIFY(second.tryAcquire(name));
    QVERIFY(second.isHeld());
}

// The kernel gives the name back when its holder is killed outright.
void tst_UdpEndpoint::singleInstanceFreedByKill()
{
    QTemporaryDir runtime;
    const QString name = runtime.filePath(QStringLiteral("ventoro-test.lock"));
    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-instance"), name});
    QVERIFY(holder.waitForStarted(WaitMs));
    QVERIFY(holder.waitForReadyRead(WaitMs));
    QCOMPARE(holder.readAllStandardOutput(), QByteArray("held\n"));

    SingleInstance guard;
    QVERIFY(!guard.tryAcquire(name));
    holder.kill();
    QVERIFY(holder.waitForFinished(WaitMs));
    QVERIFY(guard.tryAcquire(name));
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--hold-instance") == 0)
        return holdInstance(argv[2]);
    QCoreApplication app(argc, argv);
    tst_UdpEndpoint test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_udpendpoint.moc"
