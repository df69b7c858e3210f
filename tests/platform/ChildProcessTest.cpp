#include "platform/ChildProcess.h"

#include "platform/Environment.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

using namespace tarnwick;
using namespace std::chrono_literals;

namespace {

bool waitFor(const std::function<bool()>& predicate) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool processGone(int pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

LaunchOptions fake(std::vector<std::string> script) {
    LaunchOptions options;
    options.executable = FAKE_APP_SERVER_PATH;
    options.arguments = std::move(script);
    options.environment = currentEnvironment();
    options.workingDirectory = "/";
    return options;
}

// Collects what the handlers get, from whatever thread they run on.
struct Collected {
    std::mutex mutex;
    std::string output;
    std::string error;
    std::vector<ChildExitStatus> exits;

    ChildProcess::Handlers handlers() {
        ChildProcess::Handlers h;
        h.standardOutput = [this](std::string_view bytes) {
            std::lock_guard lock(mutex);
            output.append(bytes);
        };
        h.standardError = [this](std::string_view bytes) {
            std::lock_guard lock(mutex);
            error.append(bytes);
        };
        h.exit = [this](ChildExitStatus status) {
            std::lock_guard lock(mutex);
            exits.push_back(status);
        };
        return h;
    }
    std::size_t exitCount() {
        std::lock_guard lock(mutex);
        return exits.size();
    }
};

} // namespace

TEST(ChildProcess, HandsOnOutputAndReportsTheExitCode) {
    Collected seen;
    auto child =
        ChildProcess::launch(fake({"line hello", "stderr oops", "exit 7"}), seen.handlers());
    ASSERT_TRUE(child.hasValue()) << child.error().description;
    ASSERT_TRUE(waitFor([&] { return seen.exitCount() == 1; }));
    EXPECT_EQ(seen.exits[0], (ChildExitStatus{false, 7}));
    EXPECT_FALSE((*child)->isRunning());
    EXPECT_EQ((*child)->exitStatus(), (ChildExitStatus{false, 7}));
    EXPECT_TRUE(processGone((*child)->processId()));
    // The pipes are drained until their end even after the exit.
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(seen.mutex);
        return seen.output == "hello\n" && seen.error == "oops";
    }));
}

TEST(ChildProcess, ReportsTheSignalThatEndedTheChild) {
    Collected seen;
    auto child = ChildProcess::launch(fake({"signal SEGV"}), seen.handlers());
    ASSERT_TRUE(child.hasValue());
    ASSERT_TRUE((*child)->waitForExit(60s));
    ASSERT_TRUE(waitFor([&] { return seen.exitCount() == 1; }));
    EXPECT_EQ(seen.exits[0], (ChildExitStatus{true, SIGSEGV}));

    Collected terminated;
    auto second = ChildProcess::launch(fake({}), terminated.handlers());
    ASSERT_TRUE(second.hasValue());
    (*second)->terminate();
    ASSERT_TRUE((*second)->waitForExit(60s));
    EXPECT_EQ((*second)->exitStatus(), (ChildExitStatus{true, SIGTERM}));
    // Signalling a reaped child does nothing (its number may belong to someone else by now).
    (*second)->kill();
}

TEST(ChildProcess, DescribesALaunchThatFails) {
    Collected seen;
    auto missing =
        ChildProcess::launch(LaunchOptions{"/nonexistent/codex", {}, {}, "/"}, seen.handlers());
    ASSERT_FALSE(missing.hasValue());
    EXPECT_EQ(missing.error().description,
              "Could not launch /nonexistent/codex: No such file or directory.");
    auto badFolder = ChildProcess::launch(
        LaunchOptions{FAKE_APP_SERVER_PATH, {}, {}, "/nonexistent-folder"}, seen.handlers());
    ASSERT_FALSE(badFolder.hasValue());
    EXPECT_NE(badFolder.error().description.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(seen.exitCount(), 0u);
}

TEST(ChildProcess, ARemovedExitHandlerIsNeverCalledAndTheChildIsStillReaped) {
    Collected seen;
    int pid = 0;
    {
        auto child = ChildProcess::launch(fake({}), seen.handlers());
        ASSERT_TRUE(child.hasValue());
        pid = (*child)->processId();
        (*child)->removeExitHandler();
        // Destruction closes the child's input without signalling it; the fake ends at the end
        // of its input.
    }
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }));
    EXPECT_EQ(seen.exitCount(), 0u);
}

TEST(ChildProcess, AWriteToAChildThatDoesNotReadCanBeCancelled) {
    Collected seen;
    auto child = ChildProcess::launch(fake({"stop-reading"}), seen.handlers());
    ASSERT_TRUE(child.hasValue());
    auto input = (*child)->input();
    std::atomic<bool> done{false};
    std::optional<WriteError> failure;
    std::thread writer([&] {
        auto written = input->writeAll(std::string(8 * 1024 * 1024, 'x'));
        if (!written) {
            failure = written.error();
        }
        done = true;
    });
    // Whenever the cancel comes, before or during the wait, the write ends with it.
    input->cancel();
    writer.join();
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->cancelled);
    EXPECT_FALSE(input->writeAll("more").hasValue());
    (*child)->kill();
    ASSERT_TRUE((*child)->waitForExit(60s));
}

TEST(ChildProcess, AWriteToAChildThatHasEndedFailsWithoutEndingThisProcess) {
    Collected seen;
    auto child = ChildProcess::launch(fake({"exit 0"}), seen.handlers());
    ASSERT_TRUE(child.hasValue());
    ASSERT_TRUE((*child)->waitForExit(60s));
    auto written = (*child)->input()->writeAll("{\"id\":1}\n");
    ASSERT_FALSE(written.hasValue());
    EXPECT_EQ(written.error().description, "Broken pipe");
    EXPECT_FALSE(written.error().cancelled);
}

TEST(ChildProcess, RemovedOutputHandlersAreNotCalledAgain) {
    Collected seen;
    auto child = ChildProcess::launch(fake({"flood 100000 300"}), seen.handlers());
    ASSERT_TRUE(child.hasValue());
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(seen.mutex);
        return !seen.output.empty();
    }));
    (*child)->removeOutputHandlers();
    std::size_t kept;
    {
        std::lock_guard lock(seen.mutex);
        kept = seen.output.size();
    }
    // The flooding child now fails its writes (the read end is closed) and ends.
    ASSERT_TRUE((*child)->waitForExit(60s));
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.output.size(), kept);
}
