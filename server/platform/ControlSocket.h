#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

// The server's local control socket: an abstract Unix-domain socket (no
// file, freed by the kernel with the process) on which operator tools ask
// for the status or remove a player.
//
// A request is one line of text, at most MaxRequestBytes long, ended by a
// newline; the answer is one line of JSON, after which the connection is
// closed. Only a peer running as the server's own user or as root is
// answered, as the kernel reports the peer's credentials (SO_PEERCRED);
// anyone else gets a refusal and is never handed to the request handler.
// A peer that sends no full line within RequestTimeoutMs is cut off, and at
// most MaxConnections peers are served at once, so a stuck client never
// holds up the server.
class ControlSocket : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRequestBytes = 256;
    static constexpr int RequestTimeoutMs = 5000;
    static constexpr int MaxConnections = 8;

    // Takes one request line (without its newline) and returns the answer.
    using Handler = std::function<QByteArray(const QByteArray &request)>;

    explicit ControlSocket(QObject *parent = nullptr);
    ~ControlSocket() override;

    // The control socket's name for the server that holds the
    // single-instance name `instanceName`: each server has its own.
    static QString nameFor(const QString &instanceName);

    // Starts listening under `name`. False, with the reason in errorText(),
    // when the name is taken or the system refuses.
    bool listen(const QString &name, Handler handler);
    QString errorText() const { return m_errorText; }

    // The refusal an unauthorised peer receives, as a JSON line.
    static QByteArray refusal(uint peerUid);

private:
    void acceptPending();
    void serve(QLocalSocket *socket);
    static bool peerAllowed(QLocalSocket *socket, uint *peerUid);

    QLocalServer *m_server = nullptr;
    Handler m_handler;
    QString m_errorText;
    int m_connections = 0;
};
