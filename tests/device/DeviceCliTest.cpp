// The parts of tarnwick-device that need no bridge: reading the command line and addresses,
// remembering the paired bridge, and turning approval questions into text and decisions.
#include "identity/DeviceIdentity.h"
#include "support/MemoryKeychain.h"
#include "support/TemporaryHome.h"
#include "tarnwick-device/ApprovalPrompt.h"
#include "tarnwick-device/BridgeAddress.h"
#include "tarnwick-device/BridgeBrowser.h"
#include "tarnwick-device/DeviceArguments.h"
#include "tarnwick-device/DeviceSession.h"
#include "tarnwick-device/RememberedBridge.h"

#include <QSettings>

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

using namespace tarnwick;
using namespace tarnwick::testing;

TEST(BridgeAddress, ReadsHostsPortsAndBracketedAddresses) {
    struct Case {
        const char* text;
        std::optional<BridgeAddress> expected;
    };
    const Case cases[] = {
        {"studio.local", BridgeAddress{"studio.local", 47600}},
        {"studio.local:5000", BridgeAddress{"studio.local", 5000}},
        {"127.0.0.1:1", BridgeAddress{"127.0.0.1", 1}},
        {"127.0.0.1:65535", BridgeAddress{"127.0.0.1", 65535}},
        {"::1", BridgeAddress{"::1", 47600}},
        {"fe80::1%eth0", BridgeAddress{"fe80::1%eth0", 47600}},
        {"[::1]", BridgeAddress{"::1", 47600}},
        {"[::1]:8080", BridgeAddress{"::1", 8080}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BridgeAddress::parse(c.text), c.expected) << c.text;
    }
    for (const char* wrong :
         {"", ":5000", "host:", "host:0", "host:65536", "host:12ab", "host:-1", "host:+80", "[::1",
          "[]:80", "[::1]80", "[::1]:", "host]:80", "two words"}) {
        EXPECT_EQ(BridgeAddress::parse(wrong), std::nullopt) << wrong;
    }
    EXPECT_EQ((BridgeAddress{"::1", 80}).toString(), "[::1]:80");
    EXPECT_EQ((BridgeAddress{"studio", 80}).toString(), "studio:80");
}

TEST(DeviceArguments, ReadsEachCommandWithItsOptions) {
    auto call = DeviceArguments::parse(
        {"call", "thread/list", R"({"limit":2})", "--bridge", "[::1]:9", "--name=Laptop"});
    ASSERT_TRUE(call.hasValue()) << call.error();
    EXPECT_EQ(call->command, DeviceArguments::Command::call);
    EXPECT_EQ(call->method, "thread/list");
    EXPECT_EQ(call->params, R"({"limit":2})");
    EXPECT_EQ(call->target, "[::1]:9");
    EXPECT_EQ(call->name, "Laptop");

    auto pair = DeviceArguments::parse({"pair", "Studio", "--replace", "--browse", "5", "--json"});
    ASSERT_TRUE(pair.hasValue()) << pair.error();
    EXPECT_EQ(pair->target, "Studio");
    EXPECT_TRUE(pair->replace);
    EXPECT_TRUE(pair->json);
    EXPECT_EQ(pair->browseSeconds, 5);

    auto chat = DeviceArguments::parse({"chat", "--decline-all", "--cwd", "/srv/project",
                                        "--approval-policy=untrusted", "--", "-odd-thread"});
    ASSERT_TRUE(chat.hasValue()) << chat.error();
    EXPECT_EQ(chat->thread, "-odd-thread");
    EXPECT_TRUE(chat->declineAll);
    EXPECT_EQ(chat->workingFolder, "/srv/project");
    EXPECT_EQ(chat->approvalPolicy, "untrusted");

    auto answer = DeviceArguments::parse(
        {"answer", "0F8C3A1E-0000-4000-8000-000000000000", R"({"x":1})", "--bridge", "h:1"});
    ASSERT_TRUE(answer.hasValue()) << answer.error();
    EXPECT_EQ(answer->questionID, "0F8C3A1E-0000-4000-8000-000000000000");
    EXPECT_EQ(answer->decision, R"({"x":1})");
    EXPECT_EQ(answer->target, "h:1");

    for (auto help :
         {std::vector<std::string>{"--help"}, {"help"}, {"watch", "-h"}, {"call", "--help"}}) {
        auto parsed = DeviceArguments::parse(help);
        ASSERT_TRUE(parsed.hasValue());
        EXPECT_TRUE(parsed->help);
        EXPECT_FALSE(usageText(parsed->command).empty());
    }
}

