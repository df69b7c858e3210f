#pragma once

#include "bridge/ActivityLog.h"
#include "bridge/BridgeIdentity.h"
#include "bridge/BridgeTrustStore.h"
#include "bridge/DeviceSender.h"
#include "bridge/PairingRequest.h"
#include "bridge/PeerSessions.h"
#include "platform/HostNameService.h"

#include <QObject>

#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

// Proves who a device is and decides whether it may use the bridge: the exchange of signed
// hellos when it connects, the authorisation of devices paired before, the pairing requests
// waiting for the user with the code both screens show, and the user's Pair, Reject and
// Forget. Keeps the trusted-device list the window shows. Main thread only.
class PairingHandler : public QObject {
    Q_OBJECT

public:
    // `identity` is null when this computer has no signing identity; `hostName` may be null.
    PairingHandler(const BridgeIdentity* identity, BridgeTrustStore& trustStore,
                   const HostNameService* hostName, PeerSessions& sessions,
                   const DeviceSender& sender, ActivityLog log, QObject* parent = nullptr);

    // Device events.
    void handleConnected(const PeerHandle& peer);
    // Fails when the body is not a hello signed by its own key, or when the device is trusted
    // and cannot be told so.
    [[nodiscard]] Expected<void, Error> handleHello(const std::optional<JSONValue>& body,
                                                    const PeerHandle& peer);
    void handlePairingRequest(const PeerHandle& peer);
    void handleDisconnected(const PeerHandle& peer);

    // The user's decisions. Taken by value: the lists they usually come from change as they run.
    void accept(PairingRequest request);
    void reject(PairingRequest request);
    void forget(TrustedPeer peer);

    const std::vector<PairingRequest>& requests() const { return requests_; }
    const std::vector<TrustedPeer>& trustedPeers() const { return trustedPeers_; }
    std::optional<PairingRequest> requestWithID(std::string_view id) const;
    std::optional<TrustedPeer> trustedPeerWithID(std::string_view deviceID) const;

signals:
    void requestsChanged();
    void trustedPeersChanged();

private:
    std::string hostNameForHello() const;
    void refreshTrustedPeers();
    void removeRequests(const std::string& id);

    const BridgeIdentity* identity_;
    BridgeTrustStore& trustStore_;
    const HostNameService* hostName_;
    PeerSessions& sessions_;
    const DeviceSender& sender_;
    ActivityLog log_;

    std::vector<PairingRequest> requests_;
    std::vector<TrustedPeer> trustedPeers_;
};

} // namespace tarnwick
