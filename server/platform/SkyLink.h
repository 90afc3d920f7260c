#pragma once

#include "SkyInbox.h"
#include "SkyState.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// Where a sky is and how to prove who this server is there.
struct SkyConnection {
    QString urls;        // one NATS URL or a comma list, nats:// or tls://
    QString clientName;  // as the NATS server shows this connection
    QString credentials; // a NATS credentials file, or empty
    QString caFile;      // trusted certificates for tls://, or empty
};

// This server's connection to the sky's NATS servers, through the NATS C
// client. The client connects, reconnects and delivers on threads of its
// own; those threads only copy what arrives (and each change of the
// connection) into the inbox and call `wake`, which must be safe from any
// thread. Everything else happens on the server's thread.
class SkyLink final : public SkyPublisher
{
public:
    SkyLink(SkyInbox &inbox, std::function<void()> wake);
    ~SkyLink() override;
    SkyLink(const SkyLink &) = delete;
    SkyLink &operator=(const SkyLink &) = delete;

    // Starts connecting and subscribes to `subjects` (a NATS wildcard). An
    // unreachable server is no failure: the client keeps trying and the
    // inbox hears "connected" when it gets through. False, with the reason,
    // when the options cannot be used (a bad URL, an unreadable file).
    bool start(const SkyConnection &connection, const QByteArray &subjects, QString *error);

    void publish(const QByteArray &subject, const QByteArray &payload) override;
    void leave() override;

    // What the client's threads reach: the inbox and the wake, until the
    // link lets go of them.
    struct Bridge;

private:
    void close();

    std::unique_ptr<Bridge> m_bridge;
    struct Handles;
    std::unique_ptr<Handles> m_handles;
};
