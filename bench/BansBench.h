#pragma once

#include "LoopbackBench.h"

#include <QList>

// What bans cost the server, for each number of bans: the server starts
// with none and one pilot keeping alive (a keep-alive every millisecond,
// one at a time, so its slowest echo is the longest the event loop was
// held); then bans.ini gets that many bans (pilot IDs, IPv4 addresses, IPv4
// /24, IPv6 /48 and /64 networks, none covering the bench's own addresses)
// and SIGHUP makes the server take them in: the time until the server's
// status counts them, the pilot's slowest echo meanwhile, and the resident
// memory that stays (and the peak). Then a flood of logons from 16 loopback
// addresses, none banned, at a fixed rate: the server's CPU time per logon
// it handled, and the pilot's keep-alive echoes (every 10 ms) beside it.
// Sends only to 127.0.0.1; ends the server it started.
namespace BansBench {

struct Settings {
    QList<int> banCounts{0, 10000, 300000};
    int logonsPerSecond = 5000;
    int floodSeconds = 5;
};

// `base` gives the server binary and the CPUs.
int run(const LoopbackBench::Settings &base, const Settings &settings = {});

} // namespace BansBench
