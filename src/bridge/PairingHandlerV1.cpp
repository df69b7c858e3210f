// Handshake version 1 on the bridge: signed hellos both ways, then pairing by the code both
// screens compute from them. A hello can be replayed from an earlier connection, so a device
// that proved itself with version 2 is never again admitted by one.
#include "bridge/BridgeLog.h"
#include "bridge/PairingHandler.h"

namespace tarnwick {

namespace {

BridgeMessage helloMessage(BridgeMessageKind kind, const HelloPayload& hello) {
    return makeMessage(kind, std::nullopt, std::nullopt, hello.toJSON());
}

} // namespace

void PairingHandler::helloVersion1(const PeerHandle& peer, DeviceHandshake& handshake) {
    auto hello = identity_->makeHello(hostNameForHello());
    if (!hello) {
        log_("Could not start secure handshake: " + hello.error().description);
        return;
    }
    // A fresh hello with a fresh nonce per connection: a code or an acceptance seen on an
    // earlier connection says nothing about this one.
    handshake.localHello = *hello;
    if (auto sent = sender_.send(helloMessage(BridgeMessageKind::hello, *hello), peer); !sent) {
        log_("Could not start secure handshake: " + sent.error().description);
    }
}

Expected<void, Error> PairingHandler::handleHello(const std::optional<JSONValue>& body,
                                                  const PeerHandle& peer,
                                                  DeviceHandshake& handshake) {
    if (!body) {
        return Unexpected(Error{"The device's hello was empty."});
    }
    auto hello = HelloPayload::fromJSON(*body);
    if (!hello) {
        return Unexpected(Error{hello.error().description});
    }
    // The signature binds the device ID, name and nonce to the key in the hello. Without this
    // check anyone could present a trusted device's ID and key without holding its private key.
    if (!hello->verify()) {
        return Unexpected(Error{"Handshake signature did not verify."});
    }
    handshake.remoteHello = *hello;
    handshake.advance(DeviceHandshake::Event::helloVerified);

    std::optional<TrustedPeer> record = trustStore_.lookupPeer(hello->deviceID);
    // Only a trusted key of a device that paired with version 1 proves the device ID here.
    const bool proven =
        record && record->publicKey == hello->publicKey && record->protocolVersion < 2;
    if (refusedAsNamesake(peer, proven ? std::optional(hello->deviceID) : std::nullopt)) {
        return {};
    }
    // Unknown devices ask for pairing next. A known device ID with another key is someone else
    // claiming that device (or the device after a reinstall): it gets nothing until the user
    // forgets the old record, and its pairing requests are ignored until then.
    if (!record || record->publicKey != hello->publicKey) {
        return {};
    }
    if (record->protocolVersion >= 2) {
        log_("Refused a version-1 handshake from " + shownName(peer->displayName()) +
             ": it paired with version 2.");
        return {};
    }
    // Copied first: authorising destroys the handshake.
    const std::optional<HelloPayload> local = handshake.localHello;
    const std::string name = hello->displayName;
    if (!sessions_.authorize(peer, hello->deviceID)) {
        return {};
    }
    if (local) {
        if (auto sent =
                sender_.send(helloMessage(BridgeMessageKind::pairingAccepted, *local), peer);
            !sent) {
            return sent;
        }
        emit welcomed(peer);
    }
    log_("Authenticated " + shownName(name) + ".");
    return {};
}

Expected<void, Error> PairingHandler::handlePairingRequest(const PeerHandle& peer,
                                                           DeviceHandshake& handshake) {
    // Both hellos must be in hand: the code is computed from them, and a device that has not
    // proved its key has nothing the user could compare.
    if (!handshake.localHello || !handshake.remoteHello) {
        qCDebug(bridgeLog) << "pairing request before the hello exchange ignored";
        return {};
    }
    const HelloPayload local = *handshake.localHello;
    const HelloPayload remote = *handshake.remoteHello;
    // A device paired before authenticates by its hello and is never paired twice; a key change
    // under a known ID must not be waved through by a second pairing.
    if (trustStore_.lookupPeer(remote.deviceID)) {
        return {};
    }
    std::string code = pairingCode(local, remote);
    PairingRequest request;
    request.peer = peer;
    request.code = std::move(code);
    request.localHello = local;
    request.remoteHello = remote;
    handshake.advance(DeviceHandshake::Event::cardShown);
    addRequest(std::move(request));
    return {};
}

void PairingHandler::acceptVersion1(const PairingRequest& request) {
    if (auto trusted = trustStore_.trust(request.remoteHello); !trusted) {
        log_("Pairing failed: " + trusted.error().description);
        return;
    }
    refreshTrustedPeers();

    // A card may outlive its connection. The device has proved its key and is now trusted, but
    // its name must not be authorised: the next connection under that name would inherit it
    // without a handshake. It authenticates by its hello when it reconnects.
    if (sender_.isConnected(request.peer) &&
        sessions_.authorize(request.peer, request.remoteHello.deviceID)) {
        if (auto sent = sender_.send(
                helloMessage(BridgeMessageKind::pairingAccepted, request.localHello), request.peer);
            !sent) {
            log_("Pairing failed: " + sent.error().description);
            return;
        }
        emit welcomed(request.peer);
    }
    requests_.remove(request.serial);
    log_("Paired " + shownName(request.remoteHello.displayName) + ".");
}

} // namespace tarnwick
