#pragma once

#include "ArrivalQueue.h"
#include "SkyInbox.h"

#include <QByteArray>

#include <functional>
#include <span>
#include <vector>

class Packet;
class ServerContext;

// The receive path. On each data-arrival notification, when no burst is
// running, every datagram waiting in the arrival queue is taken out as one
// burst and each is handed to the handling of its class and type, in
// arrival order. A notification that comes while a burst runs (a yield let
// the socket be read) is refused by the guard, and raised again from the
// event loop once the burst is over, so no record waits for a later
// arrival. The sky's deliveries, when there is a sky, are taken the same
// way after each burst.
//
// Under overload datagrams queue up before they are handled. Flight data
// that waited longer than StaleFlightDataNs, from its arrival at the socket
// to its turn, both on the kernel's clock, is dropped and counted: a
// position that old is worse than none, and relaying a backlog keeps every
// pilot behind. Every other record is handled however late.
class ReceivePath
{
public:
    static constexpr qint64 StaleFlightDataNs = 250'000'000;
    // Farther than this from the newest arrival, a reading of the clock is
    // not the clock that stamped the arrivals.
    static constexpr qint64 PlausibleClockGapNs = 10'000'000'000;

    // `raiseLater` has onDataArrival called again from the event loop.
    ReceivePath(ServerContext &context, ArrivalQueue &queue, std::function<void()> raiseLater);

    void onDataArrival();

    // A second source of arrivals: what the sky delivered, taken after each
    // burst of datagrams under the same guard, never inside one. What this
    // server's own pilots caused in the burst goes to the sky at its end.
    void setSkyInbox(SkyInbox *inbox) { m_skyInbox = inbox; }

    // For another handler that holds the receive guard (the sky's tick),
    // once it has let go: a notification refused meanwhile is raised again
    // from the event loop. The sky's wake-up comes only when its inbox
    // turns from empty, so one refused and never raised again would leave
    // the inbox unread for good.
    void raiseRefused();

    // Handles a burst in order under the receive guard. A read failure in
    // it is logged and drops what was read before it in the burst.
    void onBurst(std::span<const Arrival> burst);

    // Decodes one datagram (its first 128 bytes; missing bytes read as zero)
    // and hands it to the handling of its class and type. Records of any
    // other class or type are ignored: no reply, no log line, no change. So
    // is every record from a sender that cannot be answered: an IPv6
    // link-local address (the interface it came in on is not kept), or with
    // ReplyToSourcePort a source port 0. `waitedNs` is how long it queued
    // before its turn.
    static void handleDatagram(ServerContext &context, const QByteArray &datagram, const Endpoint &source,
                               qint64 waitedNs = 0);

private:
    static void handlePacket(ServerContext &context, const Packet &packet, const Endpoint &source, qint64 waitedNs);
    void logReadFailure(std::span<const Arrival> readBefore, int errorNumber);
    qint64 waitedNs(const Arrival &arrival, qint64 newestNs) const;

    ServerContext &m_context;
    ArrivalQueue &m_queue;
    std::function<void()> m_raiseLater;
    void takeSkyDeliveries();

    std::vector<Arrival> m_burst; // reused: bursts never nest
    SkyInbox *m_skyInbox = nullptr;
    std::vector<SkyDelivery> m_skyDeliveries;
    bool m_refused = false;
};
