#include "bridge/DeviceIntake.h"

#include "bridge/BridgeLog.h"
#include "bridge/DeviceText.h"

#include <memory>
#include <utility>

namespace tarnwick {

DeviceIntake::DeviceIntake(PeerSessions& sessions, const DeviceSender& sender,
                           PairingHandler& pairing, RequestRelay& relay, ApprovalRouter& approvals,
                           ActivityLog log)
    : sessions_(sessions), sender_(sender), pairing_(pairing), relay_(relay), approvals_(approvals),
      log_(std::move(log)) {}

void DeviceIntake::handleConnected(const PeerHandle& peer) {
    // Every connection starts proving itself from nothing, in the version the link settled.
    sessions_.open(peer, std::make_unique<DeviceHandshake>(peer->protocolVersion()));
    pairing_.handleConnected(peer);
}

void DeviceIntake::handleDisconnected(const PeerHandle& peer) {
    // Authority and both hellos end with the connection; a new one starts from its own hellos.
    pairing_.handleLeaving(peer);
    sessions_.close(peer);
    pairing_.handleDisconnected(peer);
}

void DeviceIntake::reject(const PeerHandle& peer, const std::string& description) {
    // Both parts come from the device: bounded so that no message can flood the log.
    log_("Rejected malformed message from " + pairing_.shownName(peer->displayName()) + ": " +
         boundedDeviceText(description));
}

void DeviceIntake::handleData(std::string_view bytes, const PeerHandle& peer) {
    const PeerSession* session = sessions_.find(peer);
    // A refused connection (it named another certificate than ours, so it runs through a relay,
    // or it took a connected device's name) is not answered, whatever it sends.
    if (session && session->refused()) {
        return;
    }
    // The link bounds a block's size and the decoder its nesting. A block that is not an
    // envelope is logged and not answered: a device learns nothing by probing.
    auto decoded = BridgeMessage::decode(bytes);
    if (!decoded) {
        reject(peer, decoded.error().description);
        return;
    }
    const BridgeMessage& message = *decoded;
    // Another version's kinds may mean something else: none of them is acted on.
    if (message.version != 1) {
        if (auto sent = sender_.sendError(peer, {}, ErrorCode::unsupportedVersion,
                                          "Incompatible protocol version.");
            !sent) {
            reject(peer, sent.error().description);
        }
        return;
    }
    switch (message.kind) {
    case BridgeMessageKind::hello:
    case BridgeMessageKind::pairingRequest:
    case BridgeMessageKind::proof:
    case BridgeMessageKind::pairingNonce:
        handleHandshake(message, peer);
        break;
    case BridgeMessageKind::request:
        relay_.handleRequest(message, peer);
        break;
    case BridgeMessageKind::serverResponse:
        approvals_.handleServerResponse(message, peer);
        break;
    case BridgeMessageKind::ping:
        if (auto sent = sender_.send(
                makeMessage(BridgeMessageKind::response, message.id, {}, JSONValue("pong")), peer);
            !sent) {
            reject(peer, sent.error().description);
        }
        break;
    // Kinds only the bridge sends: a device cannot accept its own pairing or push events.
    case BridgeMessageKind::pairingAccepted:
    case BridgeMessageKind::pairingRejected:
    case BridgeMessageKind::response:
    case BridgeMessageKind::event:
    case BridgeMessageKind::serverRequest:
    case BridgeMessageKind::serverRequestSettled:
    case BridgeMessageKind::error:
    case BridgeMessageKind::ceiling:
    case BridgeMessageKind::notTrusted:
    case BridgeMessageKind::forgotten:
        break;
    }
}

void DeviceIntake::handleHandshake(const BridgeMessage& message, const PeerHandle& peer) {
    PeerSession* session = sessions_.find(peer);
    if (!session) {
        return;
    }
    // Once authorised the connection has no handshake left to reach: the device ID it
    // authenticated as is settled for its life, and no later hello can move its authority to
    // another ID or hide it from a forget of the first.
    if (!session->handshake) {
        if (message.kind == BridgeMessageKind::hello && session->authorized()) {
            log_("Refused a second hello from " + pairing_.shownName(peer->displayName()) +
                 " on an authorised session.");
        }
        if (session->protocolVersion == 2) {
            (void)sender_.sendError(peer, {}, ErrorCode::notAllowed,
                                    "This session's handshake is over.");
        }
        return;
    }
    DeviceHandshake& handshake = *session->handshake;
    Expected<void, Error> handled;
    switch (handshake.stepFor(message.kind)) {
    case DeviceHandshake::Step::takeHello:
        handled = pairing_.handleHello(message.body, peer, handshake);
        break;
    case DeviceHandshake::Step::takeOffer:
        handled = pairing_.handleOffer(message.body, peer, handshake);
        break;
    case DeviceHandshake::Step::takeProof:
        handled = pairing_.handleProof(message.body, peer, handshake);
        break;
    case DeviceHandshake::Step::takePairingRequest:
        handled = handshake.protocolVersion() == 2
                      ? pairing_.handlePairingCommitment(message.body, peer, handshake)
                      : pairing_.handlePairingRequest(peer, handshake);
        break;
    case DeviceHandshake::Step::takePairingNonce:
        handled = pairing_.handlePairingNonce(message.body, peer, handshake);
        break;
    case DeviceHandshake::Step::refuseSecondOffer:
        // The proofs bind the first offer; a second could only be an attempt to pair or prove
        // under other values on a connection already under way.
        handled = Unexpected(Error{"Handshake was offered twice."});
        break;
    case DeviceHandshake::Step::refuseUnknownKind:
        // Refused as the decoder refuses an unknown kind.
        handled = Unexpected(Error{"The message's \"kind\" is not a known kind."});
        break;
    case DeviceHandshake::Step::ignore:
        qCDebug(bridgeLog) << wireString(message.kind).data() << "out of order ignored";
        break;
    }
    if (!handled) {
        reject(peer, handled.error().description);
    }
}

} // namespace tarnwick
