#include "bridge/DeviceSender.h"

#include <algorithm>

namespace tarnwick {

DeviceSender::DeviceSender(BridgeLink& link, const PeerSessions& sessions)
    : link_(link), sessions_(sessions) {}

Expected<void, Error> DeviceSender::send(const BridgeMessage& message,
                                         const PeerHandle& peer) const {
    auto encoded = message.encode();
    if (!encoded) {
        return Unexpected(Error{encoded.error().description});
    }
    return link_.send(QByteArray(encoded->data(), static_cast<qsizetype>(encoded->size())), peer);
}

QByteArray DeviceSender::encode(const BridgeMessage& message, const JSONText& body) {
    QByteArray block;
    block.reserve(static_cast<qsizetype>(body.size() + 128));
    message.encodeWithBody(body, [&](std::string_view piece) {
        block.append(piece.data(), static_cast<qsizetype>(piece.size()));
    });
    return block;
}

Expected<void, Error> DeviceSender::send(const QByteArray& block, const PeerHandle& peer) const {
    return link_.send(block, peer);
}

Expected<void, Error> DeviceSender::sendError(const PeerHandle& peer, std::optional<std::string> id,
                                              ErrorCode code, std::string message) const {
    // A connection that has ended has no record; what goes to it is not delivered anyway.
    const PeerSession* session = sessions_.find(peer);
    const int version = session ? session->protocolVersion : 1;
    return send(makeMessage(BridgeMessageKind::error, std::move(id), {},
                            ErrorBody::make(code, std::move(message), version)),
                peer);
}

std::vector<PeerHandle> DeviceSender::authorizedPeers() const {
    std::vector<PeerHandle> peers = link_.connectedPeers();
    std::erase_if(peers, [&](const PeerHandle& peer) { return !sessions_.isAuthorized(peer); });
    return peers;
}

bool DeviceSender::isConnected(const PeerHandle& peer) const {
    const std::vector<PeerHandle> connected = link_.connectedPeers();
    return std::find(connected.begin(), connected.end(), peer) != connected.end();
}

} // namespace tarnwick
