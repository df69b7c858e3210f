#include "app/NotifyCommand.h"

#include "app/AppLog.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/MainQueue.h"

#include <QPointer>

#include <optional>

namespace tarnwick {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds pollStep = 50ms;

// Runs the command to its end on the calling (worker) thread; gives why it failed, if it did.
std::optional<std::string> runToEnd(const std::string& path, const std::string& input,
                                    std::chrono::milliseconds timeLimit,
                                    const std::atomic<bool>& stopping) {
    // Whatever the command writes is not wanted; it is read so that it never blocks on a pipe.
    auto child = ChildProcess::launch({path, {}, currentEnvironment(), {}},
                                      {[](std::string_view) {}, [](std::string_view) {}, {}});
    if (!child) {
        return "it could not be started: " + child.error().description;
    }
    if (auto written = (*child)->input()->writeAll(input); !written) {
        qCDebug(appLog) << "notify command did not read its input:"
                        << written.error().description.c_str();
    }
    // Its input ends here: the command sees the end of the description.
    (*child)->closeInput();
    auto waited = 0ms;
    while (!(*child)->waitForExit(pollStep)) {
        waited += pollStep;
        if (waited >= timeLimit || stopping) {
            (*child)->kill();
            (*child)->waitForExit(1s);
            return stopping ? std::string("the bridge stopped before it ended")
                            : "it did not end within " +
                                  std::to_string(
                                      std::chrono::duration_cast<std::chrono::seconds>(timeLimit)
                                          .count()) +
                                  " s and was stopped";
        }
    }
    const ChildExitStatus status = *(*child)->exitStatus();
    if (status.signalled) {
        return "it was ended by signal " + std::to_string(status.value);
    }
    if (status.value != 0) {
        return "it exited with status " + std::to_string(status.value);
    }
    return std::nullopt;
}

} // namespace

NotifyCommand::NotifyCommand(std::chrono::milliseconds timeLimit, QObject* parent)
    : QObject(parent), timeLimit_(timeLimit) {}

NotifyCommand::~NotifyCommand() {
    shared_->stopping = true;
    queue_.reset();
}

void NotifyCommand::run(const QString& path, const JSONValue& description) {
    if (path.isEmpty()) {
        return;
    }
    auto encoded = description.encode();
    if (!encoded) {
        return;
    }
    if (shared_->waiting.fetch_add(1) >= maxWaiting) {
        shared_->waiting.fetch_sub(1);
        qCDebug(appLog) << "notify command busy; a run was dropped";
        return;
    }
    QPointer<NotifyCommand> self(this);
    queue_->submit([self, shared = shared_, path, limit = timeLimit_,
                    input = std::move(*encoded) + "\n"] {
        shared->waiting.fetch_sub(1);
        std::optional<std::string> failure;
        if (!shared->stopping) {
            failure = runToEnd(path.toStdString(), input, limit, shared->stopping);
        }
        postToMain([self, path, failure] {
            if (self) {
                self->ended(path, failure ? std::optional<QString>(QString::fromStdString(*failure))
                                          : std::nullopt);
            }
        });
    });
}

void NotifyCommand::ended(const QString& path, std::optional<QString> failure) {
    if (!failure) {
        failing_ = false;
    } else if (!failing_) {
        failing_ = true;
        emit failed(QStringLiteral("The notify command %1 failed: %2.").arg(path, *failure));
    }
    emit finished(!failure);
}

} // namespace tarnwick
