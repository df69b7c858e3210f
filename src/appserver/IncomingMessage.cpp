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

IncomingMessage classifyIncoming(JSONValue value, std::optional<JSONText> params,
                                 std::optional<JSONText> result) {
    JSONObject* object = value.objectValue();
    if (!object || (object->empty() && !params && !result)) {
        return std::monostate{};
    }
    if (const JSONValue* method = object->find("method"); method && method->stringValue()) {
        std::string name = *method->stringValue();
        if (std::optional<JSONValue> id = object->take("id")) {
            // The params stay the text the app-server wrote: a question may be shown again
            // later, and a device must see it as Codex asked it.
            return IncomingServerRequest{std::move(*id), std::move(name),
                                         params ? std::move(*params) : JSONText::emptyObject()};
        }
        return IncomingNotification{std::move(name),
                                    params ? std::move(*params) : JSONText::emptyObject()};
    }
    const JSONValue* id = object->find("id");
    if (!id || !id->numberValue()) {
        return std::monostate{};
    }
    std::optional<std::int64_t> number = requestIDFromNumber(*id->numberValue());
    if (!number) {
        return std::monostate{};
    }
    return IncomingResponse{*number, std::move(*object), std::move(result)};
}

Expected<JSONText, AppServerError> IncomingResponse::outcome() && {
    if (std::optional<JSONValue> error = message.take("error")) {
        const JSONObject* details = error->objectValue();
        if (details && !details->empty()) {
            if (const JSONValue* text = details->find("message"); text && text->stringValue()) {
                return Unexpected(AppServerError::server(*text->stringValue()));
            }
        }
        return Unexpected(AppServerError::server(error->displayText()));
    }
    if (result) {
        return std::move(*result);
    }
    return Unexpected(AppServerError::invalidResponse());
}

} // namespace tarnwick
