#pragma once

#include "identity/HelloPayload.h"
#include "link/PeerHandle.h"

#include <string>

namespace tarnwick {

// A pairing waiting for the user's decision.
struct PairingRequest {
    std::string id; // the requesting device's display name
    PeerHandle peer;
    std::string code;
    HelloPayload localHello;
    HelloPayload remoteHello;
};

} // namespace tarnwick
