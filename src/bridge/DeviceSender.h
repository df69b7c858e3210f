#pragma once

#include "bridge/BridgeLink.h"
#include "bridge/PeerSessions.h"
#include "protocol/BridgeMessage.h"
#include "protocol/ErrorBody.h"

#include <vector>

namespace tarnwick {

// Sends messages to devices over the link: one message is one byte block. Also answers which
// connected devices may be sent what only authorised devices receive. Main thread only.
class DeviceSender {
public:
    DeviceSender(BridgeLink& link, const PeerSessions& sessions);

    [[nodiscard]] Expected<void, Error> send(const BridgeMessage& message,
                                             const PeerHandle& peer) const;
    // The block of `message` with `body` as its body: encoded once, it may go to many devices.
    static QByteArray encode(const BridgeMessage& message, const JSONText& body);
    [[nodiscard]] Expected<void, Error> send(const QByteArray& block, const PeerHandle& peer) const;
    // An `error` message answering `id`, in the form the peer's session reads: the code beside
    // the text for version 2, the text alone for version 1.
    [[nodiscard]] Expected<void, Error> sendError(const PeerHandle& peer,
                                                  std::optional<std::string> id, ErrorCode code,
                                                  std::string message) const;
    // The connected devices that are authorised, in the link's order.
    std::vector<PeerHandle> authorizedPeers() const;
    bool isConnected(const PeerHandle& peer) const;
    // Bytes sent to the peer that wait for it to read (BridgeLink).
    std::size_t waitingBytes(const PeerHandle& peer) const { return link_.waitingBytes(peer); }
    // The fingerprint of the TLS certificate the link presents (BridgeLink).
    std::string certificateFingerprint() const { return link_.certificateFingerprint(); }

private:
    BridgeLink& link_;
    const PeerSessions& sessions_;
};

} // namespace tarnwick
