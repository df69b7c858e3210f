#pragma once

#include "link/LinkHost.h"
#include "link/PeerConnector.h"

#include <QByteArray>
#include <QSslSocket>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::test {

using namespace std::chrono_literals;

// Runs the event loop until `done` holds; false when `timeout` passed first. The timeout is
// generous: it only ends a test that would hang, it measures nothing.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s);
// Runs the event loop for a while, for tests that check that something does not happen.
void runFor(std::chrono::milliseconds duration);

// `size` bytes that differ from place to place and with `seed`, so that a block that comes out
// reordered or cut shows.
QByteArray patterned(int size, int seed);

// Host options for tests: loopback only, any free port, no DNS-SD.
LinkHostOptions loopbackOptions();

// A started host link on loopback; fails the test when it cannot listen.
std::unique_ptr<LinkHost> startedHost(LinkHostOptions options = loopbackOptions(),
                                      const std::string& displayName = "Studio");

// Records what a link reports, in order: "status:<text>", "connected:<name>",
// "disconnected:<name>", every block with its peer and why each session ended. Like the bridge
// with a paired device, it authorises every peer as it connects unless `authorise` is false.
class LinkRecorder {
public:
    explicit LinkRecorder(LinkHost& link) : link_(link) { link.setEvents(&listener_); }
    ~LinkRecorder() { link_.setEvents(nullptr); }

    bool authorise = true;
    std::vector<std::string> events;
    std::vector<std::pair<QByteArray, PeerHandle>> blocks;
    std::vector<PeerHandle> connected;
    std::vector<int> versionsAtConnect; // each connected peer's protocol version as it came
    std::vector<PeerHandle> disconnected;
    std::vector<std::pair<PeerHandle, SessionEnd>> ended;

    std::optional<SessionEnd> endOf(const std::string& name) const;

private:
    struct Listener : LinkEvents {
        explicit Listener(LinkRecorder& recorder) : to(recorder) {}
        void received(std::string_view bytes, const PeerHandle& peer) override {
            to.blocks.emplace_back(QByteArray(bytes.data(), qsizetype(bytes.size())), peer);
        }
        void connected(const PeerHandle& peer) override;
        void ended(const PeerHandle& peer, SessionEnd reason) override {
            to.ended.emplace_back(peer, reason);
        }
        void disconnected(const PeerHandle& peer) override {
            to.events.push_back("disconnected:" + peer->displayName());
            to.disconnected.push_back(peer);
        }
        void eased(const PeerHandle&) override {}
        void statusChanged() override { to.events.push_back("status:" + to.link_.statusText()); }
        LinkRecorder& to;
    };

    LinkHost& link_;
    Listener listener_{*this};
};

// A device built on the connector, recording its states and the blocks it receives.
class TestDevice {
public:
    explicit TestDevice(PeerConnectorOptions options = {});

    // Opens a session to the host on loopback and waits until it is connected (true) or over.
    bool connectTo(quint16 port, const std::string& displayName,
                   const QString& host = QStringLiteral("127.0.0.1"));
    bool waitForState(PeerState state);

    PeerConnector connector;
    std::vector<PeerState> states;
    std::vector<QByteArray> blocks;
};

// One HTTP answer as a device or a browser reads it; status 0 when none arrived.
struct HttpAnswer {
    int status = 0;
    std::map<std::string, std::string> headers; // names lower-case
    QByteArray body;

    std::string header(const std::string& name) const;
};

// A TLS connection that sends whatever bytes a test gives it: for invitations no well-behaved
// device would send, for devices that stop answering or reading, and as a browser's connection.
class RawDevice {
public:
    // Connects from `from` (another loopback address stands for another machine).
    explicit RawDevice(quint16 port, const QHostAddress& from = QHostAddress::LocalHost);

    // The HTTP request of a WebSocket upgrade to `target`, with `extraHeaders` (each ending
    // in CRLF) added.
    static QByteArray upgradeRequest(const QByteArray& target, const QByteArray& extraHeaders = {});
    // One WebSocket frame as a device sends it (masked, with a zero key). The length is given
    // apart so that a frame header can announce more than follows.
    static QByteArray frame(int opcode, const QByteArray& payload, bool final = true,
                            qint64 announcedLength = -1);

    bool encrypted() const { return socket_.isEncrypted(); }
    void send(const QByteArray& bytes);
    bool upgrade(const QByteArray& name);
    // Waits for the next whole answer and takes it; a HEAD answer (and an upgrade's) has no
    // body whatever its Content-Length says.
    HttpAnswer next(bool head = false);
    HttpAnswer get(const QByteArray& path, const QByteArray& headers = {});
    bool waitForClose();
    bool closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }

    struct Frame {
        int opcode = 0;
        QByteArray payload;
        bool final = true;
    };
    // Whole frames that arrived after the answers taken; reading does not answer pings.
    std::vector<Frame> frames() const;
    // The bytes that arrived and were not taken as an answer.
    qsizetype bytesReceived() const { return received_.size(); }
    // Waits for the host's close frame, or for the connection to end; the frame's code, 0 without
    // one.
    int waitForCloseCode();
    // A device that stops reading: the socket keeps at most a few KiB, and once the system's
    // receive buffer is full what the host sends piles up on the host.
    void stopReading();
    void resumeReading();

private:
    std::optional<HttpAnswer> take(bool head);

    QSslSocket socket_;
    QByteArray received_;
    bool reading_ = true;
};

// A started host on loopback with its recorder, and the one way the tests bring a device in:
// connect, then wait until the host reports the session. Each returns the host's handle of the
// newcomer, null when it did not arrive.
struct LinkRig {
    explicit LinkRig(LinkHostOptions options = loopbackOptions());

    quint16 port() const { return link->listeningPort(); }
    PeerHandle connect(TestDevice& device, const std::string& name,
                       const QString& address = QStringLiteral("127.0.0.1"));
    PeerHandle upgrade(RawDevice& device, const QByteArray& name);

    std::unique_ptr<LinkHost> link;
    LinkRecorder host;

private:
    PeerHandle arrived(std::size_t before, bool opened, const std::string& name);
};

int openDescriptorCount();

} // namespace tarnwick::test
