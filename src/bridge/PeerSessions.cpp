#include "bridge/PeerSessions.h"

#include "bridge/BridgeLog.h"
#include "bridge/DeviceText.h"

namespace tarnwick {

namespace {

// What connections of one name share: the handshake and the authority. Whatever else a record
// holds belongs to its own connection and is neither copied nor cleared with its namesakes.
void copyShared(const PeerSession& from, PeerSession& to) {
    to.localHello = from.localHello;
    to.remoteHello = from.remoteHello;
    to.authorized = from.authorized;
    to.deviceID = from.deviceID;
}

void clearShared(PeerSession& session) {
    session.localHello.reset();
    session.remoteHello.reset();
    session.authorized = false;
    session.deviceID.reset();
}

bool sameName(const PeerHandle& a, const PeerHandle& b) {
    return a->displayName() == b->displayName();
}

} // namespace

PeerSessions::PeerSessions(QObject* parent) : QObject(parent) {}

void PeerSessions::open(const PeerHandle& peer) {
    (void)recordOf(peer);
}

PeerSession& PeerSessions::recordOf(const PeerHandle& peer) {
    if (auto known = sessions_.find(peer); known != sessions_.end()) {
        return known->second;
    }
    PeerSession session;
    session.peer = peer;
    // Shared by name: a new connection under a name in use joins that name's state.
    for (const auto& [other, record] : sessions_) {
        if (sameName(other, peer)) {
            copyShared(record, session);
            break;
        }
    }
    qCDebug(bridgeLog) << "session opened for" << boundedDeviceText(peer->displayName()).c_str();
    return sessions_.emplace(peer, std::move(session)).first->second;
}

void PeerSessions::close(const PeerHandle& peer) {
    // Shared by name: the end of one connection ends what its namesakes shared with it, so a
    // new hello exchange must come before anything else from any of them.
    for (auto& [other, record] : sessions_) {
        if (sameName(other, peer)) {
            clearShared(record);
        }
    }
    if (sessions_.erase(peer) > 0) {
        qCDebug(bridgeLog) << "session closed for"
                           << boundedDeviceText(peer->displayName()).c_str();
    }
    refreshAuthorizedNames();
}

const PeerSession* PeerSessions::find(const PeerHandle& peer) const {
    if (auto known = sessions_.find(peer); known != sessions_.end()) {
        return &known->second;
    }
    // Shared by name: a connection not announced yet reads what it would join when opened.
    for (const auto& [other, record] : sessions_) {
        if (sameName(other, peer)) {
            return &record;
        }
    }
    return nullptr;
}

bool PeerSessions::isAuthorized(const PeerHandle& peer) const {
    const PeerSession* session = find(peer);
    return session && session->authorized;
}

template <typename Change>
void PeerSessions::changeShared(const PeerHandle& peer, Change change) {
    (void)recordOf(peer);
    // Shared by name: every connection of the name sees the change.
    for (auto& [other, record] : sessions_) {
        if (sameName(other, peer)) {
            change(record);
        }
    }
    refreshAuthorizedNames();
}

void PeerSessions::setLocalHello(const PeerHandle& peer, const HelloPayload& hello) {
    changeShared(peer, [&](PeerSession& session) { session.localHello = hello; });
}

void PeerSessions::setRemoteHello(const PeerHandle& peer, const HelloPayload& hello) {
    changeShared(peer, [&](PeerSession& session) { session.remoteHello = hello; });
}

void PeerSessions::authorize(const PeerHandle& peer, const std::string& deviceID) {
    changeShared(peer, [&](PeerSession& session) {
        session.authorized = true;
        session.deviceID = deviceID;
    });
}

void PeerSessions::revokeDevice(std::string_view deviceID) {
    for (auto& [peer, record] : sessions_) {
        if (record.remoteHello && record.remoteHello->deviceID == deviceID) {
            record.authorized = false;
            record.deviceID.reset();
        }
    }
    refreshAuthorizedNames();
}

void PeerSessions::refreshAuthorizedNames() {
    std::set<std::string> names;
    for (const auto& [peer, record] : sessions_) {
        if (record.authorized) {
            names.insert(peer->displayName());
        }
    }
    if (names != authorizedNames_) {
        authorizedNames_ = std::move(names);
        emit authorizedNamesChanged();
    }
}

} // namespace tarnwick
