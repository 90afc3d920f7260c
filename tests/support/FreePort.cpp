#include "FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Attempts = 64;

// Binds host:port for a moment; the port actually bound, or 0.
quint16 tryBind(const QString &host, quint16 port, int type = SOCK_DGRAM)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const QByteArray latin = host.toLatin1();
    if (latin.contains('\0') || ::inet_pton(AF_INET, latin.constData(), &address.sin_addr) != 1)
        return 0;
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    quint16 bound = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        bound = ntohs(address.sin_port);
    ::close(fd);
    return bound;
}

} // namespace

quint16 freeUdpPort(const QString &host)
{
    return tryBind(host, 0);
}

quint16 freeTcpPort(const QString &host)
{
    return tryBind(host, 0, SOCK_STREAM);
}

quint16 freeUdpPort(const QStringList &hosts)
{
    if (hosts.isEmpty())
        return 0;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const quint16 candidate = tryBind(hosts.first(), 0);
        if (candidate == 0)
            return 0;
        bool freeEverywhere = true;
        // One address at a time: a wildcard bind conflicts with our own
        // bind of a single address on the same port.
        for (const QString &host : hosts)
            freeEverywhere = freeEverywhere && tryBind(host, candidate) == candidate;
        if (freeEverywhere)
            return candidate;
    }
    return 0;
}

QStringList clientAddresses(int count)
{
    QStringList addresses;
    for (int n = 0; n < count; ++n)
        addresses.append(QStringLiteral("127.0.0.%1").arg(n + 2));
    return addresses;
}
