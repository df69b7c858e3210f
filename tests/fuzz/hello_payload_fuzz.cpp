// Reads the input as a hello body and as base64. Reading may fail; whatever reads must survive
// verification, the pairing code and a round trip through its JSON form, and base64 that
// decodes must encode back to a text that decodes to the same bytes.
#include "identity/Base64.h"
#include "identity/HelloPayload.h"
#include "json/JSONValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto bytes = tarnwick::base64Decode(text)) {
        std::string encoded = tarnwick::base64Encode(*bytes);
        if (encoded.size() != text.size() || tarnwick::base64Decode(encoded) != bytes) {
            std::abort();
        }
    }

    auto value = tarnwick::JSONValue::decode(text);
    if (!value) {
        return 0;
    }
    auto hello = tarnwick::HelloPayload::fromJSON(*value);
    if (!hello) {
        return 0;
    }
    (void)hello->verify();
    std::string code = tarnwick::pairingCode(*hello, *hello);
    if (code.size() != 6 || code.find_first_not_of("0123456789") != std::string::npos) {
        std::abort();
    }
    auto again = tarnwick::HelloPayload::fromJSON(hello->toJSON());
    if (!again || !(*again == *hello)) {
        std::abort();
    }
    return 0;
}
