#include "app/BridgeAssembly.h"

#include "app/AppLog.h"
#include "app/AppServerClientAdapter.h"
#include "app/CeilingSettings.h"
#include "app/DeviceIdentityAdapter.h"
#include "app/TrustStoreAdapter.h"
#include "identity/KeychainChooser.h"
#include "identity/UserDefaults.h"
#include "link/LinkHost.h"
#include "link/TlsIdentityStore.h"
#include "link/WebContent.h"
#include "platform/AutostartEntry.h"
#include "platform/Environment.h"
#include "platform/SystemHostName.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>

#include <map>
#include <vector>

namespace tarnwick {

std::shared_ptr<const WebContent> webContentFromResources() {
    const QString root = QStringLiteral(":/web/");
    std::map<std::string, std::string> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        files.emplace(path.mid(root.size()).toStdString(), file.readAll().toStdString());
    }
    std::vector<std::string> skipped;
    auto content = std::make_shared<const WebContent>(WebContent::assemble(files, &skipped));
    for (const std::string& name : skipped) {
        qCWarning(appLog) << "Not serving" << QString::fromStdString(name)
                          << "of the web page: a type the page does not use.";
    }
    return content;
}

std::unique_ptr<BridgeController> makeBridgeController(const BridgeAssemblyOptions& options) {
    BridgeNeighbours neighbours;
    auto hostName = std::make_unique<SystemHostName>();
    std::optional<std::string> name = hostName->localizedName();

    LinkHostOptions linkOptions;
    linkOptions.port = options.port;
    linkOptions.tlsIdentityPath =
        options.tlsIdentityPath.empty() ? TlsIdentityStore::defaultPath() : options.tlsIdentityPath;
    linkOptions.webContent = webContentFromResources();
    neighbours.link = std::make_unique<LinkHost>(name && !name->empty() ? *name : "Linux computer",
                                                 std::move(linkOptions));

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
    // The app-server runs in the home folder (AppServerClient).
    neighbours.ceilings =
        std::make_unique<CeilingSettings>(openUserDefaults(), homeDirectory(), homeDirectory());
    return std::make_unique<BridgeController>(std::move(neighbours));
}

} // namespace tarnwick
