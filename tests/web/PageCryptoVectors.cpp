// The bridge's own handshake functions, for the page's tests to compare against:
//   page_crypto_vectors vectors          prints test vectors as one JSON object
//   page_crypto_vectors verify K T S     exits 0 when S (base64 DER) signs the text T (base64)
//                                        under the base64 raw point K, 1 when it does not
// Every byte string is printed in base64.
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
    std::string secret;
    for (char byte = 0; byte < 32; ++byte) {
        secret += byte;
    }

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
                                   {"bytes", base64Encode(v2Text(label, fields))}});
    };
    addText("L", {"ab", ""});
    addText("", {});
    addText("tarnwick-v2-commit", {"é|:", "12345678901"});
    addText("x", {"😀", "|0:", "\n"});

    JSONObject out;
    out.set("v2Text", texts);
    out.set("bridge", bridge.toJSON());
    out.set("device", device.toJSON());
    out.set("bridgePairingNonce", rB);
    out.set("devicePairingNonce", rD);
    out.set("commitment", pairingCommitment(device.publicKey, rD));
    for (const std::string_view fp : {std::string_view(), std::string_view(bridge.certificate)}) {
        const std::string key = fp.empty() ? "browser" : "native";
        JSONObject forFp;
        forFp.set("fp", std::string(fp));
        forFp.set("bridgeProofText", base64Encode(bridgeProofText(bridge, device, fp)));
        forFp.set("deviceProofText", base64Encode(deviceProofText(device, bridge, fp)));
        forFp.set("code", pairingCodeV2(bridge.publicKey, device.publicKey, bridge.nonce,
                                        device.nonce, rB, rD, fp));
        forFp.set("qrPairingText", base64Encode(qrPairingText(device, bridge, fp)));
        forFp.set("qrSecretProof", qrPairingProof(secret, qrPairingText(device, bridge, fp)));
        auto signature = bridgeKey->signature(bridgeProofText(bridge, device, fp));
        if (!signature) {
            return 2;
        }
        forFp.set("bridgeSignature", base64Encode(*signature));
        out.set(key, forFp);
    }
    out.set("secret", base64Encode(secret));
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
        return verifySignature(argv[2], base64Decode(argv[3]).value_or(""), argv[4]) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: %s vectors | verify <key> <text hex> <signature>\n", argv[0]);
    return 2;
}
