#include "identity/HandshakeV2.h"

#include "IdentityFixture.h"
#include "identity/Base64.h"
#include "json/JSONDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

using tarnwick::HelloOffer;
using tarnwick::JSONObject;
using tarnwick::JSONValue;

namespace {

using HandshakeV2Test = tarnwick::testing::IdentityFixture;

TEST_F(HandshakeV2Test, FieldsAreLengthPrefixedSoNoTwoListsShareAText) {
    EXPECT_EQ(tarnwick::v2Text("L", {"ab", ""}), "L|2:ab|0:");
    EXPECT_EQ(tarnwick::v2Text("L", {}), "L");
    EXPECT_EQ(tarnwick::v2Text("", {"é"}), "|2:é"); // bytes, not characters
    // The splits that a plain "|" join would confuse.
    std::set<std::string> made;
    for (auto fields : {std::initializer_list<std::string_view>{"a|b", "c"},
                        {"a", "b|c"},
                        {"a", "b", "c"},
                        {"a|b|c"},
                        {"a:b", "c"},
                        {"1:a", ""}}) {
        EXPECT_TRUE(made.insert(tarnwick::v2Text("L", fields)).second);
    }
}

TEST_F(HandshakeV2Test, OffersCarryProtocolTwoAndNeedAllFiveTexts) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    HelloOffer offer = identity->makeOffer("Studio", std::string(64, 'f'));
    EXPECT_EQ(offer.deviceID, identity->deviceID());
    EXPECT_EQ(offer.publicKey, identity->publicKeyText());
    EXPECT_TRUE(tarnwick::isNonceV2(offer.nonce));
    EXPECT_NE(identity->makeOffer("Studio", "").nonce, offer.nonce);

    JSONValue json = offer.toJSON();
    EXPECT_EQ(json.member("protocol")->numberValue(), 2.0);
    EXPECT_EQ(HelloOffer::fromJSON(json).value(), offer);
    for (const char* name : {"deviceID", "displayName", "publicKey", "nonce", "certificate"}) {
        JSONObject missing = *json.objectValue();
        missing.erase(name);
        EXPECT_FALSE(HelloOffer::fromJSON(missing).hasValue()) << name;
        missing.set(name, 7);
        EXPECT_FALSE(HelloOffer::fromJSON(missing).hasValue()) << name;
    }
    EXPECT_FALSE(HelloOffer::fromJSON(JSONValue("hello")).hasValue());
    EXPECT_FALSE(tarnwick::isNonceV2(tarnwick::base64Encode(std::string(31, 'n'))));
}

TEST_F(HandshakeV2Test, AProofCoversEveryOfferedTextAndItsDirection) {
    auto identity = makeIdentity();
    ASSERT_TRUE(identity);
    HelloOffer bridge = identity->makeOffer("Studio", std::string(64, 'f'));
    HelloOffer device{"phone", "Phone", identity->publicKeyText(), tarnwick::randomNonceV2(), ""};
    const std::string fp = bridge.certificate;
    std::string signature = identity->sign(tarnwick::bridgeProofText(bridge, device, fp)).value();
    auto verifies = [&](const HelloOffer& b, const HelloOffer& d, std::string_view f) {
        return tarnwick::verifySignature(b.publicKey, tarnwick::bridgeProofText(b, d, f),
                                         signature);
    };
    EXPECT_TRUE(verifies(bridge, device, fp));
    EXPECT_FALSE(verifies(bridge, device, ""));
    for (auto field : {&HelloOffer::deviceID, &HelloOffer::displayName, &HelloOffer::publicKey,
                       &HelloOffer::nonce}) {
        for (HelloOffer* side : {&bridge, &device}) {
            HelloOffer saved = *side;
            (side->*field)[0] ^= 1;
            EXPECT_FALSE(verifies(bridge, device, fp));
            *side = saved;
        }
    }
    // The device's proof over the same values is another text: one cannot stand for the other.
    EXPECT_FALSE(tarnwick::verifySignature(
        bridge.publicKey, tarnwick::deviceProofText(bridge, device, fp), signature));
    // Keys in any other form are refused, not repaired (HelloPayloadTest has the other forms).
    EXPECT_FALSE(tarnwick::verifySignature(
        bridge.publicKey + "\n", tarnwick::bridgeProofText(bridge, device, fp), signature));
}

