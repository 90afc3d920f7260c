#include "RecordText.h"

#include "NetworkText.h"

namespace RecordText {
namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + NetworkText::oneLine(text) + QLatin1Char('"');
}

QString playerNotice(const Packet &record)
{
    return QStringLiteral("%1: %2 (server ID %3)")
        .arg(Packet::typeName(record.PacketType()),
             NetworkText::oneLine(record.textAt(Packet::PlayerHandleAt, Packet::HandleChars)),
             QString::number(record.int32At(Packet::PlayerIDAt)));
}

} // namespace

QString describe(const Packet &record)
{
    switch (record.PacketType()) {
    case Packet::LogonAccepted:
        return QStringLiteral("LogonAccepted: server ID %1, message of the day %2")
            .arg(QString::number(record.int32At(Packet::PlayerIDAt)), quoted(record.textAt(Packet::MotdAt, Packet::MotdChars)));
    case Packet::LogonRejected:
        return QStringLiteral("LogonRejected");
    case Packet::PlayerAdded:
    case Packet::PlayerRemoved:
        return playerNotice(record);
    case Packet::KeepAlive:
        return QStringLiteral("KeepAlive (the server's echo)");
    case Packet::PlayerCrashed:
        return QStringLiteral("PlayerCrashed: server ID %1, %2")
            .arg(QString::number(record.SenderID()), quoted(record.textAt(Packet::CrashMessageAt, Packet::CrashMessageChars)));
    default:
        return QStringLiteral("%1 from server ID %2 (class %3)")
            .arg(Packet::typeName(record.PacketType()), QString::number(record.SenderID()),
                 QString::number(record.PacketClass()));
    }
}

} // namespace RecordText
