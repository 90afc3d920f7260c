#pragma once

#include "LatencyHistogram.h"
#include "ReceiveBatch.h"

#include <QtGlobal>

#include <netinet/in.h>
#include <vector>

// Pilots split between several servers of one sky: pilot i flies on node
// i % nodes, from its own socket on 127.0.x.y at the reply port. Flying
// pilots send flight data at the rate (each at its own phase) and a
// keep-alive every two seconds. Every flight record carries its send time;
// each delivery is timed to the kernel's receive stamp and counted as
// same-node or cross-node by the sender's server ID, whose range names its
// node. Sends only to 127.0.0.1.
class SkyLoad
{
public:
    struct Delivery {
        qint64 expected = 0;
        LatencyHistogram latencies;
        double lossPercent() const;
    };

    // nodePorts[k]: the UDP port of the node whose pilots are i % size == k.
    SkyLoad(const std::vector<quint16> &nodePorts, int rate);
    ~SkyLoad();
    SkyLoad(const SkyLoad &) = delete;
    SkyLoad &operator=(const SkyLoad &) = delete;

    bool addPilots(int count, quint16 replyPort);
    // Logs every pilot on (account i + 1) within 30 s.
    bool logOn();
    void sendAircraftDetails();
    // Flies for `ns`, then reads for `tailNs` more; only records sent while
    // flying are counted.
    void fly(qint64 ns, qint64 tailNs);

    const Delivery &sameNode() const { return m_same; }
    const Delivery &crossNode() const { return m_cross; }
    // Flight records the pilots of node k received while counted.
    qint64 receivedOnNode(int node) const { return m_receivedOn[size_t(node)]; }
    qint64 receiveDrops() const;

private:
    struct Pilot {
        int fd = -1;
        int node = 0;
        qint32 serverID = 0;
        qint64 nextFlightNs = 0;
        qint64 nextKeepAliveNs = 0;
    };
    void send(const Pilot &pilot, const QByteArray &record);
    void sendDue(qint64 now);
    void receive(qint64 timeoutNs);
    void onDatagram(Pilot &pilot, const ReceiveBatch::Datagram &datagram);
    int nodeOfServerId(qint32 serverID) const;

    std::vector<sockaddr_in> m_nodes;
    std::vector<int> m_pilotsOn;
    qint64 m_intervalNs;
    std::vector<Pilot> m_pilots;
    int m_epoll;
    ReceiveBatch m_batch;
    bool m_flying = false;
    quint32 m_sequence = 0;
    qint64 m_countFromNs = 0; // wall clock: records sent in [from, to) count
    qint64 m_countToNs = 0;
    Delivery m_same;
    Delivery m_cross;
    std::vector<qint64> m_receivedOn;
};
