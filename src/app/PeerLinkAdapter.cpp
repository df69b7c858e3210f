#include "app/PeerLinkAdapter.h"

namespace tarnwick {

PeerLinkAdapter::PeerLinkAdapter(std::unique_ptr<PeerLink> link) : link_(std::move(link)) {}

PeerLinkAdapter::~PeerLinkAdapter() {
    setHandlers({});
}

void PeerLinkAdapter::setHandlers(Handlers handlers) {
    for (const auto& connection : connections_) {
        QObject::disconnect(connection);
    }
    connections_.clear();
    PeerLink* link = link_.get();
    if (handlers.data) {
        connections_.push_back(QObject::connect(
            link, &PeerLink::dataReceived, link,
            [data = std::move(handlers.data)](const QByteArray& bytes, const PeerHandle& peer) {
                data(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                     peer);
            }));
    }
    if (handlers.connected) {
        connections_.push_back(
            QObject::connect(link, &PeerLink::peerConnected, link, std::move(handlers.connected)));
    }
    if (handlers.disconnected) {
        connections_.push_back(QObject::connect(link, &PeerLink::peerDisconnected, link,
                                                std::move(handlers.disconnected)));
    }
    if (handlers.ended) {
        connections_.push_back(
            QObject::connect(link, &PeerLink::sessionEnded, link, std::move(handlers.ended)));
    }
    if (handlers.eased) {
        connections_.push_back(
            QObject::connect(link, &PeerLink::peerEased, link, std::move(handlers.eased)));
    }
    if (handlers.statusChanged) {
        connections_.push_back(QObject::connect(link, &PeerLink::statusTextChanged, link,
                                                std::move(handlers.statusChanged)));
    }
}

void PeerLinkAdapter::setSessionStage(const PeerHandle& peer, SessionStage stage) {
    link_->setSessionStage(peer, stage);
}

void PeerLinkAdapter::closeSession(const PeerHandle& peer, const std::string& reason,
                                   SessionClose how) {
    link_->close(peer, static_cast<QWebSocketProtocol::CloseCode>(how),
                 QString::fromStdString(reason));
}

std::vector<PeerHandle> PeerLinkAdapter::connectedPeers() const {
    return link_->connectedPeers();
}

Expected<void, Error> PeerLinkAdapter::send(const QByteArray& bytes, const PeerHandle& peer) {
    auto sent = link_->send(bytes, peer);
    if (!sent) {
        return Unexpected(Error{sent.error().description});
    }
    return {};
}

void PeerLinkAdapter::start() {
    link_->start();
}

std::string PeerLinkAdapter::webAddress() const {
    const quint16 port = link_->listeningPort();
    if (port == 0) {
        return {};
    }
    return "https://" + link_->phoneAddress() + ":" + std::to_string(port) + "/";
}

std::string PeerLinkAdapter::statusText() const {
    return link_->statusText().toStdString();
}

} // namespace tarnwick
