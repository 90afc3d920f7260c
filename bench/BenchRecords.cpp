#include "BenchRecords.h"

#include "Packet.h"
#include "Records.h"

namespace BenchRecords {

QByteArray logonRequest(qint32 pilotID, qint32 password, const QString &handle)
{
    return Records::logonRequest(pilotID, password, handle).bytes();
}

QByteArray keepAlive(qint32 serverID)
{
    return Records::keepAlive(serverID).bytes();
}

QByteArray flightRecord(qint32 type, qint32 serverID, quint32 sequence, qint64 sentAtNs)
{
    Packet packet;
    packet.setHeader(Packet::FlightClass, type, serverID);
    packet.setInt32At(16, qint32(sequence));
    packet.setInt32At(20, qint32(sentAtNs & 0xFFFFFFFF));
    packet.setInt32At(24, qint32(sentAtNs >> 32));
    return packet.bytes();
}

qint64 sentAtNs(const char *record)
{
    quint64 value = 0;
    for (int i = 27; i >= 20; --i)
        value = value << 8 | quint8(record[i]);
    return qint64(value);
}

QByteArray accounts(int count)
{
    QByteArray text;
    for (int pilot = 1; pilot <= count; ++pilot)
        text += "[" + QByteArray::number(pilot) + "]\r\nPwd=" + QByteArray::number(pilot + 1000) + "\r\nName=Pilot "
            + QByteArray::number(pilot) + "\r\n";
    return text;
}

} // namespace BenchRecords
