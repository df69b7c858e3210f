#include "LinkTestSupport.h"

#include "link/LinkTls.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace tarnwick::test {

namespace {

// One application object for the whole test program. Unless the program runs inside the
// private network of the DNS-SD tests, the system bus is pointed at a socket that does not
// exist, so that no test can ever reach the machine's own Avahi daemon.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qgetenv("TARNWICK_IN_PRIVATE_NETWORK") != "1") {
            busDirectory_ = std::make_unique<QTemporaryDir>();
            const QByteArray address =
                "unix:path=" + QDir(busDirectory_->path()).filePath("no-bus").toUtf8();
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        }
        application_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
    void TearDown() override {
        application_.reset();
        busDirectory_.reset();
    }

private:
    int argc_ = 1;
    char name_[16] = "link_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QTemporaryDir> busDirectory_;
    std::unique_ptr<QCoreApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void runFor(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

QByteArray patterned(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + seed * 7) & 0xFF);
    }
    return bytes;
}

LinkHostOptions loopbackOptions() {
    LinkHostOptions options;
    options.port = 0;
    options.listenAddress = QHostAddress::LocalHost;
    options.advertise = false;
    return options;
}

std::unique_ptr<LinkHost> startedHost(LinkHostOptions options, const std::string& displayName) {
    auto link = std::make_unique<LinkHost>(displayName, std::move(options));
    link->start();
    EXPECT_NE(link->listeningPort(), 0) << link->statusText();
    return link;
}

std::optional<SessionEnd> LinkRecorder::endOf(const std::string& name) const {
    const auto found = std::find_if(ended.begin(), ended.end(), [&](const auto& entry) {
        return entry.first->displayName() == name;
    });
    return found == ended.end() ? std::nullopt : std::optional(found->second);
}

void LinkRecorder::Listener::connected(const PeerHandle& peer) {
    to.events.push_back("connected:" + peer->displayName());
    to.connected.push_back(peer);
    to.versionsAtConnect.push_back(peer->protocolVersion());
    if (to.authorise) {
        to.link_.setSessionStage(peer, SessionStage::authorised);
    }
}

LinkRig::LinkRig(LinkHostOptions options) : link(startedHost(std::move(options))), host(*link) {}

PeerHandle LinkRig::arrived(std::size_t before, bool opened, const std::string& name) {
    if (!opened || !waitUntil([&] { return host.connected.size() > before; })) {
        ADD_FAILURE() << name
                      << (opened ? ": the host reported no new session" : " did not connect");
        return nullptr;
    }
    return host.connected[before];
}

PeerHandle LinkRig::connect(TestDevice& device, const std::string& name, const QString& address) {
    const std::size_t before = host.connected.size();
    return arrived(before, device.connectTo(port(), name, address), name);
}

PeerHandle LinkRig::upgrade(RawDevice& device, const QByteArray& name) {
    const std::size_t before = host.connected.size();
    return arrived(before, device.upgrade(name), name.toStdString());
}

TestDevice::TestDevice(PeerConnectorOptions options) : connector(options) {
    QObject::connect(&connector, &PeerConnector::stateChanged, &connector,
                     [this](PeerState state) { states.push_back(state); });
    QObject::connect(&connector, &PeerConnector::dataReceived, &connector,
                     [this](const QByteArray& bytes) { blocks.push_back(bytes); });
}

bool TestDevice::connectTo(quint16 port, const std::string& displayName, const QString& host) {
    if (auto opened = connector.open(host, port, displayName); !opened) {
        ADD_FAILURE() << opened.error().description;
        return false;
    }
    waitUntil([this] { return connector.state() != PeerState::connecting; });
    return connector.state() == PeerState::connected;
}

bool TestDevice::waitForState(PeerState state) {
    const bool reached = waitUntil([&] { return connector.state() == state; });
    EXPECT_TRUE(reached) << "device still in state " << int(connector.state()) << ", wanted "
                         << int(state);
    return reached;
}

RawDevice::RawDevice(quint16 port, const QHostAddress& from) {
    socket_.setSslConfiguration(deviceTlsConfiguration());
    QObject::connect(&socket_, &QSslSocket::readyRead, &socket_, [this] {
        if (reading_) {
            received_ += socket_.readAll();
        }
    });
    socket_.bind(from);
    socket_.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    waitUntil([this] { return socket_.isEncrypted() || closed(); });
}

