#pragma once

#include "bridge/BridgeLink.h"
#include "bridge/PeerSessions.h"
#include "protocol/BridgeMessage.h"

#include <vector>

namespace tarnwick {

// Sends messages to devices over the link: one message is one byte block, encoded afresh for
// each device. Also answers which connected devices may be sent what only authorised devices
// receive. Main thread only.
class DeviceSender {
public:
    DeviceSender(BridgeLink& link, const PeerSessions& sessions);

    [[nodiscard]] Expected<void, Error> send(const BridgeMessage& message,
                                             const PeerHandle& peer) const;
    // The connected devices that are authorised, in the link's order.
    std::vector<PeerHandle> authorizedPeers() const;
    bool isConnected(const PeerHandle& peer) const;
    // The fingerprint of the TLS certificate the link presents (BridgeLink).
    std::string certificateFingerprint() const { return link_.certificateFingerprint(); }

private:
    BridgeLink& link_;
    const PeerSessions& sessions_;
};

} // namespace tarnwick
