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
    // A version-1 device: a key of its own and the hello it signs.
    struct Device {
        TestSigner signer;
        PeerHandle peer;
        HelloPayload hello;
    };
    // A version-2 device: its offer, the bridge's, and the proof it gave.
    struct V2Device {
        TestSigner signer;
        PeerHandle peer;
        HelloOffer offer;
        HelloOffer bridge;
        std::string proof;
    };

    explicit ControllerRig(Setup setup = {}) { make(std::move(setup)); }

    // A new controller over new neighbours; the devices of the old one mean nothing to it.
    void make(Setup setup = {}) {
        auto linkOwned = std::make_unique<FakeLink>();
        auto appServerOwned = std::make_unique<FakeAppServer>();
        auto trustOwned = std::make_unique<FakeTrustStore>();
        auto loginOwned = std::make_unique<FakeLoginItems>();
        auto hostOwned = std::make_unique<FakeHostName>();
        auto ceilingsOwned = std::make_unique<FakeCeilings>();
        link = linkOwned.get();
        appServer = appServerOwned.get();
        trustStore = trustOwned.get();
        loginItems = loginOwned.get();
        hostName = hostOwned.get();
        ceilings = ceilingsOwned.get();
        if (setup.ceilingInHome) {
            ceilings->book.everyDevice = DeviceCeiling::standard(home.path().string());
            ceilings->folder = home.path().string();
        }
        trustStore->peers = std::move(setup.storedPeers);
        link->status = "Available on local network";
        BridgeNeighbours neighbours;
        neighbours.link = std::move(linkOwned);
        neighbours.appServer = std::move(appServerOwned);
        neighbours.trustStore = std::move(trustOwned);
        neighbours.loginItems = std::move(loginOwned);
        neighbours.hostName = std::move(hostOwned);
        neighbours.ceilings = std::move(ceilingsOwned);
        neighbours.clock = [this] { return now; };
        identity = nullptr;
        if (setup.identity) {
            auto identityOwned = std::make_unique<SignerIdentity>();
            identity = identityOwned.get();
            neighbours.identity = std::unique_ptr<BridgeIdentity>(std::move(identityOwned));
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

    // Connects and, when asked, sends a hello signed by the device's own key.
    Device& connectDevice(const std::string& name, bool sendHello = true) {
        auto& device = *devices.emplace_back(std::make_unique<Device>());
        device.peer = link->connect(name);
        device.hello = device.signer.hello(name);
        if (sendHello) {
            hello(device.peer, device.hello);
        }
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
    // shown; "" for a browser) and, when the bridge's proof verifies, proves itself. `device`
    // comes back on a new connection when given.
    std::unique_ptr<V2Device> connectV2(const std::string& name,
                                        std::optional<std::string> seen = std::nullopt,
                                        std::unique_ptr<V2Device> device = nullptr) {
        if (!device) {
            device = std::make_unique<V2Device>();
        }
        device->peer = link->connect(name, 2);
        auto hello = lastOfKind(device->peer, BridgeMessageKind::hello);
        EXPECT_TRUE(hello);
        device->bridge = HelloOffer::fromJSON(*hello->body).value();
        const std::string fp = seen.value_or(link->fingerprint);
        device->offer = device->signer.identity().makeOffer(name, fp);
        link->deliver(device->peer,
                      makeMessage(BridgeMessageKind::hello, {}, {}, device->offer.toJSON()));
        auto proof = lastOfKind(device->peer, BridgeMessageKind::proof);
        if (!proof) {
            return device;
        }
        EXPECT_TRUE(verifySignature(device->bridge.publicKey,
                                    bridgeProofText(device->bridge, device->offer, fp),
                                    *proof->body->member("signature")->stringValue()));
        device->proof = device->signer.identity()
                            .sign(deviceProofText(device->offer, device->bridge, fp))
                            .value();
        sendProof(device->peer, device->proof);
        return device;
    }
    void sendProof(const PeerHandle& peer, const std::string& signature) {
        link->deliver(peer, makeMessage(BridgeMessageKind::proof, {}, {},
                                        JSONValue(JSONObject{{"signature", signature}})));
    }
    void commit(const PeerHandle& peer, const std::string& commitment) {
        link->deliver(peer, makeMessage(BridgeMessageKind::pairingRequest, {}, {},
                                        JSONValue(JSONObject{{"commitment", commitment}})));
    }
    // Commits to a pairing nonce, takes the bridge's and reveals `reveal` (its own unless
    // given); gives the code the device computes.
    std::string requestPairing(V2Device& device, std::optional<std::string> reveal = {}) {
        const std::string nonce = randomNonceV2();
        commit(device.peer, pairingCommitment(device.offer.publicKey, nonce));
        auto bridgeNonce = lastOfKind(device.peer, BridgeMessageKind::pairingNonce);
        EXPECT_TRUE(bridgeNonce);
        const std::string rB = *bridgeNonce->body->member("nonce")->stringValue();
        link->deliver(device.peer,
                      makeMessage(BridgeMessageKind::pairingNonce, {}, {},
                                  JSONValue(JSONObject{{"nonce", reveal.value_or(nonce)}})));
        return pairingCodeV2(device.bridge.publicKey, device.offer.publicKey, device.bridge.nonce,
                             device.offer.nonce, rB, reveal.value_or(nonce),
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
    FakeHostName* hostName = nullptr;
    FakeCeilings* ceilings = nullptr;
    SignerIdentity* identity = nullptr;
    std::unique_ptr<BridgeController> controller;
    std::vector<std::unique_ptr<Device>> devices;
};

} // namespace tarnwick::testing
