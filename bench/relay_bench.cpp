// How fast the bridge relays the app-server's notifications to paired devices, next to
// websocketd relaying the same lines to plain WebSocket clients, both over TLS on loopback.
//
// The bridge is the real tarnwick-bridge program in its terminal front end, in a temporary
// home, with the fake app-server standing in for Codex (found as `codex` on PATH). A request
// from the first device asks the fake for a flood; every paired device counts the events that
// reach it. websocketd runs this program with --generate, which writes the same lines to
// standard output once its client says "go". The clients are this process's: they count
// frames and decode only the few that are not events.
//
// Usage: tests/link/run-in-private-network.sh build/bench/bench/relay_bench [--quick]
// It runs only where nothing but loopback is reachable, so port 47600 is free for the bridge.
// Internal: relay_bench --generate (websocketd's program; count and size in QUERY_STRING).

#include "FloodLine.h"
#include "device/BridgeDevice.h"
#include "identity/DeviceIdentity.h"
#include "link/PeerConnector.h"
#include "platform/AllocatorSettings.h"
#include "protocol/BridgeMessage.h"
#include "support/MemoryKeychain.h"
#include "support/NetworkIsolation.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tarnwick;
using namespace tarnwick::testing;
using namespace std::chrono_literals;

namespace {

constexpr quint16 bridgePort = 47600;
constexpr std::chrono::milliseconds stallLimit = 15s;

// Ends the run: main reports it once everything started here has been stopped and removed.
struct BenchFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) {
    throw BenchFailure(what);
}

// One clock for everything measured in this process.
QElapsedTimer& benchClock() {
    static QElapsedTimer timer = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return timer;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU time another process has used (user and system), from /proc/<pid>/stat.
double cpuSeconds(qint64 pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    // After the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt
    // utime stime.
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + close + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) != 2) {
        return 0;
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five;
    file >> one >> five;
    return one + " " + five;
}

// Runs the event loop until `done` holds (checked whenever something calls check(), and every
// 100 ms) or `stall` passes without progress() changing.
class Waiter {
public:
    bool until(const std::function<bool()>& done, const std::function<long long()>& progress,
               std::chrono::milliseconds stall = stallLimit) {
        done_ = done;
        long long last = progress();
        QTimer watchdog;
        qint64 lastChange = benchClock().elapsed();
        bool timedOut = false;
        QObject::connect(&watchdog, &QTimer::timeout, &loop_, [&] {
            if (done_()) {
                loop_.quit();
                return;
            }
            long long now = progress();
            if (now != last) {
                last = now;
                lastChange = benchClock().elapsed();
            } else if (benchClock().elapsed() - lastChange > stall.count()) {
                timedOut = true;
                loop_.quit();
            }
        });
        watchdog.start(100);
        if (!done_()) {
            loop_.exec();
        }
        done_ = {};
        return !timedOut;
    }
    void check() {
        if (done_ && done_()) {
            loop_.quit();
        }
    }

private:
    QEventLoop loop_;
    std::function<bool()> done_;
};

// /proc/<pid>/status values in kB (VmRSS, VmHWM).
long statusKilobytes(qint64 pid, const char* key) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(key) + 1);
        }
    }
    return 0;
}

// The first process whose parent is `parent`.
qint64 childOf(qint64 parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream file(entry.path() / "stat");
        std::string stat;
        std::getline(file, stat);
        // pid (comm) state ppid ...: the name may hold spaces, so read after the last ')'.
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
            ppid == parent) {
            return std::stoll(name);
        }
    }
    return 0;
}

// ---- websocketd's program ----

