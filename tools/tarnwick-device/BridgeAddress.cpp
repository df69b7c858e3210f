#include "tarnwick-device/BridgeAddress.h"

#include <charconv>

namespace tarnwick {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool hasWhitespace(std::string_view text) {
    return text.find_first_of(" \t\r\n") != std::string_view::npos;
}

} // namespace

std::optional<BridgeAddress> BridgeAddress::parse(std::string_view text) {
    if (text.empty() || hasWhitespace(text)) {
        return std::nullopt;
    }
    BridgeAddress address;
    if (text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            return std::nullopt;
        }
        address.host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (rest.empty()) {
            return address;
        }
        if (rest.front() != ':') {
            return std::nullopt;
        }
        auto port = parsePort(rest.substr(1));
        if (!port) {
            return std::nullopt;
        }
        address.port = *port;
        return address;
    }
    if (text.find(']') != std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        address.host = std::string(text);
        return address;
    }
    if (text.find(':', colon + 1) != std::string_view::npos) {
        // More than one colon: an IPv6 address without a port.
        address.host = std::string(text);
        return address;
    }
    auto port = parsePort(text.substr(colon + 1));
    if (colon == 0 || !port) {
        return std::nullopt;
    }
    address.host = std::string(text.substr(0, colon));
    address.port = *port;
    return address;
}

std::string BridgeAddress::toString() const {
    if (host.find(':') != std::string::npos) {
        return "[" + host + "]:" + std::to_string(port);
    }
    return host + ":" + std::to_string(port);
}

} // namespace tarnwick
