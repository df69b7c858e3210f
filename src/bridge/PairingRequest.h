#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "link/PeerHandle.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

// A pairing waiting for the user's decision.
struct PairingRequest {
    std::string id; // the requesting device's display name
    PeerHandle peer;
    std::string code;
    // Version 1: both hellos. Version 2: `remoteHello` carries the device's offered ID, name,
    // key and nonce (no signature), and `localHello` is empty.
    HelloPayload localHello;
    HelloPayload remoteHello;
    int protocolVersion = 1;
    // Version 2: the device's offer, as proven on its connection.
    std::optional<HelloOffer> remoteOffer;
    // Given when the request is made, never reused: with the code it names this one request.
    std::uint64_t serial = 0;

    // "<serial>:<code>": what a window or terminal that showed this request decides on. A
    // request made later, for whatever device, has another key.
    std::string key() const { return std::to_string(serial) + ":" + code; }
};

} // namespace tarnwick
