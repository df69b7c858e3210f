#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// A refusal by the store behind the keychain: the store's own status code and the text that
// callers show to the user.
struct KeychainError {
    std::int32_t status = 0;
    std::string description;

    // An error for a status; without a message of the store's own the description is
    // "Keychain error " and the status in decimal.
    static KeychainError fromStatus(std::int32_t status, std::string message = {});

    friend bool operator==(const KeychainError&, const KeychainError&) = default;
};

} // namespace tarnwick