// Writes flood lines as the client asks for them: each line it sends is a number of lines to
// write next. Ends when the client has gone.
int generate() {
    const QUrlQuery query(QString::fromLocal8Bit(qgetenv("QUERY_STRING")));
    const std::size_t size = query.queryItemValue(QStringLiteral("size")).toULongLong();
    std::uint64_t index = 0;
    std::string block;
    const auto flush = [&] {
        std::string_view rest(block);
        while (!rest.empty()) {
            ssize_t written = ::write(STDOUT_FILENO, rest.data(), rest.size());
            if (written <= 0) {
                std::exit(0);
            }
            rest.remove_prefix(std::size_t(written));
        }
        block.clear();
    };
    std::string asked;
    for (char c = 0; ::read(STDIN_FILENO, &c, 1) == 1;) {
        if (c != '\n') {
            asked.push_back(c);
            continue;
        }
        for (std::uint64_t end = index + std::strtoull(asked.c_str(), nullptr, 10); index < end;
             ++index) {
            block += floodLine(index, size);
            if (block.size() >= 256 * 1024) {
                flush();
            }
        }
        flush();
        asked.clear();
    }
    return 0;
}

// How many events a flood asks for at a time, and at most two such windows are on their way to
// a device: 2 MiB, so that what a device is owed stays well under the bridge's limit for a
// session (an unpaced flood of big events outruns the socket and the bridge ends the session).
long long windowFor(std::size_t size) {
    return std::max<long long>(1, (2 * 1024 * 1024) / (long long)size);
}

// ---- the clients ----

// A paired device that speaks the bridge protocol just far enough: its hello, the answers to
// its own requests, and events counted by their first bytes without decoding them.
class CountingDevice : public QObject {
public:
    using AnswerHandler = std::function<void(const BridgeMessage&)>;

    CountingDevice(const DeviceIdentity& identity, std::string name, Waiter& waiter)
        : identity_(identity), name_(std::move(name)), waiter_(waiter) {
        connect(&connector_, &PeerConnector::stateChanged, this, [this](PeerState state) {
            if (state == PeerState::connected) {
                auto hello = identity_.makeHello(name_);
                if (hello) {
                    send(makeMessage(BridgeMessageKind::hello, {}, {}, hello->toJSON()));
                }
            } else if (state == PeerState::notConnected) {
                ended = true;
                accepted = false;
            }
            waiter_.check();
        });
        connect(&connector_, &PeerConnector::dataReceived, this, &CountingDevice::received);
    }
    ~CountingDevice() override { connector_.disconnect(this); }

    void open() {
        ended = false;
        if (!connector_.open(QStringLiteral("127.0.0.1"), bridgePort, name_)) {
            ended = true;
        }
    }
    void close() { connector_.close(); }
    void send(const BridgeMessage& message) {
        if (auto bytes = message.encode()) {
            (void)connector_.send(QByteArray::fromStdString(*bytes));
        }
    }
    void request(const std::string& id, BridgeMessageKind kind, std::optional<std::string> method,
                 std::optional<JSONValue> body, AnswerHandler answered) {
        answers_[id] = std::move(answered);
        send(makeMessage(kind, id, std::move(method), std::move(body)));
    }
    void expect(long long count) {
        expected = count;
        events = 0;
        lastEventAt = 0;
    }
    std::string endReason() const { return connector_.endReason().toStdString(); }

    bool accepted = false;
    bool ended = true;
    long long events = 0;
    long long expected = 0;
    qint64 lastEventAt = 0;

private:
    void received(const QByteArray& bytes) {
        static const QByteArray eventStart = R"({"version":1,"kind":"event")";
        if (accepted && bytes.startsWith(eventStart)) {
            ++events;
            lastEventAt = benchClock().nsecsElapsed();
            waiter_.check();
            return;
        }
        auto message = BridgeMessage::decode(std::string_view(bytes.constData(), bytes.size()));
        if (!message) {
            return;
        }
        if (message->kind == BridgeMessageKind::pairingAccepted) {
            accepted = true;
        } else if (message->id && (message->kind == BridgeMessageKind::response ||
                                   message->kind == BridgeMessageKind::error)) {
            if (auto found = answers_.find(*message->id); found != answers_.end()) {
                AnswerHandler handler = std::move(found->second);
                answers_.erase(found);
                handler(*message);
            }
        }
        waiter_.check();
    }

    const DeviceIdentity& identity_;
    std::string name_;
    Waiter& waiter_;
    PeerConnector connector_;
    std::map<std::string, AnswerHandler> answers_;
};

