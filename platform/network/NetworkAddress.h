// The network addresses a port variable (SCALEPOLL_COMn) may hold instead of
// a device: a serial device server's port reached over TCP.
//
//   rfc2217://HOST:PORT   Telnet with the COM-PORT-OPTION: line settings and
//                         DTR travel to the device server with the data
//   socket://HOST:PORT    raw TCP: the bytes both ways, nothing else
//
// HOST is a numeric IPv4 address, an IPv6 address in brackets ([::1]), or
// "localhost" (127.0.0.1); names are not looked up, so opening a port can
// never wait on a name service. PORT is 1 to 65535 in decimal. Parsing is
// text only: whether the host is a well-formed number is found out when the
// address is converted for connecting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct NetworkAddress {
    enum class Protocol { Raw, Rfc2217 };
    enum class Family { IPv4, IPv6 };

    Protocol protocol = Protocol::Raw;
    Family family = Family::IPv4;
    std::string host;  // the numeric address, without brackets
    std::uint16_t port = 0;

    bool operator==(const NetworkAddress&) const = default;
};

// Whether a port variable names a network address rather than a device:
// anything with a scheme ("...://"), well-formed or not.
bool IsNetworkAddress(std::string_view text);

// Nothing when `text` is not an address this tool can connect to.
std::optional<NetworkAddress> ParseNetworkAddress(std::string_view text);
