#include "app/BridgeAssembly.h"

#include "app/AppServerClientAdapter.h"
#include "app/DeviceIdentityAdapter.h"
#include "app/PeerLinkAdapter.h"
#include "app/TrustStoreAdapter.h"
#include "identity/KeychainChooser.h"
#include "identity/UserDefaults.h"
#include "link/TlsIdentityStore.h"
#include "platform/AutostartEntry.h"
#include "platform/SystemHostName.h"

#include <QCoreApplication>

namespace tarnwick {

std::unique_ptr<BridgeController> makeBridgeController(const BridgeAssemblyOptions& options) {
    BridgeNeighbours neighbours;
    auto hostName = std::make_unique<SystemHostName>();
    std::optional<std::string> name = hostName->localizedName();

    PeerLinkOptions linkOptions;
    linkOptions.port = options.port;
    linkOptions.tlsIdentityPath =
        options.tlsIdentityPath.empty() ? TlsIdentityStore::defaultPath() : options.tlsIdentityPath;
    neighbours.link = std::make_unique<PeerLinkAdapter>(std::make_unique<PeerLink>(
        PeerLinkMode::host, name && !name->empty() ? *name : "Mac", linkOptions));

    std::shared_ptr<KeychainStore> keychain = openKeychain(options.keychainService);
    neighbours.trustStore = std::make_unique<TrustStoreAdapter>(keychain);
    neighbours.appServer = std::make_unique<AppServerClientAdapter>(AppServerClient::create());

    std::unique_ptr<QSettings> userDefaults = openUserDefaults();
    auto identity = DeviceIdentity::create(*keychain, *userDefaults);
    if (identity) {
        neighbours.identity = std::unique_ptr<BridgeIdentity>(
            std::make_unique<DeviceIdentityAdapter>(std::move(identity).value()));
    } else {
        neighbours.identity = Unexpected(Error{identity.error().description});
    }

    std::string executable = options.executable;
    if (executable.empty() && QCoreApplication::instance()) {
        executable = QCoreApplication::applicationFilePath().toStdString();
    }
    neighbours.loginItems =
        std::make_unique<AutostartEntry>(AutostartEntry::defaultEntryPath(), executable);
    neighbours.hostName = std::move(hostName);
    return std::make_unique<BridgeController>(std::move(neighbours));
}

} // namespace tarnwick
