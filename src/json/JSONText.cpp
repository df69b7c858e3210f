#include "json/JSONText.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {

Expected<JSONText, Error> JSONText::encode(const JSONValue& value) {
    auto encoded = value.encode();
    if (!encoded) {
        return Unexpected(encoded.error());
    }
    return JSONText(std::move(encoded).value());
}

Expected<JSONText, Error> JSONText::fromText(std::string_view text) {
    if (auto decoded = JSONValue::decode(text); !decoded) {
        return Unexpected(decoded.error());
    }
    std::string compact;
    appendCompactJSON(compact, text);
    return JSONText(std::move(compact));
}

JSONValue JSONText::value() const {
    auto decoded = JSONValue::decode(text_);
    return decoded ? std::move(decoded).value() : JSONValue();
}

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Copies `text` without the white space between tokens; with `oneValue`, only the value at its
// start (white space before it skipped). Gives the bytes of `text` taken.
std::size_t copyCompact(std::string& out, std::string_view text, bool oneValue) {
    // Copied with room to spare, then cut to what was written.
    const std::size_t mark = out.size();
    out.resize(mark + text.size());
    char* to = out.data() + mark;
    const char* s = text.data();
    const char* end = s + text.size();
    int depth = 0;
    bool started = false;
    while (s < end) {
        // Between tokens: white space is dropped, everything else is copied.
        const char c = *s;
        if (isSpace(c)) {
            if (oneValue && started && depth == 0) {
                break; // the end of a number or literal
            }
            ++s;
            continue;
        }
        if (oneValue && started && depth == 0 && (c == ',' || c == '}' || c == ']')) {
            break; // the comma or bracket after a number or literal
        }
        started = true;
        ++s;
        *to++ = c;
        if (c == '{' || c == '[') {
            ++depth;
            continue;
        }
        if (c == '}' || c == ']') {
            if (--depth == 0 && oneValue) {
                break;
            }
            continue;
        }
        if (c != '"') {
            continue;
        }
        // Inside a text, up to and including its closing quote: copied as it stands.
        while (s < end) {
#if defined(__SSE2__)
            if (end - s >= 16) {
                const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
                const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')),
                                                     _mm_cmpeq_epi8(block, _mm_set1_epi8('\\')));
                const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
                if (mask == 0) {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block);
                    s += 16;
                    to += 16;
                    continue;
                }
                const auto plain = static_cast<std::size_t>(__builtin_ctz(mask));
                std::memcpy(to, s, plain);
                s += plain;
                to += plain;
            }
#endif
            const char t = *s++;
            *to++ = t;
            if (t == '"') {
                break;
            }
            if (t == '\\' && s < end) {
                *to++ = *s++;
            }
        }
        if (oneValue && depth == 0) {
            break; // a text on its own
        }
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
    return static_cast<std::size_t>(s - text.data());
}

} // namespace

void appendCompactJSON(std::string& out, std::string_view text) {
    copyCompact(out, text, false);
}

std::size_t appendCompactJSONValue(std::string& out, std::string_view text) {
    return copyCompact(out, text, true);
}

} // namespace tarnwick
