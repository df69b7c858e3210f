#pragma once

#include "app/CeilingSettings.h"
#include "app/DeviceIdentityAdapter.h"
#include "app/TrustStoreAdapter.h"
#include "bridge/BridgeController.h"
#include "identity/KeychainChooser.h"
#include "link/LinkHost.h"
#include "platform/Environment.h"
#include "support/FakeNeighbours.h"
#include "support/QtTestSupport.h"
#include "support/RecordingAppServer.h"

#include <QSettings>

#include <filesystem>
#include <memory>
#include <string>

namespace tarnwick::testing {

// The bridge assembled from real parts, as end-to-end tests use it: the TLS WebSocket link on
// loopback with a port of its own choosing (advertised over DNS-SD only when asked), this
// computer's identity and the trusted devices in a private file keychain in `folder`, and the
// app-server client running `program`, the device ceiling (folder roots: `folder`) in
// `folder`'s settings. Only the login items and the host name are stand-ins.
class AssembledBridge {
public:
    AssembledBridge() = default;
    AssembledBridge(const std::filesystem::path& folder, const std::string& program,
                    bool advertise = false) {
        LinkHostOptions linkOptions;
        linkOptions.port = 0;
        linkOptions.advertise = advertise;
        linkOptions.listenAddress = QHostAddress::LocalHost;
        linkOptions.tlsIdentityPath = (folder / "tls-identity.pem").string();
        auto link = std::make_unique<LinkHost>("Studio", linkOptions);
        link_ = link.get();
        auto appServer = std::make_unique<RecordingAppServer>(program);
        appServer_ = appServer.get();

        keychain_ = openKeychain("app.tarnwick.bridge", folder / "bridge-keychain", false);
        QSettings settings(QString::fromStdString((folder / "bridge.ini").string()),
                           QSettings::IniFormat);
        BridgeNeighbours neighbours;
        neighbours.link = std::move(link);
        neighbours.appServer = std::move(appServer);
        neighbours.trustStore = std::make_unique<TrustStoreAdapter>(keychain_);
        neighbours.identity =
            std::unique_ptr<BridgeIdentity>(std::make_unique<DeviceIdentityAdapter>(
                std::move(DeviceIdentity::create(*keychain_, settings)).value()));
        neighbours.loginItems = std::make_unique<FakeLoginItems>();
        neighbours.hostName = std::make_unique<FakeHostName>();
        neighbours.ceilings = std::make_unique<CeilingSettings>(
            std::make_unique<QSettings>(QString::fromStdString((folder / "bridge.ini").string()),
                                        QSettings::IniFormat),
            homeDirectory(), homeDirectory());
        controller_ = std::make_unique<BridgeController>(std::move(neighbours));
        // Devices work in `folder` (and the folders in it), under the standard ceiling.
        (void)controller_->setCeilings(CeilingBook{DeviceCeiling::standard(folder.string()), {}});
        controller_->start();
        waitUntil([&] { return controller_->appServerReady(); });
    }

    BridgeController& controller() { return *controller_; }
    const BridgeController& controller() const { return *controller_; }
    LinkHost& link() { return *link_; }
    RecordingAppServer& appServer() { return *appServer_; }
    const RecordingAppServer& appServer() const { return *appServer_; }
    quint16 port() const { return link_->listeningPort(); }
    // Ends the bridge (and its app-server) now rather than with the fixture.
    void stop() { controller_.reset(); }

private:
    std::shared_ptr<KeychainStore> keychain_;
    LinkHost* link_ = nullptr;
    RecordingAppServer* appServer_ = nullptr;
    // Declared last so that it goes first, while the keychain its trust store uses is there.
    std::unique_ptr<BridgeController> controller_;
};

} // namespace tarnwick::testing
