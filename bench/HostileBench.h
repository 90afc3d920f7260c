#pragma once

#include "LoopbackBench.h"

#include <QStringList>

// The server under traffic meant to hurt it, measured rather than tested:
// - "odd-datagrams": its resident memory before and after 3,000 datagrams of
//   65,000 bytes, none a whole number of records, from one loopback sender;
// - "echo-probe": a pilot's view of the server: it logs on, sends a
//   keep-alive every 250 ms and reports how many were echoed and how late
//   (an echo later than 1 s counts as lost);
// - "logon-flood": wrong-password logons from every source address given,
//   at a rate, to wear the server's uplink down with refusals.
// The last two take the server's address, so bench/limited-uplink.sh can
// run them in network namespaces of its own around a server behind a slow
// link. Each sends only where it is told and ends what it starts.
namespace HostileBench {

bool handles(const QString &mode);
int run(const QString &mode, const QStringList &arguments, const LoopbackBench::Settings &base);

} // namespace HostileBench
