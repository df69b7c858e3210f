#pragma once

#include "json/JSONText.h"
#include "json/JSONValue.h"
#include "platform/Error.h"
#include "platform/Expected.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// What the controller uses of the Codex app-server client. Every handler and every completion
// runs on the main thread.
class BridgeAppServer {
public:
    struct Handlers {
        std::function<void(const std::string& text, bool ready)> status;
        std::function<void(const std::string& text)> log;
        // A notification's params and a request's result come as the checked text the
        // app-server wrote, to be passed on as they are.
        std::function<void(const std::string& method, const JSONText& params)> notification;
        // A server request's params likewise: a question may be offered to devices again.
        std::function<void(const JSONValue& id, const std::string& method, const JSONText& params)>
            serverRequest;
    };
    using Completion = std::function<void(Expected<JSONText, Error> outcome)>;
    // The words of a request's failure when the app-server was not running or not ready for
    // it; every other failure is Codex's own.
    static constexpr std::string_view notReadyText = "Codex app-server is still starting.";

    virtual ~BridgeAppServer() = default;
    virtual void setHandlers(Handlers handlers) = 0;
    virtual std::optional<std::string> findCodexExecutable() const = 0;
    virtual void start(std::optional<std::string> executable) = 0;
    virtual void request(std::string method, JSONValue params, Completion completion) = 0;
    virtual void respond(JSONValue id, JSONValue result) = 0;
    virtual void respondError(JSONValue id, std::string message) = 0;
    // While held, no handler and no completion runs; what the app-server sends waits, in order,
    // and the app-server is slowed to the pace at which it is taken.
    virtual void holdOutput(bool held) { (void)held; }
};

} // namespace tarnwick
