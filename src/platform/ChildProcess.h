#pragma once

#include "platform/Expected.h"
#include "platform/PipeReader.h"
#include "platform/PipeWriter.h"
#include "platform/PlatformError.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// How a child process ended.
struct ChildExitStatus {
    // True when a signal ended the child rather than its own exit.
    bool signalled = false;
    // The exit code, or the number of the signal that ended the child.
    int value = 0;

    friend bool operator==(const ChildExitStatus&, const ChildExitStatus&) = default;
};

// What to run.
struct LaunchOptions {
    std::string executable;
    std::vector<std::string> arguments;
    // NAME=value entries, passed to the child as they are.
    std::vector<std::string> environment;
    std::string workingDirectory;
};

// A running child process whose standard input, output and error are pipes to this process.
// The output of both streams is read on background threads and handed to handlers; the child's
// end is reported to an exit handler on a background thread. Every child is reaped when it
// ends, also when this object is gone by then.
class ChildProcess {
public:
    using OutputHandler = std::function<void(std::string_view bytes)>;
    using ExitHandler = std::function<void(ChildExitStatus status)>;

    struct Handlers {
        OutputHandler standardOutput;
        OutputHandler standardError;
        ExitHandler exit;
    };

    // Starts the child. Every pipe is made close-on-exec, and every other descriptor is closed
    // in the child, so it inherits only its three standard streams. SIGPIPE is ignored in this
    // process from the first launch on (a write to a child that has gone fails instead of ending
    // the process) and set back to its default in the child.
    static Expected<std::unique_ptr<ChildProcess>, PlatformError>
    launch(const LaunchOptions& options, Handlers handlers);

    // Removes every handler and closes this process's ends of the pipes. Does not signal the
    // child: a child that reads its input sees the end of it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int processId() const { return pid_; }

    // The write end of the child's standard input, shared with whoever writes to it; nullptr
    // once closeInput ran.
    std::shared_ptr<PipeWriter> input() const { return input_; }
    // Lets go of this object's share of the write end: once the other holders let go of theirs,
    // the child reads the end of its input.
    void closeInput();

    // Once this returns, the exit handler is not running and never called.
    void removeExitHandler();
    // Once this returns, neither output handler is running and neither is called again.
    void removeOutputHandlers();

    // True until the child has ended and been reaped.
    bool isRunning() const;
    std::optional<ChildExitStatus> exitStatus() const;

    // SIGTERM, and SIGKILL. Nothing happens once the child has been reaped, so a process that
    // later reuses the number is never signalled.
    void terminate();
    void kill();

    // Waits until the child has ended and been reaped, or until the time is up.
    bool waitForExit(std::chrono::milliseconds timeout) const;

    struct ExitWatch;
    // Only launch makes children.
    class Key {
        friend class ChildProcess;
        Key() = default;
    };
    ChildProcess(Key, int pid, std::shared_ptr<ExitWatch> watch, std::shared_ptr<PipeWriter> input,
                 std::unique_ptr<PipeReader> output, std::unique_ptr<PipeReader> error);

private:
    void signal(int number);

    int pid_;
    std::shared_ptr<ExitWatch> watch_;
    std::shared_ptr<PipeWriter> input_;
    std::unique_ptr<PipeReader> output_;
    std::unique_ptr<PipeReader> error_;
};

} // namespace tarnwick
