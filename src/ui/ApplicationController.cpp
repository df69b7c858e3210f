// TEMPORARY: the controller's real neighbours (peer link, app-server client, identity and
// trust store) are assembled in src/bridge; until that assembly is in, the application runs
// with neighbours that say they are missing, so the window and the terminal front end can be
// used. Replace the body of makeApplicationController() with the real assembly's factory.
#include "bridge/BridgeController.h"
#include "platform/AutostartEntry.h"
#include "platform/SystemHostName.h"
#include "ui/BridgeApplication.h"

#include <QCoreApplication>

namespace tarnwick {

namespace {

class MissingLink : public BridgeLink {
public:
    void setHandlers(Handlers) override {}
    std::vector<PeerHandle> connectedPeers() const override { return {}; }
    Expected<void, BridgeError> send(std::string_view, const PeerHandle&) override {
        return Unexpected(BridgeError{"The local link is missing from this build."});
    }
    void start() override {}
    std::string statusText() const override { return "Local link missing from this build"; }
};

class MissingAppServer : public BridgeAppServer {
public:
    void setHandlers(Handlers handlers) override { handlers_ = std::move(handlers); }
    std::optional<std::string> findCodexExecutable() const override { return std::nullopt; }
    void start(std::optional<std::string>) override {
        if (handlers_.status) {
            handlers_.status("Codex app-server client missing from this build", false);
        }
    }
    void request(std::string, JSONValue, Completion completion) override {
        completion(Unexpected(BridgeError{"Codex app-server is still starting."}));
    }
    void respond(JSONValue, JSONValue) override {}
    void respondError(JSONValue, std::string) override {}

private:
    Handlers handlers_;
};

class MissingTrustStore : public BridgeTrustStore {
public:
    std::vector<TrustedPeer> records() const override { return {}; }
    std::optional<TrustedPeer> lookupPeer(std::string_view) const override { return {}; }
    Expected<void, BridgeError> trust(const HelloPayload&) override {
        return Unexpected(BridgeError{"The trust store is missing from this build."});
    }
    Expected<void, BridgeError> remove(std::string_view) override { return {}; }
};

} // namespace

std::unique_ptr<BridgeController> makeApplicationController() {
    BridgeNeighbours neighbours;
    neighbours.link = std::make_unique<MissingLink>();
    neighbours.trustStore = std::make_unique<MissingTrustStore>();
    neighbours.appServer = std::make_unique<MissingAppServer>();
    neighbours.identity =
        Unexpected(BridgeError{"The signing identity is missing from this build."});
    neighbours.loginItems = std::make_unique<AutostartEntry>(
        AutostartEntry::defaultEntryPath(), QCoreApplication::applicationFilePath().toStdString());
    neighbours.hostName = std::make_unique<SystemHostName>();
    return std::make_unique<BridgeController>(std::move(neighbours));
}

} // namespace tarnwick
