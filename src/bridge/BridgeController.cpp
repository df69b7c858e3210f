#include "bridge/BridgeController.h"

#include <QPointer>

#include <utility>

namespace tarnwick {

namespace {

// Uppercase hex in pairs joined with ":", as browsers show certificate fingerprints.
QString groupedForPeople(const std::string& fingerprint) {
    const QString hex = QString::fromStdString(fingerprint).toUpper();
    QStringList pairs;
    for (qsizetype at = 0; at < hex.size(); at += 2) {
        pairs.append(hex.mid(at, 2));
    }
    return pairs.join(QLatin1Char(':'));
}

constexpr const char* identityFailureLog =
    "Keychain identity creation failed. Pairing is disabled until the keyring can keep this "
    "computer's signing key.";

std::unique_ptr<BridgeIdentity> takeIdentity(BridgeNeighbours& neighbours) {
    return neighbours.identity ? std::move(neighbours.identity).value() : nullptr;
}

CeilingCheck makeCeilingCheck(const BridgeCeilings* ceilings) {
    if (!ceilings) {
        return CeilingCheck(canonicalFolderOnDisk, "");
    }
    return CeilingCheck(
        [ceilings](std::string_view path) { return ceilings->canonicalFolder(path); },
        ceilings->codexFolder(), ceilings->homeFolder());
}

} // namespace

BridgeController::BridgeController(BridgeNeighbours neighbours, QObject* parent)
    : QObject(parent), neighbours_(std::move(neighbours)), identity_(takeIdentity(neighbours_)),
      sender_(*neighbours_.link, sessions_), phoneSecret_(neighbours_.clock),
      pairing_(identity_.get(), *neighbours_.trustStore, neighbours_.hostName.get(), sessions_,
               sender_, phoneSecret_, activityLog()),
      ceilings_(neighbours_.ceilings ? neighbours_.ceilings->load() : CeilingBook{}),
      ceilingCheck_(makeCeilingCheck(neighbours_.ceilings.get())),
      relay_(
          *neighbours_.appServer, sessions_, sender_, activityLog(),
          [this](std::string_view name) { return pairing_.shownName(name); }, ceilingCheck_,
          [this](const PeerHandle& peer) { return ceilingFor(peer); }),
      approvals_(
          *neighbours_.appServer, sessions_, sender_, activityLog(),
          [this](std::string_view name) { return pairing_.shownName(name); }, neighbours_.clock),
      intake_(sessions_, sender_, pairing_, relay_, approvals_, activityLog()) {
    launchAtLogin_ =
        neighbours_.loginItems && neighbours_.loginItems->status() == LoginItemService::enabled;
    if (!neighbours_.identity) {
        appServerStatus_ =
            "Secure identity unavailable: " + neighbours_.identity.error().description;
        logs_ = {identityFailureLog};
    }
    connect(&sessions_, &PeerSessions::authorizedNamesChanged, this,
            &BridgeController::authorizedPeerNamesChanged);
    connect(&pairing_, &PairingHandler::requestsChanged, this,
            &BridgeController::pairingRequestsChanged);
    connect(&sessions_, &PeerSessions::authorized, this, &BridgeController::sessionAuthorized);
    connect(&pairing_, &PairingHandler::requestsChanged, this,
            &BridgeController::holdSessionsForTheUser);
    connect(&pairing_, &PairingHandler::trustedPeersChanged, this,
            &BridgeController::trustedPeersChanged);
    for (auto changed : {&PairingHandler::requestsChanged, &PairingHandler::trustedPeersChanged}) {
        connect(&pairing_, changed, this, &BridgeController::shownNamesChanged);
    }
    connect(&sessions_, &PeerSessions::authorizedNamesChanged, this,
            &BridgeController::shownNamesChanged);
    connect(&pairing_, &PairingHandler::welcomed, this, &BridgeController::sendCeiling);
    connect(&pairing_, &PairingHandler::pairedByPhoneCode, this, &BridgeController::phonePaired);
    connect(&pairing_, &PairingHandler::sessionsForgotten, this,
            [this](const std::vector<PeerHandle>& peers) {
                for (const PeerHandle& peer : peers) {
                    // Version 2 hears it as a message too, not only as the close code.
                    if (const PeerSession* session = sessions_.find(peer);
                        session && session->protocolVersion == 2) {
                        (void)sender_.send(
                            makeMessage(BridgeMessageKind::forgotten, {}, {},
                                        ErrorBody::make(ErrorCode::forgotten,
                                                        std::string(linkwire::forgottenReason), 2)),
                            peer);
                    }
                    neighbours_.link->closeSession(peer, std::string(linkwire::forgottenReason),
                                                   SessionClose::forgotten);
                }
            });
    connect(&pairing_, &PairingHandler::sessionRefused, this, [this](const PeerHandle& peer) {
        neighbours_.link->closeSession(peer, "Another device of that name is connected",
                                       SessionClose::policyViolation);
    });
    connect(&pairing_, &PairingHandler::attemptAbandoned, this, [this](const PeerHandle& peer) {
        neighbours_.link->closeSession(peer, "Pairing attempt abandoned",
                                       SessionClose::policyViolation);
    });
    wireNeighbours();
}

BridgeController::~BridgeController() {
    // The neighbours may outlive this object by a moment on other threads; they must find
    // nothing to call.
    if (neighbours_.link) {
        neighbours_.link->setEvents(nullptr);
    }
    if (neighbours_.appServer) {
        neighbours_.appServer->setHandlers({});
    }
}

void BridgeController::wireNeighbours() {
    QPointer<BridgeController> self(this);
    neighbours_.link->setEvents(this);
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
        [self](const std::string& method, const JSONText& params) {
            if (self) {
                self->approvals_.observeEvent(method, params);
                self->relay_.relayEvent(method, params);
            }
        },
        [self](const JSONValue& id, const std::string& method, const JSONText& params) {
            if (self) {
                self->approvals_.handleServerRequest(id, method, params);
            }
        },
    });
}

