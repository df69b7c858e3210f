// What hostile or stalled peers cost the host, over real TLS WebSocket sessions on loopback. The
// host runs in this process, the peers in a child process (this program started with --peer),
// and each case runs in a process of its own so that its peak resident memory is its own.
//
//   hostile_peers                 all cases, one line each
//   hostile_peers <case>          one case: big-unauthorised, big-authorised, flood, flood-stalled
//
// big-*: one peer sends one 16 MiB message, {"kind":"ping","body":[0,0,...]}, in a single
// frame, before it is authorised (or, for comparison, after). flood*: the host sends 200,000
// blocks of 1 KiB, as fast as a device that reads them takes them, to that device and
// (flood-stalled) to one beside it that stopped reading, as when Codex streams to a paired
// device that went quiet.
#include "link/LinkHost.h"
#include "link/LinkTls.h"
#include "link/PeerConnector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

using namespace tarnwick;

namespace {

constexpr int floodBlocks = 200000;
constexpr int floodBlockSize = 1024;
constexpr int ackEvery = 1000;

// Resident memory of this process now and at its peak, in MiB.
double statusMiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(static_cast<qsizetype>(std::strlen(field)))
                       .trimmed()
                       .split(' ')[0]
                       .toDouble() /
                   1024.0;
        }
    }
    return 0;
}

QByteArray bigPing() {
    QByteArray body = "{\"kind\":\"ping\",\"body\":[";
    const qsizetype size = 16 * 1024 * 1024;
    body.reserve(size);
    while (body.size() < size - 3) {
        body += "0,";
    }
    body.chop(1);
    body += "]}";
    return body;
}

// ---- the peers, in the child process ----

int runBigSender(quint16 port) {
    QWebSocket socket;
    socket.setSslConfiguration(deviceTlsConfiguration());
    socket.setOutgoingFrameSize(QWebSocket::maxOutgoingFrameSize());
    QObject::connect(&socket, &QWebSocket::connected, &socket,
                     [&] { socket.sendBinaryMessage(bigPing()); });
    QObject::connect(&socket, &QWebSocket::disconnected, &socket,
                     [] { QCoreApplication::exit(0); });
    socket.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/session?peer=Sender").arg(port)));
    return QCoreApplication::exec();
}

int runFloodPeers(quint16 port, bool withStalled) {
    PeerConnector reader;
    int received = 0;
    QObject::connect(&reader, &PeerConnector::dataReceived, &reader, [&](const QByteArray&) {
        if (++received % ackEvery == 0) {
            (void)reader.send(QByteArray::number(received));
        }
    });
    QObject::connect(&reader, &PeerConnector::stateChanged, &reader, [](PeerState state) {
        if (state == PeerState::notConnected) {
            QCoreApplication::exit(0);
        }
    });
    if (!reader.open(QStringLiteral("127.0.0.1"), port, "Reader")) {
        return 1;
    }
    // Upgrades, then reads nothing more: its receive window closes and stays closed.
    QSslSocket stalled;
    if (withStalled) {
        stalled.setSslConfiguration(deviceTlsConfiguration());
        stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stalled.setReadBufferSize(4096);
        QObject::connect(&stalled, &QSslSocket::encrypted, &stalled, [&] {
            stalled.write("GET /session?peer=Stalled HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n");
        });
        stalled.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    return QCoreApplication::exec();
}

// ---- the host ----

struct Peers {
    explicit Peers(QStringList arguments) {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QCoreApplication::applicationFilePath(), arguments);
    }
    ~Peers() {
        process.terminate();
        process.waitForFinished();
    }
    QProcess process;
};

