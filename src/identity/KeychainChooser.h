#pragma once

#include "identity/KeychainStore.h"

#include <filesystem>
#include <memory>
#include <string>

namespace tarnwick {

// The folder of the private file store:
// ${XDG_DATA_HOME:-$HOME/.local/share}/tarnwick-bridge/keychain.
std::filesystem::path defaultKeychainRoot();

// Whether the session bus is reachable and a Secret Service answers on it, started by the bus
// when it is not running yet. Blocks for at most a few seconds.
bool secretServiceAvailable();

// The keychain of `service` for this process. With a Secret Service on the session bus, items
// live there and any that the file store still holds are moved over as they are read;
// otherwise they live in the private file store under defaultKeychainRoot(). The application
// calls this once and keeps the store for the life of the process.
std::unique_ptr<KeychainStore> openKeychain(std::string service);

// The same with the choice and the file store's folder given.
std::unique_ptr<KeychainStore> openKeychain(std::string service, std::filesystem::path fileRoot,
                                            bool useSecretService);

} // namespace tarnwick