void BridgeController::received(std::string_view bytes, const PeerHandle& peer) {
    intake_.handleData(bytes, peer);
}

void BridgeController::connected(const PeerHandle& peer) {
    intake_.handleConnected(peer);
}

void BridgeController::ended(const PeerHandle& peer, SessionEnd reason) {
    sessionEnding(peer, reason);
}

void BridgeController::disconnected(const PeerHandle& peer) {
    intake_.handleDisconnected(peer);
    relay_.peerGone(peer);
}

void BridgeController::eased(const PeerHandle& peer) {
    relay_.peerEased(peer);
}

void BridgeController::statusChanged() {
    emit linkStatusChanged();
}

// ---------------------------------------------------------------------------------------------
// Start, the user's decisions, launch at login, restart

void BridgeController::start() {
    if (started_) {
        return;
    }
    started_ = true;
    neighbours_.link->start();
    neighbours_.appServer->start(neighbours_.appServer->findCodexExecutable());
    log("Bridge started. Only paired devices can call the Codex allowlist.");
}

bool BridgeController::decide(std::uint64_t serial, std::string_view code,
                              PairingDecision decision) {
    const PairingRequest* shown = pairing_.requests().find(serial, code);
    if (!shown) {
        return false;
    }
    // Copied: the decision removes it from the list.
    PairingRequest request = *shown;
    if (decision == PairingDecision::accept) {
        pairing_.accept(std::move(request));
    } else {
        pairing_.reject(std::move(request));
    }
    return true;
}

bool BridgeController::decideRequest(qulonglong serial, const QString& code, bool accept) {
    return decide(serial, code.toStdString(),
                  accept ? PairingDecision::accept : PairingDecision::reject);
}

void BridgeController::forget(TrustedPeer peer) {
    pairing_.forget(std::move(peer));
}

QString BridgeController::openPhonePairing() {
    const std::string address = neighbours_.link->webAddress();
    if (address.empty() || !identity_) {
        phoneSecret_.close();
        return {};
    }
    return QString::fromStdString(address + "#pair=" + phoneSecret_.open());
}

void BridgeController::closePhonePairing() {
    phoneSecret_.close();
}

void BridgeController::forgetPeer(const QString& deviceID) {
    if (auto peer = pairing_.trustedPeerWithID(deviceID.toStdString())) {
        pairing_.forget(std::move(*peer));
    }
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
    // The questions of the process being stopped end with it.
    approvals_.appServerRestarting();
    neighbours_.appServer->start(neighbours_.appServer->findCodexExecutable());
    log("Restarting Codex app-server.");
}

// ---------------------------------------------------------------------------------------------
// Activity log and published state

ActivityLog BridgeController::activityLog() {
    // The parts live inside this object and never call it after it is gone.
    return [this](std::string line) { log(std::move(line)); };
}

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

QString BridgeController::linkStatus() const {
    return QString::fromStdString(neighbours_.link->statusText());
}

QString BridgeController::certificateFingerprint() const {
    return groupedForPeople(neighbours_.link->certificateFingerprint());
}

QString BridgeController::authorityFingerprint() const {
    return groupedForPeople(neighbours_.link->authorityFingerprint());
}

} // namespace tarnwick
