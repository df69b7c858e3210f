#pragma once

#include "identity/FileKeychain.h"
#include "identity/KeychainStore.h"

#include <memory>

namespace tarnwick {

// The keychain in use once a Secret Service is there, with the private file store it replaces
// beside it. An item that only the file store holds is moved on its first read: saved into the
// Secret Service, then its file deleted. Every save removes a leftover file of the account, so
// no stale copy of a secret stays behind.
class MigratingKeychain final : public KeychainStore {
public:
    MigratingKeychain(std::unique_ptr<KeychainStore> current,
                      std::unique_ptr<FileKeychain> earlier);

    Expected<std::optional<std::string>, KeychainError> read(std::string_view account) override;
    Expected<void, KeychainError> save(std::string_view bytes, std::string_view account) override;

private:
    void removeEarlierCopy(std::string_view account);

    std::unique_ptr<KeychainStore> current_;
    std::unique_ptr<FileKeychain> earlier_;
};

} // namespace tarnwick
