#include "ui/ApprovalSettings.h"

#include "bridge/ApprovalRouter.h"
#include "ui/DisplayText.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>

namespace tarnwick {

namespace {

const QString waitKey = QStringLiteral("approvals/waitSeconds");
const QString notifyKey = QStringLiteral("approvals/notifyCommand");

int boundedWait(int seconds) {
    return seconds < 0 ? ApprovalSettings::noLimit
                       : std::min(seconds, ApprovalSettings::maxWaitSeconds);
}

} // namespace

ApprovalSettings::ApprovalSettings(ApprovalRouter& approvals, std::unique_ptr<QSettings> settings,
                                   QObject* parent)
    : QObject(parent), approvals_(approvals), settings_(std::move(settings)) {
    if (settings_) {
        // A stored value that is not a number (edited by hand) keeps the default.
        bool isNumber = false;
        const int stored = settings_->value(waitKey, defaultWaitSeconds).toInt(&isNumber);
        waitSeconds_ = isNumber ? boundedWait(stored) : defaultWaitSeconds;
        notifyCommand_ = settings_->value(notifyKey).toString();
    }
    apply();
}

std::optional<int> ApprovalSettings::parseWait(const QString& text) {
    const QString word = text.trimmed().toLower();
    if (word == u"off" || word == u"none") {
        return noLimit;
    }
    bool isNumber = false;
    const int seconds = word.toInt(&isNumber);
    if (!isNumber || seconds < 0 || seconds > maxWaitSeconds || word.startsWith(u'+')) {
        return std::nullopt;
    }
    return seconds;
}

QString ApprovalSettings::describeWait(int seconds) {
    if (seconds < 0) {
        return QStringLiteral("no limit");
    }
    if (seconds == 0) {
        return QStringLiteral("declined at once");
    }
    if (seconds % 60 == 0) {
        return QStringLiteral("%1 min").arg(seconds / 60);
    }
    return QStringLiteral("%1 s").arg(seconds);
}

void ApprovalSettings::setWaitSeconds(int seconds) {
    waitSeconds_ = boundedWait(seconds);
    if (settings_) {
        settings_->setValue(waitKey, waitSeconds_);
        settings_->sync();
    }
    apply();
}

void ApprovalSettings::setNotifyCommand(const QString& path) {
    notifyCommand_ = path.trimmed();
    if (settings_) {
        settings_->setValue(notifyKey, notifyCommand_);
        settings_->sync();
    }
    apply();
}

void ApprovalSettings::overrideForThisRun(std::optional<int> waitSeconds,
                                          std::optional<QString> notifyCommand) {
    if (waitSeconds) {
        waitSeconds_ = boundedWait(*waitSeconds);
    }
    if (notifyCommand) {
        notifyCommand_ = notifyCommand->trimmed();
    }
    apply();
}

QString ApprovalSettings::summary() const {
    if (waitSeconds_ == 0) {
        return QStringLiteral("Approval questions are declined at once while no paired device is "
                              "connected.");
    }
    if (waitSeconds_ < 0) {
        return QStringLiteral("Approval questions wait for a paired device as long as Codex "
                              "does.");
    }
    return QStringLiteral("Approval questions wait %1 for a paired device.").arg(waitText());
}

std::optional<ApprovalSettings::Answer> ApprovalSettings::handleCommand(const QString& command,
                                                                        const QString& argument) {
    if (command == u"approval-wait") {
        const std::optional<int> seconds = parseWait(argument);
        if (!seconds) {
            return Answer{false, QStringLiteral("approval-wait takes SECONDS (0 to %1) or off.\n")
                                     .arg(maxWaitSeconds)};
        }
        setWaitSeconds(*seconds);
        return Answer{true, summary() + u'\n'};
    }
    if (command == u"notify-command") {
        const QString path = argument.trimmed();
        if (path == u"off" || path == u"none") {
            setNotifyCommand({});
            return Answer{true, QStringLiteral("No notify command is run now.\n")};
        }
        // A program by its absolute path, run as it is: nothing is looked up, nothing is
        // parsed by a shell.
        const QFileInfo program(path);
        if (!program.isAbsolute() || !program.isFile() || !program.isExecutable()) {
            return Answer{false, QStringLiteral("%1 is not a program the bridge can run; give its "
                                                "absolute path, or off.\n")
                                     .arg(visibleText(path))};
        }
        setNotifyCommand(path);
        return Answer{true,
                      QStringLiteral("The notify command is now %1.\n").arg(visibleText(path))};
    }
    return std::nullopt;
}

void ApprovalSettings::apply() {
    approvals_.setWaitLimit(waitSeconds_ < 0
                                ? ApprovalRouter::WaitLimit()
                                : ApprovalRouter::WaitLimit(std::chrono::seconds(waitSeconds_)));
    emit changed();
}

} // namespace tarnwick
