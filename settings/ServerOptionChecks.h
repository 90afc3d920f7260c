#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The rules by which the server takes the values of its numeric and
// address options, and the words it uses for a value it cannot take. The
// server applies them when it reads VentoroServer.ini; the configuration
// tool applies the same ones before it writes a value, so what the tool
// accepts the server takes as it stands.
namespace ServerOptionChecks {

// Why a value cannot be taken: `what` completes "which is ..." ("no port
// number from 0 to 65535"), `consequence` says what the server does
// instead ("the HTTP status page is off"), or is empty where it cannot go
// on without the value.
struct Problem {
    std::string what;
    std::string consequence;
};

// "MaxPilots": a whole number from 0 (0: no limit).
std::optional<std::int32_t> maxPilots(std::string_view text, Problem *problem);

// "ConnectPort" and "ClientConnectPort": a whole number from 1 to 65535.
std::optional<std::uint16_t> udpPort(std::string_view text, Problem *problem);

// "HttpPort": a whole number from 0 (off) to 65535.
std::optional<std::uint16_t> httpPort(std::string_view text, Problem *problem);

// "HttpAddress": an IPv4 address in dotted form or an IPv6 address, with
// no port, no brackets and no name; blanks around it are allowed.
bool httpAddress(std::string_view text, Problem *problem);

// The server's message for a value it cannot take:
// "KEY" in VentoroServer.ini holds "VALUE", which is WHAT; CONSEQUENCE
std::string serverMessage(std::string_view key, std::string_view value, const Problem &problem);

} // namespace ServerOptionChecks
