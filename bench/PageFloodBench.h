#pragma once

#include "LoopbackBench.h"

// The status page flooded beside the relay: the real server with its page
// on, `pilots` pilots flying at the rate with a keep-alive every two
// seconds, first for `seconds` alone, then for `seconds` more while
// FloodConnections connections from FloodClients loopback addresses each
// keep FloodDepth pipelined "GET /status.json" requests outstanding (and
// connect again 10 ms after the server closes one). Reports for each phase
// the pilots' keep-alive round trip (p99 and slowest), the relay's latency
// and loss, the server's CPU and the flood's answers a second.
namespace PageFloodBench {

constexpr int FloodConnections = 8;
constexpr int FloodClients = 4;
constexpr int FloodDepth = 16;

int run(const LoopbackBench::Settings &settings);

} // namespace PageFloodBench
