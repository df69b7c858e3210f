// The host side of the link over real TLS WebSocket sessions on loopback, with devices built
// on the connector (well-behaved) or on raw TLS sockets (everything else).
#include "LinkTestSupport.h"
#include "link/CertificateFingerprint.h"
#include "link/LinkTls.h"
#include "link/PeerLink.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace tarnwick;
using namespace tarnwick::test;

namespace {

const std::string available = "status:Available on local network";
const std::string securing = "status:Securing connection\u2026";

QByteArray block(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + seed * 7) & 0xFF);
    }
    return bytes;
}

} // namespace

TEST(PeerLinkHost, FreshLinkIsIdleUntilStarted) {
    PeerLink link(PeerLinkMode::host, "Studio", loopbackOptions());
    EXPECT_EQ(link.statusText().toStdString(), "Starting\u2026");
    EXPECT_TRUE(link.connectedPeers().empty());
    EXPECT_TRUE(link.discoveredPeers().empty());
    EXPECT_EQ(link.listeningPort(), 0);
    EXPECT_TRUE(std::regex_match(link.peerName(), std::regex("Studio-[0-9A-F]{4}")))
        << link.peerName();

    link.start();
    EXPECT_EQ(link.statusText().toStdString(), "Available on local network");
    const quint16 port = link.listeningPort();
    EXPECT_NE(port, 0);
    link.start(); // a second start changes nothing
    EXPECT_EQ(link.listeningPort(), port);
}

TEST(PeerLinkHost, SessionGoesThroughItsStatesWithOneCallbackEach) {
    auto link = startedHost();
    LinkRecorder host(*link);
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    ASSERT_EQ(link->connectedPeers().size(), 1u);
    const PeerHandle peer = link->connectedPeers().front();
    EXPECT_EQ(peer->displayName(), "Phone");
    EXPECT_EQ(host.connected.front(), peer);
    EXPECT_EQ(device.connector.subprotocol().toStdString(), "tarnwick.v1");

    device.connector.close();
    ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == 1; }));
    runFor(200ms); // nothing else may follow
    EXPECT_EQ(host.events,
              (std::vector<std::string>{securing, "status:Connected to Phone", "connected:Phone",
                                        available, "disconnected:Phone"}));
    EXPECT_EQ(host.disconnected.front(), peer);
    EXPECT_TRUE(link->connectedPeers().empty());
    EXPECT_EQ(device.states, (std::vector<PeerState>{PeerState::connecting, PeerState::connected,
                                                     PeerState::notConnected}));
}

TEST(PeerLinkHost, SubprotocolIsEchoedOnlyWhenOffered) {
    auto link = startedHost();
    PeerConnectorOptions plain;
    plain.offerSubprotocol = false;
    TestDevice device(plain);
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    EXPECT_TRUE(device.connector.subprotocol().isEmpty());
}

TEST(PeerLinkHost, TheOfferedSubprotocolsSettleEachPeersHandshakeVersion) {
    auto link = startedHost();
    LinkRecorder host(*link);
    struct Case {
        QStringList offered;
        QString chosen;
        int version;
    };
    const std::vector<Case> cases = {
        {{"tarnwick.v2", "tarnwick.v1"}, "tarnwick.v2", 2},
        {{"tarnwick.v1", "tarnwick.v2"}, "tarnwick.v1", 1}, // the device's order decides
        {{"tarnwick.v2"}, "tarnwick.v2", 2},
        {{"tarnwick.v1"}, "tarnwick.v1", 1},
        {{}, "", 1},
        {{"tarnwick.v3"}, "", 1},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        QWebSocket socket;
        socket.setSslConfiguration(deviceTlsConfiguration());
        QWebSocketHandshakeOptions options;
        options.setSubprotocols(cases[i].offered);
        // The version must be settled by the time the peer is reported connected.
        std::optional<int> versionAtConnect;
        auto seen = QObject::connect(
            link.get(), &PeerLink::peerConnected, link.get(),
            [&](const PeerHandle& peer) { versionAtConnect = peer->protocolVersion(); });
        socket.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/session?peer=D%2")
                             .arg(link->listeningPort())
                             .arg(i)),
                    options);
        ASSERT_TRUE(waitUntil(
            [&] { return versionAtConnect && socket.state() == QAbstractSocket::ConnectedState; }));
        QObject::disconnect(seen);
        EXPECT_EQ(socket.subprotocol(), cases[i].chosen) << i;
        EXPECT_EQ(*versionAtConnect, cases[i].version) << i;
        socket.close();
        ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == i + 1; }));
    }
}

