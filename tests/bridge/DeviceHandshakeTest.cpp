// What a device hears from the bridge at each step of its connection, as the device reads it:
// by kind and by code, never by the words (version 2), and the words alone as they always were
// (version 1).
#include "bridge/BridgeController.h"
#include "link/LinkWire.h"
#include "support/FakeNeighbours.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"
#include "support/TestSigner.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

// A device of either handshake version on the fake link, built on the identity layer's own
// primitives.
struct Device {
    TestSigner signer;
    PeerHandle peer;
    int version = 1;
    HelloOffer offer;
    HelloOffer bridge;
};

class DeviceHandshakeTest : public ::testing::Test {
protected:
    DeviceHandshakeTest() {
        auto linkOwned = std::make_unique<FakeLink>();
        auto appServerOwned = std::make_unique<FakeAppServer>();
        auto trustOwned = std::make_unique<FakeTrustStore>();
        auto ceilingsOwned = std::make_unique<FakeCeilings>();
        link = linkOwned.get();
        appServer = appServerOwned.get();
        trustStore = trustOwned.get();
        link->fingerprint = std::string(64, 'c');
        ceilingsOwned->book.everyDevice = DeviceCeiling::standard(home.path().string());
        ceilingsOwned->folder = home.path().string();
        BridgeNeighbours neighbours;
        neighbours.link = std::move(linkOwned);
        neighbours.appServer = std::move(appServerOwned);
        neighbours.trustStore = std::move(trustOwned);
        neighbours.loginItems = std::make_unique<FakeLoginItems>();
        neighbours.hostName = std::make_unique<FakeHostName>();
        neighbours.ceilings = std::move(ceilingsOwned);
        neighbours.identity = std::unique_ptr<BridgeIdentity>(std::make_unique<SignerIdentity>());
        controller = std::make_unique<BridgeController>(std::move(neighbours));
    }

    std::optional<BridgeMessage> lastOfKind(const Device& device, BridgeMessageKind kind) const {
        std::optional<BridgeMessage> found;
        for (const auto& sent : link->sentTo(device.peer)) {
            if (sent.kind == kind) {
                found = sent;
            }
        }
        return found;
    }

    // Connects and proves itself: version 1 by its signed hello; version 2 by its offer and,
    // once the bridge's proof is in, its own proof.
    std::unique_ptr<Device> connect(const std::string& name, int version,
                                    std::unique_ptr<Device> device = nullptr) {
        if (!device) {
            device = std::make_unique<Device>();
        }
        device->version = version;
        device->peer = link->connect(name, version);
        if (version == 1) {
            deliver(*device, BridgeMessageKind::hello, device->signer.hello(name).toJSON());
            return device;
        }
        device->bridge =
            HelloOffer::fromJSON(*lastOfKind(*device, BridgeMessageKind::hello)->body).value();
        device->offer = device->signer.identity().makeOffer(name, link->fingerprint);
        deliver(*device, BridgeMessageKind::hello, device->offer.toJSON());
        if (lastOfKind(*device, BridgeMessageKind::proof)) {
            const std::string text =
                deviceProofText(device->offer, device->bridge, link->fingerprint);
            deliver(*device, BridgeMessageKind::proof,
                    JSONObject{{"signature", device->signer.identity().sign(text).value()}});
        }
        return device;
    }

    // Asks to pair (version 2: commits, takes the bridge's nonce, reveals) and the person
    // accepts the card.
    void pair(Device& device) {
        if (device.version == 1) {
            link->deliver(device.peer, makeMessage(BridgeMessageKind::pairingRequest));
        } else {
            const std::string nonce = randomNonceV2();
            deliver(device, BridgeMessageKind::pairingRequest,
                    JSONObject{{"commitment", pairingCommitment(device.offer.publicKey, nonce)}});
            deliver(device, BridgeMessageKind::pairingNonce, JSONObject{{"nonce", nonce}});
        }
        ASSERT_EQ(controller->pairingRequests().size(), 1u);
        controller->accept(controller->pairingRequests().back());
        ASSERT_TRUE(controller->authorizedPeerNames().contains(device.peer->displayName()));
    }

    void deliver(const Device& device, BridgeMessageKind kind, JSONValue body) {
        link->deliver(device.peer, makeMessage(kind, {}, {}, std::move(body)));
    }

