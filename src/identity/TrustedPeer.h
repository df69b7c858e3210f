#pragma once

#include "json/JSONValue.h"

#include <optional>
#include <string>

namespace tarnwick {

// A paired device as the trust store keeps it: the device ID, display name and public-key text
// of the hello it paired with, and when it paired, in seconds since 2001-01-01 00:00:00 UTC.
struct TrustedPeer {
    std::string deviceID;
    std::string displayName;
    std::string publicKey;
    double pairedAt = 0;

    // {"deviceID", "displayName", "publicKey", "pairedAt"}, pairedAt as a number.
    JSONValue toJSON() const;
    // Needs all four members with their types; other members are ignored.
    static std::optional<TrustedPeer> fromJSON(const JSONValue& value);

    friend bool operator==(const TrustedPeer&, const TrustedPeer&) = default;
};

} // namespace tarnwick
