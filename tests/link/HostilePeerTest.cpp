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

std::optional<SessionEnd> endOf(const LinkRecorder& host, const std::string& name) {
    for (const auto& [peer, reason] : host.ended) {
        if (peer->displayName() == name) {
            return reason;
        }
    }
    return std::nullopt;
}

PeerHandle peerNamed(const PeerLink& link, const std::string& name) {
    for (const auto& peer : link.connectedPeers()) {
        if (peer->displayName() == name) {
            return peer;
        }
    }
    return nullptr;
}

// A block that says which one it is.
QByteArray numbered(int i, int size) {
    QByteArray bytes = QByteArray::number(i).leftJustified(size, '.');
    return bytes;
}

} // namespace

TEST(LinkUnderAttack, LargeMessagesBeforeAuthorisationAreRefusedWithoutWaitingForThem) {
    auto link = startedHost();
    LinkRecorder host(*link);
    host.authorise = false;

    // A paired device beside the attackers, whose pings the host keeps answering.
    QWebSocket paired;
    paired.setSslConfiguration(deviceTlsConfiguration());
    paired.open(
        QUrl(QStringLiteral("wss://127.0.0.1:%1/session?peer=Paired").arg(link->listeningPort())));
    ASSERT_TRUE(waitUntil([&] {
        return host.connected.size() == 1 && paired.state() == QAbstractSocket::ConnectedState;
    }));
    link->setSessionStage(host.connected.front(), SessionStage::authorised);
    int pongs = 0;
    QObject::connect(&paired, &QWebSocket::pong, &paired, [&] { ++pongs; });

    // The header of a 16 MiB message and its first KiB: the rest never comes, so the host can
    // only close the session from the header.
    RawDevice announcer(link->listeningPort(), elsewhere);
    ASSERT_TRUE(announcer.upgrade("Announcer"));
    announcer.send(RawDevice::frame(binaryFrame, QByteArray(1024, '0'), true, 16 * 1024 * 1024));
    paired.ping("during");
    ASSERT_TRUE(waitUntil([&] { return announcer.closeCode() != 0 || announcer.closed(); }));
    EXPECT_EQ(announcer.closeCode(), 1009);
    EXPECT_TRUE(waitUntil([&] { return pongs == 1; }));

    // Small frames that add up to more than a message may hold.
    RawDevice fragmenter(link->listeningPort(), elsewhere);
    ASSERT_TRUE(fragmenter.upgrade("Fragmenter"));
    const QByteArray part(40 * 1024, 'f');
    fragmenter.send(RawDevice::frame(binaryFrame, part, false) +
                    RawDevice::frame(continuationFrame, part, true));
    ASSERT_TRUE(waitUntil([&] { return fragmenter.closeCode() != 0 || fragmenter.closed(); }));
    EXPECT_EQ(fragmenter.closeCode(), 1009);

    // A device that sticks to the limit is served, one byte more ends its session.
    TestDevice device;
    ASSERT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
    ASSERT_TRUE(device.connector.send(QByteArray(64 * 1024, 'a')).hasValue());
    ASSERT_TRUE(waitUntil([&] { return host.blocks.size() == 1; }));
    EXPECT_EQ(host.blocks.front().first.size(), 64 * 1024);
    ASSERT_TRUE(device.connector.send(QByteArray(64 * 1024 + 1, 'b')).hasValue());
    ASSERT_TRUE(device.waitForState(PeerState::notConnected));
    EXPECT_EQ(device.connector.closeCode(), 1009);

    ASSERT_TRUE(waitUntil([&] { return host.ended.size() == 3; }));
    EXPECT_EQ(endOf(host, "Announcer"), SessionEnd::tooLarge);
    EXPECT_EQ(endOf(host, "Fragmenter"), SessionEnd::tooLarge);
    EXPECT_EQ(endOf(host, "Phone"), SessionEnd::tooLarge);
    EXPECT_EQ(host.blocks.size(), 1u);
    EXPECT_EQ(paired.state(), QAbstractSocket::ConnectedState);
}

