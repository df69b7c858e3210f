#pragma once

#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <string>
#include <string_view>

namespace tarnwick {

// What the controller uses of this computer's signing identity: a signed version-1 hello, a
// version-2 offer with a fresh nonce, and signatures (base64 DER) over version-2 proof texts.
class BridgeIdentity {
public:
    virtual ~BridgeIdentity() = default;
    virtual Expected<HelloPayload, Error> makeHello(std::string_view displayName) const = 0;
    virtual HelloOffer makeOffer(std::string_view displayName,
                                 std::string_view certificate) const = 0;
    virtual Expected<std::string, Error> sign(std::string_view text) const = 0;
};

} // namespace tarnwick
