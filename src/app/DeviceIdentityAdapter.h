#pragma once

#include "bridge/BridgeIdentity.h"
#include "identity/DeviceIdentity.h"

#include <memory>

namespace tarnwick {

// The controller's view of this computer's real signing identity.
class DeviceIdentityAdapter : public BridgeIdentity {
public:
    explicit DeviceIdentityAdapter(std::unique_ptr<DeviceIdentity> identity)
        : identity_(std::move(identity)) {}

    Expected<HelloPayload, Error> makeHello(std::string_view displayName) const override {
        auto hello = identity_->makeHello(displayName);
        if (!hello) {
            return Unexpected(Error{hello.error().description});
        }
        return std::move(hello).value();
    }
    HelloOffer makeOffer(std::string_view displayName,
                         std::string_view certificate) const override {
        return identity_->makeOffer(displayName, certificate);
    }
    Expected<std::string, Error> sign(std::string_view text) const override {
        return identity_->sign(text);
    }

private:
    std::unique_ptr<DeviceIdentity> identity_;
};

} // namespace tarnwick
