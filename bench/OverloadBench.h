#pragma once

#include "LoopbackBench.h"

#include <QList>

// The server past its capacity and back: 200 pilots fly at the rate for
// 6 s; halfway through, 5 more pilots log on; then 150 of the 200 stop
// flying and the other 50 fly on for 4 s. Reports the latency and loss of
// the relays delivered under overload, how fast keep-alives and logons were
// answered, whether every control record arrived (each newcomer announced
// to every pilot, every pilot listed to each newcomer, nobody removed), and
// how soon after the load dropped no relay was lost.
namespace OverloadBench {

struct Settings {
    LoopbackBench::Settings base; // binaries, rate, CPUs
    QList<int> pilotCounts{200, 300}; // one run each
    int remaining = 50;
    int newcomers = 5;
    int overloadSeconds = 6;
    int afterSeconds = 4;
};

int run(const Settings &settings);

} // namespace OverloadBench
