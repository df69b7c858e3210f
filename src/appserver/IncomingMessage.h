#pragma once

#include "appserver/AppServerError.h"
#include "json/JSONValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace tarnwick {

// A message from the app-server that needs no answer.
struct IncomingNotification {
    std::string method;
    JSONValue params;
};

// A request the app-server makes of the bridge; `id` is whatever JSON value it chose.
struct IncomingServerRequest {
    JSONValue id;
    std::string method;
    JSONValue params;
};

// The app-server's answer to one of the bridge's requests.
struct IncomingResponse {
    std::int64_t id = 0;
    JSONObject message;

    // The result, or the error the answer carries. "error" is looked at before "result".
    Expected<JSONValue, AppServerError> outcome() &&;
};

// One decoded line from the app-server, sorted by what it is. Anything else (not an object, an
// empty object, a response without a usable id) is ignored and comes out as monostate.
using IncomingMessage =
    std::variant<std::monostate, IncomingNotification, IncomingServerRequest, IncomingResponse>;

IncomingMessage classifyIncoming(JSONValue value);

// The request id a JSON number stands for: the number without its fraction. Nothing for a
// number that is not finite or lies outside the signed 64-bit range.
std::optional<std::int64_t> requestIDFromNumber(double number);

} // namespace tarnwick
