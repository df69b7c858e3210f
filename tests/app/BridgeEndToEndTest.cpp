// The whole bridge with real parts: the TLS WebSocket link on loopback, the app-server client
// running the scripted fake app-server, real signing keys on both ends (the bridge's in a file
// keychain in a temporary folder), and test devices that speak the protocol step by step. Only
// what the real link, real TLS or a flood can show is here; what the controller decides is
// tested on the controller. What reached the app-server is read from the fake's own echo of
// every line it read.
#include "appserver/FakeCodex.h"
#include "bridge/PairingAttemptLimit.h"
#include "device/BridgeDevice.h"
#include "link/CertificateFingerprint.h"
#include "link/LinkTls.h"
#include "support/AssembledBridge.h"
#include "support/QtTestSupport.h"
#include "support/TcpPump.h"
#include "support/TemporaryHome.h"
#include "support/TestSigner.h"
#include "ui/PairingRequestModel.h"
#include "ui/TrustedDeviceModel.h"

#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

#include <gtest/gtest.h>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

class BridgeEndToEndTest : public ::testing::Test {
protected:
    void startBridge(std::vector<std::string> script) {
        script.insert(script.begin(), "echo");
        codex_ = std::make_unique<FakeCodex>(script);

        bridge_ = AssembledBridge(folder_.path(), codex_->executable());
        ASSERT_TRUE(bridge_.controller().appServerReady())
            << bridge_.controller().appServerStatus().toStdString();
    }

    std::unique_ptr<BridgeDevice> connect(TestSigner& signer, const std::string& name,
                                          const QString& host = QStringLiteral("127.0.0.1")) {
        auto device = std::make_unique<BridgeDevice>(signer.identity(), name);
        EXPECT_TRUE(device->connectTo(host, bridge_.port()).hasValue());
        EXPECT_TRUE(waitUntil([&] { return device->bridgeHello().has_value(); }));
        return device;
    }

    std::unique_ptr<BridgeDevice> pair(TestSigner& signer, const std::string& name,
                                       const QString& host = QStringLiteral("127.0.0.1")) {
        auto device = connect(signer, name, host);
        EXPECT_TRUE(waitUntil([&] { return device->pairingCode().has_value(); }));
        device->requestPairing();
        EXPECT_EQ(acceptNewest(), device->pairingCode());
        EXPECT_TRUE(waitUntil([&] { return device->isAccepted(); }));
        return device;
    }

    // Accepts the newest pairing request once there is one; gives its code.
    std::string acceptNewest() {
        EXPECT_TRUE(waitUntil([&] { return !bridge_.controller().pairingRequests().empty(); }));
        if (bridge_.controller().pairingRequests().empty()) {
            return {};
        }
        const PairingRequest request = bridge_.controller().pairingRequests().back();
        EXPECT_TRUE(
            bridge_.controller().decide(request.serial, request.code, PairingDecision::accept));
        return request.code;
    }

    // Sends a request and waits for its answer.
    BridgeDevice::Answer call(BridgeDevice& device, const std::string& method,
                              std::optional<JSONValue> params = std::nullopt) {
        std::optional<BridgeDevice::Answer> answer;
        device.request(method, std::move(params),
                       [&](BridgeDevice::Answer a) { answer = std::move(a); });
        EXPECT_TRUE(waitUntil([&] { return answer.has_value(); })) << method;
        return answer ? std::move(*answer)
                      : BridgeDevice::Answer(Unexpected(std::string("no answer")));
    }

    bool logged(const std::string& line) const {
        const auto& logs = bridge_.controller().logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }

    TemporaryDirectory folder_{"tarnwick-bridge-e2e"};
    std::unique_ptr<FakeCodex> codex_;
    AssembledBridge bridge_;
};

} // namespace

