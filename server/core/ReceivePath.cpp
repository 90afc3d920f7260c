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
    Endpoint source;
    qint64 arrivalNs = 0;
};

// Time between a datagram's arrival and now; 0 when either is unknown.
qint64 waitedSince(qint64 arrivalNs, qint64 nowNs)
{
    return arrivalNs > 0 && nowNs > arrivalNs ? nowNs - arrivalNs : 0;
}

bool isFlightData(const Packet &packet)
{
    return packet.PacketClass() == Packet::FlightClass && packet.PacketType() == Packet::FlightData;
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
    while (m_source.hasPendingDatagrams()) {
        Received datagram;
        int errorNumber = 0;
        QString errorText;
        if (!m_source.read(&datagram.bytes, &datagram.source, &errorNumber, &errorText)) {
            // Names the sender read last in this burst, if any.
            if (m_context.ordinaryLinesOn())
                m_context.logEvent(QStringLiteral("Problem reading packet from ")
                                   + (burst.empty() ? QString() : m_context.endpointText(burst.back().source))
                                   + QLatin1Char(' ') + QString::number(errorNumber) + QLatin1Char(' ') + errorText);
            return;
        }
        datagram.arrivalNs = m_source.lastReadArrivalNs();
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
            // Only flight data can be too old, so only it asks for the time.
            const Packet packet = Packet::fromDatagram(datagram.bytes);
            const qint64 waited = isFlightData(packet) ? waitedSince(datagram.arrivalNs, m_source.arrivalClockNowNs()) : 0;
            handlePacket(m_context, packet, datagram.source, waited);
        } catch (const std::exception &error) {
            qWarning("A record from %s could not be handled: %s", qPrintable(m_context.endpointText(datagram.source)), error.what());
        }
    }
}

void ReceivePath::handleDatagram(ServerContext &context, const QByteArray &datagram, const Endpoint &source,
                                 qint64 waitedNs)
{
    handlePacket(context, Packet::fromDatagram(datagram), source, waitedNs);
}

void ReceivePath::handlePacket(ServerContext &context, const Packet &packet, const Endpoint &source, qint64 waitedNs)
{
    ++context.counters.datagramsReceived;
    const qint32 type = packet.PacketType();
    if (waitedNs > StaleFlightDataNs && isFlightData(packet)) {
        ++context.counters.staleFlightDataDropped;
        return;
    }
    const bool answerable = !source.isLinkLocal() && (source.port() != 0 || !context.ReplyToSourcePort);
    if (!answerable)
        ++context.counters.recordsIgnored;
    else if (packet.PacketClass() == Packet::ControlClass && type == Packet::LogonRequest)
        LogonHandling::handleLogonRequest(context, packet, source);
    else if (packet.PacketClass() == Packet::ControlClass && type == Packet::KeepAlive)
        LogonHandling::handleKeepAlive(context, packet, source);
    else if (packet.PacketClass() == Packet::FlightClass && FlightRelay::isFlightRecordType(type))
        FlightRelay::handleFlightRecord(context, packet, source);
    else
        ++context.counters.recordsIgnored;
}
