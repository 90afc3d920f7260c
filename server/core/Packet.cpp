#include "Packet.h"

#include <algorithm>
#include <cstring>

Packet Packet::fromDatagram(const QByteArray &datagram)
{
    return fromBytes(datagram.constData(), datagram.size());
}

Packet Packet::fromBytes(const char *data, qsizetype size)
{
    Packet packet;
    const auto length = static_cast<size_t>(std::clamp<qsizetype>(size, 0, Size));
    if (length > 0)
        std::memcpy(packet.m_bytes.data(), data, length);
    return packet;
}

void Packet::setHeader(qint32 packetClass, qint32 packetType, qint32 senderID)
{
    setInt32At(PacketClassAt, packetClass);
    setInt32At(PacketTypeAt, packetType);
    setInt32At(SenderIDAt, senderID);
}

qint32 Packet::int32At(int offset) const
{
    Q_ASSERT(offset >= 0 && offset + 4 <= Size);
    const std::uint32_t value = std::uint32_t(m_bytes[offset]) | std::uint32_t(m_bytes[offset + 1]) << 8
        | std::uint32_t(m_bytes[offset + 2]) << 16 | std::uint32_t(m_bytes[offset + 3]) << 24;
    return static_cast<qint32>(value);
}

void Packet::setInt32At(int offset, qint32 value)
{
    Q_ASSERT(offset >= 0 && offset + 4 <= Size);
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        m_bytes[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

QString Packet::textAt(int offset, int chars) const
{
    Q_ASSERT(offset >= 0 && offset + 2 * chars <= Size);
    QString text(chars, Qt::Uninitialized);
    for (int i = 0; i < chars; ++i)
        text[i] = QChar(char16_t(m_bytes[offset + 2 * i] | m_bytes[offset + 2 * i + 1] << 8));
    return trimSpaces(text);
}

void Packet::setTextAt(int offset, int chars, const QString &text)
{
    Q_ASSERT(offset >= 0 && offset + 2 * chars <= Size);
    for (int i = 0; i < chars; ++i) {
        const char16_t unit = i < text.size() ? text[i].unicode() : u' ';
        m_bytes[offset + 2 * i] = static_cast<std::uint8_t>(unit & 0xFF);
        m_bytes[offset + 2 * i + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
}

QByteArray Packet::bytes() const
{
    return QByteArray(reinterpret_cast<const char *>(m_bytes.data()), Size);
}

QString trimSpaces(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.mid(first, last - first);
}

QString Packet::typeName(qint32 packetType)
{
    switch (packetType) {
    case Packet::LogonRequest: return QStringLiteral("LogonRequest");
    case Packet::LogonAccepted: return QStringLiteral("LogonAccepted");
    case Packet::LogonRejected: return QStringLiteral("LogonRejected");
    case Packet::PlayerAdded: return QStringLiteral("PlayerAdded");
    case Packet::PlayerRemoved: return QStringLiteral("PlayerRemoved");
    case Packet::KeepAlive: return QStringLiteral("KeepAlive");
    case Packet::AircraftDetails: return QStringLiteral("AircraftDetails");
    case Packet::QueryPlaneType: return QStringLiteral("QueryPlaneType");
    case Packet::PlayerCrashed: return QStringLiteral("PlayerCrashed");
    case Packet::FlightData: return QStringLiteral("FlightData");
    case Packet::ChatMessage: return QStringLiteral("ChatMessage");
    default: return QStringLiteral("type %1").arg(packetType);
    }
}
