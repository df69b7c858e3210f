// What the bridge does with each message a device sends at each stage of its connection's
// handshake, and what the device hears, as the device reads it: by kind and by code, never by
// the words (version 2), and the words alone as they always were (version 1).
#include "bridge/DeviceHandshake.h"

#include "bridge/BridgeController.h"
#include "link/LinkWire.h"
#include "support/ControllerRig.h"
#include "support/QtTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

using Stage = DeviceHandshake::Stage;

class DeviceHandshakeTest : public ::testing::Test, protected ControllerRig {
protected:
    // A new connection brought to `stage` the way a device gets there.
    std::unique_ptr<Device> reach(int version, Stage stage, std::unique_ptr<Device> device = {}) {
        if (!device) {
            device = std::make_unique<Device>();
            device->name = "Device " + std::to_string(++connections);
        }
        device->version = version;
        device->peer = link->connect(device->name, version);
        if (version == 2) {
            device->bridge =
                HelloOffer::fromJSON(*lastOfKind(device->peer, BridgeMessageKind::hello)->body)
                    .value();
            device->offer = device->signer.identity().makeOffer(
                device->name, stage == Stage::refused ? std::string(64, 'e') : link->fingerprint);
        }
        // The stages in order, and the message that leads from each to the next.
        const std::vector<Stage> path =
            version == 1
                ? std::vector{Stage::awaitingHello, Stage::helloVerified, Stage::awaitingPerson}
                : std::vector{Stage::awaitingOffer, Stage::awaitingProof, Stage::proven,
                              Stage::committed, Stage::awaitingPerson};
        const std::vector<BridgeMessageKind> steps =
            version == 1
                ? std::vector{BridgeMessageKind::hello, BridgeMessageKind::pairingRequest}
                : std::vector{BridgeMessageKind::hello, BridgeMessageKind::proof,
                              BridgeMessageKind::pairingRequest, BridgeMessageKind::pairingNonce};
        // A trusted device is authorised by its hello (version 1) or its proof (version 2).
        const bool trusted = trustStore->peers.contains(device->signer.deviceID());
        std::size_t taken =
            static_cast<std::size_t>(std::find(path.begin(), path.end(), stage) - path.begin());
        if (stage == Stage::authorised) {
            taken = trusted ? std::size_t(version) : steps.size();
        } else if (stage == Stage::refused) {
            taken = 1;
        }
        for (std::size_t at = 0; at < taken; ++at) {
            send(*device, steps[at]);
        }
        if (stage == Stage::authorised && !trusted) {
            EXPECT_TRUE(decideNewest(PairingDecision::accept));
        }
        return device;
    }
    // The message of `kind` the device would send next: its own hello or offer, a proof over
    // both offers, a commitment to a new nonce and the reveal of it.
    void send(Device& device, BridgeMessageKind kind) {
        using K = BridgeMessageKind;
        if (kind == K::hello && device.version == 2) {
            hello(device.peer, device.offer);
        } else if (kind == K::hello) {
            hello(device.peer, device.signer.hello(device.name));
        } else if (kind == K::proof) {
            sendProof(device.peer, deviceProof(device, link->fingerprint));
        } else if (kind == K::pairingRequest && device.version == 2) {
            device.nonce = randomNonceV2();
            commit(device.peer, pairingCommitment(device.offer.publicKey, device.nonce));
        } else if (kind == K::pairingRequest) {
            ask(device.peer);
        } else if (kind == K::pairingNonce) {
            reveal(device.peer, device.nonce);
        } else {
            link->deliver(device.peer, makeMessage(kind, "r", "thread/list"));
        }
    }
    // What came of a message, in words: the kinds the device heard (an error with its code, or
    // "error" alone on version 1), then "card" or "no card" when the device's pairing card
    // came or went, "relayed", "logged", "closed".
    std::string outcomeOf(Device& device, BridgeMessageKind kind) {
        const auto cardOf = [&] {
            std::optional<std::uint64_t> serial;
            for (const PairingRequest& request : controller->pairingRequests()) {
                if (request.peer == device.peer) {
                    serial = request.serial;
                }
            }
            return serial;
        };
        const std::size_t heardBefore = link->sentTo(device.peer).size();
        const auto cardBefore = cardOf();
        const std::size_t relayedBefore = appServer->requests.size();
        const std::size_t closedBefore = link->closedByOwner.size();
        int logged = 0;
        const auto counting = QObject::connect(controller.get(), &BridgeController::lineLogged,
                                               controller.get(), [&logged] { ++logged; });
        send(device, kind);
        QObject::disconnect(counting);
        std::string outcome;
        const auto note = [&outcome](const std::string& word) {
            outcome += (outcome.empty() ? "" : ", ") + word;
        };
        const auto heard = link->sentTo(device.peer);
        for (auto message = heard.begin() + heardBefore; message != heard.end(); ++message) {
            const ErrorBody error = ErrorBody::read(message->body, "");
            note(std::string(wireString(message->kind)) +
                 (error.code.empty() ? "" : " " + error.code));
        }
        if (cardOf() != cardBefore) {
            note(cardOf() ? "card" : "no card");
        }
        if (appServer->requests.size() > relayedBefore) {
            note("relayed");
        }
        if (logged > 0) {
            note("logged");
        }
        if (link->closedByOwner.size() > closedBefore) {
            note("closed");
        }
        return outcome;
    }
    int connections = 0;
};

} // namespace

