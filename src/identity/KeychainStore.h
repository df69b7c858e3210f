#pragma once

#include "identity/KeychainError.h"
#include "platform/Expected.h"

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The items of one service, each addressed by an account name and holding opaque bytes.
// There is no delete: an item is changed or emptied by saving new bytes.
class KeychainStore {
public:
    virtual ~KeychainStore() = default;

    // The bytes stored for `account`, or nothing when no item exists.
    virtual Expected<std::optional<std::string>, KeychainError> read(std::string_view account) = 0;
    // Creates the item or replaces its bytes; afterwards exactly one item holds `bytes`.
    virtual Expected<void, KeychainError> save(std::string_view bytes,
                                               std::string_view account) = 0;

protected:
    KeychainStore() = default;
    KeychainStore(const KeychainStore&) = default;
    KeychainStore& operator=(const KeychainStore&) = default;
};

} // namespace tarnwick
