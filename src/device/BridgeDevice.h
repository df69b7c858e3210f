#pragma once

#include "identity/DeviceIdentity.h"
#include "identity/HandshakeV2.h"
#include "link/PeerConnector.h"
#include "protocol/BridgeMessage.h"
#include "protocol/ErrorBody.h"

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tarnwick {

// The device end of the bridge protocol, step by step: connect, exchange signed hellos in
// either order, compute the pairing code, ask to be paired and learn the decision, send
// requests and match their answers by id, receive events and answer approval questions.
// Everything it reports, it reports on the main thread as Qt signals; a handler may destroy the
// device (later signals of the same message are then not sent). Request answers go to the
// callback given with each request instead.
//
// With handshake version 2 the device waits for the bridge's offer, checks that it names the
// certificate this connection presents, lets its owner check the offer against what it
// remembers (bridgeOfferReceived), and only then offers itself. It signs its proof only after
// the bridge's proof has verified over both offers and that certificate; pairing commits to the
// device's pairing nonce before the bridge's is known. Any fault in that order refuses the
// bridge: nothing more is sent on the connection and it is closed.
class BridgeDevice : public QObject {
    Q_OBJECT
public:
    enum class Handshake { version1, version2 };
    enum class HelloOrder { first, afterBridge };
    enum class Pairing { none, requested, accepted, rejected };
    // A refusal carries the bridge's code (version 2) beside its words.
    using Answer = Expected<JSONValue, ErrorBody>;

    // `identity` signs this device's hellos and proofs; it must outlive the device.
    BridgeDevice(const DeviceIdentity& identity, std::string displayName,
                 Handshake handshake = Handshake::version1, PeerConnectorOptions options = {},
                 QObject* parent = nullptr);
    ~BridgeDevice() override;

    // Opens a session to the bridge. With version 1 the device says hello at once with
    // HelloOrder::first, or once the bridge's hello has arrived; version 2 always waits for the
    // bridge's offer.
    Expected<void, Error> connectTo(const QString& host, quint16 port,
                                    HelloOrder order = HelloOrder::first);
    void disconnect();
    PeerState state() const { return connector_.state(); }
    Handshake handshake() const { return handshake_; }
    // Why the last session ended (or never opened), as the link reported it.
    std::string endReason() const { return connector_.endReason().toStdString(); }
    // The close code the bridge gave when it ended the last session; 0 when it gave none.
    int endCode() const { return connector_.closeCode(); }
    // The text with which requests fail when the session ends before their answer.
    static constexpr const char* goneText = "The bridge went away before it answered.";

    // Version 1: the bridge's verified hello on this connection.
    const std::optional<HelloPayload>& bridgeHello() const { return bridgeHello_; }
    // Version 2: the bridge's offer on this connection, once it named the certificate seen.
    const std::optional<HelloOffer>& bridgeOffer() const { return bridgeOffer_; }
    // Version 2: SHA-256 (lowercase hex) of the DER of the certificate the bridge presented on
    // this connection, and of that certificate's public key (its SubjectPublicKeyInfo).
    const std::string& certificateSeen() const { return certificate_; }
    const std::string& certificateKeySeen() const { return certificateKey_; }
    // Version 2: the bridge's proof verified and this device has sent its own.
    bool bridgeProven() const { return proven_; }
    // Ends the connection without sending anything more on it; `reason` is kept.
    void refuse(const std::string& reason);
    // Why the bridge was refused on this connection, if it was.
    const std::optional<std::string>& refusal() const { return refusal_; }

    // The code both screens show: version 1 from both hellos; version 2 once both pairing
    // nonces are known.
    std::optional<std::string> pairingCode() const;
    Pairing pairing() const { return pairing_; }
    // Whether the bridge has accepted this device on this connection (paired or recognised).
    bool isAccepted() const { return pairing_ == Pairing::accepted; }
    // Version 2: the bridge said this device's proven key is not trusted yet ("notTrusted").
    bool keyNotTrusted() const { return notTrusted_; }
    // Version 2: the bridge said the person forgot this device ("forgotten"); kept after the
    // session ends, until the next connection.
    bool wasForgotten() const { return forgotten_; }
    // Version 2: the most the bridge's computer lets this device ask Codex to do
    // ({"sandbox", "approvalNever", "networkAccess", "roots"}), once the bridge said it.
    const std::optional<JSONValue>& ceiling() const { return ceiling_; }

    // Asks to be paired. Version 2 starts a new commitment with each call.
    void requestPairing();
    // Sends one request; `answered` gets the result, or the refusal, when the answer comes.
    std::string request(const std::string& method, std::optional<JSONValue> params,
                        std::function<void(Answer)> answered = {});
    // Answers an approval question; without a decision the bridge declines.
    void answer(const std::string& serverRequestID, std::optional<JSONValue> decision);
    void ping(std::optional<std::string> id = std::nullopt);
    // With version 2 only the handshake's own messages go out before the bridge is proven,
    // and nothing after a refusal.
    Expected<void, Error> send(const BridgeMessage& message);
    Expected<void, Error> sendBytes(const QByteArray& bytes);
    std::size_t outstandingRequests() const { return pending_.size(); }

signals:
    void stateChanged(PeerState state);
    // Version 1: the bridge's hello arrived and verified.
    void bridgeHelloReceived();
    // Version 2: the bridge's offer arrived and names the certificate seen. A handler may
    // refuse() the bridge; the device offers itself only when none did.
    void bridgeOfferReceived();
    // Version 2: the bridge proved itself and the device sent its own proof.
    void bridgeProved();
    // Version 2: the bridge was refused, and why.
    void bridgeRefused(const std::string& reason);
    void pairingChanged(Pairing pairing);
    // Version 2: both pairing nonces are known and the code is computed.
    void pairingCodeReady(const std::string& code);
    void eventReceived(const std::string& method, const JSONValue& params);
    // An approval question, with Codex's params (version 2 sends them beside how long Codex
    // has waited; the same id may come again after a reconnect).
    void serverRequestReceived(const std::string& id, const std::string& method,
                               const JSONValue& params);
    // Version 2: a question this device was shown is settled; `outcome` is the bridge's body
    // ({"outcome": "answered" | "withdrawn" | "timedOut" | "restarted", ...}).
    void serverRequestSettled(const std::string& id, const JSONValue& outcome);
    // Every message that is not an answer to a request this device made, after the signals
    // above.
    void messageReceived(const BridgeMessage& message);
    // Something the bridge sent that a device must not trust (a bad hello, say).
    void problemFound(const std::string& problem);

private:
    void received(const QByteArray& bytes);
    void connectorStateChanged(PeerState state);
    void sendHello();
    // Version 2 at connect: the agreed subprotocol and the certificate presented. False when it
    // refused the bridge.
    bool learnCertificate();
    // Version 2 steps.
    void bridgeOffered(const BridgeMessage& message);
    void bridgeProofArrived(const BridgeMessage& message);
    void bridgePairingNonceArrived(const BridgeMessage& message);
    bool handshakeMessage(BridgeMessageKind kind) const;
    void setPairing(Pairing pairing);
    void failPending(const std::string& reason);

    const DeviceIdentity& identity_;
    std::string displayName_;
    Handshake handshake_;
    PeerConnector connector_;
    HelloOrder order_ = HelloOrder::first;
    std::optional<HelloPayload> ownHello_;
    std::optional<HelloPayload> bridgeHello_;
    // Version 2, per connection.
    std::string certificate_;
    std::string certificateKey_;
    std::optional<HelloOffer> ownOffer_;
    std::optional<HelloOffer> bridgeOffer_;
    bool proven_ = false;
    std::optional<std::string> refusal_;
    std::string ownPairingNonce_;
    bool awaitingBridgeNonce_ = false;
    std::optional<std::string> code_;
    Pairing pairing_ = Pairing::none;
    std::optional<JSONValue> ceiling_;
    bool notTrusted_ = false;
    bool forgotten_ = false;
    std::map<std::string, std::function<void(Answer)>> pending_;
    unsigned long nextRequest_ = 1;
};

} // namespace tarnwick
