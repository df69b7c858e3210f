// tarnwick-device, run as a program of its own, against a bridge made of real parts (see
// DeviceBridgeTest.h), with the real Codex CLI or, where a fault must be forced, the scripted
// fake.
#include "appserver/FakeCodex.h"
#include "device/DeviceBridgeTest.h"
#include "device/TlsRelay.h"
#include "link/CertificateFingerprint.h"

#include <QTcpServer>

#include <regex>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

class DeviceEndToEndTest : public DeviceBridgeTest {
protected:
    // The settings of the device of `home`, where it remembers its bridge.
    static std::unique_ptr<QSettings> deviceSettings(const std::filesystem::path& home) {
        return std::make_unique<QSettings>(
            QString::fromStdString(
                (home / "XDG_CONFIG_HOME" / "tarnwick" / "tarnwick-device.conf").string()),
            QSettings::NativeFormat);
    }
    static std::string remembered(const std::filesystem::path& home, const char* key) {
        return deviceSettings(home)->value(key).toString().toStdString();
    }
    // A bridge on the scripted fake app-server, with the laptop paired.
    void startPaired(const std::vector<std::string>& script = {}) {
        codex_.emplace(script);
        startBridge(codex_->executable());
        pair(laptop_, "Laptop");
    }

    std::optional<FakeCodex> codex_;
};

} // namespace

