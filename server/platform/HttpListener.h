#pragma once

#include <QTcpServer>

#include <memory>

class QTcpSocket;

// The TCP listener behind the HTTP status page. It keeps what clients can
// take from the relay, which runs on the same thread, small and bounded:
// - at most MaxConnections at once; one more is answered "503" and closed
//   at once, without being read;
// - a connection holds at most MaxRequestBytes of unread request: the
//   socket reads no further until the HTTP layer has taken what it holds,
//   so a huge header or body stalls instead of growing a buffer;
// - a connection that sends nothing for IdleTimeoutMs, or that is older
//   than LifetimeMs (a client that trickles bytes), is closed;
// - one that leaves more than MaxUnsentBytes of answers unread is closed.
// Nothing here blocks: every read and write goes through the event loop.
// The accepted sockets are its children.
class HttpListener : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr int MaxConnections = 4;
    static constexpr qint64 MaxRequestBytes = 8192;
    static constexpr int IdleTimeoutMs = 2000;
    static constexpr int LifetimeMs = 10000;
    static constexpr qint64 MaxUnsentBytes = 1 << 20;

    explicit HttpListener(QObject *parent = nullptr);

    // Connections open now.
    int connections() const { return *m_connections; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void watch(QTcpSocket *socket);

    // Shared with each connection, which counts itself out when it goes,
    // whichever of the two goes first.
    std::shared_ptr<int> m_connections = std::make_shared<int>(0);
};