// A plain WebSocket client of websocketd that counts the lines it is sent.
class CountingSocket : public QObject {
public:
    CountingSocket(Waiter& waiter) : waiter_(waiter) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // The certificate is the one made for this run, self-signed.
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket_.setSslConfiguration(tls);
        socket_.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
        socket_.setMaxAllowedIncomingFrameSize(64 * 1024 * 1024);
        connect(&socket_, &QWebSocket::connected, this, [this] {
            open = true;
            waiter_.check();
        });
        connect(&socket_, &QWebSocket::disconnected, this, [this] {
            ended = true;
            waiter_.check();
        });
        connect(&socket_, &QWebSocket::textMessageReceived, this, [this](const QString&) {
            ++events;
            lastEventAt = benchClock().nsecsElapsed();
            topUp();
            if (events == expected) {
                waiter_.check();
            }
        });
    }
    void start(quint16 port, long long count, std::size_t size) {
        expected = count;
        window_ = windowFor(size);
        socket_.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/?size=%2").arg(port).arg(size)));
    }
    // Asks for the first two windows.
    void go() { topUp(); }
    void close() { socket_.close(); }

    bool open = false;
    bool ended = false;
    long long events = 0;
    long long expected = 0;
    qint64 lastEventAt = 0;

private:
    void topUp() {
        while (requested_ < expected && requested_ - events < 2 * window_) {
            const long long asked = std::min(window_, expected - requested_);
            socket_.sendTextMessage(QString::number(asked) + QLatin1Char('\n'));
            requested_ += asked;
        }
    }

    Waiter& waiter_;
    QWebSocket socket_;
    long long window_ = 1;
    long long requested_ = 0;
};

// ---- measuring ----

struct Flood {
    double eventsPerSecond = 0; // per device
    double megabytesPerSecond = 0;
    double clientCpu = 0; // this process's CPU time over the flood's wall time
    double relayCpu = 0;  // the relay's CPU milliseconds per megabyte delivered (all devices)
    std::string problem;  // "cut" or "stalled"; empty when the flood went through
    std::string detail;
    double delivered = 1; // the share of the events that reached every device
};

// Where a flood started: the clock and the CPU times so far.
struct FloodStart {
    qint64 at = 0;
    double clientCpu = 0;
    qint64 relayPid = 0;
    double relayCpu = 0;

    static FloodStart now(qint64 relayPid) {
        return {benchClock().nsecsElapsed(), cpuSeconds(), relayPid, cpuSeconds(relayPid)};
    }
};

struct Pairing {
    std::unique_ptr<MemoryKeychain> keys;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<DeviceIdentity> identity;
    std::string name;
};

