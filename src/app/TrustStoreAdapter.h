#pragma once

#include "bridge/BridgeTrustStore.h"
#include "identity/TrustStore.h"

#include <memory>

namespace tarnwick {

// The controller's view of the real trust store, which keeps its records in `keychain`.
class TrustStoreAdapter : public BridgeTrustStore {
public:
    explicit TrustStoreAdapter(std::shared_ptr<KeychainStore> keychain);

    std::vector<TrustedPeer> records() const override;
    std::optional<TrustedPeer> lookupPeer(std::string_view deviceID) const override;
    Expected<void, Error> trust(const HelloPayload& hello) override;
    Expected<void, Error> trustVersion2(const HelloOffer& offer) override;
    Expected<void, Error> upgradeToVersion2(std::string_view deviceID) override;
    Expected<void, Error> remove(std::string_view deviceID) override;

private:
    std::shared_ptr<KeychainStore> keychain_;
    TrustStore store_;
};

} // namespace tarnwick
