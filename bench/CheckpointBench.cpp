#include "CheckpointBench.h"

#include "AtomicFile.h"
#include "RegistryCheckpoint.h"
#include "Seams.h"
#include "ServerContext.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace CheckpointBench {
namespace {

class StillClock : public Clock
{
public:
    QTime timeOfDay() const override { return QTime(12, 0, 0); }
    qint64 monotonicSeconds() const override { return 100000; }
    qint64 wallSeconds() const override { return 1800000000; }
};

class NoSender : public Sender
{
public:
    bool send(const Endpoint &, const Packet &, WhenFull) override { return true; }
};

class NoYield : public Yield
{
public:
    void yield() override {}
};

void fill(ServerContext &context, int players)
{
    for (int i = 0; i < players; ++i) {
        const QString handle = QStringLiteral("Pilot%1").arg(i);
        const PlayerPtr player = context.players.add(handle, Endpoint::fromIpv4(0x0A000000u + quint32(i), 1501));
        player->Handle = handle;
        player->serverId = ++context.LastServerID;
        player->ServerID = QString::number(player->serverId);
        player->PilotID = 1000 + i;
        player->HeartBeat = context.now() - i % 30;
        player->loggedOnAt = context.now() - 600;
        player->SentPlaneType = true;
    }
}

template<typename Step>
double microsecondsPerRound(int rounds, Step &&step)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        step();
    return double(timer.nsecsElapsed()) / 1000.0 / rounds;
}

} // namespace

int run(int players)
{
    StillClock clock;
    NoSender sender;
    NoYield yield;
    ServerContext context(clock, sender, yield);
    fill(context, players);
    const RegistryCheckpoint::Setup setup{1500, 1501, false};
    QByteArray bytes;
    const double encodeUs = microsecondsPerRound(200, [&] {
        bytes = RegistryCheckpoint::encode(RegistryCheckpoint::capture(context, setup, 1800000000000));
    });
    QTemporaryDir dir;
    const std::string path = QFile::encodeName(dir.filePath(QStringLiteral("registry.checkpoint"))).toStdString();
    bool written = true;
    const double writeUs = microsecondsPerRound(50, [&] {
        written = AtomicFile::replaceContents(path, bytes.toStdString(), 0600) && written;
    });
    int restored = 0;
    const double restoreUs = microsecondsPerRound(200, [&] {
        ServerContext fresh(clock, sender, yield);
        const RegistryCheckpoint::Decoded decoded = RegistryCheckpoint::decode(bytes);
        restored = decoded.checkpoint ? RegistryCheckpoint::restore(fresh, *decoded.checkpoint, setup, 1800000001000).players : 0;
    });
    std::printf("checkpoint of %d players: %lld bytes\n", players, static_cast<long long>(bytes.size()));
    std::printf("  take and encode: %.1f us\n", encodeUs);
    std::printf("  write (replaced in one step, flushed to disk) in %s: %.1f us%s\n", qPrintable(dir.path()), writeUs,
                written ? "" : " (a write FAILED)");
    std::printf("  decode and restore: %.1f us (%d players restored)\n", restoreUs, restored);
    return written && restored == players ? 0 : 1;
}

} // namespace CheckpointBench