class Bench {
public:
    explicit Bench(const std::filesystem::path& scratch) : scratch_(scratch) {}
    ~Bench() {
        if (bridge_.state() != QProcess::NotRunning) {
            stopBridge();
        }
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    void startBridge() {
        const std::filesystem::path bin = scratch_ / "bin";
        std::filesystem::create_directories(bin);
        std::filesystem::create_symlink(FAKE_APP_SERVER_PATH, bin / "codex");
        std::ofstream(bin / "codex.script") << "flood-on thread/list\n";

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"),
                           QString::fromStdString(bin.string()) + QStringLiteral(":/usr/bin:/bin"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        bridge_.setProcessEnvironment(environment);
        bridge_.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&bridge_, &QProcess::readyReadStandardOutput, &bridge_, [this] {
            output_ += QString::fromUtf8(bridge_.readAllStandardOutput());
            waiter_.check();
        });
        bridge_.start(QStringLiteral(BRIDGE_PATH), {QStringLiteral("--terminal")});
        if (!bridge_.waitForStarted()) {
            fail("tarnwick-bridge did not start.");
        }
        // Ready once the link listens and the fake app-server has been started.
        const bool ready = waiter_.until(
            [&] {
                return output_.contains(QStringLiteral("Local link: ")) &&
                       childOf(bridge_.processId()) != 0 && canConnect();
            },
            [] { return 0; }, 20s);
        if (!ready) {
            fail("the bridge did not come up:\n" + output_.toStdString());
        }
        fakePid_ = childOf(bridge_.processId());
    }

    void pairDevices(int count) {
        for (int i = 0; i < count; ++i) {
            Pairing pairing;
            pairing.keys = std::make_unique<MemoryKeychain>();
            pairing.settings = std::make_unique<QSettings>(
                QString::fromStdString(
                    (scratch_ / ("device-" + std::to_string(i) + ".ini")).string()),
                QSettings::IniFormat);
            pairing.identity =
                std::move(DeviceIdentity::create(*pairing.keys, *pairing.settings)).value();
            pairing.name = "Bench " + std::to_string(i + 1);
            BridgeDevice device(*pairing.identity, pairing.name);
            if (!device.connectTo(QStringLiteral("127.0.0.1"), bridgePort)) {
                fail("a device could not connect for pairing.");
            }
            if (!waitUntil([&] { return device.pairingCode().has_value(); })) {
                fail("no pairing code.");
            }
            const qsizetype seen = output_.size();
            device.requestPairing();
            static const QRegularExpression shown(QStringLiteral("Pairing request (\\d+) from"));
            QRegularExpressionMatch match;
            if (!waitUntil([&] {
                    match = shown.match(output_, seen);
                    return match.hasMatch();
                })) {
                fail("the bridge did not show the pairing request.");
            }
            bridge_.write(("pair " + match.captured(1) + "\n").toUtf8());
            if (!waitUntil([&] { return device.isAccepted(); })) {
                fail("a device was not paired:\n" + output_.toStdString());
            }
            device.disconnect();
            pairings_.push_back(std::move(pairing));
        }
    }

    // Connects the first `count` paired devices as counting devices, and no others.
    void connectDevices(std::size_t count) {
        for (auto& device : devices_) {
            device->close();
        }
        devices_.clear();
        // Let the bridge see the old sessions end before the new ones come.
        waitUntil([] { return false; }, 200ms);
        for (std::size_t i = 0; i < count; ++i) {
            devices_.push_back(std::make_unique<CountingDevice>(*pairings_[i].identity,
                                                                pairings_[i].name, waiter_));
            CountingDevice& device = *devices_.back();
            device.open();
            if (!waiter_.until([&] { return device.accepted || device.ended; }, [] { return 0; },
                               10s) ||
                !device.accepted) {
                fail("paired device " + pairings_[i].name +
                     " was not recognised: " + device.endReason());
            }
        }
    }

    // A flood of `count` events to every connected device, asked for `window` at a time (two
    // windows on their way at most), or all at once without a window.
    Flood floodBridge(long long count, std::size_t size, std::optional<long long> window) {
        for (auto& device : devices_) {
            device->expect(count);
        }
        const FloodStart started = FloodStart::now(bridge_.processId());
        long long requested = 0;
        const auto topUp = [&] {
            long long least = count;
            for (const auto& device : devices_) {
                least = std::min(least, device->events);
            }
            const long long step = window.value_or(count);
            while (requested < count && (!window || requested - least < 2 * step)) {
                const long long asked = std::min(step, count - requested);
                devices_.front()->request("flood-" + std::to_string(++requests_),
                                          BridgeMessageKind::request, "thread/list",
                                          JSONValue(JSONObject{{"count", JSONValue(double(asked))},
                                                               {"size", JSONValue(double(size))}}),
                                          [](const BridgeMessage&) {});
                requested += asked;
            }
        };
        const auto allDone = [&] {
            topUp();
            return std::all_of(devices_.begin(), devices_.end(), [](const auto& device) {
                return device->events >= device->expected || device->ended;
            });
        };
        const bool finished = waiter_.until(allDone, [&] {
            long long total = 0;
            for (const auto& device : devices_) {
                total += device->events;
            }
            return total;
        });
        Flood flood;
        qint64 last = started.at;
        for (const auto& device : devices_) {
            if (device->ended) {
                flood.problem = "cut";
                flood.detail = device->endReason();
            }
            last = std::max(last, device->lastEventAt);
        }
        if (!finished) {
            flood.problem = "stalled";
        }
        long long least = count;
        for (const auto& device : devices_) {
            least = std::min(least, device->events);
        }
        flood.delivered = double(least) / double(count);
        if (!flood.problem.empty()) {
            // Start the next flood with every device connected and the fake done writing.
            waitUntil([] { return false; }, 2s);
            connectDevices(devices_.size());
            return flood;
        }
        return measured(flood, devices_.size(), count, size, started, last);
    }

    Flood floodWebsocketd(quint16 port, qint64 pid, std::size_t devices, long long count,
                          std::size_t size) {
        std::vector<std::unique_ptr<CountingSocket>> sockets;
        for (std::size_t i = 0; i < devices; ++i) {
            sockets.push_back(std::make_unique<CountingSocket>(waiter_));
            sockets.back()->start(port, count, size);
        }
        const auto allOpen = [&] {
            return std::all_of(sockets.begin(), sockets.end(),
                               [](const auto& socket) { return socket->open || socket->ended; });
        };
        Flood flood;
        if (!waiter_.until(
                allOpen, [] { return 0; }, 10s) ||
            std::any_of(sockets.begin(), sockets.end(),
                        [](const auto& socket) { return !socket->open; })) {
            flood.problem = "no connection";
            return flood;
        }
        const FloodStart started = FloodStart::now(pid);
        for (auto& socket : sockets) {
            socket->go();
        }
        const bool finished = waiter_.until(
            [&] {
                return std::all_of(sockets.begin(), sockets.end(), [](const auto& socket) {
                    return socket->events >= socket->expected || socket->ended;
                });
            },
            [&] {
                long long total = 0;
                for (const auto& socket : sockets) {
                    total += socket->events;
                }
                return total;
            });
        qint64 last = started.at;
        for (const auto& socket : sockets) {
            if (socket->events < socket->expected) {
                flood.problem = "cut";
                flood.detail = "the connection ended early";
            }
            last = std::max(last, socket->lastEventAt);
        }
        if (!finished) {
            flood.problem = "stalled";
        }
        for (auto& socket : sockets) {
            socket->close();
        }
        waiter_.until(
            [&] {
                return std::all_of(sockets.begin(), sockets.end(),
                                   [](const auto& socket) { return socket->ended; });
            },
            [] { return 0; }, 2s);
        if (!flood.problem.empty()) {
            return flood;
        }
        return measured(flood, devices, count, size, started, last);
    }

    // Sequential round trips from the first device: `kind` request or ping, in milliseconds.
    std::vector<double> roundTrips(bool ping, int count) {
        std::vector<double> milliseconds;
        CountingDevice& device = *devices_.front();
        for (int i = 0; i < count; ++i) {
            bool answered = false;
            const qint64 sent = benchClock().nsecsElapsed();
            const std::string id = "rt-" + std::to_string(++requests_);
            if (ping) {
                device.request(id, BridgeMessageKind::ping, {}, {},
                               [&](const BridgeMessage&) { answered = true; });
            } else {
                device.request(id, BridgeMessageKind::request, "model/list",
                               JSONValue(JSONObject{}),
                               [&](const BridgeMessage&) { answered = true; });
            }
            if (!waiter_.until([&] { return answered; }, [] { return 0; }, 5s)) {
                fail("a round trip was not answered.");
            }
            milliseconds.push_back(double(benchClock().nsecsElapsed() - sent) / 1e6);
        }
        std::sort(milliseconds.begin(), milliseconds.end());
        return milliseconds;
    }

    std::pair<long, long> memory(const char* key) const {
        return {statusKilobytes(bridge_.processId(), key), statusKilobytes(fakePid_, key)};
    }

    void stopBridge() {
        for (auto& device : devices_) {
            device->close();
        }
        devices_.clear();
        bridge_.write("quit\n");
        if (!bridge_.waitForFinished(10000)) {
            bridge_.terminate();
            if (!bridge_.waitForFinished(5000)) {
                bridge_.kill();
                bridge_.waitForFinished();
            }
        }
    }

private:
    bool canConnect() {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), bridgePort);
        const bool connected = probe.waitForConnected(200);
        probe.abort();
        return connected;
    }

    static Flood measured(Flood flood, std::size_t devices, long long count, std::size_t size,
                          const FloodStart& started, qint64 last) {
        const double seconds = double(last - started.at) / 1e9;
        flood.eventsPerSecond = double(count) / seconds;
        flood.megabytesPerSecond = flood.eventsPerSecond * double(size) / 1e6;
        flood.clientCpu = (cpuSeconds() - started.clientCpu) / seconds;
        const double megabytes = double(devices) * double(count) * double(size) / 1e6;
        flood.relayCpu = (cpuSeconds(started.relayPid) - started.relayCpu) * 1e3 / megabytes;
        return flood;
    }

    std::filesystem::path scratch_;
    Waiter waiter_;
    QProcess bridge_;
    QString output_;
    qint64 fakePid_ = 0;
    std::vector<Pairing> pairings_;
    std::vector<std::unique_ptr<CountingDevice>> devices_;
    long long requests_ = 0;
};