TEST(DeviceArguments, RefusesWhatNoCommandTakes) {
    // Each command line with its words split at spaces.
    for (const std::string joined : {"",
                                     "frobnicate",
                                     "call",
                                     "call a {} extra",
                                     "discover extra",
                                     "watch extra",
                                     "pair a b",
                                     "pair --decline-all",
                                     "call thread/list --replace",
                                     "discover --name x",
                                     "watch --bridge",
                                     "pair --browse 0",
                                     "pair --browse ten",
                                     "call m --json=yes",
                                     "call m --name=",
                                     "--json",
                                     "answer id",
                                     "answer id accept more",
                                     "watch --cwd /tmp",
                                     "chat --cwd=",
                                     "chat --approval-policy"}) {
        std::istringstream words(joined);
        const std::vector<std::string> arguments{std::istream_iterator<std::string>(words), {}};
        auto parsed = DeviceArguments::parse(arguments);
        EXPECT_FALSE(parsed.hasValue()) << joined;
        if (!parsed) {
            EXPECT_FALSE(parsed.error().empty());
        }
    }
}

TEST(DeviceSession, SortsTheBridgesRefusalsByTheirCodeWhateverTheirWords) {
    struct Case {
        std::string body;
        ExitStatus status;
    };
    const std::vector<Case> cases = {
        {R"({"code":"notPaired","message":"Bitte zuerst koppeln."})", ExitStatus::notPaired},
        {R"({"code":"forgotten","message":"Vergessen."})", ExitStatus::notPaired},
        // The words of another refusal, or no code at all, mean nothing.
        {R"({"code":"notAllowed","message":"Pair this device first."})", ExitStatus::failed},
        {R"("Pair this device first.")", ExitStatus::failed},
        // A code this program does not know yet fails without a kind, showing the words.
        {R"({"code":"overTheMoon","message":"Pair this device first."})", ExitStatus::failed},
    };
    for (const Case& test : cases) {
        const auto message = BridgeMessage::decode(
            R"({"version":1,"kind":"error","id":"r1","body":)" + test.body + "}");
        ASSERT_TRUE(message.hasValue()) << test.body;
        const ErrorBody refusal = ErrorBody::read(message->body, "");
        const DeviceFailure failure = DeviceSession::failureFor(refusal);
        EXPECT_EQ(failure.status, test.status) << test.body;
        EXPECT_EQ(failure.text, refusal.message) << test.body;
    }
}

TEST(BridgeBrowser, FindsABridgeByItsFullOrItsPlainName) {
    std::vector<FoundBridge> found{{"Studio-1a2b", {"10.0.0.2", 47600, {}}},
                                   {"Attic-0000", {"10.0.0.3", 47600, {}}},
                                   {"Attic-ffff", {"10.0.0.4", 47600, {}}}};
    EXPECT_EQ(BridgeBrowser::named(found, "Studio"), &found[0]);
    EXPECT_EQ(BridgeBrowser::named(found, "Studio-1a2b"), &found[0]);
    EXPECT_EQ(BridgeBrowser::named(found, "Attic-ffff"), &found[2]);
    EXPECT_EQ(BridgeBrowser::named(found, "Attic"), nullptr) << "two bridges by that name";
    EXPECT_EQ(BridgeBrowser::named(found, "Stud"), nullptr);
}