TEST(PeerLinkHost, KeepsItsTlsIdentityInTheGivenFileAndPresentsItsFingerprint) {
    QTemporaryDir home;
    PeerLinkOptions options = loopbackOptions();
    options.tlsIdentityPath = home.filePath("tarnwick-bridge/tls-identity.pem").toStdString();
    std::string first;
    for (int start = 0; start < 2; ++start) {
        auto link = startedHost(options);
        ASSERT_EQ(link->certificateFingerprint().size(), 64u);
        QSslSocket socket;
        socket.setSslConfiguration(deviceTlsConfiguration());
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), link->listeningPort());
        ASSERT_TRUE(waitUntil([&] { return socket.isEncrypted(); }));
        EXPECT_EQ(certificateFingerprint(socket.peerCertificate()), link->certificateFingerprint());
        EXPECT_EQ(socket.sessionProtocol(), QSsl::TlsV1_3);
        if (start == 0) {
            first = link->certificateFingerprint();
        } else {
            EXPECT_EQ(link->certificateFingerprint(), first) << "the same identity on every start";
        }
    }
    // Without a file, every start has its own.
    EXPECT_NE(startedHost()->certificateFingerprint(), first);
}

TEST(PeerLinkHost, RefusesTls12SuitesWithoutForwardSecrecyOrAead) {
    auto link = startedHost();
    const auto handshake = [&](const QString& cipher) {
        QSslSocket socket;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setProtocol(QSsl::TlsV1_2);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        configuration.setCiphers({QSslCipher(cipher)});
        socket.setSslConfiguration(configuration);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), link->listeningPort());
        waitUntil([&] {
            return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState;
        });
        return socket.isEncrypted();
    };
    EXPECT_TRUE(handshake(QStringLiteral("ECDHE-ECDSA-AES128-GCM-SHA256")));
    EXPECT_TRUE(handshake(QStringLiteral("ECDHE-ECDSA-CHACHA20-POLY1305")));
    EXPECT_FALSE(handshake(QStringLiteral("ECDHE-ECDSA-AES128-SHA256"))); // CBC
    EXPECT_FALSE(handshake(QStringLiteral("ECDHE-ECDSA-AES256-SHA")));
}

TEST(PeerLinkHost, DisplayNamesArriveExactlyAsTheDeviceGaveThem) {
    auto link = startedHost();
    LinkRecorder host(*link);
    const std::vector<std::string> names{
        "Ana's iPhone",       "50% & more",    "a=b?c#d/e+f", "Zoë ☕ 📱", "名前", "x",
        std::string(63, 'n'), "tab\u00A0nbsp", "%41%",
    };
    for (const auto& name : names) {
        TestDevice device;
        ASSERT_TRUE(device.connectTo(link->listeningPort(), name)) << name;
        ASSERT_TRUE(waitUntil([&] { return !host.connected.empty(); }));
        EXPECT_EQ(host.connected.back()->displayName(), name);
        device.connector.close();
        ASSERT_TRUE(waitUntil([&] { return !host.disconnected.empty(); }));
        host.connected.clear();
        host.disconnected.clear();
    }
}