// websocketd over TLS on a free loopback port, running this program with --generate.
class Websocketd {
public:
    explicit Websocketd(const std::filesystem::path& scratch) {
        const QString certificate = QString::fromStdString((scratch / "ws-cert.pem").string());
        const QString key = QString::fromStdString((scratch / "ws-key.pem").string());
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), certificate,
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=127.0.0.1")});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0) {
            fail("openssl could not make the certificate for websocketd.");
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        // It logs every connection's end as an error; its log stays in the scratch folder.
        const QString log = QString::fromStdString((scratch / "websocketd.log").string());
        process_.setStandardOutputFile(log);
        process_.setStandardErrorFile(log, QIODevice::Append);
        process_.start(QStringLiteral("websocketd"),
                       {QStringLiteral("--port=%1").arg(port),
                        QStringLiteral("--address=127.0.0.1"), QStringLiteral("--ssl"),
                        QStringLiteral("--sslcert=") + certificate,
                        QStringLiteral("--sslkey=") + key, QStringLiteral("--loglevel=error"),
                        QCoreApplication::applicationFilePath(), QStringLiteral("--generate")});
        if (!process_.waitForStarted()) {
            fail("websocketd did not start (is it installed? see scripts/packages.txt).");
        }
        const bool listening = waitUntil(
            [&] {
                QTcpSocket socket;
                socket.connectToHost(QStringLiteral("127.0.0.1"), port);
                const bool connected = socket.waitForConnected(200);
                socket.abort();
                return connected;
            },
            10s);
        if (!listening) {
            fail("websocketd did not listen.");
        }
    }
    ~Websocketd() {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    qint64 pid() const { return process_.processId(); }
    quint16 port = 0;

private:
    QProcess process_;
};