// The stages of a handshake

// Every message a device may send, at every stage its connection can be in: what the device
// hears and what changes. A message its stage does not take does nothing; once authorised, no
// handshake message reaches handshake code (version 2 is told so), and the connection's
// authority stays as it was.
TEST_F(DeviceHandshakeTest, EachStageTakesOnlyItsOwnMessages) {
    using K = BridgeMessageKind;
    struct Case {
        int version;
        Stage stage;
        K kind;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        // Version 1.
        {1, Stage::awaitingHello, K::hello, ""},
        {1, Stage::awaitingHello, K::pairingRequest, ""},
        {1, Stage::awaitingHello, K::proof, "logged"},
        {1, Stage::awaitingHello, K::pairingNonce, "logged"},
        {1, Stage::awaitingHello, K::request, "error"},
        {1, Stage::awaitingHello, K::ping, "response"},
        // Kinds only the bridge sends.
        {1, Stage::awaitingHello, K::event, ""},
        {1, Stage::awaitingHello, K::response, ""},
        {1, Stage::awaitingHello, K::error, ""},
        {1, Stage::awaitingHello, K::serverRequest, ""},
        {1, Stage::awaitingHello, K::pairingAccepted, ""},
        {1, Stage::awaitingHello, K::pairingRejected, ""},
        {1, Stage::helloVerified, K::hello, ""},
        {1, Stage::helloVerified, K::pairingRequest, "card, logged"},
        {1, Stage::helloVerified, K::proof, "logged"},
        {1, Stage::awaitingPerson, K::hello, ""},
        {1, Stage::awaitingPerson, K::pairingRequest, "card, logged"},
        {1, Stage::awaitingPerson, K::request, "error"},
        {1, Stage::authorised, K::hello, "logged"},
        {1, Stage::authorised, K::pairingRequest, ""},
        {1, Stage::authorised, K::proof, ""},
        {1, Stage::authorised, K::request, "relayed"},
        // Version 2.
        {2, Stage::awaitingOffer, K::hello, "proof"},
        {2, Stage::awaitingOffer, K::proof, ""},
        {2, Stage::awaitingOffer, K::pairingRequest, ""},
        {2, Stage::awaitingOffer, K::pairingNonce, ""},
        {2, Stage::awaitingOffer, K::request, "error notPaired"},
        {2, Stage::awaitingOffer, K::ping, "response"},
        {2, Stage::awaitingProof, K::hello, "logged"},
        {2, Stage::awaitingProof, K::proof, "notTrusted"},
        {2, Stage::awaitingProof, K::pairingRequest, ""},
        {2, Stage::awaitingProof, K::pairingNonce, ""},
        {2, Stage::proven, K::hello, "logged"},
        {2, Stage::proven, K::proof, ""},
        {2, Stage::proven, K::pairingRequest, "pairingNonce"},
        {2, Stage::proven, K::pairingNonce, ""},
        {2, Stage::proven, K::serverResponse, "error notPaired"},
        {2, Stage::committed, K::proof, ""},
        {2, Stage::committed, K::pairingRequest, "logged, closed"},
        {2, Stage::committed, K::pairingNonce, "card, logged"},
        {2, Stage::awaitingPerson, K::proof, ""},
        {2, Stage::awaitingPerson, K::pairingRequest, "pairingNonce, no card"},
        {2, Stage::awaitingPerson, K::pairingNonce, ""},
        {2, Stage::awaitingPerson, K::request, "error notPaired"},
        {2, Stage::authorised, K::hello, "error notAllowed, logged"},
        {2, Stage::authorised, K::proof, "error notAllowed"},
        {2, Stage::authorised, K::pairingRequest, "error notAllowed"},
        {2, Stage::authorised, K::pairingNonce, "error notAllowed"},
        {2, Stage::authorised, K::request, "relayed"},
        {2, Stage::refused, K::hello, ""},
        {2, Stage::refused, K::proof, ""},
        {2, Stage::refused, K::request, ""},
        {2, Stage::refused, K::ping, ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE("version " + std::to_string(test.version) + ", stage " +
                     std::to_string(static_cast<int>(test.stage)) + ", " +
                     std::string(wireString(test.kind)));
        // A bridge of its own for each case: the attempts of one do not count against another.
        make();
        auto device = reach(test.version, test.stage);
        const std::set<std::string> authorised = controller->authorizedPeerNames();
        EXPECT_EQ(outcomeOf(*device, test.kind), test.outcome);
        EXPECT_EQ(controller->authorizedPeerNames(), authorised);
    }
}

// Outcomes as messages

TEST_F(DeviceHandshakeTest, EveryRefusalCarriesItsCodeOnVersionTwoAndItsBareWordsOnVersionOne) {
    const auto request = [this](std::string method, JSONValue params = JSONObject{}) {
        return [this, method, params](const Device& device) {
            sendRequest(device.peer, "r", method, params);
        };
    };
    const auto codexFails = [&](std::string failure) {
        return [this, request, failure](const Device& device) {
            request("thread/list")(device);
            appServer->requests.back().completion(Unexpected(Error{failure}));
        };
    };
    const auto answer = [this](const Device& device) {
        sendAnswer(device.peer, "r", JSONObject{{"decision", "accept"}});
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
         ErrorCode::tooLarge,
         "The answer is too large for a device: 17 MiB, and a device takes at most 16 MiB."},
        {"an answer before pairing", false, answer, ErrorCode::notPaired, "Pair this device first.",
         false},
        {"an answer to no open question", true, answer, ErrorCode::noQuestion, "", false},
        {"an envelope of another version", false,
         [this](const Device& device) {
             link->deliver(device.peer, BridgeMessage{3, BridgeMessageKind::ping, {}, {}, {}});
         },
         ErrorCode::unsupportedVersion, "Incompatible protocol version."},
    };
    for (const Case& test : cases) {
        for (int version : {1, 2}) {
            SCOPED_TRACE(std::string(test.what) + ", version " + std::to_string(version));
            auto device = reach(version, test.paired    ? Stage::authorised
                                         : version == 1 ? Stage::helloVerified
                                                        : Stage::proven);
            link->sent.clear();
            test.send(*device);
            const auto refusal = lastOfKind(device->peer, BridgeMessageKind::error);
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
    auto phone = reach(2, Stage::proven);
    const auto untrusted = lastOfKind(phone->peer, BridgeMessageKind::notTrusted);
    ASSERT_TRUE(untrusted);
    EXPECT_EQ(untrusted->body, JSONValue(JSONObject{{"deviceID", phone->signer.deviceID()}}));
    EXPECT_EQ(link->sentTo(phone->peer).back(), *untrusted);
    link->disconnect(phone->peer);
    // Trusted: accepted, and never told it is not.
    phone = reach(2, Stage::authorised, std::move(phone));
    link->disconnect(phone->peer);
    phone = reach(2, Stage::authorised, std::move(phone));
    EXPECT_TRUE(lastOfKind(phone->peer, BridgeMessageKind::pairingAccepted));
    EXPECT_FALSE(lastOfKind(phone->peer, BridgeMessageKind::notTrusted));
    auto laptop = reach(1, Stage::authorised);
    EXPECT_FALSE(lastOfKind(laptop->peer, BridgeMessageKind::notTrusted));
    // Forgotten: version 2 hears it as a message just before the close; version 1 by the
    // close alone, as before.
    link->sent.clear();
    controller->forgetPeer(QString::fromStdString(phone->signer.deviceID()));
    controller->forgetPeer(QString::fromStdString(laptop->signer.deviceID()));
    EXPECT_EQ(link->closedByOwner, (std::vector<PeerHandle>{phone->peer, laptop->peer}));
    EXPECT_EQ(link->closeCodes,
              (std::vector<SessionClose>{SessionClose::forgotten, SessionClose::forgotten}));
    ASSERT_EQ(link->sent.size(), 1u);
    EXPECT_EQ(link->sent[0].peer, phone->peer);
    EXPECT_EQ(link->sent[0].message,
              makeMessage(BridgeMessageKind::forgotten, {}, {},
                          JSONObject{{"code", "forgotten"},
                                     {"message", std::string(linkwire::forgottenReason)}}));
}
