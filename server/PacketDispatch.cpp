#include "PacketDispatch.h"

#include "FlightRelay.h"
#include "LogonHandling.h"
#include "Packet.h"

void Process_PacketIN(ServerContext &context, const QByteArray &bt, const QString &strsenderIP)
{
    const Packet packet = Packet::fromDatagram(bt);
    switch (packet.PacketClass()) {
    case Packet::ControlClass:
        if (packet.PacketType() == Packet::LogonRequest)
            LogonHandling::handleLogonRequest(context, packet, strsenderIP);
        else if (packet.PacketType() == Packet::KeepAlive)
            LogonHandling::handleKeepAlive(context, packet, strsenderIP);
        break;
    case Packet::FlightClass:
        if (FlightRelay::isFlightRecordType(packet.PacketType()))
            FlightRelay::handleFlightRecord(context, packet, strsenderIP);
        break;
    default:
        break;
    }
}
