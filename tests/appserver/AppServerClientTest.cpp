#include "appserver/AppServerClient.h"

#include "ClientRecorder.h"
#include "FakeCodex.h"
#include "platform/Environment.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

const std::string starting = "Starting Codex app-server\u2026";
const std::string ready = "Codex app-server ready";
const std::string stillStarting = "Codex app-server is still starting.";

JSONValue json(std::string_view text) {
    auto value = JSONValue::decode(text);
    EXPECT_TRUE(value.hasValue()) << text;
    return value ? *value : JSONValue();
}

bool processGone(int pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Whether the pipe that is the standard input of process `pid` holds bytes nobody read yet.
bool inputWaiting(int pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/0";
    const int pipe = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (pipe < 0) {
        return false;
    }
    int waiting = 0;
    const bool read = ::ioctl(pipe, FIONREAD, &waiting) == 0;
    ::close(pipe);
    return read && waiting > 0;
}

std::string describe(const Outcome& outcome) {
    return !outcome.value   ? "(none)"
           : *outcome.value ? "result " + (*outcome.value)->displayText()
                            : "error " + outcome.value->error().description();
}

// Whether the outcome is the result `expected` (JSON text), with no regard to how it is written.
bool hasResult(const Outcome& outcome, std::string_view expected) {
    return outcome.value && outcome.value->hasValue() && outcome.value->value() == json(expected);
}

class AppServerClientTest : public ::testing::Test {
protected:
    void SetUp() override { makeClient(); }

    void TearDown() override {
        if (client) {
            client->shutdown();
            client.reset();
        }
        EXPECT_TRUE(seen.allOnMainThread) << "a delivery came on another thread";
    }

    void makeClient(AppServerClientOptions options = {}) {
        client = AppServerClient::create(std::move(options));
        seen.attach(*client);
    }

    // A fake codex following `script`, kept until the end of the test.
    std::string fake(const std::vector<std::string>& script) {
        fakes.push_back(std::make_unique<FakeCodex>(script));
        return fakes.back()->executable();
    }

    std::shared_ptr<Outcome> send(std::string method, JSONValue params = JSONObject{},
                                  const std::string& tag = {}) {
        auto [outcome, completion] = seen.completion(tag);
        client->request(std::move(method), std::move(params), completion);
        return outcome;
    }

    std::shared_ptr<Outcome> call(std::string method, JSONValue params = JSONObject{}) {
        auto outcome = send(std::move(method), std::move(params));
        EXPECT_TRUE(waitUntil([&] { return outcome->arrived(); }));
        return outcome;
    }

    // The pid the fake reports with its announce step.
    int announcedPid(std::size_t which = 0) {
        std::vector<int> pids;
        EXPECT_TRUE(waitUntil([&] {
            pids.clear();
            for (const auto& [method, params] : seen.notifications) {
                if (method == "fake/started") {
                    pids.push_back(static_cast<int>(*params.member("pid")->numberValue()));
                }
            }
            return pids.size() > which;
        }));
        return pids.size() > which ? pids[which] : -1;
    }

    bool anyExitStatus() const {
        return std::any_of(seen.statuses.begin(), seen.statuses.end(), [](const Status& status) {
            return status.text.rfind("Codex app-server exited", 0) == 0;
        });
    }

    TemporaryHome home;
    ClientRecorder seen;
    std::vector<std::unique_ptr<FakeCodex>> fakes;
    std::shared_ptr<AppServerClient> client;
};

} // namespace

TEST_F(AppServerClientTest, StartsTheChildAndCompletesTheHandshake) {
    client->start(fake({"echo"}));
    EXPECT_EQ(seen.statuses, (std::vector<Status>{{starting, false}}))
        << "reported before start returns";
    EXPECT_FALSE(client->isReady());
    EXPECT_TRUE(client->processId().has_value());

    ASSERT_TRUE(seen.waitForReady());
    EXPECT_EQ(seen.statuses, (std::vector<Status>{{starting, false}, {ready, true}}));
    EXPECT_TRUE(client->isReady());

    ASSERT_TRUE(waitUntil([&] { return seen.received.size() >= 2; }));
    EXPECT_EQ(json(seen.received[0]),
              json(R"({"id":1,"method":"initialize","params":{"clientInfo":{)"
                   R"("name":"tarnwick_bridge","title":"Tarnwick Bridge","version":"0.1.0"}}})"));
    EXPECT_EQ(seen.received[1], R"({"method":"initialized","params":{}})");
}

