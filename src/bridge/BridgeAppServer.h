#pragma once

#include "json/JSONValue.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <functional>
#include <optional>
#include <string>

namespace tarnwick {

// What the controller uses of the Codex app-server client. Every handler and every completion
// runs on the main thread.
class BridgeAppServer {
public:
    struct Handlers {
        std::function<void(const std::string& text, bool ready)> status;
        std::function<void(const std::string& text)> log;
        std::function<void(const std::string& method, const JSONValue& params)> notification;
        std::function<void(const JSONValue& id, const std::string& method, const JSONValue& params)>
            serverRequest;
    };
    using Completion = std::function<void(Expected<JSONValue, Error> outcome)>;

    virtual ~BridgeAppServer() = default;
    virtual void setHandlers(Handlers handlers) = 0;
    virtual std::optional<std::string> findCodexExecutable() const = 0;
    virtual void start(std::optional<std::string> executable) = 0;
    virtual void request(std::string method, JSONValue params, Completion completion) = 0;
    virtual void respond(JSONValue id, JSONValue result) = 0;
    virtual void respondError(JSONValue id, std::string message) = 0;
};

} // namespace tarnwick
