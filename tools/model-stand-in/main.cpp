// model-stand-in: a model for the Codex CLI that runs on this machine, so that a whole agent
// turn (with its approval question) can run offline and without an account.
//
// Usage: model-stand-in [--port N] [--command SHELL-COMMAND] [--reason TEXT] [--reply TEXT]
//                       [--log FILE] [--write-codex-config CODEX_HOME]
// Each turn asks Codex to run the command, then answers with the reply. --write-codex-config
// writes CODEX_HOME/config.toml so that Codex uses this stand-in and nothing on the network.
// The first line on standard output is "Listening on http://127.0.0.1:PORT/v1".

#include "StandInServer.h"

#include <QCoreApplication>

#include <sys/prctl.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr const char* usage =
    "Usage: model-stand-in [--port N] [--command SHELL-COMMAND] [--reason TEXT] [--reply TEXT]\n"
    "                      [--log FILE] [--write-codex-config CODEX_HOME]\n";

std::string codexConfig(quint16 port) {
    return "# Written by model-stand-in: Codex asks the stand-in model on this machine and\n"
           "# reaches nothing on the network.\n"
           "model = \"stand-in\"\n"
           "model_provider = \"stand-in\"\n\n"
           "[model_providers.stand-in]\n"
           "name = \"Model stand-in\"\n"
           "base_url = \"http://127.0.0.1:" +
           std::to_string(port) +
           "/v1\"\n"
           "wire_api = \"responses\"\n"
           "request_max_retries = 0\n"
           "stream_max_retries = 0\n\n"
           "[features]\n"
           "plugins = false\n"
           "apps = false\n"
           "unbounded_connection_retries = false\n";
}

} // namespace

int main(int argc, char** argv) {
    // Started by a test, never outlive it.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        return 0;
    }
    QCoreApplication application(argc, argv);

    tarnwick::ModelScriptOptions options;
    quint16 port = 0;
    std::optional<std::string> logPath;
    std::optional<std::filesystem::path> codexHome;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "--help" || option == "-h") {
            std::cout << usage;
            return 0;
        }
        if (index + 1 >= argc) {
            std::cerr << "model-stand-in: unknown option or missing value: " << option << "\n"
                      << usage;
            return 2;
        }
        const std::string value = argv[++index];
        if (option == "--port") {
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
                std::cerr << "model-stand-in: the port must be a number from 0 to 65535.\n";
                return 2;
            }
        } else if (option == "--command") {
            options.command = value;
        } else if (option == "--reason") {
            options.reason = value;
        } else if (option == "--reply") {
            options.reply = value;
        } else if (option == "--log") {
            logPath = value;
        } else if (option == "--write-codex-config") {
            codexHome = value;
        } else {
            std::cerr << "model-stand-in: unknown option " << option << "\n" << usage;
            return 2;
        }
    }

    std::ofstream log;
    if (logPath) {
        log.open(*logPath, std::ios::app);
        if (!log) {
            std::cerr << "model-stand-in: cannot write " << *logPath << "\n";
            return 1;
        }
    }
    tarnwick::StandInServer server{tarnwick::ModelScript(options)};
    server.onRequest = [&log](const std::string& line) {
        if (log.is_open()) {
            log << line << "\n" << std::flush;
        }
    };
    if (std::string error = server.listen(port); !error.empty()) {
        std::cerr << "model-stand-in: " << error << "\n";
        return 1;
    }
    if (codexHome) {
        std::error_code ignored;
        std::filesystem::create_directories(*codexHome, ignored);
        std::ofstream config(*codexHome / "config.toml", std::ios::trunc);
        config << codexConfig(server.port());
        if (!config.flush()) {
            std::cerr << "model-stand-in: cannot write " << (*codexHome / "config.toml") << "\n";
            return 1;
        }
    }
    std::cout << "Listening on http://127.0.0.1:" << server.port() << "/v1" << std::endl;
    return QCoreApplication::exec();
}
