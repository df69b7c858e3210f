#include "identity/TrustedPeer.h"

namespace tarnwick {

JSONValue TrustedPeer::toJSON() const {
    return JSONObject{
        {"deviceID", deviceID},
        {"displayName", displayName},
        {"publicKey", publicKey},
        {"pairedAt", pairedAt},
    };
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
    return TrustedPeer{*deviceID->stringValue(), *displayName->stringValue(),
                       *publicKey->stringValue(), *pairedAt->numberValue()};
}

} // namespace tarnwick