TEST_F(DeviceEndToEndTest, PairsThenDrivesTheRealCodexCli) {
    ASSERT_TRUE(std::filesystem::exists(CODEX_CLI_PATH))
        << CODEX_CLI_PATH << " is missing; scripts/setup installs it";
    startBridge(CODEX_CLI_PATH);
    pair(laptop_, "Laptop");
    ASSERT_EQ(bridge_.controller().trustedPeers().size(), 1u);
    EXPECT_EQ(bridge_.controller().trustedPeers()[0].protocolVersion, 2);

    // Every later run is a new connection, let in by its proof alone. (What Codex answers to
    // each allowlisted read is CodexCliTest's.)
    auto listed = call(laptop_, {"thread/list"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(decoded(listed.out).member("data")) << listed.out;
    EXPECT_TRUE(logged("Authenticated Laptop."));
    EXPECT_TRUE(bridge_.controller().pairingRequests().empty());

    // A watcher sees the thread that a call starts.
    DeviceRun watch(laptop_, {"watch", "--decline-all", "--name", "Laptop watch"});
    ASSERT_TRUE(watch.waitForError("Watching")) << watch.err;
    auto started = call(laptop_, {"thread/start", "{}"});
    ASSERT_EQ(started.status, 0) << started.err;
    const JSONValue startedThread = decoded(started.out);
    const JSONValue* thread = startedThread.member("thread");
    ASSERT_TRUE(thread && thread->member("id"));
    std::optional<JSONValue> announced;
    ASSERT_TRUE(waitUntil([&] {
        announced = printed(watch.out, "thread/started");
        return announced.has_value();
    })) << watch.out;
    EXPECT_EQ(*announced->member("params")->member("thread")->member("id"), *thread->member("id"));
    // Printed for grep: slashes as they stand, in methods and in paths alike.
    EXPECT_NE(watch.out.find(R"("method":"thread/started")"), std::string::npos) << watch.out;
    EXPECT_EQ((watch.out + started.out).find("\\/"), std::string::npos) << started.out;
    watch.interrupt();
    EXPECT_EQ(watch.finish(), 0) << watch.err;

    // What the bridge refuses, and the statuses its refusals give, are the bridge's and the
    // device session's unit tests; here, what only the program decides.
    EXPECT_EQ(call(laptop_, {"thread/list", "{not json"}).status, 2);
    auto stranger = call(stranger_, {"thread/list"});
    EXPECT_EQ(stranger.status, 4);
    EXPECT_EQ(stranger.err, "Pair this device first.\n");
}

// A paired device behind a relay. (A first pairing through one fails at the bridge's proof, which
// covers the certificate the bridge has and not the one the device saw: BridgeDeviceV2's
// refusal test and the bridge's relayed-certificate tests.)
TEST_F(DeviceEndToEndTest, SendsNothingSignedToABridgeBehindARelayWithItsOwnCertificate) {
    startPaired();
    const std::string bridgeCertificate = remembered(laptop_, "bridge/certificate");
    ASSERT_EQ(bridgeCertificate.size(), 64u);
    TlsRelay relay(bridge_.port());
    const std::string relayCertificate = certificateFingerprint(relay.certificate());

    // Passed along as it is, the bridge's offer names another certificate than the relay's.
    auto passedOn = call(laptop_, {"thread/list", "--bridge", relay.address()});
    EXPECT_EQ(passedOn.status, 6) << passedOn.err;
    EXPECT_NE(passedOn.err.find("WARNING"), std::string::npos) << passedOn.err;
    // Made to name the relay's certificate, it meets the pinned certificate key.
    relay.rewriteFromBridge = [&](const std::string& message) {
        return replaced(message, bridgeCertificate, relayCertificate);
    };
    auto pinned = call(laptop_, {"thread/list", "--bridge", relay.address()});
    EXPECT_EQ(pinned.status, 6) << pinned.err;
    EXPECT_NE(pinned.err.find("ANOTHER CERTIFICATE KEY"), std::string::npos) << pinned.err;
    EXPECT_TRUE(relay.fromDevice.empty()) << "the paired device said nothing at all";
    EXPECT_FALSE(logged("Authenticated Laptop."));
}

// What the device remembered of the bridge decides whether it follows it.
TEST_F(DeviceEndToEndTest, FollowsARenewedCertificatePinsANewOneAndRefusesAChangedKey) {
    startPaired();
    const std::string certificate = remembered(laptop_, "bridge/certificate");
    ASSERT_EQ(certificate.size(), 64u);

    // Paired while the bridge showed another certificate over the same key (as one from before
    // its certificate authority did; the link's identity tests upgrade such a bridge): the
    // device follows.
    deviceSettings(laptop_)->setValue("bridge/certificate", QString(64, 'a'));
    auto renewed = call(laptop_, {"thread/list"});
    EXPECT_EQ(renewed.status, 0) << renewed.err;
    EXPECT_NE(renewed.err.find("renewed its certificate"), std::string::npos) << renewed.err;
    EXPECT_EQ(remembered(laptop_, "bridge/certificate"), certificate);

    // A bridge remembered before certificates were pinned.
    deviceSettings(laptop_)->remove("bridge/certificate");
    deviceSettings(laptop_)->remove("bridge/certificateKey");
    auto upgraded = call(laptop_, {"thread/list"});
    EXPECT_EQ(upgraded.status, 0) << upgraded.err;
    EXPECT_NE(upgraded.err.find("Bridge certificate SHA-256: "), std::string::npos) << upgraded.err;
    EXPECT_EQ(remembered(laptop_, "bridge/certificate"), certificate);
    EXPECT_EQ(call(laptop_, {"thread/list"}).err, "");

    // Another bridge speaking under the paired bridge's device ID.
    ASSERT_FALSE(remembered(laptop_, "bridge/publicKey").empty());
    deviceSettings(laptop_)->setValue("bridge/publicKey", "AAAA");
    auto refused = call(laptop_, {"thread/list"});
    EXPECT_EQ(refused.status, 6);
    EXPECT_NE(refused.err.find("WARNING"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("pair --replace"), std::string::npos) << refused.err;

    DeviceRun replaced(laptop_, {"pair", bridgeAddress(), "--replace", "--name", "Laptop"});
    EXPECT_EQ(replaced.finish(), 0) << replaced.err;
    EXPECT_NE(replaced.out.find("already paired"), std::string::npos) << replaced.out;
    EXPECT_EQ(call(laptop_, {"thread/list"}).status, 0);
}

TEST_F(DeviceEndToEndTest, CtrlCInterruptsTheRunningTurn) {
    startPaired({
        R"(answer thread/resume result {"thread":{"id":"T7"}})",
        R"(answer turn/start result {"turn":{"id":"U7","status":"inProgress"}})",
        "wait turn/interrupt",
        R"(line {"method":"turn/completed","params":{"threadId":"T7","turn":{"id":"U7",)"
        R"("status":"interrupted"}}})",
    });

    DeviceRun chat(laptop_, {"chat", "T7", "--name", "Laptop"});
    ASSERT_TRUE(chat.waitForError("Thread T7")) << chat.err;
    chat.write("Think for a long time\n");
    ASSERT_TRUE(waitUntil([&] { return relayedCount("turn/start") == 1; }));
    // Whether or not the turn's id has reached the device yet, Ctrl-C interrupts that turn.
    chat.interrupt();
    ASSERT_TRUE(waitUntil([&] { return relayedCount("turn/interrupt") == 1; })) << chat.err;
    ASSERT_TRUE(chat.waitForError("(turn interrupted)")) << chat.err;
    EXPECT_EQ(chat.finish(), 0) << chat.err;
}

// Found by DNS-SD, the way the README's two-terminal session goes: only inside the private
// network of tests/link/run-in-private-network.sh, which has an Avahi daemon of its own.
TEST_F(DeviceEndToEndTest, DiscoversPairsWithAndCallsTheOnlyBridgeNearby) {
    if (!qEnvironmentVariableIsSet("TARNWICK_IN_PRIVATE_NETWORK")) {
        GTEST_SKIP() << "needs the private network with its own Avahi daemon";
    }
    FakeCodex codex({});
    startBridge(codex.executable(), true);
    const std::string service = bridge_.link().peerName();
    const std::string port = std::to_string(bridge_.link().listeningPort());

    // Publishing takes a moment; each discover run browses for a second.
    std::string listed;
    ASSERT_TRUE(waitUntil([&] {
        DeviceRun discover(laptop_, {"discover", "--browse", "1"});
        discover.finish();
        listed = discover.out;
        return listed.find(service + "\t") != std::string::npos;
    })) << listed;
    EXPECT_NE(listed.find("\t" + port + "\n"), std::string::npos) << listed;

    pair(laptop_, "Laptop", true);
    auto listedThreads = call(laptop_, {"thread/list"});
    EXPECT_EQ(listedThreads.status, 0) << listedThreads.err;
}

TEST_F(DeviceEndToEndTest, ABridgeThatIsNotThereOrGoesAwayMidCallEndsWithItsOwnStatus) {
    // A port that was free a moment ago and has nobody listening.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    DeviceRun nobody(laptop_, {"pair", QStringLiteral("127.0.0.1:%1").arg(port)});
    EXPECT_EQ(nobody.finish(), 3);
    EXPECT_NE(nobody.err.find("Could not connect"), std::string::npos) << nobody.err;

    startPaired({"answer thread/read silent"});
    DeviceRun waiting(laptop_, {"call", "thread/read", R"({"threadId":"t1"})", "--name", "Laptop"});
    ASSERT_TRUE(waitUntil([&] { return relayedCount("thread/read") == 1; }));
    bridge_.stop();
    EXPECT_EQ(waiting.finish(), 5);
    EXPECT_EQ(waiting.err, "The bridge went away before it answered.\n");
}

TEST_F(DeviceEndToEndTest, ARejectedPairingAReplacedOrAForgottenSessionSaysWhyWithItsStatus) {
    startPaired();
    DeviceRun rejected(stranger_, {"pair", bridgeAddress(), "--name", "Stranger"});
    decide(rejected, PairingDecision::reject);
    EXPECT_EQ(rejected.finish(), 4);
    EXPECT_NE(rejected.out.find("Pairing rejected"), std::string::npos) << rejected.out;
    // The fingerprint in two lines broken between pairs, as no 80-column terminal would split
    // it; the code to compare is on "the bridge", wherever it runs.
    EXPECT_TRUE(std::regex_search(rejected.out, std::regex("(^|\n)Bridge certificate SHA-256: "
                                                           "(?:[0-9A-F]{2}:){16}\n {28}[0-9A-F]{2}"
                                                           "(?::[0-9A-F]{2}){15}\n")))
        << rejected.out;
    EXPECT_EQ(rejected.out.find("window"), std::string::npos) << rejected.out;
    EXPECT_EQ(call(stranger_, {"thread/list"}).status, 4) << "a rejected device remembers nothing";

    DeviceRun first(laptop_, {"watch", "--decline-all", "--name", "Laptop"});
    ASSERT_TRUE(first.waitForError("Watching")) << first.err;

    // A chat, a call or another watch under the same name takes the session's place.
    DeviceRun second(laptop_, {"watch", "--decline-all", "--name", "Laptop"});
    ASSERT_TRUE(second.waitForError("Watching")) << second.err;
    EXPECT_EQ(first.finish(), 5);
    EXPECT_TRUE(first.err.ends_with("\nReplaced by another session of this device.\n"))
        << first.err;

    // Forgotten on the bridge, the device is told at once instead of waiting for nothing.
    ASSERT_EQ(bridge_.controller().trustedPeers().size(), 1u);
    bridge_.controller().forget(bridge_.controller().trustedPeers()[0]);
    EXPECT_EQ(second.finish(), 4);
    EXPECT_TRUE(second.err.ends_with("\nThis device is no longer paired with the bridge.\n"))
        << second.err;
}
