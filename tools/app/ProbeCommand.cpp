#include "ProbeCommand.h"

#include "NetworkText.h"
#include "RecordText.h"
#include "Records.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <optional>

namespace ProbeCommand {
namespace {

// A literal address as it stands; for a name its first IPv4 address, else
// its first IPv6 address.
QHostAddress resolve(const QString &host)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal;
    const QList<QHostAddress> addresses = QHostInfo::fromName(host).addresses();
    for (const auto protocol : {QAbstractSocket::IPv4Protocol, QAbstractSocket::IPv6Protocol}) {
        for (const QHostAddress &address : addresses) {
            if (address.protocol() == protocol)
                return address;
        }
    }
    return {};
}

// Every record that arrives before the deadline, handed to `take`; stops
// early when `take` returns false.
template<typename Take>
void receiveUntil(QUdpSocket &socket, const QDeadlineTimer &deadline, Take &&take)
{
    while (!deadline.hasExpired()) {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            continue;
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            if (!take(Packet::fromDatagram(datagram.data())))
                return;
        }
    }
}

QString noAnswerHint(const Options &options)
{
    return QStringLiteral(
               "Nothing answered from %1 within %2 s. Check that:\n"
               "  - the server is running there (ventoro status on the server);\n"
               "  - a firewall on the server lets UDP port %3 in, and a router in front of it forwards UDP port %3 "
               "to it (\"ConnectPort\");\n"
               "  - the answers can reach this machine: the server sends them to UDP port %4 of the address it sees "
               "(\"ClientConnectPort\"), so a firewall here must let UDP port %4 in, and a router in front of this "
               "machine must forward UDP port %4 to it. A server set to answer at the port a pilot sends from "
               "(\"ReplyToSourcePort=1\") needs no forwarding here.\n")
        .arg(options.host)
        .arg(options.waitSeconds)
        .arg(options.port)
        .arg(options.replyPort);
}

// The server ID, the message of the day, and the players the server tells
// of right after the logon.
void reportAccepted(QUdpSocket &socket, const Packet &accepted, QTextStream &out)
{
    out << "Logon accepted: server ID " << accepted.int32At(Packet::PlayerIDAt) << Qt::endl;
    out << "Message of the day: " << NetworkText::oneLine(accepted.textAt(Packet::MotdAt, Packet::MotdChars)) << Qt::endl;
    receiveUntil(socket, QDeadlineTimer(PlayerListWindowMs), [&](const Packet &record) {
        if (record.PacketType() == Packet::PlayerAdded)
            out << "Player on the server: " << NetworkText::oneLine(record.textAt(Packet::PlayerHandleAt, Packet::HandleChars))
                << " (server ID " << record.int32At(Packet::PlayerIDAt) << ")" << Qt::endl;
        else
            out << RecordText::describe(record) << Qt::endl;
        return true;
    });
}

void stay(QUdpSocket &socket, const Options &options, const QHostAddress &server, qint32 serverId, QTextStream &out)
{
    const QDeadlineTimer end(qint64(options.staySeconds) * 1000);
    while (!end.hasExpired()) {
        socket.writeDatagram(Records::keepAlive(serverId).bytes(), server, options.port);
        QDeadlineTimer slice(qMin<qint64>(KeepAliveIntervalMs, end.remainingTime()));
        receiveUntil(socket, slice, [&](const Packet &record) {
            out << RecordText::describe(record) << Qt::endl;
            return true;
        });
    }
}

} // namespace

int run(const Options &options, QTextStream &out, QTextStream &err)
{
    const QHostAddress server = resolve(options.host);
    if (server.isNull()) {
        err << "Cannot find the address of " << options.host << Qt::endl;
        return CannotRun;
    }
    const bool ipv6 = server.protocol() == QAbstractSocket::IPv6Protocol;
    const QHostAddress local = options.bindAddress.isEmpty() ? QHostAddress(ipv6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4)
                                                             : QHostAddress(options.bindAddress);
    if (local.protocol() != server.protocol()) {
        err << "Cannot reach " << server.toString() << " from \"" << options.bindAddress << "\": give --bind an "
            << (ipv6 ? "IPv6" : "IPv4") << " address of this machine" << Qt::endl;
        return CannotRun;
    }
    QUdpSocket socket;
    if (!socket.bind(local, options.replyPort)) {
        err << "Cannot receive on UDP port " << options.replyPort << " of " << local.toString() << " ("
            << socket.errorString() << "): is a client or another probe using it on this machine?" << Qt::endl;
        return CannotRun;
    }
    socket.writeDatagram(Records::logonRequest(options.pilotId, options.password, options.handle).bytes(), server,
                         options.port);
    std::optional<Packet> answer;
    receiveUntil(socket, QDeadlineTimer(qint64(options.waitSeconds) * 1000), [&](const Packet &record) {
        const bool decides = record.PacketType() == Packet::LogonAccepted || record.PacketType() == Packet::LogonRejected;
        if (decides)
            answer = record;
        return !decides;
    });
    if (!answer) {
        err << noAnswerHint(options);
        return NoAnswer;
    }
    if (answer->PacketType() == Packet::LogonRejected) {
        out << "Logon rejected: the server does not accept pilot ID " << options.pilotId
            << " with that password (or refuses this address for a while after repeated wrong passwords)." << Qt::endl;
        return Rejected;
    }
    const qint32 serverId = answer->int32At(Packet::PlayerIDAt);
    reportAccepted(socket, *answer, out);
    if (options.staySeconds > 0)
        stay(socket, options, server, serverId, out);
    return Accepted;
}

} // namespace ProbeCommand
