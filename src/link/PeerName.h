#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// The name this machine goes by on the local network: the display name, "-", a four-character
// suffix; cut to 63 characters (user-perceived characters), then further, still at a character
// boundary, until it fits in 63 bytes of UTF-8.
std::string makePeerName(std::string_view displayName, std::string_view suffix);

// The first four characters of a fresh random UUID in upper case: four hexadecimal digits.
std::string randomPeerSuffix();

} // namespace tarnwick
