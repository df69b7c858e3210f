#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwick {

// Length of the well-formed UTF-8 sequence that starts at `s`, or 0 when the bytes there are not
// one (overlong forms, UTF-16 surrogates and code points beyond U+10FFFF are not well formed).
inline std::size_t utf8SequenceLength(const unsigned char* s, const unsigned char* end) {
    const unsigned char c = s[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) {
            low = 0xA0;
        } else if (c == 0xED) {
            high = 0x9F;
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) {
            low = 0x90;
        } else if (c == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - s) < length || s[1] < low || s[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// Whether `text` is well-formed UTF-8 throughout.
bool isValidUTF8(std::string_view text);

} // namespace tarnwick
