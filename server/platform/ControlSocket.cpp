#include "ControlSocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

struct ControlSocket::Reply::State {
    QPointer<QLocalSocket> socket;
    bool answered = false;
};

void ControlSocket::Reply::operator()(const QByteArray &answer) const
{
    if (!m_state || m_state->answered)
        return;
    m_state->answered = true;
    if (QLocalSocket *socket = m_state->socket.data(); socket && socket->state() == QLocalSocket::ConnectedState)
        answerAndClose(socket, answer);
}

bool ControlSocket::Reply::clientWaiting() const
{
    return m_state && !m_state->answered && m_state->socket
        && m_state->socket->state() == QLocalSocket::ConnectedState;
}

ControlSocket::ControlSocket(QObject *parent) : QObject(parent) {}

// The connections go before the object whose count they keep.
ControlSocket::~ControlSocket()
{
    delete m_server;
    removeFile();
}

void ControlSocket::close()
{
    if (m_server)
        m_server->close();
    removeFile();
}

void ControlSocket::removeFile()
{
    if (!m_path.isEmpty())
        ::unlink(QFile::encodeName(m_path).constData());
    m_path.clear();
}

bool ControlSocket::listen(const QString &path, Handler handler)
{
    m_handler = std::move(handler);
    delete m_server;
    m_server = nullptr;
    removeFile();
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(native.size()) >= sizeof address.sun_path) {
        m_errorText = QStringLiteral("%1: the path is too long for a socket").arg(path);
        return false;
    }
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    struct stat existing {};
    if (::lstat(native.constData(), &existing) == 0 && S_ISSOCK(existing.st_mode))
        ::unlink(native.constData());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto fail = [&](int errorNumber) {
        m_errorText = QStringLiteral("%1: %2").arg(path, qt_error_string(errorNumber));
        if (fd >= 0)
            ::close(fd);
        return false;
    };
    if (fd < 0)
        return fail(errno);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail(errno);
    m_path = path;
    // Nobody can connect before listen(), so nobody gets in before the mode
    // is set.
    if (::chmod(native.constData(), 0600) != 0 || ::listen(fd, MaxConnections) != 0) {
        const int error = errno;
        removeFile();
        return fail(error);
    }
    m_server = new QLocalServer(this);
    m_server->setMaxPendingConnections(MaxConnections);
    connect(m_server, &QLocalServer::newConnection, this, &ControlSocket::acceptPending);
    if (!m_server->listen(qintptr(fd))) {
        m_errorText = m_server->errorString();
        removeFile();
        ::close(fd);
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
        const QByteArray line = socket->readLine(MaxRequestBytes + 2);
        if (line.size() > MaxRequestBytes + 1 || !line.endsWith('\n')) {
            answerAndClose(socket, jsonLine({{QStringLiteral("ok"), false},
                                             {QStringLiteral("error"), QStringLiteral("request too long")}}));
            return;
        }
        answerRequest(socket, line.trimmed());
    };
    connect(socket, &QLocalSocket::readyRead, socket, readRequest);
    readRequest();
}

// The handler may run the event loop: the connection, and this object with
// its handler, may be gone when it returns, so nothing here is touched
// after the call, and the handler runs from a copy of its own.
void ControlSocket::answerRequest(QLocalSocket *socket, const QByteArray &line)
{
    Reply reply;
    reply.m_state = std::make_shared<Reply::State>();
    reply.m_state->socket = socket;
    const Handler handler = m_handler;
    handler(line, reply);
}
