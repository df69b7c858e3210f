#pragma once

#include "bridge/ActivityLog.h"
#include "bridge/BridgeIdentity.h"
#include "bridge/BridgeTrustStore.h"
#include "bridge/DeviceSender.h"
#include "bridge/PairingAttemptLimit.h"
#include "bridge/PairingRequests.h"
#include "bridge/PeerSessions.h"
#include "bridge/PhonePairingSecret.h"
#include "bridge/ShownNames.h"
#include "platform/HostNameService.h"

#include <QObject>

#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

// Proves who a device is and decides whether it may use the bridge: the exchange of signed
// hellos (version 1) or of offers and proofs (version 2) when it connects, the authorisation of
// devices paired before, the pairing requests waiting for the user with the code both screens
// show, and the user's Pair, Reject and Forget. Keeps the trusted-device list the window shows.
// Each connection's record (PeerSessions) alone decides what that connection may do, and its
// handshake (DeviceHandshake) how far it has come. Main thread only. The version-1 steps are in
// PairingHandlerV1.cpp, the version-2 steps in PairingHandlerV2.cpp.
class PairingHandler : public QObject {
    Q_OBJECT

public:
    // At most this many proofs of the QR code's secret are checked per connection.
    static constexpr int maxSecretProofs = 5;

    // `identity` is null when this computer has no signing identity; `hostName` may be null.
    // `phoneSecret` is the secret the QR code shows, checked by a "pairingRequest" that proves
    // it.
    PairingHandler(const BridgeIdentity* identity, BridgeTrustStore& trustStore,
                   const HostNameService* hostName, PeerSessions& sessions,
                   const DeviceSender& sender, PhonePairingSecret& phoneSecret, ActivityLog log,
                   QObject* parent = nullptr);

    // Device events. The intake hands each handshake message to its step, as the stage of the
    // connection's handshake decides; each step fails for a body that does not fit.
    void handleConnected(const PeerHandle& peer);
    // Version 1: the device's hello, which must be signed by its own key; also fails when the
    // device is trusted and cannot be told so.
    [[nodiscard]] Expected<void, Error> handleHello(const std::optional<JSONValue>& body,
                                                    const PeerHandle& peer,
                                                    DeviceHandshake& handshake);
    // Version 1: a pairing request, shown to the person once both hellos are in.
    [[nodiscard]] Expected<void, Error> handlePairingRequest(const PeerHandle& peer,
                                                             DeviceHandshake& handshake);
    // Version 2: the device's offer, its proof, its pairing commitment (a "pairingRequest" with
    // a body: a "commitment", or a "secretProof" of the QR code's secret, which pairs at once)
    // and its pairing nonce.
    [[nodiscard]] Expected<void, Error> handleOffer(const std::optional<JSONValue>& body,
                                                    const PeerHandle& peer,
                                                    DeviceHandshake& handshake);
    [[nodiscard]] Expected<void, Error> handleProof(const std::optional<JSONValue>& body,
                                                    const PeerHandle& peer,
                                                    DeviceHandshake& handshake);
    [[nodiscard]] Expected<void, Error>
    handlePairingCommitment(const std::optional<JSONValue>& body, const PeerHandle& peer,
                            DeviceHandshake& handshake);
    [[nodiscard]] Expected<void, Error> handlePairingNonce(const std::optional<JSONValue>& body,
                                                           const PeerHandle& peer,
                                                           DeviceHandshake& handshake);
    // The connection is going; its record is still there.
    void handleLeaving(const PeerHandle& peer);
    void handleDisconnected(const PeerHandle& peer);

    // The user's decisions. Taken by value: the lists they usually come from change as they run.
    void accept(PairingRequest request);
    void reject(PairingRequest request);
    void forget(TrustedPeer peer);

    const PairingRequests& requests() const { return requests_; }
    const std::vector<TrustedPeer>& trustedPeers() const { return trustedPeers_; }
    std::optional<TrustedPeer> trustedPeerWithID(std::string_view deviceID) const;

    // The names on show now: the trusted devices, the waiting requests and the authorised
    // connections. Another name is shown beside them (ShownNames::show).
    ShownNames shownNames() const;
    std::string shownName(std::string_view name) const { return shownNames().show(name); }
    // `peer` was just authorised: the connections that gave one of its names without proving
    // to be its device are refused (their cards would show a device that is already here).
    void refuseNamesakesOf(const PeerHandle& peer);

signals:
    void requestsChanged();
    void trustedPeersChanged();
    // The device was told it is accepted (pairingAccepted went out on its connection).
    void welcomed(const tarnwick::PeerHandle& peer);
    // The connection was refused for the name it claimed; it must be closed at once.
    void sessionRefused(const tarnwick::PeerHandle& peer);
    // The connection asked for a new pairing attempt before revealing the nonce of the one it
    // had: it must be closed at once.
    void attemptAbandoned(const tarnwick::PeerHandle& peer);
    // A device paired with the secret of the phone code, which is now burnt.
    void pairedByPhoneCode();
    // The user forgot the device these connections were authorised as; they must be closed.
    void sessionsForgotten(const std::vector<tarnwick::PeerHandle>& peers);

private:
    std::string hostNameForHello() const;
    void refreshTrustedPeers();
    void addRequest(PairingRequest request);
    void helloVersion1(const PeerHandle& peer, DeviceHandshake& handshake);
    void acceptVersion1(const PairingRequest& request);
    void offerVersion2(const PeerHandle& peer, DeviceHandshake& handshake);
    void acceptVersion2(const PairingRequest& request);
    // Whether the connection gives the name of an authorised connection of another device than
    // `provenID` (none: it proved no trusted device); if so it is refused.
    bool refusedAsNamesake(const PeerHandle& peer, const std::optional<std::string>& provenID);
    void refuse(const PeerHandle& peer);
    [[nodiscard]] Expected<void, Error>
    pairBySecret(const std::string& proof, const PeerHandle& peer, DeviceHandshake& handshake);

    const BridgeIdentity* identity_;
    BridgeTrustStore& trustStore_;
    const HostNameService* hostName_;
    PeerSessions& sessions_;
    const DeviceSender& sender_;
    PhonePairingSecret& phoneSecret_;
    ActivityLog log_;

    PairingRequests requests_;
    PairingAttemptLimit attempts_;
    std::vector<TrustedPeer> trustedPeers_;
};

} // namespace tarnwick