TEST_F(AppServerClientTest, RefusesRequestsUntilASuccessfulInitializeWithoutWritingThem) {
    auto early = call("thread/list");
    EXPECT_TRUE(early->failedWith(AppServerError::Case::notReady)) << describe(*early);

    client->start(fake({"echo", "initialize silent"}));
    auto outcome = call("thread/list");
    EXPECT_EQ(describe(*outcome), "error " + stillStarting);
    // Replies need no readiness; these show what the child read after initialize.
    client->respond(JSONValue("probe"), JSONValue(1));
    client->respondError(JSONValue(12), "Tarnwick Bridge does not implement x/y.");
    ASSERT_TRUE(waitUntil([&] { return seen.received.size() >= 3; }));
    EXPECT_EQ(*json(seen.received[0]).member("method")->stringValue(), "initialize");
    EXPECT_EQ(json(seen.received[1]), json(R"({"id":"probe","result":1})"));
    EXPECT_EQ(json(seen.received[2]),
              json(R"({"id":12,"error":{"code":-32601,)"
                   R"("message":"Tarnwick Bridge does not implement x/y."}})"));
    EXPECT_FALSE(client->isReady());

    // A failed initialize is reported, and the client stays not ready.
    struct Case {
        const char* rule;
        const char* status;
    };
    const Case cases[] = {
        {R"(initialize error {"code":-32600,"message":"Not allowed"})",
         "Initialization failed: Not allowed"},
        {R"(initialize raw {"id":$ID})",
         "Initialization failed: Codex returned an invalid response."},
        {R"(initialize error {"code":-32600})", R"(Initialization failed: {"code":-32600})"},
    };
    for (const Case& c : cases) {
        client->start(fake({c.rule}));
        ASSERT_TRUE(seen.waitForStatus(c.status)) << c.rule;
        EXPECT_EQ(seen.statuses.back(), (Status{c.status, false}));
        EXPECT_FALSE(client->isReady());
        EXPECT_TRUE(call("thread/list")->failedWith(AppServerError::Case::notReady));
    }
    EXPECT_FALSE(seen.hasStatus(ready));
}

TEST_F(AppServerClientTest, DeliversEverythingInTheOrderOfTheLines) {
    client->start(fake({
        "answer go silent",
        "wait go",
        R"(line {"method":"first"})",
        R"(line {"id":"q","method":"ask","params":{}})",
        R"(line {"id":2,"result":"done"})",
        R"(line {"method":"second"})",
        "flood 3000 300",
        R"(line {"method":"last"})",
    }));
    ASSERT_TRUE(seen.waitForReady());
    auto go = send("go", JSONObject{}, "go");
    ASSERT_TRUE(waitUntil([&] { return seen.hasNotification("last"); }));

    std::vector<std::string> expected = {"status " + starting, "status " + ready,
                                         "notification first", "server request ask",
                                         "completion go",      "notification second"};
    expected.insert(expected.end(), 3000, "notification item/agentMessage/delta");
    expected.push_back("notification last");
    EXPECT_EQ(seen.order, expected);
    EXPECT_EQ(describe(*go), "result done");

    double sequence = 0;
    for (const auto& [method, params] : seen.notifications) {
        if (method == "item/agentMessage/delta") {
            ASSERT_EQ(params.member("sequence")->numberValue(), sequence);
            ++sequence;
        }
    }
}