TEST(PeerLinkHost, BlocksArriveInOrderBothWaysIncludingLargeOnes) {
    auto link = startedHost();
    LinkRecorder host(*link);
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    const PeerHandle peer = host.connected.front();

    std::vector<QByteArray> blocks;
    for (int i = 0; i < 100; ++i) {
        blocks.push_back(block(i % 7 == 0 ? 70000 : 1 + i * 13, i));
    }
    blocks.push_back(QByteArray());
    blocks.push_back(block(10 * 1024 * 1024, 99));
    blocks.push_back("after the large one");

    for (const auto& bytes : blocks) {
        ASSERT_TRUE(device.connector.send(bytes).hasValue());
        ASSERT_TRUE(link->send(bytes, peer).hasValue());
    }
    ASSERT_TRUE(waitUntil([&] {
        return host.blocks.size() == blocks.size() && device.blocks.size() == blocks.size();
    }));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(host.blocks[i].first, blocks[i]) << "block " << i << " to the host";
        EXPECT_EQ(host.blocks[i].second, peer);
        EXPECT_EQ(device.blocks[i], blocks[i]) << "block " << i << " to the device";
    }
}

// A big block goes out in fragments as the socket drains, so that no socket holds all of it,
// and the host's pings fall between whole frames. An empty block is a message too.
TEST(PeerLinkHost, ABigBlockGoesInFragmentsWithPingsOnlyBetweenWholeFrames) {
    PeerLinkOptions options = loopbackOptions();
    options.pingInterval = 20ms;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    RawDevice device(link->listeningPort());
    ASSERT_TRUE(device.upgrade("Raw"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    const PeerHandle peer = host.connected.front();
    device.stopReading();
    const std::vector<QByteArray> blocks{QByteArray(), block(12 * 1024 * 1024 + 5, 7), "after"};
    for (const QByteArray& bytes : blocks) {
        ASSERT_TRUE(link->send(bytes, peer).hasValue());
    }
    runFor(300ms); // pings go out while the fragments wait for the device
    device.resumeReading();

    qsizetype payload = 0;
    for (const QByteArray& bytes : blocks) {
        payload += bytes.size();
    }
    std::vector<QByteArray> messages;
    int pingsWithinTheBigOne = 0;
    const auto reassemble = [&] {
        messages.clear();
        pingsWithinTheBigOne = 0;
        std::optional<QByteArray> open;
        for (const RawDevice::Frame& frame : device.frames()) {
            if (frame.opcode >= 8) {
                pingsWithinTheBigOne += open && frame.opcode == 9 ? 1 : 0;
                continue;
            }
            EXPECT_LE(frame.payload.size(), 128 * 1024);
            EXPECT_EQ(frame.opcode, open ? 0 : 2) << "a continuation only within a message";
            open = open.value_or(QByteArray()) + frame.payload;
            if (frame.final) {
                messages.push_back(*open);
                open.reset();
            }
        }
        return messages.size() == blocks.size();
    };
    // Taken apart only once nearly everything is there.
    ASSERT_TRUE(waitUntil([&] { return device.bytesReceived() > payload && reassemble(); }));
    EXPECT_EQ(messages, blocks);
    EXPECT_GE(pingsWithinTheBigOne, 1);
}

TEST(PeerLinkHost, TextMessagesFromADeviceAreBlocksToo) {
    auto link = startedHost();
    LinkRecorder host(*link);
    QWebSocket socket;
    socket.setSslConfiguration(deviceTlsConfiguration());
    socket.open(
        QUrl(QStringLiteral("wss://127.0.0.1:%1/session?peer=Web").arg(link->listeningPort())));
    ASSERT_TRUE(waitUntil([&] {
        return host.connected.size() == 1 && socket.state() == QAbstractSocket::ConnectedState;
    }));
    QByteArray fromHost;
    QObject::connect(&socket, &QWebSocket::binaryMessageReceived, &socket,
                     [&](const QByteArray& bytes) { fromHost = bytes; });
    socket.sendTextMessage(QStringLiteral("{\"kind\":\"ping\",\"text\":\"é\"}"));
    ASSERT_TRUE(waitUntil([&] { return host.blocks.size() == 1; }));
    EXPECT_EQ(host.blocks.front().first, QByteArray("{\"kind\":\"ping\",\"text\":\"é\"}"));

    ASSERT_TRUE(link->send("reply", host.connected.front()).hasValue());
    ASSERT_TRUE(waitUntil([&] { return !fromHost.isEmpty(); }));
    EXPECT_EQ(fromHost, QByteArray("reply"));
}

TEST(PeerLinkHost, SeveralDevicesKeepTheirOwnHandlesAndOrder) {
    auto link = startedHost();
    LinkRecorder host(*link);
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < 4; ++i) {
        devices.push_back(std::make_unique<TestDevice>());
        ASSERT_TRUE(
            devices.back()->connectTo(link->listeningPort(), "Device " + std::to_string(i)));
    }
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 4; }));
    for (int round = 0; round < 25; ++round) {
        for (int i = 0; i < 4; ++i) {
            const std::string text = std::to_string(i) + ":" + std::to_string(round);
            ASSERT_TRUE(devices[i]->connector.send(QByteArray::fromStdString(text)).hasValue());
        }
    }
    ASSERT_TRUE(waitUntil([&] { return host.blocks.size() == 100; }));
    std::vector<int> nextRound(4, 0);
    for (const auto& [bytes, peer] : host.blocks) {
        const int device = bytes.split(':').front().toInt();
        EXPECT_EQ(peer->displayName(), "Device " + std::to_string(device));
        EXPECT_EQ(bytes.split(':').back().toInt(), nextRound[device]++);
    }
    // The handles are the ones the link reported as connected.
    for (const auto& [bytes, peer] : host.blocks) {
        EXPECT_NE(std::find(host.connected.begin(), host.connected.end(), peer),
                  host.connected.end());
    }
}

