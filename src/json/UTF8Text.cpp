#include "json/UTF8Text.h"

namespace tarnwick {

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the sequence a lead byte starts, or 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return lead < 0x80 ? 1 : 0;
}

// Whether `second` may follow `lead` (the lead bytes E0, ED, F0 and F4 narrow the range).
bool validSecondByte(unsigned char lead, unsigned char second) {
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0) {
        low = 0xA0;
    } else if (lead == 0xED) {
        high = 0x9F;
    } else if (lead == 0xF0) {
        low = 0x90;
    } else if (lead == 0xF4) {
        high = 0x8F;
    }
    return second >= low && second <= high;
}

} // namespace

std::size_t unfinishedUTF8Tail(std::string_view bytes) {
    // A cut-off sequence is at most three bytes long: a lead byte and up to two continuations.
    const std::size_t size = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        auto byte = static_cast<unsigned char>(bytes[size - back]);
        if (isContinuation(byte)) {
            continue;
        }
        std::size_t length = sequenceLength(byte);
        if (length <= back) {
            return 0;
        }
        if (back >= 2 &&
            !validSecondByte(byte, static_cast<unsigned char>(bytes[size - back + 1]))) {
            return 0;
        }
        return back;
    }
    return 0;
}

std::string_view prefixOnCharacterBoundary(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    while (end > 0 && isContinuation(static_cast<unsigned char>(text[end]))) {
        --end;
    }
    return text.substr(0, end);
}

} // namespace tarnwick
