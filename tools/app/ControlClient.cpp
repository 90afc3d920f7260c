#include "ControlClient.h"

#include "RuntimeDirectory.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

namespace ControlClient {
namespace {

// The control socket of `instance`: in the first trusted directory that
// has one, with that directory's owner. Empty when there is none.
QString findSocket(const QString &instance, uid_t *owner, QStringList *looked)
{
    for (const QString &directory : RuntimeDirectory::clientCandidates()) {
        const QString path = RuntimeDirectory::controlPath(directory, instance);
        looked->append(path);
        QString why;
        if (QFileInfo::exists(path) && RuntimeDirectory::isTrusted(directory, owner, &why))
            return path;
    }
    return QString();
}

bool answeredByServer(QLocalSocket &socket, uid_t owner, uid_t *peerUid)
{
    ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    *peerUid = credentials.uid;
    return credentials.uid == 0 || credentials.uid == owner;
}

// One line, read within the deadline and never beyond MaxAnswerBytes.
QByteArray readAnswer(QLocalSocket &socket, bool *tooLong)
{
    QByteArray answer;
    const QDeadlineTimer deadline(TimeoutMs);
    while (!answer.contains('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))
            && socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        answer += socket.read(MaxAnswerBytes + 1 - answer.size());
        if (answer.size() > MaxAnswerBytes) {
            *tooLong = true;
            return QByteArray();
        }
    }
    return answer.left(answer.indexOf('\n'));
}

} // namespace

Reply ask(const QByteArray &request)
{
    Reply reply;
    const QString instance = RuntimeDirectory::instanceName();
    if (!RuntimeDirectory::isValidInstanceName(instance)) {
        reply.error = QStringLiteral("VENTORO_INSTANCE=\"%1\" is not a server's name (letters, digits, \".\", \"_\" "
                                     "and \"-\" only)").arg(instance);
        return reply;
    }
    uid_t owner = 0;
    QStringList looked;
    const QString path = findSocket(instance, &owner, &looked);
    if (path.isEmpty()) {
        reply.noServer = true;
        reply.error = QStringLiteral("no Ventoro server is running on this machine under the name \"%1\" (looked for "
                                     "%2). Start it, or set VENTORO_INSTANCE to the name it was started with.")
                          .arg(instance, looked.join(QStringLiteral(", ")));
        return reply;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(TimeoutMs)) {
        if (socket.error() == QLocalSocket::SocketAccessError)
            reply.error = QStringLiteral("refused: user %1 may not control this server (%2 is not open to it); only "
                                         "its own user and root may")
                              .arg(uint(::geteuid()))
                              .arg(path);
        else
            reply.error = QStringLiteral("no Ventoro server answers at %1 (%2)").arg(path, socket.errorString());
        // A socket file left behind by a server that ended.
        reply.noServer = socket.error() == QLocalSocket::ConnectionRefusedError;
        return reply;
    }
    uid_t peerUid = 0;
    if (!answeredByServer(socket, owner, &peerUid)) {
        reply.error = QStringLiteral("%1 is held by user %2, not by the server's user or root; its answer is not "
                                     "taken").arg(path).arg(uint(peerUid));
        return reply;
    }
    socket.write(request + '\n');
    bool tooLong = false;
    const QJsonDocument document = QJsonDocument::fromJson(readAnswer(socket, &tooLong));
    if (!document.isObject()) {
        reply.error = tooLong ? QStringLiteral("the server's answer is longer than %1 bytes").arg(MaxAnswerBytes)
                              : QStringLiteral("the server did not answer within %1 s, or its answer could not be read")
                                    .arg(TimeoutMs / 1000);
        return reply;
    }
    reply.reached = true;
    reply.answer = document.object();
    return reply;
}

} // namespace ControlClient
