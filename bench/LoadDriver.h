#pragma once

#include "LatencyHistogram.h"
#include "ReceiveBatch.h"

#include <QtGlobal>

#include <netinet/in.h>
#include <set>
#include <sys/epoll.h>
#include <utility>
#include <vector>

// The pilots of a loopback load: one socket each on 127.0.x.y at the reply
// port, all sending to one relay on 127.0.0.1. A flying pilot sends flight
// data at the rate, each pilot at its own phase within the interval as
// independent clients would, and every pilot sends a keep-alive every two
// seconds. Every flight record carries its send time on the real-time
// clock; latency is taken to the kernel's receive timestamp on the other
// pilot's socket, so the driver's own delay in reading does not count.
// Deliveries are kept as latency counts per 100 ms of send time, so a
// window or the moment loss ended is known to 100 ms.
class LoadDriver
{
public:
    static constexpr qint64 KeepAliveIntervalNs = 2'000'000'000;

    // What the pilots logged on by logOn saw of each other's flight records
    // sent in a time window.
    struct Window {
        qint64 expected = 0; // relays due: each record times the other pilots it goes to
        qint64 delivered = 0;
        qint64 spanNs = 0; // of the send times the window covers
        LatencyHistogram latencies;
        double lossPercent() const;
        double relaysPerSecond() const;
        double percentileUs(double share) const;
        double laterThanPercent(qint64 ns) const;
    };

    // A non-blocking UDP socket on host:port (0: any) with a large receive
    // buffer and kernel receive timestamps; -1 when it cannot be bound.
    static int boundSocket(const char *host, quint16 port);
    // The socket of pilot `index`, bound to its own loopback address
    // (127.0.0.2 and on, 250 to a /24) at `replyPort`; -1 on failure.
    static int pilotSocket(int index, quint16 replyPort);
    static quint16 freePort(const char *host);

    LoadDriver(quint16 serverPort, int rate);
    ~LoadDriver();
    LoadDriver(const LoadDriver &) = delete;
    LoadDriver &operator=(const LoadDriver &) = delete;

    // Adds `count` pilots, numbered on from the last; false when a socket
    // cannot be bound.
    bool addPilots(int count, quint16 replyPort);
    int pilotCount() const { return int(m_pilots.size()); }
    // Asks for the logon of pilots [first, first + count) (account = index
    // + 1) until each is accepted or 30 s have passed.
    bool logOn(int first, int count);
    // One logon request now for each of [first, first + count); their
    // answers are timed. What they receive counts only as control records.
    void requestLogons(int first, int count);
    // Every logged-on pilot sends one record of the type (no timing).
    void sendToAll(qint32 type);
    void setFlying(int first, int count, bool flying);
    void setKeepingAlive(bool on) { m_keepingAlive = on; }

    // Sends what is due and reads what arrives until `ns` from now.
    void runFor(qint64 ns);
    qint64 wallNow() const;

    // The flight records sent in the 100 ms steps from clearRecords() on
    // whose middle lies in [fromWallNs, toWallNs).
    Window window(qint64 fromWallNs, qint64 toWallNs) const;
    // The first moment after `fromWallNs` from which every 100 ms of sends
    // was delivered whole; -1 when loss went on to the end.
    qint64 cleanFrom(qint64 fromWallNs, qint64 toWallNs) const;
    // Forgets what was sent and received; send times count from now on.
    void clearRecords();

    qint64 keepAlivesSent() const { return m_keepAlivesSent; }
    qint64 keepAliveEchoes() const { return qint64(m_keepAliveLatenciesNs.size()); }
    qint64 largestKeepAliveEchoNs() const;
    // The echo time at `share` (0..1) of the keep-alives answered, slowest
    // last; 0 when none was.
    qint64 keepAliveEchoPercentileNs(double share) const;
    qint64 largestLogonAnswerNs() const;
    qint64 logonsUnanswered() const;
    // Distinct (recipient, announced pilot) pairs of PlayerAdded records.
    qint64 playersAddedSeen() const { return qint64(m_playersAdded.size()); }
    qint64 playersRemovedSeen() const { return m_playersRemoved; }
    bool allLoggedOn(int first, int count) const;
    // Datagrams the pilots' sockets have dropped so far for want of room.
    qint64 receiveDrops() const;

private:
    struct Pilot {
        int fd = -1;
        qint32 serverID = 0;
        bool flying = false;
        qint64 nextFlightNs = 0;
        qint64 nextKeepAliveNs = 0;
        qint64 keepAliveSentAt = 0; // wall clock; 0 when none is outstanding
        qint64 logonSentAt = 0;     // wall clock; 0 when none is timed
        bool counted = false;       // a recipient whose relays are counted
    };
    // The flight records sent in 100 ms from m_originNs + index x 100 ms.
    struct Step {
        qint64 expected = 0;
        LatencyHistogram latencies;
    };

    void send(const Pilot &pilot, const QByteArray &record);
    void sendDue();
    void receive(qint64 timeoutNs);
    void onDatagram(Pilot &pilot, const ReceiveBatch::Datagram &datagram);
    // The step a send time falls in; nullptr before the origin or more than
    // an hour after it.
    Step *stepOf(qint64 sentAtWallNs);
    // The steps whose middle lies in [fromWallNs, toWallNs).
    std::pair<size_t, size_t> stepsWithin(qint64 fromWallNs, qint64 toWallNs) const;

    sockaddr_in m_server {};
    qint64 m_intervalNs;
    std::vector<Pilot> m_pilots;
    int m_epoll;                          // every pilot's socket, by index
    std::vector<epoll_event> m_ready;
    ReceiveBatch m_batch;
    bool m_keepingAlive = true;
    quint32 m_sequence = 0;
    qint64 m_counted = 0;
    qint64 m_nextDueNs = 0;
    qint64 m_originNs = 0; // wall clock
    std::vector<Step> m_steps;
    std::vector<qint64> m_keepAliveLatenciesNs;
    qint64 m_keepAlivesSent = 0;
    std::vector<qint64> m_logonLatenciesNs;
    std::set<std::pair<int, qint32>> m_playersAdded;
    qint64 m_playersRemoved = 0;
};
