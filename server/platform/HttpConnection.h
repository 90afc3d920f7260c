#pragma once

#include "HttpRequestReader.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QTcpSocket;

// An answer as it goes on the wire: status line and fields, then the body.
struct HttpAnswer {
    QByteArray head;
    QByteArray body;
};

// What the listener and its connections refused, for the operator's summary
// (HttpDocumentServer reports it once a minute at most).
struct HttpRefusals {
    qint64 turnedAway = 0; // connections over the limits, answered 503
    qint64 malformed = 0;  // requests refused with 400, 414, 431 or 505
    qint64 unread = 0;     // connections closed for leaving answers unread
};

// One accepted connection of the status page, which owns its socket and is
// deleted (later) when the socket closes or a limit ends it.
//
// It answers at most one request per turn of the event loop, in order: a
// client that pipelines a thousand requests gets one answer, then the relay
// and every other connection have their turn before the next. A request that
// does not keep the connection alive, or is refused, is the last one read:
// once its answer has gone the connection stops sending and drops whatever
// still arrives, for a while, so the client can read the answer before the
// connection closes.
//
// Closed: after IdleTimeoutMs without a byte from the client, LifetimeMs in
// all, or when more than MaxUnsentBytes of answers wait unread. The answerer
// may run the event loop; if it deletes this connection (or what owns it),
// nothing here is touched afterwards, and an answer for a client that has
// gone is dropped.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr int IdleTimeoutMs = 2000;
    static constexpr int LifetimeMs = 10000;
    static constexpr qint64 MaxUnsentBytes = 1 << 20;
    // Of what arrives after the last request, beyond which the connection is
    // cut at once.
    static constexpr qint64 MaxDrainedBytes = 64 << 10;

    using Answerer = std::function<HttpAnswer(const HttpRequest &)>;

    HttpConnection(QTcpSocket *socket, Answerer answerer, std::shared_ptr<HttpRefusals> refusals,
                   QObject *parent = nullptr);
    ~HttpConnection() override;

private:
    void onReadyRead();
    void scheduleTurn();
    void serveOne();
    void finish();
    bool drain();
    void shutDownSending();
    void end();

    QTcpSocket *m_socket;
    Answerer m_answerer;
    std::shared_ptr<HttpRefusals> m_refusals;
    HttpRequestReader m_reader;
    QTimer m_idle;
    QTimer m_lifetime;
    bool m_turnScheduled = false;
    bool m_finishing = false; // the last answer is written; nothing more is read
    bool m_sendingShut = false;
    qint64 m_drained = 0;
};
