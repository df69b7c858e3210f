// How long an approval takes through the bridge, with the real Codex CLI and the model
// stand-in: from a device's turn/start to the question reaching the device, and from the
// device's answer to turn/completed. The bridge is the assembled one (real link, identity and
// app-server client); the device is the protocol device in this process.
//
// Usage: tests/device/run-on-loopback.sh build/bench/bench/approval_bench [TURNS]
// It runs only where nothing but loopback is reachable, with a temporary home.

#include "app/BridgeAssembly.h"
#include "device/BridgeDevice.h"
#include "support/MemoryKeychain.h"
#include "support/NetworkIsolation.h"
#include "support/OfflineModel.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "approval_bench: %s\n", what);
    return 1;
}

void report(const char* name, std::vector<double> milliseconds) {
    std::sort(milliseconds.begin(), milliseconds.end());
    const auto at = [&](double share) {
        return milliseconds[std::min(milliseconds.size() - 1,
                                     std::size_t(share * double(milliseconds.size())))];
    };
    std::printf("%-34s median %7.1f ms   p90 %7.1f ms   min %7.1f ms   max %7.1f ms\n", name,
                at(0.5), at(0.9), milliseconds.front(), milliseconds.back());
}

} // namespace

int main(int argc, char** argv) {
    const int turns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    if (!onlyLoopback()) {
        return fail("run it inside tests/device/run-on-loopback.sh, where the Codex CLI cannot "
                    "reach the network.");
    }
    // Everything the bridge and Codex write goes to a temporary home; the file keychain is used.
    TemporaryHome home;
    TemporaryDirectory scratch("tarnwick-approval-bench");
    ScopedEnvironmentVariable noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ScopedEnvironmentVariable path("PATH", std::string(CODEX_BIN_DIR) + ":" +
                                               (std::getenv("PATH") ? std::getenv("PATH") : ""));
    const std::filesystem::path work = scratch.path() / "work";
    std::filesystem::create_directories(work);
    QCoreApplication application(argc, argv);

    OfflineModel model(MODEL_STAND_IN_PATH, scratch.path(), {"--command", "echo ran >> ran.txt"});
    if (!model.started()) {
        return fail(model.error().c_str());
    }

    auto controller = makeBridgeController();
    controller->start();
    if (!waitUntil([&] { return controller->appServerReady(); })) {
        return fail("the Codex app-server did not become ready.");
    }

    MemoryKeychain keys;
    QSettings deviceSettings(QString::fromStdString((scratch.path() / "device.ini").string()),
                             QSettings::IniFormat);
    auto identity = std::move(DeviceIdentity::create(keys, deviceSettings)).value();
    BridgeDevice device(*identity, "Bench");
    if (!device.connectTo("127.0.0.1", BridgeAssemblyOptions().port)) {
        return fail("the device could not connect.");
    }
    waitUntil([&] { return device.pairingCode().has_value(); });
    device.requestPairing();
    waitUntil([&] { return !controller->pairingRequests().empty(); });
    (void)controller->decide(controller->pairingRequests().back().serial,
                             controller->pairingRequests().back().code, PairingDecision::accept);
    if (!waitUntil([&] { return device.isAccepted(); })) {
        return fail("the device was not paired.");
    }

    std::string threadID;
    device.request("thread/start",
                   JSONObject{{"cwd", work.string()}, {"approvalPolicy", "untrusted"}},
                   [&](BridgeDevice::Answer answer) {
                       if (answer && answer->member("thread")) {
                           threadID = *answer->member("thread")->member("id")->stringValue();
                       }
                   });
    if (!waitUntil([&] { return !threadID.empty(); })) {
        return fail("no thread was started.");
    }

    QElapsedTimer clock;
    std::vector<double> untilAsked, untilCompleted, whole;
    qint64 started = 0, answered = 0;
    bool completed = false;
    QObject::connect(&device, &BridgeDevice::serverRequestReceived, &device,
                     [&](const std::string& id, const std::string&, const JSONValue&) {
                         untilAsked.push_back(double(clock.nsecsElapsed() - started) / 1e6);
                         answered = clock.nsecsElapsed();
                         device.answer(id, JSONValue(JSONObject{{"decision", "accept"}}));
                     });
    QObject::connect(&device, &BridgeDevice::eventReceived, &device,
                     [&](const std::string& method, const JSONValue&) {
                         if (method == "turn/completed") {
                             const qint64 now = clock.nsecsElapsed();
                             untilCompleted.push_back(double(now - answered) / 1e6);
                             whole.push_back(double(now - started) / 1e6);
                             completed = true;
                         }
                     });
    clock.start();
    for (int turn = 0; turn < turns; ++turn) {
        completed = false;
        started = clock.nsecsElapsed();
        device.request(
            "turn/start",
            JSONObject{{"threadId", threadID},
                       {"input", JSONArray{JSONObject{{"type", "text"}, {"text", "Note it."}}}}});
        if (!waitUntil([&] { return completed; })) {
            return fail("a turn did not complete.");
        }
    }
    if (untilAsked.size() != std::size_t(turns)) {
        return fail("not every turn asked for approval.");
    }
    std::printf("%d turns, each asking once and approved at once by the device\n", turns);
    report("turn/start -> question at device", untilAsked);
    report("answer -> turn/completed", untilCompleted);
    report("whole turn", whole);
    controller.reset();
    return 0;
}
