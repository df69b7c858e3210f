#pragma once

#include "platform/Error.h"
#include "platform/Expected.h"

#include <memory>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace tarnwick {

// A P-256 ECDSA private key. Its raw form is the 32-byte private scalar, big-endian; its public
// key's raw form is the 64 bytes X then Y, big-endian, without the 0x04 prefix. OpenSSL wipes
// the scalar when the key is released.
class P256SigningKey {
public:
    static constexpr std::size_t rawSize = 32;
    static constexpr std::size_t publicRawSize = 64;

    static Expected<P256SigningKey, Error> generate();
    // Fails unless `scalar` is exactly 32 bytes holding a number from 1 to the group order - 1.
    static Expected<P256SigningKey, Error> fromRawRepresentation(std::string_view scalar);

    // The 32-byte private scalar. The caller wipes it (OPENSSL_cleanse) once it is stored.
    Expected<std::string, Error> rawRepresentation() const;
    const std::string& publicKeyRawRepresentation() const { return publicRaw_; }

    // ECDSA with SHA-256 over `message`, DER-encoded.
    Expected<std::string, Error> signature(std::string_view message) const;

private:
    struct KeyRelease {
        void operator()(evp_pkey_st* key) const;
    };
    using KeyHandle = std::unique_ptr<evp_pkey_st, KeyRelease>;

    P256SigningKey(KeyHandle key, std::string publicRaw);

    KeyHandle key_;
    std::string publicRaw_;
};

} // namespace tarnwick
