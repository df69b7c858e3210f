// The client against the real Codex CLI that scripts/setup installs. These tests run without
// a network (see support/run-offline.sh) and with a temporary home, so the CLI neither reaches
// the internet nor touches the developer's ~/.codex.

#include "ClientRecorder.h"
#include "appserver/AppServerClient.h"
#include "appserver/CodexExecutableSearch.h"
#include "platform/Environment.h"
#include "support/NetworkIsolation.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

class CodexCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!onlyLoopback()) {
            GTEST_SKIP() << "the Codex CLI is only run where it cannot reach the network";
        }
        ASSERT_TRUE(std::filesystem::exists(CODEX_CLI_PATH))
            << CODEX_CLI_PATH << " is missing; scripts/setup installs it";
        client = AppServerClient::create();
        seen.attach(*client);
    }

    void TearDown() override {
        if (client) {
            client->shutdown();
            client.reset();
        }
        EXPECT_TRUE(seen.allOnMainThread);
    }

    std::shared_ptr<Outcome> call(std::string method, JSONValue params = JSONObject{}) {
        auto [outcome, completion] = seen.completion();
        client->request(std::move(method), std::move(params), completion);
        EXPECT_TRUE(waitUntil([&] { return outcome->arrived(); }));
        return outcome;
    }

    TemporaryHome home;
    ClientRecorder seen;
    std::shared_ptr<AppServerClient> client;
};

} // namespace

// Found on the path, it answers the allowlisted reads, starts and announces a thread, and its
// end is reported once it is killed.
TEST_F(CodexCliTest, IsFoundOnThePathAnswersAndAnnouncesAndItsEndIsReported) {
    std::string folder = std::filesystem::path(CODEX_CLI_PATH).parent_path().string();
    ScopedEnvironmentVariable path("PATH", folder + ":" + environmentVariable("PATH").value_or(""));
    std::optional<std::string> found = AppServerClient::findCodexExecutable();
    if (!CodexExecutableSearch::firstExecutable(CodexExecutableSearch::fixedLocations())) {
        EXPECT_EQ(found, std::string(CODEX_CLI_PATH));
    }
    client->start(std::string(CODEX_CLI_PATH));
    ASSERT_TRUE(seen.waitForReady());
    EXPECT_EQ(seen.statuses.front(), (Status{"Starting Codex app-server\u2026", false}));
    EXPECT_EQ(seen.statuses.back(), (Status{"Codex app-server ready", true}));

    for (const char* method : {"thread/list", "model/list", "account/read"}) {
        auto outcome = call(method);
        ASSERT_TRUE(outcome->value && outcome->value->hasValue())
            << method << ": " << outcome->value->error().description();
        EXPECT_TRUE((*outcome->value)->objectValue()) << method;
    }
    EXPECT_TRUE(call("model/list")->value->value().member("data")->arrayValue());

    auto unknown = call("tarnwick/unknownMethod");
    ASSERT_TRUE(unknown->failedWith(AppServerError::Case::server));
    EXPECT_NE(unknown->value->error().description().find("tarnwick/unknownMethod"),
              std::string::npos)
        << unknown->value->error().description();

    auto started = call("thread/start");
    ASSERT_TRUE(started->value && started->value->hasValue())
        << started->value->error().description();
    const JSONValue* thread = (*started->value)->member("thread");
    ASSERT_TRUE(thread && thread->member("id"));
    ASSERT_TRUE(waitUntil([&] {
        return std::any_of(
            seen.notifications.begin(), seen.notifications.end(), [&](const auto& entry) {
                const JSONValue* announced = entry.second.member("thread");
                return entry.first == "thread/started" && announced && announced->member("id") &&
                       *announced->member("id") == *thread->member("id");
            });
    }));

    for (const std::string& line : seen.logs) {
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
    ASSERT_EQ(::kill(*client->processId(), SIGKILL), 0);
    ASSERT_TRUE(seen.waitForStatus("Codex app-server exited with code 9."));
    EXPECT_EQ(seen.statuses.back(), (Status{"Codex app-server exited with code 9.", false}));
    EXPECT_TRUE(call("thread/list")->failedWith(AppServerError::Case::notReady));
}
