// Checks hellos and pairing codes against an independent implementation of the same rules:
// tests/identity/hello_peer.py, built on Python's "cryptography" package.
#include "IdentityFixture.h"
#include "identity/HelloPayload.h"

#include <QProcess>

#include <gtest/gtest.h>

using tarnwick::HelloPayload;
using tarnwick::JSONArray;
using tarnwick::JSONObject;
using tarnwick::JSONValue;

namespace {

// Sends one request to the Python peer and gives its answer.
JSONObject askPeer(const JSONObject& request) {
    QProcess peer;
    peer.start("/usr/bin/python3", {"-B", TARNWICK_HELLO_PEER});
    std::string input = *JSONValue(request).encode();
    peer.write(input.data(), static_cast<qint64>(input.size()));
    peer.closeWriteChannel();
    EXPECT_TRUE(peer.waitForFinished(120000));
    EXPECT_EQ(peer.exitCode(), 0) << peer.readAllStandardError().toStdString();
    std::string output = peer.readAllStandardOutput().toStdString();
    auto answer = JSONValue::decode(output);
    EXPECT_TRUE(answer.hasValue() && answer->objectValue()) << output;
    return answer && answer->objectValue() ? *answer->objectValue() : JSONObject{};
}

std::vector<bool> flags(const JSONObject& answer, std::string_view name) {
    std::vector<bool> result;
    if (const JSONValue* list = answer.find(name); list && list->arrayValue()) {
        for (const auto& flag : *list->arrayValue()) {
            result.push_back(flag.boolValue().value_or(false));
        }
    }
    return result;
}

std::vector<HelloPayload> hellos(const JSONObject& answer) {
    std::vector<HelloPayload> result;
    if (const JSONValue* list = answer.find("made"); list && list->arrayValue()) {
        for (const auto& item : *list->arrayValue()) {
            auto hello = HelloPayload::fromJSON(item);
            EXPECT_TRUE(hello.hasValue()) << item.displayText();
            if (hello) {
                result.push_back(*hello);
            }
        }
    }
    return result;
}

std::vector<std::string> texts(const JSONObject& answer, std::string_view name) {
    std::vector<std::string> result;
    if (const JSONValue* list = answer.find(name); list && list->arrayValue()) {
        for (const auto& item : *list->arrayValue()) {
            result.push_back(item.stringValue() ? *item.stringValue() : "");
        }
    }
    return result;
}

const std::vector<std::string> displayNames = {
    "Studio", "", "a|b|c", "Ünïcødé ☃ 🚀", std::string(1000, 'x'), "\"quoted\" \\ tab\t",
};

using HelloInteropTest = tarnwick::testing::IdentityFixture;

TEST_F(HelloInteropTest, ThePeerAcceptsOurHellosAndRefusesChangedOnes) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    JSONArray ours;
    std::vector<bool> expected;
    for (const auto& name : displayNames) {
        auto hello = identity->makeHello(name);
        ASSERT_TRUE(hello.hasValue());
        ours.push_back(hello->toJSON());
        expected.push_back(true);
        HelloPayload renamed = *hello;
        renamed.displayName += "!";
        ours.push_back(renamed.toJSON());
        expected.push_back(false);
        HelloPayload moved = *hello;
        moved.deviceID = "someone-else";
        ours.push_back(moved.toJSON());
        expected.push_back(false);
    }
    JSONObject answer = askPeer(JSONObject{{"verify", ours}});
    EXPECT_EQ(flags(answer, "verified"), expected);
    std::vector<bool> wellFormed = flags(answer, "wellFormed");
    ASSERT_EQ(wellFormed.size(), expected.size());
    for (std::size_t i = 0; i < wellFormed.size(); ++i) {
        EXPECT_TRUE(wellFormed[i]) << ours[i].displayText();
    }
}

TEST_F(HelloInteropTest, WeAcceptThePeersHellosAndRefuseChangedOnes) {
    JSONArray specs;
    for (const auto& name : displayNames) {
        specs.push_back(JSONObject{{"deviceID", "peer-device"}, {"displayName", name}});
    }
    specs.push_back(JSONObject{{"deviceID", "d"}, {"displayName", "empty nonce"}, {"nonce", ""}});
    specs.push_back(JSONObject{{"deviceID", "d"}, {"displayName", "odd nonce"}, {"nonce", "n|n"}});
    std::vector<HelloPayload> theirs = hellos(askPeer(JSONObject{{"make", specs}}));
    ASSERT_EQ(theirs.size(), specs.size());
    for (const auto& hello : theirs) {
        EXPECT_TRUE(hello.verify()) << hello.displayName;
        for (auto field : {&HelloPayload::deviceID, &HelloPayload::displayName,
                           &HelloPayload::publicKey, &HelloPayload::nonce}) {
            HelloPayload changed = hello;
            changed.*field += "x";
            EXPECT_FALSE(changed.verify()) << changed.signedText();
        }
    }
    HelloPayload swapped = theirs[0];
    swapped.signature = theirs[1].signature;
    EXPECT_FALSE(swapped.verify());
}

TEST_F(HelloInteropTest, BothSidesDeriveTheSamePairingCode) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    JSONArray specs;
    for (int i = 0; i < 10; ++i) {
        specs.push_back(JSONObject{{"deviceID", "phone"}, {"displayName", "Phone"}});
    }
    std::vector<HelloPayload> theirs = hellos(askPeer(JSONObject{{"make", specs}}));
    ASSERT_EQ(theirs.size(), specs.size());

    JSONArray pairs;
    std::vector<std::string> ourCodes;
    for (const auto& theirHello : theirs) {
        auto ourHello = identity->makeHello("Studio");
        ASSERT_TRUE(ourHello.hasValue());
        pairs.push_back(JSONArray{ourHello->toJSON(), theirHello.toJSON()});
        pairs.push_back(JSONArray{theirHello.toJSON(), ourHello->toJSON()});
        std::string code = tarnwick::pairingCode(*ourHello, theirHello);
        EXPECT_EQ(tarnwick::pairingCode(theirHello, *ourHello), code);
        ourCodes.push_back(code);
        ourCodes.push_back(code);
    }
    // Texts of the worked example and plenty whose codes start with zeros.
    JSONArray textList = {"abc", "", "P1|N1|P2|N2", "é|☃"};
    std::vector<std::string> ourTextCodes;
    for (int i = 0; i < 200; ++i) {
        textList.push_back("text-" + std::to_string(i));
    }
    int leadingZeros = 0;
    for (const auto& text : textList) {
        ourTextCodes.push_back(tarnwick::pairingCodeOfText(*text.stringValue()));
        leadingZeros += ourTextCodes.back()[0] == '0';
    }
    EXPECT_GT(leadingZeros, 0);
    EXPECT_EQ(ourTextCodes[0], "432319");

    JSONObject answer = askPeer(JSONObject{{"codes", pairs}, {"textCodes", textList}});
    EXPECT_EQ(texts(answer, "codes"), ourCodes);
    EXPECT_EQ(texts(answer, "textCodes"), ourTextCodes);
}

} // namespace