// The link keys sessions by the name in the address: a newcomer under a connected device's name
// proves no trusted key, so it could only pass for the device that is here. It is refused and
// closed without pushing the paired device off; the genuine device coming back replaces its own
// older session.
TEST_F(BridgeEndToEndTest, ANamesakeIsRefusedAndOnlyTheGenuineDeviceReplacesItsSession) {
    startBridge({});
    TestSigner owner, strangerKey;
    auto paired = pair(owner, "Phone");
    auto namesake = connect(strangerKey, "Phone");
    ASSERT_TRUE(waitUntil([&] { return namesake->state() == PeerState::notConnected; }));
    EXPECT_EQ(namesake->endReason(), "Another device of that name is connected");
    EXPECT_EQ(paired->state(), PeerState::connected);
    EXPECT_TRUE(call(*paired, "thread/list").hasValue());

    auto returning = connect(owner, "Phone");
    ASSERT_TRUE(waitUntil([&] { return returning->isAccepted(); }));
    ASSERT_TRUE(waitUntil([&] { return paired->state() == PeerState::notConnected; }));
    EXPECT_TRUE(call(*returning, "thread/list").hasValue());
    EXPECT_TRUE(bridge_.controller().pairingRequests().empty());
    EXPECT_EQ(bridge_.appServer().requestsReceived().size(), 2u);
}

// Codex writes as fast as it can while one device has stopped reading: the bridge holds Codex
// back for the device that keeps up, lets the stalled one go at its bound, and the device that
// reads gets every event in order.
TEST_F(BridgeEndToEndTest, AStalledDeviceIsLetGoWhileAQuickOneGetsAWholeUnpacedFlood) {
    startBridge({"flood-on thread/list"});
    TestSigner a, b;
    auto quick = pair(a, "Quick");
    TcpPump pump(bridge_.port());
    if (!pump.listening()) {
        GTEST_SKIP() << "no IPv6 loopback for the stalled device's pump";
    }
    auto stalled = pair(b, "Stalled", QStringLiteral("::1"));
    long long received = 0;
    bool inOrder = true;
    QObject::connect(quick.get(), &BridgeDevice::eventReceived, quick.get(),
                     [&](const std::string&, const JSONValue& params) {
                         const JSONValue* sequence = params.member("sequence");
                         inOrder = inOrder && sequence && sequence->numberValue() &&
                                   *sequence->numberValue() == double(received);
                         ++received;
                     });
    pump.pause();

    // 30 MB of events, written at once: far more than a device may fall behind.
    constexpr long long count = 100000;
    EXPECT_TRUE(call(*quick, "thread/list",
                     JSONValue(JSONObject{{"count", double(count)}, {"size", 300.0}}))
                    .hasValue());
    ASSERT_TRUE(waitUntil([&] { return received == count; }, std::chrono::seconds(120)))
        << received << " of " << count;
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(logged("Disconnected Stalled: it was not reading."));
    EXPECT_EQ(quick->state(), PeerState::connected);
    EXPECT_TRUE(call(*quick, "thread/list").hasValue());
    EXPECT_FALSE(logged("Disconnected Quick: it was not reading."));
}

namespace {

// A version-2 device over real TLS on loopback, written with the identity layer's primitives:
// it offers "tarnwick.v2" and keeps every message the bridge sends.
class V2Socket {
public:
    V2Socket(quint16 port, const QString& name) {
        socket_.setSslConfiguration(deviceTlsConfiguration());
        QObject::connect(&socket_, &QWebSocket::binaryMessageReceived, &socket_,
                         [this](const QByteArray& bytes) {
                             if (auto message = BridgeMessage::decode(bytes.toStdString())) {
                                 received.push_back(*message);
                             }
                         });
        QWebSocketHandshakeOptions options;
        options.setSubprotocols({QStringLiteral("tarnwick.v2"), QStringLiteral("tarnwick.v1")});
        socket_.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/session?peer=%2").arg(port).arg(name)),
                     options);
        EXPECT_TRUE(waitUntil([&] { return socket_.state() == QAbstractSocket::ConnectedState; }));
        seenCertificate = certificateFingerprint(socket_.sslConfiguration().peerCertificate());
    }

    void send(BridgeMessageKind kind, JSONObject body, std::optional<std::string> id = {},
              std::optional<std::string> method = {}) {
        socket_.sendBinaryMessage(
            QByteArray::fromStdString(*makeMessage(kind, id, method, JSONValue(body)).encode()));
    }
    // The body of the first message of `kind` not taken yet, waiting for one to come.
    std::optional<JSONValue> waitFor(BridgeMessageKind kind) {
        std::optional<JSONValue> body;
        waitUntil([&] {
            for (auto& message : received) {
                if (message.kind == kind && !taken_.contains(&message)) {
                    taken_.insert(&message);
                    body = message.body ? *message.body : JSONValue();
                    return true;
                }
            }
            return false;
        });
        return body;
    }

