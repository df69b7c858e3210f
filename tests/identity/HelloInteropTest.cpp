// Checks hellos and pairing codes against an independent implementation of the same rules:
// tests/identity/hello_peer.py, built on Python's "cryptography" package.
#include "IdentityFixture.h"
#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"

#include <QProcess>

#include <gtest/gtest.h>

using tarnwick::HelloOffer;
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

const std::string fingerprint(64, 'a');

TEST_F(HelloInteropTest, VersionTwoProofsVerifyBothWaysAndOnlyForTheirOwnConnection) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    // The peer plays the device: it offers itself against our offer and signs its proof.
    JSONArray wanted;
    std::vector<HelloOffer> bridges;
    for (std::size_t i = 0; i < displayNames.size(); ++i) {
        bridges.push_back(identity->makeOffer("Studio", fingerprint));
        std::string fp = i % 2 ? "" : fingerprint; // a browser names no certificate
        wanted.push_back(JSONObject{{"bridge", bridges.back().toJSON()},
                                    {"deviceID", "peer-device"},
                                    {"displayName", displayNames[i]},
                                    {"fp", fp}});
    }
    const JSONObject answer = askPeer(JSONObject{{"v2Make", wanted}});
    const JSONValue* made = answer.find("v2Made");
    ASSERT_TRUE(made && made->arrayValue() && made->arrayValue()->size() == bridges.size());

    JSONArray ourProofs;
    std::vector<bool> expected;
    for (std::size_t i = 0; i < bridges.size(); ++i) {
        const JSONValue& item = (*made->arrayValue())[i];
        auto device = HelloOffer::fromJSON(*item.member("offer"));
        ASSERT_TRUE(device.hasValue());
        const std::string& signature = *item.member("signature")->stringValue();
        const std::string& fp = device->certificate;
        EXPECT_TRUE(tarnwick::verifySignature(
            device->publicKey, tarnwick::deviceProofText(*device, bridges[i], fp), signature));
        // Replayed on a connection with another bridge nonce, or with the certificate changed
        // by a relay, or as the bridge's proof, the same signature is worthless.
        HelloOffer otherConnection = bridges[i];
        otherConnection.nonce = tarnwick::randomNonceV2();
        EXPECT_FALSE(tarnwick::verifySignature(
            device->publicKey, tarnwick::deviceProofText(*device, otherConnection, fp), signature));
        EXPECT_FALSE(tarnwick::verifySignature(
            device->publicKey, tarnwick::deviceProofText(*device, bridges[i], fp + "b"),
            signature));
        EXPECT_FALSE(tarnwick::verifySignature(
            device->publicKey, tarnwick::bridgeProofText(bridges[i], *device, fp), signature));

        // And we sign the bridge's proof for the peer to check, once right and once replayed.
        auto ours = identity->sign(tarnwick::bridgeProofText(bridges[i], *device, fp));
        ASSERT_TRUE(ours.hasValue());
        ourProofs.push_back(JSONObject{{"bridge", bridges[i].toJSON()},
                                       {"device", device->toJSON()},
                                       {"fp", fp},
                                       {"signature", *ours}});
        expected.push_back(true);
        HelloOffer replayedTo = *device;
        replayedTo.nonce = tarnwick::randomNonceV2();
        ourProofs.push_back(JSONObject{{"bridge", bridges[i].toJSON()},
                                       {"device", replayedTo.toJSON()},
                                       {"fp", fp},
                                       {"signature", *ours}});
        expected.push_back(false);
    }
    EXPECT_EQ(flags(askPeer(JSONObject{{"v2Verify", ourProofs}}), "v2Verified"), expected);
}

TEST_F(HelloInteropTest, VersionTwoTextsCommitmentsAndCodesMatchThePeers) {
    JSONArray textCases;
    std::vector<std::string> ourTexts;
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"L", {"ab", ""}},
        {"", {}},
        {"x", {"|1:", "é☃🚀"}},
        {"tarnwick-v2-code", {displayNames[4]}}};
    for (const auto& [label, fields] : cases) {
        JSONArray fieldList(fields.begin(), fields.end());
        textCases.push_back(JSONArray{label, fieldList});
        std::string text = label;
        // Built field by field here, since v2Text takes a fixed list.
        for (const auto& field : fields) {
            text += tarnwick::v2Text("", {field});
        }
        ourTexts.push_back(text);
    }
    EXPECT_EQ(tarnwick::v2Text("L", {"ab", ""}), "L|2:ab|0:");
    EXPECT_EQ(ourTexts[2], "x|3:|1:|9:é☃🚀");

    JSONArray commitments;
    JSONArray codes;
    std::vector<std::string> ourCommitments;
    std::vector<std::string> ourCodes;
    int leadingZeros = 0;
    for (int i = 0; i < 200; ++i) {
        std::string key = tarnwick::randomNonceV2() + tarnwick::randomNonceV2();
        std::string nonce = tarnwick::randomNonceV2();
        commitments.push_back(JSONArray{key, nonce});
        ourCommitments.push_back(tarnwick::pairingCommitment(key, nonce));
        std::vector<std::string> values;
        for (int v = 0; v < 6; ++v) {
            values.push_back(tarnwick::randomNonceV2());
        }
        values.push_back(i % 2 ? "" : fingerprint);
        codes.push_back(JSONArray(values.begin(), values.end()));
        ourCodes.push_back(tarnwick::pairingCodeV2(values[0], values[1], values[2], values[3],
                                                   values[4], values[5], values[6]));
        leadingZeros += ourCodes.back()[0] == '0';
    }
    EXPECT_GT(leadingZeros, 0);
    JSONObject answer = askPeer(
        JSONObject{{"v2Texts", textCases}, {"v2Commitments", commitments}, {"v2Codes", codes}});
    EXPECT_EQ(texts(answer, "v2Texts"), ourTexts);
    EXPECT_EQ(texts(answer, "v2Commitments"), ourCommitments);
    EXPECT_EQ(texts(answer, "v2Codes"), ourCodes);
}

} // namespace
