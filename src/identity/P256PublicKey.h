#pragma once

#include <memory>
#include <optional>
#include <string_view>

struct evp_pkey_st;

namespace tarnwick {

// A P-256 public key made from its raw form, the 64 bytes X then Y, that checks signatures.
class P256PublicKey {
public:
    // Nothing unless `raw` is exactly 64 bytes naming a point on the curve.
    static std::optional<P256PublicKey> fromRawRepresentation(std::string_view raw);

    // Whether `der` is a DER-encoded ECDSA signature of SHA-256(`message`) under this key. DER
    // that is malformed, not minimal or followed by more bytes gives false.
    bool isValidSignature(std::string_view der, std::string_view message) const;

private:
    struct KeyRelease {
        void operator()(evp_pkey_st* key) const;
    };
    using KeyHandle = std::unique_ptr<evp_pkey_st, KeyRelease>;

    explicit P256PublicKey(KeyHandle key);

    KeyHandle key_;
};

} // namespace tarnwick
