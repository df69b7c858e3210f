#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "link/PeerHandle.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

// A pairing waiting for the user's decision, bound to the connection whose handshake made its
// code.
struct PairingRequest {
    PeerHandle peer;
    std::string code;
    // Version 1: both hellos. Version 2: `remoteHello` carries the device's offered ID, name,
    // key and nonce (no signature), and `localHello` is empty.
    HelloPayload localHello;
    HelloPayload remoteHello;
    int protocolVersion = 1;
    // Version 2: the device's offer, as proven on its connection.
    std::optional<HelloOffer> remoteOffer;
    // Given by the store when the request is made, never reused: the number every front end
    // shows, and with the code what a decision names.
    std::uint64_t serial = 0;
};

// What the person decided on a request.
enum class PairingDecision { accept, reject };

} // namespace tarnwick
