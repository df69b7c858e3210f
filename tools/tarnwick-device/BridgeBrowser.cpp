#include "tarnwick-device/BridgeBrowser.h"

#include "link/HostBrowser.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace tarnwick {

BridgeBrowser::BridgeBrowser(std::string displayName) : displayName_(std::move(displayName)) {}

std::vector<FoundBridge> BridgeBrowser::browse(std::chrono::milliseconds duration) {
    HostBrowser link;
    link.start();
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
    std::vector<FoundBridge> found;
    for (const PeerHandle& peer : link.discoveredPeers()) {
        if (peer && peer->endpoint()) {
            found.push_back(FoundBridge{peer->displayName(), *peer->endpoint()});
        }
    }
    return found;
}

const FoundBridge* BridgeBrowser::named(const std::vector<FoundBridge>& found,
                                        const std::string& name) {
    for (const FoundBridge& bridge : found) {
        if (bridge.name == name) {
            return &bridge;
        }
    }
    const FoundBridge* match = nullptr;
    for (const FoundBridge& bridge : found) {
        const std::string& full = bridge.name;
        // The link names a host "NAME-XXXX" with four hexadecimal digits.
        if (full.size() == name.size() + 5 && full.compare(0, name.size(), name) == 0 &&
            full[name.size()] == '-') {
            if (match) {
                return nullptr;
            }
            match = &bridge;
        }
    }
    return match;
}

} // namespace tarnwick
