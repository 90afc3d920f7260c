#include "ArrivalQueue.h"

#include <algorithm>

ArrivalQueue::ArrivalQueue(int limit) : m_slots(size_t(std::max(1, limit))) {}

bool ArrivalQueue::push(const char *data, qsizetype size, const Endpoint &from, qint64 arrivalNs)
{
    if (size < 0 || size % Packet::Size != 0) {
        ++m_oddSizedDropped;
        return false;
    }
    Arrival &arrival = appendSlot();
    arrival.record = Packet::fromBytes(data, size);
    arrival.from = from;
    arrival.arrivalNs = arrivalNs;
    arrival.readError = 0;
    m_newestArrivalNs = std::max(m_newestArrivalNs, arrivalNs);
    return true;
}

void ArrivalQueue::pushReadFailure(int errorNumber)
{
    Arrival &failure = appendSlot();
    failure = Arrival{};
    failure.readError = errorNumber != 0 ? errorNumber : -1;
}

// The slot after the newest, the oldest arrival giving way when full.
Arrival &ArrivalQueue::appendSlot()
{
    ++m_appended;
    if (m_count == limit()) {
        m_head = (m_head + 1) % limit();
        --m_count;
        ++m_overflowDropped;
    }
    return slot(m_count++);
}

void ArrivalQueue::setLimit(int datagrams)
{
    std::vector<Arrival> kept;
    takeBurstOf(kept, m_count);
    const size_t newLimit = size_t(std::max(1, datagrams));
    const size_t dropped = kept.size() > newLimit ? kept.size() - newLimit : 0;
    m_overflowDropped += dropped;
    m_slots.assign(newLimit, Arrival{});
    m_head = 0;
    m_count = 0;
    for (size_t i = dropped; i < kept.size(); ++i)
        m_slots[size_t(m_count++)] = kept[i];
}

void ArrivalQueue::takeBurst(std::vector<Arrival> &burst)
{
    int count = 0;
    while (count < m_count && slot(count++).readError == 0) {
    }
    takeBurstOf(burst, count);
}

void ArrivalQueue::takeBurstOf(std::vector<Arrival> &burst, int count)
{
    burst.clear();
    for (int i = 0; i < count; ++i)
        burst.push_back(slot(i));
    m_head = (m_head + count) % limit();
    m_count -= count;
}

void ArrivalQueue::clear()
{
    m_head = 0;
    m_count = 0;
}
