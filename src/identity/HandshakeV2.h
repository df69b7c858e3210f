#pragma once

#include "json/JSONValue.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <initializer_list>
#include <string>
#include <string_view>

namespace tarnwick {

// Handshake version 2: both ends offer who they are with a fresh nonce, then each signs one
// text that binds both offers and the certificate the device saw, so that a signature made on
// one connection is worthless on any other. Pairing commits to the device's nonce before the
// bridge's nonce is known, so neither end can choose the code.

// The unambiguous field encoding of every signed or hashed text: the label, then for each field
// "|" <its UTF-8 byte length in decimal> ":" <its bytes>. "L", {"ab", ""} gives "L|2:ab|0:".
std::string v2Text(std::string_view label, std::initializer_list<std::string_view> fields);

// The body of a version-2 "hello": an offer, not signed.
struct HelloOffer {
    std::string deviceID;
    std::string displayName;
    std::string publicKey;   // base64 of the raw 64-byte P-256 point
    std::string nonce;       // base64 of 32 random bytes, new per connection
    std::string certificate; // lowercase hex SHA-256 of the bridge certificate's DER, or ""

    // The five members plus "protocol": 2.
    JSONValue toJSON() const;
    // Needs all five members as strings; other members, "protocol" among them, are ignored.
    static Expected<HelloOffer, Error> fromJSON(const JSONValue& body);

    friend bool operator==(const HelloOffer&, const HelloOffer&) = default;
};

// What the bridge signs: both offers, bridge first, then the certificate as the device named it.
std::string bridgeProofText(const HelloOffer& bridge, const HelloOffer& device,
                            std::string_view fp);
// What the device signs: both offers, device first, then the same certificate text.
std::string deviceProofText(const HelloOffer& device, const HelloOffer& bridge,
                            std::string_view fp);

// Whether `signatureBase64` is a DER ECDSA P-256 SHA-256 signature of `text` under the key whose
// raw 64-byte point `publicKeyBase64` holds. Loose base64, another key size, a point off the
// curve and DER that is not minimal or has trailing bytes all give false.
bool verifySignature(std::string_view publicKeyBase64, std::string_view text,
                     std::string_view signatureBase64);

// Whether `text` is the standard base64 of exactly 32 bytes, the form of every v2 nonce.
bool isNonceV2(std::string_view text);

// 32 bytes from the system's secure generator, standard base64. Aborts when the generator
// fails: a handshake without fresh nonces must not go on.
std::string randomNonceV2();

// base64(SHA-256(v2Text("tarnwick-v2-commit", devicePublicKey, deviceNonce))): the device's
// pledge to its pairing nonce, sent before it sees the bridge's.
std::string pairingCommitment(std::string_view devicePublicKey, std::string_view deviceNonce);

// The six digits both screens show: the first four bytes of SHA-256(v2Text("tarnwick-v2-code",
// ...all seven values in this order)), big-endian, modulo 1,000,000, as "%06u".
std::string pairingCodeV2(std::string_view bridgeKey, std::string_view deviceKey,
                          std::string_view bridgeNonce, std::string_view deviceNonce,
                          std::string_view bridgePairingNonce, std::string_view devicePairingNonce,
                          std::string_view fp);

// Pairing by QR code: the text a phone proves it read the bridge's one-time secret over, the
// same fields in the same order as the device's proof under its own label.
std::string qrPairingText(const HelloOffer& device, const HelloOffer& bridge, std::string_view fp);
// Standard base64 of HMAC-SHA256 with the secret's bytes as the key over `text`.
std::string qrPairingProof(std::string_view secret, std::string_view text);
// Whether `proof` is qrPairingProof(secret, text), compared in time that does not depend on
// where the two differ, so that no guess learns how much of it was right.
bool qrPairingProofMatches(std::string_view secret, std::string_view text, std::string_view proof);

} // namespace tarnwick
