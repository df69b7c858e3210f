// Peers that try to make the host spend memory, time or places it owes paired devices, over real
// TLS WebSocket sessions on loopback. Other loopback addresses (127.0.0.2) stand for other
// machines on the network.
#include "LinkTestSupport.h"
#include "link/LinkTls.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QWebSocket>

#include <gtest/gtest.h>

#include <algorithm>

using namespace tarnwick;
using namespace tarnwick::test;

namespace {

const QHostAddress elsewhere(QStringLiteral("127.0.0.2"));

constexpr int binaryFrame = 0x2;
constexpr int continuationFrame = 0x0;
constexpr int pongFrame = 0xA;

// A block that says which one it is.
QByteArray numbered(int i, int size) {
    return QByteArray::number(i).leftJustified(size, '.');
}

} // namespace

// Before authorisation a message holds at most 64 KiB, after it 16 MiB; a message over the limit
// of its session's stage ends that session alone.
TEST(LinkUnderAttack, LargeMessagesBeforeAuthorisationAreRefusedWithoutWaitingForThem) {
    LinkRig rig;
    rig.host.authorise = false;

    // A paired device beside the attackers, whose pings the host keeps answering.
    QWebSocket paired;
    paired.setSslConfiguration(deviceTlsConfiguration());
    paired.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/session?peer=Paired").arg(rig.port())));
    ASSERT_TRUE(waitUntil([&] {
        return rig.host.connected.size() == 1 && paired.state() == QAbstractSocket::ConnectedState;
    }));
    rig.link->setSessionStage(rig.host.connected.front(), SessionStage::authorised);
    int pongs = 0;
    QObject::connect(&paired, &QWebSocket::pong, &paired, [&] { ++pongs; });

    // The header of a 16 MiB message and its first KiB: the rest never comes, so the host can
    // only close the session from the header.
    RawDevice announcer(rig.port(), elsewhere);
    ASSERT_TRUE(announcer.upgrade("Announcer"));
    announcer.send(RawDevice::frame(binaryFrame, QByteArray(1024, '0'), true, 16 * 1024 * 1024));
    paired.ping("during");
    EXPECT_EQ(announcer.waitForCloseCode(), 1009);
    EXPECT_TRUE(waitUntil([&] { return pongs == 1; }));

    // Small frames that add up to more than a message may hold.
    RawDevice fragmenter(rig.port(), elsewhere);
    ASSERT_TRUE(fragmenter.upgrade("Fragmenter"));
    const QByteArray part(40 * 1024, 'f');
    fragmenter.send(RawDevice::frame(binaryFrame, part, false) +
                    RawDevice::frame(continuationFrame, part, true));
    EXPECT_EQ(fragmenter.waitForCloseCode(), 1009);

    // A device that sticks to the limit is served, one byte more ends its session.
    TestDevice device;
    ASSERT_TRUE(rig.connect(device, "Phone"));
    ASSERT_TRUE(device.connector.send(QByteArray(64 * 1024, 'a')).hasValue());
    ASSERT_TRUE(waitUntil([&] { return rig.host.blocks.size() == 1; }));
    EXPECT_EQ(rig.host.blocks.front().first.size(), 64 * 1024);
    ASSERT_TRUE(device.connector.send(QByteArray(64 * 1024 + 1, 'b')).hasValue());
    ASSERT_TRUE(device.waitForState(PeerState::notConnected));
    EXPECT_EQ(device.connector.closeCode(), 1009);

    ASSERT_TRUE(waitUntil([&] { return rig.host.ended.size() == 3; }));
    EXPECT_EQ(rig.host.endOf("Announcer"), SessionEnd::tooLarge);
    EXPECT_EQ(rig.host.endOf("Fragmenter"), SessionEnd::tooLarge);
    EXPECT_EQ(rig.host.endOf("Phone"), SessionEnd::tooLarge);
    EXPECT_EQ(paired.state(), QAbstractSocket::ConnectedState);

    const QByteArray largest = patterned(16 * 1024 * 1024, 1);
    paired.sendBinaryMessage(largest);
    ASSERT_TRUE(waitUntil([&] { return rig.host.blocks.size() == 2; }));
    EXPECT_EQ(rig.host.blocks.back().first, largest);
    // The largest message in one frame, as a browser sends it.
    RawDevice whole(rig.port());
    rig.link->setSessionStage(rig.upgrade(whole, "Whole"), SessionStage::authorised);
    whole.send(RawDevice::frame(binaryFrame, largest));
    ASSERT_TRUE(waitUntil([&] { return rig.host.blocks.size() == 3; }));
    EXPECT_EQ(rig.host.blocks.back().first, largest);
    paired.sendBinaryMessage(largest + "!");
    ASSERT_TRUE(waitUntil([&] { return paired.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(paired.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    EXPECT_EQ(rig.host.endOf("Paired"), SessionEnd::tooLarge);
    EXPECT_EQ(rig.host.blocks.size(), 3u);
}

// Connections that never speak TLS or never finish their invitation, sessions that do not go on
// to pairing, that talk but answer no ping, or that take nothing for the stall time are each cut
// at their deadline.
TEST(LinkUnderAttack, SessionsThatStopProgressingEndAtTheirDeadline) {
    LinkHostOptions options = loopbackOptions();
    options.timings.handshakeTimeout = 300ms;
    options.timings.helloTimeout = 300ms;
    options.timings.pairingTimeout = 2s;
    options.timings.pingInterval = 50ms;
    options.timings.peerTimeout = 1s;
    options.timings.writeStallTimeout = 500ms;
    LinkRig rig(options);
    rig.host.authorise = false;
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, rig.port());
    ASSERT_TRUE(waitUntil([&] { return plain.state() == QAbstractSocket::ConnectedState; }));
    plain.write(RawDevice::upgradeRequest("/session?peer=Plain"));
    RawDevice slow(rig.port());
    ASSERT_TRUE(slow.encrypted());
    slow.send("GET /session?peer=Slow HTTP/1.1\r\nHost: 127.0.0.1\r\n");

    TestDevice silent, pairing, paired;
    ASSERT_TRUE(rig.connect(silent, "Silent"));
    rig.link->setSessionStage(rig.connect(pairing, "Pairing"), SessionStage::awaitingUser);
    const PeerHandle pairedPeer = rig.connect(paired, "Paired");
    rig.link->setSessionStage(pairedPeer, SessionStage::authorised);

    // Less than the bound, but more than the system buffers take: some of it must wait.
    RawDevice stalled(rig.port());
    const PeerHandle toStalled = rig.upgrade(stalled, "Stalled");
    rig.link->setSessionStage(toStalled, SessionStage::authorised);
    stalled.stopReading();
    for (int i = 0; i < 7 * 16; ++i) {
        ASSERT_TRUE(rig.link->send(numbered(i, 64 * 1024), toStalled).hasValue());
    }

    // Talks all the time and sends pongs of its own, but answers no ping.
    RawDevice chatty(rig.port());
    rig.link->setSessionStage(rig.upgrade(chatty, "Chatty"), SessionStage::authorised);
    ASSERT_TRUE(waitUntil([&] {
        chatty.send(RawDevice::frame(binaryFrame, "chatter") +
                    RawDevice::frame(pongFrame, "12345678"));
        runFor(20ms);
        return rig.host.endOf("Chatty").has_value();
    }));
    EXPECT_EQ(rig.host.endOf("Chatty"), SessionEnd::unanswered);
    EXPECT_GE(std::ranges::count(chatty.frames(), 0x9, &RawDevice::Frame::opcode), 2); // pings
    EXPECT_FALSE(rig.host.blocks.empty());
    EXPECT_TRUE(chatty.waitForClose());
    EXPECT_TRUE(waitUntil([&] { return rig.host.endOf("Stalled").has_value(); }));
    EXPECT_EQ(rig.host.endOf("Stalled"), SessionEnd::notReading);

    ASSERT_TRUE(silent.waitForState(PeerState::notConnected));
    EXPECT_EQ(silent.connector.closeCode(), 1008);
    EXPECT_EQ(rig.host.endOf("Silent"), SessionEnd::handshakeOverdue);
    EXPECT_EQ(pairing.connector.state(), PeerState::connected);

    ASSERT_TRUE(pairing.waitForState(PeerState::notConnected));
    EXPECT_EQ(pairing.connector.closeCode(), 1000);
    EXPECT_EQ(rig.host.endOf("Pairing"), SessionEnd::pairingOverdue);
    EXPECT_EQ(paired.connector.state(), PeerState::connected);
    EXPECT_EQ(rig.link->connectedPeers(), (std::vector<PeerHandle>{pairedPeer}));
    EXPECT_TRUE(slow.waitForClose());
    EXPECT_TRUE(waitUntil([&] { return plain.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(rig.host.connected.size(), 5u);
    EXPECT_EQ(rig.host.ended.size(), 4u);
}

TEST(LinkUnderAttack, SquattersFromOneAddressDoNotLockOutPairedDevices) {
    LinkHostOptions options = loopbackOptions();
    // Squatters never time out during the test: only the quotas can make room.
    options.timings.handshakeTimeout = 10min;
    options.timings.helloTimeout = 10min;
    LinkRig rig(options);

    // A device on the attacker's machine that was paired before the attack.
    RawDevice laptop(rig.port(), elsewhere);
    const PeerHandle toLaptop = rig.upgrade(laptop, "Laptop");
    ASSERT_TRUE(toLaptop);

    rig.host.authorise = false;
    std::vector<std::unique_ptr<RawDevice>> squatters;
    for (int i = 0; i < 32; ++i) {
        squatters.push_back(std::make_unique<RawDevice>(rig.port(), elsewhere));
        ASSERT_TRUE(squatters.back()->upgrade("Squatter" + QByteArray::number(i)));
    }
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 64; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        stalled.back()->bind(elsewhere);
        stalled.back()->connectToHost(QHostAddress::LocalHost, rig.port());
    }
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(stalled.begin(), stalled.end(), [](const auto& socket) {
            return socket->state() != QAbstractSocket::ConnectingState;
        });
    }));
    runFor(200ms); // the host takes in the last of them
    rig.host.authorise = true;

    // A device from another machine, and a new one from the attacker's.
    TestDevice phone;
    const PeerHandle toPhone = rig.connect(phone, "Phone");
    RawDevice tablet(rig.port(), elsewhere);
    const PeerHandle toTablet = rig.upgrade(tablet, "Tablet");
    ASSERT_TRUE(toPhone && toTablet);

    for (const PeerHandle& peer : {toLaptop, toPhone, toTablet}) {
        const QByteArray text = "to " + QByteArray::fromStdString(peer->displayName());
        ASSERT_TRUE(rig.link->send(text, peer).hasValue()) << text.toStdString();
    }
    ASSERT_TRUE(phone.connector.send("from Phone").hasValue());
    laptop.send(RawDevice::frame(binaryFrame, "from Laptop"));
    ASSERT_TRUE(waitUntil([&] { return phone.blocks.size() == 1 && rig.host.blocks.size() == 2; }));
    EXPECT_EQ(phone.blocks.front(), QByteArray("to Phone"));
    for (RawDevice* device : {&laptop, &tablet}) {
        EXPECT_TRUE(waitUntil([&] {
            return std::ranges::count(device->frames(), binaryFrame, &RawDevice::Frame::opcode) ==
                   1;
        }));
    }
    for (const auto& [bytes, peer] : rig.host.blocks) {
        EXPECT_EQ(bytes, "from " + QByteArray::fromStdString(peer->displayName()));
    }

    // The attacker's address holds no more than its share of unauthorised sessions.
    EXPECT_LE(rig.link->connectedPeers().size(), 3u + 8u);
    EXPECT_TRUE(std::all_of(rig.host.ended.begin(), rig.host.ended.end(), [](const auto& entry) {
        return entry.second == SessionEnd::displaced &&
               entry.first->displayName().starts_with("Squatter");
    }));
}

TEST(LinkUnderAttack, StalledReaderIsClosedAtTheBoundWhileOthersGetEveryBlock) {
    LinkRig rig;
    TestDevice reader;
    const PeerHandle toReader = rig.connect(reader, "Reader");
    RawDevice stalled(rig.port());
    const PeerHandle toStalled = rig.upgrade(stalled, "Stalled");
    ASSERT_TRUE(toReader && toStalled);
    stalled.stopReading();

    // Far more than the bound, 1 KiB at a time, to both.
    int sent = 0;
    while (!rig.host.endOf("Stalled") && sent < 100000) {
        const QByteArray block = numbered(sent++, 1024);
        ASSERT_TRUE(rig.link->send(block, toReader).hasValue());
        (void)rig.link->send(block, toStalled);
        if (sent % 64 == 0) {
            QCoreApplication::processEvents();
        }
    }
    EXPECT_EQ(rig.host.endOf("Stalled"), SessionEnd::notReading);
    EXPECT_FALSE(rig.link->send("more", toStalled).hasValue());

    ASSERT_TRUE(waitUntil([&] { return static_cast<int>(reader.blocks.size()) == sent; }));
    for (int i = 0; i < sent; ++i) {
        ASSERT_EQ(reader.blocks[i], numbered(i, 1024)) << "block " << i;
    }
    stalled.resumeReading();
    EXPECT_EQ(stalled.waitForCloseCode(), 1008);
}
