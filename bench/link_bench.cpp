// Throughput of the link from the host to its devices over real TLS WebSocket sessions on
// loopback: one host and 1, 4 and 16 devices, 300-byte and 1 MiB blocks. The devices run in a
// child process (this program started with --devices) so that the host has its own thread
// of work, as it would in the bridge. Each device acknowledges what it received, and the host
// keeps a fixed window of blocks in flight per device.
//
//   link_bench [seconds per case, default 3] [devices block-size]   (one case only)
#include "link/LinkHost.h"
#include "link/PeerConnector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

using namespace tarnwick;

namespace {

struct Case {
    int devices;
    int blockSize;
    int window;   // blocks in flight per device
    int ackEvery; // blocks per acknowledgement
};

// Device side: n connectors that acknowledge every `ackEvery` blocks.
int runDevices(quint16 port, int count, int ackEvery) {
    std::vector<std::unique_ptr<PeerConnector>> devices;
    std::vector<int> received(count, 0);
    for (int i = 0; i < count; ++i) {
        devices.push_back(std::make_unique<PeerConnector>());
        PeerConnector* device = devices.back().get();
        QObject::connect(device, &PeerConnector::dataReceived, device,
                         [device, &received, i, ackEvery](const QByteArray&) {
                             if (++received[i] % ackEvery == 0) {
                                 (void)device->send(QByteArray("ack"));
                             }
                         });
        QObject::connect(device, &PeerConnector::stateChanged, device, [](PeerState state) {
            if (state == PeerState::notConnected) {
                QCoreApplication::exit(0);
            }
        });
        if (!device->open(QStringLiteral("127.0.0.1"), port, "Device " + std::to_string(i))) {
            return 1;
        }
    }
    return QCoreApplication::exec();
}

// The two events the bench acts on.
struct BenchEvents : LinkEvents {
    std::function<void(const PeerHandle&)> onAcknowledged;
    std::function<void(const PeerHandle&)> onConnected;
    void received(std::string_view, const PeerHandle& peer) override { onAcknowledged(peer); }
    void connected(const PeerHandle& peer) override { onConnected(peer); }
    void ended(const PeerHandle&, SessionEnd) override {}
    void disconnected(const PeerHandle&) override {}
    void eased(const PeerHandle&) override {}
    void statusChanged() override {}
};

struct Result {
    double blocksPerSecond = 0;
    double megabytesPerSecond = 0;
};

Result runCase(const Case& c, std::chrono::milliseconds duration) {
    LinkHostOptions options;
    options.port = 0;
    options.listenAddress = QHostAddress::LocalHost;
    options.advertise = false;
    // Every device comes from loopback: one address may hold all the places.
    options.maxPendingPerAddress = options.maxPendingConnections;
    options.maxUnauthorisedPerAddress = options.maxUnauthorisedSessions;
    LinkHost host("Bench", options);
    BenchEvents events;
    host.setEvents(&events);
    host.start();

    const QByteArray payload(c.blockSize, 'x');
    std::map<const Peer*, long> sent;
    long acknowledged = 0;
    long total = 0;
    bool sending = false;
    QElapsedTimer clock;
    qint64 lastAck = 0;

    const auto sendBlocks = [&](const PeerHandle& peer, int n) {
        for (int i = 0; i < n; ++i) {
            if (!host.send(payload, peer)) {
                return;
            }
        }
        sent[peer.get()] += n;
        total += n;
    };
    events.onAcknowledged = [&](const PeerHandle& peer) {
        acknowledged += c.ackEvery;
        lastAck = clock.nsecsElapsed();
        if (sending && clock.elapsed() < duration.count()) {
            sendBlocks(peer, c.ackEvery);
        } else {
            sending = false;
        }
        if (!sending && acknowledged == total) {
            QCoreApplication::exit(0);
        }
    };
    events.onConnected = [&](const PeerHandle& arrived) {
        host.setSessionStage(arrived, SessionStage::authorised); // as the bridge does a paired one
        if (static_cast<int>(host.connectedPeers().size()) < c.devices) {
            return;
        }
        sending = true;
        clock.start();
        for (const auto& peer : host.connectedPeers()) {
            sendBlocks(peer, c.window);
        }
    };

    QProcess devices;
    devices.setProcessChannelMode(QProcess::ForwardedChannels);
    devices.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--devices"), QString::number(host.listeningPort()),
                   QString::number(c.devices), QString::number(c.ackEvery)});
    QCoreApplication::exec();
    devices.terminate();
    devices.waitForFinished();
    host.setEvents(nullptr);

    const double seconds = static_cast<double>(lastAck) / 1e9;
    Result result;
    result.blocksPerSecond = static_cast<double>(acknowledged) / seconds;
    result.megabytesPerSecond = result.blocksPerSecond * c.blockSize / 1e6;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 5 && arguments[1] == QLatin1String("--devices")) {
        return runDevices(arguments[2].toUShort(), arguments[3].toInt(), arguments[4].toInt());
    }
    const auto duration =
        std::chrono::milliseconds(arguments.size() > 1 ? arguments[1].toInt() * 1000 : 3000);

    std::vector<Case> cases;
    for (int devices : {1, 4, 16}) {
        cases.push_back(Case{devices, 300, 256, 64});
        cases.push_back(Case{devices, 1 << 20, 4, 1});
    }
    if (arguments.size() == 4) {
        std::erase_if(cases, [&](const Case& c) {
            return c.devices != arguments[2].toInt() || c.blockSize != arguments[3].toInt();
        });
    }
    std::printf("%-8s %-10s %14s %10s\n", "devices", "block", "blocks/s", "MB/s");
    for (int devices : {1, 4, 16}) {
        for (const Case& c : cases) {
            if (c.devices != devices) {
                continue;
            }
            const Result result = runCase(c, duration);
            std::printf("%-8d %-10s %14.0f %10.1f\n", c.devices,
                        c.blockSize == 300 ? "300 B" : "1 MiB", result.blocksPerSecond,
                        result.megabytesPerSecond);
            std::fflush(stdout);
        }
    }
    return 0;
}
