#pragma once

#include <QString>

// Starts the real server in a throw-away program directory on free ports
// (logging off), or the yardstick relay, logs `pilots` clients on from
// 127.0.0.2 upwards, and has each send flight data at `rate` records a
// second for `seconds`, with a keep-alive every two seconds. Every relayed
// record carries its send time, so the driver measures throughput, loss and
// latency; the relay's CPU time comes from /proc. The relay and the driver
// can each be pinned to one CPU. Sends only to 127.0.0.1 and ends the
// process it started.
namespace LoopbackBench {

struct Settings {
    QString serverBinary;
    QString yardstickBinary;
    bool yardstick = false; // run the yardstick instead of the server
    int pilots = 20;
    int rate = 20;
    int seconds = 5;
    int relayCpu = -1;  // -1: not pinned
    int driverCpu = -1;
};

struct Result {
    bool ok = false;
    qint64 expected = 0;
    qint64 delivered = 0;
    double relaysPerSecond = 0;
    double lossPercent = 0;
    double latePercent = 0; // of the delivered relays, later than 100 ms
    double p50us = 0;
    double p99us = 0;
    double maxUs = 0;
    double cpuUsPerRelay = 0; // the relay's user + system time per delivered relay
    qint64 keepAlivesSent = 0;
    qint64 keepAliveEchoes = 0;
    double residentAtStartMB = 0;
    double residentAtEndMB = 0;
};

Result run(const Settings &settings);
void print(const Settings &settings, const Result &result);

} // namespace LoopbackBench
