#include "HttpListener.h"

#include "SocketAddress.h"

#include <QTcpSocket>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
                     "Content-Length: 29\r\nRetry-After: 5\r\nConnection: close\r\n\r\n"
                     "Too many connections; retry.\n";

void refuseBusy(int descriptor)
{
    // One small write that the kernel takes whole or not at all; never waits.
    [[maybe_unused]] const ssize_t sent = ::send(descriptor, kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(descriptor);
}

std::optional<Endpoint> clientOf(int descriptor)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return std::nullopt;
    const std::optional<Endpoint> peer = SocketAddress::toEndpoint(reinterpret_cast<const sockaddr *>(&address), length);
    return peer ? std::optional<Endpoint>(peer->throttleUnit()) : std::nullopt;
}

} // namespace

bool HttpListener::Slots::take(const Endpoint &client)
{
    int &held = byClient[client];
    if (total >= MaxConnections || held >= MaxConnectionsPerClient) {
        if (held == 0)
            byClient.remove(client);
        return false;
    }
    ++held;
    ++total;
    return true;
}

void HttpListener::Slots::giveBack(const Endpoint &client)
{
    --total;
    if (--byClient[client] <= 0)
        byClient.remove(client);
}

HttpListener::HttpListener(HttpConnection::Answerer answerer, QObject *parent)
    : QTcpServer(parent), m_answerer(std::move(answerer))
{
    setListenBacklogSize(MaxConnections);
}

void HttpListener::incomingConnection(qintptr descriptor)
{
    const std::optional<Endpoint> client = clientOf(int(descriptor));
    if (!client || !m_slots->take(*client)) {
        ++m_refusals->turnedAway;
        refuseBusy(int(descriptor));
        return;
    }
    auto *socket = new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        m_slots->giveBack(*client);
        delete socket;
        ::close(int(descriptor));
        return;
    }
    auto *connection = new HttpConnection(socket, m_answerer, m_refusals, this);
    // Without a receiver: it runs however late the connection goes, and the
    // slots outlive the listener as long as a connection needs them.
    connect(connection, &QObject::destroyed, [table = m_slots, key = *client] { table->giveBack(key); });
}
