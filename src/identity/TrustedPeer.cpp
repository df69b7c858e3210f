#include "identity/TrustedPeer.h"

#include <cmath>

namespace tarnwick {

JSONValue TrustedPeer::toJSON() const {
    JSONObject object{
        {"deviceID", deviceID},
        {"displayName", displayName},
        {"publicKey", publicKey},
        {"pairedAt", pairedAt},
    };
    if (protocolVersion != 1) {
        object.set("protocolVersion", protocolVersion);
    }
    return object;
}

std::optional<TrustedPeer> TrustedPeer::fromJSON(const JSONValue& value) {
    const JSONObject* object = value.objectValue();
    if (!object) {
        return std::nullopt;
    }
    const JSONValue* deviceID = object->find("deviceID");
    const JSONValue* displayName = object->find("displayName");
    const JSONValue* publicKey = object->find("publicKey");
    const JSONValue* pairedAt = object->find("pairedAt");
    if (!deviceID || !deviceID->stringValue() || !displayName || !displayName->stringValue() ||
        !publicKey || !publicKey->stringValue() || !pairedAt || !pairedAt->numberValue()) {
        return std::nullopt;
    }
    int version = 1;
    if (const JSONValue* stored = object->find("protocolVersion")) {
        const std::optional<double> number = stored->numberValue();
        if (!number || !(*number >= 1 && *number <= 1000) || *number != std::floor(*number)) {
            return std::nullopt;
        }
        version = static_cast<int>(*number);
    }
    return TrustedPeer{*deviceID->stringValue(), *displayName->stringValue(),
                       *publicKey->stringValue(), *pairedAt->numberValue(), version};
}

} // namespace tarnwick
