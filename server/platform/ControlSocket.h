#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

// The server's local control socket, on which operator tools ask for the
// status, remove a player or have the server reload: a Unix-domain socket file in the server's
// runtime directory (see RuntimeDirectory), which only its own user can
// write. The file is readable and writable by its owner only, so nobody
// else can even connect; root can.
//
// A request is one line of text, at most MaxRequestBytes long, ended by a
// newline; a longer one is refused, never cut. The answer is one line of
// JSON, after which the connection is closed. The handler may answer at
// once or later, and may let the event loop run meanwhile (a request that
// removes players sends, and every send yields): the connection can go
// while it works, and even this object can be closed. The request still
// completes; its answer is then dropped. Only a peer running as the
// server's own user or as root is answered, as the kernel reports the
// peer's credentials (SO_PEERCRED); anyone else gets a refusal and is never
// handed to the request handler.
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

    // Hands the answer of one request to its connection, once; later calls
    // and calls after the connection or the socket has gone do nothing.
    class Reply
    {
    public:
        void operator()(const QByteArray &answer) const;
        // Whether an answer would still reach the client.
        bool clientWaiting() const;

    private:
        friend class ControlSocket;
        struct State;
        std::shared_ptr<State> m_state;
    };

    // Takes one request line (without its newline) and answers it through
    // `reply`, now or later.
    using Handler = std::function<void(const QByteArray &request, const Reply &reply)>;

    explicit ControlSocket(QObject *parent = nullptr);
    ~ControlSocket() override;

    // Starts listening at `path`, replacing a socket file left there by a
    // server that ended without removing it: the caller holds the instance
    // lock, so no live server owns it. False, with the reason in
    // errorText(), when the system refuses. The file is removed again when
    // this object goes.
    bool listen(const QString &path, Handler handler);
    QString errorText() const { return m_errorText; }

    // Stops taking connections and removes the socket file; connections
    // already taken are still answered. Safe inside a handler.
    void close();

    // The refusal an unauthorised peer receives, as a JSON line.
    static QByteArray refusal(uint peerUid);

private:
    void acceptPending();
    void serve(QLocalSocket *socket);
    static bool peerAllowed(QLocalSocket *socket, uint *peerUid);

    void removeFile();
    void answerRequest(QLocalSocket *socket, const QByteArray &line);

    QLocalServer *m_server = nullptr;
    QString m_path;
    Handler m_handler;
    QString m_errorText;
    int m_connections = 0;
};
