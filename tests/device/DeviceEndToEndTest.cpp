// tarnwick-device, run as a program of its own, against a bridge made of real parts: the TLS
// WebSocket link on loopback, this computer's identity and the trusted devices in a private
// file keychain, and the app-server client running the real Codex CLI (or, where a fault must
// be forced, the scripted fake). Everything runs in a network namespace with loopback alone and
// with temporary homes for the bridge and for each device.
#include "appserver/FakeCodex.h"
#include "bridge/AppServerClientAdapter.h"
#include "bridge/BridgeController.h"
#include "bridge/DeviceIdentityAdapter.h"
#include "bridge/PeerLinkAdapter.h"
#include "bridge/TrustStoreAdapter.h"
#include "identity/KeychainChooser.h"
#include "support/FakeNeighbours.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <QProcess>
#include <QSettings>
#include <QTcpServer>

#include <gtest/gtest.h>
#include <ifaddrs.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

bool onlyLoopback() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return false;
    }
    bool loopbackOnly = true;
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        loopbackOnly = loopbackOnly && std::strcmp(entry->ifa_name, "lo") == 0;
    }
    freeifaddrs(interfaces);
    return loopbackOnly;
}

// The real client, counting the requests the controller handed to it.
class CountingAppServer : public BridgeAppServer {
public:
    explicit CountingAppServer(std::string executable)
        : executable_(std::move(executable)),
          real_(std::make_unique<AppServerClientAdapter>(AppServerClient::create())) {}

    // The fake app-server's echo of every line it read is kept here, never relayed.
    void setHandlers(Handlers handlers) override {
        auto notification = handlers.notification;
        handlers.notification = [this, notification](const std::string& method,
                                                     const JSONValue& params) {
            if (method == "fake/received") {
                if (const JSONValue* line = params.member("line"); line && line->stringValue()) {
                    received.push_back(*JSONValue::decode(*line->stringValue()));
                }
            } else if (notification) {
                notification(method, params);
            }
        };
        real_->setHandlers(std::move(handlers));
    }
    std::optional<std::string> findCodexExecutable() const override { return executable_; }
    void start(std::optional<std::string> executable) override { real_->start(executable); }
    void request(std::string method, JSONValue params, Completion completion) override {
        methods.push_back(method);
        real_->request(std::move(method), std::move(params), std::move(completion));
    }
    void respond(JSONValue id, JSONValue result) override {
        real_->respond(std::move(id), std::move(result));
    }
    void respondError(JSONValue id, std::string message) override {
        real_->respondError(std::move(id), std::move(message));
    }

    std::vector<std::string> methods;
    std::vector<JSONValue> received;

private:
    std::string executable_;
    std::unique_ptr<AppServerClientAdapter> real_;
};

