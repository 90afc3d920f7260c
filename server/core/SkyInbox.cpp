#include "SkyInbox.h"

#include <QMutexLocker>

bool SkyInbox::push(SkyDelivery delivery)
{
    QMutexLocker lock(&m_mutex);
    const qsizetype size = delivery.subject.size() + delivery.payload.size();
    if (delivery.type == SkyDelivery::Type::Message && m_bytes + size > m_byteLimit) {
        ++m_overflowDropped;
        return false;
    }
    const bool wasEmpty = m_waiting.empty();
    m_bytes += size;
    m_waiting.push_back(std::move(delivery));
    return wasEmpty;
}

void SkyInbox::take(std::vector<SkyDelivery> &out)
{
    out.clear();
    QMutexLocker lock(&m_mutex);
    out.reserve(m_waiting.size());
    for (SkyDelivery &delivery : m_waiting)
        out.push_back(std::move(delivery));
    m_waiting.clear();
    m_bytes = 0;
}

bool SkyInbox::isEmpty() const
{
    QMutexLocker lock(&m_mutex);
    return m_waiting.empty();
}

quint64 SkyInbox::overflowDropped() const
{
    QMutexLocker lock(&m_mutex);
    return m_overflowDropped;
}
