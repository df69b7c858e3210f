#pragma once

// A signing identity for tests: a real P-256 key kept in memory, making real signed hellos.

#include "bridge/BridgeIdentity.h"
#include "identity/DeviceIdentity.h"
#include "identity/KeychainStore.h"
#include "support/MemoryKeychain.h"

#include <QSettings>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <string>

namespace tarnwick::testing {

class TestSigner {
public:
    // A new key; the device ID is new too unless one is given.
    explicit TestSigner(const std::string& deviceID = {})
        : settings_(directory_.filePath("settings.ini"), QSettings::IniFormat) {
        if (!deviceID.empty()) {
            settings_.setValue("TarnwickDeviceID", QString::fromStdString(deviceID));
        }
        identity_ = std::move(DeviceIdentity::create(keychain_, settings_)).value();
    }
    HelloPayload hello(const std::string& displayName) const {
        return identity_->makeHello(displayName).value();
    }
    const std::string& deviceID() const { return identity_->deviceID(); }
    const DeviceIdentity& identity() const { return *identity_; }

private:
    QTemporaryDir directory_;
    MemoryKeychain keychain_;
    QSettings settings_;
    std::unique_ptr<DeviceIdentity> identity_;
};

// The controller's view of a signer; `fail` forces makeHello to fail.
class SignerIdentity : public BridgeIdentity {
public:
    Expected<HelloPayload, Error> makeHello(std::string_view displayName) const override {
        if (fail) {
            return Unexpected(Error{"The signing key is not usable."});
        }
        return signer.hello(std::string(displayName));
    }
    HelloOffer makeOffer(std::string_view displayName,
                         std::string_view certificate) const override {
        return signer.identity().makeOffer(displayName, certificate);
    }
    Expected<std::string, Error> sign(std::string_view text) const override {
        return signer.identity().sign(text);
    }
    TestSigner signer;
    bool fail = false;
};

} // namespace tarnwick::testing
