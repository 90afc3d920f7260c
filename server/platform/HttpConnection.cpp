#include "HttpConnection.h"

#include <QPointer>
#include <QTcpSocket>

#include <sys/socket.h>

HttpConnection::HttpConnection(QTcpSocket *socket, Answerer answerer, std::shared_ptr<HttpRefusals> refusals,
                               QObject *parent)
    : QObject(parent), m_socket(socket), m_answerer(std::move(answerer)), m_refusals(std::move(refusals))
{
    m_socket->setParent(this);
    // Qt reads no further from the system than this until it is taken, so a
    // client that sends without end fills the kernel's buffer, not ours.
    m_socket->setReadBufferSize(HttpRequestReader::MaxHeadBytes);
    m_idle.setSingleShot(true);
    m_lifetime.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &HttpConnection::end);
    connect(&m_lifetime, &QTimer::timeout, this, &HttpConnection::end);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_finishing && !m_sendingShut && m_socket->bytesToWrite() == 0)
            shutDownSending();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    m_idle.start(IdleTimeoutMs);
    m_lifetime.start(LifetimeMs);
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::onReadyRead()
{
    m_idle.start(IdleTimeoutMs);
    if (m_finishing)
        drain();
    else
        scheduleTurn();
}

// False when the connection was cut for sending too much.
bool HttpConnection::drain()
{
    if (m_socket->isReadable())
        m_drained += m_socket->skip(m_socket->bytesAvailable());
    if (m_drained <= MaxDrainedBytes)
        return true;
    end();
    return false;
}

// A queued call runs in the next pass over posted events, not in this one:
// between two requests of a connection the relay's socket is looked at.
// Never answered from readyRead itself: an answerer that deleted the
// socket there would pull it from under Qt's own signal emission.
void HttpConnection::scheduleTurn()
{
    if (m_turnScheduled || m_finishing)
        return;
    m_turnScheduled = true;
    QMetaObject::invokeMethod(this, &HttpConnection::serveOne, Qt::QueuedConnection);
}

void HttpConnection::serveOne()
{
    m_turnScheduled = false;
    if (m_finishing || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_socket->bytesToWrite() > MaxUnsentBytes) {
        ++m_refusals->unread;
        end();
        return;
    }
    m_reader.append(m_socket->read(m_reader.room()));
    const std::optional<HttpRequest> request = m_reader.take();
    if (!request)
        return; // the rest of it comes with the next readyRead
    if (request->refusal != 0)
        ++m_refusals->malformed;
    // The answerer may run the event loop and delete this connection, and
    // m_answerer with it.
    const QPointer<HttpConnection> alive(this);
    const Answerer answerer = m_answerer;
    const HttpAnswer answer = answerer(*request);
    if (!alive || m_socket->state() != QAbstractSocket::ConnectedState)
        return; // the client went: the answer is dropped, and so is the connection
    if (answer.head.isEmpty()) {
        end();
        return;
    }
    m_socket->write(answer.head);
    if (!answer.body.isEmpty())
        m_socket->write(answer.body);
    if (!request->keepAlive)
        finish();
    else if (m_reader.holdsBytes() || m_socket->bytesAvailable() > 0)
        scheduleTurn();
}

// Closing at once would reset the connection while the client may still be
// sending (a body, more requests): its system could then throw the answer
// away unread. So sending stops once the answer is out, and what arrives is
// dropped until the client closes, goes quiet, or sends too much.
void HttpConnection::finish()
{
    m_finishing = true;
    m_idle.start(IdleTimeoutMs);
    if (drain() && m_socket->bytesToWrite() == 0)
        shutDownSending();
}

void HttpConnection::shutDownSending()
{
    m_sendingShut = true;
    ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
}

void HttpConnection::end()
{
    m_socket->abort();
    deleteLater();
}
