#include "ControlSocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray jsonLine(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void answerAndClose(QLocalSocket *socket, const QByteArray &answer)
{
    socket->write(answer.endsWith('\n') ? answer : answer + '\n');
    socket->disconnectFromServer();
}

} // namespace

ControlSocket::ControlSocket(QObject *parent) : QObject(parent) {}

// The connections go before the object whose count they keep.
ControlSocket::~ControlSocket()
{
    delete m_server;
}

QString ControlSocket::nameFor(const QString &instanceName)
{
    return instanceName + QStringLiteral(".control");
}

bool ControlSocket::listen(const QString &name, Handler handler)
{
    m_handler = std::move(handler);
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    m_server->setMaxPendingConnections(MaxConnections);
    connect(m_server, &QLocalServer::newConnection, this, &ControlSocket::acceptPending);
    if (!m_server->listen(name)) {
        m_errorText = m_server->errorString();
        return false;
    }
    return true;
}

QByteArray ControlSocket::refusal(uint peerUid)
{
    return jsonLine({{QStringLiteral("ok"), false},
                     {QStringLiteral("error"),
                      QStringLiteral("refused: user %1 may not control this server; only its own user (%2) "
                                     "and root may")
                          .arg(peerUid)
                          .arg(uint(::geteuid()))}});
}

bool ControlSocket::peerAllowed(QLocalSocket *socket, uint *peerUid)
{
    ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    *peerUid = credentials.uid;
    return credentials.uid == 0 || credentials.uid == ::geteuid();
}

void ControlSocket::acceptPending()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
        ++m_connections;
        uint peerUid = uint(-1);
        if (m_connections > MaxConnections) {
            answerAndClose(socket, jsonLine({{QStringLiteral("ok"), false},
                                             {QStringLiteral("error"), QStringLiteral("busy, try again")}}));
        } else if (!peerAllowed(socket, &peerUid)) {
            answerAndClose(socket, refusal(peerUid));
        } else {
            serve(socket);
        }
    }
}

// Reads one line; a request that is too long or too slow is turned away.
void ControlSocket::serve(QLocalSocket *socket)
{
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); socket->deleteLater(); });
    deadline->start(RequestTimeoutMs);
    auto readRequest = [this, socket, deadline] {
        if (!deadline->isActive())
            return; // answered already
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > MaxRequestBytes) {
                deadline->stop();
                answerAndClose(socket, jsonLine({{QStringLiteral("ok"), false},
                                                 {QStringLiteral("error"), QStringLiteral("request too long")}}));
            }
            return;
        }
        deadline->stop();
        const QByteArray request = socket->readLine(MaxRequestBytes + 1).trimmed();
        answerAndClose(socket, m_handler(request));
    };
    connect(socket, &QLocalSocket::readyRead, socket, readRequest);
    readRequest();
}