// One run of tarnwick-device with the home of one device.
class DeviceRun {
public:
    DeviceRun(const std::filesystem::path& home, const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                 "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
            environment.insert(name, QString::fromStdString((home / name).string()));
            std::filesystem::create_directories(home / name);
            std::filesystem::permissions(home / name, std::filesystem::perms::owner_all);
        }
        // No session bus: the device keeps its key in its private file store.
        environment.remove("DBUS_SESSION_BUS_ADDRESS");
        process_.setProcessEnvironment(environment);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, &process_,
                         [this] { out += process_.readAllStandardOutput().toStdString(); });
        QObject::connect(&process_, &QProcess::readyReadStandardError, &process_,
                         [this] { err += process_.readAllStandardError().toStdString(); });
        process_.start(QStringLiteral(TARNWICK_DEVICE_PATH), arguments);
        command_ = "$ tarnwick-device " + arguments.join(' ').toStdString();
    }
    ~DeviceRun() {
        // TARNWICK_SHOW_DEVICE_RUNS=1 shows each run as it would look in a terminal.
        if (qEnvironmentVariableIsSet("TARNWICK_SHOW_DEVICE_RUNS")) {
            std::cerr << command_ << "\n" << err << out << std::flush;
        }
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    // Waits for the end without blocking the bridge, which runs on this thread too.
    int finish() {
        process_.closeWriteChannel();
        EXPECT_TRUE(waitUntil([&] { return process_.state() == QProcess::NotRunning; }))
            << "still running; out: " << out << " err: " << err;
        out += process_.readAllStandardOutput().toStdString();
        err += process_.readAllStandardError().toStdString();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    bool waitForOutput(const std::string& text) {
        return waitUntil([&] { return out.find(text) != std::string::npos; });
    }
    void write(const std::string& text) { process_.write(text.data(), qint64(text.size())); }
    void interrupt() { ::kill(static_cast<pid_t>(process_.processId()), SIGINT); }

    std::string out;
    std::string err;

private:
    QProcess process_;
    std::string command_;
};

class DeviceEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!onlyLoopback()) {
            GTEST_SKIP() << "the Codex CLI is only run where it cannot reach the network";
        }
    }

    void TearDown() override { controller_.reset(); }

    void startBridge(const std::string& codex, bool advertise = false) {
        PeerLinkOptions linkOptions;
        linkOptions.port = 0;
        linkOptions.advertise = advertise;
        linkOptions.listenAddress = QHostAddress::LocalHost;
        auto link = std::make_unique<PeerLinkAdapter>(
            std::make_unique<PeerLink>(PeerLinkMode::host, "Studio", linkOptions));
        link_ = link.get();
        auto appServer = std::make_unique<CountingAppServer>(codex);
        appServer_ = appServer.get();

        std::shared_ptr<KeychainStore> keychain =
            openKeychain("app.tarnwick.bridge", folders_.path() / "bridge-keychain", false);
        QSettings settings(QString::fromStdString((folders_.path() / "bridge.ini").string()),
                           QSettings::IniFormat);
        BridgeNeighbours neighbours;
        neighbours.link = std::move(link);
        neighbours.appServer = std::move(appServer);
        neighbours.trustStore = std::make_unique<TrustStoreAdapter>(keychain);
        neighbours.identity =
            std::unique_ptr<BridgeIdentity>(std::make_unique<DeviceIdentityAdapter>(
                std::move(DeviceIdentity::create(*keychain, settings)).value()));
        neighbours.loginItems = std::make_unique<FakeLoginItems>();
        neighbours.hostName = std::make_unique<FakeHostName>();
        controller_ = std::make_unique<BridgeController>(std::move(neighbours));
        controller_->start();
        ASSERT_TRUE(waitUntil([&] { return controller_->appServerReady(); }))
            << controller_->appServerStatus().toStdString();
    }

    QString bridgeAddress() const {
        return QStringLiteral("127.0.0.1:%1").arg(link_->link().listeningPort());
    }

    // Pairs the device of `home` under `name`, accepting on the bridge when the code matches.
    void pair(const std::filesystem::path& home, const QString& name) {
        DeviceRun run(home, {"pair", bridgeAddress(), "--name", name});
        ASSERT_TRUE(run.waitForOutput("Waiting for the bridge")) << run.err;
        ASSERT_TRUE(waitUntil([&] { return !controller_->pairingRequests().empty(); }));
        const PairingRequest request = controller_->pairingRequests().back();
        EXPECT_NE(run.out.find("Pairing code: " + request.code + "\n"), std::string::npos)
            << run.out;
        controller_->accept(request);
        EXPECT_EQ(run.finish(), 0) << run.err;
        EXPECT_NE(run.out.find("Pairing accepted"), std::string::npos) << run.out;
    }

    // One `call` from the device of `home`: its exit status, output and error output.
    struct CallResult {
        int status;
        std::string out;
        std::string err;
    };
    CallResult call(const std::filesystem::path& home, QStringList arguments) {
        arguments.prepend("call");
        arguments << "--name"
                  << "Laptop";
        DeviceRun run(home, arguments);
        int status = run.finish();
        return {status, run.out, run.err};
    }

    static JSONValue decoded(const std::string& out) {
        auto value = JSONValue::decode(out);
        EXPECT_TRUE(value.hasValue()) << out;
        return value ? *value : JSONValue();
    }

    // The params of the first event of `method` among the JSON lines that watch printed.
    static std::optional<JSONValue> event(const std::string& out, const std::string& method) {
        std::size_t start = 0;
        for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
            auto line = JSONValue::decode(std::string_view(out).substr(start, end - start));
            if (line && line->member("method") && *line->member("method") == JSONValue(method) &&
                line->member("params")) {
                return *line->member("params");
            }
        }
        return std::nullopt;
    }

    bool logged(const std::string& line) const {
        const auto& logs = controller_->logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }

    TemporaryHome bridgeHome_;
    TemporaryDirectory folders_{"tarnwick-device-e2e"};
    std::filesystem::path laptop_ = folders_.path() / "laptop";
    std::filesystem::path stranger_ = folders_.path() / "stranger";
    PeerLinkAdapter* link_ = nullptr;
    CountingAppServer* appServer_ = nullptr;
    std::unique_ptr<BridgeController> controller_;
};

} // namespace

