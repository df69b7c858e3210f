#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick::testing {

// A program started by a test, its standard output read through a pipe. Standard error is
// left to the test's own, so that the program's complaints show up in the test log.
class ChildProcess {
public:
    // Starts `arguments[0]` (a path) with its standard input read from `inputFile`, or from
    // /dev/null when none is given. Fails the running test when the program cannot start.
    explicit ChildProcess(const std::vector<std::string>& arguments,
                          const std::string& inputFile = "/dev/null");
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps the program if it still runs.
    ~ChildProcess();

    bool started() const { return pid_ > 0; }
    // The next line of output without its line break, or nothing at the end of the output.
    std::optional<std::string> readLine();
    // Everything the program still writes until it closes its output.
    std::string readAll();
    // Ends the program with SIGKILL.
    void kill();
    // Waits for the program to end: its exit status, or -1 when a signal ended it.
    int wait();

private:
    int pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

// Runs a program to its end with `input` on its standard input: its exit status and output.
struct Finished {
    int status = -1;
    std::string output;
};
Finished runToEnd(const std::vector<std::string>& arguments, const std::string& input);

} // namespace tarnwick::testing
