// DNS-SD for real: a host link published through an Avahi daemon, seen by avahi-browse and
// found by a HostBrowser. Runs inside the private network that
// run-in-private-network.sh makes (loopback only, a private system bus and Avahi daemon).
#include "LinkTestSupport.h"
#include "link/HostBrowser.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace tarnwick;
using namespace tarnwick::test;

namespace {

// Runs avahi-browse until it lists the service `name`; the fields of its line ("=", interface,
// protocol, name, type, domain, host, address, port, TXT).
std::optional<QList<QByteArray>> browsed(const std::string& name) {
    std::optional<QList<QByteArray>> found;
    waitUntil([&] {
        QProcess process;
        process.start(QStringLiteral("avahi-browse"),
                      {QStringLiteral("-rpt"), QStringLiteral("_tarnwick._tcp")});
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
        }
        for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = line.split(';');
            if (fields.size() >= 10 && fields[0] == "=" && fields[3].toStdString() == name) {
                found = fields;
            }
        }
        return found.has_value();
    });
    return found;
}

LinkHostOptions advertisedOptions() {
    LinkHostOptions options = loopbackOptions();
    options.advertise = true;
    return options;
}

PeerHandle discovered(const HostBrowser& client, const std::string& name) {
    const auto named = [&] {
        return std::ranges::find(client.discoveredPeers(), name, &Peer::displayName);
    };
    waitUntil([&] { return named() != client.discoveredPeers().end(); });
    return named() == client.discoveredPeers().end() ? nullptr : *named();
}

// A system bus with no Avahi daemon on it.
class EmptyBus {
public:
    EmptyBus() {
        process_.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=/usr/share/dbus-1/system.conf"),
                        QStringLiteral("--address=unix:path=") + directory_.filePath("bus"),
                        QStringLiteral("--nopidfile"), QStringLiteral("--nofork"),
                        QStringLiteral("--print-address")});
        waitUntil(
            [&] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; });
        previous_ = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", process_.readLine().trimmed());
    }
    ~EmptyBus() {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", previous_);
        process_.terminate();
        process_.waitForFinished();
    }
    bool running() const { return process_.state() == QProcess::Running; }

private:
    QTemporaryDir directory_;
    QProcess process_;
    QByteArray previous_;
};

} // namespace

// avahi-browse sees what a phone would; the browser finds each host once, opens a session to
// one, and loses the other when it goes.
TEST(DnsSd, HostsAreAdvertisedFoundOnceAndLostWhenTheyGo) {
    ASSERT_EQ(qgetenv("TARNWICK_IN_PRIVATE_NETWORK"), "1")
        << "run this program through run-in-private-network.sh";
    LinkHostOptions options = advertisedOptions();
    options.listenAddress = QHostAddress::Any;
    LinkRig rig(options);
    auto other = startedHost(advertisedOptions(), "Studio");
    const auto service = browsed(rig.link->peerName());
    ASSERT_TRUE(service) << "avahi-browse never listed " << rig.link->peerName();
    EXPECT_EQ(service->at(1), "lo");
    EXPECT_EQ(service->at(8).toUShort(), rig.port());
    EXPECT_EQ(service->mid(9).join(';'), "\"version=1\"");
    EXPECT_EQ(rig.link->statusText(), "Available on local network");

    HostBrowser client;
    int changes = 0;
    QObject::connect(&client, &HostBrowser::discoveredPeersChanged, &client, [&] { ++changes; });
    client.start();
    EXPECT_EQ(client.statusText().toStdString(), "Looking for Macs\u2026");
    const PeerHandle found = discovered(client, rig.link->peerName());
    ASSERT_TRUE(found) << "the client never found " << rig.link->peerName();
    ASSERT_TRUE(discovered(client, other->peerName()));
    EXPECT_GE(changes, 1);
    runFor(1s); // later announcements (other address families) must not add entries
    EXPECT_EQ(client.discoveredPeers().size(), 2u); // the private network holds no other host
    ASSERT_TRUE(found->endpoint());
    EXPECT_EQ(found->endpoint()->port, rig.port());
    EXPECT_EQ(found->endpoint()->txt, (std::map<std::string, std::string>{{"version", "1"}}));
    const QHostAddress address(QString::fromStdString(found->endpoint()->host));
    EXPECT_TRUE(address.isLoopback()) << found->endpoint()->host;

    TestDevice device;
    ASSERT_TRUE(device.connector.open(found, "Phone").hasValue());
    ASSERT_TRUE(device.waitForState(PeerState::connected));
    ASSERT_TRUE(waitUntil([&] { return rig.host.connected.size() == 1; }));
    EXPECT_EQ(rig.host.connected.front()->displayName(), "Phone");

    other.reset();
    EXPECT_TRUE(waitUntil([&] { return client.discoveredPeers().size() == 1; }));
    EXPECT_EQ(client.discoveredPeers(), (std::vector<PeerHandle>{found}));
}

// The bus address is read once per process, so this one runs in a process of its own (see
// CMakeLists.txt); it needs no private network, since no daemon is there to publish anything.
TEST(DnsSdWithoutDaemon, AdvertisingAndDiscoveryFailButTheListenerStays) {
    EmptyBus bus;
    ASSERT_TRUE(bus.running());
    auto host = startedHost(advertisedOptions());
    waitUntil([&] { return host->statusText().starts_with("Advertising failed"); }, 10s);
    EXPECT_EQ(host->statusText(),
              "Advertising failed: Daemon not running. Devices cannot find this bridge by name, "
              "only by its address. To fix this, install avahi-daemon and start it: sudo "
              "systemctl enable --now avahi-daemon");
    // It goes on saying what is missing while devices come and go by address: nothing is
    // "available" by name.
    const std::string failure = host->statusText();
    TestDevice device;
    EXPECT_TRUE(device.connectTo(host->listeningPort(), "Phone"));
    EXPECT_TRUE(waitUntil([&] { return host->statusText() == "Connected to Phone. " + failure; }))
        << host->statusText();
    device.connector.close();
    EXPECT_TRUE(waitUntil([&] { return host->statusText() == failure; })) << host->statusText();

    HostBrowser client;
    client.start();
    EXPECT_EQ(client.statusText().toStdString(), "Discovery failed: Daemon not running");
}
