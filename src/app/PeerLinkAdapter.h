#pragma once

#include "bridge/BridgeLink.h"
#include "link/PeerLink.h"

#include <memory>
#include <vector>

namespace tarnwick {

// The controller's view of the real peer link: turns the link's signals into the handlers the
// controller sets.
class PeerLinkAdapter : public BridgeLink {
public:
    explicit PeerLinkAdapter(std::unique_ptr<PeerLink> link);
    ~PeerLinkAdapter() override;

    void setHandlers(Handlers handlers) override;
    std::vector<PeerHandle> connectedPeers() const override;
    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer) override;
    std::size_t waitingBytes(const PeerHandle& peer) const override {
        return link_->waitingBytes(peer);
    }
    void start() override;
    std::string statusText() const override;
    std::string certificateFingerprint() const override { return link_->certificateFingerprint(); }
    std::string authorityFingerprint() const override { return link_->authorityFingerprint(); }
    std::string webAddress() const override;
    void setSessionStage(const PeerHandle& peer, SessionStage stage) override;
    void closeSession(const PeerHandle& peer, const std::string& reason, SessionClose how) override;

    PeerLink& link() { return *link_; }

private:
    std::unique_ptr<PeerLink> link_;
    std::vector<QMetaObject::Connection> connections_;
};

} // namespace tarnwick