TEST_F(AppServerClientTest, RestartFailsWaitingRequestsOnceAndIdsGoOn) {
    client->start(fake({"echo", "announce", "answer slow silent"}));
    ASSERT_TRUE(seen.waitForReady());
    int first = announcedPid(0);
    std::vector<std::shared_ptr<Outcome>> waiting = {send("slow"), send("slow"), send("slow")};
    // initialize, initialized and the three requests have reached the child.
    ASSERT_TRUE(waitUntil([&] { return seen.received.size() == 5; }));

    // The second child never answers initialize; the restart fails its requests.
    client->start(fake({"echo", "announce", "initialize silent"}));
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(waiting.begin(), waiting.end(),
                           [](const auto& outcome) { return outcome->arrived(); });
    }));
    for (const auto& outcome : waiting) {
        EXPECT_TRUE(outcome->failedWith(AppServerError::Case::notReady)) << describe(*outcome);
    }
    int second = announcedPid(1);
    ASSERT_TRUE(waitUntil([&] { return seen.received.size() == 6; }));
    EXPECT_EQ(json(seen.received[5]).member("id")->numberValue(), 5.0);

    // Restarting while its initialize is outstanding fails that too, after the new start.
    client->start(fake({"echo"}));
    ASSERT_TRUE(seen.waitForReady());
    ASSERT_TRUE(waitUntil([&] { return seen.received.size() >= 7; }));
    EXPECT_EQ(json(seen.received[6]).member("id")->numberValue(), 6.0);
    EXPECT_EQ(seen.statuses,
              (std::vector<Status>{{starting, false},
                                   {ready, true},
                                   {starting, false},
                                   {starting, false},
                                   {"Initialization failed: " + stillStarting, false},
                                   {ready, true}}));
    EXPECT_EQ(call("thread/list")->calls, 1);
    EXPECT_EQ(json(seen.received.back()).member("id")->numberValue(), 7.0);

    // Both stopped children are gone without a trace: reaped, no exit status, each completion
    // called once.
    ASSERT_TRUE(waitUntil([&] { return processGone(first) && processGone(second); }));
    ASSERT_TRUE(flushMainQueue());
    EXPECT_FALSE(anyExitStatus());
    for (const auto& outcome : waiting) {
        EXPECT_EQ(outcome->calls, 1);
    }
}

// However the child ends, by its own exit, a signal or a signal from outside, the end is
// reported with its code once the child is reaped; a write to it fails visibly, and a restart
// launches a child whose initialize carries the next id.
TEST_F(AppServerClientTest, ReportsHowTheChildEndedOnceItIsReaped) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"echo", "announce", "wait initialized", "exit 3"}, 3},
        {{"echo", "announce", "wait initialized", "signal KILL"}, 9},
        {{"echo", "announce"}, 15},
    };
    std::size_t started = 0;
    for (const auto& [script, code] : cases) {
        const std::string status =
            "Codex app-server exited with code " + std::to_string(code) + ".";
        const std::size_t before = seen.received.size();
        client->start(fake(script));
        int pid = announcedPid(started++);
        if (code == 15) {
            ASSERT_TRUE(seen.waitForReady());
            ASSERT_EQ(::kill(pid, SIGTERM), 0);
        }
        ASSERT_TRUE(seen.waitForStatus(status)) << status;
        EXPECT_EQ(seen.statuses.back(), (Status{status, false}));
        EXPECT_TRUE(processGone(pid)) << "reaped before the exit is reported";
        EXPECT_FALSE(client->isReady());
        EXPECT_TRUE(call("thread/list")->failedWith(AppServerError::Case::notReady));
        client->respond(JSONValue(1), JSONObject{});
        ASSERT_TRUE(waitUntil([&] { return seen.hasLog("Write failed: Broken pipe"); })) << status;
        seen.logs.clear();
        ASSERT_TRUE(waitUntil([&] { return seen.received.size() > before; }));
        EXPECT_EQ(json(seen.received[before]).member("id")->numberValue(), double(started))
            << status;
    }
}

