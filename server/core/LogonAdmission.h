#pragma once

#include "LogonRefusal.h"
#include "Records.h"

#include <optional>

class Endpoint;
class ServerContext;

// Who may log on at all, decided before the accounts are read: nobody a
// ban in force covers (by pilot ID or by address), and nobody beyond the
// pilot limit unless the logon would replace a registered player (of the
// same handle, or at the same endpoint), so the number of players does not
// grow.
namespace LogonAdmission {

// Why the logon is to be refused with LogonRejected without reading
// user.ini, or nothing; counts it as banned or as refused for being full.
// Neither counts as a password guess: the password is never looked at, and
// a banned pilot retrying must not lock out others behind the same address.
std::optional<LogonRefusal> refuses(ServerContext &context, const Records::LogonRequestFields &request,
                                    const Endpoint &from);

// Whether a player under `handle` at `endpoint` can be added within
// MaxPilots (0: no limit), a player of that handle or at that endpoint
// being replaced by it.
bool hasRoomFor(const ServerContext &context, const QString &handle, const Endpoint &endpoint);

} // namespace LogonAdmission
