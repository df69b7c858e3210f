#pragma once

// A controller over stand-in neighbours, with the few moves the front-end tests need: a device
// that asks to pair, stored devices, app-server statuses and log lines.

#include "bridge/BridgeController.h"
#include "support/FakeNeighbours.h"
#include "support/TestSigner.h"

#include <memory>
#include <string>
#include <vector>

namespace tarnwick::testing {

class FakeBridge {
public:
    // A device with its own key, connected over the fake link.
    struct Device {
        TestSigner signer;
        PeerHandle peer;
        HelloPayload hello;
    };

    explicit FakeBridge(std::map<std::string, TrustedPeer> storedPeers = {}) {
        auto linkOwned = std::make_unique<FakeLink>();
        auto appServerOwned = std::make_unique<FakeAppServer>();
        auto trustOwned = std::make_unique<FakeTrustStore>();
        auto loginOwned = std::make_unique<FakeLoginItems>();
        link = linkOwned.get();
        appServer = appServerOwned.get();
        trustStore = trustOwned.get();
        loginItems = loginOwned.get();
        trustStore->peers = std::move(storedPeers);
        link->status = "Available on local network";
        BridgeNeighbours neighbours;
        neighbours.link = std::move(linkOwned);
        neighbours.appServer = std::move(appServerOwned);
        neighbours.trustStore = std::move(trustOwned);
        neighbours.loginItems = std::move(loginOwned);
        neighbours.hostName = std::make_unique<FakeHostName>();
        neighbours.identity = std::unique_ptr<BridgeIdentity>(std::make_unique<SignerIdentity>());
        controller = std::make_unique<BridgeController>(std::move(neighbours));
    }

    // Connects a device, exchanges hellos and asks to be paired; the request is then waiting.
    Device& requestPairing(const std::string& name) {
        auto device = std::make_unique<Device>();
        device->peer = link->connect(name);
        device->hello = device->signer.hello(name);
        link->deliver(device->peer,
                      makeMessage(BridgeMessageKind::hello, {}, {}, device->hello.toJSON()));
        link->deliver(device->peer, makeMessage(BridgeMessageKind::pairingRequest));
        devices.push_back(std::move(device));
        return *devices.back();
    }

    // Whether the bridge told the device it was paired.
    bool accepted(const Device& device) const {
        return sent(device, BridgeMessageKind::pairingAccepted);
    }
    bool rejected(const Device& device) const {
        return sent(device, BridgeMessageKind::pairingRejected);
    }

    static std::map<std::string, TrustedPeer> storedDevices(const std::vector<std::string>& names) {
        std::map<std::string, TrustedPeer> peers;
        int index = 0;
        for (const auto& name : names) {
            const std::string id = "DEVICE-" + std::to_string(++index);
            // Paired a day apart, from 2025-11-29 05:20 UTC on.
            peers[id] = TrustedPeer{id, name, "KEY-" + id, 786000000.0 + 86400.0 * index};
        }
        return peers;
    }

    FakeLink* link = nullptr;
    FakeAppServer* appServer = nullptr;
    FakeTrustStore* trustStore = nullptr;
    FakeLoginItems* loginItems = nullptr;
    std::unique_ptr<BridgeController> controller;
    std::vector<std::unique_ptr<Device>> devices;

private:
    bool sent(const Device& device, BridgeMessageKind kind) const {
        for (const auto& message : link->sentTo(device.peer)) {
            if (message.kind == kind) {
                return true;
            }
        }
        return false;
    }
};

} // namespace tarnwick::testing
