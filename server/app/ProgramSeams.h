#pragma once

#include "Seams.h"

#include <chrono>

class UdpEndpoint;
struct ServerCounters;

// The real clock, the socket and the event loop behind the core's seams.

class SystemClock : public Clock
{
public:
    QTime timeOfDay() const override;
    qint64 monotonicSeconds() const override;
    qint64 wallSeconds() const override;
    // Read with the system call itself, so that a tool which shifts or
    // speeds up the process's clock functions (a test harness) cannot move
    // it away from the kernel's receive stamps.
    qint64 arrivalClockNowNs() const override;
    qint64 monotonicMs() const override;
    qint64 wallMs() const override;
};

// Sends through the relay service's socket; until it is attached, every
// send fails. Records are held back in the socket's batch and go out
// together, in order for each pilot, at the next yield that runs events, at
// the end of the round of arrivals, or when the batch is full. Records the
// system refuses later are counted by type.
class EndpointSender : public Sender
{
public:
    void attach(UdpEndpoint &socket, ServerCounters &counters);
    bool send(const Endpoint &to, const Packet &record, WhenFull whenFull) override;

private:
    UdpEndpoint *m_socket = nullptr;
};

// Lets pending events run. Looking for them costs a poll and a flush of
// the held-back sends even when there are none, and a relay yields once per
// recipient, so events that became pending in the last RunGap are left for
// a later yield: a tick, a close notification or an arrival waits at most
// that long, and the few yields until the clock is read again (even reading
// it costs a share of a send). Before events run, the held-back sends go
// out.
class EventLoopYield : public Yield
{
public:
    static constexpr std::chrono::microseconds RunGap{2000};
    static constexpr int YieldsPerClockRead = 8;

    void attach(UdpEndpoint &socket) { m_socket = &socket; }
    void yield() override;

private:
    UdpEndpoint *m_socket = nullptr;
    std::chrono::steady_clock::time_point m_lastRun{};
    int m_yieldsSinceClockRead = 0;
};