TEST_F(DeviceEndToEndTest, PairsThenDrivesTheRealCodexCli) {
    ASSERT_TRUE(std::filesystem::exists(CODEX_CLI_PATH))
        << CODEX_CLI_PATH << " is missing; scripts/setup installs it";
    startBridge(CODEX_CLI_PATH);
    pair(laptop_, "Laptop");
    EXPECT_TRUE(logged("Paired Laptop."));
    ASSERT_EQ(controller_->trustedPeers().size(), 1u);

    // Every later run is a new connection, let in by its hello alone.
    for (const char* method : {"thread/list", "model/list", "account/read"}) {
        auto result = call(laptop_, {method});
        ASSERT_EQ(result.status, 0) << method << ": " << result.err;
        EXPECT_TRUE(decoded(result.out).objectValue()) << method << ": " << result.out;
    }
    EXPECT_TRUE(decoded(call(laptop_, {"model/list"}).out).member("data"));
    EXPECT_TRUE(logged("Authenticated Laptop."));
    EXPECT_TRUE(controller_->pairingRequests().empty());

    // A watcher sees the thread that a call starts.
    DeviceRun watch(laptop_, {"watch", "--decline-all", "--name", "Laptop watch"});
    ASSERT_TRUE(waitUntil([&] { return watch.err.find("Watching") != std::string::npos; }))
        << watch.err;
    auto started = call(laptop_, {"thread/start", "{}"});
    ASSERT_EQ(started.status, 0) << started.err;
    const JSONValue startedThread = decoded(started.out);
    const JSONValue* thread = startedThread.member("thread");
    ASSERT_TRUE(thread && thread->member("id") && thread->member("id")->stringValue());
    const std::string threadID = *thread->member("id")->stringValue();
    std::optional<JSONValue> announced;
    ASSERT_TRUE(waitUntil([&] {
        announced = event(watch.out, "thread/started");
        return announced.has_value();
    })) << watch.out;
    const JSONValue* announcedThread = announced->member("thread");
    ASSERT_TRUE(announcedThread && announcedThread->member("id"));
    EXPECT_EQ(*announcedThread->member("id"), JSONValue(threadID));
    watch.interrupt();
    EXPECT_EQ(watch.finish(), 0) << watch.err;

    // Refusals, each with its own text and status.
    const std::size_t relayed = appServer_->methods.size();
    auto refused = call(laptop_, {"config/read"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "That method is not available through Tarnwick.\n");
    EXPECT_EQ(refused.out, "");

    auto badParams = call(laptop_, {"thread/list", "{not json"});
    EXPECT_EQ(badParams.status, 2);

    auto stranger = call(stranger_, {"thread/list", "--bridge", bridgeAddress()});
    EXPECT_EQ(stranger.status, 4);
    EXPECT_EQ(stranger.err, "Pair this device first.\n");
    auto neverPaired = call(stranger_, {"thread/list"});
    EXPECT_EQ(neverPaired.status, 4);
    EXPECT_EQ(neverPaired.err, "Pair this device first.\n");
    DeviceRun strangerWatch(stranger_, {"watch", "--bridge", bridgeAddress()});
    EXPECT_EQ(strangerWatch.finish(), 4);
    EXPECT_EQ(appServer_->methods.size(), relayed) << "nothing refused reached the app-server";
}

TEST_F(DeviceEndToEndTest, ACallWaitingWhileTheAppServerRestartsFails) {
    FakeCodex codex({"answer thread/read silent"});
    startBridge(codex.executable());
    pair(laptop_, "Laptop");

    DeviceRun waiting(laptop_, {"call", "thread/read", R"({"threadId":"t1"})", "--name", "Laptop"});
    ASSERT_TRUE(waitUntil([&] {
        return std::count(appServer_->methods.begin(), appServer_->methods.end(), "thread/read") ==
               1;
    }));
    controller_->restartAppServer();
    EXPECT_EQ(waiting.finish(), 1) << waiting.out;
    EXPECT_FALSE(waiting.err.empty());
    EXPECT_EQ(waiting.out, "");

    // Later, after the restart, the device comes back without pairing again.
    ASSERT_TRUE(waitUntil([&] { return controller_->appServerReady(); }));
    auto again = call(laptop_, {"thread/list"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(controller_->pairingRequests().empty());
}

TEST_F(DeviceEndToEndTest, ReportsABridgeThatIsNotThere) {
    // A port that was free a moment ago and has nobody listening.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    DeviceRun run(laptop_, {"pair", QStringLiteral("127.0.0.1:%1").arg(port)});
    EXPECT_EQ(run.finish(), 3);
    EXPECT_NE(run.err.find("Could not connect"), std::string::npos) << run.err;
}

TEST_F(DeviceEndToEndTest, RefusesABridgeWhoseKeyChangedUntilPairedAgain) {
    FakeCodex codex({});
    startBridge(codex.executable());
    pair(laptop_, "Laptop");
    // Another bridge speaking under the paired bridge's device ID.
    {
        QSettings device(
            QString::fromStdString(
                (laptop_ / "XDG_CONFIG_HOME" / "tarnwick" / "tarnwick-device.conf").string()),
            QSettings::NativeFormat);
        ASSERT_FALSE(device.value("bridge/publicKey").toString().isEmpty());
        device.setValue("bridge/publicKey", "AAAA");
    }
    auto refused = call(laptop_, {"thread/list"});
    EXPECT_EQ(refused.status, 6);
    EXPECT_NE(refused.err.find("WARNING"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("pair --replace"), std::string::npos) << refused.err;

    DeviceRun replaced(laptop_, {"pair", bridgeAddress(), "--replace", "--name", "Laptop"});
    EXPECT_EQ(replaced.finish(), 0) << replaced.err;
    EXPECT_NE(replaced.out.find("already paired"), std::string::npos) << replaced.out;
    EXPECT_EQ(call(laptop_, {"thread/list"}).status, 0);
}

TEST_F(DeviceEndToEndTest, ChatsStreamsTheAnswerAndAsksAboutTheFilesToChange) {
    FakeCodex codex({
        "echo",
        R"(answer thread/start result {"thread":{"id":"T1"}})",
        R"(answer turn/start result {"turn":{"id":"U1","status":"inProgress"}})",
        "wait turn/start",
        R"(line {"method":"item/started","params":{"threadId":"T1","turnId":"U1","startedAtMs":1,)"
        R"("item":{"type":"fileChange","id":"F1","status":"inProgress","changes":[)"
        R"({"path":"notes.txt","kind":{"type":"add"},"diff":"+hi"}]}}})",
        R"(line {"id":99,"method":"item/fileChange/requestApproval","params":{"threadId":"T1",)"
        R"("turnId":"U1","itemId":"F1","startedAtMs":1,"reason":null,"grantRoot":null}})",
        R"(line {"method":"item/agentMessage/delta","params":{"threadId":"T1","turnId":"U1",)"
        R"("itemId":"M1","delta":"Hello "}})",
        R"(line {"method":"item/agentMessage/delta","params":{"threadId":"T1","turnId":"U1",)"
        R"("itemId":"M1","delta":"there."}})",
        R"(line {"method":"turn/completed","params":{"threadId":"T1","turn":{"id":"U1",)"
        R"("status":"completed"}}})",
    });
    startBridge(codex.executable());
    pair(laptop_, "Laptop");

    DeviceRun chat(laptop_, {"chat", "--name", "Laptop"});
    ASSERT_TRUE(waitUntil([&] { return chat.err.find("Thread T1") != std::string::npos; }))
        << chat.err;
    chat.write("Write a note\n");
    ASSERT_TRUE(waitUntil([&] { return chat.err.find("Your answer") != std::string::npos; }))
        << chat.err;
    EXPECT_NE(chat.err.find("notes.txt (add)"), std::string::npos) << chat.err;
    chat.write("s\n");
    ASSERT_TRUE(chat.waitForOutput("Hello there.\n")) << chat.err;
    EXPECT_EQ(chat.finish(), 0) << chat.err;

    // The turn carried the prompt, and the app-server got the decision it asked for.
    auto findLine = [&](const std::function<bool(const JSONValue&)>& match) {
        for (const JSONValue& line : appServer_->received) {
            if (match(line)) {
                return line;
            }
        }
        return JSONValue();
    };
    JSONValue turn = findLine([](const JSONValue& line) {
        return line.member("method") && *line.member("method") == JSONValue("turn/start");
    });
    ASSERT_TRUE(turn.member("params")) << appServer_->received.size();
    EXPECT_EQ(*turn.member("params"),
              JSONValue(JSONObject{
                  {"threadId", "T1"},
                  {"input", JSONArray{JSONObject{{"type", "text"}, {"text", "Write a note"}}}}}));
    JSONValue reply = findLine([](const JSONValue& line) {
        return line.member("id") && *line.member("id") == JSONValue(99) && !line.member("method");
    });
    ASSERT_TRUE(reply.member("result"));
    EXPECT_EQ(*reply.member("result"), JSONValue(JSONObject{{"decision", "acceptForSession"}}));
}

TEST_F(DeviceEndToEndTest, CtrlCInterruptsTheRunningTurn) {
    FakeCodex codex({
        R"(answer thread/resume result {"thread":{"id":"T7"}})",
        R"(answer turn/start result {"turn":{"id":"U7","status":"inProgress"}})",
        "wait turn/interrupt",
        R"(line {"method":"turn/completed","params":{"threadId":"T7","turn":{"id":"U7",)"
        R"("status":"interrupted"}}})",
    });
    startBridge(codex.executable());
    pair(laptop_, "Laptop");

    DeviceRun chat(laptop_, {"chat", "T7", "--name", "Laptop"});
    ASSERT_TRUE(waitUntil([&] { return chat.err.find("Thread T7") != std::string::npos; }))
        << chat.err;
    chat.write("Think for a long time\n");
    ASSERT_TRUE(waitUntil([&] {
        return std::count(appServer_->methods.begin(), appServer_->methods.end(), "turn/start") ==
               1;
    }));
    // Whether or not the turn's id has reached the device yet, Ctrl-C interrupts that turn.
    chat.interrupt();
    ASSERT_TRUE(waitUntil([&] {
        return std::count(appServer_->methods.begin(), appServer_->methods.end(),
                          "turn/interrupt") == 1;
    })) << chat.err;
    ASSERT_TRUE(waitUntil([&] { return chat.err.find("(turn interrupted)") != std::string::npos; }))
        << chat.err;
    EXPECT_EQ(chat.finish(), 0) << chat.err;
}

TEST_F(DeviceEndToEndTest, SaysPlainlyWhenThePairingIsRejected) {
    FakeCodex codex({});
    startBridge(codex.executable());
    DeviceRun run(laptop_, {"pair", bridgeAddress(), "--name", "Laptop"});
    ASSERT_TRUE(run.waitForOutput("Waiting for the bridge")) << run.err;
    ASSERT_TRUE(waitUntil([&] { return !controller_->pairingRequests().empty(); }));
    controller_->reject(controller_->pairingRequests().back());
    EXPECT_EQ(run.finish(), 4);
    EXPECT_NE(run.out.find("Pairing rejected"), std::string::npos) << run.out;
    EXPECT_EQ(call(laptop_, {"thread/list"}).status, 4) << "a rejected device remembers nothing";
}

// Found by DNS-SD, the way the README's two-terminal session goes: only inside the private
// network of tests/link/run-in-private-network.sh, which has an Avahi daemon of its own.
TEST_F(DeviceEndToEndTest, DiscoversPairsWithAndCallsTheOnlyBridgeNearby) {
    if (!qEnvironmentVariableIsSet("TARNWICK_IN_PRIVATE_NETWORK")) {
        GTEST_SKIP() << "needs the private network with its own Avahi daemon";
    }
    FakeCodex codex({});
    startBridge(codex.executable(), true);
    const std::string service = link_->link().peerName();
    const std::string port = std::to_string(link_->link().listeningPort());

    // Publishing takes a moment; each discover run browses for a second.
    std::string listed;
    ASSERT_TRUE(waitUntil([&] {
        DeviceRun discover(laptop_, {"discover", "--browse", "1"});
        discover.finish();
        listed = discover.out;
        return listed.find(service + "\t") != std::string::npos;
    })) << listed;
    EXPECT_NE(listed.find("\t" + port + "\n"), std::string::npos) << listed;

    DeviceRun run(laptop_, {"pair", "--name", "Laptop"});
    ASSERT_TRUE(run.waitForOutput("Waiting for the bridge")) << run.err;
    ASSERT_TRUE(waitUntil([&] { return !controller_->pairingRequests().empty(); }));
    EXPECT_NE(run.out.find("Pairing code: " + controller_->pairingRequests().back().code),
              std::string::npos);
    controller_->accept(controller_->pairingRequests().back());
    ASSERT_EQ(run.finish(), 0) << run.err;

    auto listedThreads = call(laptop_, {"thread/list"});
    EXPECT_EQ(listedThreads.status, 0) << listedThreads.err;
}

TEST_F(DeviceEndToEndTest, ACallWhoseBridgeGoesAwayEndsWithItsOwnStatus) {
    FakeCodex codex({"answer thread/read silent"});
    startBridge(codex.executable());
    pair(laptop_, "Laptop");
    DeviceRun waiting(laptop_, {"call", "thread/read", R"({"threadId":"t1"})", "--name", "Laptop"});
    ASSERT_TRUE(waitUntil([&] {
        return std::count(appServer_->methods.begin(), appServer_->methods.end(), "thread/read") ==
               1;
    }));
    controller_.reset();
    EXPECT_EQ(waiting.finish(), 5);
    EXPECT_EQ(waiting.err, "The bridge went away before it answered.\n");
}
