#pragma once

#include "identity/KeychainStore.h"

#include <map>
#include <optional>
#include <string>

namespace tarnwick::testing {

// A keychain in memory. It can be told to refuse reads or saves, to force the faults that a
// real store only shows under conditions a test cannot arrange, and it counts its calls.
class MemoryKeychain : public KeychainStore {
public:
    Expected<std::optional<std::string>, KeychainError> read(std::string_view account) override {
        ++reads;
        if (readFailure) {
            return Unexpected(*readFailure);
        }
        auto found = items.find(std::string(account));
        if (found == items.end()) {
            return std::optional<std::string>();
        }
        return std::optional<std::string>(found->second);
    }

    Expected<void, KeychainError> save(std::string_view bytes, std::string_view account) override {
        ++saves;
        if (saveFailure) {
            return Unexpected(*saveFailure);
        }
        items[std::string(account)] = std::string(bytes);
        return {};
    }

    std::map<std::string, std::string> items;
    std::optional<KeychainError> readFailure;
    std::optional<KeychainError> saveFailure;
    int reads = 0;
    int saves = 0;
};

} // namespace tarnwick::testing
