#include "ControlClient.h"

#include "ControlSocket.h"
#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QLocalSocket>

namespace ControlClient {

Reply ask(const QByteArray &request)
{
    Reply reply;
    const QString instance = SingleInstance::nameFromEnvironment();
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(ControlSocket::nameFor(instance));
    if (!socket.waitForConnected(TimeoutMs)) {
        reply.error = QStringLiteral("no Ventoro server is running on this machine under the name \"%1\" (%2). "
                                     "Start it, or set VENTORO_INSTANCE to the name it was started with.")
                          .arg(instance, socket.errorString());
        return reply;
    }
    socket.write(request + '\n');
    QByteArray answer;
    const QDeadlineTimer deadline(TimeoutMs);
    while (!answer.contains('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))
            && socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        answer += socket.readAll();
    }
    const QJsonDocument document = QJsonDocument::fromJson(answer.left(answer.indexOf('\n')));
    if (!document.isObject()) {
        reply.error = answer.isEmpty() ? QStringLiteral("the server did not answer within %1 s").arg(TimeoutMs / 1000)
                                       : QStringLiteral("the server's answer could not be read");
        return reply;
    }
    reply.reached = true;
    reply.answer = document.object();
    return reply;
}

} // namespace ControlClient