// The vectors every device side checks itself against (the phone's page among them), made by
// an independent implementation: the texts as base64 of their bytes, the MAC, the commitment and
// the code (HelloInteropTest compares commitments and codes of random values too).
TEST_F(HandshakeV2Test, TextsAndValuesMatchTheSharedVectors) {
    std::ifstream file(TARNWICK_V2_VECTORS, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    auto vectors = tarnwick::JSONDecoder().decode(text.str());
    ASSERT_TRUE(vectors) << TARNWICK_V2_VECTORS;
    auto string = [](const JSONValue& object, std::string_view name) {
        const JSONValue* member = object.member(name);
        return member && member->stringValue() ? *member->stringValue() : std::string();
    };
    HelloOffer bridge = HelloOffer::fromJSON(*vectors->member("bridge")).value();
    std::string secret = string(*vectors, "secret");
    std::replace(secret.begin(), secret.end(), '-', '+');
    std::replace(secret.begin(), secret.end(), '_', '/');
    secret = tarnwick::base64Decode(secret + std::string((4 - secret.size() % 4) % 4, '=')).value();
    ASSERT_EQ(secret.size(), 32u);

    const auto* cases = vectors->member("cases")->arrayValue();
    ASSERT_TRUE(cases && cases->size() == 2);
    for (const JSONValue& vector : *cases) {
        HelloOffer device = HelloOffer::fromJSON(*vector.member("device")).value();
        const std::string fp = string(vector, "fp");
        SCOPED_TRACE(fp.empty() ? "browser" : "native device");
        const std::string qrText = tarnwick::qrPairingText(device, bridge, fp);
        EXPECT_EQ(tarnwick::base64Encode(qrText), string(vector, "qrPairingText"));
        EXPECT_EQ(tarnwick::qrPairingProof(secret, qrText), string(vector, "qrPairingProof"));
        EXPECT_EQ(tarnwick::base64Encode(tarnwick::deviceProofText(device, bridge, fp)),
                  string(vector, "deviceProofText"));
        EXPECT_EQ(tarnwick::base64Encode(tarnwick::bridgeProofText(bridge, device, fp)),
                  string(vector, "bridgeProofText"));
        const std::string rD = string(vector, "devicePairingNonce");
        EXPECT_EQ(tarnwick::pairingCommitment(device.publicKey, rD),
                  string(vector, "pairingCommitment"));
        EXPECT_EQ(tarnwick::pairingCodeV2(bridge.publicKey, device.publicKey, bridge.nonce,
                                          device.nonce, string(vector, "bridgePairingNonce"), rD,
                                          fp),
                  string(vector, "pairingCode"));
    }
}

TEST_F(HandshakeV2Test, AQrProofMatchesOnlyItsOwnSecretAndTextExactly) {
    const std::string secret(32, '\x5a');
    const std::string text = "tarnwick-v2-qr-pairing|1:a";
    const std::string proof = tarnwick::qrPairingProof(secret, text);
    EXPECT_EQ(tarnwick::base64Decode(proof)->size(), 32u);
    EXPECT_TRUE(tarnwick::qrPairingProofMatches(secret, text, proof));
    std::string flipped = proof;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    for (const std::string& wrong :
         {flipped, proof + "=", proof.substr(0, 43), std::string(), proof + "\n"}) {
        EXPECT_FALSE(tarnwick::qrPairingProofMatches(secret, text, wrong)) << wrong;
    }
    EXPECT_FALSE(tarnwick::qrPairingProofMatches(std::string(32, '\x5b'), text, proof));
    EXPECT_FALSE(tarnwick::qrPairingProofMatches(secret, text + "b", proof));
}

} // namespace
