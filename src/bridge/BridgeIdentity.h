#pragma once

#include "identity/HelloPayload.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <string_view>

namespace tarnwick {

// What the controller uses of this computer's signing identity: a signed hello on demand.
class BridgeIdentity {
public:
    virtual ~BridgeIdentity() = default;
    virtual Expected<HelloPayload, Error> makeHello(std::string_view displayName) const = 0;
};

} // namespace tarnwick
