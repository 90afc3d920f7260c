#pragma once

#include "LoopbackBench.h"

#include <QList>

// The server and the yardstick relay under the same loopback loads, one
// after the other, each relay pinned to one CPU and the load generator to
// another: one table row per load and relay, the ratio of their CPU cost
// per relayed datagram, and the largest load the server carries with no
// loss and p99 latency under 5 ms.
namespace BenchTable {

struct Settings {
    LoopbackBench::Settings base; // binaries, rate, seconds, CPUs
    QList<int> pilotCounts{50, 100, 120, 150, 200};
};

int run(const Settings &settings);

} // namespace BenchTable
