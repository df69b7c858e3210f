#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwick::linkwire {

// The rules of the local link that devices are built against.

// DNS-SD service type and the TXT record every host publishes.
inline constexpr std::string_view serviceType = "_tarnwick._tcp";
inline constexpr std::string_view txtVersionKey = "version";
inline constexpr std::string_view txtVersionValue = "1";

// The listening port when none is given.
inline constexpr unsigned short defaultPort = 47600;

// The WebSocket request target is sessionPath + "?peer=" + percent-encoded display name.
inline constexpr std::string_view sessionPath = "/session";
inline constexpr std::string_view peerQueryKey = "peer";
inline constexpr std::string_view subprotocol = "tarnwick.v1";
inline constexpr std::string_view subprotocolV2 = "tarnwick.v2";

// Largest byte block (one WebSocket message) either side accepts.
inline constexpr std::size_t maxBlockSize = 16 * 1024 * 1024;
// Largest byte block a host accepts from a device that is not authorised yet: hellos and
// pairing requests are far smaller.
inline constexpr std::size_t maxUnauthorisedBlockSize = 64 * 1024;

// Close codes (from the range RFC 6455 leaves to applications) and reasons with which the
// bridge ends a device's session for a cause the device should tell its user. Pages and
// devices decide on the code; the reason is for people.
inline constexpr unsigned short closeForgotten = 4001;
inline constexpr std::string_view forgottenReason =
    "This device is no longer paired with the bridge.";
inline constexpr unsigned short closeReplaced = 4002;
inline constexpr std::string_view replacedReason = "Replaced by another session of this device.";

// Longest display name a device may give, in bytes of UTF-8.
inline constexpr std::size_t maxPeerNameBytes = 63;

} // namespace tarnwick::linkwire
