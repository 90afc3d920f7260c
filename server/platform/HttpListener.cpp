#include "HttpListener.h"

#include <QTcpSocket>
#include <QTimer>

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

QTimer *singleShot(QObject *parent, int intervalMs)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->start(intervalMs);
    return timer;
}

} // namespace

HttpListener::HttpListener(QObject *parent) : QTcpServer(parent)
{
    setListenBacklogSize(16);
}

void HttpListener::incomingConnection(qintptr descriptor)
{
    if (*m_connections >= MaxConnections) {
        refuseBusy(int(descriptor));
        return;
    }
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    socket->setReadBufferSize(MaxRequestBytes);
    watch(socket);
    addPendingConnection(socket);
}

// The watch hangs on timers of its own, the socket's children, which go
// with it: it holds whatever the HTTP layer does with the socket's signals.
void HttpListener::watch(QTcpSocket *socket)
{
    ++*m_connections;
    QTimer *idle = singleShot(socket, IdleTimeoutMs);
    QTimer *lifetime = singleShot(socket, LifetimeMs);
    connect(lifetime, &QObject::destroyed, [count = m_connections] { --*count; });
    const auto close = [socket] {
        socket->abort();
        socket->deleteLater();
    };
    connect(idle, &QTimer::timeout, socket, close);
    connect(lifetime, &QTimer::timeout, socket, close);
    // Connected before the HTTP layer's own slot, so it sees every request
    // before that is answered.
    connect(socket, &QTcpSocket::readyRead, idle, [socket, idle, close] {
        if (socket->bytesToWrite() > MaxUnsentBytes)
            close();
        else
            idle->start();
    });
}
