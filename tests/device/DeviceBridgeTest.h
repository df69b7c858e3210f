#pragma once

// A bridge made of real parts for tests that run tarnwick-device as a program of its own: the
// TLS WebSocket link on loopback, this computer's identity and the trusted devices in a private
// file keychain, and the app-server client running the real Codex CLI (or a scripted fake).
// Everything runs with temporary homes for the bridge and for each device, and the tests that
// run the real Codex CLI only in a network namespace with loopback alone.
#include "support/AssembledBridge.h"
#include "support/NetworkIsolation.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>

namespace tarnwick::testing {

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
                         [this] { take(); });
        QObject::connect(&process_, &QProcess::readyReadStandardError, &process_,
                         [this] { take(); });
        process_.start(QStringLiteral(TARNWICK_DEVICE_PATH), arguments);
    }
    ~DeviceRun() {
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
        take();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    bool waitForOutput(const std::string& text) {
        return waitUntil([&] { return out.find(text) != std::string::npos; });
    }
    // Whether `text` came on the error stream, after its first `from` bytes.
    bool waitForError(const std::string& text, std::size_t from = 0) {
        return waitUntil([&] { return err.find(text, from) != std::string::npos; });
    }
    void write(const std::string& text) { process_.write(text.data(), qint64(text.size())); }
    void interrupt() { ::kill(static_cast<pid_t>(process_.processId()), SIGINT); }
    // Ends the run at once, as a device that vanishes from the network would.
    void kill() {
        process_.kill();
        process_.waitForFinished();
    }

    std::string out;
    std::string err;

private:
    void take() {
        out += process_.readAllStandardOutput().toStdString();
        err += process_.readAllStandardError().toStdString();
    }

    QProcess process_;
};

class DeviceBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!onlyLoopback()) {
            GTEST_SKIP() << "the Codex CLI is only run where it cannot reach the network";
        }
    }

    void TearDown() override { bridge_.stop(); }

    void startBridge(const std::string& codex, bool advertise = false) {
        bridge_ = AssembledBridge(folders_.path(), codex, advertise);
        ASSERT_TRUE(bridge_.controller().appServerReady())
            << bridge_.controller().appServerStatus().toStdString();
    }

    QString bridgeAddress() const { return QStringLiteral("127.0.0.1:%1").arg(bridge_.port()); }

    // Waits for the pairing request of `run` and decides it, once its code is the one shown.
    void decide(DeviceRun& run, PairingDecision decision) {
        ASSERT_TRUE(run.waitForOutput("Waiting for the bridge")) << run.err;
        ASSERT_TRUE(waitUntil([&] { return !bridge_.controller().pairingRequests().empty(); }));
        const PairingRequest request = bridge_.controller().pairingRequests().back();
        EXPECT_NE(run.out.find("Pairing code: " + request.code + "\n"), std::string::npos)
            << run.out;
        EXPECT_TRUE(bridge_.controller().decide(request.serial, request.code, decision));
    }

    // Pairs the device of `home` under `name`, with the bridge at its address or the one found
    // by DNS-SD, accepting on the bridge.
    void pair(const std::filesystem::path& home, const QString& name, bool discovered = false) {
        QStringList arguments{"pair", bridgeAddress(), "--name", name};
        if (discovered) {
            arguments.removeAt(1);
        }
        DeviceRun run(home, arguments);
        decide(run, PairingDecision::accept);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(run.finish(), 0) << run.err;
        EXPECT_NE(run.out.find("Pairing accepted"), std::string::npos) << run.out;
    }

    long relayedCount(const std::string& method) const {
        const auto& methods = bridge_.appServer().methods;
        return std::count(methods.begin(), methods.end(), method);
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

    // The first of the JSON lines that watch printed of `method` with the member `member`
    // ("params" of an event, "serverRequest" of a question).
    static std::optional<JSONValue> printed(const std::string& out, const std::string& method,
                                            const char* member = "params") {
        std::size_t start = 0;
        for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
            auto line = JSONValue::decode(std::string_view(out).substr(start, end - start));
            if (line && line->member("method") && *line->member("method") == JSONValue(method) &&
                line->member(member)) {
                return *line;
            }
        }
        return std::nullopt;
    }

    bool logged(const std::string& line) const {
        const auto& logs = bridge_.controller().logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }

    TemporaryHome bridgeHome_;
    TemporaryDirectory folders_{"tarnwick-device-e2e"};
    std::filesystem::path laptop_ = folders_.path() / "laptop";
    std::filesystem::path stranger_ = folders_.path() / "stranger";
    AssembledBridge bridge_;
};

} // namespace tarnwick::testing
