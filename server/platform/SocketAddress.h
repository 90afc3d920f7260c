#pragma once

#include "Endpoint.h"

#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

// Endpoints as the system's socket addresses, both ways. A dual-stack
// (AF_INET6) socket reports and takes IPv4 peers in their IPv4-mapped form,
// the form Endpoint keeps them in; an IPv4-only socket uses sockaddr_in.
namespace SocketAddress {

// The endpoint of an address the system reported; empty when it is of
// another family or cut short.
std::optional<Endpoint> toEndpoint(const sockaddr *address, socklen_t length);

// Writes `endpoint` as an address for a socket of `family` (AF_INET6 or
// AF_INET) into `storage` and returns its length; 0, writing nothing, when
// it has no such form (an IPv6 endpoint for an IPv4-only socket).
socklen_t fromEndpoint(const Endpoint &endpoint, int family, sockaddr_in6 *storage);

} // namespace SocketAddress