    // Offers itself as `signer` and proves itself.
    void proveAs(TestSigner& signer, const std::string& name) {
        EXPECT_TRUE(waitFor(BridgeMessageKind::hello));
        ownOffer = signer.identity().makeOffer(name, seenCertificate);
        send(BridgeMessageKind::hello, *ownOffer.toJSON().objectValue());
        EXPECT_TRUE(waitFor(BridgeMessageKind::proof));
        const HelloOffer bridge = HelloOffer::fromJSON(received.front().body.value()).value();
        proof = signer.identity().sign(deviceProofText(ownOffer, bridge, seenCertificate)).value();
        send(BridgeMessageKind::proof, JSONObject{{"signature", proof}});
    }
    // Commits to `nonce` in a pairing request.
    void askToPair(const std::string& nonce) {
        send(BridgeMessageKind::pairingRequest,
             JSONObject{{"commitment", pairingCommitment(ownOffer.publicKey, nonce)}});
    }
    // Proves itself and pairs by commit and reveal; the bridge's code is then on a card.
    void pairAs(TestSigner& signer, const std::string& name) {
        proveAs(signer, name);
        const std::string nonce = randomNonceV2();
        askToPair(nonce);
        EXPECT_TRUE(waitFor(BridgeMessageKind::pairingNonce));
        send(BridgeMessageKind::pairingNonce, JSONObject{{"nonce", nonce}});
    }
    bool got(BridgeMessageKind kind) const {
        return std::any_of(received.begin(), received.end(),
                           [&](const BridgeMessage& message) { return message.kind == kind; });
    }
    bool closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
    int closeCode() const { return socket_.closeCode(); }

    std::string seenCertificate;
    // What pairAs sent.
    HelloOffer ownOffer;
    std::string proof;
    std::deque<BridgeMessage> received;

private:
    QWebSocket socket_;
    std::set<const BridgeMessage*> taken_;
};

} // namespace

TEST_F(BridgeEndToEndTest, AVersionTwoDevicePairsOverRealTlsAndItsProofCannotBeReplayed) {
    startBridge({});
    TestSigner phone;
    V2Socket device(bridge_.port(), QStringLiteral("Phone"));
    device.pairAs(phone, "Phone");
    // The code and the bridge's proof, as a device checks them over real TLS: DeviceEndToEndTest.
    acceptNewest();
    ASSERT_TRUE(device.waitFor(BridgeMessageKind::pairingAccepted));
    device.send(BridgeMessageKind::request, {}, "r1", "thread/list");
    ASSERT_TRUE(device.waitFor(BridgeMessageKind::response));
    EXPECT_EQ(bridge_.appServer().requestsReceived().size(), 1u);

    // Someone who captured the offer and the proof replays them on a connection of their own.
    V2Socket replay(bridge_.port(), QStringLiteral("Phone2"));
    ASSERT_TRUE(replay.waitFor(BridgeMessageKind::hello));
    replay.send(BridgeMessageKind::hello, *device.ownOffer.toJSON().objectValue());
    ASSERT_TRUE(replay.waitFor(BridgeMessageKind::proof));
    replay.send(BridgeMessageKind::proof, JSONObject{{"signature", device.proof}});
    ASSERT_TRUE(waitUntil([&] {
        return logged("Rejected malformed message from Phone2: Handshake signature did not "
                      "verify.");
    }));
    replay.send(BridgeMessageKind::request, {}, "x", "thread/list");
    auto refused = replay.waitFor(BridgeMessageKind::error);
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, ErrorBody::make(ErrorCode::notPaired, "Pair this device first.", 2));
    EXPECT_EQ(bridge_.appServer().requestsReceived().size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "tls-identity.pem"));
}