QByteArray RawDevice::upgradeRequest(const QByteArray& target, const QByteArray& extraHeaders) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           extraHeaders + "\r\n";
}

QByteArray RawDevice::frame(int opcode, const QByteArray& payload, bool final,
                            qint64 announcedLength) {
    const auto length =
        static_cast<quint64>(announcedLength < 0 ? payload.size() : announcedLength);
    const int extra = length < 126 ? 0 : length <= 0xFFFF ? 2 : 8;
    QByteArray bytes;
    bytes.append(static_cast<char>((final ? 0x80 : 0) | (opcode & 0x0F)));
    bytes.append(static_cast<char>(0x80 | (extra == 0 ? length : extra == 2 ? 126 : 127)));
    for (int i = extra - 1; i >= 0; --i) {
        bytes.append(static_cast<char>((length >> (8 * i)) & 0xFF));
    }
    bytes.append(4, '\0'); // a zero masking key leaves the payload as it is
    return bytes + payload;
}

void RawDevice::send(const QByteArray& bytes) {
    socket_.write(bytes);
    socket_.flush();
}

bool RawDevice::upgrade(const QByteArray& name) {
    send(upgradeRequest("/session?peer=" + name));
    return next(true).status == 101;
}

std::string HttpAnswer::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

HttpAnswer RawDevice::next(bool head) {
    std::optional<HttpAnswer> answer;
    waitUntil([&] { return (answer = take(head)).has_value() || closed(); });
    return answer ? *answer : take(head).value_or(HttpAnswer());
}

HttpAnswer RawDevice::get(const QByteArray& path, const QByteArray& headers) {
    send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    return next();
}

std::optional<HttpAnswer> RawDevice::take(bool head) {
    const qsizetype end = received_.indexOf("\r\n\r\n");
    if (end < 0) {
        return std::nullopt;
    }
    HttpAnswer answer;
    const QList<QByteArray> lines = received_.left(end).split('\n');
    answer.status = lines.front().mid(9, 3).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        answer.headers[line.left(colon).toLower().toStdString()] =
            line.mid(colon + 1).trimmed().toStdString();
    }
    const qsizetype length =
        head ? 0 : QByteArray::fromStdString(answer.header("content-length")).toLongLong();
    if (received_.size() < end + 4 + length) {
        return std::nullopt;
    }
    answer.body = received_.mid(end + 4, length);
    received_.remove(0, end + 4 + length);
    return answer;
}

bool RawDevice::waitForClose() {
    return waitUntil([this] { return closed(); });
}

std::vector<RawDevice::Frame> RawDevice::frames() const {
    const auto byte = [this](qsizetype i) { return static_cast<unsigned char>(received_[i]); };
    std::vector<Frame> frames;
    // Frames from the host are never masked; a frame cut short ends the list.
    for (qsizetype at = 0; received_.size() - at >= 2;) {
        const int announced = byte(at + 1) & 0x7F;
        const int extra = announced == 126 ? 2 : announced == 127 ? 8 : 0;
        const qsizetype header = 2 + extra;
        if (received_.size() - at < header) {
            break;
        }
        quint64 length = extra == 0 ? announced : 0;
        for (int i = 0; i < extra; ++i) {
            length = (length << 8) | byte(at + 2 + i);
        }
        if (static_cast<quint64>(received_.size() - at - header) < length) {
            break;
        }
        const auto size = static_cast<qsizetype>(length);
        frames.push_back(
            {byte(at) & 0x0F, received_.mid(at + header, size), (byte(at) & 0x80) != 0});
        at += header + size;
    }
    return frames;
}

int RawDevice::waitForCloseCode() {
    int code = 0;
    waitUntil([&] {
        for (const auto& frame : frames()) {
            if (frame.opcode == 0x8 && frame.payload.size() >= 2) {
                code = (static_cast<unsigned char>(frame.payload[0]) << 8) |
                       static_cast<unsigned char>(frame.payload[1]);
            }
        }
        return code != 0 || closed();
    });
    return code;
}

void RawDevice::stopReading() {
    reading_ = false;
    socket_.setReadBufferSize(4096);
}

void RawDevice::resumeReading() {
    reading_ = true;
    socket_.setReadBufferSize(0);
    received_ += socket_.readAll();
}

int openDescriptorCount() {
    return int(std::ranges::distance(std::filesystem::directory_iterator("/proc/self/fd")));
}

} // namespace tarnwick::test
