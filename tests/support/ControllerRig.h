#pragma once

// A controller over stand-in neighbours, with the devices that talk to it: version-1 devices
// that sign hellos, version-2 devices that offer, prove and commit, and the moves every
// controller, window and terminal test makes with them.

#include "bridge/BridgeController.h"
#include "support/FakeNeighbours.h"
#include "support/TemporaryHome.h"
#include "support/TestSigner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct ControllerRigSetup {
    std::map<std::string, TrustedPeer> storedPeers;
    bool identity = true;
    // The standard ceiling with the rig's `home` as its only root; the empty book when false.
    bool ceilingInHome = true;
};

class ControllerRig {
public:
    using Setup = ControllerRigSetup;
    // A device of either version: its key, its connection and what it sent or was sent. A
    // version-1 device signs a hello; a version-2 device has its offer, the bridge's, the proof
    // it gave and the pairing nonce of its latest commitment.
    struct Device {
        TestSigner signer;
        std::string name;
        PeerHandle peer;
        int version = 1;
        HelloPayload hello;
        HelloOffer offer;
        HelloOffer bridge;
        std::string proof;
        std::string nonce = randomNonceV2();
    };
    using V2Device = Device;

    explicit ControllerRig(Setup setup = {}) { make(std::move(setup)); }

    // A new controller over new neighbours; the devices of the old one mean nothing to it.
    void make(Setup setup = {}) {
        BridgeNeighbours neighbours;
        neighbours.link = own(link);
        neighbours.appServer = own(appServer);
        neighbours.trustStore = own(trustStore);
        neighbours.loginItems = own(loginItems);
        neighbours.hostName = std::make_unique<FakeHostName>();
        neighbours.ceilings = own(ceilings);
        if (setup.ceilingInHome) {
            ceilings->book.everyDevice = DeviceCeiling::standard(home.path().string());
            ceilings->folder = home.path().string();
        }
        trustStore->peers = std::move(setup.storedPeers);
        link->status = "Available on local network";
        neighbours.clock = [this] { return now; };
        identity = nullptr;
        if (setup.identity) {
            neighbours.identity = std::unique_ptr<BridgeIdentity>(own(identity));
        } else {
            neighbours.identity = Unexpected(Error{"The keyring is locked."});
        }
        controller = std::make_unique<BridgeController>(std::move(neighbours));
    }

    // Trusted devices as the keychain would list them, paired a day apart from
    // 2025-11-29 05:20 UTC on, with IDs DEVICE-1, DEVICE-2, ...
    static std::map<std::string, TrustedPeer> storedDevices(const std::vector<std::string>& names) {
        std::map<std::string, TrustedPeer> peers;
        int index = 0;
        for (const auto& name : names) {
            const std::string id = "DEVICE-" + std::to_string(++index);
            peers[id] = TrustedPeer{id, name, "KEY-" + id, 786000000.0 + 86400.0 * index};
        }
        return peers;
    }

    // -----------------------------------------------------------------------------------------
    // Version 1

    // Connects and sends a hello signed by the device's own key.
    Device& connectDevice(const std::string& name) {
        auto& device = *devices.emplace_back(std::make_unique<Device>());
        device.name = name;
        device.peer = link->connect(name);
        device.hello = device.signer.hello(name);
        hello(device.peer, device.hello);
        return device;
    }
    // A hello (version 1) or an offer (version 2).
    template <typename Payload>
    void hello(const PeerHandle& peer, const Payload& payload) {
        link->deliver(peer, makeMessage(BridgeMessageKind::hello, {}, {}, payload.toJSON()));
    }
    void ask(const PeerHandle& peer) {
        link->deliver(peer, makeMessage(BridgeMessageKind::pairingRequest));
    }
    // A request to relay to Codex, and an answer to one of Codex's questions.
    void sendRequest(const PeerHandle& peer, std::string id, std::string method,
                     std::optional<JSONValue> params = {}) {
        link->deliver(peer, makeMessage(BridgeMessageKind::request, std::move(id),
                                        std::move(method), std::move(params)));
    }
    void sendAnswer(const PeerHandle& peer, std::optional<std::string> id,
                    std::optional<JSONValue> body = {}) {
        link->deliver(peer, makeMessage(BridgeMessageKind::serverResponse, std::move(id), {},
                                        std::move(body)));
    }
    // Connects, says hello and asks to pair: the request is then waiting.
    Device& requestPairing(const std::string& name) {
        Device& device = connectDevice(name);
        ask(device.peer);
        return device;
    }
    Device& pairDevice(const std::string& name) {
        Device& device = requestPairing(name);
        EXPECT_TRUE(decideNewest(PairingDecision::accept));
        EXPECT_TRUE(controller->authorizedPeerNames().contains(name));
        return device;
    }

    // -----------------------------------------------------------------------------------------
    // Version 2

