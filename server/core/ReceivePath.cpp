#include "ReceivePath.h"

#include "FlightRelay.h"
#include "LogonHandling.h"
#include "Packet.h"
#include "Seams.h"
#include "ServerContext.h"
#include "SkyHandling.h"

#include <exception>

namespace {

bool isFlightData(const Packet &packet)
{
    return packet.PacketClass() == Packet::FlightClass && packet.PacketType() == Packet::FlightData;
}

} // namespace

ReceivePath::ReceivePath(ServerContext &context, ArrivalQueue &queue, std::function<void()> raiseLater)
    : m_context(context), m_queue(queue), m_raiseLater(std::move(raiseLater))
{
}

void ReceivePath::onDataArrival()
{
    if (!m_context.ReceiveReady) {
        m_refused = true;
        return;
    }
    std::vector<Arrival> burst = std::move(m_burst);
    m_queue.takeBurst(burst);
    onBurst(burst);
    m_burst = std::move(burst);
    takeSkyDeliveries();
    SkyHandling::flush(m_context);
    const bool failed = !m_burst.empty() && m_burst.back().readError != 0;
    const bool waiting = !m_queue.isEmpty() || (m_skyInbox && !m_skyInbox->isEmpty());
    if ((m_refused || failed) && waiting && m_raiseLater)
        m_raiseLater();
    m_refused = false;
}

void ReceivePath::raiseRefused()
{
    if (!m_refused || !m_context.ReceiveReady)
        return;
    m_refused = false;
    if (m_raiseLater)
        m_raiseLater();
}

void ReceivePath::onBurst(std::span<const Arrival> burst)
{
    ReceiveGuard guard(m_context);
    for (size_t i = 0; i < burst.size(); ++i) {
        if (burst[i].readError != 0) {
            logReadFailure(burst.first(i), burst[i].readError);
            return;
        }
    }
    qint64 newestNs = 0;
    for (const Arrival &arrival : burst) {
        newestNs = std::max(newestNs, arrival.arrivalNs);
        try {
            // Only flight data can be too old, so only it asks for the time.
            const qint64 waited = isFlightData(arrival.record) ? waitedNs(arrival, newestNs) : 0;
            handlePacket(m_context, arrival.record, arrival.from, waited);
        } catch (const std::exception &error) {
            qWarning("A record from %s could not be handled: %s", qPrintable(m_context.endpointText(arrival.from)),
                     error.what());
        }
    }
}

void ReceivePath::takeSkyDeliveries()
{
    if (!m_skyInbox)
        return;
    m_skyInbox->take(m_skyDeliveries);
    ReceiveGuard guard(m_context);
    for (const SkyDelivery &delivery : m_skyDeliveries) {
        try {
            SkyHandling::handle(m_context, delivery);
        } catch (const std::exception &error) {
            qWarning("A message from the sky could not be handled: %s", error.what());
        }
    }
    m_skyDeliveries.clear();
}

// Names the sender read last before the failure, if any.
void ReceivePath::logReadFailure(std::span<const Arrival> readBefore, int errorNumber)
{
    if (!m_context.ordinaryLinesOn())
        return;
    m_context.logEvent(QStringLiteral("Problem reading packet from ")
                       + (readBefore.empty() ? QString() : m_context.endpointText(readBefore.back().from))
                       + QLatin1Char(' ') + QString::number(errorNumber) + QLatin1Char(' ')
                       + qt_error_string(errorNumber));
}

// From the arrival to now on the kernel's clock; 0 when either is unknown.
// Now is never before the newest arrival seen, and a reading implausibly far
// from it (a clock that is not the one that stamped the arrivals) counts as
// that newest arrival.
qint64 ReceivePath::waitedNs(const Arrival &arrival, qint64 newestNs) const
{
    if (arrival.arrivalNs <= 0)
        return 0;
    newestNs = std::max(newestNs, m_queue.newestArrivalNs());
    qint64 nowNs = m_context.clock.arrivalClockNowNs();
    if (nowNs < newestNs || nowNs - newestNs > PlausibleClockGapNs)
        nowNs = newestNs;
    return nowNs > arrival.arrivalNs ? nowNs - arrival.arrivalNs : 0;
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
