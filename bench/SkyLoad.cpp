#include "SkyLoad.h"

#include "BenchRecords.h"
#include "LoadDriver.h"
#include "Packet.h"

#include <QString>

#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <ctime>
#include <linux/sock_diag.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint32 IdsPerNode = 16'777'216;
constexpr qint64 KeepAliveIntervalNs = 2'000'000'000;
constexpr qint64 ReadIntervalNs = 5'000'000;

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

qint64 wallNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

qint32 int32At(const char *bytes, int offset)
{
    return qint32(quint32(quint8(bytes[offset])) | quint32(quint8(bytes[offset + 1])) << 8
                  | quint32(quint8(bytes[offset + 2])) << 16 | quint32(quint8(bytes[offset + 3])) << 24);
}

} // namespace

double SkyLoad::Delivery::lossPercent() const
{
    return expected > 0 ? 100.0 * (1.0 - double(latencies.count()) / double(expected)) : 0.0;
}

SkyLoad::SkyLoad(const std::vector<quint16> &nodePorts, int rate)
    : m_pilotsOn(nodePorts.size(), 0), m_intervalNs(1'000'000'000 / qMax(1, rate)),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_receivedOn(nodePorts.size(), 0)
{
    for (const quint16 port : nodePorts) {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        m_nodes.push_back(address);
    }
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

SkyLoad::~SkyLoad()
{
    for (const Pilot &pilot : m_pilots)
        ::close(pilot.fd);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool SkyLoad::addPilots(int count, quint16 replyPort)
{
    for (int i = 0; i < count; ++i) {
        Pilot pilot;
        pilot.node = i % int(m_nodes.size());
        pilot.fd = LoadDriver::pilotSocket(i, replyPort);
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = quint64(i);
        if (pilot.fd < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, pilot.fd, &event) != 0) {
            if (pilot.fd >= 0)
                ::close(pilot.fd);
            return false;
        }
        ++m_pilotsOn[size_t(pilot.node)];
        m_pilots.push_back(pilot);
    }
    return true;
}

bool SkyLoad::logOn()
{
    const qint64 deadline = steadyNs() + 30'000'000'000;
    qint64 nextAsk = 0;
    const auto allIn = [this] {
        return std::all_of(m_pilots.begin(), m_pilots.end(), [](const Pilot &pilot) { return pilot.serverID != 0; });
    };
    while (steadyNs() < deadline && !allIn()) {
        if (steadyNs() >= nextAsk) {
            for (size_t i = 0; i < m_pilots.size(); ++i) {
                if (m_pilots[i].serverID == 0)
                    send(m_pilots[i], BenchRecords::logonRequest(qint32(i + 1), qint32(i + 1001),
                                                                 QStringLiteral("Pilot%1").arg(i + 1)));
            }
            nextAsk = steadyNs() + 1'000'000'000;
        }
        receive(50'000'000);
    }
    return allIn();
}

void SkyLoad::sendAircraftDetails()
{
    for (const Pilot &pilot : m_pilots)
        send(pilot, BenchRecords::flightRecord(Packet::AircraftDetails, pilot.serverID, 0, 0));
}

void SkyLoad::fly(qint64 ns, qint64 tailNs)
{
    const qint64 start = steadyNs();
    for (size_t i = 0; i < m_pilots.size(); ++i) {
        m_pilots[i].nextFlightNs = start + m_intervalNs * qint64(i) / qint64(m_pilots.size());
        m_pilots[i].nextKeepAliveNs = start + KeepAliveIntervalNs * qint64(i) / qint64(m_pilots.size());
    }
    m_countFromNs = wallNs();
    m_countToNs = m_countFromNs + ns;
    m_flying = true;
    for (qint64 now = steadyNs(); now < start + ns + tailNs; now = steadyNs()) {
        m_flying = now < start + ns;
        sendDue(now);
        receive(0);
        const timespec pause{0, long(ReadIntervalNs / 5)};
        ::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
}

void SkyLoad::send(const Pilot &pilot, const QByteArray &record)
{
    const sockaddr_in &to = m_nodes[size_t(pilot.node)];
    ::sendto(pilot.fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void SkyLoad::sendDue(qint64 now)
{
    for (Pilot &pilot : m_pilots) {
        if (m_flying && now >= pilot.nextFlightNs) {
            const qint64 at = wallNs();
            send(pilot, BenchRecords::flightRecord(Packet::FlightData, pilot.serverID, ++m_sequence, at));
            if (at >= m_countFromNs && at < m_countToNs) {
                m_same.expected += m_pilotsOn[size_t(pilot.node)] - 1;
                m_cross.expected += qint64(m_pilots.size()) - m_pilotsOn[size_t(pilot.node)];
            }
            pilot.nextFlightNs += m_intervalNs;
        }
        if (now >= pilot.nextKeepAliveNs) {
            send(pilot, BenchRecords::keepAlive(pilot.serverID));
            pilot.nextKeepAliveNs += KeepAliveIntervalNs;
        }
    }
}

void SkyLoad::receive(qint64 timeoutNs)
{
    std::array<epoll_event, 256> ready {};
    const timespec timeout{time_t(timeoutNs / 1'000'000'000), long(timeoutNs % 1'000'000'000)};
    const int count = ::epoll_pwait2(m_epoll, ready.data(), int(ready.size()), &timeout, nullptr);
    for (int r = 0; r < count; ++r) {
        Pilot &pilot = m_pilots[size_t(ready[size_t(r)].data.u64)];
        for (int got = ReceiveBatch::Size; got == ReceiveBatch::Size;) {
            got = m_batch.receive(pilot.fd);
            for (int k = 0; k < got; ++k)
                onDatagram(pilot, m_batch.datagram(k));
        }
    }
}

int SkyLoad::nodeOfServerId(qint32 serverID) const
{
    return qBound(0, serverID / IdsPerNode - 1, int(m_nodes.size()) - 1);
}

void SkyLoad::onDatagram(Pilot &pilot, const ReceiveBatch::Datagram &datagram)
{
    if (datagram.size < 28)
        return;
    const qint32 type = int32At(datagram.data, Packet::PacketTypeAt);
    if (type == Packet::LogonAccepted && pilot.serverID == 0)
        pilot.serverID = int32At(datagram.data, Packet::PlayerIDAt);
    if (type != Packet::FlightData || int32At(datagram.data, Packet::PacketClassAt) != Packet::FlightClass)
        return;
    const qint64 sentAt = BenchRecords::sentAtNs(datagram.data);
    if (sentAt < m_countFromNs || sentAt >= m_countToNs)
        return;
    const bool same = nodeOfServerId(int32At(datagram.data, Packet::SenderIDAt)) == pilot.node;
    (same ? m_same : m_cross).latencies.add(datagram.arrivalNs - sentAt);
    ++m_receivedOn[size_t(pilot.node)];
}

qint64 SkyLoad::receiveDrops() const
{
    qint64 drops = 0;
    for (const Pilot &pilot : m_pilots) {
        std::array<quint32, SK_MEMINFO_VARS> memory {};
        socklen_t length = sizeof memory;
        if (::getsockopt(pilot.fd, SOL_SOCKET, SO_MEMINFO, memory.data(), &length) == 0 && length > SK_MEMINFO_DROPS * 4)
            drops += memory[SK_MEMINFO_DROPS];
    }
    return drops;
}
