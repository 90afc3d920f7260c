#include "UdpEndpoint.h"

#include "SocketAddress.h"

#include <QAbstractEventDispatcher>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Room for many bursts of small records; the system caps it at its own
// maximum (net.core.rmem_max).
constexpr int ReceiveBufferBytes = 4 * 1024 * 1024;

// Errors after which receiving can never work again. Anything else a
// receive reports (an ICMP error left by an earlier send, an unreachable
// network, short memory, a signal) concerns one datagram only.
bool receiveFailedForGood(int errorNumber)
{
    return SendBatch::descriptorGone(errorNumber) || errorNumber == EINVAL || errorNumber == EFAULT
        || errorNumber == EOPNOTSUPP;
}

// What a receive reports of an ICMP error that came back for an earlier send.
bool reportsAnEarlierSend(int errorNumber)
{
    return errorNumber == ECONNREFUSED || errorNumber == EHOSTUNREACH || errorNumber == ENETUNREACH
        || errorNumber == EHOSTDOWN || errorNumber == ENETDOWN || errorNumber == EPROTO || errorNumber == EMSGSIZE;
}

} // namespace

UdpEndpoint::UdpEndpoint(ArrivalQueue &arrivals, QObject *parent) : QObject(parent), m_arrivals(arrivals)
{
    m_sendBatch.setGroupingRefusedHandler([](int errorNumber) {
        qWarning("The system refuses grouped sends (%s): every datagram goes on its own from now on",
                 qPrintable(qt_error_string(errorNumber)));
    });
}

UdpEndpoint::~UdpEndpoint()
{
    close();
}

bool UdpEndpoint::bind(quint16 localPort, QString *errorText)
{
    const auto fail = [&](int errorNumber, const QString &text) {
        if (errorText)
            *errorText = text.isEmpty() ? qt_error_string(errorNumber) : text;
        return false;
    };
    if (m_fd >= 0)
        return fail(EINVAL, QStringLiteral("The socket is already bound"));

    // One socket for both families where the system has IPv6. The system's
    // default for taking IPv4 peers on it can be changed
    // (net.ipv6.bindv6only), so it is set here; where it cannot be, the
    // socket is IPv4 alone.
    int family = AF_INET6;
    int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int off = 0;
    if (fd >= 0 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        family = AF_INET;
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0)
        return fail(errno, QString());

    const bool toldFamily = configure(fd, family);
    const Endpoint any = family == AF_INET6 ? Endpoint().withPort(localPort) : Endpoint::fromIpv4(INADDR_ANY, localPort);
    sockaddr_in6 local {};
    const socklen_t localLength = SocketAddress::fromEndpoint(any, family, &local);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), localLength) != 0) {
        const int bindError = errno;
        ::close(fd);
        return fail(bindError, QString());
    }

    takeOver(fd, family, toldFamily);
    if (errorText)
        errorText->clear();
    return true;
}

bool UdpEndpoint::adopt(int fd, quint16 localPort, QString *why)
{
    const auto refuse = [why](const char *text) {
        if (why)
            *why = QString::fromLatin1(text);
        return false;
    };
    if (m_fd >= 0)
        return refuse("the socket is already bound");
    int type = 0;
    int protocol = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
        return refuse("it is no datagram socket");
    length = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != IPPROTO_UDP)
        return refuse("it is no UDP socket");
    sockaddr_in6 local {};
    length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return refuse("its address cannot be read");
    const int family = local.sin6_family;
    const std::optional<Endpoint> bound = SocketAddress::toEndpoint(reinterpret_cast<const sockaddr *>(&local), length);
    const Endpoint any = family == AF_INET6 ? Endpoint() : Endpoint::fromIpv4(INADDR_ANY);
    if (!bound || bound->withPort(0) != any || bound->port() != localPort)
        return refuse("it is bound to another address or port");
    int v6only = 1;
    length = sizeof v6only;
    if (family == AF_INET6 && (::getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &length) != 0 || v6only != 0))
        return refuse("it takes no IPv4 peers");
    // What an earlier run set may not hold for this one's way of working.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        return refuse("it cannot be made non-blocking");
    takeOver(fd, family, configure(fd, family));
    if (why)
        why->clear();
    return true;
}

bool UdpEndpoint::configure(int fd, int family)
{
    // Best effort: a smaller buffer only means drops under a heavier flood.
    const int wanted = ReceiveBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    // The kernel stamps each datagram with its arrival, in nanoseconds
    // where it can.
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    // On the dual-stack socket IPv4 packets then say so, which tells them
    // from IPv6 packets that only claim an IPv4-mapped source.
    return family == AF_INET6 && ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

void UdpEndpoint::takeOver(int fd, int family, bool toldFamily)
{
    m_fd = fd;
    m_family = family;
    m_toldFamily = toldFamily;
    m_dropped = 0;
    m_droppedMapped = 0;
    m_sendBatch.setSegmentLimit(m_transport.segmentLimit());
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdpEndpoint::socketReadable);
    // Held-back sends go out before the event loop waits for anything.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &UdpEndpoint::flushSends,
                Qt::UniqueConnection);
}

quint16 UdpEndpoint::localPort() const
{
    if (m_fd < 0)
        return 0;
    sockaddr_in6 local {};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    const std::optional<Endpoint> bound = SocketAddress::toEndpoint(reinterpret_cast<const sockaddr *>(&local), length);
    return bound ? bound->port() : 0;
}

