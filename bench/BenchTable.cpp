#include "BenchTable.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace BenchTable {
namespace {

constexpr double CleanP99Us = 5000;
constexpr int SearchStep = 10;
constexpr int SearchRuns = 4;
// The relays' CPU time per datagram varies by some 15% from run to run,
// most of it the kernel's: the ratio is the median of several pairs.
constexpr int RatioPilots = 100;
constexpr int RatioPairs = 5;

bool carriedCleanly(const LoopbackBench::Result &result)
{
    return result.ok && result.lossPercent <= 0.0 && result.p99us < CleanP99Us;
}

void printRow(const char *relay, int pilots, const LoopbackBench::Result &result, double ratio)
{
    if (!result.ok) {
        std::printf("| %-9s | %4d | did not run |\n", relay, pilots);
        return;
    }
    std::printf("| %-9s | %4d | %9.0f | %6.2f | %6.2f | %9.0f | %9.0f | %5.2f | %s | %lld/%lld |\n", relay, pilots,
                result.relaysPerSecond, result.lossPercent, result.latePercent, result.p50us, result.p99us,
                result.cpuUsPerRelay, ratio > 0 ? qPrintable(QString::number(ratio, 'f', 2)) : "",
                static_cast<long long>(result.keepAliveEchoes), static_cast<long long>(result.keepAlivesSent));
}

} // namespace

int run(const Settings &settings)
{
    const LoopbackBench::Settings &base = settings.base;
    std::printf("table: %d Hz per pilot, %d s per row, relay on CPU %d, load generator on CPU %d\n", base.rate,
                base.seconds, base.relayCpu, base.driverCpu);
    std::printf("| relay     |    N | relays/s  | loss %% | >100ms %% | p50 us    | p99 us    | CPU us/relay | server/yardstick "
                "| keep-alives echoed |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    int largestClean = 0;
    int firstUnclean = 0;
    for (const int pilots : settings.pilotCounts) {
        LoopbackBench::Settings run = base;
        run.pilots = pilots;
        run.relay = LoopbackBench::Settings::Relay::Server;
        const LoopbackBench::Result server = LoopbackBench::run(run);
        run.relay = LoopbackBench::Settings::Relay::Yardstick;
        const LoopbackBench::Result yardstick = LoopbackBench::run(run);
        const double ratio = yardstick.cpuUsPerRelay > 0 ? server.cpuUsPerRelay / yardstick.cpuUsPerRelay : 0;
        printRow("server", pilots, server, ratio);
        printRow("yardstick", pilots, yardstick, 0);
        std::fflush(stdout);
        if (carriedCleanly(server) && firstUnclean == 0)
            largestClean = pilots;
        else if (firstUnclean == 0)
            firstUnclean = pilots;
    }
    // Between the last clean row and the first that was not, in steps.
    for (int i = 0, pilots = largestClean + SearchStep; i < SearchRuns && firstUnclean > 0 && pilots < firstUnclean;
         ++i, pilots += SearchStep) {
        LoopbackBench::Settings run = base;
        run.pilots = pilots;
        if (!carriedCleanly(LoopbackBench::run(run)))
            break;
        largestClean = pilots;
    }
    std::printf("table: the largest N the server carried with no loss and p99 under 5 ms: %d (tried in steps of %d)\n",
                largestClean, SearchStep);

    QList<double> ratios;
    for (int i = 0; i < RatioPairs; ++i) {
        LoopbackBench::Settings run = base;
        run.pilots = RatioPilots;
        const double server = LoopbackBench::run(run).cpuUsPerRelay;
        run.relay = LoopbackBench::Settings::Relay::Yardstick;
        const double yardstick = LoopbackBench::run(run).cpuUsPerRelay;
        if (server > 0 && yardstick > 0)
            ratios.append(server / yardstick);
    }
    std::sort(ratios.begin(), ratios.end());
    QStringList texts;
    for (const double ratio : ratios)
        texts.append(QString::number(ratio, 'f', 2));
    std::printf("table: CPU per relayed datagram, server/yardstick at N = %d over %d pairs: median %.2f (%s)\n",
                RatioPilots, RatioPairs, ratios.isEmpty() ? 0.0 : ratios[ratios.size() / 2], qPrintable(texts.join(u' ')));
    return 0;
}

} // namespace BenchTable
