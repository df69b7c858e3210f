// The host side of the link over real TLS WebSocket sessions on loopback, with devices built
// on the connector (well-behaved) or on raw TLS sockets (everything else).
#include "LinkTestSupport.h"
#include "link/CertificateFingerprint.h"
#include "link/LinkTls.h"

#include <QSslSocket>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

using namespace tarnwick;
using namespace tarnwick::test;

TEST(LinkHost, StartsOnceAndTakesASessionThroughItsStatesWithOneEventEach) {
    LinkRig rig;
    const quint16 port = rig.port();
    EXPECT_TRUE(rig.link->webAddress().ends_with(":" + std::to_string(port) + "/"));
    EXPECT_TRUE(std::regex_match(rig.link->peerName(), std::regex("Studio-[0-9A-F]{4}")))
        << rig.link->peerName();
    rig.link->start(); // a second start changes nothing
    EXPECT_EQ(rig.port(), port);

    TestDevice device;
    const PeerHandle peer = rig.connect(device, "Phone");
    ASSERT_TRUE(peer);
    EXPECT_EQ(rig.link->connectedPeers(), (std::vector<PeerHandle>{peer}));
    EXPECT_EQ(device.connector.subprotocol().toStdString(), "tarnwick.v1");

    device.connector.close();
    ASSERT_TRUE(waitUntil([&] { return rig.host.disconnected.size() == 1; }));
    runFor(200ms); // nothing else may follow
    EXPECT_EQ(rig.host.events,
              (std::vector<std::string>{
                  "status:Securing connection\u2026", "status:Connected to Phone",
                  "connected:Phone", "status:Available on local network", "disconnected:Phone"}));
    EXPECT_EQ(rig.host.disconnected.front(), peer);
    EXPECT_EQ(rig.host.endOf("Phone"), SessionEnd::closed);
    EXPECT_TRUE(rig.link->connectedPeers().empty());
    EXPECT_EQ(device.states, (std::vector<PeerState>{PeerState::connecting, PeerState::connected,
                                                     PeerState::notConnected}));

    // Its port taken, a second host says so and listens nowhere.
    LinkHostOptions options = loopbackOptions();
    options.port = port;
    options.advertise = true;
    LinkHost second("Studio", options);
    EXPECT_EQ(second.statusText(), "Starting\u2026");
    second.start();
    EXPECT_EQ(second.statusText(), "Advertising failed: The bound address is already in use");
    EXPECT_EQ(second.listeningPort(), 0);
    EXPECT_NE(second.peerName(), rig.link->peerName()); // drawn afresh (1 in 65536 alike)
}

// The subprotocols a device offers settle its handshake version, and its text messages are
// blocks like binary ones.
TEST(LinkHost, TheOfferedSubprotocolsSettleEachPeersHandshakeVersion) {
    LinkRig rig;
    const std::vector<std::tuple<QByteArray, std::string, int>> cases = {
        {"tarnwick.v2, tarnwick.v1", "tarnwick.v2", 2},
        {"tarnwick.v1, tarnwick.v2", "tarnwick.v1", 1}, // the device's order decides
        {"", "", 1},                                    // echoed only when offered
        {"tarnwick.v3", "", 1},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [offered, chosen, version] = cases[i];
        SCOPED_TRACE(offered.toStdString());
        RawDevice device(rig.port());
        device.send(RawDevice::upgradeRequest(
            "/session?peer=D",
            offered.isEmpty() ? "" : "Sec-WebSocket-Protocol: " + offered + "\r\n"));
        EXPECT_EQ(device.next(true).header("sec-websocket-protocol"), chosen);
        ASSERT_TRUE(waitUntil([&] { return rig.host.connected.size() == i + 1; }));
        // Settled by the time the peer is reported connected.
        EXPECT_EQ(rig.host.versionsAtConnect.back(), version);
        device.send(RawDevice::frame(0x1, "{\"text\":\"é\"}"));
        ASSERT_TRUE(waitUntil([&] { return rig.host.blocks.size() == i + 1; }));
        EXPECT_EQ(rig.host.blocks.back().first, QByteArray("{\"text\":\"é\"}"));
    }
}