TEST(PeerLinkHost, SendFailsForPeersThatAreNotConnected) {
    auto link = startedHost();
    LinkRecorder host(*link);
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    const PeerHandle peer = host.connected.front();

    // Handles are equal only when they are the same object, whatever their names.
    const auto lookalike = std::make_shared<const Peer>("Phone");
    auto result = link->send("x", lookalike);
    ASSERT_FALSE(result.hasValue());
    EXPECT_NE(result.error().description.find("not connected"), std::string::npos);
    EXPECT_FALSE(link->send("x", nullptr).hasValue());

    device.connector.close();
    ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == 1; }));
    result = link->send("x", peer);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error().description, "Peer Phone is not connected.");

    PeerLink neverStarted(PeerLinkMode::host, "Studio", loopbackOptions());
    EXPECT_FALSE(neverStarted.send("x", peer).hasValue());
}

TEST(PeerLinkHost, SessionsUnderOneNameBothStayUntilTheOwnerClosesOne) {
    auto link = startedHost();
    LinkRecorder host(*link);
    TestDevice first;
    ASSERT_TRUE(first.connectTo(link->listeningPort(), "Phone"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    host.events.clear();

    // Anyone may connect under a paired device's name; that alone must not end its session.
    TestDevice second;
    ASSERT_TRUE(second.connectTo(link->listeningPort(), "Phone"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 2; }));
    runFor(100ms);
    EXPECT_EQ(first.connector.state(), PeerState::connected);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{securing, "status:Connected to Phone", "connected:Phone"}));
    EXPECT_NE(host.connected[1], host.connected[0]);
    EXPECT_EQ(link->connectedPeers(), host.connected);

    // Each handle reaches its own session.
    ASSERT_TRUE(link->send("to the first", host.connected[0]).hasValue());
    ASSERT_TRUE(link->send("to the second", host.connected[1]).hasValue());
    ASSERT_TRUE(waitUntil([&] { return first.blocks.size() == 1 && second.blocks.size() == 1; }));
    EXPECT_EQ(first.blocks.front(), QByteArray("to the first"));
    EXPECT_EQ(second.blocks.front(), QByteArray("to the second"));

    // The owner ends the older one once it knows the newer one is the same device.
    link->close(host.connected[0], QWebSocketProtocol::CloseCodeNormal, QStringLiteral("Replaced"));
    ASSERT_EQ(host.disconnected, (std::vector<PeerHandle>{host.connected[0]}));
    ASSERT_EQ(host.ended.size(), 1u);
    EXPECT_EQ(host.ended.front().second, SessionEnd::closedByOwner);
    ASSERT_TRUE(first.waitForState(PeerState::notConnected));
    EXPECT_EQ(first.connector.closeCode(), 1000);
    EXPECT_EQ(link->connectedPeers(), (std::vector<PeerHandle>{host.connected[1]}));
    EXPECT_FALSE(link->send("to the first", host.connected[0]).hasValue());
    EXPECT_EQ(second.connector.state(), PeerState::connected);
}

