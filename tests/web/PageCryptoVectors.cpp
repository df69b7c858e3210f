// The bridge's own handshake functions, for the page's tests to compare against:
//   page_crypto_vectors vectors          prints test vectors as one JSON object
//   page_crypto_vectors verify K T S     exits 0 when S (base64 DER) signs the hex text T under
//                                        the base64 raw point K, 1 when it does not
#include "identity/Base64.h"
#include "identity/HandshakeV2.h"
#include "identity/P256SigningKey.h"
#include "json/JSONValue.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

namespace {

using namespace tarnwick;

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    }
    return out;
}

JSONValue offerJSON(const HelloOffer& offer) {
    return JSONObject{{"deviceID", offer.deviceID},
                      {"displayName", offer.displayName},
                      {"publicKey", offer.publicKey},
                      {"nonce", offer.nonce},
                      {"certificate", offer.certificate}};
}

int vectors() {
    auto bridgeKey = P256SigningKey::generate();
    auto deviceKey = P256SigningKey::generate();
    if (!bridgeKey || !deviceKey) {
        return 2;
    }
    const HelloOffer bridge{"B2C1D0E9-0000-4000-8000-000000000001", "Büro-Mac ✓",
                            base64Encode(bridgeKey->publicKeyRawRepresentation()), randomNonceV2(),
                            std::string(64, 'a')};
    const HelloOffer device{"0F1E2D3C-4B5A-4697-8877-665544332211", "Ana's iPhone 😀",
                            base64Encode(deviceKey->publicKeyRawRepresentation()), randomNonceV2(),
                            ""};
    const std::string rB = randomNonceV2();
    const std::string rD = randomNonceV2();
    const std::string secret =
        unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

    JSONArray texts;
    // Each case's fields are written out in its own v2Text call: a nested initializer list
    // would not outlive the table that holds it.
    const auto addText = [&texts](std::string_view label,
                                  std::initializer_list<std::string_view> fields) {
        JSONArray fieldArray;
        for (std::string_view field : fields) {
            fieldArray.push_back(std::string(field));
        }
        texts.push_back(JSONObject{{"label", std::string(label)},
                                   {"fields", fieldArray},
                                   {"hex", hex(v2Text(label, fields))}});
    };
    addText("L", {"ab", ""});
    addText("", {});
    addText("tarnwick-v2-commit", {"é|:", "12345678901"});
    addText("x", {"😀", "|0:", "\n"});

    JSONObject out;
    out.set("v2Text", texts);
    out.set("bridge", offerJSON(bridge));
    out.set("device", offerJSON(device));
    out.set("bridgePairingNonce", rB);
    out.set("devicePairingNonce", rD);
    out.set("commitment", pairingCommitment(device.publicKey, rD));
    for (const std::string_view fp : {std::string_view(), std::string_view(bridge.certificate)}) {
        const std::string key = fp.empty() ? "browser" : "native";
        JSONObject forFp;
        forFp.set("fp", std::string(fp));
        forFp.set("bridgeProofText", hex(bridgeProofText(bridge, device, fp)));
        forFp.set("deviceProofText", hex(deviceProofText(device, bridge, fp)));
        forFp.set("code", pairingCodeV2(bridge.publicKey, device.publicKey, bridge.nonce,
                                        device.nonce, rB, rD, fp));
        forFp.set("qrPairingText", hex(qrPairingText(device, bridge, fp)));
        forFp.set("qrSecretProof", qrPairingProof(secret, qrPairingText(device, bridge, fp)));
        auto signature = bridgeKey->signature(bridgeProofText(bridge, device, fp));
        if (!signature) {
            return 2;
        }
        forFp.set("bridgeSignature", base64Encode(*signature));
        out.set(key, forFp);
    }
    out.set("secretHex", hex(secret));
    auto encoded = JSONValue(out).encode();
    if (!encoded) {
        return 2;
    }
    std::cout << *encoded << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "vectors" && argc == 2) {
        return vectors();
    }
    if (mode == "verify" && argc == 5) {
        return verifySignature(argv[2], unhex(argv[3]), argv[4]) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: %s vectors | verify <key> <text hex> <signature>\n", argv[0]);
    return 2;
}
