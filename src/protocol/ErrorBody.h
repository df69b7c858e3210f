#pragma once

#include "json/JSONValue.h"

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Why the bridge refused or could not answer something a device sent. Version-2 sessions get it
// as a stable code beside the words, so that no device has to match sentences; version 1 gets
// the words alone, as it always did.
enum class ErrorCode {
    // A request or an answer before the session is authorised.
    notPaired,
    // A method outside the allowlist, or a kind this stage of the session does not take.
    notAllowed,
    // The computer's ceiling refuses what was asked.
    outsideCeiling,
    // A message or an answer over its bound.
    tooLarge,
    // Codex's app-server is not running, or not ready yet.
    notReady,
    // A decision Codex did not offer for the question.
    notOffered,
    // A malformed message or malformed params.
    invalid,
    // Codex answered the request with an error.
    codexError,
    // An answer to a question that is not open (settled already, or never asked).
    noQuestion,
    // An envelope of another protocol version than this bridge speaks.
    unsupportedVersion,
    // The person forgot this device on the computer (the body of a `forgotten` message).
    forgotten,
};

std::string_view wireString(ErrorCode code);

// The body of an `error` message as a device reads it. `code` is empty from a version-1
// bridge, and may be one this program does not know: a reader treats that as a failure of no
// particular kind and shows the message.
struct ErrorBody {
    std::string code;
    std::string message;

    bool is(ErrorCode known) const { return code == wireString(known); }

    // {"code", "message"} for version 2, the bare message text for version 1.
    static JSONValue make(ErrorCode code, std::string message, int protocolVersion);
    // Either form; `fallback` is the message when the body has none.
    static ErrorBody read(const std::optional<JSONValue>& body, std::string_view fallback);

    friend bool operator==(const ErrorBody&, const ErrorBody&) = default;
};

} // namespace tarnwick
