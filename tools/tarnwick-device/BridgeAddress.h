#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Where to reach a bridge: a host name or address and a port.
struct BridgeAddress {
    // The port a bridge listens on unless told otherwise.
    static constexpr std::uint16_t defaultPort = 47600;

    std::string host;
    std::uint16_t port = defaultPort;

    // Reads HOST, HOST:PORT, an IPv6 address alone, or [IPV6]:PORT. Gives nothing for an
    // empty host, a port that is not a number from 1 to 65535, or unbalanced brackets.
    static std::optional<BridgeAddress> parse(std::string_view text);
    // HOST:PORT, with an IPv6 address in brackets.
    std::string toString() const;

    bool operator==(const BridgeAddress&) const = default;
};

} // namespace tarnwick
