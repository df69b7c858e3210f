// Checks hellos, proofs and pairing codes against an independent implementation of the same
// rules: tests/identity/hello_peer.py, built on Python's "cryptography" package.
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

// The list `name` of the peer's answer, each item read by `read`.
template <class Read>
auto listOf(const JSONObject& answer, std::string_view name, Read read) {
    std::vector<decltype(read(JSONValue()))> result;
    if (const JSONValue* list = answer.find(name); list && list->arrayValue()) {
        for (const auto& item : *list->arrayValue()) {
            result.push_back(read(item));
        }
    }
    return result;
}

std::vector<bool> flags(const JSONObject& answer, std::string_view name) {
    return listOf(answer, name, [](const JSONValue& item) { return item.boolValue() == true; });
}

std::vector<std::string> texts(const JSONObject& answer, std::string_view name) {
    return listOf(answer, name, [](const JSONValue& item) {
        return item.stringValue() ? *item.stringValue() : std::string();
    });
}

const std::vector<std::string> displayNames = {
    "Studio", "", "a|b|c", "Ünïcødé ☃ 🚀", std::string(1000, 'x'), "\"quoted\" \\ tab\t",
};

const std::string fingerprint(64, 'a');

using HelloInteropTest = tarnwick::testing::IdentityFixture;

TEST_F(HelloInteropTest, EachSideAcceptsTheOthersHellos) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    JSONArray ours;
    JSONArray wanted;
    for (const auto& name : displayNames) {
        auto hello = identity->makeHello(name);
        ASSERT_TRUE(hello.hasValue());
        ours.push_back(hello->toJSON());
        wanted.push_back(JSONObject{{"deviceID", "peer-device"}, {"displayName", name}});
    }
    // One changed hello, so that a peer accepting anything would fail the test.
    HelloPayload renamed = *HelloPayload::fromJSON(ours[0]);
    renamed.displayName += "!";
    ours.push_back(renamed.toJSON());
    std::vector<bool> expected(displayNames.size(), true);
    expected.push_back(false);

    JSONObject answer = askPeer(JSONObject{{"verify", ours}, {"make", wanted}});
    EXPECT_EQ(flags(answer, "verified"), expected);
    auto theirs = listOf(answer, "made", HelloPayload::fromJSON);
    ASSERT_EQ(theirs.size(), wanted.size());
    for (const auto& hello : theirs) {
        ASSERT_TRUE(hello.hasValue());
        EXPECT_TRUE(hello->verify()) << hello->displayName;
    }
}

TEST_F(HelloInteropTest, VersionTwoProofsVerifyBothWaysAndOnlyForTheirOwnConnection) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    // The peer plays the device: it offers itself against our offer and signs its proof.
    JSONArray wanted;
    std::vector<HelloOffer> bridges;
    for (std::size_t i = 0; i < displayNames.size(); ++i) {
        const std::string fp = i % 2 ? "" : fingerprint; // a browser names no certificate
        bridges.push_back(identity->makeOffer("Studio", fingerprint));
        wanted.push_back(JSONObject{{"bridge", bridges.back().toJSON()},
                                    {"deviceID", "peer-device"},
                                    {"displayName", displayNames[i]},
                                    {"fp", fp}});
    }
    const JSONObject answer = askPeer(JSONObject{{"v2Make", wanted}});
    const JSONValue* made = answer.find("v2Made");
    ASSERT_TRUE(made && made->arrayValue() && made->arrayValue()->size() == bridges.size());

    JSONArray ourProofs;
    for (std::size_t i = 0; i < bridges.size(); ++i) {
        const JSONValue& item = (*made->arrayValue())[i];
        auto device = HelloOffer::fromJSON(*item.member("offer"));
        ASSERT_TRUE(device.hasValue());
        const std::string& signature = *item.member("signature")->stringValue();
        const std::string& fp = device->certificate;
        EXPECT_TRUE(tarnwick::verifySignature(
            device->publicKey, tarnwick::deviceProofText(*device, bridges[i], fp), signature));
        // Replayed on a connection with another bridge nonce, the same signature is worthless.
        HelloOffer otherConnection = bridges[i];
        otherConnection.nonce = tarnwick::randomNonceV2();
        EXPECT_FALSE(tarnwick::verifySignature(
            device->publicKey, tarnwick::deviceProofText(*device, otherConnection, fp), signature));

        auto ours = identity->sign(tarnwick::bridgeProofText(bridges[i], *device, fp));
        ASSERT_TRUE(ours.hasValue());
        ourProofs.push_back(JSONObject{{"bridge", bridges[i].toJSON()},
                                       {"device", device->toJSON()},
                                       {"fp", fp},
                                       {"signature", *ours}});
    }
    EXPECT_EQ(flags(askPeer(JSONObject{{"v2Verify", ourProofs}}), "v2Verified"),
              std::vector<bool>(bridges.size(), true));
}

// Codes and commitments of random keys and nonces; plenty of the codes start with zeros.
TEST_F(HelloInteropTest, PairingCodesAndCommitmentsMatchThePeers) {
    JSONArray pairs;
    JSONArray commitments;
    JSONArray codes;
    std::vector<std::string> ourCodes;
    std::vector<std::string> ourCommitments;
    std::vector<std::string> ourV2Codes;
    int leadingZeros[2] = {0, 0};
    for (int i = 0; i < 200; ++i) {
        std::vector<std::string> values;
        for (int v = 0; v < 6; ++v) {
            values.push_back(tarnwick::randomNonceV2());
        }
        values.push_back(i % 2 ? "" : fingerprint);
        HelloPayload first{"a", "A", values[0], values[2], "s"};
        HelloPayload second{"b", "B", values[1], values[3], "s"};
        pairs.push_back(JSONArray{first.toJSON(), second.toJSON()});
        ourCodes.push_back(tarnwick::pairingCode(first, second));
        commitments.push_back(JSONArray{values[1], values[5]});
        ourCommitments.push_back(tarnwick::pairingCommitment(values[1], values[5]));
        codes.push_back(JSONArray(values.begin(), values.end()));
        ourV2Codes.push_back(tarnwick::pairingCodeV2(values[0], values[1], values[2], values[3],
                                                     values[4], values[5], values[6]));
        leadingZeros[0] += ourCodes.back()[0] == '0';
        leadingZeros[1] += ourV2Codes.back()[0] == '0';
    }
    EXPECT_GT(leadingZeros[0], 0);
    EXPECT_GT(leadingZeros[1], 0);
    JSONObject answer =
        askPeer(JSONObject{{"codes", pairs}, {"v2Commitments", commitments}, {"v2Codes", codes}});
    EXPECT_EQ(texts(answer, "codes"), ourCodes);
    EXPECT_EQ(texts(answer, "v2Commitments"), ourCommitments);
    EXPECT_EQ(texts(answer, "v2Codes"), ourV2Codes);
}

} // namespace
