#include "bridge/BridgeController.h"

#include "bridge/DeviceText.h"
#include "platform/ReferenceDate.h"

#include <QDateTime>
#include <QPointer>
#include <QVariantMap>

#include <algorithm>
#include <utility>

namespace tarnwick {

namespace {

constexpr const char* identityFailureLog =
    "Keychain identity creation failed. Pairing is disabled until the app has valid signing "
    "entitlements.";

} // namespace

BridgeController::BridgeController(BridgeNeighbours neighbours, QObject* parent)
    : QObject(parent), neighbours_(std::move(neighbours)) {
    launchAtLogin_ =
        neighbours_.loginItems && neighbours_.loginItems->status() == LoginItemService::enabled;
    if (neighbours_.identity) {
        identity_ = std::move(neighbours_.identity).value();
    } else {
        appServerStatus_ =
            "Secure identity unavailable: " + neighbours_.identity.error().description;
        logs_ = {identityFailureLog};
    }
    refreshTrustedPeers();
    wireNeighbours();
}

BridgeController::~BridgeController() {
    // The neighbours may outlive this object by a moment on other threads; they must find
    // nothing to call.
    if (neighbours_.link) {
        neighbours_.link->setHandlers({});
    }
    if (neighbours_.appServer) {
        neighbours_.appServer->setHandlers({});
    }
}

void BridgeController::wireNeighbours() {
    QPointer<BridgeController> self(this);
    neighbours_.link->setHandlers({
        [self](std::string_view bytes, const PeerHandle& peer) {
            if (self) {
                self->handleData(bytes, peer);
            }
        },
        [self](const PeerHandle& peer) {
            if (self) {
                self->handleConnected(peer);
            }
        },
        [self](const PeerHandle& peer) {
            if (self) {
                self->handleDisconnected(peer);
            }
        },
        [self] {
            if (self) {
                emit self->linkStatusChanged();
            }
        },
    });
    neighbours_.appServer->setHandlers({
        [self](const std::string& text, bool ready) {
            if (self) {
                self->handleStatus(text, ready);
            }
        },
        [self](const std::string& text) {
            if (self) {
                self->handleLog(text);
            }
        },
        [self](const std::string& method, const JSONValue& params) {
            if (self) {
                self->relayEvent(method, params);
            }
        },
        [self](const JSONValue& id, const std::string& method, const JSONValue& params) {
            if (self) {
                self->handleServerRequest(id, method, params);
            }
        },
    });
}

// ---------------------------------------------------------------------------------------------
// Start, launch at login, restart

void BridgeController::start() {
    if (started_) {
        return;
    }
    started_ = true;
    neighbours_.link->start();
    neighbours_.appServer->start(neighbours_.appServer->findCodexExecutable());
    log("Bridge started. Only paired devices can call the Codex allowlist.");
}

void BridgeController::setLaunchAtLogin(bool wanted) {
    if (!neighbours_.loginItems) {
        return;
    }
    auto changed = wanted ? neighbours_.loginItems->registerApplication()
                          : neighbours_.loginItems->unregisterApplication();
    if (changed) {
        setLaunchAtLoginValue(wanted);
        return;
    }
    // Whatever the switch asked for, it must show the real state again.
    setLaunchAtLoginValue(neighbours_.loginItems->status() == LoginItemService::enabled);
    emit launchAtLoginChanged();
    log("Launch at login could not be changed: " + changed.error().description);
}

void BridgeController::restartAppServer() {
    // The questions of the process being stopped end with it. The new process numbers its own
    // questions from the start again (Codex's first is id 0), so a late answer to an old
    // question would answer a new one that no device has shown.
    pendingServerRequests_.clear();
    neighbours_.appServer->start(neighbours_.appServer->findCodexExecutable());
    log("Restarting Codex app-server.");
}

// ---------------------------------------------------------------------------------------------
// Activity log and published state

void BridgeController::log(std::string text) {
    if (text.empty()) {
        return;
    }
    logs_.push_front(std::move(text));
    while (logs_.size() > maxLogLines) {
        logs_.pop_back();
    }
    emit logsChanged();
    emit lineLogged(QString::fromStdString(logs_.front()));
}

void BridgeController::handleStatus(const std::string& text, bool ready) {
    setAppServerStatus(text);
    setAppServerReady(ready);
    log(text);
}

void BridgeController::handleLog(const std::string& text) {
    log(text);
}

void BridgeController::setAppServerStatus(std::string text) {
    if (text != appServerStatus_) {
        appServerStatus_ = std::move(text);
        emit appServerStatusChanged();
    }
}

void BridgeController::setAppServerReady(bool ready) {
    if (ready != appServerReady_) {
        appServerReady_ = ready;
        emit appServerReadyChanged();
    }
}

void BridgeController::setLaunchAtLoginValue(bool value) {
    if (value != launchAtLogin_) {
        launchAtLogin_ = value;
        emit launchAtLoginChanged();
    }
}

void BridgeController::authorize(const std::string& name) {
    if (authorizedPeerNames_.insert(name).second) {
        emit authorizedPeerNamesChanged();
    }
}

void BridgeController::deauthorize(const std::string& name) {
    if (authorizedPeerNames_.erase(name) > 0) {
        emit authorizedPeerNamesChanged();
    }
}

void BridgeController::removePairingRequests(const std::string& id) {
    auto removed = std::erase_if(pairingRequests_,
                                 [&](const PairingRequest& request) { return request.id == id; });
    if (removed > 0) {
        emit pairingRequestsChanged();
    }
}

void BridgeController::refreshTrustedPeers() {
    std::vector<TrustedPeer> records = neighbours_.trustStore->records();
    // Plain comparison of Unicode scalar values after canonical composition, case-sensitive;
    // UTF-8 byte order is scalar order.
    std::vector<std::pair<std::string, TrustedPeer>> keyed;
    keyed.reserve(records.size());
    for (auto& record : records) {
        std::string key = QString::fromStdString(record.displayName)
                              .normalized(QString::NormalizationForm_C)
                              .toStdString();
        keyed.emplace_back(std::move(key), std::move(record));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    trustedPeers_.clear();
    for (auto& entry : keyed) {
        trustedPeers_.push_back(std::move(entry.second));
    }
    emit trustedPeersChanged();
}

QString BridgeController::linkStatus() const {
    return QString::fromStdString(neighbours_.link->statusText());
}

QVariantList BridgeController::pairingRequestList() const {
    QVariantList list;
    for (const auto& request : pairingRequests_) {
        list.append(QVariantMap{
            {"id", QString::fromStdString(request.id)},
            {"displayName", QString::fromStdString(request.remoteHello.displayName)},
            {"code", QString::fromStdString(request.code)},
        });
    }
    return list;
}

QVariantList BridgeController::trustedPeerList() const {
    QVariantList list;
    for (const auto& peer : trustedPeers_) {
        const auto milliseconds = unixMillisecondsFromReferenceSeconds(peer.pairedAt);
        list.append(QVariantMap{
            {"deviceID", QString::fromStdString(peer.deviceID)},
            {"displayName", QString::fromStdString(peer.displayName)},
            {"pairedAt", QDateTime::fromMSecsSinceEpoch(milliseconds)},
        });
    }
    return list;
}

QStringList BridgeController::authorizedPeerNameList() const {
    QStringList list;
    for (const auto& name : authorizedPeerNames_) {
        list.append(QString::fromStdString(name));
    }
    return list;
}

QStringList BridgeController::logList() const {
    QStringList list;
    for (const auto& line : logs_) {
        list.append(QString::fromStdString(line));
    }
    return list;
}

// ---------------------------------------------------------------------------------------------
// Sending

Expected<void, Error> BridgeController::sendMessage(const BridgeMessage& message,
                                                    const PeerHandle& peer) {
    auto encoded = message.encode();
    if (!encoded) {
        return Unexpected(Error{encoded.error().description});
    }
    return neighbours_.link->send(*encoded, peer);
}

void BridgeController::broadcast(const BridgeMessage& message) {
    for (const auto& peer : neighbours_.link->connectedPeers()) {
        if (authorizedPeerNames_.contains(peer->displayName())) {
            (void)sendMessage(message, peer);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Intake

void BridgeController::handleData(std::string_view bytes, const PeerHandle& peer) {
    auto rejected = [&](const std::string& description) {
        log("Rejected malformed message from " + boundedDeviceText(peer->displayName()) + ": " +
            boundedDeviceText(description));
    };
    auto decoded = BridgeMessage::decode(bytes);
    if (!decoded) {
        rejected(decoded.error().description);
        return;
    }
    const BridgeMessage& message = *decoded;
    if (message.version != 1) {
        if (auto sent = sendMessage(makeMessage(BridgeMessageKind::error, {}, {},
                                                JSONValue("Incompatible protocol version.")),
                                    peer);
            !sent) {
            rejected(sent.error().description);
        }
        return;
    }
    switch (message.kind) {
    case BridgeMessageKind::hello:
        if (auto handled = handleHello(message.body, peer); !handled) {
            rejected(handled.error().description);
        }
        break;
    case BridgeMessageKind::pairingRequest:
        handlePairingRequest(peer);
        break;
    case BridgeMessageKind::request:
        handleRequest(message, peer);
        break;
    case BridgeMessageKind::serverResponse:
        handleServerResponse(message, peer);
        break;
    case BridgeMessageKind::ping:
        if (auto sent = sendMessage(
                makeMessage(BridgeMessageKind::response, message.id, {}, JSONValue("pong")), peer);
            !sent) {
            rejected(sent.error().description);
        }
        break;
    case BridgeMessageKind::pairingAccepted:
    case BridgeMessageKind::pairingRejected:
    case BridgeMessageKind::response:
    case BridgeMessageKind::event:
    case BridgeMessageKind::serverRequest:
    case BridgeMessageKind::error:
        break;
    case BridgeMessageKind::proof:
    case BridgeMessageKind::pairingNonce:
        // Version-1 sessions know no such kinds.
        rejected("The message's \"kind\" is not a known kind.");
        break;
    }
}

void BridgeController::handleDisconnected(const PeerHandle& peer) {
    const std::string& name = peer->displayName();
    deauthorize(name);
    auto removed = std::erase_if(
        pairingRequests_, [&](const PairingRequest& request) { return request.peer == peer; });
    if (removed > 0) {
        emit pairingRequestsChanged();
    }
    localHellos_.erase(name);
    remoteHellos_.erase(name);
}

} // namespace tarnwick
