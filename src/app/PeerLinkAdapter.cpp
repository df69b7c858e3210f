#include "app/PeerLinkAdapter.h"

namespace tarnwick {

PeerLinkAdapter::PeerLinkAdapter(std::unique_ptr<PeerLink> link) : link_(std::move(link)) {}

PeerLinkAdapter::~PeerLinkAdapter() {
    setHandlers({});
}

void PeerLinkAdapter::setHandlers(Handlers handlers) {
    if (handlers.data) {
        link_->onData = [data = handlers.data](const QByteArray& bytes, const PeerHandle& peer) {
            data(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), peer);
        };
    } else {
        link_->onData = nullptr;
    }
    link_->onConnected = handlers.connected;
    link_->onDisconnected = handlers.disconnected;
    QObject::disconnect(statusConnection_);
    if (handlers.statusChanged) {
        statusConnection_ = QObject::connect(link_.get(), &PeerLink::statusTextChanged, link_.get(),
                                             handlers.statusChanged);
    }
}

std::vector<PeerHandle> PeerLinkAdapter::connectedPeers() const {
    return link_->connectedPeers();
}

Expected<void, Error> PeerLinkAdapter::send(std::string_view bytes, const PeerHandle& peer) {
    auto sent = link_->send(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), peer);
    if (!sent) {
        return Unexpected(Error{sent.error().description});
    }
    return {};
}

void PeerLinkAdapter::start() {
    link_->start();
}

std::string PeerLinkAdapter::statusText() const {
    return link_->statusText().toStdString();
}

} // namespace tarnwick
