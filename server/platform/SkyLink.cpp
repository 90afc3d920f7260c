#include "SkyLink.h"

#include <nats/nats.h>

#include <QMutex>
#include <QMutexLocker>

// What the client's threads see: the inbox and the wake, until the link
// lets go of them.
struct SkyLink::Bridge {
    QMutex mutex;
    SkyInbox *inbox = nullptr;
    std::function<void()> wake;

    void deliver(SkyDelivery delivery)
    {
        QMutexLocker lock(&mutex);
        if (inbox && inbox->push(std::move(delivery)) && wake)
            wake();
    }
    void detach()
    {
        QMutexLocker lock(&mutex);
        inbox = nullptr;
        wake = nullptr;
    }
};

struct SkyLink::Handles {
    natsOptions *options = nullptr;
    natsConnection *connection = nullptr;
    natsSubscription *subscription = nullptr;
};

namespace {

void onMessage(natsConnection *, natsSubscription *, natsMsg *message, void *closure)
{
    SkyDelivery delivery;
    delivery.subject = QByteArray(natsMsg_GetSubject(message));
    delivery.payload = QByteArray(natsMsg_GetData(message), natsMsg_GetDataLength(message));
    natsMsg_Destroy(message);
    static_cast<SkyLink::Bridge *>(closure)->deliver(std::move(delivery));
}

void onConnected(natsConnection *, void *closure)
{
    static_cast<SkyLink::Bridge *>(closure)->deliver({SkyDelivery::Type::Connected, {}, {}});
}

void onDisconnected(natsConnection *, void *closure)
{
    static_cast<SkyLink::Bridge *>(closure)->deliver({SkyDelivery::Type::Disconnected, {}, {}});
}

QString statusText(natsStatus status)
{
    QString text = QString::fromUtf8(natsStatus_GetText(status));
    char last[256] = {};
    if (nats_GetLastErrorStack(last, sizeof last) == NATS_OK && last[0])
        text += QStringLiteral(" (") + QString::fromUtf8(last).simplified() + QLatin1Char(')');
    return text;
}

} // namespace

SkyLink::SkyLink(SkyInbox &inbox, std::function<void()> wake)
    : m_bridge(std::make_unique<Bridge>()), m_handles(std::make_unique<Handles>())
{
    m_bridge->inbox = &inbox;
    m_bridge->wake = std::move(wake);
}

SkyLink::~SkyLink()
{
    close();
    // No client thread runs after this, so none can reach the bridge.
    nats_CloseAndWait(2000);
}

bool SkyLink::start(const SkyConnection &connection, const QByteArray &subjects, QString *error)
{
    Handles &h = *m_handles;
    Bridge *bridge = m_bridge.get();
    const QByteArray urls = connection.urls.toUtf8();
    const QByteArray name = connection.clientName.toUtf8();
    natsStatus status = natsOptions_Create(&h.options);
    const auto step = [&](natsStatus next) {
        if (status == NATS_OK)
            status = next;
    };
    step(natsOptions_SetURL(h.options, urls.constData()));
    step(natsOptions_SetName(h.options, name.constData()));
    step(natsOptions_SetNoEcho(h.options, true));
    // One publish goes out per receive burst: written at once from this
    // thread, it needs no wake-up of the client's flusher thread.
    step(natsOptions_SetSendAsap(h.options, true));
    step(natsOptions_SetMaxReconnect(h.options, -1));
    step(natsOptions_SetReconnectWait(h.options, 250));
    // A dead connection is noticed within two missed pings.
    step(natsOptions_SetPingInterval(h.options, 2000));
    step(natsOptions_SetMaxPingsOut(h.options, 2));
    step(natsOptions_SetTimeout(h.options, 2000));
    step(natsOptions_SetRetryOnFailedConnect(h.options, true, onConnected, bridge));
    step(natsOptions_SetReconnectedCB(h.options, onConnected, bridge));
    step(natsOptions_SetDisconnectedCB(h.options, onDisconnected, bridge));
    if (!connection.credentials.isEmpty())
        step(natsOptions_SetUserCredentialsFromFiles(h.options, connection.credentials.toLocal8Bit().constData(), nullptr));
    if (!connection.caFile.isEmpty())
        step(natsOptions_LoadCATrustedCertificates(h.options, connection.caFile.toLocal8Bit().constData()));
    if (status != NATS_OK) {
        *error = statusText(status);
        close();
        return false;
    }
    status = natsConnection_Connect(&h.connection, h.options);
    const bool connectedNow = status == NATS_OK;
    if (status == NATS_NOT_YET_CONNECTED)
        status = NATS_OK;
    step(natsConnection_Subscribe(&h.subscription, h.connection, subjects.constData(), onMessage, bridge));
    step(natsSubscription_SetPendingLimits(h.subscription, 1 << 16, 64 << 20));
    if (status != NATS_OK) {
        *error = statusText(status);
        close();
        return false;
    }
    if (connectedNow)
        onConnected(h.connection, bridge);
    return true;
}

void SkyLink::publish(const QByteArray &subject, const QByteArray &payload)
{
    if (m_handles->connection)
        natsConnection_Publish(m_handles->connection, subject.constData(), payload.constData(), int(payload.size()));
}

void SkyLink::leave()
{
    close();
}

void SkyLink::close()
{
    m_bridge->detach();
    Handles &h = *m_handles;
    if (h.connection)
        natsConnection_Close(h.connection);
    natsSubscription_Destroy(h.subscription);
    natsConnection_Destroy(h.connection);
    natsOptions_Destroy(h.options);
    h = Handles{};
}
