#pragma once

#include "app/AppServerClientAdapter.h"
#include "bridge/BridgeAppServer.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::testing {

// The real app-server client, noting the requests the controller handed to it, the
// notifications it relayed and the answers it gave to the app-server's own requests. With the
// scripted fake app-server, which reports every line it read as the notification
// "fake/received", those lines are kept aside and never reach the controller.
class RecordingAppServer : public BridgeAppServer {
public:
    explicit RecordingAppServer(std::string executable)
        : executable_(std::move(executable)),
          real_(std::make_unique<AppServerClientAdapter>(AppServerClient::create())) {}

    void setHandlers(Handlers handlers) override {
        auto notification = handlers.notification;
        handlers.notification = [this, notification](const std::string& method,
                                                     const JSONText& text) {
            JSONValue params = text.value();
            if (method == "fake/received") {
                if (const JSONValue* line = params.member("line"); line && line->stringValue()) {
                    received.push_back(*JSONValue::decode(*line->stringValue()));
                }
            } else {
                notifications.emplace_back(method, params);
                if (notification) {
                    notification(method, text);
                }
            }
        };
        real_->setHandlers(std::move(handlers));
    }
    std::optional<std::string> findCodexExecutable() const override { return executable_; }
    void start(std::optional<std::string> executable) override { real_->start(executable); }
    void request(std::string method, JSONValue params, Completion completion) override {
        methods.push_back(method);
        real_->request(std::move(method), std::move(params), std::move(completion));
    }
    void respond(JSONValue id, JSONValue result) override {
        responses.emplace_back(id, result);
        real_->respond(std::move(id), std::move(result));
    }
    void respondError(JSONValue id, std::string message) override {
        real_->respondError(std::move(id), std::move(message));
    }
    void holdOutput(bool held) override { real_->holdOutput(held); }

    // Calls the real client's request from the test, as the controller would.
    void requestDirectly(std::string method, JSONValue params, Completion completion) {
        real_->request(std::move(method), std::move(params), std::move(completion));
    }

    // The lines read with a "method" other than the handshake's.
    std::vector<JSONValue> requestsReceived() const {
        std::vector<JSONValue> requests;
        for (const auto& line : received) {
            const JSONValue* method = line.member("method");
            if (method && method->stringValue() && *method->stringValue() != "initialize" &&
                *method->stringValue() != "initialized") {
                requests.push_back(line);
            }
        }
        return requests;
    }

    std::vector<std::string> methods;
    // Every line the fake app-server read, from its echo.
    std::vector<JSONValue> received;
    std::vector<std::pair<std::string, JSONValue>> notifications;
    // The id and the result of each answer to a question of the app-server.
    std::vector<std::pair<JSONValue, JSONValue>> responses;

private:
    std::string executable_;
    std::unique_ptr<AppServerClientAdapter> real_;
};

} // namespace tarnwick::testing
