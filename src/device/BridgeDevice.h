#pragma once

#include "identity/DeviceIdentity.h"
#include "link/PeerConnector.h"
#include "protocol/BridgeMessage.h"

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
class BridgeDevice : public QObject {
    Q_OBJECT
public:
    enum class HelloOrder { first, afterBridge };
    enum class Pairing { none, requested, accepted, rejected };
    using Answer = Expected<JSONValue, std::string>;

    // `identity` signs this device's hellos; it must outlive the device.
    BridgeDevice(const DeviceIdentity& identity, std::string displayName,
                 PeerConnectorOptions options = {}, QObject* parent = nullptr);
    ~BridgeDevice() override;

    // Opens a session to the bridge. The device says hello at once with HelloOrder::first, or
    // once the bridge's hello has arrived.
    Expected<void, Error> connectTo(const QString& host, quint16 port,
                                    HelloOrder order = HelloOrder::first);
    void disconnect();
    PeerState state() const { return connector_.state(); }
    // Why the last session ended (or never opened), as the link reported it.
    std::string endReason() const { return connector_.endReason().toStdString(); }
    // The text with which requests fail when the session ends before their answer.
    static constexpr const char* goneText = "The bridge went away before it answered.";

    // The bridge's verified hello on this connection, and the code both screens show.
    const std::optional<HelloPayload>& bridgeHello() const { return bridgeHello_; }
    std::optional<std::string> pairingCode() const;
    Pairing pairing() const { return pairing_; }
    // Whether the bridge has accepted this device on this connection (paired or recognised).
    bool isAccepted() const { return pairing_ == Pairing::accepted; }

    void requestPairing();
    // Sends one request; `answered` gets the result, or the error text, when the answer comes.
    std::string request(const std::string& method, std::optional<JSONValue> params,
                        std::function<void(Answer)> answered = {});
    // Answers an approval question; without a decision the bridge declines.
    void answer(const std::string& serverRequestID, std::optional<JSONValue> decision);
    void ping(std::optional<std::string> id = std::nullopt);
    Expected<void, Error> send(const BridgeMessage& message);
    Expected<void, Error> sendBytes(const QByteArray& bytes);
    std::size_t outstandingRequests() const { return pending_.size(); }

signals:
    void stateChanged(PeerState state);
    // The bridge's hello arrived and verified.
    void bridgeHelloReceived();
    void pairingChanged(Pairing pairing);
    void eventReceived(const std::string& method, const JSONValue& params);
    void serverRequestReceived(const std::string& id, const std::string& method,
                               const JSONValue& params);
    // Every message that is not an answer to a request this device made, after the signals
    // above.
    void messageReceived(const BridgeMessage& message);
    // Something the bridge sent that a device must not trust (a bad hello, say).
    void problemFound(const std::string& problem);

private:
    void received(const QByteArray& bytes);
    void connectorStateChanged(PeerState state);
    void sendHello();
    void setPairing(Pairing pairing);
    void failPending(const std::string& reason);

    const DeviceIdentity& identity_;
    std::string displayName_;
    PeerConnector connector_;
    HelloOrder order_ = HelloOrder::first;
    std::optional<HelloPayload> ownHello_;
    std::optional<HelloPayload> bridgeHello_;
    Pairing pairing_ = Pairing::none;
    std::map<std::string, std::function<void(Answer)>> pending_;
    unsigned long nextRequest_ = 1;
};

} // namespace tarnwick
