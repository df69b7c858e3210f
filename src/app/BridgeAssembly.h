#pragma once

#include "bridge/BridgeController.h"

#include <QtGlobal>

#include <memory>
#include <string>

namespace tarnwick {

class WebContent;

// The web cockpit's table, from the files compiled in under :/web/.
std::shared_ptr<const WebContent> webContentFromResources();

struct BridgeAssemblyOptions {
    // Where devices connect.
    quint16 port = 47600;
    // The keychain service under which the signing key and the trusted devices are kept.
    std::string keychainService = "app.tarnwick.bridge";
    // The program the launch-at-login entry starts; empty for this process's own executable.
    std::string executable;
    // The file that keeps the link's TLS identity; empty for
    // $XDG_DATA_HOME/tarnwick-bridge/tls-identity.pem.
    std::string tlsIdentityPath;
};

// The controller with every real neighbour: the link in host mode, the trust store, the Codex
// app-server client and this computer's identity (absent, with the reason shown, when the
// keychain cannot give one). Nothing is started until the controller's start().
std::unique_ptr<BridgeController> makeBridgeController(const BridgeAssemblyOptions& options = {});

} // namespace tarnwick