TEST(RememberedBridgeStore, RecognisesThePairedKeyAndCertificateAndNoticesOthers) {
    TemporaryDirectory folder;
    const auto ini = [&](const char* name) {
        return std::make_unique<QSettings>(QString::fromStdString((folder.path() / name).string()),
                                           QSettings::IniFormat);
    };
    const auto settings = ini("device.ini"), bridgeSettings = ini("bridge.ini");
    MemoryKeychain keys, otherKeys;
    auto bridge = std::move(DeviceIdentity::create(keys, *bridgeSettings)).value();
    const SeenBridge hello{bridge->deviceID(), bridge->publicKey(), {}, {}};

    RememberedBridgeStore store(*settings);
    EXPECT_FALSE(store.load().has_value());
    EXPECT_EQ(store.recognise(hello), RememberedBridgeStore::Recognition::unknown);

    store.save({hello.deviceID, hello.publicKey, "Studio", {"10.0.0.2", 5000}, {}, {}});
    EXPECT_EQ(store.recognise(hello), RememberedBridgeStore::Recognition::known);
    store.saveAddress({"10.0.0.9", 6000});
    auto loaded = store.load();
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->address, (BridgeAddress{"10.0.0.9", 6000}));
    EXPECT_EQ(loaded->displayName, "Studio");

    // Same device ID, another key: someone else speaking for the paired bridge.
    auto impostor = std::move(DeviceIdentity::create(otherKeys, *ini("impostor.ini"))).value();
    EXPECT_EQ(store.recognise({hello.deviceID, impostor->publicKey(), {}, {}}),
              RememberedBridgeStore::Recognition::keyChanged);

    // The certificate: pinned at the first proof after a pairing without one, then renewed
    // with the same key, or replaced by one with another key. Another key still comes first.
    using Recognition = RememberedBridgeStore::Recognition;
    const std::string certificate(64, 'c'), key(64, 'k');
    EXPECT_EQ(store.recognise({hello.deviceID, hello.publicKey, certificate, key}),
              Recognition::certificateNew);
    store.saveCertificate(certificate, key);
    const std::pair<SeenBridge, Recognition> seen[] = {
        {{hello.deviceID, hello.publicKey, certificate, key}, Recognition::known},
        {{hello.deviceID, hello.publicKey, std::string(64, 'd'), key},
         Recognition::certificateRenewed},
        {{hello.deviceID, hello.publicKey, std::string(64, 'd'), std::string(64, 'e')},
         Recognition::certificateChanged},
        {{hello.deviceID, hello.publicKey, {}, {}}, Recognition::certificateChanged},
        {{hello.deviceID, impostor->publicKey(), certificate, key}, Recognition::keyChanged},
        {{"another", hello.publicKey, certificate, key}, Recognition::unknown},
    };
    for (const auto& [bridgeSeen, recognition] : seen) {
        EXPECT_EQ(store.recognise(bridgeSeen), recognition)
            << bridgeSeen.deviceID << " " << bridgeSeen.certificate;
    }
}

namespace {

// Shaped as `codex app-server generate-json-schema` gives it.
JSONValue fileQuestion(const std::string& grantRoot = "null") {
    return *JSONValue::decode(R"({"threadId":"t1","turnId":"u1","itemId":"f1","startedAtMs":1,)"
                              R"("reason":null,"grantRoot":)" +
                              grantRoot + "}");
}

} // namespace

// What Codex did not give is said so; a whole command question is
// OffersOnlyTheDecisionsCodexNames's.
TEST(ApprovalPrompt, ListsTheFilesAFileChangeAnnouncedAndSaysWhatCodexDidNotGive) {
    ApprovalPrompt prompt;
    EXPECT_NE(
        prompt.describe("item/fileChange/requestApproval", fileQuestion()).find("not announced"),
        std::string::npos);
    EXPECT_NE(prompt
                  .describe("item/commandExecution/requestApproval",
                            *JSONValue::decode(R"({"command":null,"cwd":null})"))
                  .find("(command not given)"),
              std::string::npos);
    EXPECT_EQ(prompt.describe("item/tool/requestUserInput", JSONObject{}), "");

    prompt.observeEvent("item/started", *JSONValue::decode(R"({"threadId":"t1","turnId":"u1",
        "startedAtMs":1,"item":{"type":"fileChange","id":"f1","status":"inProgress","changes":[
        {"path":"src/a.cpp","kind":{"type":"update","move_path":null},"diff":"@@"},
        {"path":"src/b.cpp","kind":{"type":"add"},"diff":"+"}]}})"));
    // Another item's files stay apart.
    prompt.observeEvent("item/started", *JSONValue::decode(R"({"item":{"type":"fileChange",
        "id":"f2","status":"inProgress","changes":[{"path":"other.txt","kind":{"type":"delete"},
        "diff":""}]}})"));
    std::string text =
        prompt.describe("item/fileChange/requestApproval", fileQuestion(R"("/srv")"));
    EXPECT_NE(text.find("src/a.cpp (update)"), std::string::npos) << text;
    EXPECT_NE(text.find("src/b.cpp (add)"), std::string::npos) << text;
    EXPECT_EQ(text.find("other.txt"), std::string::npos) << text;
    EXPECT_NE(text.find("under /srv"), std::string::npos) << text;
}