// The medians of the rounds that went through, and the problem of the last that did not.
struct Summary {
    bool measured = false;
    std::string problem;
    double eventsPerSecond = 0, megabytesPerSecond = 0, relayCpu = 0, clientCpu = 0;
};

double median(std::vector<double> values);

Summary summarise(const std::vector<Flood>& floods) {
    Summary summary;
    std::vector<double> events, megabytes, relay, client;
    for (const Flood& flood : floods) {
        if (!flood.problem.empty()) {
            summary.problem = flood.problem;
            continue;
        }
        events.push_back(flood.eventsPerSecond);
        megabytes.push_back(flood.megabytesPerSecond);
        relay.push_back(flood.relayCpu);
        client.push_back(flood.clientCpu);
    }
    summary.measured = !events.empty();
    summary.eventsPerSecond = median(events);
    summary.megabytesPerSecond = median(megabytes);
    summary.relayCpu = median(relay);
    summary.clientCpu = median(client);
    return summary;
}

std::string rate(double value);

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string outcome(const Flood& flood) {
    if (flood.problem.empty()) {
        return rate(flood.eventsPerSecond) + " ev/s, " + fixed(flood.relayCpu, 1) + " ms/MB";
    }
    return flood.problem + (flood.detail.empty() ? "" : " (" + flood.detail + ")");
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double percentile(const std::vector<double>& sorted, double share) {
    return sorted[std::min(sorted.size() - 1, std::size_t(share * double(sorted.size())))];
}

std::string sizeName(std::size_t size) {
    if (size >= 1024 * 1024) {
        return std::to_string(size / (1024 * 1024)) + " MiB";
    }
    if (size >= 1024) {
        return std::to_string(size / 1024) + " KiB";
    }
    return std::to_string(size) + " B";
}

std::string rate(double value) {
    char text[32];
    if (value >= 1e4) {
        std::snprintf(text, sizeof text, "%.0fk", value / 1e3);
    } else if (value >= 100) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.1f", value);
    }
    return text;
}

} // namespace

