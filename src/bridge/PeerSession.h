#pragma once

#include "identity/HelloPayload.h"
#include "link/PeerHandle.h"

#include <optional>
#include <string>

namespace tarnwick {

// What the bridge knows about one connection from a device. There is one record per peer
// handle; it opens when the link reports the connection and closes with it, so nothing of one
// connection survives into the next. Whatever a later protocol negotiates per connection (its
// version, the nonces of both sides, the TLS certificate's fingerprint) belongs here too. For
// now connections of one display name share the hellos and the authority (see PeerSessions).
struct PeerSession {
    PeerHandle peer;
    // The signed hello this computer sent on the connection. Absent without a signing identity
    // or when making it failed; a device without it is never shown as a pairing request.
    std::optional<HelloPayload> localHello;
    // The device's own hello, kept only after its signature verified against its own key.
    std::optional<HelloPayload> remoteHello;
    // Whether the device may use the bridge: relay requests, receive events, receive and answer
    // approval questions. Set only by a handshake with a trusted key or by the user's Pair.
    bool authorized = false;
    // The trusted device ID it was authorised as; absent while not authorised.
    std::optional<std::string> deviceID;
};

} // namespace tarnwick
