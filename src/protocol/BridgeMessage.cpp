#include "protocol/BridgeMessage.h"

#include <array>
#include <cmath>

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, 17> wireStrings = {
    "hello",      "pairingRequest", "pairingAccepted", "pairingRejected", "request",
    "response",   "event",          "serverRequest",   "serverResponse",  "error",
    "ping",       "proof",          "pairingNonce",    "ceiling",         "serverRequestSettled",
    "notTrusted", "forgotten",
};

Unexpected<Error> failure(std::string description) {
    return Unexpected(Error{std::move(description)});
}

// Reads an optional text member: absent and null both give nothing.
bool readOptionalText(const JSONObject& object, std::string_view key,
                      std::optional<std::string>& out) {
    const JSONValue* value = object.find(key);
    if (!value || value->isNull()) {
        out.reset();
        return true;
    }
    if (const std::string* text = value->stringValue()) {
        out = *text;
        return true;
    }
    return false;
}

} // namespace

std::string_view wireString(BridgeMessageKind kind) {
    return wireStrings[static_cast<std::size_t>(kind)];
}

std::optional<BridgeMessageKind> bridgeMessageKindFromWire(std::string_view text) {
    for (std::size_t i = 0; i < wireStrings.size(); ++i) {
        if (wireStrings[i] == text) {
            return static_cast<BridgeMessageKind>(i);
        }
    }
    return std::nullopt;
}

std::string BridgeMessage::encodeHead() const {
    std::string out = "{\"version\":";
    out += std::to_string(version);
    out += ",\"kind\":\"";
    out += wireString(kind);
    out += '"';
    if (id) {
        out += ",\"id\":";
        (void)JSONValue(*id).encodeTo(out); // a text always encodes
    }
    if (method) {
        out += ",\"method\":";
        (void)JSONValue(*method).encodeTo(out); // a text always encodes
    }
    return out;
}

Expected<std::string, Error> BridgeMessage::encode() const {
    std::string out = encodeHead();
    if (body) {
        out += ",\"body\":";
        if (auto written = body->encodeTo(out); !written) {
            return Unexpected(written.error());
        }
    }
    out += '}';
    return out;
}

Expected<BridgeMessage, Error> BridgeMessage::decode(std::string_view bytes) {
    auto decoded = JSONValue::decode(bytes);
    if (!decoded) {
        return failure(decoded.error().description);
    }
    JSONObject* object = decoded->objectValue();
    if (!object) {
        return failure("The message is not a JSON object.");
    }

    BridgeMessage message;
    const JSONValue* version = object->find("version");
    if (!version) {
        return failure("The message has no \"version\".");
    }
    std::optional<double> number = version->numberValue();
    // The double range [-2^63, 2^63) is exactly what converts to a signed 64-bit integer.
    if (!number || *number != std::trunc(*number) || *number < -9223372036854775808.0 ||
        *number >= 9223372036854775808.0) {
        return failure("The message's \"version\" is not an integer.");
    }
    message.version = static_cast<std::int64_t>(*number);

    const JSONValue* kind = object->find("kind");
    if (!kind) {
        return failure("The message has no \"kind\".");
    }
    const std::string* kindText = kind->stringValue();
    if (!kindText) {
        return failure("The message's \"kind\" is not a text.");
    }
    std::optional<BridgeMessageKind> parsedKind = bridgeMessageKindFromWire(*kindText);
    if (!parsedKind) {
        return failure("The message's \"kind\" is not a known kind.");
    }
    message.kind = *parsedKind;

    if (!readOptionalText(*object, "id", message.id)) {
        return failure("The message's \"id\" is not a text.");
    }
    if (!readOptionalText(*object, "method", message.method)) {
        return failure("The message's \"method\" is not a text.");
    }
    if (std::optional<JSONValue> body = object->take("body"); body && !body->isNull()) {
        message.body = std::move(body);
    }
    return message;
}

} // namespace tarnwick