TEST_F(AppServerClientTest, AChildThatDiesMidLineDoesNotSpoilTheNextChild) {
    client->start(fake({"wait initialized", R"(write {"method":"cut","params":{"x)", "exit 3"}));
    ASSERT_TRUE(seen.waitForStatus("Codex app-server exited with code 3."));
    client->start(fake({}));
    ASSERT_TRUE(seen.waitForReady());
    EXPECT_TRUE(hasResult(*call("thread/list"), R"({"method":"thread/list","params":{}})"));
    EXPECT_TRUE(seen.logs.empty()) << seen.logs.front();
    EXPECT_FALSE(seen.hasNotification("cut"));
}

TEST_F(AppServerClientTest, AChildThatStopsReadingCannotHoldUpARestart) {
    client->start(fake({"announce", "ignore-term", "wait initialized", "stop-reading",
                        R"(line {"method":"fake/notReading"})"}));
    ASSERT_TRUE(seen.waitForReady());
    int stuck = announcedPid();
    // Only once it has stopped reading: before that, it could take in every request, answer
    // them and end when the restart closes its input, and there would be nothing stuck.
    ASSERT_TRUE(waitUntil([&] { return seen.hasNotification("fake/notReading"); }));
    // Far more than the pipe holds: the queue's write waits for a reader that never comes.
    std::vector<std::shared_ptr<Outcome>> waiting;
    for (int i = 0; i < 32; ++i) {
        waiting.push_back(send("big", JSONValue(std::string(64 * 1024, 'x'))));
    }
    // And the restart comes once they are on their way: a restart before the first write would
    // close an empty pipe, and the child would end at the end of its input.
    ASSERT_TRUE(waitUntil([&] { return inputWaiting(stuck); }));
    client->start(fake({}));
    ASSERT_TRUE(seen.waitForReady());
    EXPECT_TRUE(hasResult(*call("after"), R"({"method":"after","params":{}})"));
    for (const auto& outcome : waiting) {
        EXPECT_TRUE(outcome->failedWith(AppServerError::Case::notReady)) << describe(*outcome);
        EXPECT_EQ(outcome->calls, 1);
    }
    // It ignored SIGTERM and still runs; once it is killed, it is reaped although nobody holds
    // it any more.
    ASSERT_EQ(::kill(stuck, SIGKILL), 0) << std::strerror(errno);
    ASSERT_TRUE(waitUntil([&] { return processGone(stuck); }));
}

TEST_F(AppServerClientTest, DestroyingTheClientNeverHangsAndDeliversNothingLater) {
    struct Case {
        const char* name;
        std::vector<std::string> script;
        bool flood;
    };
    const Case cases[] = {
        {"child stopped reading", {"announce", "wait initialized", "stop-reading"}, false},
        {"child flooding", {"announce", "wait initialized", "flood 500000 300"}, true},
    };
    for (const Case& c : cases) {
        ClientRecorder recorder;
        auto victim = AppServerClient::create();
        recorder.attach(*victim);
        victim->start(fake(c.script));
        ASSERT_TRUE(recorder.waitForReady()) << c.name;
        ASSERT_TRUE(waitUntil([&] { return recorder.hasNotification("fake/started"); }));
        int pid =
            static_cast<int>(*recorder.notification("fake/started")->member("pid")->numberValue());
        if (c.flood) {
            ASSERT_TRUE(waitUntil([&] { return recorder.notifications.size() > 1000; })) << c.name;
        } else {
            for (int i = 0; i < 32; ++i) {
                victim->request("big", JSONValue(std::string(64 * 1024, 'x')), [](auto) {});
            }
        }
        victim.reset();
        int deliveries = recorder.deliveries;
        ASSERT_TRUE(flushMainQueue());
        EXPECT_EQ(recorder.deliveries, deliveries) << c.name;
        EXPECT_TRUE(recorder.allOnMainThread);
        if (!c.flood) {
            // It reads nothing, so it cannot see the end of its input.
            ::kill(pid, SIGKILL);
        }
        // A flooding child fails its next write and ends; either way it is reaped.
        ASSERT_TRUE(waitUntil([&] { return processGone(pid); })) << c.name;
    }
}

TEST_F(AppServerClientTest, LaunchFailuresAreReportedAtOnceAndEndThePreviousChild) {
    TemporaryDirectory folder;
    const auto file = [&](const char* name, const char* text, std::filesystem::perms perms) {
        const std::string path = (folder.path() / name).string();
        std::ofstream(path) << text;
        std::filesystem::permissions(path, perms);
        return path;
    };
    std::string missing = (folder.path() / "missing" / "codex").string();
    std::string plain = file("plain", "#!/bin/sh\n", std::filesystem::perms::owner_read);
    std::string garbage = file("garbage", "not a program\n", std::filesystem::perms::owner_all);
    std::string directory = folder.path().string();

    struct Case {
        std::optional<std::string> executable;
        std::string status;
    };
    // The first failed start also ends the child before it, without an exit status.
    client->start(fake({"announce"}));
    ASSERT_TRUE(seen.waitForReady());
    const int pid = announcedPid();
    const Case cases[] = {
        {std::nullopt, AppServerError::codexNotFound().description()},
        {missing, "Could not launch " + missing + ": No such file or directory."},
        {plain, "Could not launch " + plain + ": Permission denied."},
        {directory, "Could not launch " + directory + ": Permission denied."},
        {garbage, "Could not launch " + garbage + ": Exec format error."},
    };
    for (const Case& c : cases) {
        seen.statuses.clear();
        client->start(c.executable);
        EXPECT_EQ(seen.statuses, (std::vector<Status>{{c.status, false}}));
        EXPECT_FALSE(client->processId().has_value());
        EXPECT_FALSE(client->isReady());
        EXPECT_TRUE(call("thread/list")->failedWith(AppServerError::Case::notReady));
    }
    ASSERT_TRUE(waitUntil([&] { return processGone(pid); }));
    ASSERT_TRUE(flushMainQueue());
    EXPECT_FALSE(anyExitStatus());
}

// And what it writes on standard error reaches the log, without terminal sequences.
TEST_F(AppServerClientTest, TheChildGetsTheEnvironmentTheHomeFolderAndOnlyItsStandardStreams) {
    ScopedEnvironmentVariable marker("TARNWICK_TEST_MARKER", "a value with spaces = and more");
    std::string executable = fake({
        "announce",
        R"(stderr \x20\t\e[2m2026-12-06T11:00:32Z\e[0m \e[31mERROR\e[0m codex failed\n\x20)",
    });
    client->start(executable);
    announcedPid();
    ASSERT_TRUE(waitUntil([&] { return !seen.logs.empty(); }));
    EXPECT_EQ(seen.logs, (std::vector<std::string>{"2026-12-06T11:00:32Z ERROR codex failed"}));
    const JSONValue& announced = *seen.notification("fake/started");
    EXPECT_EQ(*announced.member("cwd")->stringValue(),
              std::filesystem::canonical(home.path()).string());
    EXPECT_EQ(*announced.member("arguments"),
              (JSONValue(JSONArray{JSONValue(executable), JSONValue("app-server")})));
    const JSONValue& environment = *announced.member("environment");
    EXPECT_EQ(*environment.member("TARNWICK_TEST_MARKER")->stringValue(),
              "a value with spaces = and more");
    EXPECT_EQ(*environment.member("PATH")->stringValue(), *environmentVariable("PATH"));
    EXPECT_EQ(*environment.member("HOME")->stringValue(), home.path().string());
    EXPECT_EQ(announced.member("openDescriptors")->displayText(), "[0,1,2]");
    EXPECT_EQ(announced.member("brokenPipeIgnored")->boolValue(), false);
}

// Far beyond what the pipe holds at once: a line within the limit arrives whole, a longer one
// is dropped with one protocol error and the lines after it still come.
TEST_F(AppServerClientTest, AHugeLineArrivesWholeAndAnOverlongOneIsDropped) {
    client.reset();
    AppServerClientOptions options;
    options.maxLineBytes = 8 * 1024 * 1024;
    makeClient(options);
    client->start(
        fake({"wait initialized", "huge 9000000", "huge 8000000", R"(line {"method":"after"})"}));
    ASSERT_TRUE(waitUntil([&] { return seen.hasNotification("after"); }));
    EXPECT_EQ(seen.logs,
              (std::vector<std::string>{"Protocol error: a line longer than 8 MiB was dropped"}));
    // The first line that came is the shorter one.
    ASSERT_TRUE(seen.notification("fake/huge"));
    const std::string& text = *seen.notification("fake/huge")->member("text")->stringValue();
    EXPECT_EQ(text.size(),
              8000000u - std::string(R"({"method":"fake/huge","params":{"text":""}})").size() - 1);
    EXPECT_EQ(text.find_first_not_of('x'), std::string::npos);
}

TEST_F(AppServerClientTest, ShutdownEndsEvenAChildThatIgnoresTerm) {
    client.reset();
    AppServerClientOptions options;
    options.shutdownGrace = std::chrono::milliseconds(100);
    makeClient(options);
    client->start(fake({"announce", "ignore-term", "answer slow silent"}));
    ASSERT_TRUE(seen.waitForReady());
    int pid = announcedPid();
    auto waiting = send("slow");
    client->shutdown();
    EXPECT_TRUE(processGone(pid)) << "reaped before shutdown returns";
    EXPECT_FALSE(client->processId().has_value());
    EXPECT_FALSE(client->isReady());
    ASSERT_TRUE(waitUntil([&] { return waiting->arrived(); }));
    EXPECT_TRUE(waiting->failedWith(AppServerError::Case::notReady));
    ASSERT_TRUE(flushMainQueue());
    EXPECT_FALSE(anyExitStatus());
}