// A grinder asks for attempt after attempt, hoping for a code it likes. Asking again before
// revealing costs the connection, and one address sees only a few codes a minute.
TEST_F(BridgeEndToEndTest, AGrinderIsClosedOnEveryAbandonedAttemptAndSeesFewCodesAMinute) {
    startBridge({});
    TestSigner grinder;
    int codesSeen = 0;
    int closedAfterAbandoning = 0;
    bool refused = false;
    for (int connection = 0; connection < 3 * PairingAttemptLimit::defaultPerAddress && !refused;
         ++connection) {
        V2Socket socket(bridge_.port(), QStringLiteral("Grinder"));
        socket.proveAs(grinder, "Grinder");
        socket.askToPair(randomNonceV2());
        ASSERT_TRUE(waitUntil([&] {
            return socket.got(BridgeMessageKind::pairingNonce) ||
                   socket.got(BridgeMessageKind::pairingRejected);
        }));
        refused = socket.got(BridgeMessageKind::pairingRejected);
        if (!refused) {
            ++codesSeen;
            socket.askToPair(randomNonceV2()); // not the code it wants: asks again
            ASSERT_TRUE(waitUntil([&] { return socket.closed(); }));
            closedAfterAbandoning += socket.closeCode() == 1008 ? 1 : 0;
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(codesSeen, PairingAttemptLimit::defaultPerAddress);
    EXPECT_EQ(closedAfterAbandoning, codesSeen);
    EXPECT_TRUE(bridge_.controller().pairingRequests().empty());
    EXPECT_TRUE(bridge_.appServer().requestsReceived().empty());
}

TEST_F(BridgeEndToEndTest, LongAndLookAlikeNamesAreShownCutAndMarked) {
    startBridge({});
    TestSigner owner, big, longer, lookAlike;
    auto paired = pair(owner, "Phone");

    // A 2 MiB name cannot even be offered: the block is refused before it is read.
    V2Socket huge(bridge_.port(), QStringLiteral("Huge"));
    ASSERT_TRUE(huge.waitFor(BridgeMessageKind::hello));
    huge.send(BridgeMessageKind::hello,
              *big.identity()
                   .makeOffer(std::string(2 * 1024 * 1024, 'x'), huge.seenCertificate)
                   .toJSON()
                   .objectValue());
    ASSERT_TRUE(waitUntil([&] { return huge.closed(); }));
    EXPECT_EQ(huge.closeCode(), 1009);

    // The longest name that fits keys its card whole and is shown in 63 bytes.
    const std::string longName(60 * 1024, 'y');
    V2Socket device(bridge_.port(), QStringLiteral("Long"));
    device.pairAs(longer, longName);
    ASSERT_TRUE(waitUntil([&] { return !bridge_.controller().pairingRequests().empty(); }));
    EXPECT_EQ(bridge_.controller().pairingRequests()[0].remoteHello.displayName, longName);
    PairingRequestModel cards(bridge_.controller());
    EXPECT_EQ(cards.data(cards.index(0), PairingRequestModel::DisplayNameRole).toString(),
              QString(63, u'y') + u'\u2026');
    const std::string code = acceptNewest();
    EXPECT_TRUE(logged("Pairing requested by " + std::string(63, 'y') + "\u2026. Compare code " +
                       code + "."));
    ASSERT_TRUE(device.waitFor(BridgeMessageKind::pairingAccepted));
    TrustedDeviceModel devices(bridge_.controller());
    EXPECT_EQ(devices.data(devices.index(1), TrustedDeviceModel::DisplayNameRole).toString(),
              QString(63, u'y') + u'\u2026');

    // A Cyrillic о where the paired device has a Latin one: spelled out and marked, on its card
    // and in the log, and the paired device's row says it has a look-alike.
    V2Socket impostor(bridge_.port(), QStringLiteral("Lookalike"));
    impostor.pairAs(lookAlike, "Ph\u043Ene");
    ASSERT_TRUE(waitUntil([&] { return cards.rowCount() == 1; }));
    EXPECT_EQ(cards.data(cards.index(0), PairingRequestModel::DisplayNameRole).toString(),
              QStringLiteral("Ph\\u{043E}ne (look-alike name)"));
    EXPECT_TRUE(logged("Pairing requested by Ph\\u{043E}ne (look-alike name). Compare code " +
                       bridge_.controller().pairingRequests()[0].code + "."));
    EXPECT_EQ(devices.data(devices.index(0), TrustedDeviceModel::DisplayNameRole).toString(),
              QStringLiteral("Phone (look-alike name)"));
    for (const auto& line : bridge_.controller().logs()) {
        EXPECT_LE(line.size(), 200u);
    }
}
