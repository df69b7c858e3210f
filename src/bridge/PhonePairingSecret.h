#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick {

// The one-time secret a phone reads from the QR code the bridge shows: 32 random bytes that let
// one device pair without a code to compare, within five minutes. At most one lives at a time.
// It is burnt when it is used, when the user closes the panel that shows it, when a newer one
// replaces it and when it expires. A wrong proof leaves it alone: otherwise anyone on the network
// could spoil the code the user is about to scan. Main thread only.
class PhonePairingSecret {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::minutes lifetime{5};

    // `clock` gives the time the lifetime is measured by; the steady clock when empty.
    explicit PhonePairingSecret(Clock clock = {});
    ~PhonePairingSecret();
    PhonePairingSecret(const PhonePairingSecret&) = delete;
    PhonePairingSecret& operator=(const PhonePairingSecret&) = delete;

    // Draws a new secret, burning any older one, valid for `lifetime` from now. Gives it as it
    // goes in the address: base64url without padding.
    std::string open();
    // Burns the secret, if there is one.
    void close();
    // Whether a secret lives and has not expired.
    bool isOpen();
    // Whether `proof` is the MAC of `text` under the live secret (qrPairingProof). A match burns
    // the secret, so that it pairs one device only; a mismatch keeps it.
    bool use(std::string_view text, std::string_view proof);

private:
    std::chrono::steady_clock::time_point now() const;

    Clock clock_;
    // The 32 bytes; empty while there is no secret.
    std::string secret_;
    std::chrono::steady_clock::time_point expiry_;
};

} // namespace tarnwick
