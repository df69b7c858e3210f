#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwick {

// The number of bytes at the end of `bytes` that begin a UTF-8 sequence which the bytes cut off
// before its end: 0 when the bytes end on a character boundary (or end in something that can
// never become valid).
std::size_t unfinishedUTF8Tail(std::string_view bytes);

// The longest prefix of `text` (valid UTF-8) that is at most `maxBytes` long and ends on a
// character boundary.
std::string_view prefixOnCharacterBoundary(std::string_view text, std::size_t maxBytes);

} // namespace tarnwick
