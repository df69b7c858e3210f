#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace tarnwick {

// ASCII case folding for the protocol's case-insensitive parts (header names, host names,
// schemes). Locale-free on purpose: "I" must fold to "i" whatever the user's language is.
inline char asciiLowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string asciiLowercase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), asciiLowered);
    return result;
}

} // namespace tarnwick
