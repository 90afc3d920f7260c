#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

// One 128-byte record as it travels between clients and the server.
//
// Integers are 32-bit little-endian two's complement; a text field of N
// characters is N UTF-16LE code units, space-filled, with no terminator.
// The header (class, type, sender ID, reserved) is common to every record.
// A record is always exactly 128 bytes: fromDatagram() takes a shorter
// datagram with its missing bytes as zero and a longer one by its first 128
// bytes, so decoding never reads past what arrived.
class Packet
{
public:
    static constexpr int Size = 128;

    enum Class : qint32 {
        ControlClass = 0,
        FlightClass = 1,
    };

    enum Type : qint32 {
        LogonRequest = 1001,
        LogonAccepted = 1002,
        LogonRejected = 1003,
        PlayerAdded = 1004,
        PlayerRemoved = 1005,
        KeepAlive = 1006,
        AircraftDetails = 4110,
        QueryPlaneType = 4111,
        PlayerCrashed = 4113,
        FlightData = 4121,
        ChatMessage = 4131,
    };
    static constexpr std::array<Type, 11> Types = {LogonRequest, LogonAccepted, LogonRejected, PlayerAdded,
                                                   PlayerRemoved, KeepAlive, AircraftDetails, QueryPlaneType,
                                                   PlayerCrashed, FlightData, ChatMessage};
    // The type's name ("PlayerAdded"), or "type N" for a type the protocol
    // does not know.
    static QString typeName(qint32 packetType);

    // Field offsets and text widths (in characters) of the record layouts.
    enum Layout : int {
        PacketClassAt = 0,
        PacketTypeAt = 4,
        SenderIDAt = 8,
        ReservedAt = 12,
        PilotIDAt = 16,          // LogonRequest
        PasswordAt = 20,         // LogonRequest
        PilotHandleAt = 24,      // LogonRequest
        PlayerIDAt = 16,         // LogonAccepted, LogonRejected, PlayerAdded, PlayerRemoved
        MotdAt = 20,             // LogonAccepted
        PlayerHandleAt = 20,     // PlayerAdded, PlayerRemoved
        CrashMessageAt = 16,     // crash notice
        HandleChars = 20,
        MotdChars = 40,
        CrashMessageChars = 50,
    };

    Packet() { m_bytes.fill(0); }
    static Packet fromDatagram(const QByteArray &datagram);
    static Packet fromBytes(const char *data, qsizetype size);

    qint32 PacketClass() const { return int32At(PacketClassAt); }
    qint32 PacketType() const { return int32At(PacketTypeAt); }
    qint32 SenderID() const { return int32At(SenderIDAt); }
    qint32 Reserved() const { return int32At(ReservedAt); }
    void setHeader(qint32 packetClass, qint32 packetType, qint32 senderID = 0);

    qint32 int32At(int offset) const;
    void setInt32At(int offset, qint32 value);

    // The field's characters with the spaces (U+0020 only) at both ends removed.
    QString textAt(int offset, int chars) const;
    // Cut to `chars` characters, or filled up to them with spaces.
    void setTextAt(int offset, int chars, const QString &text);

    QByteArray bytes() const;
    const std::array<std::uint8_t, Size> &data() const { return m_bytes; }
    bool operator==(const Packet &other) const { return m_bytes == other.m_bytes; }

private:
    std::array<std::uint8_t, Size> m_bytes;
};

// The text a record field holds once the surrounding spaces are removed.
QString trimSpaces(const QString &text);
