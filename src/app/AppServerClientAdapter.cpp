#include "app/AppServerClientAdapter.h"

namespace tarnwick {

AppServerClientAdapter::AppServerClientAdapter(std::shared_ptr<AppServerClient> client)
    : client_(std::move(client)) {}

AppServerClientAdapter::~AppServerClientAdapter() {
    setHandlers({});
    client_->shutdown();
}

void AppServerClientAdapter::setHandlers(Handlers handlers) {
    client_->setHandlers({std::move(handlers.notification), std::move(handlers.serverRequest),
                          std::move(handlers.status), std::move(handlers.log)});
}

std::optional<std::string> AppServerClientAdapter::findCodexExecutable() const {
    return AppServerClient::findCodexExecutable();
}

void AppServerClientAdapter::start(std::optional<std::string> executable) {
    client_->start(std::move(executable));
}

void AppServerClientAdapter::request(std::string method, JSONValue params, Completion completion) {
    client_->request(
        std::move(method), std::move(params),
        [completion = std::move(completion)](Expected<JSONText, AppServerError> outcome) {
            if (outcome) {
                completion(std::move(outcome).value());
            } else {
                // The bridge tells devices "not ready" apart from Codex's own errors by these
                // words.
                completion(Unexpected(Error{outcome.error().kind() == AppServerError::Case::notReady
                                                ? std::string(BridgeAppServer::notReadyText)
                                                : outcome.error().description()}));
            }
        });
}

void AppServerClientAdapter::respond(JSONValue id, JSONValue result) {
    client_->respond(std::move(id), std::move(result));
}

void AppServerClientAdapter::respondError(JSONValue id, std::string message) {
    client_->respondError(std::move(id), std::move(message));
}

} // namespace tarnwick
