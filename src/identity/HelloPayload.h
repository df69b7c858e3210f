#pragma once

#include "json/JSONValue.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <string>
#include <string_view>

namespace tarnwick {

// How each end of a connection introduces itself: who it is, its P-256 public key (base64 of
// the raw 64 bytes), a fresh nonce, and a signature (base64 of DER) over
// deviceID|displayName|publicKey|nonce made with the matching private key.
struct HelloPayload {
    std::string deviceID;
    std::string displayName;
    std::string publicKey;
    std::string nonce;
    std::string signature;

    // The UTF-8 bytes that the signature covers: the first four fields joined with "|".
    std::string signedText() const;

    // Whether the signature is valid for the hello's own public key and texts. Malformed
    // base64, keys and signatures give false; nothing else is checked.
    bool verify() const;

    // An object with the five members, all strings.
    JSONValue toJSON() const;
    // Needs all five members as strings; other members are ignored.
    static Expected<HelloPayload, Error> fromJSON(const JSONValue& value);

    friend bool operator==(const HelloPayload&, const HelloPayload&) = default;
};

// The six digits that both screens show while pairing. Only the public keys and nonces of the
// two hellos enter the code, and their order does not matter.
std::string pairingCode(const HelloPayload& a, const HelloPayload& b);

// The code of the joined text itself: SHA-256 of it, its first four bytes as a big-endian
// number, modulo 1,000,000, written as six digits.
std::string pairingCodeOfText(std::string_view joined);

} // namespace tarnwick
