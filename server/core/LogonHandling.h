#pragma once

#include <QtGlobal>

class Endpoint;
class Packet;
class ServerContext;

// The two control records clients send.
namespace LogonHandling {

constexpr qint64 KeepAliveExpirySeconds = 60;

// A pilot asks to join: checked against the bans and the pilot limit
// (LogonAdmission), the throttle (LogonThrottle) and the accounts, answered
// with LogonAccepted or LogonRejected; a refusal is logged with its cause
// (LogonRefusal). An accepted pilot replaces any player under the same
// handle or at the same endpoint, learns about every player and is
// announced to them. The accepted pilot's endpoint is the context's
// replyEndpoint of `source`.
void handleLogonRequest(ServerContext &context, const Packet &request, const Endpoint &source);

// A heartbeat: refreshes its sender, is echoed, and drops every player
// silent for 60 seconds or more. Only a keep-alive from the endpoint of the
// player it names counts (its address, or with ReplyToSourcePort its
// address and port); any other is ignored.
void handleKeepAlive(ServerContext &context, const Packet &keepAlive, const Endpoint &source);

} // namespace LogonHandling
