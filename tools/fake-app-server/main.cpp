// fake-app-server: plays `codex app-server` for the tests and the benchmark.
//
// Usage: fake-app-server [--script FILE] [SCRIPT LINE ...] [app-server]
// The script language is described in FakeScript.h. The argument "app-server", which the
// bridge always passes, is accepted and ignored. Started without script lines (as the bridge
// starts it, through a link named codex), the fake reads the file named like the path it was
// started by with ".script" added, if there is one: /tmp/x/codex reads /tmp/x/codex.script.

#include "FakeAppServer.h"
#include "FakeScript.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Never outlive the process that started this one.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        return 0;
    }

    std::vector<std::string> lines;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--script" && i + 1 < argc) {
            std::ifstream file(argv[++i]);
            if (!file) {
                std::cerr << "fake-app-server: cannot read " << argv[i] << "\n";
                return 2;
            }
            for (std::string line; std::getline(file, line);) {
                lines.push_back(line);
            }
        } else if (argument == "app-server") {
            continue;
        } else {
            lines.push_back(argument);
        }
    }
    if (lines.empty()) {
        std::ifstream file{std::string(argv[0]) + ".script"};
        for (std::string line; file && std::getline(file, line);) {
            lines.push_back(line);
        }
    }
    tarnwick::FakeScript script;
    if (std::string error = script.add(lines); !error.empty()) {
        std::cerr << "fake-app-server: " << error << "\n";
        return 2;
    }
    return tarnwick::FakeAppServer(std::move(script)).run();
}