// The longest the event loop went without running a 1 ms timer.
class StallWatch {
public:
    StallWatch() {
        clock_.start();
        QObject::connect(&timer_, &QTimer::timeout, &timer_,
                         [this] { longest_ = std::max(longest_, clock_.restart()); });
        timer_.start(1);
    }
    qint64 longestMs() const { return longest_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

// The three events the cases act on.
struct BenchEvents : LinkEvents {
    std::function<void(const PeerHandle&)> onConnected;
    std::function<void(std::string_view bytes, const PeerHandle&)> onReceived;
    std::function<void(const PeerHandle&, SessionEnd)> onEnded;
    void received(std::string_view bytes, const PeerHandle& peer) override {
        onReceived(bytes, peer);
    }
    void connected(const PeerHandle& peer) override { onConnected(peer); }
    void ended(const PeerHandle& peer, SessionEnd end) override { onEnded(peer, end); }
    void disconnected(const PeerHandle&) override {}
    void eased(const PeerHandle&) override {}
    void statusChanged() override {}
};

LinkHostOptions benchOptions() {
    LinkHostOptions options;
    options.port = 0;
    options.listenAddress = QHostAddress::LocalHost;
    options.advertise = false;
    return options;
}

const char* endName(std::optional<SessionEnd> end) {
    if (!end) {
        return "still open";
    }
    switch (*end) {
    case SessionEnd::closed:
        return "closed by the peer";
    case SessionEnd::closedByOwner:
        return "closed by the owner";
    case SessionEnd::tooLarge:
        return "too large (1009)";
    case SessionEnd::unanswered:
        return "pings unanswered";
    case SessionEnd::handshakeOverdue:
        return "handshake overdue";
    case SessionEnd::pairingOverdue:
        return "pairing overdue";
    case SessionEnd::notReading:
        return "not reading (1008)";
    case SessionEnd::displaced:
        return "displaced";
    }
    return "?";
}

int runBig(bool authorise) {
    LinkHost host("Bench", benchOptions());
    BenchEvents events;
    host.setEvents(&events);
    host.start();
    const double before = statusMiB("VmRSS:");
    std::optional<SessionEnd> end;
    qint64 received = 0;
    events.onConnected = [&](const PeerHandle& peer) {
        if (authorise) {
            host.setSessionStage(peer, SessionStage::authorised);
        }
    };
    events.onReceived = [&](std::string_view bytes, const PeerHandle& peer) {
        received = static_cast<qint64>(bytes.size());
        host.closeSession(peer, {}, SessionClose::normal);
    };
    events.onEnded = [&](const PeerHandle&, SessionEnd e) {
        end = e;
        QTimer::singleShot(100, [] { QCoreApplication::exit(0); });
    };
    StallWatch watch;
    QElapsedTimer clock;
    clock.start();
    Peers peers(
        {QStringLiteral("--peer"), QStringLiteral("big"), QString::number(host.listeningPort())});
    QCoreApplication::exec();
    host.setEvents(nullptr);
    std::printf("%-20s RSS before %6.1f MiB, peak %6.1f MiB; session: %s after %lld ms; "
                "received %lld bytes; longest event-loop stall %lld ms\n",
                authorise ? "big-authorised" : "big-unauthorised", before, statusMiB("VmHWM:"),
                endName(end), static_cast<long long>(clock.elapsed()),
                static_cast<long long>(received), static_cast<long long>(watch.longestMs()));
    return 0;
}

int runFlood(bool withStalled) {
    LinkHost host("Bench", benchOptions());
    BenchEvents events;
    host.setEvents(&events);
    host.start();
    PeerHandle reader;
    PeerHandle stalled;
    std::optional<SessionEnd> stalledEnd;
    qint64 stalledEndMs = -1;
    int acknowledged = 0;
    int sent = 0;
    QElapsedTimer clock;
    double before = 0;
    StallWatch watch;
    QTimer pump;

    // Codex's events come as fast as the reader takes them: at most `window` blocks beyond
    // what it acknowledged, which stays under the bound.
    constexpr int window = 4000;
    QObject::connect(&pump, &QTimer::timeout, &host, [&] {
        for (int i = 0; i < 500 && sent < floodBlocks && sent - acknowledged < window;
             ++i, ++sent) {
            // Each send is its own copy, as the bridge's are.
            (void)host.send(QByteArray(floodBlockSize, 'e'), reader);
            if (stalled) {
                (void)host.send(QByteArray(floodBlockSize, 'e'), stalled);
            }
        }
        if (sent == floodBlocks) {
            pump.stop();
        }
    });
    const auto beginWhenReady = [&] {
        if (reader && (stalled || !withStalled) && !pump.isActive() && sent == 0) {
            before = statusMiB("VmRSS:");
            clock.start();
            pump.start(0);
        }
    };
    events.onConnected = [&](const PeerHandle& peer) {
        host.setSessionStage(peer, SessionStage::authorised);
        (peer->displayName() == "Reader" ? reader : stalled) = peer;
        beginWhenReady();
    };
    events.onReceived = [&](std::string_view bytes, const PeerHandle&) {
        acknowledged = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toInt();
        if (acknowledged == floodBlocks) {
            QCoreApplication::exit(0);
        }
    };
    events.onEnded = [&](const PeerHandle& peer, SessionEnd end) {
        if (peer == stalled) {
            stalledEnd = end;
            stalledEndMs = clock.elapsed();
            stalled = nullptr;
        }
    };
    Peers peers({QStringLiteral("--peer"),
                 QString::fromLatin1(withStalled ? "flood-stalled" : "flood"),
                 QString::number(host.listeningPort())});
    QCoreApplication::exec();
    host.setEvents(nullptr);
    const qint64 elapsed = clock.elapsed();
    std::printf("%-20s RSS before %6.1f MiB, peak %6.1f MiB; reader got %d of %d blocks in %lld "
                "ms; longest event-loop stall %lld ms",
                withStalled ? "flood-stalled" : "flood", before, statusMiB("VmHWM:"), acknowledged,
                floodBlocks, static_cast<long long>(elapsed),
                static_cast<long long>(watch.longestMs()));
    if (withStalled) {
        std::printf("; stalled reader: %s after %lld ms", endName(stalledEnd),
                    static_cast<long long>(stalledEndMs));
    }
    std::printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 4 && arguments[1] == QLatin1String("--peer")) {
        const quint16 port = arguments[3].toUShort();
        if (arguments[2] == QLatin1String("big")) {
            return runBigSender(port);
        }
        return runFloodPeers(port, arguments[2] == QLatin1String("flood-stalled"));
    }
    const QStringList cases{QStringLiteral("big-unauthorised"), QStringLiteral("big-authorised"),
                            QStringLiteral("flood"), QStringLiteral("flood-stalled")};
    if (arguments.size() == 2 && cases.contains(arguments[1])) {
        const QString& name = arguments[1];
        if (name.startsWith(QLatin1String("big"))) {
            return runBig(name == QLatin1String("big-authorised"));
        }
        return runFlood(name == QLatin1String("flood-stalled"));
    }
    for (const QString& name : cases) {
        QProcess one;
        one.setProcessChannelMode(QProcess::ForwardedChannels);
        one.start(QCoreApplication::applicationFilePath(), {name});
        one.waitForFinished(-1);
        std::fflush(stdout);
    }
    return 0;
}