TEST(LinkUnderAttack, UnauthorisedSessionsEndAtTheDeadlineOfTheirStage) {
    PeerLinkOptions options = loopbackOptions();
    options.helloTimeout = 300ms;
    options.pairingTimeout = 2s;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    host.authorise = false;

    TestDevice silent;
    ASSERT_TRUE(silent.connectTo(link->listeningPort(), "Silent"));
    TestDevice pairing;
    ASSERT_TRUE(pairing.connectTo(link->listeningPort(), "Pairing"));
    TestDevice paired;
    ASSERT_TRUE(paired.connectTo(link->listeningPort(), "Paired"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 3; }));
    link->setSessionStage(host.connected[1], SessionStage::awaitingUser);
    link->setSessionStage(host.connected[2], SessionStage::authorised);

    ASSERT_TRUE(silent.waitForState(PeerState::notConnected));
    EXPECT_EQ(silent.connector.closeCode(), 1008);
    EXPECT_EQ(endOf(host, "Silent"), SessionEnd::handshakeOverdue);
    EXPECT_EQ(pairing.connector.state(), PeerState::connected);

    ASSERT_TRUE(pairing.waitForState(PeerState::notConnected));
    EXPECT_EQ(pairing.connector.closeCode(), 1000);
    EXPECT_EQ(endOf(host, "Pairing"), SessionEnd::pairingOverdue);
    EXPECT_EQ(paired.connector.state(), PeerState::connected);
    EXPECT_EQ(link->connectedPeers(), (std::vector<PeerHandle>{host.connected[2]}));
}

TEST(LinkUnderAttack, SquattersFromOneAddressDoNotLockOutPairedDevices) {
    PeerLinkOptions options = loopbackOptions();
    // Squatters never time out during the test: only the quotas can make room.
    options.handshakeTimeout = 10min;
    options.helloTimeout = 10min;
    auto link = startedHost(options);
    LinkRecorder host(*link);

    // A device on the attacker's machine that was paired before the attack.
    RawDevice laptop(link->listeningPort(), elsewhere);
    ASSERT_TRUE(laptop.upgrade("Laptop"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));

    host.authorise = false;
    std::vector<std::unique_ptr<RawDevice>> squatters;
    for (int i = 0; i < 32; ++i) {
        squatters.push_back(std::make_unique<RawDevice>(link->listeningPort(), elsewhere));
        ASSERT_TRUE(squatters.back()->upgrade("Squatter" + QByteArray::number(i)));
    }
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 64; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        stalled.back()->bind(elsewhere);
        stalled.back()->connectToHost(QHostAddress::LocalHost, link->listeningPort());
    }
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(stalled.begin(), stalled.end(), [](const auto& socket) {
            return socket->state() != QAbstractSocket::ConnectingState;
        });
    }));
    runFor(200ms); // the host takes in the last of them
    host.authorise = true;

    // A device from another machine, and a new one from the attacker's.
    TestDevice phone;
    ASSERT_TRUE(phone.connectTo(link->listeningPort(), "Phone"));
    RawDevice tablet(link->listeningPort(), elsewhere);
    ASSERT_TRUE(tablet.upgrade("Tablet"));
    ASSERT_TRUE(waitUntil([&] { return peerNamed(*link, "Tablet") != nullptr; }));

    for (const char* name : {"Laptop", "Phone", "Tablet"}) {
        ASSERT_TRUE(link->send(QByteArray("to ") + name, peerNamed(*link, name)).hasValue())
            << name;
    }
    ASSERT_TRUE(phone.connector.send("from Phone").hasValue());
    laptop.send(RawDevice::frame(binaryFrame, "from Laptop"));
    ASSERT_TRUE(waitUntil([&] { return phone.blocks.size() == 1 && host.blocks.size() == 2; }));
    EXPECT_EQ(phone.blocks.front(), QByteArray("to Phone"));
    for (RawDevice* device : {&laptop, &tablet}) {
        ASSERT_TRUE(waitUntil([&] {
            const auto frames = device->frames();
            return std::any_of(frames.begin(), frames.end(),
                               [](const auto& f) { return f.opcode == binaryFrame; });
        }));
    }
    std::vector<QByteArray> received;
    for (const auto& [bytes, peer] : host.blocks) {
        received.push_back(bytes);
    }
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<QByteArray>{"from Laptop", "from Phone"}));

    // The attacker's address holds no more than its share of unauthorised sessions.
    EXPECT_LE(link->connectedPeers().size(), 3u + 8u);
    EXPECT_TRUE(std::all_of(host.ended.begin(), host.ended.end(), [](const auto& entry) {
        return entry.second == SessionEnd::displaced &&
               entry.first->displayName().starts_with("Squatter");
    }));
}

