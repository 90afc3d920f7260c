#pragma once

#include <QtGlobal>

class ServerContext;

// Players leave when they fall silent. The sweep runs on every tick of the
// 30-second timer and drops every player whose last heartbeat is 240 seconds
// old or older; the socket's close notification drops every player.
namespace HeartbeatSweep {

constexpr int TimerIntervalMs = 30000;
constexpr qint64 ExpirySeconds = 240;

void Timer1_Timer(ServerContext &context);
void ctlWinsock_Close(ServerContext &context);

} // namespace HeartbeatSweep
