#include "identity/KeychainError.h"

namespace tarnwick {

KeychainError KeychainError::fromStatus(std::int32_t status, std::string message) {
    if (message.empty()) {
        message = "Keychain error " + std::to_string(status);
    }
    return KeychainError{status, std::move(message)};
}

} // namespace tarnwick
