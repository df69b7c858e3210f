// Reads the input as the body of a version-2 hello (an offer). Reading may fail; an offer that
// reads must survive a round trip through its JSON form, both proof texts, signature checks
// with its own text as key and signature, and the pairing code, which is always six digits.
#include "identity/HandshakeV2.h"
#include "json/JSONValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto value = tarnwick::JSONValue::decode(text);
    if (!value) {
        return 0;
    }
    auto offer = tarnwick::HelloOffer::fromJSON(*value);
    if (!offer) {
        return 0;
    }
    auto again = tarnwick::HelloOffer::fromJSON(offer->toJSON());
    if (!again || !(*again == *offer)) {
        std::abort();
    }
    const std::string proof = tarnwick::deviceProofText(*offer, *offer, offer->certificate);
    if (proof == tarnwick::bridgeProofText(*offer, *offer, offer->certificate)) {
        std::abort(); // the two directions must never sign the same bytes
    }
    (void)tarnwick::verifySignature(offer->publicKey, proof, offer->nonce);
    (void)tarnwick::isNonceV2(offer->nonce);
    (void)tarnwick::pairingCommitment(offer->publicKey, offer->nonce);
    const std::string code =
        tarnwick::pairingCodeV2(offer->publicKey, offer->publicKey, offer->nonce, offer->nonce,
                                offer->deviceID, offer->displayName, offer->certificate);
    if (code.size() != 6 || code.find_first_not_of("0123456789") != std::string::npos) {
        std::abort();
    }
    return 0;
}
