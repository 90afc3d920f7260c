#pragma once

#include "Seams.h"

class UdpEndpoint;

// The real clock, the socket and the event loop behind the core's seams.

class SystemClock : public Clock
{
public:
    QTime timeOfDay() const override;
    qint64 monotonicSeconds() const override;
};

// Sends through the debug screen's socket; until it is attached (the
// screen is built after the run's state), every send fails.
class EndpointSender : public Sender
{
public:
    void attach(UdpEndpoint &socket) { m_socket = &socket; }
    bool send(const QString &ipAddress, const QByteArray &record) override;

private:
    UdpEndpoint *m_socket = nullptr;
};

class EventLoopYield : public Yield
{
public:
    void yield() override;
};

class EndpointSource : public DatagramSource
{
public:
    explicit EndpointSource(UdpEndpoint &socket) : m_socket(socket) {}
    bool hasPendingDatagrams() const override;
    bool read(QByteArray *bytes, QString *senderIP, int *errorNumber, QString *errorText) override;
    void raiseArrivalLater(qint64 size) override;

private:
    UdpEndpoint &m_socket;
};
