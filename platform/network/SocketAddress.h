// The socket address of a numeric network address. POSIX sockets and Winsock
// share the address structures and inet_pton(), so both platforms' TCP
// connections take this one conversion; each includes its own socket headers
// (<arpa/inet.h>, <ws2tcpip.h>) before this one.
#pragma once

#include <optional>

#include "platform/network/NetworkAddress.h"

struct SocketAddress {
    sockaddr_storage storage{};
    int length = 0;
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// Nothing when the host is not a well-formed number.
inline std::optional<SocketAddress> ToSocketAddress(const NetworkAddress& address) {
    SocketAddress result;
    if (address.family == NetworkAddress::Family::IPv4) {
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(result.storage);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(address.port);
        if (inet_pton(AF_INET, address.host.c_str(), &ipv4.sin_addr) != 1) return std::nullopt;
        result.length = sizeof ipv4;
    } else {
        auto& ipv6 = reinterpret_cast<sockaddr_in6&>(result.storage);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(address.port);
        if (inet_pton(AF_INET6, address.host.c_str(), &ipv6.sin6_addr) != 1) return std::nullopt;
        result.length = sizeof ipv6;
    }
    return result;
}
