#include "identity/HandshakeV2.h"

#include "identity/Base64.h"
#include "identity/CryptoSupport.h"
#include "identity/HelloPayload.h"
#include "identity/P256PublicKey.h"
#include "identity/TextMembers.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstdlib>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::size_t nonceSize = 32;
constexpr std::string_view bridgeProofLabel = "tarnwick-v2-bridge-proof";
constexpr std::string_view deviceProofLabel = "tarnwick-v2-device-proof";
constexpr std::string_view commitLabel = "tarnwick-v2-commit";
constexpr std::string_view codeLabel = "tarnwick-v2-code";
constexpr std::string_view qrPairingLabel = "tarnwick-v2-qr-pairing";

constexpr TextMembers<HelloOffer, 5> members = {{
    {"deviceID", &HelloOffer::deviceID},
    {"displayName", &HelloOffer::displayName},
    {"publicKey", &HelloOffer::publicKey},
    {"nonce", &HelloOffer::nonce},
    {"certificate", &HelloOffer::certificate},
}};

// `first`'s four offered texts, then `second`'s, then the certificate.
std::string proofText(std::string_view label, const HelloOffer& first, const HelloOffer& second,
                      std::string_view fp) {
    return v2Text(label, {first.deviceID, first.displayName, first.publicKey, first.nonce,
                          second.deviceID, second.displayName, second.publicKey, second.nonce, fp});
}

} // namespace

std::string v2Text(std::string_view label, std::initializer_list<std::string_view> fields) {
    std::size_t size = label.size();
    for (std::string_view field : fields) {
        size += field.size() + 22;
    }
    std::string text;
    text.reserve(size);
    text.append(label);
    for (std::string_view field : fields) {
        text.append(1, '|').append(std::to_string(field.size())).append(1, ':').append(field);
    }
    return text;
}

JSONValue HelloOffer::toJSON() const {
    JSONObject object;
    object.set("protocol", 2);
    writeTextMembers(*this, members, object);
    return object;
}

Expected<HelloOffer, Error> HelloOffer::fromJSON(const JSONValue& body) {
    return readTextMembers(body, members);
}

std::string bridgeProofText(const HelloOffer& bridge, const HelloOffer& device,
                            std::string_view fp) {
    return proofText(bridgeProofLabel, bridge, device, fp);
}

std::string deviceProofText(const HelloOffer& device, const HelloOffer& bridge,
                            std::string_view fp) {
    return proofText(deviceProofLabel, device, bridge, fp);
}

bool verifySignature(std::string_view publicKeyBase64, std::string_view text,
                     std::string_view signatureBase64) {
    auto rawKey = base64Decode(publicKeyBase64);
    auto der = base64Decode(signatureBase64);
    if (!rawKey || !der) {
        return false;
    }
    auto key = P256PublicKey::fromRawRepresentation(*rawKey);
    return key && key->isValidSignature(*der, text);
}

bool isNonceV2(std::string_view text) {
    auto bytes = base64Decode(text);
    return bytes && bytes->size() == nonceSize;
}

std::string randomNonceV2() {
    auto bytes = secureRandomBytes(nonceSize);
    if (!bytes) {
        // OpenSSL's generator only fails when the system has no entropy source at all.
        std::abort();
    }
    return base64Encode(*bytes);
}

std::string pairingCommitment(std::string_view devicePublicKey, std::string_view deviceNonce) {
    auto digest = sha256(v2Text(commitLabel, {devicePublicKey, deviceNonce}));
    return base64Encode(
        std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string pairingCodeV2(std::string_view bridgeKey, std::string_view deviceKey,
                          std::string_view bridgeNonce, std::string_view deviceNonce,
                          std::string_view bridgePairingNonce, std::string_view devicePairingNonce,
                          std::string_view fp) {
    return pairingCodeOfText(v2Text(codeLabel, {bridgeKey, deviceKey, bridgeNonce, deviceNonce,
                                                bridgePairingNonce, devicePairingNonce, fp}));
}

std::string qrPairingText(const HelloOffer& device, const HelloOffer& bridge, std::string_view fp) {
    return proofText(qrPairingLabel, device, bridge, fp);
}

std::string qrPairingProof(std::string_view secret, std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac.data(),
              &size)) {
        // Only an allocation failure inside OpenSSL gets here; a proof that cannot be made
        // must not match anything.
        discardOpenSSLErrors();
        return {};
    }
    return base64Encode(std::string_view(reinterpret_cast<const char*>(mac.data()), size));
}

bool qrPairingProofMatches(std::string_view secret, std::string_view text, std::string_view proof) {
    const std::string expected = qrPairingProof(secret, text);
    // The length of a proof is public (44 characters); only its content is compared in
    // constant time.
    return !expected.empty() && proof.size() == expected.size() &&
           CRYPTO_memcmp(proof.data(), expected.data(), expected.size()) == 0;
}

} // namespace tarnwick
