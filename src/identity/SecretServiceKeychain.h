#pragma once

#include "identity/KeychainStore.h"

#include <memory>
#include <string>

namespace tarnwick {

// Keychain items in the Secret Service of the session bus (GNOME Keyring, KWallet and others),
// reached through libsecret's synchronous calls. Each item is a binary secret in the default
// collection, found by the attributes "service" and "account" of a schema named after the
// service, and labelled "Tarnwick Bridge <account>". Calls block until the service answers,
// which includes any unlock prompt it shows.
class SecretServiceKeychain final : public KeychainStore {
public:
    explicit SecretServiceKeychain(std::string service);
    ~SecretServiceKeychain() override;
    SecretServiceKeychain(const SecretServiceKeychain&) = delete;
    SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

    Expected<std::optional<std::string>, KeychainError> read(std::string_view account) override;
    Expected<void, KeychainError> save(std::string_view bytes, std::string_view account) override;

    const std::string& service() const { return service_; }

private:
    // libsecret's description of the items: the schema name and its two attributes.
    class Schema;

    std::string service_;
    std::unique_ptr<Schema> schema_;
};

} // namespace tarnwick