// A device gets TLS 1.3; one that asks for TLS 1.2 gets only forward-secret AEAD suites.
TEST(LinkHost, SpeaksTls13AndRefusesTls12SuitesWithoutForwardSecrecyOrAead) {
    auto link = startedHost();
    QSslSocket device;
    device.setSslConfiguration(deviceTlsConfiguration());
    device.connectToHostEncrypted(QStringLiteral("127.0.0.1"), link->listeningPort());
    ASSERT_TRUE(waitUntil([&] { return device.isEncrypted(); }));
    EXPECT_EQ(device.sessionProtocol(), QSsl::TlsV1_3);
    EXPECT_EQ(certificateFingerprint(device.peerCertificate()), link->certificateFingerprint());
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
}

// One writer per socket: pings and messages sent while the device reads nothing come out as
// whole frames, continuations only within a message, every message in order.
TEST(LinkHost, PingsAndMessagesNeverInterleaveWithinAFrame) {
    LinkHostOptions options = loopbackOptions();
    options.timings.pingInterval = 20ms;
    LinkRig rig(options);
    RawDevice device(rig.port());
    const PeerHandle peer = rig.upgrade(device, "Raw");
    ASSERT_TRUE(peer);
    device.stopReading();
    const std::vector<QByteArray> blocks{QByteArray(), patterned(12 * 1024 * 1024 + 5, 7), "after"};
    for (const QByteArray& bytes : blocks) {
        ASSERT_TRUE(rig.link->send(bytes, peer).hasValue());
    }
    runFor(300ms); // pings are due while the blocks wait for the device
    device.resumeReading();

    // Taken apart once the last message is there (looked for only once nearly everything is).
    const qsizetype payload = blocks[1].size() + blocks[2].size();
    ASSERT_TRUE(waitUntil([&] {
        return device.bytesReceived() > payload &&
               std::ranges::count(device.frames(), blocks[2], &RawDevice::Frame::payload) == 1;
    }));
    std::vector<QByteArray> messages;
    int pings = 0;
    std::optional<QByteArray> open;
    for (const RawDevice::Frame& frame : device.frames()) {
        if (frame.opcode >= 8) {
            pings += frame.opcode == 9 ? 1 : 0;
            continue;
        }
        EXPECT_EQ(frame.opcode, open ? 0 : 2) << "a continuation only within a message";
        open = open.value_or(QByteArray()) + frame.payload;
        if (frame.final) {
            messages.push_back(*open);
            open.reset();
        }
    }
    EXPECT_GE(pings, 1);
    EXPECT_EQ(messages, blocks);
}

// Each session is its own peer, whatever its name: anyone may connect under a paired device's
// name, and that alone must not end or reach its session.
TEST(LinkHost, EverySessionIsItsOwnPeerUntilTheOwnerClosesIt) {
    LinkRig rig;
    std::vector<std::unique_ptr<TestDevice>> devices;
    std::vector<PeerHandle> peers;
    for (const char* name : {"Phone", "Phone", "Tablet", "Laptop"}) {
        devices.push_back(std::make_unique<TestDevice>());
        peers.push_back(rig.connect(*devices.back(), name));
        ASSERT_TRUE(peers.back()) << name;
    }
    EXPECT_EQ(rig.link->connectedPeers(), peers); // in the order of admission
    // Blocks of many sizes both ways, some over one frame, each in its order.
    std::vector<std::vector<QByteArray>> sent(devices.size());
    for (int round = 0; round < 25; ++round) {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            sent[i].push_back(QByteArray::number(i) + ":" +
                              patterned(round % 7 == 0 ? 70000 : round * 13, round));
            ASSERT_TRUE(devices[i]->connector.send(sent[i].back()).hasValue());
            ASSERT_TRUE(rig.link->send(sent[i].back(), peers[i]).hasValue());
        }
    }
    ASSERT_TRUE(waitUntil([&] { return rig.host.blocks.size() == 100; }));
    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::vector<QByteArray> fromDevice;
        for (const auto& [bytes, peer] : rig.host.blocks) {
            if (peer == peers[i]) {
                fromDevice.push_back(bytes);
            }
        }
        EXPECT_EQ(fromDevice, sent[i]);
        ASSERT_TRUE(waitUntil([&] { return devices[i]->blocks.size() == 25; }));
        EXPECT_EQ(devices[i]->blocks, sent[i]);
    }

    // The owner ends the older "Phone" once it knows the newer one is the same device.
    rig.link->closeSession(peers[0], "Replaced", SessionClose::normal);
    ASSERT_EQ(rig.host.disconnected, (std::vector<PeerHandle>{peers[0]}));
    EXPECT_EQ(rig.host.endOf("Phone"), SessionEnd::closedByOwner);
    ASSERT_TRUE(devices[0]->waitForState(PeerState::notConnected));
    EXPECT_EQ(devices[0]->connector.closeCode(), 1000);
    EXPECT_FALSE(rig.link->send("to the first", peers[0]).hasValue());
    EXPECT_EQ(devices[1]->connector.state(), PeerState::connected);
    // Handles are equal only when they are the same object, whatever their names.
    EXPECT_FALSE(rig.link->send("x", std::make_shared<const Peer>("Tablet")).hasValue());
    EXPECT_FALSE(rig.link->send("x", nullptr).hasValue());
}

