#include "ProgramSeams.h"

#include "ServerCounters.h"
#include "UdpEndpoint.h"

#include <QCoreApplication>
#include <QDateTime>

QTime SystemClock::timeOfDay() const
{
    return QTime::currentTime();
}

qint64 SystemClock::monotonicSeconds() const
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(sinceStart).count();
}

qint64 SystemClock::wallSeconds() const
{
    return QDateTime::currentSecsSinceEpoch();
}

void EndpointSender::attach(UdpEndpoint &socket, ServerCounters &counters)
{
    m_socket = &socket;
    socket.setUnsentHandler([&counters](const char *data, qsizetype size, int) {
        const Packet record = Packet::fromDatagram(QByteArray::fromRawData(data, size));
        ++counters.sendFailuresByType[record.PacketType()];
    });
}

bool EndpointSender::send(const Endpoint &to, const Packet &record, WhenFull whenFull)
{
    // The destination travels with the record, so no other send can change
    // it in between.
    if (!m_socket)
        return false;
    const auto &bytes = record.data();
    return m_socket->queueDatagram(to, reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()),
                                   whenFull == WhenFull::Drop);
}

void EventLoopYield::yield()
{
    if (++m_yieldsSinceClockRead < YieldsPerClockRead)
        return;
    m_yieldsSinceClockRead = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastRun < RunGap)
        return;
    if (m_socket)
        m_socket->flushSends();
    QCoreApplication::processEvents();
    m_lastRun = std::chrono::steady_clock::now();
}

bool EndpointSource::hasPendingDatagrams() const
{
    return m_socket.hasPendingDatagrams();
}

bool EndpointSource::read(QByteArray *bytes, Endpoint *sender, int *errorNumber, QString *errorText)
{
    return m_socket.takeDatagram(bytes, sender, errorNumber, errorText, &m_lastReadArrivalNs);
}

void EndpointSource::raiseArrivalLater(qint64 size)
{
    m_socket.raiseArrivalLater(size);
}

qint64 EndpointSource::arrivalClockNowNs() const
{
    return m_socket.arrivalClockNowNs();
}

void EndpointSource::takeInWaiting()
{
    m_socket.takeInWaiting();
}
