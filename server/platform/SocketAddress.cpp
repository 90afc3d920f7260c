#include "SocketAddress.h"

#include <arpa/inet.h>
#include <cstring>

namespace SocketAddress {

std::optional<Endpoint> toEndpoint(const sockaddr *address, socklen_t length)
{
    if (!address || length < socklen_t(sizeof(sa_family_t)))
        return std::nullopt;
    if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        sockaddr_in6 from {};
        std::memcpy(&from, address, sizeof from);
        Endpoint::Bytes bytes {};
        std::memcpy(bytes.data(), &from.sin6_addr, bytes.size());
        return Endpoint::fromIpv6(bytes, ntohs(from.sin6_port));
    }
    if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        sockaddr_in from {};
        std::memcpy(&from, address, sizeof from);
        return Endpoint::fromIpv4(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
    }
    return std::nullopt;
}

socklen_t fromEndpoint(const Endpoint &endpoint, int family, sockaddr_in6 *storage)
{
    if (family == AF_INET6) {
        sockaddr_in6 to {};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(endpoint.port());
        std::memcpy(&to.sin6_addr, endpoint.address().data(), endpoint.address().size());
        *storage = to;
        return sizeof to;
    }
    if (family != AF_INET || !endpoint.isIpv4())
        return 0;
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(endpoint.port());
    to.sin_addr.s_addr = htonl(endpoint.ipv4());
    static_assert(sizeof to <= sizeof *storage);
    *storage = sockaddr_in6{};
    std::memcpy(storage, &to, sizeof to);
    return sizeof to;
}

} // namespace SocketAddress
