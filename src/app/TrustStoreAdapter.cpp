#include "app/TrustStoreAdapter.h"

namespace tarnwick {

TrustStoreAdapter::TrustStoreAdapter(std::shared_ptr<KeychainStore> keychain)
    : keychain_(std::move(keychain)), store_(*keychain_) {}

std::vector<TrustedPeer> TrustStoreAdapter::records() const {
    std::vector<TrustedPeer> all;
    for (const auto& [deviceID, peer] : store_.peers()) {
        all.push_back(peer);
    }
    return all;
}

std::optional<TrustedPeer> TrustStoreAdapter::lookupPeer(std::string_view deviceID) const {
    return store_.lookupPeer(deviceID);
}

Expected<void, Error> TrustStoreAdapter::trust(const HelloPayload& hello) {
    if (auto trusted = store_.trust(hello); !trusted) {
        return Unexpected(Error{trusted.error().description});
    }
    return {};
}

Expected<void, Error> TrustStoreAdapter::trustVersion2(const HelloOffer& offer) {
    if (auto trusted = store_.trustVersion2(offer); !trusted) {
        return Unexpected(Error{trusted.error().description});
    }
    return {};
}

Expected<void, Error> TrustStoreAdapter::upgradeToVersion2(std::string_view deviceID) {
    if (auto upgraded = store_.upgradeToVersion2(deviceID); !upgraded) {
        return Unexpected(Error{upgraded.error().description});
    }
    return {};
}

Expected<void, Error> TrustStoreAdapter::remove(std::string_view deviceID) {
    if (auto removed = store_.remove(deviceID); !removed) {
        return Unexpected(Error{removed.error().description});
    }
    return {};
}

} // namespace tarnwick
