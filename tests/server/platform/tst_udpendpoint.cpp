#include "FreePort.h"
#include "LoopbackClient.h"
#include "RuntimeDirectory.h"
#include "SingleInstance.h"

#include <QTemporaryDir>
#include "UdpEndpoint.h"

#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <arpa/inet.h>
#include <cstring>
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

// The records of everything queued, oldest first, as 128 bytes each.
QList<QByteArray> takeAll(ArrivalQueue &arrivals, QStringList *senders = nullptr)
{
    std::vector<Arrival> burst;
    arrivals.takeBurst(burst);
    QList<QByteArray> taken;
    for (const Arrival &arrival : burst) {
        taken.append(arrival.record.bytes());
        if (senders)
            senders->append(arrival.from.addressText());
    }
    return taken;
}

// What a datagram of this size leaves in the queue: its first record.
QByteArray asRecord(const QByteArray &datagram)
{
    return Packet::fromDatagram(datagram).bytes();
}

Endpoint loopback(quint8 host, quint16 port)
{
    return Endpoint::fromIpv4(0x7F000000u | host, port);
}

// Holds a datagram for `to` and sends it at once.
bool sendNow(UdpEndpoint &socket, const Endpoint &to, const QByteArray &bytes)
{
    const bool queued = socket.queueDatagram(to, bytes.constData(), bytes.size(), Sender::WhenFull::WaitForRoom);
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
    void keepsWholeRecordsOnly_data();
    void keepsWholeRecordsOnly();
    void burstComesOutInOrder();
    void overflowDropsOldest_data();
    void overflowDropsOldest();
    void nestedEventLoopInHandler_data();
    void nestedEventLoopInHandler();
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
    void squattedTmpNameTakesNothing();
    void mappedSourceOverIpv6IsDropped();

private:
    static void bindOrFail(UdpEndpoint &socket);
};

void tst_UdpEndpoint::bindOrFail(UdpEndpoint &socket)
{
    QString error;
    QVERIFY2(socket.bind(0, &error), qPrintable(error));
    QVERIFY(socket.localPort() != 0);
}

void tst_UdpEndpoint::keepsWholeRecordsOnly_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kept");

    QTest::newRow("record") << 128 << true;
    QTest::newRow("short") << 100 << false;
    QTest::newRow("empty") << 0 << true;
    QTest::newRow("two records") << 256 << true;
    QTest::newRow("largest IPv4") << 65507 << false;
    QTest::newRow("largest whole records") << 65408 << true;
}

// Only a datagram's first record is ever copied, with its sender and the
// kernel's receive time; one that holds no whole number of records is
// dropped as it comes, counted by the queue, and announces nothing.
void tst_UdpEndpoint::keepsWholeRecordsOnly()
{
    QFETCH(int, size);
    QFETCH(bool, kept);
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    int announced = 0;
    connect(&socket, &UdpEndpoint::dataArrival, this, [&] { ++announced; });

    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    const QByteArray sent = numbered(7, size);
    QVERIFY(client.sendDatagram(sent, socket.localPort()));
    QVERIFY(client.sendDatagram(numbered(8, 128), socket.localPort()));

    QTRY_COMPARE_WITH_TIMEOUT(quint64(arrivals.size()) + arrivals.oddSizedDropped(), quint64(2), WaitMs);
    QCOMPARE(arrivals.oddSizedDropped(), quint64(kept ? 0 : 1));
    QVERIFY(announced >= 1);
    std::vector<Arrival> burst;
    arrivals.takeBurst(burst);
    QCOMPARE(burst.size(), size_t(kept ? 2 : 1));
    QCOMPARE(burst.front().record.bytes(), asRecord(kept ? sent : numbered(8, 128)));
    QCOMPARE(burst.front().from.text(), QStringLiteral("127.0.0.2:%1").arg(client.port())); // never as ::ffff:127.0.0.2
    QVERIFY(burst.front().arrivalNs > 0);
    QCOMPARE(socket.droppedDatagrams(), quint64(0));
}