TEST(PeerLinkHost, OversizedMessageClosesThatSessionWithCode1009) {
    auto link = startedHost();
    LinkRecorder host(*link);
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    TestDevice bystander;
    ASSERT_TRUE(bystander.connectTo(link->listeningPort(), "Tablet"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 2; }));

    const QByteArray largest = block(16 * 1024 * 1024, 1);
    ASSERT_TRUE(device.connector.send(largest).hasValue());
    ASSERT_TRUE(waitUntil([&] { return host.blocks.size() == 1; }));
    EXPECT_EQ(host.blocks.front().first, largest);

    ASSERT_TRUE(device.connector.send(largest + "!").hasValue());
    ASSERT_TRUE(device.waitForState(PeerState::notConnected));
    EXPECT_EQ(device.connector.closeCode(), 1009);
    ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == 1; }));
    EXPECT_EQ(host.disconnected.front()->displayName(), "Phone");
    EXPECT_EQ(host.blocks.size(), 1u);
    EXPECT_EQ(bystander.connector.state(), PeerState::connected);
}

TEST(PeerLinkHost, SilentDeviceIsPingedAndDroppedAfterTheTimeout) {
    PeerLinkOptions options = loopbackOptions();
    options.pingInterval = 50ms;
    options.peerTimeout = 1s;
    auto link = startedHost(options);
    LinkRecorder host(*link);

    // Completes the upgrade, then never answers anything: a device that vanished.
    RawDevice silent(link->listeningPort());
    ASSERT_TRUE(silent.encrypted());
    silent.send(RawDevice::upgradeRequest("/session?peer=Ghost"));
    EXPECT_TRUE(silent.answerHeader().startsWith("HTTP/1.1 101"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == 1; }));
    EXPECT_TRUE(silent.waitForClose());
    EXPECT_GE(silent.pingsReceived(), 2);
    EXPECT_TRUE(link->connectedPeers().empty());
    EXPECT_EQ(link->statusText().toStdString(), "Available on local network");
}

TEST(PeerLinkHost, DeviceThatAnswersPingsStaysConnected) {
    PeerLinkOptions options = loopbackOptions();
    options.pingInterval = 50ms;
    options.peerTimeout = 3s;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    runFor(1500ms);
    EXPECT_TRUE(host.disconnected.empty());
    EXPECT_EQ(device.connector.state(), PeerState::connected);
}

TEST(PeerLinkHost, DeviceWhoseConnectionBreaksIsReportedGone) {
    auto link = startedHost();
    LinkRecorder host(*link);
    RawDevice device(link->listeningPort());
    device.send(RawDevice::upgradeRequest("/session?peer=Phone"));
    ASSERT_TRUE(device.answerHeader().startsWith("HTTP/1.1 101"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    device.abort(); // no close handshake, no TLS close
    ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == 1; }));
    EXPECT_TRUE(link->connectedPeers().empty());
}

