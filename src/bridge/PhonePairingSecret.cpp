#include "bridge/PhonePairingSecret.h"

#include "identity/Base64.h"
#include "identity/CryptoSupport.h"
#include "identity/HandshakeV2.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::size_t secretSize = 32;

// RFC 4648 base64url without "=": what fits in an address fragment without escaping.
std::string base64Url(std::string_view bytes) {
    std::string text = base64Encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& character : text) {
        if (character == '+') {
            character = '-';
        } else if (character == '/') {
            character = '_';
        }
    }
    return text;
}

} // namespace

PhonePairingSecret::PhonePairingSecret(Clock clock) : clock_(std::move(clock)) {}

PhonePairingSecret::~PhonePairingSecret() {
    close();
}

std::chrono::steady_clock::time_point PhonePairingSecret::now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::string PhonePairingSecret::open() {
    close();
    auto bytes = secureRandomBytes(secretSize);
    if (!bytes) {
        // OpenSSL's generator only fails when the system has no entropy source at all; a
        // guessable secret must never be shown.
        std::abort();
    }
    secret_ = std::move(*bytes);
    expiry_ = now() + lifetime;
    return base64Url(secret_);
}

void PhonePairingSecret::close() {
    if (!secret_.empty()) {
        OPENSSL_cleanse(secret_.data(), secret_.size());
        secret_.clear();
    }
}

bool PhonePairingSecret::isOpen() {
    if (!secret_.empty() && now() >= expiry_) {
        close();
    }
    return !secret_.empty();
}

bool PhonePairingSecret::use(std::string_view text, std::string_view proof) {
    if (!isOpen() || !qrPairingProofMatches(secret_, text, proof)) {
        return false;
    }
    close();
    return true;
}

} // namespace tarnwick