static int measure(int argc, char** argv, bool quick,
                   std::optional<std::pair<std::size_t, std::size_t>> only) {
    TemporaryHome home;
    TemporaryDirectory scratch("tarnwick-relay-bench");
    ScopedEnvironmentVariable noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    QCoreApplication application(argc, argv);
    benchClock();
    const std::string loadAtStart = loadAverage();

    const int rounds = quick ? 1 : 3;
    const std::vector<std::size_t> deviceCounts{1, 4, 16};
    const std::vector<std::size_t> sizes{300, 64 * 1024, 1024 * 1024};
    // Bytes each device receives per flood.
    const double perDeviceBytes = quick ? 12e6 : 96e6;
    const auto eventCount = [&](std::size_t devices, std::size_t size) {
        double bytes = perDeviceBytes / (devices >= 16 ? 4.0 : devices >= 4 ? 2.0 : 1.0);
        return std::max<long long>(8, (long long)(bytes / double(size)));
    };

    Bench bench(scratch.path());
    bench.startBridge();
    waitUntil([] { return false; }, 1s);
    const auto alone = bench.memory("VmRSS:");
    bench.pairDevices(int(deviceCounts.back()));
    Websocketd websocketd(scratch.path());

    bench.connectDevices(deviceCounts.back());
    waitUntil([] { return false; }, 1s);
    const auto idle = bench.memory("VmRSS:");

    bench.connectDevices(1);
    const auto requests = bench.roundTrips(false, quick ? 300 : 2000);
    const auto pings = bench.roundTrips(true, quick ? 300 : 2000);

    struct Row {
        std::size_t devices, size;
        long long count;
        std::vector<Flood> bridge, websocketd;
        Flood unpaced;
    };
    std::vector<Row> rows;
    for (std::size_t devices : deviceCounts) {
        if (only && only->first != devices)
            continue;
        bench.connectDevices(devices);
        for (std::size_t size : sizes) {
            if (only && only->second != size)
                continue;
            Row row{devices, size, eventCount(devices, size), {}, {}, {}};
            for (int round = 0; round < rounds; ++round) {
                row.bridge.push_back(bench.floodBridge(row.count, size, windowFor(size)));
                row.websocketd.push_back(bench.floodWebsocketd(websocketd.port, websocketd.pid(),
                                                               devices, row.count, size));
                std::fprintf(
                    stderr, "%2zu device(s) %8s x %lld, round %d: bridge %s, websocketd %s\n",
                    devices, sizeName(size).c_str(), row.count, round + 1,
                    outcome(row.bridge.back()).c_str(), outcome(row.websocketd.back()).c_str());
            }
            rows.push_back(std::move(row));
        }
    }
    const auto peak = bench.memory("VmHWM:");
    // The same floods once more, all asked for at once, as the app-server writes them.
    for (Row& row : rows) {
        if (row.devices != rows.front().devices || &row == &rows.front()) {
            bench.connectDevices(row.devices);
        }
        row.unpaced = bench.floodBridge(row.count, row.size, std::nullopt);
        std::fprintf(stderr, "%2zu device(s) %8s x %lld, unpaced: bridge %s\n", row.devices,
                     sizeName(row.size).c_str(), row.count, outcome(row.unpaced).c_str());
    }
    const auto unpacedPeak = bench.memory("VmHWM:");
    bench.stopBridge();

    std::printf("\nRelay throughput per device, %d round(s), medians%s; load average %s at the "
                "start, %s at the end\n",
                rounds, quick ? " (quick)" : "", loadAtStart.c_str(), loadAverage().c_str());
    std::printf("Each flood is asked for in windows of 2 MiB, two on their way at most; the "
                "last column is one more flood asked for at once.\n");
    std::printf("| devices | event | events | bridge ev/s | bridge MB/s | websocketd ev/s | "
                "websocketd MB/s | ratio | relay CPU ms/MB (bridge / websocketd) | client CPU "
                "(bridge / websocketd) | unpaced flood (bridge) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        const Summary bridge = summarise(row.bridge);
        const Summary other = summarise(row.websocketd);
        const auto shown = [](const Summary& summary, std::string text) {
            return summary.measured ? text + (summary.problem.empty() ? "" : "*") : summary.problem;
        };
        const std::string unpaced =
            row.unpaced.problem.empty()
                ? rate(row.unpaced.eventsPerSecond) + " ev/s"
                : row.unpaced.problem + " at " + fixed(row.unpaced.delivered * 100, 0) + "%";
        std::printf("| %zu | %s | %lld | %s | %s | %s | %s | %s | %s / %s | %s / %s | %s |\n",
                    row.devices, sizeName(row.size).c_str(), row.count,
                    shown(bridge, rate(bridge.eventsPerSecond)).c_str(),
                    shown(bridge, rate(bridge.megabytesPerSecond)).c_str(),
                    shown(other, rate(other.eventsPerSecond)).c_str(),
                    shown(other, rate(other.megabytesPerSecond)).c_str(),
                    bridge.measured && other.measured
                        ? fixed(bridge.eventsPerSecond / other.eventsPerSecond, 2).c_str()
                        : "-",
                    shown(bridge, fixed(bridge.relayCpu, 1)).c_str(),
                    shown(other, fixed(other.relayCpu, 1)).c_str(),
                    shown(bridge, fixed(bridge.clientCpu * 100, 0) + "%").c_str(),
                    shown(other, fixed(other.clientCpu * 100, 0) + "%").c_str(), unpaced.c_str());
    }
    std::printf("(* a round failed and is left out; a cell with only a reason failed in every "
                "round: see the lines above the table)\n\n");
    std::printf("| measure | bridge |\n|---|---|\n");
    std::printf("| request round trip p50 / p99 (sequential, %zu) | %.3f / %.3f ms |\n",
                requests.size(), percentile(requests, 0.5), percentile(requests, 0.99));
    std::printf("| ping round trip p50 / p99 (sequential, %zu) | %.3f / %.3f ms |\n", pings.size(),
                percentile(pings, 0.5), percentile(pings, 0.99));
    std::printf(
        "| idle RSS, bridge + fake app-server (started, no device yet) | %.1f + %.1f MB |\n",
        double(alone.first) / 1024, double(alone.second) / 1024);
    std::printf("| idle RSS, bridge + fake app-server (16 devices connected) | %.1f + %.1f MB |\n",
                double(idle.first) / 1024, double(idle.second) / 1024);
    std::printf(
        "| peak RSS (VmHWM) after the floods, bridge + fake app-server | %.1f + %.1f MB |\n",
        double(peak.first) / 1024, double(peak.second) / 1024);
    std::printf("| peak RSS (VmHWM) after the unpaced floods too | %.1f + %.1f MB |\n",
                double(unpacedPeak.first) / 1024, double(unpacedPeak.second) / 1024);
    return 0;
}

int main(int argc, char** argv) {
    // The clients' buffers as the bridge keeps its own, so that the clients are not the limit.
    AllocatorSettings::applyForRelay();
    if (argc > 1 && std::string(argv[1]) == "--generate") {
        return generate();
    }
    if (!onlyLoopback()) {
        std::fprintf(stderr, "relay_bench: run it inside tests/link/run-in-private-network.sh, "
                             "where only loopback exists.\n");
        return 1;
    }
    try {
        // RELAY_ONLY=<devices>x<bytes> measures that one case, for a profiler.
        std::optional<std::pair<std::size_t, std::size_t>> only;
        if (const char* filter = std::getenv("RELAY_ONLY")) {
            std::size_t devices = 0, size = 0;
            if (std::sscanf(filter, "%zux%zu", &devices, &size) != 2) {
                std::fprintf(stderr, "relay_bench: RELAY_ONLY is <devices>x<bytes>, as 4x65536.\n");
                return 2;
            }
            only = std::make_pair(devices, size);
        }
        return measure(argc, argv, argc > 1 && std::string(argv[1]) == "--quick", only);
    } catch (const BenchFailure& failure) {
        std::fprintf(stderr, "relay_bench: %s\n", failure.what());
        return 1;
    }
}
