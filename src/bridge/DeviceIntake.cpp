#include "bridge/DeviceIntake.h"

#include "bridge/DeviceText.h"

#include <utility>

namespace tarnwick {

DeviceIntake::DeviceIntake(PeerSessions& sessions, const DeviceSender& sender,
                           PairingHandler& pairing, RequestRelay& relay, ApprovalRouter& approvals,
                           ActivityLog log)
    : sessions_(sessions), sender_(sender), pairing_(pairing), relay_(relay), approvals_(approvals),
      log_(std::move(log)) {}

void DeviceIntake::handleConnected(const PeerHandle& peer) {
    sessions_.open(peer);
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
    if (session && session->refused) {
        return;
    }
    const bool version2 = session && session->protocolVersion == 2;
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
        if (auto handled = pairing_.handleHello(message.body, peer); !handled) {
            reject(peer, handled.error().description);
        }
        break;
    case BridgeMessageKind::pairingRequest:
        if (version2) {
            if (auto handled = pairing_.handlePairingCommitment(message.body, peer); !handled) {
                reject(peer, handled.error().description);
            }
        } else {
            pairing_.handlePairingRequest(peer);
        }
        break;
    case BridgeMessageKind::proof:
    case BridgeMessageKind::pairingNonce:
        // Version-1 sessions know no such kinds: refused as the decoder refuses an unknown one.
        if (!version2) {
            reject(peer, "The message's \"kind\" is not a known kind.");
        } else if (auto handled = message.kind == BridgeMessageKind::proof
                                      ? pairing_.handleProof(message.body, peer)
                                      : pairing_.handlePairingNonce(message.body, peer);
                   !handled) {
            reject(peer, handled.error().description);
        }
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

} // namespace tarnwick