    TemporaryDirectory home{"tarnwick-handshake-home"};
    FakeLink* link = nullptr;
    FakeAppServer* appServer = nullptr;
    FakeTrustStore* trustStore = nullptr;
    std::unique_ptr<BridgeController> controller;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Outcomes as messages

TEST_F(DeviceHandshakeTest, EveryRefusalCarriesItsCodeOnVersionTwoAndItsBareWordsOnVersionOne) {
    const auto request = [this](std::string method, JSONValue params = JSONObject{}) {
        return [this, method, params](const Device& device) {
            link->deliver(device.peer,
                          makeMessage(BridgeMessageKind::request, "r", method, params));
        };
    };
    const auto codexFails = [&](std::string failure) {
        return [this, request, failure](const Device& device) {
            request("thread/list")(device);
            appServer->requests.back().completion(Unexpected(Error{failure}));
        };
    };
    const auto answer = [this](const Device& device) {
        link->deliver(
            device.peer,
            BridgeMessage{
                1, BridgeMessageKind::serverResponse, "r", {}, JSONObject{{"decision", "accept"}}});
    };
    struct Case {
        const char* what;
        bool paired;
        std::function<void(const Device&)> send;
        ErrorCode code;
        // Empty: the words say what the case is about, and only their presence is checked.
        std::string words;
        // Version 1 hears nothing of some refusals, as before there were codes.
        bool toldOnVersion1 = true;
    };
    const std::vector<Case> cases = {
        {"a request before pairing", false, request("thread/list"), ErrorCode::notPaired,
         "Pair this device first."},
        {"a method outside the allowlist", true, request("config/read"), ErrorCode::notAllowed,
         "That method is not available through Tarnwick."},
        {"a folder outside the ceiling", true, request("thread/start", JSONObject{{"cwd", "/"}}),
         ErrorCode::outsideCeiling, ""},
        {"Codex not started yet", true, codexFails(std::string(BridgeAppServer::notReadyText)),
         ErrorCode::notReady, std::string(BridgeAppServer::notReadyText)},
        {"Codex's own error", true, codexFails("No such thread."), ErrorCode::codexError,
         "No such thread."},
        {"an answer too large for a device", true,
         [&](const Device& device) {
             request("thread/read")(device);
             appServer->answer(appServer->requests.size() - 1,
                               JSONObject{{"text", std::string(linkwire::maxBlockSize, 'x')}});
         },
         ErrorCode::tooLarge, ""},
        {"an answer before pairing", false, answer, ErrorCode::notPaired, "Pair this device first.",
         false},
        {"an answer to no open question", true, answer, ErrorCode::noQuestion, "", false},
        {"an envelope of another version", false,
         [this](const Device& device) {
             link->deliver(device.peer, BridgeMessage{3, BridgeMessageKind::ping, {}, {}, {}});
         },
         ErrorCode::unsupportedVersion, "Incompatible protocol version."},
    };
    int connection = 0;
    for (const Case& test : cases) {
        for (int version : {1, 2}) {
            SCOPED_TRACE(std::string(test.what) + ", version " + std::to_string(version));
            auto device = connect("Device " + std::to_string(++connection), version);
            if (test.paired) {
                pair(*device);
            }
            link->sent.clear();
            test.send(*device);
            const auto refusal = lastOfKind(*device, BridgeMessageKind::error);
            if (version == 1 && !test.toldOnVersion1) {
                EXPECT_FALSE(refusal);
                continue;
            }
            ASSERT_TRUE(refusal && refusal->body);
            const ErrorBody read = ErrorBody::read(refusal->body, "");
            EXPECT_EQ(read.code, version == 2 ? wireString(test.code) : "");
            EXPECT_EQ(refusal->body->stringValue() != nullptr, version == 1);
            EXPECT_FALSE(read.message.empty());
            if (!test.words.empty()) {
                EXPECT_EQ(read.message, test.words);
            }
            link->disconnect(device->peer);
        }
    }
}

TEST_F(DeviceHandshakeTest, AProvenKeyHearsWhetherItIsTrustedAndAForgottenSessionHearsWhy) {
    // Unknown: told so once, right after its proof, so it may begin pairing.
    auto phone = connect("Phone", 2);
    const auto untrusted = lastOfKind(*phone, BridgeMessageKind::notTrusted);
    ASSERT_TRUE(untrusted);
    EXPECT_EQ(untrusted->body, JSONValue(JSONObject{{"deviceID", phone->signer.deviceID()}}));
    EXPECT_EQ(link->sentTo(phone->peer).back(), *untrusted);
    pair(*phone);

    // Trusted: accepted, and never told it is not.
    link->disconnect(phone->peer);
    phone = connect("Phone", 2, std::move(phone));
    EXPECT_TRUE(lastOfKind(*phone, BridgeMessageKind::pairingAccepted));
    EXPECT_FALSE(lastOfKind(*phone, BridgeMessageKind::notTrusted));
    auto laptop = connect("Laptop", 1);
    pair(*laptop);
    EXPECT_FALSE(lastOfKind(*laptop, BridgeMessageKind::notTrusted));

    // Forgotten: version 2 hears it as a message just before the close; version 1 by the
    // close alone, as before.
    for (const auto& device : {phone.get(), laptop.get()}) {
        const PeerHandle peer = device->peer;
        link->sent.clear();
        controller->forgetPeer(QString::fromStdString(device->signer.deviceID()));
        ASSERT_EQ(link->closeCodes.back(), SessionClose::forgotten);
        EXPECT_EQ(link->closedByOwner.back(), peer);
        const auto heard = link->sentTo(peer);
        if (device->version == 2) {
            ASSERT_EQ(heard.size(), 1u);
            EXPECT_EQ(heard[0],
                      makeMessage(BridgeMessageKind::forgotten, {}, {},
                                  JSONObject{{"code", "forgotten"},
                                             {"message", std::string(linkwire::forgottenReason)}}));
        } else {
            EXPECT_TRUE(heard.empty());
        }
    }
}
