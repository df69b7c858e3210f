#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "identity/KeychainStore.h"
#include "identity/P256SigningKey.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <memory>
#include <string>
#include <string_view>

class QSettings;

namespace tarnwick {

// This computer's identity toward devices: a P-256 signing key kept in the keychain and a
// device ID kept in the user defaults. Both are settled at construction and never change.
class DeviceIdentity {
public:
    // The keychain account of the signing key's 32 raw bytes.
    static constexpr std::string_view signingKeyAccount = "device-signing-key";
    // The user-defaults key of the device ID.
    static constexpr std::string_view deviceIDKey = "TarnwickDeviceID";

    // Loads the key, or makes and saves one when there is none; then reads the device ID, or
    // makes and stores a random lower-case UUID. A stored key that is not valid fails and is
    // left as it is; when the key fails, the device ID is not touched.
    static Expected<std::unique_ptr<DeviceIdentity>, Error> create(KeychainStore& keychain,
                                                                   QSettings& settings);

    const std::string& deviceID() const { return deviceID_; }
    // Standard base64 of the 64-byte raw public key.
    std::string publicKey() const;
    std::string publicKeyText() const { return publicKey(); }

    // ECDSA P-256 SHA-256 over `bytes` with this identity's key: standard base64 of the DER.
    Expected<std::string, Error> sign(std::string_view bytes) const;

    // A hello for `displayName` with a fresh 24-byte nonce, signed with this identity's key.
    Expected<HelloPayload, Error> makeHello(std::string_view displayName) const;
    // A version-2 offer for `displayName` with a fresh 32-byte nonce; `certificate` is the
    // bridge certificate's fingerprint (the own one on the bridge, the one seen on a device).
    HelloOffer makeOffer(std::string_view displayName, std::string_view certificate) const;

private:
    // Lets only create() construct an identity, while std::make_unique can still reach it.
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

public:
    DeviceIdentity(ConstructionKey, P256SigningKey key, std::string deviceID);

private:
    P256SigningKey key_;
    std::string deviceID_;
};

} // namespace tarnwick