    // Connects, takes the bridge's offer, offers itself naming `seen` (the certificate it was
    // shown; "" for a browser) and, when the bridge's proof verifies, proves itself unless told
    // not to. `device` comes back on a new connection when given.
    std::unique_ptr<V2Device> connectV2(const std::string& name,
                                        std::optional<std::string> seen = std::nullopt,
                                        std::unique_ptr<V2Device> device = nullptr,
                                        bool prove = true) {
        if (!device) {
            device = std::make_unique<V2Device>();
        }
        device->name = name;
        device->version = 2;
        device->peer = link->connect(name, 2);
        auto bridgeHello = lastOfKind(device->peer, BridgeMessageKind::hello);
        EXPECT_TRUE(bridgeHello);
        device->bridge = HelloOffer::fromJSON(*bridgeHello->body).value();
        const std::string fp = seen.value_or(link->fingerprint);
        device->offer = device->signer.identity().makeOffer(name, fp);
        hello(device->peer, device->offer);
        auto proof = lastOfKind(device->peer, BridgeMessageKind::proof);
        if (!proof || !prove) {
            return device;
        }
        EXPECT_TRUE(verifySignature(device->bridge.publicKey,
                                    bridgeProofText(device->bridge, device->offer, fp),
                                    *proof->body->member("signature")->stringValue()));
        device->proof = deviceProof(*device, fp);
        sendProof(device->peer, device->proof);
        return device;
    }
    // The device's signature over both offers and the certificate it names.
    static std::string deviceProof(const Device& device, const std::string& certificate) {
        return device.signer.identity()
            .sign(deviceProofText(device.offer, device.bridge, certificate))
            .value();
    }
    void sendProof(const PeerHandle& peer, const std::string& signature) {
        link->deliver(peer, makeMessage(BridgeMessageKind::proof, {}, {},
                                        JSONValue(JSONObject{{"signature", signature}})));
    }
    void commit(const PeerHandle& peer, const std::string& commitment) {
        link->deliver(peer, makeMessage(BridgeMessageKind::pairingRequest, {}, {},
                                        JSONValue(JSONObject{{"commitment", commitment}})));
    }
    void reveal(const PeerHandle& peer, const std::string& nonce) {
        link->deliver(peer, makeMessage(BridgeMessageKind::pairingNonce, {}, {},
                                        JSONValue(JSONObject{{"nonce", nonce}})));
    }
    // Commits to a new pairing nonce, takes the bridge's and reveals `revealed` (its own
    // unless given); gives the code the device computes.
    std::string requestPairing(V2Device& device, std::optional<std::string> revealed = {}) {
        device.nonce = randomNonceV2();
        commit(device.peer, pairingCommitment(device.offer.publicKey, device.nonce));
        auto bridgeNonce = lastOfKind(device.peer, BridgeMessageKind::pairingNonce);
        EXPECT_TRUE(bridgeNonce);
        const std::string rB = *bridgeNonce->body->member("nonce")->stringValue();
        reveal(device.peer, revealed.value_or(device.nonce));
        return pairingCodeV2(device.bridge.publicKey, device.offer.publicKey, device.bridge.nonce,
                             device.offer.nonce, rB, revealed.value_or(device.nonce),
                             device.offer.certificate);
    }
    std::unique_ptr<V2Device> pairV2(const std::string& name) {
        auto device = connectV2(name);
        requestPairing(*device);
        EXPECT_TRUE(decideNewest(PairingDecision::accept));
        return device;
    }

    // -----------------------------------------------------------------------------------------
    // What the person and the devices see

    // Decides on the newest waiting request as a front end does: by its serial and its code.
    bool decideNewest(PairingDecision decision) {
        const auto& requests = controller->pairingRequests();
        return !requests.empty() &&
               controller->decide(requests.back().serial, requests.back().code, decision);
    }
    std::vector<BridgeMessage> ofKind(const PeerHandle& peer, BridgeMessageKind kind) const {
        std::vector<BridgeMessage> found;
        for (const auto& sent : link->sentTo(peer)) {
            if (sent.kind == kind) {
                found.push_back(sent);
            }
        }
        return found;
    }
    std::optional<BridgeMessage> lastOfKind(const PeerHandle& peer, BridgeMessageKind kind) const {
        auto found = ofKind(peer, kind);
        return found.empty() ? std::nullopt : std::optional(found.back());
    }
    std::optional<BridgeMessage> lastSentTo(const PeerHandle& peer) const {
        auto messages = link->sentTo(peer);
        return messages.empty() ? std::nullopt : std::optional(messages.back());
    }
    bool accepted(const Device& device) const {
        return lastOfKind(device.peer, BridgeMessageKind::pairingAccepted).has_value();
    }
    bool rejected(const Device& device) const {
        return lastOfKind(device.peer, BridgeMessageKind::pairingRejected).has_value();
    }

    // The folder devices may work in.
    TemporaryDirectory home{"tarnwick-rig-home"};
    // The time the QR code's secret and the approvals' waits are measured by.
    std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
    FakeLink* link = nullptr;
    FakeAppServer* appServer = nullptr;
    FakeTrustStore* trustStore = nullptr;
    FakeLoginItems* loginItems = nullptr;
    FakeCeilings* ceilings = nullptr;
    SignerIdentity* identity = nullptr;
    std::unique_ptr<BridgeController> controller;
    std::vector<std::unique_ptr<Device>> devices;

private:
    // A new stand-in for the controller to own, and the test to reach through `kept`.
    template <typename Fake>
    static std::unique_ptr<Fake> own(Fake*& kept) {
        auto owned = std::make_unique<Fake>();
        kept = owned.get();
        return owned;
    }
};

} // namespace tarnwick::testing
