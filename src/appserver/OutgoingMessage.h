#pragma once

#include "json/JSONValue.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

// The lines the bridge writes to the app-server: compact JSON followed by one line feed, with
// no JSON-RPC version member. Each gives nothing when a value cannot be encoded (a number that
// is not finite).
struct OutgoingMessage {
    static std::optional<std::string> request(std::int64_t id, std::string method,
                                              JSONValue params);
    static std::optional<std::string> notification(std::string method, JSONValue params);
    // The answer to a server request, with its id echoed exactly.
    static std::optional<std::string> result(JSONValue id, JSONValue result);
    // The refusal of a server request: code -32601 and the message.
    static std::optional<std::string> error(JSONValue id, std::string message);

    static constexpr int methodNotFoundCode = -32601;
};

} // namespace tarnwick