TEST(PeerLinkHost, DeviceThatNeverFinishesItsInvitationIsCut) {
    PeerLinkOptions options = loopbackOptions();
    options.handshakeTimeout = 300ms;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    RawDevice device(link->listeningPort());
    ASSERT_TRUE(device.encrypted());
    device.send("GET /session?peer=Slow HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    EXPECT_TRUE(device.waitForClose());
    EXPECT_TRUE(host.events.empty());
}

TEST(PeerLinkHost, AtMost32SessionsAndFurtherInvitationsGet503) {
    auto link = startedHost();
    LinkRecorder host(*link);
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < 32; ++i) {
        devices.push_back(std::make_unique<TestDevice>());
        ASSERT_TRUE(devices.back()->connectTo(link->listeningPort(), "D" + std::to_string(i)));
    }
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 32; }));
    host.events.clear();

    RawDevice extra(link->listeningPort());
    extra.send(RawDevice::upgradeRequest("/session?peer=D32"));
    EXPECT_TRUE(extra.answerHeader().startsWith("HTTP/1.1 503 "));
    EXPECT_TRUE(extra.waitForClose());
    EXPECT_TRUE(host.events.empty());

    // A device coming back under its name needs a place too, and takes none from its session.
    RawDevice returning(link->listeningPort());
    returning.send(RawDevice::upgradeRequest("/session?peer=D5"));
    EXPECT_TRUE(returning.answerHeader().startsWith("HTTP/1.1 503 "));
    EXPECT_EQ(devices[5]->connector.state(), PeerState::connected);

    // A place that frees up can be taken.
    devices[0]->connector.close();
    ASSERT_TRUE(waitUntil([&] { return host.disconnected.size() == 1; }));
    TestDevice late;
    EXPECT_TRUE(late.connectTo(link->listeningPort(), "D32"));
    EXPECT_EQ(link->connectedPeers().size(), 32u);
}

TEST(PeerLinkHost, MaximumOfSessionsIsAnOption) {
    PeerLinkOptions options = loopbackOptions();
    options.maxSessions = 1;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    TestDevice first;
    ASSERT_TRUE(first.connectTo(link->listeningPort(), "One"));
    TestDevice second;
    EXPECT_FALSE(second.connectTo(link->listeningPort(), "Two"));
    EXPECT_NE(second.connector.endReason().indexOf("503"), -1)
        << second.connector.endReason().toStdString();
}

TEST(PeerLinkHost, OpeningAndClosingManySessionsLeavesNothingBehind) {
    auto link = startedHost();
    LinkRecorder host(*link);
    const auto cycle = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            TestDevice device;
            ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone " + std::to_string(i % 3)));
            ASSERT_TRUE(link->send("hello", link->connectedPeers().front()).hasValue());
            ASSERT_TRUE(waitUntil([&] { return device.blocks.size() == 1; }));
            if (i % 2 == 0) {
                device.connector.close();
            } // else the device goes with its connector
        }
        ASSERT_TRUE(waitUntil([&] { return link->connectedPeers().empty(); }));
    };
    cycle(3); // warms up what is made once (TLS backend, event notifiers)
    runFor(100ms);
    const int descriptors = openDescriptorCount();
    const auto objects = link->findChildren<QObject*>().size();

    cycle(40);
    EXPECT_TRUE(waitUntil([&] {
        return openDescriptorCount() <= descriptors &&
               link->findChildren<QObject*>().size() <= objects;
    }));
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(link->findChildren<QObject*>().size(), objects);
    EXPECT_EQ(host.connected.size(), 43u);
    EXPECT_EQ(host.disconnected.size(), 43u);
}

TEST(PeerLinkHost, PortInUseMeansAdvertisingFailedAndNothingListens) {
    auto first = startedHost();
    PeerLinkOptions options = loopbackOptions();
    options.port = first->listeningPort();
    options.advertise = true;
    PeerLink second(PeerLinkMode::host, "Studio", options);
    second.start();
    EXPECT_EQ(second.statusText().toStdString(),
              "Advertising failed: The bound address is already in use");
    EXPECT_EQ(second.listeningPort(), 0);
}

