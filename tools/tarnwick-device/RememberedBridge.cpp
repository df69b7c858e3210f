#include "tarnwick-device/RememberedBridge.h"

#include <QSettings>

namespace tarnwick {

namespace {

constexpr auto deviceIDKey = "bridge/deviceID";
constexpr auto publicKeyKey = "bridge/publicKey";
constexpr auto nameKey = "bridge/displayName";
constexpr auto hostKey = "bridge/host";
constexpr auto portKey = "bridge/port";
constexpr auto certificatePinKey = "bridge/certificate";
constexpr auto certificateKeyPinKey = "bridge/certificateKey";

} // namespace

RememberedBridgeStore::RememberedBridgeStore(QSettings& settings) : settings_(settings) {}

std::optional<RememberedBridge> RememberedBridgeStore::load() const {
    RememberedBridge bridge;
    bridge.deviceID = settings_.value(deviceIDKey).toString().toStdString();
    bridge.publicKey = settings_.value(publicKeyKey).toString().toStdString();
    if (bridge.deviceID.empty() || bridge.publicKey.empty()) {
        return std::nullopt;
    }
    bridge.displayName = settings_.value(nameKey).toString().toStdString();
    bridge.address.host = settings_.value(hostKey).toString().toStdString();
    bool valid = false;
    uint port = settings_.value(portKey).toUInt(&valid);
    if (valid && port > 0 && port <= 65535) {
        bridge.address.port = static_cast<std::uint16_t>(port);
    }
    bridge.certificate = settings_.value(certificatePinKey).toString().toStdString();
    bridge.certificateKey = settings_.value(certificateKeyPinKey).toString().toStdString();
    if (bridge.certificate.empty() || bridge.certificateKey.empty()) {
        bridge.certificate.clear();
        bridge.certificateKey.clear();
    }
    return bridge;
}

void RememberedBridgeStore::save(const RememberedBridge& bridge) {
    settings_.setValue(deviceIDKey, QString::fromStdString(bridge.deviceID));
    settings_.setValue(publicKeyKey, QString::fromStdString(bridge.publicKey));
    settings_.setValue(nameKey, QString::fromStdString(bridge.displayName));
    settings_.setValue(certificatePinKey, QString::fromStdString(bridge.certificate));
    settings_.setValue(certificateKeyPinKey, QString::fromStdString(bridge.certificateKey));
    saveAddress(bridge.address);
}

void RememberedBridgeStore::saveCertificate(const std::string& certificate,
                                            const std::string& certificateKey) {
    settings_.setValue(certificatePinKey, QString::fromStdString(certificate));
    settings_.setValue(certificateKeyPinKey, QString::fromStdString(certificateKey));
    settings_.sync();
}

void RememberedBridgeStore::saveAddress(const BridgeAddress& address) {
    settings_.setValue(hostKey, QString::fromStdString(address.host));
    settings_.setValue(portKey, static_cast<uint>(address.port));
    settings_.sync();
}

RememberedBridgeStore::Recognition
RememberedBridgeStore::recognise(const SeenBridge& bridge) const {
    auto remembered = load();
    if (!remembered || remembered->deviceID != bridge.deviceID) {
        return Recognition::unknown;
    }
    if (remembered->publicKey != bridge.publicKey) {
        return Recognition::keyChanged;
    }
    if (remembered->certificate.empty()) {
        return bridge.certificate.empty() ? Recognition::known : Recognition::certificateNew;
    }
    if (remembered->certificate == bridge.certificate) {
        return Recognition::known;
    }
    return remembered->certificateKey == bridge.certificateKey ? Recognition::certificateRenewed
                                                               : Recognition::certificateChanged;
}

} // namespace tarnwick
