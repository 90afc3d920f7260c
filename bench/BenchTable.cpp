#include "BenchTable.h"

#include "CapacityChart.h"

#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstdio>

namespace BenchTable {
namespace {

using Relay = LoopbackBench::Settings::Relay;

constexpr std::array<Relay, 3> Relays{Relay::Server, Relay::Yardstick, Relay::GsoYardstick};
constexpr double CleanP99Us = 5000;
constexpr double LoadGeneratorBusyPercent = 95;
constexpr int SearchStep = 10;
constexpr int SearchRuns = 4;
// The relays' CPU time per datagram varies by some 15% from run to run,
// most of it the kernel's: the ratios are the medians of several shorter
// runs of all three.
constexpr int RatioPilots = 100;
constexpr int RatioRuns = 5;
constexpr int RatioSeconds = 3;

bool carriedCleanly(const LoopbackBench::Result &result)
{
    return result.ok && result.lossPercent <= 0.0 && result.p99us < CleanP99Us;
}

// Its own sockets overflowed, or it had next to no CPU time to spare.
bool loadGeneratorLimited(const LoopbackBench::Result &result)
{
    return result.driverDrops > 0 || result.driverCpuPercent >= LoadGeneratorBusyPercent;
}

double ratio(const LoopbackBench::Result &server, const LoopbackBench::Result &yardstick)
{
    return server.cpuUsPerRelay > 0 && yardstick.cpuUsPerRelay > 0 ? server.cpuUsPerRelay / yardstick.cpuUsPerRelay
                                                                    : 0;
}

QString ratioText(double value)
{
    return value > 0 ? QString::number(value, 'f', 2) : QString();
}

void printRow(Relay relay, int pilots, const LoopbackBench::Result &result, const QString &toYardstick,
              const QString &toGso)
{
    const char *name = LoopbackBench::relayName(relay);
    if (!result.ok) {
        std::printf("| %-13s | %4d | did not run |\n", name, pilots);
        return;
    }
    std::printf("| %-13s | %4d | %9.0f | %6.2f | %6.2f | %9.0f | %9.0f | %5.2f | %4s | %4s | %lld/%lld | %3.0f | %lld |\n",
                name, pilots, result.relaysPerSecond, result.lossPercent, result.latePercent, result.p50us,
                result.p99us, result.cpuUsPerRelay, qPrintable(toYardstick), qPrintable(toGso),
                static_cast<long long>(result.keepAliveEchoes), static_cast<long long>(result.keepAlivesSent),
                result.driverCpuPercent, static_cast<long long>(result.driverDrops));
}

// What the GSO yardstick found the kernel does with segmented messages.
void printSegmentationCheck(const QString &yardstickBinary)
{
    QProcess check;
    check.start(yardstickBinary, {QStringLiteral("--check-gso")});
    if (!check.waitForFinished(10000)) {
        std::printf("table: %s --check-gso did not answer\n", qPrintable(yardstickBinary));
        return;
    }
    std::printf("table: %s", check.readAllStandardOutput().constData());
}

// The largest N between the last clean row and the first that was not, in
// steps; `largestClean` when none of them is.
int searchClean(const LoopbackBench::Settings &base, int largestClean, int firstUnclean)
{
    for (int i = 0, pilots = largestClean + SearchStep; i < SearchRuns && firstUnclean > 0 && pilots < firstUnclean;
         ++i, pilots += SearchStep) {
        LoopbackBench::Settings run = base;
        run.pilots = pilots;
        run.relay = Relay::Server;
        if (!carriedCleanly(LoopbackBench::run(run)))
            break;
        largestClean = pilots;
    }
    return largestClean;
}

QString medianOf(QList<double> values)
{
    std::sort(values.begin(), values.end());
    QStringList texts;
    for (const double value : values)
        texts.append(QString::number(value, 'f', 2));
    return QStringLiteral("median %1 (%2)")
        .arg(values.isEmpty() ? QStringLiteral("-") : QString::number(values[values.size() / 2], 'f', 2),
             texts.join(u' '));
}

void printRatios(const LoopbackBench::Settings &base)
{
    QList<double> toYardstick;
    QList<double> toGso;
    for (int i = 0; i < RatioRuns; ++i) {
        LoopbackBench::Settings run = base;
        run.pilots = RatioPilots;
        run.seconds = qMin(RatioSeconds, base.seconds);
        std::array<LoopbackBench::Result, Relays.size()> results;
        for (size_t r = 0; r < Relays.size(); ++r) {
            run.relay = Relays[r];
            results[r] = LoopbackBench::run(run);
        }
        if (const double value = ratio(results[0], results[1]); value > 0)
            toYardstick.append(value);
        if (const double value = ratio(results[0], results[2]); value > 0)
            toGso.append(value);
    }
    std::printf("table: CPU per relayed datagram at N = %d over %d runs of %d s: server/yardstick %s, "
                "server/gso-yardstick %s\n",
                RatioPilots, RatioRuns, qMin(RatioSeconds, base.seconds), qPrintable(medianOf(toYardstick)), qPrintable(medianOf(toGso)));
}

} // namespace

int run(const Settings &settings)
{
    const LoopbackBench::Settings &base = settings.base;
    std::printf("table: %d Hz per pilot, %d s per row, relay on CPU %d, load generator on CPU %d\n", base.rate,
                base.seconds, base.relayCpu, base.driverCpu);
    printSegmentationCheck(base.yardstickBinary);
    std::printf("| relay         |    N | relays/s  | loss %% | >100ms %% | p50 us    | p99 us    | CPU us/relay "
                "| server/yardstick | server/gso | keep-alives echoed | load gen CPU %% | load gen drops |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    QList<CapacityChart::Series> series;
    for (const Relay relay : Relays)
        series.append({QString::fromLatin1(LoopbackBench::relayName(relay)), {}});
    int largestClean = 0;
    int firstUnclean = 0;
    for (const int pilots : settings.pilotCounts) {
        LoopbackBench::Settings run = base;
        run.pilots = pilots;
        std::array<LoopbackBench::Result, Relays.size()> results;
        for (size_t r = 0; r < Relays.size(); ++r) {
            run.relay = Relays[r];
            results[r] = LoopbackBench::run(run);
            if (results[r].ok)
                series[qsizetype(r)].points.append({pilots, results[r].relaysPerSecond, results[r].p99us,
                                                    loadGeneratorLimited(results[r])});
        }
        printRow(Relay::Server, pilots, results[0], ratioText(ratio(results[0], results[1])),
                 ratioText(ratio(results[0], results[2])));
        printRow(Relay::Yardstick, pilots, results[1], {}, {});
        printRow(Relay::GsoYardstick, pilots, results[2], {}, {});
        std::fflush(stdout);
        if (carriedCleanly(results[0]) && firstUnclean == 0)
            largestClean = pilots;
        else if (firstUnclean == 0)
            firstUnclean = pilots;
    }
    largestClean = searchClean(base, largestClean, firstUnclean);
    std::printf("table: the largest N the server carried with no loss and p99 under 5 ms: %d (tried in steps of %d)\n",
                largestClean, SearchStep);
    std::fflush(stdout);
    printRatios(base);
    const QString title = QStringLiteral("Relay capacity on loopback: each relay on one CPU, %1 s per point").arg(base.seconds);
    if (CapacityChart::write(settings.chartPath, title, base.rate, series))
        std::printf("table: chart written to %s\n", qPrintable(settings.chartPath));
    else
        std::printf("table: the chart could not be written to %s\n", qPrintable(settings.chartPath));
    return 0;
}

} // namespace BenchTable
