#include "identity/TrustStore.h"

#include "platform/ReferenceDate.h"

#include <chrono>

namespace tarnwick {

double secondsSinceReferenceDate() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return referenceSecondsFromUnixSeconds(std::chrono::duration<double>(sinceEpoch).count());
}

TrustStore::TrustStore(KeychainStore& keychain, std::function<double()> now)
    : keychain_(keychain), now_(std::move(now)) {
    load();
}

void TrustStore::load() {
    auto stored = keychain_.read(account);
    if (!stored || !stored->has_value()) {
        return;
    }
    auto decoded = JSONValue::decode(**stored);
    if (!decoded || !decoded->objectValue()) {
        return;
    }
    std::map<std::string, TrustedPeer> loaded;
    for (const auto& [deviceID, record] : *decoded->objectValue()) {
        auto peer = TrustedPeer::fromJSON(record);
        if (!peer) {
            return;
        }
        loaded.emplace(deviceID, std::move(*peer));
    }
    peers_ = std::move(loaded);
}

std::optional<TrustedPeer> TrustStore::lookupPeer(std::string_view deviceID) const {
    auto found = peers_.find(std::string(deviceID));
    if (found == peers_.end()) {
        return std::nullopt;
    }
    return found->second;
}

Expected<void, KeychainError> TrustStore::trust(const HelloPayload& hello) {
    peers_.insert_or_assign(
        hello.deviceID, TrustedPeer{hello.deviceID, hello.displayName, hello.publicKey, now_()});
    return write();
}

Expected<void, KeychainError> TrustStore::trustVersion2(const HelloOffer& offer) {
    peers_.insert_or_assign(
        offer.deviceID, TrustedPeer{offer.deviceID, offer.displayName, offer.publicKey, now_(), 2});
    return write();
}

Expected<void, KeychainError> TrustStore::upgradeToVersion2(std::string_view deviceID) {
    auto found = peers_.find(std::string(deviceID));
    if (found == peers_.end() || found->second.protocolVersion >= 2) {
        return {};
    }
    found->second.protocolVersion = 2;
    return write();
}

Expected<void, KeychainError> TrustStore::remove(std::string_view deviceID) {
    peers_.erase(std::string(deviceID));
    return write();
}

Expected<void, KeychainError> TrustStore::write() {
    JSONObject object;
    for (const auto& [deviceID, peer] : peers_) {
        object.set(deviceID, peer.toJSON());
    }
    auto encoded = JSONValue(std::move(object)).encode();
    if (!encoded) {
        return Unexpected(KeychainError::fromStatus(encodingFailedStatus,
                                                    "The trusted devices could not be encoded: " +
                                                        encoded.error().description));
    }
    return keychain_.save(*encoded, account);
}

} // namespace tarnwick
