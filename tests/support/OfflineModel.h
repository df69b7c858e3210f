#pragma once

#include "json/JSONValue.h"
#include "support/QtTestSupport.h"
#include "support/TemporaryHome.h"

#include <QProcess>
#include <QStringList>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::testing {

// The model stand-in as a process of its own, and the environment that makes the Codex CLI,
// which the bridge starts with its own environment, ask the stand-in and reach nothing else:
// CODEX_HOME holds the config that points at it, and every proxy variable names it, so that a
// request for any other host is refused. The environment is put back when it goes.
class OfflineModel {
public:
    // `script` is the stand-in's own options (--command, --reason, --reply); its config and
    // its request log go into `folder`.
    OfflineModel(const std::string& executable, const std::filesystem::path& folder,
                 const QStringList& script)
        : codexHome_(folder / "codex-home"), log_(folder / "model-requests.jsonl") {
        QStringList arguments = script;
        arguments << "--log" << QString::fromStdString(log_.string()) << "--write-codex-config"
                  << QString::fromStdString(codexHome_.string());
        process_.start(QString::fromStdString(executable), arguments);
        std::string output;
        waitUntil([&] {
            output += process_.readAllStandardOutput().toStdString();
            return output.find('\n') != std::string::npos ||
                   process_.state() == QProcess::NotRunning;
        });
        const std::string prefix = "Listening on ";
        if (output.rfind(prefix, 0) != 0) {
            error_ = "the model stand-in did not start: " + output +
                     process_.readAllStandardError().toStdString();
            return;
        }
        const std::string url = output.substr(prefix.size(), output.find("/v1") - prefix.size());
        variables_.push_back(
            std::make_unique<ScopedEnvironmentVariable>("CODEX_HOME", codexHome_.string()));
        for (const char* proxy :
             {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"}) {
            variables_.push_back(std::make_unique<ScopedEnvironmentVariable>(proxy, url));
        }
        for (const char* direct : {"NO_PROXY", "no_proxy"}) {
            variables_.push_back(
                std::make_unique<ScopedEnvironmentVariable>(direct, "127.0.0.1,localhost"));
        }
    }
    ~OfflineModel() {
        process_.kill();
        process_.waitForFinished();
    }
    OfflineModel(const OfflineModel&) = delete;
    OfflineModel& operator=(const OfflineModel&) = delete;

    bool started() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // The bodies of the requests the stand-in answered, in order.
    std::vector<JSONValue> requests() const {
        std::vector<JSONValue> bodies;
        std::ifstream file(log_);
        for (std::string line; std::getline(file, line);) {
            auto logged = JSONValue::decode(line);
            if (logged && logged->member("body")) {
                bodies.push_back(*logged->member("body"));
            }
        }
        return bodies;
    }

private:
    std::filesystem::path codexHome_;
    std::filesystem::path log_;
    QProcess process_;
    std::string error_;
    std::vector<std::unique_ptr<ScopedEnvironmentVariable>> variables_;
};

} // namespace tarnwick::testing
