#include "appserver/IncomingMessage.h"

#include <cmath>

namespace tarnwick {

namespace {

constexpr double twoTo63 = 9223372036854775808.0;

} // namespace

std::optional<std::int64_t> requestIDFromNumber(double number) {
    if (!std::isfinite(number)) {
        return std::nullopt;
    }
    double whole = std::trunc(number);
    if (whole < -twoTo63 || whole >= twoTo63) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(whole);
}

IncomingMessage classifyIncoming(JSONValue value) {
    JSONObject* object = value.objectValue();
    if (!object || object->empty()) {
        return std::monostate{};
    }
    if (const JSONValue* method = object->find("method"); method && method->stringValue()) {
        std::string name = *method->stringValue();
        JSONValue params = object->take("params").value_or(JSONValue(JSONObject{}));
        if (std::optional<JSONValue> id = object->take("id")) {
            return IncomingServerRequest{std::move(*id), std::move(name), std::move(params)};
        }
        return IncomingNotification{std::move(name), std::move(params)};
    }
    const JSONValue* id = object->find("id");
    if (!id || !id->numberValue()) {
        return std::monostate{};
    }
    std::optional<std::int64_t> number = requestIDFromNumber(*id->numberValue());
    if (!number) {
        return std::monostate{};
    }
    return IncomingResponse{*number, std::move(*object)};
}

Expected<JSONValue, AppServerError> IncomingResponse::outcome() && {
    if (std::optional<JSONValue> error = message.take("error")) {
        const JSONObject* details = error->objectValue();
        if (details && !details->empty()) {
            if (const JSONValue* text = details->find("message"); text && text->stringValue()) {
                return Unexpected(AppServerError::server(*text->stringValue()));
            }
        }
        return Unexpected(AppServerError::server(error->displayText()));
    }
    if (std::optional<JSONValue> result = message.take("result")) {
        return std::move(*result);
    }
    return Unexpected(AppServerError::invalidResponse());
}

} // namespace tarnwick
