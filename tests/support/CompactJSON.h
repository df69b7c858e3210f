#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwick::testing {

// Whether `text` has white space outside its strings: compact JSON text has none.
inline bool hasSpaceBetweenTokens(std::string_view text) {
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            return true;
        }
    }
    return false;
}

} // namespace tarnwick::testing
