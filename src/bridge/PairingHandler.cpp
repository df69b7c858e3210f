#include "bridge/PairingHandler.h"

#include "bridge/BridgeLog.h"

#include <QString>

#include <algorithm>
#include <utility>

namespace tarnwick {

namespace {

BridgeMessage helloMessage(BridgeMessageKind kind, const HelloPayload& hello) {
    return makeMessage(kind, std::nullopt, std::nullopt, hello.toJSON());
}

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
    if (PeerSession* session = sessions_.find(peer); session && session->protocolVersion == 2) {
        offerVersion2(peer, *session);
        return;
    }
    auto hello = identity_->makeHello(hostNameForHello());
    if (!hello) {
        log_("Could not start secure handshake: " + hello.error().description);
        return;
    }
    // A fresh hello with a fresh nonce per connection: a code or an acceptance seen on an
    // earlier connection says nothing about this one.
    sessions_.setLocalHello(peer, *hello);
    if (auto sent = sender_.send(helloMessage(BridgeMessageKind::hello, *hello), peer); !sent) {
        log_("Could not start secure handshake: " + sent.error().description);
    }
}

Expected<void, Error> PairingHandler::handleHello(const std::optional<JSONValue>& body,
                                                  const PeerHandle& peer) {
    PeerSession* session = sessions_.find(peer);
    // The device ID a connection authenticated as is settled for its life: a later hello
    // must not move its authority to another ID, nor hide it from a forget of the first.
    if (session && session->authorized) {
        log_("Refused a second hello from " + shownName(peer->displayName()) +
             " on an authorised session.");
        return {};
    }
    if (session && session->protocolVersion == 2) {
        return handleOffer(body, peer, *session);
    }
    if (!body) {
        return Unexpected(Error{"Codex returned an invalid response."});
    }
    auto hello = HelloPayload::fromJSON(*body);
    if (!hello) {
        return Unexpected(Error{hello.error().description});
    }
    // The signature binds the device ID, name and nonce to the key in the hello. Without this
    // check anyone could present a trusted device's ID and key without holding its private key.
    if (!hello->verify()) {
        return Unexpected(Error{"Handshake signature did not verify."});
    }
    sessions_.setRemoteHello(peer, *hello);

    std::optional<TrustedPeer> record = trustStore_.lookupPeer(hello->deviceID);
    // Only a trusted key of a device that paired with version 1 proves the device ID here.
    const bool proven =
        record && record->publicKey == hello->publicKey && record->protocolVersion < 2;
    if (session &&
        refusedAsNamesake(*session, proven ? std::optional(hello->deviceID) : std::nullopt)) {
        return {};
    }
    // Unknown devices ask for pairing next. A known device ID with another key is someone else
    // claiming that device (or the device after a reinstall): it gets nothing until the user
    // forgets the old record, and its pairing requests are ignored until then.
    if (!record || record->publicKey != hello->publicKey) {
        return {};
    }
    // A version-1 hello can be replayed from any earlier connection: a device that proved
    // itself with version 2 is never again admitted by one, so its old hellos are worthless.
    if (record->protocolVersion >= 2) {
        log_("Refused a version-1 handshake from " + shownName(peer->displayName()) +
             ": it paired with version 2.");
        return {};
    }
    sessions_.authorize(peer, hello->deviceID);
    if (session && session->localHello) {
        if (auto sent = sender_.send(
                helloMessage(BridgeMessageKind::pairingAccepted, *session->localHello), peer);
            !sent) {
            return sent;
        }
        emit welcomed(peer);
    }
    log_("Authenticated " + shownName(hello->displayName) + ".");
    return {};
}

void PairingHandler::handlePairingRequest(const PeerHandle& peer) {
    // Both hellos must be in hand: the code is computed from them, and a device that has not
    // proved its key has nothing the user could compare.
    const PeerSession* session = sessions_.find(peer);
    if (!session || !session->localHello || !session->remoteHello) {
        qCDebug(bridgeLog) << "pairing request before the hello exchange ignored";
        return;
    }
    const HelloPayload local = *session->localHello;
    const HelloPayload remote = *session->remoteHello;
    // A device paired before authenticates by its hello and is never paired twice; a key change
    // under a known ID must not be waved through by a second pairing.
    if (trustStore_.lookupPeer(remote.deviceID)) {
        return;
    }
    std::string code = pairingCode(local, remote);
    PairingRequest request;
    request.peer = peer;
    request.code = std::move(code);
    request.localHello = local;
    request.remoteHello = remote;
    addRequest(std::move(request));
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
    if (session && session->pairing && session->remoteOffer) {
        log_(shownName(session->remoteOffer->displayName) +
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
        return;
    }
    if (auto trusted = trustStore_.trust(request.remoteHello); !trusted) {
        log_("Pairing failed: " + trusted.error().description);
        return;
    }
    refreshTrustedPeers();

    // A card may outlive its connection. The device has proved its key and is now trusted, but
    // its name must not be authorised: the next connection under that name would inherit it
    // without a handshake. It authenticates by its hello when it reconnects.
    if (sender_.isConnected(request.peer)) {
        sessions_.authorize(request.peer, request.remoteHello.deviceID);
        if (auto sent = sender_.send(
                helloMessage(BridgeMessageKind::pairingAccepted, request.localHello), request.peer);
            !sent) {
            log_("Pairing failed: " + sent.error().description);
            return;
        }
        emit welcomed(request.peer);
    }
    requests_.remove(request.serial);
    log_("Paired " + shownName(request.remoteHello.displayName) + ".");
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
        if (session->authorized) {
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
bool PairingHandler::refusedAsNamesake(const PeerSession& session,
                                       const std::optional<std::string>& provenID) {
    const auto names = session.names();
    for (const PeerSession* other : sessions_.all()) {
        if (other != &session && other->authorized && other->deviceID != provenID &&
            shareAName(names, other->names())) {
            refuse(session);
            return true;
        }
    }
    return false;
}

void PairingHandler::refuseNamesakesOf(const PeerHandle& peer) {
    const PeerSession* authorised = sessions_.find(peer);
    if (!authorised || !authorised->authorized) {
        return;
    }
    // Only connections past their hello (version 1) or proof (version 2) have shown that they
    // are not this device; one still on its way may yet prove to be it.
    std::vector<PeerHandle> namesakes;
    for (const PeerSession* other : sessions_.all()) {
        if (other != authorised && !other->authorized && (other->remoteHello || other->proven) &&
            shareAName(other->names(), authorised->names())) {
            namesakes.push_back(other->peer);
        }
    }
    for (const PeerHandle& namesake : namesakes) {
        if (const PeerSession* session = sessions_.find(namesake)) {
            refuse(*session);
        }
    }
}

void PairingHandler::refuse(const PeerSession& session) {
    // Copied first: closing ends the record.
    const PeerHandle peer = session.peer;
    log_("Refused " + shownName(session.names().back()) +
         ": another device of that name is connected.");
    // Nothing it sends before the close takes effect is acted on.
    if (PeerSession* record = sessions_.find(peer)) {
        record->refused = true;
    }
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
