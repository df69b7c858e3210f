#include "bridge/PeerSessions.h"

#include "bridge/BridgeLog.h"
#include "bridge/DeviceText.h"

namespace tarnwick {

PeerSessions::PeerSessions(QObject* parent) : QObject(parent) {}

void PeerSessions::open(const PeerHandle& peer, std::unique_ptr<DeviceHandshake> handshake) {
    if (sessions_.contains(peer)) {
        return;
    }
    PeerSession session;
    session.peer = peer;
    session.protocolVersion = handshake->protocolVersion();
    session.handshake = std::move(handshake);
    qCDebug(bridgeLog) << "session opened for" << boundedDeviceText(peer->displayName()).c_str()
                       << "with handshake version" << session.protocolVersion;
    sessions_.emplace(peer, std::move(session));
}

void PeerSessions::close(const PeerHandle& peer) {
    if (sessions_.erase(peer) > 0) {
        qCDebug(bridgeLog) << "session closed for"
                           << boundedDeviceText(peer->displayName()).c_str();
    }
    refreshAuthorizedNames();
}

const PeerSession* PeerSessions::find(const PeerHandle& peer) const {
    auto known = sessions_.find(peer);
    return known == sessions_.end() ? nullptr : &known->second;
}

PeerSession* PeerSessions::find(const PeerHandle& peer) {
    auto known = sessions_.find(peer);
    return known == sessions_.end() ? nullptr : &known->second;
}

bool PeerSessions::isAuthorized(const PeerHandle& peer) const {
    const PeerSession* session = find(peer);
    return session && session->authorized();
}

bool PeerSessions::authorize(const PeerHandle& peer, const std::string& deviceID) {
    PeerSession* session = find(peer);
    if (!session || !session->handshake ||
        !session->handshake->advance(DeviceHandshake::Event::authorised)) {
        return false;
    }
    const std::string* given = session->handshake->givenName();
    session->givenName = given ? *given : std::string();
    // The handshake is over: nothing the connection sends from now on can reach it.
    session->handshake.reset();
    session->deviceID = deviceID;
    refreshAuthorizedNames();
    emit authorized(peer, deviceID);
    return true;
}

std::vector<PeerHandle> PeerSessions::authorizedAs(std::string_view deviceID) const {
    std::vector<PeerHandle> peers;
    for (const auto& [peer, record] : sessions_) {
        if (record.deviceID == deviceID) {
            peers.push_back(peer);
        }
    }
    return peers;
}

std::vector<const PeerSession*> PeerSessions::all() const {
    std::vector<const PeerSession*> records;
    records.reserve(sessions_.size());
    for (const auto& [peer, record] : sessions_) {
        records.push_back(&record);
    }
    return records;
}

void PeerSessions::revokeDevice(std::string_view deviceID) {
    // By the ID each connection was authorised as, not by its latest hello: a hello sent later
    // under another ID must not shield a connection from the forgetting of the one it proved.
    for (auto& [peer, record] : sessions_) {
        if (record.deviceID == deviceID) {
            record.deviceID.reset();
        }
    }
    refreshAuthorizedNames();
}

void PeerSessions::refreshAuthorizedNames() {
    std::set<std::string> names;
    for (const auto& [peer, record] : sessions_) {
        if (record.authorized()) {
            names.insert(peer->displayName());
        }
    }
    if (names != authorizedNames_) {
        authorizedNames_ = std::move(names);
        emit authorizedNamesChanged();
    }
}

} // namespace tarnwick
