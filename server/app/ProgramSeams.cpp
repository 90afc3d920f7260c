#include "ProgramSeams.h"

#include "ctlWinsock.h"

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

bool WinsockSender::send(const QString &ipAddress, const QByteArray &record)
{
    // Host and send follow each other with no yield between them, so no
    // other send can change the destination in between.
    if (!m_socket)
        return false;
    m_socket->setRemoteHost(ipAddress);
    return m_socket->SendData(record);
}

void EventLoopYield::yield()
{
    QCoreApplication::processEvents();
}

bool WinsockSource::hasPendingDatagrams() const
{
    return m_socket.hasPendingDatagrams();
}

bool WinsockSource::read(QByteArray *bytes, QString *senderIP, int *errorNumber, QString *errorText)
{
    return m_socket.GetData(bytes, senderIP, errorNumber, errorText);
}

void WinsockSource::raiseArrivalLater(qint64 size)
{
    m_socket.raiseArrivalLater(size);
}
