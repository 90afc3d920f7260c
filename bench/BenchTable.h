#pragma once

#include "LoopbackBench.h"

#include <QList>
#include <QString>

// The server, the plain yardstick relay and the GSO yardstick under the same
// loopback loads, one after the other, each relay pinned to one CPU and the
// load generator to another: one table row per load and relay, with the
// server's CPU cost per relayed datagram as a ratio to each yardstick's, the
// load generator's own CPU share and receive drops (so a row limited by the
// load generator shows), the largest load the server carries with no loss
// and p99 latency under 5 ms, and a chart of the table written to
// `chartPath`.
namespace BenchTable {

struct Settings {
    LoopbackBench::Settings base; // binaries, rate, seconds, CPUs
    QList<int> pilotCounts{50, 100, 150, 200, 250};
    QString chartPath;
};

int run(const Settings &settings);

} // namespace BenchTable
