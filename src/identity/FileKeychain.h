#pragma once

#include "identity/KeychainStore.h"

#include <filesystem>
#include <string>

namespace tarnwick {

// Keychain items as private files, <root>/<service>/<account>, each holding exactly the item's
// bytes. Folders are made with mode 0700 and files with 0600. A save replaces the file
// atomically (writeFileAtomically), so that a crash at any moment leaves either the old bytes
// or the new ones. Failures carry the errno as status.
class FileKeychain final : public KeychainStore {
public:
    FileKeychain(std::string service, std::filesystem::path root);

    Expected<std::optional<std::string>, KeychainError> read(std::string_view account) override;
    Expected<void, KeychainError> save(std::string_view bytes, std::string_view account) override;

    // Deletes the item; deleting an item that does not exist succeeds. Used only to move items
    // into another store.
    Expected<void, KeychainError> remove(std::string_view account);

    const std::filesystem::path& folder() const { return folder_; }

private:
    Expected<std::filesystem::path, KeychainError> itemPath(std::string_view account) const;
    Expected<void, KeychainError> syncFolder() const;

    std::string service_;
    std::filesystem::path folder_;
};

} // namespace tarnwick