TEST(LinkHost, AtMost32SessionsAndFurtherInvitationsGet503) {
    LinkRig rig;
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < 32; ++i) {
        devices.push_back(std::make_unique<TestDevice>());
        ASSERT_TRUE(rig.connect(*devices.back(), "D" + std::to_string(i)));
    }
    rig.host.events.clear();

    RawDevice extra(rig.port());
    extra.send(RawDevice::upgradeRequest("/session?peer=D32"));
    EXPECT_EQ(extra.next().status, 503);
    EXPECT_TRUE(extra.waitForClose());
    EXPECT_TRUE(rig.host.events.empty());

    // A device coming back under its name needs a place too, and takes none from its session.
    RawDevice returning(rig.port());
    returning.send(RawDevice::upgradeRequest("/session?peer=D5"));
    EXPECT_EQ(returning.next().status, 503);
    EXPECT_EQ(devices[5]->connector.state(), PeerState::connected);

    // A place that frees up can be taken.
    devices[0]->connector.close();
    ASSERT_TRUE(waitUntil([&] { return rig.host.disconnected.size() == 1; }));
    TestDevice late;
    EXPECT_TRUE(rig.connect(late, "D32"));
    EXPECT_EQ(rig.link->connectedPeers().size(), 32u);
}

TEST(LinkHost, OpeningAndClosingManySessionsLeavesNothingBehind) {
    LinkRig rig;
    const auto cycle = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            TestDevice device;
            const PeerHandle peer = rig.connect(device, "Phone " + std::to_string(i % 3));
            ASSERT_TRUE(peer);
            ASSERT_TRUE(rig.link->send("hello", peer).hasValue());
            ASSERT_TRUE(waitUntil([&] { return device.blocks.size() == 1; }));
            if (i % 2 == 0) {
                device.connector.close();
            } // else the connector goes and breaks the connection, with no close handshake
        }
        ASSERT_TRUE(waitUntil([&] { return rig.link->connectedPeers().empty(); }));
    };
    cycle(3); // warms up what is made once (TLS backend, event notifiers)
    runFor(100ms);
    const int descriptors = openDescriptorCount();
    const auto objects = rig.link->findChildren<QObject*>().size();

    cycle(40);
    EXPECT_TRUE(waitUntil([&] {
        return openDescriptorCount() <= descriptors &&
               rig.link->findChildren<QObject*>().size() <= objects;
    }));
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(rig.link->findChildren<QObject*>().size(), objects);
    EXPECT_EQ(rig.link->sessionCount(), 0u);
    EXPECT_EQ(rig.host.disconnected.size(), 43u);
}

TEST(PeerConnector, ConnectsOverIPv6Loopback) {
    if (QTcpServer probe; !probe.listen(QHostAddress::LocalHostIPv6)) {
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    }
    LinkHostOptions options = loopbackOptions();
    options.listenAddress = QHostAddress::Any;
    LinkRig rig(options);
    TestDevice device;
    EXPECT_TRUE(rig.connect(device, "Phone6", QStringLiteral("::1")));
}
