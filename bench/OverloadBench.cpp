#include "OverloadBench.h"

#include "LoadDriver.h"
#include "Packet.h"

#include <cstdio>

namespace OverloadBench {
namespace {

constexpr qint64 Second = 1'000'000'000;

double milliseconds(qint64 ns)
{
    return double(ns) / 1e6;
}

int runOnce(const Settings &settings, int pilots)
{
    LoopbackBench::Settings base = settings.base;
    base.relay = LoopbackBench::Settings::Relay::Server;
    LoopbackBench::pinTo(base.driverCpu);
    const int remaining = qMin(settings.remaining, pilots / 4);
    const int everyone = pilots + settings.newcomers;
    LoopbackBench::RelayProcess relay(base, everyone);
    if (!relay.started())
        return 1;
    LoadDriver driver(relay.serverPort(), base.rate);
    if (!driver.addPilots(everyone, relay.replyPort()) || !driver.logOn(0, pilots)) {
        std::fprintf(stderr, "overload: the pilots could not be bound or logged on\n");
        return 1;
    }
    driver.sendToAll(Packet::AircraftDetails);
    driver.runFor(Second / 10);
    driver.clearRecords();

    std::printf("overload: %d pilots at %d Hz for %d s, %d more logging on halfway; then %d of them fly on for %d s "
                "(server on CPU %d, load generator on CPU %d)\n",
                pilots, base.rate, settings.overloadSeconds, settings.newcomers, remaining,
                settings.afterSeconds, base.relayCpu, base.driverCpu);
    const qint64 start = driver.wallNow();
    driver.setFlying(0, pilots, true);
    driver.runFor(settings.overloadSeconds * Second / 2);
    driver.requestLogons(pilots, settings.newcomers);
    driver.runFor(settings.overloadSeconds * Second / 2);
    const qint64 drop = driver.wallNow();
    driver.setFlying(remaining, pilots - remaining, false);
    driver.runFor(settings.afterSeconds * Second);
    const qint64 end = driver.wallNow();
    driver.setFlying(0, remaining, false);
    driver.runFor(Second); // what is still on its way

    // The first second fills the queues; the rest is the steady overload.
    const LoadDriver::Window overload = driver.window(start + Second, drop);
    std::printf("overload: delivered %.0f relays/s, loss %.2f%%, latency p50 %.0f us, p99 %.0f us, max %.0f us\n",
                overload.relaysPerSecond(), overload.lossPercent(),
                overload.percentileUs(0.5), overload.percentileUs(0.99), overload.percentileUs(1.0));
    std::printf("overload: keep-alives echoed %lld of %lld, slowest %.0f ms; logons answered %d of %d, slowest %.0f ms\n",
                static_cast<long long>(driver.keepAliveEchoes()), static_cast<long long>(driver.keepAlivesSent()),
                milliseconds(driver.largestKeepAliveEchoNs()), settings.newcomers - int(driver.logonsUnanswered()),
                settings.newcomers, milliseconds(driver.largestLogonAnswerNs()));
    // Each newcomer learns of everyone else; each first pilot learns of
    // each newcomer.
    const qint64 announcementsDue = qint64(settings.newcomers) * (everyone - 1) + qint64(pilots) * settings.newcomers;
    std::printf("overload: PlayerAdded received %lld of %lld; PlayerRemoved received %lld (none due)\n",
                static_cast<long long>(driver.playersAddedSeen()), static_cast<long long>(announcementsDue),
                static_cast<long long>(driver.playersRemovedSeen()));
    const qint64 clean = driver.cleanFrom(drop, end);
    if (clean < 0)
        std::printf("overload: after the drop to %d pilots, relays were still lost at the end (%d s)\n",
                    remaining, settings.afterSeconds);
    else
        std::printf("overload: after the drop to %d pilots, no relay lost from %.0f ms on\n", remaining,
                    milliseconds(clean - drop));
    return 0;
}

} // namespace

int run(const Settings &settings)
{
    int status = 0;
    for (const int pilots : settings.pilotCounts)
        status |= runOnce(settings, pilots);
    return status;
}

} // namespace OverloadBench
