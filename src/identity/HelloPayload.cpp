#include "identity/HelloPayload.h"

#include "identity/Base64.h"
#include "identity/CryptoSupport.h"
#include "identity/P256PublicKey.h"
#include "identity/TextMembers.h"

#include <array>
#include <cstdio>
#include <utility>

namespace tarnwick {

namespace {

constexpr TextMembers<HelloPayload, 5> members = {{
    {"deviceID", &HelloPayload::deviceID},
    {"displayName", &HelloPayload::displayName},
    {"publicKey", &HelloPayload::publicKey},
    {"nonce", &HelloPayload::nonce},
    {"signature", &HelloPayload::signature},
}};

} // namespace

std::string HelloPayload::signedText() const {
    std::string text;
    text.reserve(deviceID.size() + displayName.size() + publicKey.size() + nonce.size() + 3);
    text.append(deviceID).append(1, '|').append(displayName).append(1, '|');
    text.append(publicKey).append(1, '|').append(nonce);
    return text;
}

bool HelloPayload::verify() const {
    auto rawKey = base64Decode(publicKey);
    auto der = base64Decode(signature);
    if (!rawKey || !der) {
        return false;
    }
    auto key = P256PublicKey::fromRawRepresentation(*rawKey);
    return key && key->isValidSignature(*der, signedText());
}

JSONValue HelloPayload::toJSON() const {
    JSONObject object;
    writeTextMembers(*this, members, object);
    return object;
}

Expected<HelloPayload, Error> HelloPayload::fromJSON(const JSONValue& value) {
    return readTextMembers(value, members);
}

std::string pairingCode(const HelloPayload& a, const HelloPayload& b) {
    std::string first = a.publicKey + "|" + a.nonce;
    std::string second = b.publicKey + "|" + b.nonce;
    // Byte order is code point order for UTF-8.
    if (second < first) {
        std::swap(first, second);
    }
    return pairingCodeOfText(first + "|" + second);
}

std::string pairingCodeOfText(std::string_view joined) {
    auto digest = sha256(joined);
    std::uint32_t leading = static_cast<std::uint32_t>(digest[0]) << 24 |
                            static_cast<std::uint32_t>(digest[1]) << 16 |
                            static_cast<std::uint32_t>(digest[2]) << 8 | digest[3];
    char code[8] = {};
    std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(leading % 1000000u));
    return code;
}

} // namespace tarnwick
