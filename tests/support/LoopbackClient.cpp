#include "LoopbackClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// While waiting, hand the event loop a turn at least this often.
constexpr int EventLoopSliceMs = 5;

// A loopback address (127.0.0.0/8 or ::1) as a socket address of its own
// family; its length, 0 for anything else.
socklen_t loopbackAddress(const QString &text, quint16 port, sockaddr_in6 *storage)
{
    const QByteArray latin = text.toLatin1();
    if (latin.contains('\0'))
        return 0;
    sockaddr_in6 v6 {};
    if (::inet_pton(AF_INET6, latin.constData(), &v6.sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr))
            return 0;
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        *storage = v6;
        return sizeof v6;
    }
    sockaddr_in v4 {};
    if (::inet_pton(AF_INET, latin.constData(), &v4.sin_addr) != 1 || (ntohl(v4.sin_addr.s_addr) >> 24) != 127)
        return 0;
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    *storage = sockaddr_in6{};
    std::memcpy(storage, &v4, sizeof v4);
    return sizeof v4;
}

void runEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

} // namespace

LoopbackClient::~LoopbackClient()
{
    close();
}

bool LoopbackClient::bind(const QString &address, quint16 port, QString *errorText)
{
    const auto fail = [errorText](const QString &text) {
        if (errorText)
            *errorText = text;
        return false;
    };
    close();
    sockaddr_in6 local {};
    const socklen_t length = loopbackAddress(address, port, &local);
    if (length == 0)
        return fail(QStringLiteral("Not a loopback address: %1").arg(address));

    const int family = local.sin6_family;
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(qt_error_string(errno));
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), length) != 0) {
        const int bindError = errno;
        ::close(fd);
        return fail(qt_error_string(bindError));
    }
    m_fd = fd;
    m_family = family;
    m_address = address;
    return true;
}

quint16 LoopbackClient::port() const
{
    sockaddr_in6 local {};
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin6_port); // where sin_port is for IPv4
}

void LoopbackClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_address.clear();
}

bool LoopbackClient::sendDatagram(const QByteArray &bytes, quint16 port, const QString &host)
{
    sockaddr_in6 to {};
    const socklen_t length = loopbackAddress(host, port, &to);
    if (m_fd < 0 || port == 0 || length == 0 || to.sin6_family != m_family)
        return false;
    for (;;) {
        const ssize_t sent = ::sendto(m_fd, bytes.constData(), size_t(bytes.size()), 0,
                                      reinterpret_cast<const sockaddr *>(&to), length);
        if (sent >= 0)
            return true;
        if (errno != EINTR && errno != ECONNREFUSED)
            return false;
    }
}

bool LoopbackClient::sendRecord(const QByteArray &record, quint16 serverPort)
{
    if (record.size() > RecordSize)
        return false;
    QByteArray padded = record;
    padded.append(RecordSize - record.size(), '\0');
    return sendDatagram(padded, serverPort, m_family == AF_INET6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1"));
}

std::optional<LoopbackDatagram> LoopbackClient::waitForDatagram(int timeoutMs)
{
    QDeadlineTimer deadline(qMax(0, timeoutMs));
    for (;;) {
        runEvents();
        if (auto datagram = receiveNow())
            return datagram;
        if (m_fd < 0 || deadline.hasExpired())
            return std::nullopt;
        waitReadable(int(qMin<qint64>(deadline.remainingTime(), EventLoopSliceMs)));
    }
}

QList<LoopbackDatagram> LoopbackClient::collect(int windowMs)
{
    QList<LoopbackDatagram> received;
    QDeadlineTimer deadline(qMax(0, windowMs));
    for (;;) {
        runEvents();
        while (auto datagram = receiveNow())
            received.append(std::move(*datagram));
        if (m_fd < 0 || deadline.hasExpired())
            return received;
        waitReadable(int(qMin<qint64>(deadline.remainingTime(), EventLoopSliceMs)));
    }
}

int LoopbackClient::discardPending()
{
    int count = 0;
    while (receiveNow())
        ++count;
    return count;
}

std::optional<LoopbackDatagram> LoopbackClient::receiveNow()
{
    if (m_fd < 0)
        return std::nullopt;
    std::vector<char> buffer(65536);
    sockaddr_in6 from {};
    for (;;) {
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (received >= 0) {
            char text[INET6_ADDRSTRLEN] = {};
            sockaddr_in v4 {};
            std::memcpy(&v4, &from, sizeof v4);
            if (from.sin6_family == AF_INET6)
                ::inet_ntop(AF_INET6, &from.sin6_addr, text, sizeof text);
            else
                ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
            return LoopbackDatagram {QByteArray(buffer.data(), qsizetype(received)),
                                     QString::fromLatin1(text), ntohs(from.sin6_port)};
        }
        // An ICMP error from an earlier send is consumed by reporting it.
        if (errno != EINTR && errno != ECONNREFUSED)
            return std::nullopt;
    }
}

void LoopbackClient::waitReadable(int timeoutMs)
{
    pollfd entry {m_fd, POLLIN, 0};
    ::poll(&entry, 1, qMax(0, timeoutMs));
}
