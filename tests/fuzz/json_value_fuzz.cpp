// Decode, encode, decode again: whenever the first two steps succeed, the third must succeed
// and give an equal value. Failures may happen, crashes and mismatches may not.
#include "json/JSONValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = tarnwick::JSONValue::decode(text);
    if (!first) {
        return 0;
    }
    (void)first->displayText();
    auto encoded = first->encode();
    if (!encoded) {
        return 0;
    }
    if (encoded->find('\n') != std::string::npos) {
        std::abort();
    }
    auto second = tarnwick::JSONValue::decode(*encoded);
    if (!second || !(*second == *first)) {
        std::abort();
    }
    auto again = second->encode();
    if (!again || *again != *encoded) {
        std::abort();
    }
    return 0;
}
