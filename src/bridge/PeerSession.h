#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "link/PeerHandle.h"

#include <optional>
#include <string>

namespace tarnwick {

// What the bridge knows about one connection from a device. There is one record per peer
// handle; it opens when the link reports the connection and closes with it, so nothing of one
// connection survives into the next, and nothing of it is shared with another connection,
// whatever name either gave. The record alone decides what the connection may do.
struct PeerSession {
    PeerHandle peer;
    // The handshake version the link negotiated for the connection (1 or 2).
    int protocolVersion = 1;

    // Version 1. The signed hello this computer sent on the connection. Absent without a
    // signing identity or when making it failed; a device without it is never shown as a
    // pairing request.
    std::optional<HelloPayload> localHello;
    // The device's own hello, kept only after its signature verified against its own key.
    std::optional<HelloPayload> remoteHello;

    // Version 2. This computer's offer, sent at connect; absent without a signing identity.
    std::optional<HelloOffer> localOffer;
    // The device's offer, kept once it passed its checks; a second one is refused.
    std::optional<HelloOffer> remoteOffer;
    // The device's proof verified: the connection is `remoteOffer->deviceID` holding its key.
    bool proven = false;
    // The device named another certificate: the connection gets nothing more.
    bool refused = false;
    // A pairing attempt waiting for the device's pairing nonce: its commitment and the
    // bridge's pairing nonce sent in answer.
    struct PairingAttempt {
        std::string commitment;
        std::string bridgeNonce;
    };
    std::optional<PairingAttempt> pairing;
    // Proofs of the QR code's secret tried on this connection; a few at most are checked.
    int secretProofs = 0;

    // Whether the device may use the bridge: relay requests, receive events, receive and answer
    // approval questions. Set only by a handshake with a trusted key or by the user's Pair.
    bool authorized = false;
    // The trusted device ID it was authorised as; absent while not authorised. Once set on a
    // connection it never changes there.
    std::optional<std::string> deviceID;
};

} // namespace tarnwick
