#include "protocol/ErrorBody.h"

#include <array>

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, 11> wireStrings = {
    "notPaired", "notAllowed", "outsideCeiling", "tooLarge",           "notReady",  "notOffered",
    "invalid",   "codexError", "noQuestion",     "unsupportedVersion", "forgotten",
};

} // namespace

std::string_view wireString(ErrorCode code) {
    return wireStrings[static_cast<std::size_t>(code)];
}

JSONValue ErrorBody::make(ErrorCode code, std::string message, int protocolVersion) {
    if (protocolVersion < 2) {
        return JSONValue(std::move(message));
    }
    return JSONValue(
        JSONObject{{"code", std::string(wireString(code))}, {"message", std::move(message)}});
}

ErrorBody ErrorBody::read(const std::optional<JSONValue>& body, std::string_view fallback) {
    ErrorBody read{{}, std::string(fallback)};
    if (!body) {
        return read;
    }
    if (const std::string* text = body->stringValue()) {
        read.message = *text;
        return read;
    }
    const JSONValue* code = body->member("code");
    const JSONValue* message = body->member("message");
    if (code && code->stringValue()) {
        read.code = *code->stringValue();
    }
    if (message && message->stringValue()) {
        read.message = *message->stringValue();
    }
    return read;
}

} // namespace tarnwick
