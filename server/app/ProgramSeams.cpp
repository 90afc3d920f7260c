#include "ProgramSeams.h"

#include "UdpEndpoint.h"

#include <QCoreApplication>

#include <chrono>

QTime SystemClock::timeOfDay() const
{
    return QTime::currentTime();
}

qint64 SystemClock::monotonicSeconds() const
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(sinceStart).count();
}

bool EndpointSender::send(const QString &ipAddress, const QByteArray &record)
{
    // Host and send follow each other with no yield between them, so no
    // other send can change the destination in between.
    if (!m_socket)
        return false;
    m_socket->setRemoteHost(ipAddress);
    return m_socket->sendDatagram(record);
}

void EventLoopYield::yield()
{
    QCoreApplication::processEvents();
}

bool EndpointSource::hasPendingDatagrams() const
{
    return m_socket.hasPendingDatagrams();
}

bool EndpointSource::read(QByteArray *bytes, QString *senderIP, int *errorNumber, QString *errorText)
{
    return m_socket.takeDatagram(bytes, senderIP, errorNumber, errorText);
}

void EndpointSource::raiseArrivalLater(qint64 size)
{
    m_socket.raiseArrivalLater(size);
}
