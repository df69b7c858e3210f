#include "json/UTF8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {

bool isValidUTF8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = s + text.size();
    while (s < end) {
#if defined(__SSE2__)
        while (end - s >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            if (_mm_movemask_epi8(block) != 0) {
                break;
            }
            s += 16;
        }
#endif
        // Eight ASCII bytes at a time while the high bits are all clear.
        while (end - s >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s, sizeof word);
            if (word & 0x8080808080808080ULL) {
                break;
            }
            s += 8;
        }
        if (s == end) {
            break;
        }
        if (*s < 0x80) {
            ++s;
            continue;
        }
        const std::size_t length = utf8SequenceLength(s, end);
        if (length == 0) {
            return false;
        }
        s += length;
    }
    return true;
}

} // namespace tarnwick
