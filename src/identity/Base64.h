#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Standard base64 (RFC 4648 alphabet with "+" and "/"), padded with "=" to a multiple of four
// characters, without line breaks.
std::string base64Encode(std::string_view bytes);

// Decodes exactly that form: any other character, white space or line break, a length that is
// not a multiple of four, or "=" anywhere but in the last two places gives nothing.
std::optional<std::string> base64Decode(std::string_view text);

} // namespace tarnwick
