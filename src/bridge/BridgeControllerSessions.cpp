// What the link may let each session cost, and the ceiling each authorised session is held
// to: the controller's part that follows sessions after their handshake.
#include "bridge/BridgeController.h"

namespace tarnwick {

void BridgeController::sessionAuthorized(const PeerHandle& peer, const std::string& deviceID) {
    // Only now may the peer send big messages and stay without a deadline.
    neighbours_.link->setSessionStage(peer, SessionStage::authorised);
    // A device that comes back under its name replaces its older session, but only once the
    // newcomer has proved to be that device: a connection that merely takes the name replaces
    // nothing. Sessions of one device under other names (a watcher beside a call) stay.
    for (const PeerHandle& older : sessions_.authorizedAs(deviceID)) {
        if (older != peer && older->displayName() == peer->displayName()) {
            neighbours_.link->closeSession(older, std::string(linkwire::replacedReason),
                                           SessionClose::replaced);
        }
    }
    pairing_.refuseNamesakesOf(peer);
}

DeviceCeiling BridgeController::ceilingFor(const PeerHandle& peer) const {
    const PeerSession* session = sessions_.find(peer);
    return session && session->deviceID ? ceilings_.effectiveFor(*session->deviceID)
                                        : ceilings_.everyDevice;
}

void BridgeController::sendCeiling(const PeerHandle& peer) {
    // Version-1 devices are held to the ceiling all the same; only their wire stays as it was.
    const PeerSession* session = sessions_.find(peer);
    if (!session || !session->authorized() || session->protocolVersion < 2) {
        return;
    }
    (void)sender_.send(makeMessage(BridgeMessageKind::ceiling, {}, {}, ceilingFor(peer).toJSON()),
                       peer);
}

Expected<void, Error> BridgeController::setCeilings(CeilingBook book) {
    if (book == ceilings_) {
        return {};
    }
    if (neighbours_.ceilings) {
        if (auto saved = neighbours_.ceilings->save(book); !saved) {
            log("Could not keep the device ceiling: " + saved.error().description);
            return saved;
        }
    }
    ceilings_ = std::move(book);
    log("Device ceiling changed: at most " +
        std::string(sandboxModeName(ceilings_.everyDevice.sandbox)) + ", approvals " +
        (ceilings_.everyDevice.approvalNever ? "may be turned off" : "kept") + ", network " +
        (ceilings_.everyDevice.networkAccess ? "allowed" : "off") + ", " +
        std::to_string(ceilings_.everyDevice.roots.size()) + " folder roots, " +
        std::to_string(ceilings_.devices.size()) + " devices with a lower one.");
    for (const PeerHandle& peer : sender_.authorizedPeers()) {
        sendCeiling(peer);
    }
    emit ceilingsChanged();
    return {};
}

void BridgeController::holdSessionsForTheUser() {
    // A session whose pairing request the user is looking at keeps its connection longer than
    // one that is still saying hello (the link bounds both).
    for (const PairingRequest& request : pairing_.requests().all()) {
        if (!sessions_.isAuthorized(request.peer)) {
            neighbours_.link->setSessionStage(request.peer, SessionStage::awaitingUser);
        }
    }
}

void BridgeController::sessionEnding(const PeerHandle& peer, SessionEnd reason) {
    if (reason == SessionEnd::notReading) {
        log("Disconnected " + shownName(peer->displayName()) + ": it was not reading.");
    } else if (reason == SessionEnd::pairingOverdue) {
        log("Pairing request from " + shownName(peer->displayName()) +
            " expired: it was not decided within five minutes.");
    }
}

} // namespace tarnwick
