#pragma once

#include "appserver/AppServerClient.h"
#include "bridge/BridgeAppServer.h"

#include <memory>

namespace tarnwick {

// The controller's view of the real app-server client. The Codex child it runs is terminated
// and reaped when the adapter goes, so that quitting the bridge leaves no process behind.
class AppServerClientAdapter : public BridgeAppServer {
public:
    explicit AppServerClientAdapter(std::shared_ptr<AppServerClient> client);
    ~AppServerClientAdapter() override;

    void setHandlers(Handlers handlers) override;
    std::optional<std::string> findCodexExecutable() const override;
    void start(std::optional<std::string> executable) override;
    void request(std::string method, JSONValue params, Completion completion) override;
    void respond(JSONValue id, JSONValue result) override;
    void respondError(JSONValue id, std::string message) override;
    void holdOutput(bool held) override { client_->holdDeliveries(held); }

private:
    std::shared_ptr<AppServerClient> client_;
};

} // namespace tarnwick
