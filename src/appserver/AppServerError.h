#pragma once

#include "json/JSONText.h"
#include "json/JSONValue.h"
#include "platform/Expected.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace tarnwick {

// What can go wrong between the bridge and the Codex app-server. Each case has a fixed
// description, which status lines and error messages to devices show as it is.
class AppServerError {
public:
    enum class Case { server, terminated, codexNotFound, notReady, invalidResponse };

    // The app-server answered with an error; `text` is its own message.
    static AppServerError server(std::string text);
    // The app-server process ended with this exit status (or signal number).
    static AppServerError terminated(std::int32_t status);
    static AppServerError codexNotFound();
    static AppServerError notReady();
    static AppServerError invalidResponse();

    Case kind() const { return kind_; }
    std::string description() const;

    // The app-server's text of a server error; empty for the other cases.
    const std::string& serverText() const { return text_; }
    // The exit status of terminated; 0 for the other cases.
    std::int32_t status() const { return status_; }

    friend bool operator==(const AppServerError&, const AppServerError&) = default;

private:
    AppServerError(Case kind, std::string text, std::int32_t status)
        : kind_(kind), text_(std::move(text)), status_(status) {}

    Case kind_;
    std::string text_;
    std::int32_t status_ = 0;
};

// Receives the outcome of one app-server request: its result, or why there is none. Always
// called on the main thread, at most once.
// The result is the text the app-server wrote (checked), so that it can be passed on unbuilt.
using RequestCompletion = std::function<void(Expected<JSONText, AppServerError>)>;

} // namespace tarnwick
