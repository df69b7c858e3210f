// Any bytes a device (or a bridge) may send: decoding never crashes, and a message that decodes
// encodes to text that decodes to the same message. Its body read as an error body never
// crashes either.
#include "protocol/BridgeMessage.h"
#include "protocol/ErrorBody.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto message = tarnwick::BridgeMessage::decode(bytes);
    if (!message) {
        if (message.error().description.empty()) {
            std::abort();
        }
        return 0;
    }
    (void)tarnwick::ErrorBody::read(message->body, "");
    auto encoded = message->encode();
    if (!encoded) {
        return 0;
    }
    auto back = tarnwick::BridgeMessage::decode(*encoded);
    if (!back) {
        std::abort();
    }
    // A null body is written out and comes back absent; everything else must survive.
    tarnwick::BridgeMessage expected = *message;
    if (expected.body && expected.body->isNull()) {
        expected.body.reset();
    }
    if (!(*back == expected)) {
        std::abort();
    }
    return 0;
}
