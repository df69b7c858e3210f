#include "identity/MigratingKeychain.h"

#include "identity/IdentityLog.h"

namespace tarnwick {

MigratingKeychain::MigratingKeychain(std::unique_ptr<KeychainStore> current,
                                     std::unique_ptr<FileKeychain> earlier)
    : current_(std::move(current)), earlier_(std::move(earlier)) {}

Expected<std::optional<std::string>, KeychainError>
MigratingKeychain::read(std::string_view account) {
    auto stored = current_->read(account);
    if (!stored || stored->has_value()) {
        return stored;
    }
    // A file that exists but cannot be read is reported, never taken for a missing item: the
    // caller would otherwise make a new key or an empty list and save it over the old one.
    auto earlier = earlier_->read(account);
    if (!earlier || !earlier->has_value()) {
        return earlier;
    }
    if (auto moved = current_->save(**earlier, account); !moved) {
        // The file stays, so the item is still there for the next attempt.
        qCWarning(identityLog, "Could not move the keychain item %.*s into the Secret Service: %s",
                  static_cast<int>(account.size()), account.data(),
                  moved.error().description.c_str());
        return earlier;
    }
    removeEarlierCopy(account);
    return earlier;
}

Expected<void, KeychainError> MigratingKeychain::save(std::string_view bytes,
                                                      std::string_view account) {
    auto saved = current_->save(bytes, account);
    if (saved) {
        removeEarlierCopy(account);
    }
    return saved;
}

void MigratingKeychain::removeEarlierCopy(std::string_view account) {
    if (auto removed = earlier_->remove(account); !removed) {
        qCWarning(identityLog, "Could not delete the moved keychain file %.*s: %s",
                  static_cast<int>(account.size()), account.data(),
                  removed.error().description.c_str());
    }
}

} // namespace tarnwick
