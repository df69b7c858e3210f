#pragma once

#include "json/JSONValue.h"
#include "platform/SerialQueue.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

namespace tarnwick {

// Runs the command the person chose to be told by (a script that sends a push message, say)
// with a JSON description of what happened on its standard input. The command is run as the
// path alone: no shell, no arguments, nothing of Codex's text on its command line, so that no
// quote or `$(...)` in a command Codex proposes can become a command of its own. Each run may
// take up to timeLimit, and is then killed; runs go one at a time on a thread of their own,
// never the main thread, and at most maxWaiting wait for their turn (others are dropped).
// A failure is reported once (failed) until a run succeeds again.
class NotifyCommand : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds defaultTimeLimit{10};
    static constexpr int maxWaiting = 8;

    explicit NotifyCommand(std::chrono::milliseconds timeLimit = defaultTimeLimit,
                           QObject* parent = nullptr);
    // Kills a run in progress and waits for it.
    ~NotifyCommand() override;

    // Runs `path` (nothing when empty) with `description` as one line of JSON on its input.
    void run(const QString& path, const JSONValue& description);

signals:
    // The first failure since the last success; `reason` is for the activity log.
    void failed(const QString& reason);
    // Every run's end, for those who wait for it.
    void finished(bool succeeded);

private:
    void ended(const QString& path, std::optional<QString> failure);

    struct Shared {
        std::atomic<bool> stopping{false};
        std::atomic<int> waiting{0};
    };
    std::chrono::milliseconds timeLimit_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    bool failing_ = false;
    // Last, so that it is joined before the rest goes.
    std::unique_ptr<SerialQueue> queue_ = std::make_unique<SerialQueue>("notify-command");
};

} // namespace tarnwick
