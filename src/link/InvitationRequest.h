#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// What a device asks for when it opens a session: its display name, and whether it offered
// the link's WebSocket subprotocol.
struct Invitation {
    std::string displayName;
    bool offersSubprotocol = false;

    bool operator==(const Invitation&) const = default;
};

// Whether a device's display name may open a session: not empty, valid UTF-8, at most 63
// bytes, no control characters.
bool isValidPeerDisplayName(std::string_view name);

// Decoder of the HTTP request that opens a session: a WebSocket upgrade of
// "GET /session?peer=<percent-encoded display name> HTTP/1.1". Input comes from the network
// and is trusted in nothing.
class InvitationRequest {
public:
    // The longest header block (request line, header lines and the empty line) read at all.
    static constexpr std::size_t maxHeaderBytes = 8192;
    static constexpr std::size_t maxHeaderLines = 100;

    // The length of the header block at the start of `buffered` (up to and including the
    // empty line), once it has arrived in full.
    static std::optional<std::size_t> headerLength(std::string_view buffered);

    // Decodes one complete header block as `headerLength` delimits it.
    static Expected<Invitation, Error> parse(std::string_view header);
};

// The whole HTTP answer that refuses an invitation (400, 503, ...) with a short plain-text
// reason; the connection is closed after it.
std::string invitationRefusal(int status, std::string_view reason);

} // namespace tarnwick
