#include "appserver/OutgoingMessage.h"

#include <utility>

namespace tarnwick {

namespace {

std::optional<std::string> line(JSONObject object) {
    std::string text;
    if (!JSONValue(std::move(object)).encodeTo(text)) {
        return std::nullopt;
    }
    text.push_back('\n');
    return text;
}

} // namespace

std::optional<std::string> OutgoingMessage::request(std::int64_t id, std::string method,
                                                    JSONValue params) {
    JSONObject object;
    object.set("id", JSONValue(static_cast<double>(id)));
    object.set("method", JSONValue(std::move(method)));
    object.set("params", std::move(params));
    return line(std::move(object));
}

std::optional<std::string> OutgoingMessage::notification(std::string method, JSONValue params) {
    JSONObject object;
    object.set("method", JSONValue(std::move(method)));
    object.set("params", std::move(params));
    return line(std::move(object));
}

std::optional<std::string> OutgoingMessage::result(JSONValue id, JSONValue result) {
    JSONObject object;
    object.set("id", std::move(id));
    object.set("result", std::move(result));
    return line(std::move(object));
}

std::optional<std::string> OutgoingMessage::error(JSONValue id, std::string message) {
    JSONObject details;
    details.set("code", JSONValue(methodNotFoundCode));
    details.set("message", JSONValue(std::move(message)));
    JSONObject object;
    object.set("id", std::move(id));
    object.set("error", JSONValue(std::move(details)));
    return line(std::move(object));
}

} // namespace tarnwick
