#pragma once

#include "json/JSONValue.h"

#include <optional>
#include <string>

namespace tarnwick {

// What the stand-in model does in every turn: ask to run one shell command, then, once the
// command's outcome comes back, answer with a fixed text.
struct ModelScriptOptions {
    // The shell command to ask for; without one the model only answers.
    std::optional<std::string> command;
    // Why the command is needed. Given, the command asks to run outside the sandbox with this
    // as its justification, which Codex shows as the approval's reason.
    std::optional<std::string> reason;
    std::string reply = "Done.";
};

// Answers requests of the Responses API with the Server-Sent Events a model would stream. It
// looks at the request alone: the tool to call is read from the request's tool list, and the
// last input item tells whether the command has already been asked for.
class ModelScript {
public:
    explicit ModelScript(ModelScriptOptions options);

    // The event stream answering `request`, a decoded request body.
    std::string answer(const JSONValue& request);

    // The function call that runs `command` with the shell tool `tools` offers, as a Responses
    // API output item; nothing when no shell tool is offered.
    std::optional<JSONValue> commandCall(const JSONValue& tools, const std::string& callID) const;

private:
    ModelScriptOptions options_;
    unsigned long nextID_ = 1;
};

// One Server-Sent Event carrying `event`, named after its "type".
std::string serverSentEvent(const JSONValue& event);

} // namespace tarnwick
