#include "ReceivePath.h"

#include "FlightRelay.h"
#include "LogonHandling.h"
#include "Packet.h"
#include "Seams.h"
#include "ServerContext.h"

#include <exception>
#include <vector>

namespace {

struct Received {
    QByteArray bytes;
    QString senderIP;
    qint64 arrivalNs = 0;
};

// Time between a datagram's arrival and now; 0 when either is unknown.
qint64 waitedSince(qint64 arrivalNs, qint64 nowNs)
{
    return arrivalNs > 0 && nowNs > arrivalNs ? nowNs - arrivalNs : 0;
}

} // namespace

void ReceivePath::onDataArrival(qint64 bytesTotal)
{
    if (bytesTotal % 128 != 0)
        return;
    if (!m_context.ReceiveReady) {
        m_refusedArrival = bytesTotal;
        return;
    }
    runBurst();
    if (m_refusedArrival && m_source.hasPendingDatagrams())
        m_source.raiseArrivalLater(*m_refusedArrival);
    m_refusedArrival.reset();
}

void ReceivePath::runBurst()
{
    ReceiveGuard guard(m_context);
    std::vector<Received> burst;
    QString lastSender;
    while (m_source.hasPendingDatagrams()) {
        Received datagram;
        int errorNumber = 0;
        QString errorText;
        if (!m_source.read(&datagram.bytes, &datagram.senderIP, &errorNumber, &errorText)) {
            if (m_context.ordinaryLinesOn())
                m_context.logEvent(QStringLiteral("Problem reading packet from ") + lastSender + QLatin1Char(' ')
                                   + QString::number(errorNumber) + QLatin1Char(' ') + errorText);
            return;
        }
        datagram.arrivalNs = m_source.lastReadArrivalNs();
        lastSender = datagram.senderIP;
        burst.push_back(std::move(datagram));
    }
    for (size_t i = 0; i < burst.size(); ++i) {
        const Received &datagram = burst[i];
        // Handling a long burst takes a while, and nothing else reads the
        // socket meanwhile: what came in since is taken in, so the system's
        // queue never overflows with records that must not be lost, and the
        // newest arrival stays a fair measure of now.
        if (i > 0)
            m_source.takeInWaiting();
        try {
            handleDatagram(m_context, datagram.bytes, datagram.senderIP,
                           waitedSince(datagram.arrivalNs, m_source.arrivalClockNowNs()));
        } catch (const std::exception &error) {
            qWarning("A record from %s could not be handled: %s", qPrintable(datagram.senderIP), error.what());
        }
    }
}

void ReceivePath::handleDatagram(ServerContext &context, const QByteArray &datagram, const QString &senderAddress,
                                 qint64 waitedNs)
{
    ++context.counters.datagramsReceived;
    const Packet packet = Packet::fromDatagram(datagram);
    const qint32 type = packet.PacketType();
    if (waitedNs > StaleFlightDataNs && packet.PacketClass() == Packet::FlightClass && type == Packet::FlightData) {
        ++context.counters.staleFlightDataDropped;
        return;
    }
    if (packet.PacketClass() == Packet::ControlClass && type == Packet::LogonRequest)
        LogonHandling::handleLogonRequest(context, packet, senderAddress);
    else if (packet.PacketClass() == Packet::ControlClass && type == Packet::KeepAlive)
        LogonHandling::handleKeepAlive(context, packet, senderAddress);
    else if (packet.PacketClass() == Packet::FlightClass && FlightRelay::isFlightRecordType(type))
        FlightRelay::handleFlightRecord(context, packet, senderAddress);
    else
        ++context.counters.recordsIgnored;
}
