#pragma once

#include "json/JSONValue.h"

#include <optional>
#include <string>

namespace tarnwick {

// A paired device as the trust store keeps it: the device ID, display name and public-key text
// of the hello it paired with, when it paired, in seconds since 2001-01-01 00:00:00 UTC, and
// the handshake version it last proved itself with.
struct TrustedPeer {
    std::string deviceID;
    std::string displayName;
    std::string publicKey;
    double pairedAt = 0;
    // 2 once the device paired or proved itself with handshake version 2; such a device is
    // never again authenticated by a version-1 hello.
    int protocolVersion = 1;

    // {"deviceID", "displayName", "publicKey", "pairedAt"}, pairedAt as a number, and
    // "protocolVersion" when it is not 1, so that version-1 records keep their old form.
    JSONValue toJSON() const;
    // Needs the first four members with their types; "protocolVersion", when present, must be
    // a whole number of at least 1 (absent means 1). Other members are ignored.
    static std::optional<TrustedPeer> fromJSON(const JSONValue& value);

    friend bool operator==(const TrustedPeer&, const TrustedPeer&) = default;
};

} // namespace tarnwick
