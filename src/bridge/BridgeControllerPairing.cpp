// The handshake of signed hellos, pairing with the user's decision, and forgetting devices.
#include "bridge/BridgeController.h"
#include "bridge/DeviceText.h"

namespace tarnwick {

namespace {

BridgeMessage helloMessage(BridgeMessageKind kind, const HelloPayload& hello) {
    return makeMessage(kind, std::nullopt, std::nullopt, hello.toJSON());
}

} // namespace

std::string BridgeController::hostNameForHello() const {
    std::optional<std::string> name =
        neighbours_.hostName ? neighbours_.hostName->localizedName() : std::nullopt;
    return name && !name->empty() ? *name : "Tarnwick Mac";
}

void BridgeController::handleConnected(const PeerHandle& peer) {
    if (!identity_) {
        log("Cannot pair: secure Keychain identity is unavailable.");
        return;
    }
    auto hello = identity_->makeHello(hostNameForHello());
    if (!hello) {
        log("Could not start secure handshake: " + hello.error().description);
        return;
    }
    localHellos_[peer->displayName()] = *hello;
    if (auto sent = sendMessage(helloMessage(BridgeMessageKind::hello, *hello), peer); !sent) {
        log("Could not start secure handshake: " + sent.error().description);
    }
}

Expected<void, Error> BridgeController::handleHello(const std::optional<JSONValue>& body,
                                                    const PeerHandle& peer) {
    if (!body) {
        return Unexpected(Error{"Codex returned an invalid response."});
    }
    auto hello = HelloPayload::fromJSON(*body);
    if (!hello) {
        return Unexpected(Error{hello.error().description});
    }
    if (!hello->verify()) {
        return Unexpected(Error{"Handshake signature did not verify."});
    }
    const std::string& name = peer->displayName();
    remoteHellos_[name] = *hello;

    std::optional<TrustedPeer> record = neighbours_.trustStore->lookupPeer(hello->deviceID);
    if (!record || record->publicKey != hello->publicKey) {
        // Unknown devices ask for pairing next; a known device with another key gets nothing.
        return {};
    }
    authorize(name);
    if (auto local = localHellos_.find(name); local != localHellos_.end()) {
        if (auto sent =
                sendMessage(helloMessage(BridgeMessageKind::pairingAccepted, local->second), peer);
            !sent) {
            return sent;
        }
    }
    log("Authenticated " + boundedDeviceText(hello->displayName) + ".");
    return {};
}

void BridgeController::handlePairingRequest(const PeerHandle& peer) {
    const std::string& name = peer->displayName();
    auto local = localHellos_.find(name);
    auto remote = remoteHellos_.find(name);
    if (local == localHellos_.end() || remote == remoteHellos_.end()) {
        return;
    }
    // A device paired before authenticates by its hello and is never paired twice.
    if (neighbours_.trustStore->lookupPeer(remote->second.deviceID)) {
        return;
    }
    std::string code = pairingCode(local->second, remote->second);
    std::erase_if(pairingRequests_,
                  [&](const PairingRequest& request) { return request.id == name; });
    pairingRequests_.push_back(PairingRequest{name, peer, code, local->second, remote->second});
    emit pairingRequestsChanged();
    log("Pairing requested by " + boundedDeviceText(remote->second.displayName) +
        ". Compare code " + code + ".");
}

void BridgeController::accept(PairingRequest request) {
    if (auto trusted = neighbours_.trustStore->trust(request.remoteHello); !trusted) {
        log("Pairing failed: " + trusted.error().description);
        return;
    }
    refreshTrustedPeers();

    // A card may outlive its connection. The device has proved its key and is now trusted, but
    // its name must not be authorised: the next connection under that name would inherit it
    // without a handshake. It authenticates by its hello when it reconnects.
    const std::vector<PeerHandle> connected = neighbours_.link->connectedPeers();
    const bool stillConnected =
        std::find(connected.begin(), connected.end(), request.peer) != connected.end();
    if (stillConnected) {
        authorize(request.peer->displayName());
        if (auto sent = sendMessage(
                helloMessage(BridgeMessageKind::pairingAccepted, request.localHello), request.peer);
            !sent) {
            log("Pairing failed: " + sent.error().description);
            return;
        }
    }
    removePairingRequests(request.id);
    log("Paired " + boundedDeviceText(request.remoteHello.displayName) + ".");
}

void BridgeController::reject(PairingRequest request) {
    (void)sendMessage(makeMessage(BridgeMessageKind::pairingRejected), request.peer);
    removePairingRequests(request.id);
    log("Rejected pairing from " + boundedDeviceText(request.remoteHello.displayName) + ".");
}

void BridgeController::forget(TrustedPeer peer) {
    if (auto removed = neighbours_.trustStore->remove(peer.deviceID); !removed) {
        log("Could not forget device: " + removed.error().description);
        return;
    }
    refreshTrustedPeers();
    for (const auto& [name, hello] : remoteHellos_) {
        if (hello.deviceID == peer.deviceID) {
            deauthorize(name);
        }
    }
    log("Forgot " + boundedDeviceText(peer.displayName) + ".");
}

void BridgeController::acceptRequest(const QString& id) {
    const std::string key = id.toStdString();
    for (const auto& request : pairingRequests_) {
        if (request.id == key) {
            accept(request);
            return;
        }
    }
}

void BridgeController::rejectRequest(const QString& id) {
    const std::string key = id.toStdString();
    for (const auto& request : pairingRequests_) {
        if (request.id == key) {
            reject(request);
            return;
        }
    }
}

void BridgeController::forgetPeer(const QString& deviceID) {
    const std::string key = deviceID.toStdString();
    for (const auto& peer : trustedPeers_) {
        if (peer.deviceID == key) {
            forget(peer);
            return;
        }
    }
}

} // namespace tarnwick
