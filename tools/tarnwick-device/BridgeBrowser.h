#pragma once

#include "link/PeerHandle.h"

#include <chrono>
#include <string>
#include <vector>

namespace tarnwick {

// A bridge found on the local network.
struct FoundBridge {
    std::string name;
    PeerEndpoint endpoint;
};

// Browses DNS-SD for bridges for a while and lists what it found, in the order found.
class BridgeBrowser {
public:
    explicit BridgeBrowser(std::string displayName);

    std::vector<FoundBridge> browse(std::chrono::milliseconds duration);

    // The found bridge called `name`: its full service name, or that name without the
    // "-XXXX" the link adds. Several matches give none.
    static const FoundBridge* named(const std::vector<FoundBridge>& found, const std::string& name);

private:
    std::string displayName_;
};

} // namespace tarnwick