TEST(PeerLinkHost, WithoutAvahiAdvertisingFailsButDevicesStillConnect) {
    PeerLinkOptions options = loopbackOptions();
    options.advertise = true; // the test program's system bus leads nowhere
    PeerLink link(PeerLinkMode::host, "Studio", options);
    link.start();
    waitUntil([&] { return link.statusText().startsWith("Advertising failed: "); }, 10s);
    EXPECT_TRUE(link.statusText().startsWith("Advertising failed: "))
        << link.statusText().toStdString();
    EXPECT_GT(link.statusText().size(), QString("Advertising failed: ").size());
    ASSERT_NE(link.listeningPort(), 0);
    // The link says what is missing and how to start it, and goes on saying it while devices
    // come and go by address: nothing is "available" by name.
    const auto saysWhy = [&] {
        const QString status = link.statusText();
        return status.contains("Advertising failed: ") &&
               status.contains("Devices cannot find this bridge by name") &&
               status.contains("sudo systemctl enable --now avahi-daemon");
    };
    EXPECT_TRUE(saysWhy()) << link.statusText().toStdString();
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link.listeningPort(), "Phone"));
    waitUntil([&] { return link.statusText().startsWith("Connected to "); }, 10s);
    EXPECT_TRUE(saysWhy()) << link.statusText().toStdString();
    device.connector.close();
    waitUntil([&] { return link.connectedPeers().empty(); }, 10s);
    EXPECT_TRUE(saysWhy()) << link.statusText().toStdString();
    EXPECT_FALSE(link.statusText().contains("Available on local network"));
}

TEST(PeerLinkClient, WithoutAvahiDiscoveryFails) {
    PeerLink link(PeerLinkMode::client, "Phone");
    link.start();
    EXPECT_TRUE(link.statusText().startsWith("Discovery failed: "))
        << link.statusText().toStdString();
    EXPECT_EQ(link.listeningPort(), 0);
    EXPECT_TRUE(link.discoveredPeers().empty());
}

TEST(PeerConnector, RefusesNamesNoHostWouldAccept) {
    PeerConnector connector;
    std::vector<PeerState> states;
    QObject::connect(&connector, &PeerConnector::stateChanged, &connector,
                     [&](PeerState state) { states.push_back(state); });
    for (const std::string& name :
         {std::string(), std::string(64, 'x'), std::string("a\nb"), std::string("\xFF")}) {
        EXPECT_FALSE(connector.open(QStringLiteral("127.0.0.1"), 1, name).hasValue());
    }
    EXPECT_TRUE(states.empty());
    EXPECT_FALSE(connector.send("x").hasValue());
}

TEST(PeerConnector, HostThatIsNotThereEndsTheSession) {
    // A port that was just free: bound by a host that is gone again.
    quint16 port = 0;
    {
        auto link = startedHost();
        port = link->listeningPort();
    }
    TestDevice device;
    EXPECT_FALSE(device.connectTo(port, "Phone"));
    EXPECT_EQ(device.states,
              (std::vector<PeerState>{PeerState::connecting, PeerState::notConnected}));
    EXPECT_FALSE(device.connector.endReason().isEmpty());
}

TEST(PeerConnector, ConnectsOverIPv6Loopback) {
    if (QTcpServer probe; !probe.listen(QHostAddress::LocalHostIPv6)) {
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    }
    PeerLinkOptions options = loopbackOptions();
    options.listenAddress = QHostAddress::Any;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    TestDevice device;
    ASSERT_TRUE(
        device.connector.open(QStringLiteral("::1"), link->listeningPort(), "Phone6").hasValue());
    ASSERT_TRUE(device.waitForState(PeerState::connected));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    EXPECT_EQ(host.connected.front()->displayName(), "Phone6");
}
