#include "LoadDriver.h"

#include "BenchRecords.h"
#include "Packet.h"

#include <QString>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <ctime>
#include <linux/sock_diag.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 StepNs = 100'000'000;
constexpr qint64 LargestStep = 36'000; // an hour
constexpr qint64 ReadIntervalNs = 5'000'000;

qint32 int32At(const char *bytes, int offset)
{
    return qint32(quint32(quint8(bytes[offset])) | quint32(quint8(bytes[offset + 1])) << 8
                  | quint32(quint8(bytes[offset + 2])) << 16 | quint32(quint8(bytes[offset + 3])) << 24);
}

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

double LoadDriver::Window::relaysPerSecond() const
{
    return spanNs > 0 ? double(delivered) * 1e9 / double(spanNs) : 0.0;
}

double LoadDriver::Window::percentileUs(double share) const
{
    return double(latencies.percentileNs(share)) / 1000.0;
}

double LoadDriver::Window::laterThanPercent(qint64 ns) const
{
    if (latencies.count() == 0)
        return 0;
    return 100.0 * double(latencies.countLongerThan(ns)) / double(latencies.count());
}

LoadDriver::LoadDriver(quint16 serverPort, int rate)
    : m_server(addressOf("127.0.0.1", serverPort)), m_intervalNs(1'000'000'000 / qMax(1, rate)),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_originNs(wallNow())
{
    // Sends on time to the microsecond, as independent clients' would be,
    // rather than gathered into the default 50 us of wake-up slack.
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

LoadDriver::~LoadDriver()
{
    for (const Pilot &pilot : m_pilots)
        ::close(pilot.fd);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

int LoadDriver::pilotSocket(int index, quint16 replyPort)
{
    const QByteArray host = QStringLiteral("127.0.%1.%2").arg(QString::number(index / 250), QString::number(2 + index % 250)).toLatin1();
    return boundSocket(host.constData(), replyPort);
}

bool LoadDriver::addPilots(int count, quint16 replyPort)
{
    for (int n = 0; n < count; ++n) {
        const int i = int(m_pilots.size());
        Pilot pilot;
        pilot.fd = pilotSocket(i, replyPort);
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = quint64(i);
        if (pilot.fd < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, pilot.fd, &event) != 0) {
            if (pilot.fd >= 0)
                ::close(pilot.fd);
            return false;
        }
        m_pilots.push_back(pilot);
    }
    m_ready.resize(m_pilots.size());
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
        receive(50'000'000);
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

// Reads every ReadIntervalNs and sleeps in between: each read then takes
// several datagrams from a socket in one call, and the relay's sends find
// no reader waiting to be woken. The latencies come from the kernel's
// receive stamps, so reading late does not count.
void LoadDriver::runFor(qint64 ns)
{
    const qint64 end = steadyNs() + ns;
    qint64 nextRead = 0;
    for (qint64 now = steadyNs(); now < end; now = steadyNs()) {
        sendDue();
        if (now >= nextRead) {
            receive(0);
            nextRead = now + ReadIntervalNs;
        }
        const qint64 wake = std::min({m_nextDueNs, nextRead, end});
        const timespec at{time_t(wake / 1'000'000'000), long(wake % 1'000'000'000)};
        if (wake > steadyNs())
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
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
            if (Step *step = stepOf(at))
                step->expected += m_counted - (pilot.counted ? 1 : 0);
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

// Waits up to `timeoutNs` for a pilot's socket to be ready, then reads what
// waits on every ready one, a batch at a time, and sends what falls due in
// between: a busy reader must not hold the pilots back.
void LoadDriver::receive(qint64 timeoutNs)
{
    const timespec timeout{time_t(timeoutNs / 1'000'000'000), long(timeoutNs % 1'000'000'000)};
    const int ready = ::epoll_pwait2(m_epoll, m_ready.data(), int(m_ready.size()), &timeout, nullptr);
    for (int r = 0; r < ready; ++r) {
        Pilot &pilot = m_pilots[size_t(m_ready[size_t(r)].data.u64)];
        for (int got = ReceiveBatch::Size; got == ReceiveBatch::Size;) {
            got = m_batch.receive(pilot.fd);
            for (int k = 0; k < got; ++k)
                onDatagram(pilot, m_batch.datagram(k));
            sendDue();
        }
    }
}

LoadDriver::Step *LoadDriver::stepOf(qint64 sentAtWallNs)
{
    const qint64 index = (sentAtWallNs - m_originNs) / StepNs;
    if (sentAtWallNs < m_originNs || index > LargestStep)
        return nullptr;
    if (size_t(index) >= m_steps.size())
        m_steps.resize(size_t(index) + 1);
    return &m_steps[size_t(index)];
}

std::pair<size_t, size_t> LoadDriver::stepsWithin(qint64 fromWallNs, qint64 toWallNs) const
{
    // Step i's middle is m_originNs + i x StepNs + StepNs / 2.
    const auto firstFrom = [&](qint64 at) {
        const qint64 offset = at - m_originNs - StepNs / 2;
        return size_t(std::clamp<qint64>(offset <= 0 ? 0 : (offset + StepNs - 1) / StepNs, 0, qint64(m_steps.size())));
    };
    const size_t first = firstFrom(fromWallNs);
    return {first, std::max(first, firstFrom(toWallNs))};
}

void LoadDriver::onDatagram(Pilot &pilot, const ReceiveBatch::Datagram &datagram)
{
    if (datagram.size < 28)
        return;
    // The relayed flight records are nearly all of the load: counted
    // straight from the bytes.
    if (int32At(datagram.data, Packet::PacketTypeAt) == Packet::FlightData
        && int32At(datagram.data, Packet::PacketClassAt) == Packet::FlightClass) {
        const qint64 sentAt = BenchRecords::sentAtNs(datagram.data);
        if (Step *step = pilot.counted ? stepOf(sentAt) : nullptr)
            step->latencies.add(datagram.arrivalNs - sentAt);
        return;
    }
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
    const auto [first, last] = stepsWithin(fromWallNs, toWallNs);
    for (size_t i = first; i < last; ++i) {
        window.expected += m_steps[i].expected;
        window.latencies.merge(m_steps[i].latencies);
    }
    window.delivered = window.latencies.count();
    window.spanNs = qint64(last - first) * StepNs;
    return window;
}

qint64 LoadDriver::cleanFrom(qint64 fromWallNs, qint64 toWallNs) const
{
    const auto [first, last] = stepsWithin(fromWallNs, toWallNs);
    size_t clean = last;
    while (clean > first && m_steps[clean - 1].latencies.count() >= m_steps[clean - 1].expected)
        --clean;
    return clean == last ? -1 : std::max(fromWallNs, m_originNs + qint64(clean) * StepNs);
}

void LoadDriver::clearRecords()
{
    m_originNs = wallNow();
    m_steps.clear();
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

qint64 LoadDriver::keepAliveEchoPercentileNs(double share) const
{
    if (m_keepAliveLatenciesNs.empty())
        return 0;
    std::vector<qint64> sorted = m_keepAliveLatenciesNs;
    const auto at = sorted.begin() + qBound<qsizetype>(0, qsizetype(share * double(sorted.size())), sorted.size() - 1);
    std::nth_element(sorted.begin(), at, sorted.end());
    return *at;
}

qint64 LoadDriver::largestLogonAnswerNs() const
{
    return largestOf(m_logonLatenciesNs);
}

qint64 LoadDriver::receiveDrops() const
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

qint64 LoadDriver::logonsUnanswered() const
{
    return std::count_if(m_pilots.begin(), m_pilots.end(), [](const Pilot &pilot) { return pilot.logonSentAt != 0; });
}
