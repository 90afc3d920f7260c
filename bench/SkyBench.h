#pragma once

#include "LoopbackBench.h"

#include <QString>

// Two servers in one sky over one nats-server on this machine, the pilots
// split evenly between them, flying at the rate for the seconds. Prints the
// delivery latency between pilots of one node and between pilots of
// different nodes (p50, p99, largest, loss), how many NATS messages each
// node published per record it sent to the sky (from its status), and each
// node's CPU time per record it sent to its pilots beside a lone server's
// at the same number of pilots (LoopbackBench). The nodes and the broker
// share the relay CPU, the load generator has the other. Sends only to
// 127.0.0.1 and ends every process it started.
namespace SkyBench {

struct Settings {
    LoopbackBench::Settings base; // server binary, pilots, rate, seconds, CPUs
    QString natsServer;           // nats-server binary
};

int run(const Settings &settings);

} // namespace SkyBench
