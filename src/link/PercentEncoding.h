#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Percent-encodes every byte except the unreserved characters (letters, digits, "-._~").
std::string percentEncode(std::string_view bytes);

// Decodes "%XX" escapes (two hexadecimal digits, either case); every other byte stands for
// itself. A "%" without two hexadecimal digits after it makes the whole text undecodable.
std::optional<std::string> percentDecode(std::string_view text);

} // namespace tarnwick
