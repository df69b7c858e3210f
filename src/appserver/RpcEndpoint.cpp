#include "appserver/RpcEndpoint.h"

#include "appserver/IncomingMessage.h"
#include "appserver/OutgoingMessage.h"
#include "json/UTF8.h"
#include "json/UTF8Text.h"

#include <utility>

namespace tarnwick {

namespace {

std::string sizeText(std::size_t bytes) {
    constexpr std::size_t mebibyte = 1024 * 1024;
    if (bytes >= mebibyte && bytes % mebibyte == 0) {
        return std::to_string(bytes / mebibyte) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

} // namespace

RpcEndpoint::RpcEndpoint(Handlers handlers, std::size_t maxLineBytes)
    : handlers_(std::move(handlers)), framer_(maxLineBytes) {}

void RpcEndpoint::consumeOutput(std::string_view chunk) {
    framer_.consume(
        chunk, [this](std::string_view line) { handleLine(line); },
        [this] {
            handlers_.log("Protocol error: a line longer than " + sizeText(framer_.maxLineBytes()) +
                          " was dropped");
        });
}

void RpcEndpoint::handleLine(std::string_view line) {
    // What the bridge only passes on is checked but kept as text.
    static constexpr std::string_view rawNames[] = {incomingParamsName, incomingResultName};
    std::optional<JSONText> raw[2];
    auto decoded = decoder_.decode(line, rawNames, raw);
    if (decoded) {
        handleMessage(std::move(decoded).value(), std::move(raw[0]), std::move(raw[1]));
        return;
    }
    if (!isValidUTF8(line)) {
        handlers_.log("Protocol error: Unreadable response");
        return;
    }
    std::string_view quoted = prefixOnCharacterBoundary(line, maxQuotedBytes);
    std::string text = "Protocol error: ";
    text.append(quoted);
    if (quoted.size() < line.size()) {
        text.append("\u2026");
    }
    handlers_.log(std::move(text));
}

void RpcEndpoint::handleMessage(JSONValue message, std::optional<JSONText> params,
                                std::optional<JSONText> result) {
    IncomingMessage incoming =
        classifyIncoming(std::move(message), std::move(params), std::move(result));
    if (auto* notification = std::get_if<IncomingNotification>(&incoming)) {
        handlers_.notification(std::move(notification->method), std::move(notification->params));
    } else if (auto* request = std::get_if<IncomingServerRequest>(&incoming)) {
        handlers_.serverRequest(std::move(request->id), std::move(request->method),
                                std::move(request->params));
    } else if (auto* response = std::get_if<IncomingResponse>(&incoming)) {
        auto entry = pending_.find(response->id);
        if (entry == pending_.end()) {
            return;
        }
        RequestCompletion completion = std::move(entry->second);
        pending_.erase(entry);
        handlers_.completion(std::move(completion), std::move(*response).outcome());
    }
}

void RpcEndpoint::sendRequest(std::string method, JSONValue params, RequestCompletion completion) {
    std::int64_t id = nextID_++;
    pending_.emplace(id, std::move(completion));
    write(OutgoingMessage::request(id, std::move(method), std::move(params)));
}

void RpcEndpoint::sendNotification(std::string method, JSONValue params) {
    write(OutgoingMessage::notification(std::move(method), std::move(params)));
}

void RpcEndpoint::sendResult(JSONValue id, JSONValue result) {
    write(OutgoingMessage::result(std::move(id), std::move(result)));
}

void RpcEndpoint::sendError(JSONValue id, std::string message) {
    write(OutgoingMessage::error(std::move(id), std::move(message)));
}

void RpcEndpoint::write(const std::optional<std::string>& line) {
    if (!line || !writer_) {
        return;
    }
    auto written = writer_(*line);
    if (!written) {
        handlers_.log("Write failed: " + written.error().description);
    }
}

std::vector<RequestCompletion> RpcEndpoint::takePending() {
    std::vector<RequestCompletion> completions;
    completions.reserve(pending_.size());
    for (auto& entry : pending_) {
        completions.push_back(std::move(entry.second));
    }
    pending_.clear();
    return completions;
}

} // namespace tarnwick
