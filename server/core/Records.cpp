#include "Records.h"

namespace Records {
namespace {

Packet playerNotice(qint32 type, qint32 playerID, const QString &handle)
{
    Packet packet;
    packet.setHeader(Packet::ControlClass, type);
    packet.setInt32At(Packet::PlayerIDAt, playerID);
    packet.setTextAt(Packet::PlayerHandleAt, Packet::HandleChars, handle);
    return packet;
}

} // namespace

LogonRequestFields readLogonRequest(const Packet &packet)
{
    return {packet.int32At(Packet::PilotIDAt), packet.int32At(Packet::PasswordAt),
            packet.textAt(Packet::PilotHandleAt, Packet::HandleChars)};
}

Packet logonAccepted(qint32 playerID, const QString &motd)
{
    Packet packet;
    packet.setHeader(Packet::ControlClass, Packet::LogonAccepted);
    packet.setInt32At(Packet::PlayerIDAt, playerID);
    packet.setTextAt(Packet::MotdAt, Packet::MotdChars, motd);
    return packet;
}

Packet logonRejected(qint32 lastServerID)
{
    Packet packet;
    packet.setHeader(Packet::ControlClass, Packet::LogonRejected);
    packet.setInt32At(Packet::PlayerIDAt, lastServerID);
    return packet;
}

Packet playerAdded(qint32 playerID, const QString &handle)
{
    return playerNotice(Packet::PlayerAdded, playerID, handle);
}

Packet playerRemoved(qint32 playerID, const QString &handle)
{
    return playerNotice(Packet::PlayerRemoved, playerID, handle);
}

Packet keepAliveEcho()
{
    Packet packet;
    packet.setHeader(Packet::ControlClass, Packet::KeepAlive);
    return packet;
}

Packet logonRequest(qint32 pilotID, qint32 password, const QString &handle)
{
    Packet packet;
    packet.setHeader(Packet::ControlClass, Packet::LogonRequest);
    packet.setInt32At(Packet::PilotIDAt, pilotID);
    packet.setInt32At(Packet::PasswordAt, password);
    packet.setTextAt(Packet::PilotHandleAt, Packet::HandleChars, handle);
    return packet;
}

Packet keepAlive(qint32 serverID)
{
    Packet packet;
    packet.setHeader(Packet::ControlClass, Packet::KeepAlive, serverID);
    return packet;
}

Packet crashNoticeWithText(const QString &crashMessage)
{
    Packet packet;
    packet.setTextAt(Packet::CrashMessageAt, Packet::CrashMessageChars, crashMessage);
    return packet;
}

void addressCrashNotice(Packet &notice, qint32 crashedPlayerID)
{
    notice.setHeader(Packet::ControlClass, Packet::PlayerCrashed, crashedPlayerID);
}

} // namespace Records
