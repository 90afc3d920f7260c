#pragma once

#include "Endpoint.h"
#include "HttpConnection.h"

#include <QHash>
#include <QTcpServer>

#include <memory>

// The TCP listener behind the HTTP status page. It keeps what clients can
// take from the relay, which runs on the same thread, small and bounded, and
// shares it fairly: at most MaxConnections at once, and at most
// MaxConnectionsPerClient from one client (an IPv4 address or an IPv6 /64,
// as the logon throttle counts them), so a few slow clients cannot hold
// every slot. A connection over either limit is answered "503" and closed at
// once, without being read. Each accepted one is an HttpConnection (its
// child), with that class's limits on request size, time and unread answers.
//
// Nothing here blocks or writes to stderr. The listener may be deleted at
// any time, even from inside an answerer: its connections go with it, and
// each gives its slot back whichever of the two goes first.
class HttpListener : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr int MaxConnections = 16;
    static constexpr int MaxConnectionsPerClient = 2;

    explicit HttpListener(HttpConnection::Answerer answerer, QObject *parent = nullptr);

    // Connections open now.
    int connections() const { return m_slots->total; }
    // Counted since the start; the owner may reset them.
    HttpRefusals &refusals() { return *m_refusals; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Slots {
        int total = 0;
        QHash<Endpoint, int> byClient;
        bool take(const Endpoint &client);
        void giveBack(const Endpoint &client);
    };

    HttpConnection::Answerer m_answerer;
    std::shared_ptr<Slots> m_slots = std::make_shared<Slots>();
    std::shared_ptr<HttpRefusals> m_refusals = std::make_shared<HttpRefusals>();
};
