// Whatever an unpaired device sends, nothing reaches the app-server. The input is split at NUL
// bytes (which JSON never contains) into the blocks one connection sends in turn, once on a
// version-1 session and once on a version-2 session of a bridge that has a signing key.
#include "bridge/BridgeController.h"
#include "support/FakeNeighbours.h"
#include "support/TestSigner.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace {

using namespace tarnwick;

// An app-server that must never be reached from an unpaired device.
class ForbiddenAppServer : public testing::FakeAppServer {
public:
    void request(std::string, JSONValue, Completion) override { std::abort(); }
    void respond(JSONValue, JSONValue) override { std::abort(); }
    void respondError(JSONValue, std::string) override { std::abort(); }
};

struct Bridge {
    Bridge() {
        auto linkOwned = std::make_unique<testing::FakeLink>();
        link = linkOwned.get();
        BridgeNeighbours neighbours;
        neighbours.link = std::move(linkOwned);
        neighbours.appServer = std::make_unique<ForbiddenAppServer>();
        neighbours.trustStore = std::make_unique<testing::FakeTrustStore>();
        neighbours.loginItems = std::make_unique<testing::FakeLoginItems>();
        neighbours.hostName = std::make_unique<testing::FakeHostName>();
        neighbours.identity =
            std::unique_ptr<BridgeIdentity>(std::make_unique<testing::SignerIdentity>());
        controller = std::make_unique<BridgeController>(std::move(neighbours));
    }
    testing::FakeLink* link;
    std::unique_ptr<BridgeController> controller;
};

void deliverBlocks(Bridge& bridge, std::string_view input, int protocolVersion) {
    PeerHandle peer = bridge.link->connect("Fuzz", protocolVersion);
    while (true) {
        const std::size_t end = input.find('\0');
        bridge.link->deliver(peer, input.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        input.remove_prefix(end + 1);
    }
    if (!bridge.controller->authorizedPeerNames().empty()) {
        std::abort();
    }
    bridge.link->disconnect(peer);
    bridge.link->sent.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Bridge bridge;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    deliverBlocks(bridge, input, 1);
    deliverBlocks(bridge, input, 2);
    return 0;
}
