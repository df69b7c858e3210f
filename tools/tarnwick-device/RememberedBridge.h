#pragma once

#include "tarnwick-device/BridgeAddress.h"

#include <optional>
#include <string>

class QSettings;

namespace tarnwick {

// The bridge this device paired with: who it is, the key it proved itself with, and where it
// was last reached; since handshake version 2 also the TLS certificate it presented and that
// certificate's key (SHA-256 of the DER and of the SubjectPublicKeyInfo, lowercase hex). A
// bridge paired before has no certificate pinned until it next proves itself.
struct RememberedBridge {
    std::string deviceID;
    std::string publicKey;
    std::string displayName;
    BridgeAddress address;
    std::string certificate;
    std::string certificateKey;
};

// Who a bridge says it is on one connection, and the certificate that connection presented.
struct SeenBridge {
    std::string deviceID;
    std::string publicKey;
    std::string certificate;
    std::string certificateKey;
};

// Keeps the paired bridge in the device's settings.
class RememberedBridgeStore {
public:
    enum class Recognition {
        // This is the paired bridge with its paired key.
        known,
        // Another bridge, or none is remembered.
        unknown,
        // The paired bridge's device ID with another key: not to be trusted.
        keyChanged,
        // The paired bridge's key, but a certificate with another key: a relay, most likely.
        certificateChanged,
        // The paired bridge's key and certificate key in another certificate: a renewal.
        certificateRenewed,
        // The paired bridge's key; no certificate was pinned yet (paired with version 1).
        certificateNew,
    };

    explicit RememberedBridgeStore(QSettings& settings);

    std::optional<RememberedBridge> load() const;
    void save(const RememberedBridge& bridge);
    // Keeps the bridge but notes where it was reached this time.
    void saveAddress(const BridgeAddress& address);
    // Keeps the bridge but pins the certificate it proved itself with this time.
    void saveCertificate(const std::string& certificate, const std::string& certificateKey);

    Recognition recognise(const SeenBridge& bridge) const;

private:
    QSettings& settings_;
};

} // namespace tarnwick