TEST(ApprovalPrompt, OffersOnlyTheDecisionsCodexNames) {
    // As Codex 0.169.0 asks before a command in a thread whose policy is "untrusted".
    const JSONValue question = *JSONValue::decode(R"({"command":"/bin/bash -lc 'touch a'",
        "cwd":"/w","reason":"To mark the run.","availableDecisions":["accept",
        {"acceptWithExecpolicyAmendment":{"execpolicy_amendment":["touch","a"]}},"cancel"]})");
    const auto choices = ApprovalPrompt::choicesFor(question);
    std::vector<std::string> keys;
    for (const ApprovalChoice& choice : choices) {
        keys.push_back(choice.key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"y", "2", "c"}));
    EXPECT_EQ(ApprovalPrompt::choiceLine(choices), "Your answer [y/2/c]: ");
    EXPECT_EQ(ApprovalPrompt::refusalFor(choices), JSONValue("cancel"));

    const std::string text =
        ApprovalPrompt().describe("item/commandExecution/requestApproval", question);
    EXPECT_EQ(text, "Codex asks to run a command:\n"
                    "  /bin/bash -lc 'touch a'\n"
                    "  in /w\n"
                    "  Reason: To mark the run.\n"
                    "  Answers:\n"
                    "    y  yes (accept)\n"
                    "    2  yes, and from now on allow commands that start with \"touch a\" "
                    "(acceptWithExecpolicyAmendment)\n"
                    "    c  no, and stop the turn (cancel)\n");

    const std::pair<const char*, std::optional<JSONValue>> table[] = {
        {"y", JSONValue("accept")},
        {" YES \n", JSONValue("accept")},
        {"accept", JSONValue("accept")},
        {"2", choices[1].decision},
        {"c", JSONValue("cancel")},
        {"n", std::nullopt},
        {"no", std::nullopt},
        {"", std::nullopt},
        {"s", std::nullopt},
        {"3", std::nullopt},
        {"maybe", std::nullopt},
    };
    for (const auto& [answer, decision] : table) {
        EXPECT_EQ(ApprovalPrompt::decisionFor(choices, answer), decision) << "\"" << answer << "\"";
    }
    EXPECT_EQ(ApprovalPrompt::response(choices[1].decision),
              *JSONValue::decode(R"({"decision":{"acceptWithExecpolicyAmendment":
                  {"execpolicy_amendment":["touch","a"]}}})"));
}

TEST(ApprovalPrompt, FallsBackToTheUsualDecisionsWhenNoneAreNamed) {
    for (const char* params :
         {R"({})", R"({"availableDecisions":null})", R"({"availableDecisions":"accept"})"}) {
        const auto choices = ApprovalPrompt::choicesFor(*JSONValue::decode(params));
        ASSERT_EQ(choices.size(), 4u) << params;
        EXPECT_EQ(ApprovalPrompt::decisionFor(choices, ""), JSONValue("decline"));
        EXPECT_EQ(ApprovalPrompt::decisionFor(choices, "c"), JSONValue("cancel"));
        EXPECT_EQ(ApprovalPrompt::decisionFor(choices, "s"), JSONValue("acceptForSession"));
        EXPECT_EQ(ApprovalPrompt::decisionFor(choices, "Session"), JSONValue("acceptForSession"));
    }
    // Odd entries are skipped or numbered, never fatal; a repeated decision shows once.
    const auto odd = ApprovalPrompt::choicesFor(*JSONValue::decode(
        R"({"availableDecisions":[7,"","accept","accept","later",{"a":1,"b":2},{"maybe":{}}]})"));
    std::vector<std::string> keys;
    for (const ApprovalChoice& choice : odd) {
        keys.push_back(choice.key + "=" + choice.meaning);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"y=yes (accept)", "5=later", "7=maybe"}));
}

TEST(ApprovalPrompt, SaysHowTheBridgeSettledAQuestion) {
    const std::pair<const char*, const char*> table[] = {
        {R"({"outcome":"answered","deviceName":"Laptop","decision":"acceptForSession"})",
         "Approved on Laptop"},
        {R"({"outcome":"answered","deviceName":"Phone","decision":"cancel"})", "Declined on Phone"},
        {R"({"outcome":"answered","deviceName":"Phone","decision":{"applyNetworkPolicyAmendment":{}}})",
         "Answered on Phone"},
        {R"({"outcome":"withdrawn"})", "Codex no longer needs this"},
        {R"({"outcome":"timedOut"})", "Declined: nobody answered in time"},
        {R"({"outcome":"restarted"})", "Codex was restarted"},
    };
    for (const auto& [outcome, note] : table) {
        EXPECT_EQ(ApprovalPrompt::settledNote(*JSONValue::decode(outcome)), note) << outcome;
    }
}
