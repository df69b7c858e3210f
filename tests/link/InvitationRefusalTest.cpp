// Invitations no well-behaved device sends, over real TLS connections: each gets an HTTP 400
// and a closed connection, and the link reports nothing.
#include "LinkTestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace tarnwick;
using namespace tarnwick::test;

namespace {

struct BadInvitation {
    const char* what;
    QByteArray request;
};

QByteArray upgrade(const QByteArray& target) {
    return RawDevice::upgradeRequest(target);
}

std::vector<BadInvitation> badInvitations() {
    const QByteArray valid = upgrade("/session?peer=Phone");
    return {
        {"another path", upgrade("/other?peer=Phone")},
        {"a path below the session path", upgrade("/session/x?peer=Phone")},
        {"no name", upgrade("/session")},
        {"an empty name", upgrade("/session?peer=")},
        {"another parameter only", upgrade("/session?name=Phone")},
        {"two names", upgrade("/session?peer=A&peer=B")},
        {"64 bytes", upgrade("/session?peer=" + QByteArray(64, 'x'))},
        {"a name that is not UTF-8", upgrade("/session?peer=%FF")},
        {"an overlong UTF-8 sequence", upgrade("/session?peer=%C0%AF")},
        {"a newline", upgrade("/session?peer=a%0Ab")},
        {"DEL", upgrade("/session?peer=a%7F")},
        {"a C1 control", upgrade("/session?peer=a%C2%85")},
        {"a broken escape", upgrade("/session?peer=a%2")},
        {"raw UTF-8 in the target", upgrade("/session?peer=Zo\xC3\xAB")},
        {"no upgrade", "GET /session?peer=Phone HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
        {"POST", QByteArray(valid).replace("GET ", "POST ")},
        {"HTTP/1.0", QByteArray(valid).replace("HTTP/1.1", "HTTP/1.0")},
        {"no key",
         QByteArray(valid).replace("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", "")},
        {"a short key", QByteArray(valid).replace("dGhlIHNhbXBsZSBub25jZQ==", "c2hvcnQ=")},
        {"WebSocket version 8",
         QByteArray(valid).replace("Sec-WebSocket-Version: 13", "Sec-WebSocket-Version: 8")},
        {"no Host", QByteArray(valid).replace("Host: 127.0.0.1\r\n", "")},
        {"a folded header line",
         QByteArray(valid).replace("Upgrade: websocket\r\n", "Upgrade:\r\n websocket\r\n")},
        {"garbage", "\x16\x03\x01 hello\r\n\r\n"},
        {"a header too large to read",
         "GET /session?peer=Phone HTTP/1.1\r\nX: " + QByteArray(9000, 'a') + "\r\n\r\n"},
        {"an endless header", "GET /session?peer=Phone HTTP/1.1\r\nX: " + QByteArray(20000, 'a')},
    };
}

} // namespace

TEST(PeerLinkInvitations, BadOnesGet400AndChangeNothing) {
    auto link = startedHost();
    LinkRecorder host(*link);
    for (const auto& bad : badInvitations()) {
        SCOPED_TRACE(bad.what);
        RawDevice device(link->listeningPort());
        ASSERT_TRUE(device.encrypted());
        device.send(bad.request);
        const QByteArray answer = device.answerHeader();
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 400 Bad Request\r\n")) << answer.toStdString();
        EXPECT_TRUE(device.waitForClose());
    }
    runFor(100ms);
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(host.blocks.empty());
    EXPECT_TRUE(link->connectedPeers().empty());
    EXPECT_EQ(link->statusText().toStdString(), "Available on local network");

    // The link is still there for devices that ask properly.
    TestDevice device;
    EXPECT_TRUE(device.connectTo(link->listeningPort(), "Phone"));
}

TEST(PeerLinkInvitations, ConnectionsThatNeverSpeakTlsAreDropped) {
    PeerLinkOptions options = loopbackOptions();
    options.handshakeTimeout = 300ms;
    auto link = startedHost(options);
    LinkRecorder host(*link);
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, link->listeningPort());
    ASSERT_TRUE(waitUntil([&] { return plain.state() == QAbstractSocket::ConnectedState; }));
    plain.write(RawDevice::upgradeRequest("/session?peer=Plain"));
    EXPECT_TRUE(waitUntil([&] { return plain.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(host.events.empty());
}
