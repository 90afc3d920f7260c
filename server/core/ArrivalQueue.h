#pragma once

#include "Endpoint.h"
#include "Packet.h"

#include <vector>

// One datagram as it reached the server: its record, the endpoint it came
// from and when the system received it.
struct Arrival {
    Packet record;        // the datagram's first 128 bytes
    Endpoint from;
    qint64 arrivalNs = 0; // the kernel's real-time clock, nanoseconds; 0 when unknown
    // Not a datagram but a failure of the socket's read, in its place in
    // the order of arrivals: the system's error number.
    int readError = 0;
};

// Received datagrams waiting to be handled, oldest first. It needs no
// socket: the program's socket puts what it reads in, and the receive path
// takes it out a burst at a time.
//
// Only whole records are kept. A datagram whose size is not a multiple of
// 128 bytes could never be handled and is dropped as it comes in (counted);
// of a longer one only its first record counts, so only that is kept. The
// queue is bounded in datagrams and so in bytes (at most limit() records):
// when it is full the oldest datagram makes room for the new one (counted).
class ArrivalQueue
{
public:
    static constexpr int DefaultLimit = 4096;

    explicit ArrivalQueue(int limit = DefaultLimit);

    // Takes one datagram of `size` bytes in; false when its size drops it.
    bool push(const char *data, qsizetype size, const Endpoint &from, qint64 arrivalNs);
    // A read that failed with the system's `errorNumber`, after whatever
    // was read before it.
    void pushReadFailure(int errorNumber);

    bool isEmpty() const { return m_count == 0; }
    int size() const { return m_count; }
    int limit() const { return int(m_slots.size()); }
    // At least 1. Lowering it below the current size drops the oldest.
    void setLimit(int datagrams);

    // Moves the waiting arrivals into `burst` (emptied first), oldest first,
    // up to and including the first read failure: what came after a
    // failure stays for the next burst.
    void takeBurst(std::vector<Arrival> &burst);
    void clear();

    // The kernel time of the newest datagram ever taken in; 0 before one.
    qint64 newestArrivalNs() const { return m_newestArrivalNs; }
    quint64 oddSizedDropped() const { return m_oddSizedDropped; }
    quint64 overflowDropped() const { return m_overflowDropped; }
    // Arrivals and read failures taken in since the queue was made.
    quint64 appended() const { return m_appended; }

private:
    Arrival &appendSlot();
    void takeBurstOf(std::vector<Arrival> &burst, int count);
    Arrival &slot(int index) { return m_slots[size_t((m_head + index) % limit())]; }

    std::vector<Arrival> m_slots;
    int m_head = 0;
    int m_count = 0;
    qint64 m_newestArrivalNs = 0;
    quint64 m_oddSizedDropped = 0;
    quint64 m_overflowDropped = 0;
    quint64 m_appended = 0;
};
