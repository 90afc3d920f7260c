#pragma once

#include "Endpoint.h"

#include <QByteArray>

#include <optional>

class DatagramSource;
class Packet;
class ServerContext;

// The receive path: on each data-arrival notification, when the announced
// size is a multiple of 128 and no burst is running, read every waiting
// datagram with its sender, then hand each to handleDatagram in order.
// Arrivals refused because a burst was running are announced again once the
// burst is over, so no record waits for a later arrival.
//
// Under overload datagrams queue up before they are handled. Flight data
// that waited longer than StaleFlightDataNs, from its arrival at the socket
// to its turn, both on the kernel's clock, is dropped and counted: a position that old is worse than none, and relaying a backlog
// keeps every pilot behind. Every other record is handled however late.
class ReceivePath
{
public:
    static constexpr qint64 StaleFlightDataNs = 250'000'000;

    ReceivePath(ServerContext &context, DatagramSource &source) : m_context(context), m_source(source) {}

    void onDataArrival(qint64 bytesTotal);

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
    void runBurst();
    static void handlePacket(ServerContext &context, const Packet &packet, const Endpoint &source, qint64 waitedNs);

    ServerContext &m_context;
    DatagramSource &m_source;
    std::optional<qint64> m_refusedArrival;
};
