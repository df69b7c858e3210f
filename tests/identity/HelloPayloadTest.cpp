#include "identity/HelloPayload.h"

#include "identity/Base64.h"
#include "identity/P256SigningKey.h"

#include <gtest/gtest.h>

using tarnwick::base64Decode;
using tarnwick::base64Encode;
using tarnwick::HelloPayload;
using tarnwick::JSONArray;
using tarnwick::JSONObject;
using tarnwick::JSONValue;
using tarnwick::P256SigningKey;

namespace {

// A hello with chosen texts, signed over exactly those texts.
HelloPayload signedHello(const P256SigningKey& key, std::string deviceID, std::string displayName,
                         std::string nonce, std::optional<std::string> publicKey = {}) {
    HelloPayload hello{std::move(deviceID),
                       std::move(displayName),
                       publicKey.value_or(base64Encode(key.publicKeyRawRepresentation())),
                       std::move(nonce),
                       {}};
    hello.signature = base64Encode(*key.signature(hello.signedText()));
    return hello;
}

// Rewrites a DER signature SEQUENCE { INTEGER r, INTEGER s } with a redundant leading zero in r.
std::string withRedundantZero(const std::string& der) {
    std::string out = der;
    std::size_t rLength = static_cast<unsigned char>(out[3]);
    out.insert(4, 1, '\0');
    out[3] = static_cast<char>(rLength + 1);
    out[1] = static_cast<char>(static_cast<unsigned char>(out[1]) + 1);
    return out;
}

class HelloPayloadTest : public ::testing::Test {
protected:
    P256SigningKey key = P256SigningKey::generate().value();
    P256SigningKey otherKey = P256SigningKey::generate().value();
    HelloPayload hello = signedHello(key, "d1", "Studio", base64Encode(std::string(24, '\x2a')));
};

TEST_F(HelloPayloadTest, ChangingAnyOneCharacterOfASignedTextBreaksTheSignature) {
    EXPECT_TRUE(hello.verify());
    for (auto field : {&HelloPayload::deviceID, &HelloPayload::displayName,
                       &HelloPayload::publicKey, &HelloPayload::nonce}) {
        for (std::size_t at : {std::size_t{0}, (hello.*field).size() / 2}) {
            HelloPayload changed = hello;
            char& c = (changed.*field)[at];
            c = c == 'A' ? 'B' : 'A';
            EXPECT_FALSE(changed.verify()) << changed.signedText();
        }
        HelloPayload longer = hello;
        longer.*field += "A";
        EXPECT_FALSE(longer.verify()) << longer.signedText();
    }
}

TEST_F(HelloPayloadTest, ASignatureOfOtherBytesOrByAnotherKeyIsRefused) {
    HelloPayload other = signedHello(key, "d1", "Studio", base64Encode(std::string(24, '\x2b')));
    ASSERT_TRUE(other.verify());
    HelloPayload swapped = hello;
    swapped.signature = other.signature;
    EXPECT_FALSE(swapped.verify());

    HelloPayload foreign = signedHello(otherKey, "d1", "Studio", hello.nonce);
    foreign.publicKey = hello.publicKey;
    EXPECT_FALSE(foreign.verify());
}

TEST_F(HelloPayloadTest, MalformedKeysAndSignaturesGiveFalse) {
    const std::string raw = key.publicKeyRawRepresentation();
    const std::string der = *base64Decode(hello.signature);
    auto signedWithKeyText = [&](std::string keyText) {
        return signedHello(key, "d1", "Studio", "n", std::move(keyText));
    };
    auto withSignature = [&](std::string signature) {
        HelloPayload changed = hello;
        changed.signature = std::move(signature);
        return changed;
    };
    // Each key text is covered by a valid signature, so only its form can refuse it. Base64 in
    // any but the padded standard form is refused by the decoder (Base64Test).
    const std::pair<const char*, HelloPayload> cases[] = {
        {"65-byte uncompressed point", signedWithKeyText(base64Encode("\x04" + raw))},
        {"33-byte compressed point", signedWithKeyText(base64Encode("\x02" + raw.substr(0, 32)))},
        {"point not on the curve", signedWithKeyText(base64Encode(std::string(64, '\x01')))},
        {"empty key", signedWithKeyText("")},
        {"signature with a redundant zero", withSignature(base64Encode(withRedundantZero(der)))},
        {"signature with a trailing byte", withSignature(base64Encode(der + '\0'))},
        {"signature cut short", withSignature(base64Encode(der.substr(0, der.size() - 1)))},
        {"raw r||s signature", withSignature(base64Encode(std::string(64, '\x11')))},
        {"empty signature", withSignature("")},
        {"signature that is not base64", withSignature("not base64!")},
    };
    for (const auto& [what, payload] : cases) {
        EXPECT_FALSE(payload.verify()) << what;
    }
}

// Display names of every kind are signed both ways in HelloInteropTest.
TEST_F(HelloPayloadTest, AnyNonceIsSignedAsItStands) {
    const char* nonces[] = {"", "short", "not base64 at all!", "\xc3\xa9\xe2\x98\x83", "n|n"};
    for (const char* nonce : nonces) {
        EXPECT_TRUE(signedHello(key, "d|1", "a|b", nonce).verify()) << nonce;
    }
}

TEST_F(HelloPayloadTest, JsonFormRoundTripsAndNeedsAllFiveStrings) {
    JSONValue json = hello.toJSON();
    ASSERT_TRUE(json.objectValue());
    EXPECT_EQ(json.objectValue()->size(), 5u);
    EXPECT_EQ(*json.member("deviceID")->stringValue(), "d1");
    EXPECT_EQ(*json.member("signature")->stringValue(), hello.signature);
    EXPECT_EQ(*HelloPayload::fromJSON(json), hello);

    auto decoded = JSONValue::decode(
        R"({"extra":[1],"signature":"s","nonce":"n","publicKey":"p","displayName":"d","deviceID":"i"})");
    ASSERT_TRUE(decoded.hasValue());
    EXPECT_EQ(*HelloPayload::fromJSON(*decoded), (HelloPayload{"i", "d", "p", "n", "s"}));

    for (const char* name : {"deviceID", "displayName", "publicKey", "nonce", "signature"}) {
        JSONObject changed = *json.objectValue();
        changed.erase(name);
        EXPECT_FALSE(HelloPayload::fromJSON(changed).hasValue()) << name;
        changed.set(name, JSONArray{"p"});
        EXPECT_FALSE(HelloPayload::fromJSON(changed).hasValue()) << name;
    }
    auto unreadable = HelloPayload::fromJSON(JSONValue("hello"));
    ASSERT_FALSE(unreadable.hasValue());
    EXPECT_FALSE(unreadable.error().description.empty());
}

// The six digits themselves are checked against an independent implementation in
// HelloInteropTest.
TEST(PairingCode, FollowsTheWorkedExampleAndDependsOnlyOnKeysAndNoncesInEitherOrder) {
    EXPECT_EQ(tarnwick::pairingCodeOfText("abc"), "432319");
    HelloPayload mac{"x", "y", "P2", "N2", "z"};
    HelloPayload phone{"u", "v", "P1", "N1", "w"};
    const std::string code = tarnwick::pairingCode(mac, phone);
    EXPECT_EQ(code, tarnwick::pairingCodeOfText("P1|N1|P2|N2"));
    EXPECT_EQ(tarnwick::pairingCode(phone, mac), code);

    HelloPayload renamed{"other", "Other", "P1", "N1", "other"};
    EXPECT_EQ(tarnwick::pairingCode(mac, renamed), code);
    HelloPayload renonced{"u", "v", "P1", "N3", "w"};
    EXPECT_NE(tarnwick::pairingCode(mac, renonced), code);
}

} // namespace
