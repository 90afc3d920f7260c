// The whole receive path of an in-memory server, driven by the fuzzer's
// input, in either reply mode: datagrams of 0 to 1500 bytes from a few
// senders (IPv4 and IPv6, several ports, a link-local one) through a small
// arrival queue, read failures, clock advances,
// sweep ticks, socket closes and arrivals nested inside the yields that
// follow every send. After every step the run's state must be sound.
#include "CoreHarness.h"
#include "HeartbeatSweep.h"
#include "ReceivePath.h"

#include <QBuffer>
#include <QSet>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cerrno>

namespace {

constexpr int MaxDatagram = 1500;
constexpr int MaxNesting = 3;
constexpr int MaxSteps = 64;

const qint32 kTypes[] = {Packet::LogonRequest,    Packet::LogonAccepted, Packet::KeepAlive,
                         Packet::AircraftDetails, Packet::QueryPlaneType, Packet::PlayerCrashed,
                         Packet::FlightData,      Packet::ChatMessage,    Packet::PlayerRemoved};

void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

class FuzzedRun;

class FuzzedYield : public Yield
{
public:
    void yield() override;
    FuzzedRun *run = nullptr;
};

class FuzzedRun
{
public:
    explicit FuzzedRun(FuzzedDataProvider &input, const std::string &usersIni)
        : m_input(input), m_context(m_clock, m_sender, m_yield),
          m_receive(m_context, m_arrivals, [this] { ++m_raised; })
    {
        m_yield.run = this;
        m_context.DebugOn = true;
        m_context.DebugLowLevelOn = true;
        m_context.MessageOfTheDay = QStringLiteral("Welcome");
        m_context.setCrashText(QStringLiteral("stacked his crate!!"));
        m_context.UsersIni.FileName(usersIni);
        m_context.ReplyToSourcePort = m_input.ConsumeBool();
        auto log = std::make_unique<QBuffer>(&m_logBytes);
        log->open(QIODevice::WriteOnly);
        m_context.log.open(std::move(log));
    }

    void runAll()
    {
        for (int step = 0; step < MaxSteps && m_input.remaining_bytes() > 0; ++step) {
            runStep();
            checkState();
        }
    }

    // An event inside a yield: most yields let nothing happen.
    void onYield()
    {
        if (m_depth >= MaxNesting || m_input.remaining_bytes() == 0 || m_input.ConsumeIntegralInRange(0, 7) != 0)
            return;
        ++m_depth;
        runStep();
        --m_depth;
    }

private:
    Endpoint senderAddress()
    {
        static const Endpoint senders[] = {
            endpointOf(QStringLiteral("127.0.0.2:1501")),      endpointOf(QStringLiteral("127.0.0.2:40000")),
            endpointOf(QStringLiteral("127.0.0.3:1501")),      endpointOf(QStringLiteral("127.0.0.4:0")),
            endpointOf(QStringLiteral("[2001:db8::1]:1501")),  endpointOf(QStringLiteral("[2001:db8::2]:40000")),
            endpointOf(QStringLiteral("[fe80::1]:1501"))};
        return senders[m_input.ConsumeIntegralInRange<size_t>(0, std::size(senders) - 1)];
    }

    QByteArray datagram()
    {
        const int shape = m_input.ConsumeIntegralInRange(0, 3);
        if (shape == 0) {
            const std::string raw = m_input.ConsumeRandomLengthString(MaxDatagram);
            return QByteArray(raw.data(), qsizetype(raw.size()));
        }
        if (shape == 1) {
            const qint32 pilot = m_input.ConsumeIntegralInRange(1, 5);
            const qint32 password = m_input.ConsumeBool() ? pilot * 11 : m_input.ConsumeIntegral<qint32>();
            const std::string handle = m_input.ConsumeRandomLengthString(24);
            return ClientRecords::logonRequest(pilot, password, QString::fromUtf8(handle.data(), qsizetype(handle.size())));
        }
        Packet packet;
        const qint32 type = kTypes[m_input.ConsumeIntegralInRange<size_t>(0, std::size(kTypes) - 1)];
        const qint32 packetClass = type >= Packet::AircraftDetails ? Packet::FlightClass : Packet::ControlClass;
        packet.setHeader(packetClass, type, m_input.ConsumeIntegralInRange(0, m_context.LastServerID + 1));
        const std::string body = m_input.ConsumeBytesAsString(Packet::Size - 16);
        QByteArray bytes = packet.bytes().left(16) + QByteArray(body.data(), qsizetype(body.size()));
        if (shape == 3)
            bytes.resize(m_input.ConsumeIntegralInRange(0, MaxDatagram), '\0');
        return bytes;
    }