QString UdpEndpoint::localAddress() const
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress address = entry.ip();
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
                return address.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

bool UdpEndpoint::queueDatagram(const Endpoint &to, const char *data, qsizetype size, Sender::WhenFull whenFull)
{
    if (m_fd < 0 || to.port() == 0)
        return false;
    sockaddr_in6 address {};
    const socklen_t length = SocketAddress::fromEndpoint(to, m_family, &address);
    if (length == 0)
        return false;
    if (m_sendBatch.isFull())
        flushSends();
    if (m_fd < 0)
        return false;
    m_sendBatch.add(address, length, data, size, whenFull);
    return true;
}

void UdpEndpoint::flushSends()
{
    if (!m_sendBatch.isEmpty() && m_sendBatch.flush() > 0)
        sendFailed(m_sendBatch.lastErrorNumber());
}

void UdpEndpoint::sendFailed(int errorNumber)
{
    if (SendBatch::descriptorGone(errorNumber) && m_fd >= 0) {
        // The closing is reported from the event loop, not from inside the
        // sender that ran into it.
        close();
        QMetaObject::invokeMethod(this, [this] { emit closed(); }, Qt::QueuedConnection);
    }
}

void UdpEndpoint::close()
{
    if (m_fd < 0)
        return;
    flushSends(); // what was accepted for sending still goes
    if (m_fd < 0)
        return;
    // This may run inside the notifier's own activation: switch it off now
    // and let the event loop delete it.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    ::close(m_fd);
    m_fd = -1;
}

void UdpEndpoint::socketReadable()
{
    const quint64 appendedBefore = m_arrivals.appended();
    if (!drainKernelQueue() || m_arrivals.appended() == appendedBefore)
        return;
    if (m_raising)
        m_raiseAgain = true; // a handler let the event loop run: after it returns
    else
        raiseArrivals();
}

// Raises dataArrival for what was queued, and again for what came while a
// handler ran the event loop, instead of nesting a call; so handlers never
// nest and the stack never grows with the traffic. What the handlers sent
// goes out together at the end, unless one of them closed the socket or let
// the wrapper go.
void UdpEndpoint::raiseArrivals()
{
    const QPointer<UdpEndpoint> alive(this);
    m_raising = true;
    do {
        m_raiseAgain = false;
        emit dataArrival();
        if (!alive)
            return;
    } while (m_raiseAgain && m_fd >= 0);
    m_raising = false;
    flushSends();
}

// Reads until the kernel queue is empty, or until one queue's worth has been
// read in this round: a flood then still hands the event loop back, and the
// notifier, which stays readable, brings the rest. False when the socket
// failed for good.
bool UdpEndpoint::drainKernelQueue()
{
    for (int taken = 0; taken < m_arrivals.limit() && m_fd >= 0;) {
        const int received = receiveBatch();
        if (received > 0) {
            taken += received;
            // A short batch took the last of them: what comes later makes
            // the socket readable again.
            if (received < ReceiveBatch::Size)
                return true;
            continue;
        }
        const int receiveError = errno;
        if (receiveError == EAGAIN || receiveError == EWOULDBLOCK) {
            // Readable with nothing to read: an error queue keeps it so.
            if (taken == 0)
                discardErrorQueue();
            return true;
        }
        if (receiveFailedForGood(receiveError)) {
            failForGood();
            return false;
        }
        // An error reported for an earlier datagram is consumed by the
        // call that reports it; the queue behind it is still there. One
        // that says nothing about the socket (a pilot gone away, a network
        // unreachable: ICMP for an earlier send) is no failure of the read.
        if (!reportsAnEarlierSend(receiveError) && receiveError != EINTR)
            m_arrivals.pushReadFailure(receiveError);
        ++taken;
    }
    return true;
}

// Moves up to one batch of datagrams from the kernel into the arrival
// queue. The number read; -1 with errno when none could be.
int UdpEndpoint::receiveBatch()
{
    const int count = m_receiveBatch.receive(m_fd);
    for (int i = 0; i < count; ++i) {
        const ReceiveBatch::Datagram datagram = m_receiveBatch.datagram(i);
        const std::optional<Endpoint> sender = SocketAddress::toEndpoint(datagram.sender, datagram.senderLength);
        if (!sender) {
            ++m_dropped; // from nowhere to answer
            continue;
        }
        if (m_toldFamily && sender->isIpv4() && !datagram.cameAsIpv4) {
            ++m_dropped;
            ++m_droppedMapped;
            continue;
        }
        m_arrivals.push(datagram.data, datagram.size, *sender, datagram.arrivalNs);
    }
    return count;
}

// Where the system keeps ICMP errors in a per-socket queue (IP_RECVERR),
// the socket stays readable until that queue is read: without this a
// departed pilot would keep the notifier firing for ever.
void UdpEndpoint::discardErrorQueue()
{
    for (int round = 0; round < m_arrivals.limit(); ++round) {
        iovec part {m_receiveBatch.scratch(), ReceiveBatch::ScratchBytes};
        msghdr message {};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (::recvmsg(m_fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0 && errno != EINTR)
            return;
    }
}

void UdpEndpoint::failForGood()
{
    close();
    emit closed();
}
