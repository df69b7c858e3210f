#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "identity/TrustedPeer.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

// What the controller uses of the trust store.
class BridgeTrustStore {
public:
    virtual ~BridgeTrustStore() = default;
    // Every record, in the store's own order.
    virtual std::vector<TrustedPeer> records() const = 0;
    virtual std::optional<TrustedPeer> lookupPeer(std::string_view deviceID) const = 0;
    virtual Expected<void, Error> trust(const HelloPayload& hello) = 0;
    // A device paired with handshake version 2: its record carries "protocolVersion": 2.
    virtual Expected<void, Error> trustVersion2(const HelloOffer& offer) = 0;
    // Marks a version-1 record as version 2 once its device proved itself with version 2.
    virtual Expected<void, Error> upgradeToVersion2(std::string_view deviceID) = 0;
    virtual Expected<void, Error> remove(std::string_view deviceID) = 0;
};

} // namespace tarnwick
