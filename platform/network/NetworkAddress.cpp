#include "platform/network/NetworkAddress.h"

#include <algorithm>

namespace {

constexpr std::string_view kSchemeEnd = "://";

std::optional<std::uint16_t> ParsePort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(digit - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::optional<NetworkAddress::Protocol> ParseScheme(std::string_view scheme) {
    if (scheme == "rfc2217") return NetworkAddress::Protocol::Rfc2217;
    if (scheme == "socket") return NetworkAddress::Protocol::Raw;
    return std::nullopt;
}

bool IsHostCharacter(char c, NetworkAddress::Family family) {
    const bool digit = c >= '0' && c <= '9';
    if (family == NetworkAddress::Family::IPv4) return digit || c == '.';
    return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

}  // namespace

bool IsNetworkAddress(std::string_view text) { return text.find(kSchemeEnd) != std::string_view::npos; }

std::optional<NetworkAddress> ParseNetworkAddress(std::string_view text) {
    const std::size_t schemeEnd = text.find(kSchemeEnd);
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    NetworkAddress address;
    const auto protocol = ParseScheme(text.substr(0, schemeEnd));
    if (!protocol) return std::nullopt;
    address.protocol = *protocol;

    std::string_view rest = text.substr(schemeEnd + kSchemeEnd.size());
    std::string_view host;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        address.family = NetworkAddress::Family::IPv6;
        host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
    } else {
        const std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        host = rest.substr(0, colon);
        rest = rest.substr(colon);
    }
    if (!rest.starts_with(':')) return std::nullopt;
    const auto port = ParsePort(rest.substr(1));
    if (!port) return std::nullopt;
    address.port = *port;

    if (address.family == NetworkAddress::Family::IPv4 && host == "localhost") host = "127.0.0.1";
    if (host.empty() || !std::all_of(host.begin(), host.end(),
                                     [&](char c) { return IsHostCharacter(c, address.family); }))
        return std::nullopt;
    address.host = std::string(host);
    return address;
}
