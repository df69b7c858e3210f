#pragma once

#include "identity/HelloPayload.h"
#include "tarnwick-device/BridgeAddress.h"

#include <optional>
#include <string>

class QSettings;

namespace tarnwick {

// The bridge this device paired with: who it is, the key it proved itself with, and where it
// was last reached.
struct RememberedBridge {
    std::string deviceID;
    std::string publicKey;
    std::string displayName;
    BridgeAddress address;
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
    };

    explicit RememberedBridgeStore(QSettings& settings);

    std::optional<RememberedBridge> load() const;
    void save(const RememberedBridge& bridge);
    // Keeps the bridge but notes where it was reached this time.
    void saveAddress(const BridgeAddress& address);

    Recognition recognise(const HelloPayload& bridgeHello) const;

private:
    QSettings& settings_;
};

} // namespace tarnwick
