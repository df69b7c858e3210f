#pragma once

// Records everything an AppServerClient delivers, and checks it all arrives on the main thread.

#include "appserver/AppServerClient.h"
#include "platform/MainQueue.h"
#include "support/QtTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct Status {
    std::string text;
    bool ready = false;
    friend bool operator==(const Status&, const Status&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const Status& status) {
    return out << "(\"" << status.text << "\", " << (status.ready ? "ready" : "not ready") << ")";
}

// The outcome of one request, once it has come.
struct Outcome {
    int calls = 0;
    std::optional<Expected<JSONValue, AppServerError>> value;

    bool arrived() const { return calls > 0; }
    bool failedWith(AppServerError::Case kind) const {
        return value && !value->hasValue() && value->error().kind() == kind;
    }
};

class ClientRecorder {
public:
    // Installs the four handlers. The recorder must outlive the client's deliveries, which it
    // does when the client is destroyed first.
    void attach(AppServerClient& client) {
        AppServerClient::Handlers handlers;
        handlers.status = [this](const std::string& text, bool ready) {
            note();
            statuses.push_back({text, ready});
            order.push_back("status " + statuses.back().text);
        };
        handlers.log = [this](const std::string& text) {
            note();
            logs.push_back(text);
            order.push_back("log " + text);
        };
        handlers.notification = [this](const std::string& method, const JSONText& text) {
            note();
            JSONValue params = text.value();
            if (method == "fake/received") {
                received.push_back(*params.member("line")->stringValue());
                return;
            }
            notifications.emplace_back(method, std::move(params));
            order.push_back("notification " + notifications.back().first);
        };
        handlers.serverRequest = [this](const JSONValue&, const std::string& method,
                                        const JSONText&) {
            note();
            order.push_back("server request " + method);
        };
        client.setHandlers(std::move(handlers));
    }

    // A completion that records into a new outcome.
    std::pair<std::shared_ptr<Outcome>, RequestCompletion> completion(const std::string& tag = {}) {
        auto outcome = std::make_shared<Outcome>();
        RequestCompletion callback = [this, outcome,
                                      tag](Expected<JSONText, AppServerError> value) {
            note();
            ++outcome->calls;
            if (value) {
                outcome->value = value->value();
            } else {
                outcome->value = Unexpected(value.error());
            }
            if (!tag.empty()) {
                order.push_back("completion " + tag);
            }
        };
        return {outcome, callback};
    }

    bool hasStatus(const std::string& text) const {
        return std::any_of(statuses.begin(), statuses.end(),
                           [&](const Status& status) { return status.text == text; });
    }
    bool waitForStatus(const std::string& text) {
        return waitUntil([&] { return hasStatus(text); });
    }
    // Waits for "Codex app-server ready" after the latest "Starting Codex app-server…".
    bool waitForReady() {
        return waitUntil([&] {
            bool ready = false;
            for (const Status& status : statuses) {
                if (status.text == "Starting Codex app-server\u2026") {
                    ready = false;
                } else if (status.text == "Codex app-server ready") {
                    ready = true;
                }
            }
            return ready;
        });
    }
    bool hasLog(const std::string& text) const {
        return std::find(logs.begin(), logs.end(), text) != logs.end();
    }
    bool hasNotification(const std::string& method) const {
        return std::any_of(notifications.begin(), notifications.end(),
                           [&](const auto& entry) { return entry.first == method; });
    }
    const JSONValue* notification(const std::string& method) const {
        for (const auto& entry : notifications) {
            if (entry.first == method) {
                return &entry.second;
            }
        }
        return nullptr;
    }

    std::vector<Status> statuses;
    std::vector<std::string> logs;
    std::vector<std::pair<std::string, JSONValue>> notifications;
    // Lines the fake read from the client (with its echo rule).
    std::vector<std::string> received;
    // Everything but received lines, in the order it was delivered.
    std::vector<std::string> order;
    int deliveries = 0;
    bool allOnMainThread = true;

private:
    void note() {
        ++deliveries;
        allOnMainThread = allOnMainThread && onMainThread();
    }
};

} // namespace tarnwick::testing
