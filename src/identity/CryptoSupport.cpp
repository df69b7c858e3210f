#include "identity/CryptoSupport.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

namespace tarnwick {

Expected<std::string, Error> secureRandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count > INT_MAX ||
        RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        return Unexpected(openSSLError("Could not draw random bytes"));
    }
    return bytes;
}

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
    std::array<std::uint8_t, 32> digest = {};
    unsigned int length = 0;
    // Cannot fail for a built-in digest short of running out of memory, which aborts anyway.
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

Error openSSLError(std::string_view what) {
    std::string description(what);
    unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        char reason[256] = {};
        ERR_error_string_n(code, reason, sizeof reason);
        description += ": ";
        description += reason;
    }
    description += '.';
    ERR_clear_error();
    return Error{std::move(description)};
}

void discardOpenSSLErrors() {
    ERR_clear_error();
}

} // namespace tarnwick