    void runStep()
    {
        switch (m_input.ConsumeIntegralInRange(0, 9)) {
        case 0:
            m_clock.advance(m_input.ConsumeIntegralInRange(0, 300));
            break;
        case 1:
            HeartbeatSweep::onSweepTick(m_context);
            break;
        case 2:
            HeartbeatSweep::onSocketClosed(m_context);
            break;
        case 3: // an arrival raised again by an earlier burst
            if (m_raised > 0) {
                --m_raised;
                m_receive.onDataArrival();
            }
            break;
        case 4: // a read that failed
            m_arrivals.pushReadFailure(ECONNRESET);
            break;
        default: {
            const QByteArray bytes = datagram();
            m_clock.arrivalNowNs += m_input.ConsumeIntegralInRange<qint64>(0, 400'000'000);
            m_arrivals.push(bytes.constData(), bytes.size(), senderAddress(),
                            m_clock.arrivalNowNs - m_input.ConsumeIntegralInRange<qint64>(0, 400'000'000));
            if (m_input.ConsumeBool())
                m_receive.onDataArrival();
        }
        }
    }

    void checkState()
    {
        if (m_depth == 0 && !m_context.ReceiveReady)
            fail("ReceiveReady left false");
        for (const SentRecord &record : m_sender.sent) {
            if (record.bytes.size() != Packet::Size)
                fail("a datagram sent that is not 128 bytes");
        }
        m_sender.sent.clear();
        for (const QByteArray &line : m_logBytes.split('\n')) {
            if (line.indexOf('\r') >= 0 && line.indexOf('\r') != line.size() - 1)
                fail("a log line broken by text from the network");
        }
        checkRegistry();
    }

    void checkRegistry()
    {
        const Players &players = m_context.players;
        QSet<QString> keys;
        QSet<qint32> ids;
        int walked = 0;
        players.forEach([&](const PlayerPtr &player) {
            ++walked;
            if (!players.isRegistered(player) || players.item(player->Key) != player)
                fail("a walked player cannot be found by its key");
            if (players.item(walked) != player)
                fail("a walked player is not at its position");
            const qint32 id = player->serverId;
            if (id <= 0 || id > m_context.LastServerID || ids.contains(id))
                fail("server IDs not unique or not handed out");
            ids.insert(id);
            const QString folded = player->Key.toCaseFolded();
            if (keys.contains(folded))
                fail("two players under one key");
            keys.insert(folded);
            if (players.senderAt(id, player->endpoint) != player)
                fail("a player does not own its own records");
            if (player->endpoint.isLinkLocal() || (m_context.ReplyToSourcePort && player->endpoint.port() == 0)
                || (!m_context.ReplyToSourcePort && player->endpoint.port() != m_context.ClientConnectPort))
                fail("a player registered at an endpoint that cannot be answered");
        });
        if (walked != players.count())
            fail("a walk does not visit every player once");
    }

    FuzzedDataProvider &m_input;
    FakeClock m_clock;
    RecordingSender m_sender;
    FuzzedYield m_yield;
    ServerContext m_context;
    ArrivalQueue m_arrivals{64};
    ReceivePath m_receive;
    int m_raised = 0;
    QByteArray m_logBytes;
    int m_depth = 0;
};

void FuzzedYield::yield()
{
    run->onYield();
}

// Accounts 1 to 5 with passwords 11, 22, ...: one file for the whole run.
const std::string &usersIni()
{
    static QTemporaryDir dir;
    static const std::string path = [] {
        INIFiles accounts;
        accounts.FileName(dir.filePath(QStringLiteral("user.ini")).toStdString());
        for (int pilot = 1; pilot <= 5; ++pilot) {
            accounts.WriteINI(pilot, "Pwd", pilot * 11);
            accounts.WriteINI(pilot, "Name", "Pilot " + std::to_string(pilot));
        }
        return accounts.FileName();
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    FuzzedRun run(input, usersIni());
    run.runAll();
    return 0;
}
