#include "LoopbackClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// While waiting, hand the event loop a turn at least this often.
constexpr int EventLoopSliceMs = 5;

bool loopbackAddress(const QString &text, in_addr *address)
{
    const QByteArray latin = text.toLatin1();
    if (latin.contains('\0') || ::inet_pton(AF_INET, latin.constData(), address) != 1)
        return false;
    return (ntohl(address->s_addr) >> 24) == 127;
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
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (!loopbackAddress(address, &local.sin_addr))
        return fail(QStringLiteral("Not a loopback address: %1").arg(address));

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(qt_error_string(errno));
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        const int bindError = errno;
        ::close(fd);
        return fail(qt_error_string(bindError));
    }
    m_fd = fd;
    m_address = address;
    return true;
}

quint16 LoopbackClient::port() const
{
    sockaddr_in local {};
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
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
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (m_fd < 0 || port == 0 || !loopbackAddress(host, &to.sin_addr))
        return false;
    for (;;) {
        const ssize_t sent = ::sendto(m_fd, bytes.constData(), size_t(bytes.size()), 0,
                                      reinterpret_cast<const sockaddr *>(&to), sizeof to);
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
    return sendDatagram(padded, serverPort);
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
    sockaddr_in from {};
    for (;;) {
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (received >= 0) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            return LoopbackDatagram {QByteArray(buffer.data(), qsizetype(received)),
                                     QString::fromLatin1(text), ntohs(from.sin_port)};
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