// Mixed sizes from two senders, a zero-length datagram among them: none may
// stop the drain, and of those kept none may be lost or reordered.
void tst_UdpEndpoint::burstComesOutInOrder()
{
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);

    LoopbackClient first, second;
    QVERIFY(first.bind(QStringLiteral("127.0.0.2"), 0));
    QVERIFY(second.bind(QStringLiteral("127.0.0.3"), 0));
    const int sizes[] = {128, 100, 0, 256, 1, 128};
    const int count = 300;
    QList<QByteArray> kept;
    QStringList senders;
    for (int n = 0; n < count; ++n) {
        const QByteArray datagram = numbered(n, sizes[n % 6]);
        LoopbackClient &from = n % 2 ? second : first;
        if (datagram.size() % 128 == 0) {
            kept.append(asRecord(datagram));
            senders.append(from.address());
        }
        QVERIFY(from.sendDatagram(datagram, socket.localPort()));
    }

    QTRY_COMPARE_WITH_TIMEOUT(arrivals.size(), int(kept.size()), WaitMs);
    QStringList receivedFrom;
    QCOMPARE(takeAll(arrivals, &receivedFrom), kept);
    QCOMPARE(receivedFrom, senders);
    QCOMPARE(arrivals.oddSizedDropped(), quint64(count - kept.size()));
    QCOMPARE(arrivals.overflowDropped() + socket.droppedDatagrams(), quint64(0));
}

void tst_UdpEndpoint::overflowDropsOldest_data()
{
    QTest::addColumn<int>("limit");
    QTest::newRow("limit 4") << 4;
    QTest::newRow("default limit") << int(ArrivalQueue::DefaultLimit);
}

// Nobody reads the queue; the sender pauses often enough for the wrapper to
// drain the kernel's queue, so every drop is the queue's own.
void tst_UdpEndpoint::overflowDropsOldest()
{
    QFETCH(int, limit);
    ArrivalQueue arrivals(limit);
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    for (int n = 0; n < limit + 6; ++n) {
        QVERIFY(client.sendDatagram(numbered(n, 128), socket.localPort()));
        if (n % 32 == 31)
            QTRY_COMPARE_WITH_TIMEOUT(quint64(arrivals.size()) + arrivals.overflowDropped(), quint64(n + 1), WaitMs);
    }

    QTRY_COMPARE_WITH_TIMEOUT(arrivals.overflowDropped(), quint64(6), WaitMs);
    QCOMPARE(arrivals.size(), limit);
    const QList<QByteArray> all = takeAll(arrivals);
    QCOMPARE(all.size(), limit);
    QCOMPARE(all.first(), numbered(6, 128));
    QCOMPARE(all.last(), numbered(limit + 5, 128));
}

// The handler runs the event loop while its client keeps sending, as the
// server's senders do after every datagram. Every datagram must be queued,
// what came during a handler announced after it returns, and handlers must
// never nest.
void tst_UdpEndpoint::nestedEventLoopInHandler_data()
{
    QTest::addColumn<bool>("handlerReads");

    QTest::newRow("handler leaves the queue") << false;
    QTest::newRow("handler reads the queue") << true;
}

void tst_UdpEndpoint::nestedEventLoopInHandler()
{
    QFETCH(bool, handlerReads);
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));

    const int rounds = 200;
    int sent = 0;
    QList<QByteArray> expected;
    QList<QByteArray> read;
    int depth = 0, maxDepth = 0, handled = 0;
    const auto send = [&] {
        expected.append(numbered(sent++, 128));
        return client.sendDatagram(expected.last(), socket.localPort());
    };
    connect(&socket, &UdpEndpoint::dataArrival, this, [&] {
        maxDepth = qMax(maxDepth, ++depth);
        if (handlerReads)
            read += takeAll(arrivals);
        if (sent < rounds * 2) {
            send();
            send();
        }
        for (int turn = 0; turn < 3; ++turn)
            QCoreApplication::processEvents();
        handled = int(read.size() + arrivals.size());
        --depth;
    });

    QVERIFY(send());
    QTRY_VERIFY_WITH_TIMEOUT(sent >= rounds * 2 && handled == sent, WaitMs);
    QTest::qWait(50);
    QCOMPARE(maxDepth, 1);
    read += takeAll(arrivals);
    QCOMPARE(read, expected);
}

