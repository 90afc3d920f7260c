#include "ProgramSeams.h"

#include "ServerCounters.h"
#include "UdpEndpoint.h"

#include <QCoreApplication>
#include <QDateTime>

#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

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

qint64 SystemClock::monotonicMs() const
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count();
}

qint64 SystemClock::wallMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 SystemClock::arrivalClockNowNs() const
{
    timespec now {};
    if (::syscall(SYS_clock_gettime, CLOCK_REALTIME, &now) != 0)
        return 0;
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
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
                                   whenFull);
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
