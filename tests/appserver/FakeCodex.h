#pragma once

// A folder holding a `codex` that is the fake app-server, with the script it follows.

#include "support/TemporaryHome.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tarnwick::testing {

class FakeCodex {
public:
    explicit FakeCodex(const std::vector<std::string>& script) : folder_("tarnwick-fake-codex") {
        std::filesystem::create_symlink(FAKE_APP_SERVER_PATH, executable());
        std::ofstream file(executable() + ".script");
        for (const std::string& line : script) {
            file << line << "\n";
        }
    }

    std::string executable() const { return (folder_.path() / "codex").string(); }
    std::string folder() const { return folder_.path().string(); }

private:
    TemporaryDirectory folder_;
};

} // namespace tarnwick::testing
