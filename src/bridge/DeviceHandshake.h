#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "protocol/BridgeMessage.h"

#include <optional>
#include <string>

namespace tarnwick {

// How far one connection has come in proving who it is and in pairing, and what it holds for
// that. The intake makes one when the connection opens; it is destroyed once the connection is
// authorised (or ends), so nothing a session sends afterwards can reach handshake code. What a
// message does at each stage is decided in stepFor, and every change of stage is made in
// advance: nowhere else. Main thread only.
class DeviceHandshake {
public:
    enum class Stage {
        // Version 1: this computer's hello is out; the device's is not in.
        awaitingHello,
        // Version 1: the device's hello verified against its own key, which is not trusted.
        helloVerified,
        // Version 2: this computer's offer is out; the device's is not in.
        awaitingOffer,
        // Version 2: both offers are in and this computer's proof is out.
        awaitingProof,
        // Version 2: the device's proof verified; its key is not trusted. It may commit to a
        // pairing nonce or prove the QR code's secret.
        proven,
        // Version 2: its commitment is in and this computer's pairing nonce is out; its reveal
        // is awaited.
        committed,
        // A card shows the code, for the person to decide on; the device may still ask again.
        awaitingPerson,
        // Trusted, paired by the person or by the QR code: the handshake is over, and its
        // object is destroyed.
        authorised,
        // It named another certificate (a relay), or took a connected device's name: nothing
        // it sends is acted on, and it is closed.
        refused,
    };

    // What moves a handshake on.
    enum class Event {
        helloVerified,
        offerTaken,
        proofVerified,
        committed,
        revealed,
        revealFailed,
        cardShown,
        authorised,
        refused,
    };

    // What a handshake message does at the current stage.
    enum class Step {
        takeHello,
        takeOffer,
        takeProof,
        // Version 1: ask the person; version 2: a commitment or a proof of the QR code's secret.
        takePairingRequest,
        takePairingNonce,
        // Version 2: a second offer, refused (the proofs bind the first).
        refuseSecondOffer,
        // Version-1 sessions know no version-2 kinds.
        refuseUnknownKind,
        // Out of order: nothing happens.
        ignore,
    };

    explicit DeviceHandshake(int protocolVersion);

    int protocolVersion() const { return protocolVersion_; }
    Stage stage() const { return stage_; }
    Step stepFor(BridgeMessageKind kind) const;
    // Moves to the stage the event leads to from this one. An event that does not fit the
    // stage changes nothing and gives false.
    bool advance(Event event);

    // The device's hello (version 1) or proof (version 2) verified: it holds the key it gave.
    bool keyProven() const;
    // The name the device's hello or offer gave, once in.
    const std::string* givenName() const;

    // Version 1. The signed hello this computer sent; absent without a signing identity or when
    // making it failed: such a connection is never shown as a pairing request.
    std::optional<HelloPayload> localHello;
    // The device's own hello, kept once its signature verified against its own key.
    std::optional<HelloPayload> remoteHello;

    // Version 2. This computer's offer, sent at connect; absent without a signing identity.
    std::optional<HelloOffer> localOffer;
    // The device's offer, kept once it passed its checks.
    std::optional<HelloOffer> remoteOffer;
    // While committed: the device's commitment and this computer's pairing nonce sent in answer.
    struct PairingAttempt {
        std::string commitment;
        std::string bridgeNonce;
    };
    std::optional<PairingAttempt> pairing;
    // Proofs of the QR code's secret tried on this connection; a few at most are checked.
    int secretProofs = 0;

private:
    int protocolVersion_;
    Stage stage_;
};

} // namespace tarnwick
