#include "bridge/PairingHandler.h"

#include "bridge/BridgeLog.h"

#include <QString>

#include <algorithm>
#include <utility>

namespace tarnwick {

namespace {

bool shareAName(const std::vector<std::string_view>& some,
                const std::vector<std::string_view>& others) {
    return std::any_of(some.begin(), some.end(), [&](std::string_view name) {
        return std::find(others.begin(), others.end(), name) != others.end();
    });
}

} // namespace

PairingHandler::PairingHandler(const BridgeIdentity* identity, BridgeTrustStore& trustStore,
                               const HostNameService* hostName, PeerSessions& sessions,
                               const DeviceSender& sender, PhonePairingSecret& phoneSecret,
                               ActivityLog log, QObject* parent)
    : QObject(parent), identity_(identity), trustStore_(trustStore), hostName_(hostName),
      sessions_(sessions), sender_(sender), phoneSecret_(phoneSecret), log_(std::move(log)) {
    connect(&requests_, &PairingRequests::changed, this, &PairingHandler::requestsChanged);
    refreshTrustedPeers();
}

std::string PairingHandler::hostNameForHello() const {
    std::optional<std::string> name = hostName_ ? hostName_->localizedName() : std::nullopt;
    return name && !name->empty() ? *name : "Tarnwick Bridge";
}

void PairingHandler::handleConnected(const PeerHandle& peer) {
    if (!identity_) {
        log_("Cannot pair: secure Keychain identity is unavailable.");
        return;
    }
    PeerSession* session = sessions_.find(peer);
    if (!session || !session->handshake) {
        return;
    }
    if (session->protocolVersion == 2) {
        offerVersion2(peer, *session->handshake);
    } else {
        helloVersion1(peer, *session->handshake);
    }
}

void PairingHandler::addRequest(PairingRequest request) {
    const std::string code = request.code;
    const std::string displayName = request.remoteHello.displayName;
    // Beside any request of another connection under the same name: a connection cannot take
    // away the card of another.
    requests_.add(std::move(request));
    log_("Pairing requested by " + shownName(displayName) + ". Compare code " + code + ".");
}

void PairingHandler::handleLeaving(const PeerHandle& peer) {
    const PeerSession* session = sessions_.find(peer);
    const DeviceHandshake* handshake = session ? session->handshake.get() : nullptr;
    if (handshake && handshake->stage() == DeviceHandshake::Stage::committed) {
        log_(shownName(handshake->remoteOffer->displayName) +
             " left during a pairing attempt, before revealing its nonce.");
    }
}

void PairingHandler::handleDisconnected(const PeerHandle& peer) {
    // By handle, not by name: a request must not outlive the connection whose hellos made its
    // code, and must not vanish because another connection of that name ended.
    requests_.removeFor(peer);
}

void PairingHandler::accept(PairingRequest request) {
    if (request.protocolVersion == 2) {
        acceptVersion2(request);
    } else {
        acceptVersion1(request);
    }
}

void PairingHandler::reject(PairingRequest request) {
    (void)sender_.send(makeMessage(BridgeMessageKind::pairingRejected), request.peer);
    requests_.remove(request.serial);
    log_("Rejected pairing from " + shownName(request.remoteHello.displayName) + ".");
}

void PairingHandler::forget(TrustedPeer peer) {
    if (auto removed = trustStore_.remove(peer.deviceID); !removed) {
        log_("Could not forget device: " + removed.error().description);
        return;
    }
    refreshTrustedPeers();
    // Revoked at once, without waiting for the connection to end: a forgotten device must not
    // go on calling the app-server on the strength of an earlier handshake. Its sessions are
    // then closed, so that the device hears why instead of silently receiving nothing.
    std::vector<PeerHandle> forgotten = sessions_.authorizedAs(peer.deviceID);
    sessions_.revokeDevice(peer.deviceID);
    log_("Forgot " + shownName(peer.displayName) + ".");
    if (!forgotten.empty()) {
        emit sessionsForgotten(forgotten);
    }
}

std::optional<TrustedPeer> PairingHandler::trustedPeerWithID(std::string_view deviceID) const {
    for (const auto& peer : trustedPeers_) {
        if (peer.deviceID == deviceID) {
            return peer;
        }
    }
    return std::nullopt;
}

ShownNames PairingHandler::shownNames() const {
    std::vector<std::string_view> names;
    for (const auto& peer : trustedPeers_) {
        names.emplace_back(peer.displayName);
    }
    for (const auto& request : requests_.all()) {
        names.emplace_back(request.remoteHello.displayName);
    }
    for (const PeerSession* session : sessions_.all()) {
        if (session->authorized()) {
            const auto given = session->names();
            names.insert(names.end(), given.begin(), given.end());
        }
    }
    return ShownNames(names);
}

// A device already connected under a name is what a card with that name would seem to show.
// A newcomer that gives the name without proving to be that device (another trusted device,
// an unknown one, one that holds a trusted ID without its key) could only pass for it: it is
// refused, shown no card, and closed. The device itself, proven, replaces its older session.
bool PairingHandler::refusedAsNamesake(const PeerHandle& peer,
                                       const std::optional<std::string>& provenID) {
    const PeerSession* session = sessions_.find(peer);
    if (!session) {
        return false;
    }
    const auto names = session->names();
    for (const PeerSession* other : sessions_.all()) {
        if (other != session && other->authorized() && other->deviceID != provenID &&
            shareAName(names, other->names())) {
            refuse(peer);
            return true;
        }
    }
    return false;
}

void PairingHandler::refuseNamesakesOf(const PeerHandle& peer) {
    const PeerSession* authorised = sessions_.find(peer);
    if (!authorised || !authorised->authorized()) {
        return;
    }
    // Only connections that proved their own key have shown that they are not this device;
    // one still on its way may yet prove to be it.
    std::vector<PeerHandle> namesakes;
    for (const PeerSession* other : sessions_.all()) {
        if (other != authorised && other->handshake && other->handshake->keyProven() &&
            shareAName(other->names(), authorised->names())) {
            namesakes.push_back(other->peer);
        }
    }
    for (const PeerHandle& namesake : namesakes) {
        refuse(namesake);
    }
}

void PairingHandler::refuse(const PeerHandle& peer) {
    PeerSession* session = sessions_.find(peer);
    if (!session || !session->handshake) {
        return;
    }
    log_("Refused " + shownName(session->names().back()) +
         ": another device of that name is connected.");
    // Nothing it sends before the close takes effect is acted on.
    session->handshake->advance(DeviceHandshake::Event::refused);
    emit sessionRefused(peer);
}

void PairingHandler::refreshTrustedPeers() {
    std::vector<TrustedPeer> records = trustStore_.records();
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

} // namespace tarnwick
