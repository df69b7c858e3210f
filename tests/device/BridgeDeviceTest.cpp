// The device end of handshake version 2 against a scripted bridge on real TLS over loopback:
// the bridge here is a WebSocket host with its own certificate and signing key that sends what a
// test tells it to, so that it can also send what a real bridge never would. (How the device
// reads the real bridge's refusals and its forgetting shows in DeviceEndToEndTest's runs.)
#include "device/BridgeDevice.h"

#include "link/CertificateFingerprint.h"
#include "link/LinkTls.h"
#include "support/QtTestSupport.h"
#include "support/TestSigner.h"

#include <QWebSocket>
#include <QWebSocketServer>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

class ScriptedBridge {
public:
    explicit ScriptedBridge(QStringList subprotocols = {"tarnwick.v2", "tarnwick.v1"})
        : server_(QStringLiteral("scripted"), QWebSocketServer::SecureMode) {
        auto identity = SelfSignedCertificate::make("Scripted");
        EXPECT_TRUE(identity.hasValue());
        server_.setSslConfiguration(hostTlsConfiguration(*identity));
        fingerprint = certificateFingerprint(identity->certificate);
        server_.setSupportedSubprotocols(subprotocols);
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server_, &QWebSocketServer::newConnection, &server_, [this] {
            session_.reset(server_.nextPendingConnection());
            QObject::connect(session_.get(), &QWebSocket::binaryMessageReceived, &server_,
                             [this](const QByteArray& bytes) {
                                 received.push_back(
                                     BridgeMessage::decode(bytes.toStdString()).value());
                             });
            offer = signer.identity().makeOffer("Studio", fingerprint);
            send(BridgeMessageKind::hello, offer.toJSON());
        });
    }

    quint16 port() const { return server_.serverPort(); }
    void send(BridgeMessageKind kind, JSONValue body) {
        session_->sendBinaryMessage(
            QByteArray::fromStdString(makeMessage(kind, {}, {}, std::move(body)).encode().value()));
    }
    // The device's offer, once it came.
    HelloOffer deviceOffer() const { return HelloOffer::fromJSON(*received.at(0).body).value(); }
    // A proof of this bridge over both offers and `fp`.
    JSONValue proof(const std::string& fp) const {
        return JSONObject{
            {"signature",
             signer.identity().sign(bridgeProofText(offer, deviceOffer(), fp)).value()}};
    }

    TestSigner signer;
    std::string fingerprint;
    HelloOffer offer;
    std::vector<BridgeMessage> received;

private:
    QWebSocketServer server_;
    std::unique_ptr<QWebSocket> session_;
};

class BridgeDeviceV2 : public ::testing::Test {
protected:
    void connectTo(ScriptedBridge& bridge) {
        ASSERT_TRUE(device_.connectTo("127.0.0.1", bridge.port()).hasValue());
    }

    TestSigner own_;
    BridgeDevice device_{own_.identity(), "Laptop", BridgeDevice::Handshake::version2};
};

} // namespace

// What the device computes (its offer, proof, commitment and code) is checked against the real
// bridge wherever a test pairs a BridgeDevice (BridgeEndToEndTest, DeviceEndToEndTest); here,
// what a bridge that is not the real one could try out of turn.
TEST_F(BridgeDeviceV2, ProvesItselfOnlyAfterTheBridgeAndPairsByCommitThenReveal) {
    ScriptedBridge bridge;
    connectTo(bridge);
    ASSERT_TRUE(waitUntil([&] { return bridge.received.size() == 1; }));
    EXPECT_EQ(bridge.deviceOffer().certificate, bridge.fingerprint);

    // Before the bridge has proved itself, an acceptance is not believed and nothing is sent.
    bridge.send(BridgeMessageKind::pairingAccepted, JSONObject{{"protocol", 2}});
    device_.requestPairing();
    device_.request("thread/list", std::nullopt);
    bridge.send(BridgeMessageKind::proof, bridge.proof(bridge.fingerprint));
    ASSERT_TRUE(waitUntil([&] { return device_.bridgeProven(); }));
    EXPECT_FALSE(device_.isAccepted());
    ASSERT_TRUE(waitUntil([&] { return bridge.received.size() == 2; }));
    ASSERT_EQ(bridge.received[1].kind, BridgeMessageKind::proof);

    // A pairing nonce nobody asked for is ignored; then commit, nonce, reveal.
    std::vector<std::string> problems;
    QObject::connect(&device_, &BridgeDevice::problemFound, &device_,
                     [&](const std::string& problem) { problems.push_back(problem); });
    bridge.send(BridgeMessageKind::pairingNonce, JSONObject{{"nonce", randomNonceV2()}});
    ASSERT_TRUE(waitUntil([&] { return !problems.empty(); }));
    device_.requestPairing();
    ASSERT_TRUE(waitUntil([&] { return bridge.received.size() == 3; }));
    ASSERT_EQ(bridge.received[2].kind, BridgeMessageKind::pairingRequest);
    bridge.send(BridgeMessageKind::pairingNonce, JSONObject{{"nonce", randomNonceV2()}});
    ASSERT_TRUE(waitUntil([&] { return bridge.received.size() == 4; }));
    ASSERT_EQ(bridge.received[3].kind, BridgeMessageKind::pairingNonce);
    EXPECT_TRUE(device_.pairingCode().has_value());
    bridge.send(BridgeMessageKind::pairingAccepted, JSONObject{{"protocol", 2}});
    EXPECT_TRUE(waitUntil([&] { return device_.isAccepted(); }));
}

TEST_F(BridgeDeviceV2, RefusesABridgeThatDoesNotProveItselfAndSignsNothing) {
    // A proof over another certificate than the one this device saw (a relay's view).
    ScriptedBridge relayed;
    connectTo(relayed);
    ASSERT_TRUE(waitUntil([&] { return relayed.received.size() == 1; }));
    relayed.send(BridgeMessageKind::proof, relayed.proof(std::string(64, '0')));
    ASSERT_TRUE(waitUntil([&] { return device_.state() == PeerState::notConnected; }));
    EXPECT_EQ(device_.refusal(), "The bridge's proof did not verify.");
    EXPECT_FALSE(device_.sendBytes("{}").hasValue());

    // An offer with another certificate than the connection's, or no version 2 at all.
    ScriptedBridge misnamed;
    misnamed.fingerprint = std::string(64, 'f');
    connectTo(misnamed);
    ASSERT_TRUE(waitUntil([&] { return device_.refusal().has_value(); }));
    ScriptedBridge versionOne({"tarnwick.v1"});
    connectTo(versionOne);
    ASSERT_TRUE(waitUntil([&] { return device_.refusal().has_value(); }));
    EXPECT_EQ(device_.refusal(), "The bridge did not agree to handshake version 2.");
    flushMainQueue();
    EXPECT_TRUE(misnamed.received.empty());
    EXPECT_TRUE(versionOne.received.empty());
    EXPECT_EQ(relayed.received.size(), 1u) << "only the unsigned offer";
}
