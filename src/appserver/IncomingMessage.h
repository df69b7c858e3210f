#pragma once

#include "appserver/AppServerError.h"
#include "json/JSONText.h"
#include "json/JSONValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace tarnwick {

// A message from the app-server that needs no answer.
struct IncomingNotification {
    std::string method;
    JSONText params;
};

// A request the app-server makes of the bridge; `id` is whatever JSON value it chose.
struct IncomingServerRequest {
    JSONValue id;
    std::string method;
    JSONText params;
};

// The app-server's answer to one of the bridge's requests.
struct IncomingResponse {
    std::int64_t id = 0;
    // The answer without its result, which is kept as text.
    JSONObject message;
    std::optional<JSONText> result;

    // The result, or the error the answer carries. "error" is looked at before "result".
    Expected<JSONText, AppServerError> outcome() &&;
};

// One decoded line from the app-server, sorted by what it is. Anything else (not an object, an
// empty object, a response without a usable id) is ignored and comes out as monostate.
using IncomingMessage =
    std::variant<std::monostate, IncomingNotification, IncomingServerRequest, IncomingResponse>;

// The decoder names the members kept as text: a message's "params" and "result".
inline constexpr std::string_view incomingParamsName = "params";
inline constexpr std::string_view incomingResultName = "result";

// `value` is the line decoded without its "params" and "result", which come as text.
IncomingMessage classifyIncoming(JSONValue value, std::optional<JSONText> params,
                                 std::optional<JSONText> result);

// The request id a JSON number stands for: the number without its fraction. Nothing for a
// number that is not finite or lies outside the signed 64-bit range.
std::optional<std::int64_t> requestIDFromNumber(double number);

} // namespace tarnwick
