// The invitation decoder takes whatever a network peer sends. Whatever the bytes, it must not
// crash, and a name it accepts must be one the link's rules allow and must come back the same
// when a well-behaved device sends it again.
#include "link/InvitationRequest.h"
#include "link/PercentEncoding.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto length = tarnwick::InvitationRequest::headerLength(bytes);
    if (!length) {
        (void)tarnwick::InvitationRequest::parse(bytes);
        return 0;
    }
    if (*length > bytes.size()) {
        std::abort();
    }
    const auto invitation = tarnwick::InvitationRequest::parse(bytes.substr(0, *length));
    if (!invitation) {
        if (invitation.error().description.empty()) {
            std::abort();
        }
        return 0;
    }
    if (!tarnwick::isValidPeerDisplayName(invitation->displayName)) {
        std::abort();
    }
    const std::string again =
        "GET /session?peer=" + tarnwick::percentEncode(invitation->displayName) +
        " HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n";
    const auto reparsed = tarnwick::InvitationRequest::parse(again);
    if (!reparsed || reparsed->displayName != invitation->displayName) {
        std::abort();
    }
    return 0;
}