// Every datagram leaves from the bound port.
void tst_UdpEndpoint::sendReachesClient()
{
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
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
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    LoopbackClient clients[2];
    QVERIFY(clients[0].bind(QStringLiteral("127.0.0.3"), 0));
    QVERIFY(clients[1].bind(QStringLiteral("127.0.0.4"), 0));
    const int records = 2 * (SendBatch::MostSegments + 20);
    for (int n = 0; n < records; ++n) {
        LoopbackClient &to = clients[n % 2];
        QVERIFY(socket.queueDatagram(loopback(3 + n % 2, to.port()), numbered(n, 128).constData(), 128,
                                     n % 2 == 0 ? Sender::WhenFull::Drop : Sender::WhenFull::WaitForRoom));
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
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    QList<int> unsent;
    socket.setUnsentHandler([&](const char *, qsizetype, int errorNumber) { unsent.append(errorNumber); });
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.3"), 0));

    const QByteArray bad(size, 'x');
    const bool held = socket.queueDatagram(loopback(3, zeroPort ? 0 : client.port()), bad.constData(), bad.size(), Sender::WhenFull::WaitForRoom);
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
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    if (errorsReported) {
        const int on = 1;
        QCOMPARE(::setsockopt(socket.socketDescriptor(), IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
        ::setsockopt(socket.socketDescriptor(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on); // where it is dual-stack
    }
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    const Endpoint nobody = loopback(4, freeUdpPort(QStringLiteral("127.0.0.4")));
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    for (int n = 0; n < 5; ++n) {
        QVERIFY(sendNow(socket, nobody, numbered(n, 128)));
        QVERIFY(client.sendDatagram(numbered(n, 128), socket.localPort()));
        QTRY_COMPARE_WITH_TIMEOUT(arrivals.size(), n + 1, WaitMs);
    }
    QCOMPARE(takeAll(arrivals).size(), 5);
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
    ArrivalQueue holderArrivals;
    UdpEndpoint holder(holderArrivals);
    LoopbackClient loopbackHolder;
    quint16 port = 0;
    if (holderOnLoopback) {
        QVERIFY(loopbackHolder.bind(QStringLiteral("127.0.0.1"), 0));
        port = loopbackHolder.port();
    } else {
        bindOrFail(holder);
        port = holder.localPort();
    }

    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    QString error;
    QVERIFY(!socket.bind(port, &error));
    QCOMPARE(error, qt_error_string(EADDRINUSE));
    QVERIFY(!socket.isBound());
}

void tst_UdpEndpoint::closeIsQuiet()
{
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    QSignalSpy closed(&socket, &UdpEndpoint::closed);
    QSignalSpy announced(&socket, &UdpEndpoint::dataArrival);
    LoopbackClient client;
    QVERIFY(client.bind(QStringLiteral("127.0.0.2"), 0));
    QVERIFY(client.sendDatagram(numbered(1, 128), socket.localPort()));
    socket.close();
    socket.close();
    QTest::qWait(20);
    QCOMPARE(closed.size(), 0);
    QCOMPARE(announced.size(), 0);
    QVERIFY(!sendNow(socket, loopback(3, 9), QByteArray(128, 'x')));
}

// The descriptor replaced behind the wrapper's back: receiving can never
// work again, so the wrapper closes and says so, once.
void tst_UdpEndpoint::brokenDescriptorRaisesClosed()
{
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
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

// An IPv6 datagram of `payload` from `source` to ::1 at `port`, as the wire
// carries it: the IPv6 header, then UDP with its checksum.
QByteArray ipv6Datagram(const in6_addr &source, quint16 port, const QByteArray &payload)
{
    QByteArray packet(40 + 8 + payload.size(), '\0');
    auto *bytes = reinterpret_cast<quint8 *>(packet.data());
    const quint16 udpLength = quint16(8 + payload.size());
    bytes[0] = 0x60;
    qToBigEndian(udpLength, bytes + 4);
    bytes[6] = IPPROTO_UDP;
    bytes[7] = 64;
    std::memcpy(bytes + 8, &source, 16);
    std::memcpy(bytes + 24, &in6addr_loopback, 16);
    qToBigEndian(quint16(40000), bytes + 40);
    qToBigEndian(port, bytes + 42);
    qToBigEndian(udpLength, bytes + 44);
    std::memcpy(bytes + 48, payload.constData(), size_t(payload.size()));
    quint32 sum = IPPROTO_UDP + udpLength; // the pseudo-header's length and next header
    for (int i = 8; i < 40; i += 2)
        sum += qFromBigEndian<quint16>(bytes + i);
    for (int i = 40; i < packet.size(); i += 2)
        sum += i + 1 < packet.size() ? qFromBigEndian<quint16>(bytes + i) : quint32(bytes[i]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    qToBigEndian(quint16(~sum), bytes + 46);
    return packet;
}

// "--runtime-directory UID", run as root: becomes UID, then prints where a
// server of that user would live, and the first place `ventoro` looks
// after the system's and the session's.
int printRuntimeDirectory(const char *uid)
{
    const uid_t user = uid_t(QByteArray(uid).toUInt());
    if (::setgid(user) != 0 || ::setuid(user) != 0)
        return 2;
    QString error;
    const QString chosen = RuntimeDirectory::prepareForServer(&error);
    const QStringList candidates = RuntimeDirectory::clientCandidates();
    std::printf("%s\n%s\n", qPrintable(chosen.isEmpty() ? error : chosen), qPrintable(candidates.join(QLatin1Char(' '))));
    return chosen.isEmpty() ? 1 : 0;
}

// Another user holds /tmp/ventoro-UID before a server of UID starts: the
// server makes a private directory beside it, uses it again on the next
// start, and `ventoro` of that user looks there.
void tst_UdpEndpoint::squattedTmpNameTakesNothing()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to act as two other users");
    const uid_t owner = 65530, squatter = 65531;
    const QString taken = QStringLiteral("/tmp/ventoro-%1").arg(owner);
    const auto cleanUp = [&] { QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("rm -rf ") + taken + QStringLiteral(" ") + taken + QStringLiteral("-*")}); };
    cleanUp();
    QVERIFY(QDir().mkdir(taken));
    QCOMPARE(::chown(QFile::encodeName(taken).constData(), squatter, squatter), 0);
    QStringList chosen;
    for (int start = 0; start < 2; ++start) {
        QProcess server;
        server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--runtime-directory"), QString::number(owner)});
        QVERIFY(server.waitForFinished(WaitMs));
        const QStringList lines = QString::fromLocal8Bit(server.readAllStandardOutput()).split(QLatin1Char('\n'));
        QCOMPARE(server.exitCode(), 0);
        chosen.append(lines.at(0));
        QVERIFY2(lines.at(1).split(QLatin1Char(' ')).contains(lines.at(0)), qPrintable(lines.at(1)));
    }
    cleanUp();
    QVERIFY2(chosen.at(0).startsWith(taken + QLatin1Char('-')), qPrintable(chosen.at(0)));
    QCOMPARE(chosen.at(1), chosen.at(0));
}

// A hand-written IPv6 packet whose source claims to be 127.0.0.5, beside a
// real IPv4 datagram from 127.0.0.5: only the real one is taken in.
void tst_UdpEndpoint::mappedSourceOverIpv6IsDropped()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to write an IPv6 header");
    ArrivalQueue arrivals;
    UdpEndpoint socket(arrivals);
    bindOrFail(socket);
    const int raw = ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (raw < 0)
        QSKIP("no raw IPv6 socket here");
    in6_addr mapped {};
    QCOMPARE(::inet_pton(AF_INET6, "::ffff:127.0.0.5", &mapped), 1);
    const QByteArray forged = ipv6Datagram(mapped, socket.localPort(), numbered(1, 128));
    sockaddr_in6 to {};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    const ssize_t written = ::sendto(raw, forged.constData(), size_t(forged.size()), 0,
                                     reinterpret_cast<const sockaddr *>(&to), sizeof to);
    ::close(raw);
    QCOMPARE(written, ssize_t(forged.size()));
    LoopbackClient real;
    QVERIFY(real.bind(QStringLiteral("127.0.0.5"), 0));
    QVERIFY(real.sendDatagram(numbered(2, 128), socket.localPort()));

    QTRY_COMPARE_WITH_TIMEOUT(arrivals.size(), 1, WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(socket.droppedMappedSources(), quint64(1), WaitMs);
    QCOMPARE(takeAll(arrivals), QList<QByteArray>{numbered(2, 128)});
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--hold-instance") == 0)
        return holdInstance(argv[2]);
    if (argc == 3 && qstrcmp(argv[1], "--runtime-directory") == 0)
        return printRuntimeDirectory(argv[2]);
    QCoreApplication app(argc, argv);
    tst_UdpEndpoint test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_udpendpoint.moc"
