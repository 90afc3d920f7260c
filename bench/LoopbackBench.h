#pragma once

#include <QString>

// Starts the real server in a throw-away program directory on free ports,
// logs `pilots` clients on from 127.0.0.2 upwards, and has each send flight
// data at `rate` records a second for `seconds`. Every relayed record
// carries its send time, so the driver reports throughput, loss and
// latency. Sends only to 127.0.0.1 and ends the server it started.
namespace LoopbackBench {

struct Settings {
    QString serverBinary;
    int pilots = 20;
    int rate = 20;
    int seconds = 5;
};

int run(const Settings &settings);

} // namespace LoopbackBench
