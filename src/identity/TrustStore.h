#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "identity/KeychainStore.h"
#include "identity/TrustedPeer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The system clock in seconds since 2001-01-01 00:00:00 UTC, with fractions.
double secondsSinceReferenceDate();

// The devices the user has paired, kept across launches as one JSON object in the keychain:
// {"<deviceID>": {"deviceID", "displayName", "publicKey", "pairedAt", "protocolVersion"?}, ...}.
// The map in memory is the working copy; every change writes the whole map.
class TrustStore {
public:
    static constexpr std::string_view account = "trusted-peers-v1";
    // The status of the error that trust() and remove() give when the map cannot be encoded,
    // which happens only when the clock gave a time that is not a finite number.
    static constexpr std::int32_t encodingFailedStatus = -1;

    // Loads the stored devices. A missing, unreadable or undecodable item gives an empty store;
    // the item itself is left alone until the next change overwrites it.
    TrustStore(KeychainStore& keychain, std::function<double()> now = secondsSinceReferenceDate);

    const std::map<std::string, TrustedPeer>& peers() const { return peers_; }
    std::optional<TrustedPeer> lookupPeer(std::string_view deviceID) const;

    // Files the sender of `hello` under its device ID, paired now, replacing any earlier record
    // of that ID, and writes the store. When the write fails, the record stays in memory.
    Expected<void, KeychainError> trust(const HelloPayload& hello);
    // The same for a device that paired with handshake version 2: its record says so.
    Expected<void, KeychainError> trustVersion2(const HelloOffer& offer);
    // Marks the record of `deviceID` as version 2 after it proved itself with version 2, and
    // writes the store; nothing is written when there is no record or it is marked already.
    Expected<void, KeychainError> upgradeToVersion2(std::string_view deviceID);
    // Drops the record of `deviceID`, if any, and writes the store. When the write fails, the
    // record stays dropped in memory.
    Expected<void, KeychainError> remove(std::string_view deviceID);

private:
    void load();
    Expected<void, KeychainError> write();

    KeychainStore& keychain_;
    std::function<double()> now_;
    std::map<std::string, TrustedPeer> peers_;
};

} // namespace tarnwick
