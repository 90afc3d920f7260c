#pragma once

#include <QtGlobal>

#include <optional>

class DatagramSource;
class ServerContext;

// The receive path: on each data-arrival notification, when the announced
// size is a multiple of 128 and no burst is running, read every waiting
// datagram with its sender, then hand each to Process_PacketIN in order.
// Arrivals refused because a burst was running are announced again once the
// burst is over, so no record waits for a later arrival.
class ReceivePath
{
public:
    ReceivePath(ServerContext &context, DatagramSource &source) : m_context(context), m_source(source) {}

    void ctlWinsock_DataArrival(qint64 bytesTotal);

private:
    void runBurst();

    ServerContext &m_context;
    DatagramSource &m_source;
    std::optional<qint64> m_refusedArrival;
};
