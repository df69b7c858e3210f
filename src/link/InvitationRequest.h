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

// Any request to the link's port, as far as its header block says: an upgrade to a session or
// a request for the page. Decoded with the same strict rules as an invitation: HTTP/1.1, a
// target of visible ASCII starting with "/", header names that are tokens, values without
// control characters, exactly one well-formed Host.
struct HttpRequestHead {
    std::string method;
    std::string target;
    std::string host;
    std::optional<std::string> origin; // at most one Origin header
    bool asksUpgrade = false;          // carries an Upgrade header
    bool asksClose = false;            // "Connection: close"
    bool hasBody = false;              // a Content-Length other than 0, or a Transfer-Encoding

    // Decodes one complete header block as InvitationRequest::headerLength delimits it.
    static Expected<HttpRequestHead, Error> parse(std::string_view header);

    // Whether the request means to open a session (and is judged as an invitation) rather than
    // to fetch a page: it asks for an upgrade, or its path is the session path.
    bool isSessionRequest() const;
};

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

// The whole HTTP answer that refuses a request (400, 403, 404, 405, 421, 503) with a short
// plain-text reason; the connection is closed after it. `extraHeaders`: whole header lines,
// each ending in CRLF, that go with it.
std::string invitationRefusal(int status, std::string_view reason,
                              std::string_view extraHeaders = {});

} // namespace tarnwick
