#pragma once

#include "appserver/AppServerError.h"
#include "appserver/LineFramer.h"
#include "json/JSONDecoder.h"
#include "json/JSONValue.h"
#include "platform/PipeWriter.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The bridge's end of the JSON-RPC dialect the app-server speaks: turns the app-server's output
// into notifications, server requests and answers to the bridge's own requests, and writes the
// bridge's requests and replies as lines. Allocates request ids (1, 2, 3, ... for the life of
// the endpoint) and keeps each request's completion until its answer comes.
//
// Single-threaded: every call, and every handler call it makes, happens on the calling thread.
class RpcEndpoint {
public:
    struct Handlers {
        std::function<void(std::string method, JSONText params)> notification;
        std::function<void(JSONValue id, std::string method, JSONText params)> serverRequest;
        // A request's outcome, for its completion.
        std::function<void(RequestCompletion completion,
                           Expected<JSONText, AppServerError> outcome)>
            completion;
        std::function<void(std::string text)> log;
    };

    // Writes one whole line to the app-server. Without a writer, lines are dropped.
    using LineWriter = std::function<Expected<void, WriteError>(std::string_view line)>;

    static constexpr std::size_t defaultMaxLineBytes = 256 * 1024 * 1024;
    // Protocol-error log lines quote at most this much of the offending line.
    static constexpr std::size_t maxQuotedBytes = 4096;

    explicit RpcEndpoint(Handlers handlers, std::size_t maxLineBytes = defaultMaxLineBytes);

    void setWriter(LineWriter writer) { writer_ = std::move(writer); }

    // Takes bytes the app-server wrote; every complete line is handled before this returns.
    void consumeOutput(std::string_view chunk);
    // Forgets an unfinished line, so that it is never joined to what comes next.
    void resetOutput() { framer_.reset(); }

    // Allocates the next id, keeps the completion under it, and writes the request.
    void sendRequest(std::string method, JSONValue params, RequestCompletion completion);
    void sendNotification(std::string method, JSONValue params);
    void sendResult(JSONValue id, JSONValue result);
    void sendError(JSONValue id, std::string message);

    // Hands over every waiting completion, in id order, and forgets them.
    std::vector<RequestCompletion> takePending();

    std::int64_t nextID() const { return nextID_; }
    std::size_t pendingCount() const { return pending_.size(); }

private:
    void handleLine(std::string_view line);
    void handleMessage(JSONValue message, std::optional<JSONText> params,
                       std::optional<JSONText> result);
    void write(const std::optional<std::string>& line);

    Handlers handlers_;
    LineWriter writer_;
    LineFramer framer_;
    JSONDecoder decoder_;
    std::int64_t nextID_ = 1;
    std::map<std::int64_t, RequestCompletion> pending_;
};

} // namespace tarnwick
