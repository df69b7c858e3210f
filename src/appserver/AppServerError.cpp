#include "appserver/AppServerError.h"

namespace tarnwick {

AppServerError AppServerError::server(std::string text) {
    return AppServerError(Case::server, std::move(text), 0);
}

AppServerError AppServerError::terminated(std::int32_t status) {
    return AppServerError(Case::terminated, {}, status);
}

AppServerError AppServerError::codexNotFound() {
    return AppServerError(Case::codexNotFound, {}, 0);
}

AppServerError AppServerError::notReady() {
    return AppServerError(Case::notReady, {}, 0);
}

AppServerError AppServerError::invalidResponse() {
    return AppServerError(Case::invalidResponse, {}, 0);
}

std::string AppServerError::description() const {
    switch (kind_) {
    case Case::server:
        return text_;
    case Case::terminated:
        return "Codex app-server exited with code " + std::to_string(status_) + ".";
    case Case::codexNotFound:
        return "Codex CLI was not found in /usr/local/bin, the bridge PATH, the npm prefix of "
               "~/.npmrc, ~/.npm-global/bin, ~/.nvm/versions/node/*/bin, ~/.volta/bin, "
               "~/.local/bin or /usr/bin.";
    case Case::notReady:
        return "Codex app-server is still starting.";
    case Case::invalidResponse:
        return "Codex returned an invalid response.";
    }
    return {};
}

} // namespace tarnwick
