#include "LoadDriver.h"

#include "BenchRecords.h"
#include "Packet.h"

#include <QString>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 BucketNs = 100'000'000;

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 largestOf(const std::vector<qint64> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

sockaddr_in addressOf(const char *host, quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

} // namespace

int LoadDriver::boundSocket(const char *host, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in address = addressOf(host, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int size = 4 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

quint16 LoadDriver::freePort(const char *host)
{
    const int fd = boundSocket(host, 0);
    sockaddr_in address {};
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

double LoadDriver::Window::lossPercent() const
{
    return expected > 0 ? 100.0 * (1.0 - double(delivered) / double(expected)) : 0.0;
}

double LoadDriver::Window::percentileUs(double share) const
{
    if (latenciesNs.empty())
        return 0;
    return double(latenciesNs[size_t(share * double(latenciesNs.size() - 1))]) / 1000.0;
}

double LoadDriver::Window::laterThanPercent(qint64 ns) const
{
    if (latenciesNs.empty())
        return 0;
    const auto late = latenciesNs.end() - std::upper_bound(latenciesNs.begin(), latenciesNs.end(), ns);
    return 100.0 * double(late) / double(latenciesNs.size());
}

LoadDriver::LoadDriver(quint16 serverPort, int rate)
    : m_server(addressOf("127.0.0.1", serverPort)), m_intervalNs(1'000'000'000 / qMax(1, rate))
{
}

LoadDriver::~LoadDriver()
{
    for (const Pilot &pilot : m_pilots)
        ::close(pilot.fd);
}

bool LoadDriver::addPilots(int count, quint16 replyPort)
{
    for (int n = 0; n < count; ++n) {
        const int i = int(m_pilots.size());
        Pilot pilot;
        pilot.fd = boundSocket(QStringLiteral("127.0.%1.%2").arg(i / 250).arg(2 + i % 250).toLatin1().constData(),
                               replyPort);
        if (pilot.fd < 0)
            return false;
        m_pilots.push_back(pilot);
        m_pollFds.push_back({pilot.fd, POLLIN, 0});
    }
    return true;
}

bool LoadDriver::allLoggedOn(int first, int count) const
{
    return std::all_of(m_pilots.begin() + first, m_pilots.begin() + first + count,
                       [](const Pilot &pilot) { return pilot.serverID != 0; });
}

bool LoadDriver::logOn(int first, int count)
{
    // Asked again every second: a server still starting up (under a
    // profiler, say) has not bound its port yet.
    const qint64 deadline = steadyNs() + 30'000'000'000;
    qint64 nextAsk = 0;
    while (steadyNs() < deadline && !allLoggedOn(first, count)) {
        if (steadyNs() >= nextAsk) {
            for (int i = first; i < first + count; ++i) {
                if (m_pilots[size_t(i)].serverID == 0)
                    send(m_pilots[size_t(i)], BenchRecords::logonRequest(i + 1, i + 1001, QStringLiteral("Pilot%1").arg(i + 1)));
            }
            nextAsk = steadyNs() + 1'000'000'000;
        }
        receive(50);
    }
    for (int i = first; i < first + count; ++i) {
        m_counted += m_pilots[size_t(i)].counted ? 0 : 1;
        m_pilots[size_t(i)].counted = true;
    }
    return allLoggedOn(first, count);
}

void LoadDriver::requestLogons(int first, int count)
{
    for (int i = first; i < first + count; ++i) {
        m_pilots[size_t(i)].logonSentAt = wallNow();
        send(m_pilots[size_t(i)], BenchRecords::logonRequest(i + 1, i + 1001, QStringLiteral("Pilot%1").arg(i + 1)));
    }
}

void LoadDriver::sendToAll(qint32 type)
{
    for (const Pilot &pilot : m_pilots) {
        if (pilot.serverID != 0)
            send(pilot, BenchRecords::flightRecord(type, pilot.serverID, 0, 0));
    }
}

void LoadDriver::setFlying(int first, int count, bool flying)
{
    const qint64 now = steadyNs();
    for (int i = first; i < first + count; ++i) {
        Pilot &pilot = m_pilots[size_t(i)];
        if (flying && !pilot.flying) {
            pilot.nextFlightNs = now + m_intervalNs * (i - first) / count;
            pilot.nextKeepAliveNs = now + KeepAliveIntervalNs * (i - first) / count;
        }
        pilot.flying = flying;
    }
    m_nextDueNs = now;
}

qint64 LoadDriver::wallNow() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void LoadDriver::runFor(qint64 ns)
{
    const qint64 end = steadyNs() + ns;
    while (steadyNs() < end) {
        sendDue();
        receive(int(std::clamp<qint64>((m_nextDueNs - steadyNs()) / 1'000'000, 0, 10)));
    }
}

void LoadDriver::send(const Pilot &pilot, const QByteArray &record)
{
    ::sendto(pilot.fd, record.constData(), size_t(record.size()), 0, reinterpret_cast<const sockaddr *>(&m_server),
             sizeof m_server);
}

void LoadDriver::sendDue()
{
    const qint64 now = steadyNs();
    if (now < m_nextDueNs)
        return;
    qint64 nextDue = now + m_intervalNs;
    for (Pilot &pilot : m_pilots) {
        if (pilot.serverID == 0)
            continue;
        if (pilot.flying && now >= pilot.nextFlightNs) {
            const qint64 at = wallNow();
            send(pilot, BenchRecords::flightRecord(Packet::FlightData, pilot.serverID, ++m_sequence, at));
            m_sent.push_back({at, m_counted - (pilot.counted ? 1 : 0)});
            pilot.nextFlightNs += m_intervalNs;
        }
        if (m_keepingAlive && pilot.flying && now >= pilot.nextKeepAliveNs) {
            pilot.keepAliveSentAt = wallNow();
            send(pilot, BenchRecords::keepAlive(pilot.serverID));
            ++m_keepAlivesSent;
            pilot.nextKeepAliveNs += KeepAliveIntervalNs;
        }
        if (pilot.flying)
            nextDue = std::min({nextDue, pilot.nextFlightNs, pilot.nextKeepAliveNs});
    }
    m_nextDueNs = nextDue;
}

// Reads what waits on every pilot's socket, a batch at a time, and sends
// what falls due in between: a busy reader must not hold the pilots back.
void LoadDriver::receive(int timeoutMs)
{
    std::vector<pollfd> &fds = m_pollFds;
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
        return;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN))
            continue;
        for (int got = ReceiveBatch::Size; got == ReceiveBatch::Size;) {
            got = m_batch.receive(fds[i].fd);
            for (int k = 0; k < got; ++k)
                onDatagram(m_pilots[i], m_batch.datagram(k));
            sendDue();
        }
    }
}

void LoadDriver::onDatagram(Pilot &pilot, const ReceiveBatch::Datagram &datagram)
{
    if (datagram.size < 28)
        return;
    const QByteArray bytes = QByteArray::fromRawData(datagram.data, datagram.size);
    const Packet packet = Packet::fromDatagram(bytes);
    switch (packet.PacketType()) {
    case Packet::LogonAccepted:
        if (pilot.serverID == 0)
            pilot.serverID = packet.int32At(Packet::PlayerIDAt);
        if (pilot.logonSentAt != 0)
            m_logonLatenciesNs.push_back(datagram.arrivalNs - pilot.logonSentAt);
        pilot.logonSentAt = 0;
        break;
    case Packet::FlightData:
        if (pilot.counted)
            m_deliveries.emplace_back(BenchRecords::sentAtNs(bytes), datagram.arrivalNs);
        break;
    case Packet::KeepAlive:
        if (pilot.keepAliveSentAt != 0)
            m_keepAliveLatenciesNs.push_back(datagram.arrivalNs - pilot.keepAliveSentAt);
        pilot.keepAliveSentAt = 0;
        break;
    case Packet::PlayerAdded:
        m_playersAdded.emplace(int(&pilot - m_pilots.data()), packet.int32At(Packet::PlayerIDAt));
        break;
    case Packet::PlayerRemoved:
        ++m_playersRemoved;
        break;
    default:
        break;
    }
}

LoadDriver::Window LoadDriver::window(qint64 fromWallNs, qint64 toWallNs) const
{
    Window window;
    for (const Sent &sent : m_sent) {
        if (sent.atWallNs >= fromWallNs && sent.atWallNs < toWallNs)
            window.expected += sent.recipients;
    }
    for (const auto &[sentAt, arrival] : m_deliveries) {
        if (sentAt >= fromWallNs && sentAt < toWallNs)
            window.latenciesNs.push_back(arrival - sentAt);
    }
    window.delivered = qint64(window.latenciesNs.size());
    std::sort(window.latenciesNs.begin(), window.latenciesNs.end());
    return window;
}

qint64 LoadDriver::cleanFrom(qint64 fromWallNs, qint64 toWallNs) const
{
    const qint64 buckets = qMax<qint64>(0, (toWallNs - fromWallNs) / BucketNs);
    std::vector<qint64> expected(size_t(buckets), 0);
    std::vector<qint64> delivered(size_t(buckets), 0);
    const auto bucketOf = [&](qint64 at) { return at >= fromWallNs ? (at - fromWallNs) / BucketNs : -1; };
    for (const Sent &sent : m_sent) {
        const qint64 b = bucketOf(sent.atWallNs);
        if (b >= 0 && b < buckets)
            expected[size_t(b)] += sent.recipients;
    }
    for (const auto &delivery : m_deliveries) {
        const qint64 b = bucketOf(delivery.first);
        if (b >= 0 && b < buckets)
            ++delivered[size_t(b)];
    }
    qint64 clean = buckets;
    while (clean > 0 && delivered[size_t(clean - 1)] >= expected[size_t(clean - 1)])
        --clean;
    return clean == buckets ? -1 : fromWallNs + clean * BucketNs;
}

void LoadDriver::clearRecords()
{
    m_sent.clear();
    m_deliveries.clear();
    m_keepAliveLatenciesNs.clear();
    m_keepAlivesSent = 0;
    m_logonLatenciesNs.clear();
    m_playersAdded.clear();
    m_playersRemoved = 0;
}

qint64 LoadDriver::largestKeepAliveEchoNs() const
{
    return largestOf(m_keepAliveLatenciesNs);
}

qint64 LoadDriver::largestLogonAnswerNs() const
{
    return largestOf(m_logonLatenciesNs);
}

qint64 LoadDriver::logonsUnanswered() const
{
    return std::count_if(m_pilots.begin(), m_pilots.end(), [](const Pilot &pilot) { return pilot.logonSentAt != 0; });
}
