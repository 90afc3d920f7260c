#include "ServerOptionChecks.h"

#include "TextConversions.h"

#include <array>

#include <arpa/inet.h>

namespace ServerOptionChecks {
namespace {

std::optional<std::int32_t> wholeNumberIn(std::string_view text, std::int32_t lowest, std::int32_t highest)
{
    const std::optional<std::int32_t> number = wholeNumber32(text);
    if (!number || *number < lowest || *number > highest)
        return std::nullopt;
    return number;
}

std::string portRange(int lowest)
{
    return "no port number from " + std::to_string(lowest) + " to 65535";
}

} // namespace

std::optional<std::int32_t> maxPilots(std::string_view text, Problem *problem)
{
    const std::optional<std::int32_t> limit = wholeNumberIn(text, 0, INT32_MAX);
    if (!limit)
        *problem = {"no whole number from 0", "taking it as no limit"};
    return limit;
}

std::optional<std::uint16_t> udpPort(std::string_view text, Problem *problem)
{
    const std::optional<std::int32_t> port = wholeNumberIn(text, 1, 65535);
    if (!port) {
        *problem = {portRange(1), std::string()};
        return std::nullopt;
    }
    return std::uint16_t(*port);
}

std::optional<std::uint16_t> httpPort(std::string_view text, Problem *problem)
{
    const std::optional<std::int32_t> port = wholeNumberIn(text, 0, 65535);
    if (!port) {
        *problem = {portRange(0), "the HTTP status page is off"};
        return std::nullopt;
    }
    return std::uint16_t(*port);
}

bool httpAddress(std::string_view text, Problem *problem)
{
    const std::string address(trimBlanks(text));
    std::array<unsigned char, 16> bytes {};
    // An IPv6 address is at most 45 characters; the dotted form alone is
    // taken for IPv4 (no "127.1", no port).
    const bool valid = address.size() <= 45
        && (::inet_pton(AF_INET, address.c_str(), bytes.data()) == 1
            || ::inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1);
    if (!valid)
        *problem = {"no IPv4 or IPv6 address (such as 127.0.0.1, 0.0.0.0 or ::1)", "the HTTP status page is off"};
    return valid;
}

std::string serverMessage(std::string_view key, std::string_view value, const Problem &problem)
{
    std::string text = "\"" + std::string(key) + "\" in VentoroServer.ini holds \"" + std::string(value)
        + "\", which is " + problem.what;
    if (!problem.consequence.empty())
        text += "; " + problem.consequence;
    return text;
}

} // namespace ServerOptionChecks
