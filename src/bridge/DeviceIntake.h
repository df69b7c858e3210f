#pragma once

#include "bridge/ActivityLog.h"
#include "bridge/ApprovalRouter.h"
#include "bridge/DeviceSender.h"
#include "bridge/PairingHandler.h"
#include "bridge/PeerSessions.h"
#include "bridge/RequestRelay.h"

#include <string_view>

namespace tarnwick {

// Everything a device sends, and the start and end of its connection: makes each connection's
// handshake when it opens, decodes each byte block, answers other protocol versions and pings,
// and hands each kind to the part that handles it; the kinds of the handshake only while the
// connection has one. Main thread only.
class DeviceIntake {
public:
    DeviceIntake(PeerSessions& sessions, const DeviceSender& sender, PairingHandler& pairing,
                 RequestRelay& relay, ApprovalRouter& approvals, ActivityLog log);

    void handleConnected(const PeerHandle& peer);
    void handleData(std::string_view bytes, const PeerHandle& peer);
    void handleDisconnected(const PeerHandle& peer);

private:
    // The kinds of the handshake reach its code only while the connection has one, and then
    // as its stage decides.
    void handleHandshake(const BridgeMessage& message, const PeerHandle& peer);
    void reject(const PeerHandle& peer, const std::string& description);

    PeerSessions& sessions_;
    const DeviceSender& sender_;
    PairingHandler& pairing_;
    RequestRelay& relay_;
    ApprovalRouter& approvals_;
    ActivityLog log_;
};

} // namespace tarnwick
