// Handshake version 2 on the bridge: offers both ways, then a proof from each side over both
// offers and the certificate the device saw, then pairing by commit and reveal. Every check
// below names the attack it stops.
#include "bridge/BridgeLog.h"
#include "bridge/PairingHandler.h"
#include "identity/Base64.h"
#include "identity/P256PublicKey.h"

#include <algorithm>

namespace tarnwick {

namespace {

constexpr std::size_t digestSize = 32;

// The text member `name` of an object body, or nothing.
const std::string* textMember(const std::optional<JSONValue>& body, std::string_view name) {
    const JSONValue* member = body ? body->member(name) : nullptr;
    return member ? member->stringValue() : nullptr;
}

BridgeMessage acceptedV2() {
    return makeMessage(BridgeMessageKind::pairingAccepted, {}, {},
                       JSONValue(JSONObject{{"protocol", 2}}));
}

bool isP256Point(std::string_view publicKeyBase64) {
    auto raw = base64Decode(publicKeyBase64);
    return raw && P256PublicKey::fromRawRepresentation(*raw).has_value();
}

// What a version-2 request shows where a version-1 request shows the device's hello.
HelloPayload shownHello(const HelloOffer& offer) {
    return HelloPayload{offer.deviceID, offer.displayName, offer.publicKey, offer.nonce, {}};
}

} // namespace

void PairingHandler::offerVersion2(const PeerHandle& peer, DeviceHandshake& handshake) {
    // Only an offer: nothing is signed before the device's offer, with its fresh nonce, is in.
    handshake.localOffer =
        identity_->makeOffer(hostNameForHello(), sender_.certificateFingerprint());
    if (auto sent = sender_.send(
            makeMessage(BridgeMessageKind::hello, {}, {}, handshake.localOffer->toJSON()), peer);
        !sent) {
        log_("Could not start secure handshake: " + sent.error().description);
    }
}

Expected<void, Error> PairingHandler::handleOffer(const std::optional<JSONValue>& body,
                                                  const PeerHandle& peer,
                                                  DeviceHandshake& handshake) {
    if (!body) {
        return Unexpected(Error{"The device's hello was empty."});
    }
    auto offer = HelloOffer::fromJSON(*body);
    if (!offer) {
        return Unexpected(Error{offer.error().description});
    }
    if (!isP256Point(offer->publicKey)) {
        return Unexpected(Error{"Handshake public key is not a P-256 key."});
    }
    // The device's nonce protects the device from a replayed bridge proof; a short or empty
    // one would weaken that, so only the full 32 random bytes are taken.
    if (!isNonceV2(offer->nonce)) {
        return Unexpected(Error{"Handshake nonce is not 32 random bytes."});
    }
    // A native device names the certificate it was shown. Another certificate than ours means
    // a TLS relay sits between us: nothing more goes to or comes from this connection.
    if (!offer->certificate.empty() &&
        (!handshake.localOffer || offer->certificate != handshake.localOffer->certificate)) {
        handshake.advance(DeviceHandshake::Event::refused);
        return Unexpected(Error{"Handshake names another certificate."});
    }
    if (!handshake.localOffer) {
        // Without a signing identity nothing can be proven; said once at connect.
        return {};
    }
    handshake.remoteOffer = *offer;
    handshake.advance(DeviceHandshake::Event::offerTaken);
    auto signature = identity_->sign(
        bridgeProofText(*handshake.localOffer, *handshake.remoteOffer, offer->certificate));
    if (!signature) {
        log_("Could not start secure handshake: " + signature.error().description);
        return {};
    }
    return sender_.send(makeMessage(BridgeMessageKind::proof, {}, {},
                                    JSONValue(JSONObject{{"signature", *signature}})),
                        peer);
}

Expected<void, Error> PairingHandler::handleProof(const std::optional<JSONValue>& body,
                                                  const PeerHandle& peer,
                                                  DeviceHandshake& handshake) {
    const std::string* signature = textMember(body, "signature");
    if (!signature) {
        return Unexpected(Error{"The proof has no \"signature\"."});
    }
    // Copied: authorising destroys the handshake.
    const HelloOffer device = *handshake.remoteOffer;
    // The proof covers this connection's bridge nonce: one captured on any other connection
    // does not verify here. It also covers the certificate the device saw, so a relay that
    // rewrote that text to ours breaks it.
    if (!verifySignature(device.publicKey,
                         deviceProofText(device, *handshake.localOffer, device.certificate),
                         *signature)) {
        return Unexpected(Error{"Handshake signature did not verify."});
    }
    handshake.advance(DeviceHandshake::Event::proofVerified);

    std::optional<TrustedPeer> record = trustStore_.lookupPeer(device.deviceID);
    if (refusedAsNamesake(peer, record && record->publicKey == device.publicKey
                                    ? std::optional(device.deviceID)
                                    : std::nullopt)) {
        return {};
    }
    // Unknown: it may ask to pair next. Known with another key: someone else claiming that
    // device ID; its pairing requests are ignored until the user forgets it. Either way it is
    // told that its proven key is not trusted, so that it need not guess from silence.
    if (!record || record->publicKey != device.publicKey) {
        return sender_.send(makeMessage(BridgeMessageKind::notTrusted, {}, {},
                                        JSONValue(JSONObject{{"deviceID", device.deviceID}})),
                            peer);
    }
    if (record->protocolVersion < 2) {
        // From now on a version-1 hello of this device is refused.
        if (auto upgraded = trustStore_.upgradeToVersion2(device.deviceID); !upgraded) {
            log_("Could not record that " + shownName(device.displayName) +
                 " uses handshake version 2: " + upgraded.error().description);
        } else {
            refreshTrustedPeers();
        }
    }
    if (!sessions_.authorize(peer, device.deviceID)) {
        return {};
    }
    if (auto sent = sender_.send(acceptedV2(), peer); !sent) {
        return sent;
    }
    emit welcomed(peer);
    log_("Authenticated " + shownName(device.displayName) + ".");
    return {};
}

Expected<void, Error> PairingHandler::handlePairingCommitment(const std::optional<JSONValue>& body,
                                                              const PeerHandle& peer,
                                                              DeviceHandshake& handshake) {
    // The stage says the connection is proven; a known device ID is never paired twice.
    if (trustStore_.lookupPeer(handshake.remoteOffer->deviceID)) {
        qCDebug(bridgeLog) << "pairing request of a known device ID ignored";
        return {};
    }
    if (const std::string* proof = textMember(body, "secretProof")) {
        return pairBySecret(*proof, peer, handshake);
    }
    const std::string* commitment = textMember(body, "commitment");
    if (!commitment) {
        return Unexpected(Error{"The pairing request has no \"commitment\"."});
    }
    auto digest = base64Decode(*commitment);
    if (!digest || digest->size() != digestSize) {
        return Unexpected(Error{"The pairing commitment is not a SHA-256 digest."});
    }
    // The device has seen the code of its waiting attempt and wants another instead of
    // revealing: a device that may do that tries codes until one suits it.
    if (handshake.stage() == DeviceHandshake::Stage::committed) {
        log_("Closed " + shownName(handshake.remoteOffer->displayName) +
             ": it abandoned a pairing attempt before revealing its nonce.");
        // Closing ends the record, at once; until then nothing it sends is acted on.
        handshake.advance(DeviceHandshake::Event::refused);
        emit attemptAbandoned(peer);
        return {};
    }
    // Every attempt is a chance at a code, so few may start in a minute.
    const std::string address = peer->endpoint() ? peer->endpoint()->host : std::string();
    if (!attempts_.admit(address)) {
        log_("Refused a pairing attempt from " + shownName(handshake.remoteOffer->displayName) +
             ": too many attempts in the last minute.");
        return sender_.send(makeMessage(BridgeMessageKind::pairingRejected), peer);
    }
    // A new attempt: the card of an earlier one no longer shows this connection's code.
    requests_.removeFor(peer);
    // Drawn only now that the device is bound to its nonce, and sent before that nonce is
    // revealed: the device cannot pick its nonce to suit ours, and we cannot pick ours to suit
    // its.
    handshake.advance(DeviceHandshake::Event::committed);
    handshake.pairing = DeviceHandshake::PairingAttempt{*commitment, randomNonceV2()};
    return sender_.send(
        makeMessage(BridgeMessageKind::pairingNonce, {}, {},
                    JSONValue(JSONObject{{"nonce", handshake.pairing->bridgeNonce}})),
        peer);
}

Expected<void, Error> PairingHandler::handlePairingNonce(const std::optional<JSONValue>& body,
                                                         const PeerHandle& peer,
                                                         DeviceHandshake& handshake) {
    // One reveal per attempt, whatever it holds.
    const DeviceHandshake::PairingAttempt attempt = *handshake.pairing;
    const std::string* nonce = textMember(body, "nonce");
    const HelloOffer& device = *handshake.remoteOffer;
    const HelloOffer& bridge = *handshake.localOffer;
    if (!nonce || !isNonceV2(*nonce) ||
        pairingCommitment(device.publicKey, *nonce) != attempt.commitment) {
        handshake.advance(DeviceHandshake::Event::revealFailed);
        if (!nonce) {
            return Unexpected(Error{"The pairing nonce has no \"nonce\"."});
        }
        log_("Pairing failed: the device's pairing nonce does not match its commitment.");
        return {};
    }
    std::string code = pairingCodeV2(bridge.publicKey, device.publicKey, bridge.nonce, device.nonce,
                                     attempt.bridgeNonce, *nonce, device.certificate);
    PairingRequest request;
    request.peer = peer;
    request.code = std::move(code);
    request.remoteHello = shownHello(device);
    request.protocolVersion = 2;
    request.remoteOffer = device;
    handshake.advance(DeviceHandshake::Event::revealed);
    addRequest(std::move(request));
    return {};
}

Expected<void, Error> PairingHandler::pairBySecret(const std::string& proof, const PeerHandle& peer,
                                                   DeviceHandshake& handshake) {
    // The secret has 256 bits, so guessing is hopeless anyway; the bound keeps a connection
    // from making the bridge compute MACs without end.
    if (handshake.secretProofs >= maxSecretProofs) {
        qCDebug(bridgeLog) << "secret proof beyond the bound of a connection ignored";
        return {};
    }
    ++handshake.secretProofs;
    // Copied: authorising destroys the handshake.
    const HelloOffer device = *handshake.remoteOffer;
    const std::string name = shownName(device.displayName);
    // The MAC binds the secret to both offers of this proven connection: one seen on another
    // connection, or made for another device, does not match here. Only a match burns the
    // secret, so a stranger's wrong guesses cannot spoil the code the user is about to scan.
    if (!phoneSecret_.use(qrPairingText(device, *handshake.localOffer, device.certificate),
                          proof)) {
        log_("Refused pairing by QR code from " + name +
             ": the QR code is wrong, used or expired.");
        return sender_.send(makeMessage(BridgeMessageKind::pairingRejected), peer);
    }
    if (auto trusted = trustStore_.trustVersion2(device); !trusted) {
        log_("Pairing failed: " + trusted.error().description);
        return sender_.send(makeMessage(BridgeMessageKind::pairingRejected), peer);
    }
    refreshTrustedPeers();
    // A six-digit attempt of this connection that was waiting has no card to show any more.
    requests_.removeFor(peer);
    if (!sessions_.authorize(peer, device.deviceID)) {
        return {};
    }
    if (auto sent = sender_.send(acceptedV2(), peer); !sent) {
        return sent;
    }
    emit welcomed(peer);
    log_("Paired " + name + " by QR code.");
    emit pairedByPhoneCode();
    return {};
}

void PairingHandler::acceptVersion2(const PairingRequest& request) {
    if (auto trusted = trustStore_.trustVersion2(*request.remoteOffer); !trusted) {
        log_("Pairing failed: " + trusted.error().description);
        return;
    }
    refreshTrustedPeers();
    // Authorised only on the connection that proved this offer, and only while it is there.
    const PeerSession* session = sessions_.find(request.peer);
    const DeviceHandshake* handshake = session ? session->handshake.get() : nullptr;
    if (handshake && handshake->stage() == DeviceHandshake::Stage::awaitingPerson &&
        handshake->remoteOffer == request.remoteOffer && sender_.isConnected(request.peer) &&
        sessions_.authorize(request.peer, request.remoteOffer->deviceID)) {
        if (auto sent = sender_.send(acceptedV2(), request.peer); !sent) {
            log_("Pairing failed: " + sent.error().description);
            return;
        }
        emit welcomed(request.peer);
    }
    requests_.remove(request.serial);
    log_("Paired " + shownName(request.remoteHello.displayName) + ".");
}

} // namespace tarnwick