TEST(LinkUnderAttack, StalledReaderIsClosedAtTheBoundWhileOthersGetEveryBlock) {
    auto link = startedHost();
    LinkRecorder host(*link);
    TestDevice reader;
    ASSERT_TRUE(reader.connectTo(link->listeningPort(), "Reader"));
    RawDevice stalled(link->listeningPort());
    ASSERT_TRUE(stalled.upgrade("Stalled"));
    ASSERT_TRUE(waitUntil([&] { return link->connectedPeers().size() == 2; }));
    const PeerHandle toReader = peerNamed(*link, "Reader");
    const PeerHandle toStalled = peerNamed(*link, "Stalled");
    stalled.stopReading();

    // Far more than the bound, 1 KiB at a time, to both.
    int sent = 0;
    while (!endOf(host, "Stalled") && sent < 100000) {
        const QByteArray block = numbered(sent++, 1024);
        ASSERT_TRUE(link->send(block, toReader).hasValue());
        (void)link->send(block, toStalled);
        if (sent % 64 == 0) {
            QCoreApplication::processEvents();
        }
    }
    EXPECT_EQ(endOf(host, "Stalled"), SessionEnd::notReading);
    EXPECT_FALSE(link->send("more", toStalled).hasValue());

    ASSERT_TRUE(waitUntil([&] { return static_cast<int>(reader.blocks.size()) == sent; }));
    for (int i = 0; i < sent; ++i) {
        ASSERT_EQ(reader.blocks[i], numbered(i, 1024)) << "block " << i;
    }
    stalled.resumeReading();
    ASSERT_TRUE(waitUntil([&] { return stalled.closeCode() != 0 || stalled.closed(); }));
    EXPECT_EQ(stalled.closeCode(), 1008);
}

TEST(LinkUnderAttack, ReaderThatTakesNothingForTheStallTimeIsClosed) {
    PeerLinkOptions options = loopbackOptions();
    options.writeStallTimeout = 500ms;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    RawDevice stalled(link->listeningPort());
    ASSERT_TRUE(stalled.upgrade("Stalled"));
    ASSERT_TRUE(waitUntil([&] { return host.connected.size() == 1; }));
    stalled.stopReading();

    // Less than the bound, but more than the system buffers take: some of it must wait.
    for (int i = 0; i < 7 * 16; ++i) {
        ASSERT_TRUE(link->send(numbered(i, 64 * 1024), host.connected.front()).hasValue());
    }
    ASSERT_TRUE(waitUntil([&] { return !host.ended.empty(); }));
    EXPECT_EQ(host.ended.front().second, SessionEnd::notReading);
}

TEST(LinkUnderAttack, PeerThatSendsButNeverAnswersPingsTimesOut) {
    PeerLinkOptions options = loopbackOptions();
    options.pingInterval = 50ms;
    options.peerTimeout = 1s;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    TestDevice answering;
    ASSERT_TRUE(answering.connectTo(link->listeningPort(), "Answering"));

    // Talks all the time and sends pongs of its own, but answers no ping.
    RawDevice chatty(link->listeningPort());
    ASSERT_TRUE(chatty.upgrade("Chatty"));
    ASSERT_TRUE(waitUntil([&] {
        chatty.send(RawDevice::frame(binaryFrame, "chatter") +
                    RawDevice::frame(pongFrame, "12345678"));
        runFor(20ms);
        return endOf(host, "Chatty").has_value();
    }));
    EXPECT_EQ(endOf(host, "Chatty"), SessionEnd::unanswered);
    EXPECT_GE(chatty.pingsReceived(), 2);
    EXPECT_FALSE(host.blocks.empty());
    EXPECT_EQ(answering.connector.state(), PeerState::connected);
    EXPECT_EQ(host.ended.size(), 1u);
}
