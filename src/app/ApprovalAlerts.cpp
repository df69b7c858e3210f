#include "app/ApprovalAlerts.h"

#include "bridge/BridgeController.h"
#include "ui/ApprovalSettings.h"

#include <QDateTime>

namespace tarnwick {

namespace {

QString nowInUtc() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

} // namespace

ApprovalAlerts::ApprovalAlerts(BridgeController& controller, const ApprovalSettings& settings,
                               PairingNotifier* notifier, QObject* parent)
    : QObject(parent), settings_(settings) {
    ApprovalRouter& approvals = controller.approvals();
    connect(&approvals, &ApprovalRouter::waitingStarted, this,
            [this, notifier](const WaitingQuestion& question) {
                if (notifier) {
                    notifier->notifyWaiting(QString::fromStdString(question.bridgeID),
                                            QString::fromStdString(question.shown));
                }
                command_.run(settings_.notifyCommand(), waitingDescription(question, nowInUtc()));
            });
    if (notifier) {
        connect(&approvals, &ApprovalRouter::waitingEnded, notifier,
                [notifier](const std::string& bridgeID) {
                    notifier->withdrawWaiting(QString::fromStdString(bridgeID));
                });
    }
    connect(&approvals, &ApprovalRouter::turnEndedUnattended, this,
            [this](const std::string& threadID, const std::string& cwd) {
                command_.run(settings_.notifyCommand(),
                             JSONObject{{"event", "turn-finished"},
                                        {"threadId", threadID},
                                        {"cwd", cwd},
                                        {"finishedAt", nowInUtc().toStdString()}});
            });
    connect(&command_, &NotifyCommand::failed, &controller,
            [&controller](const QString& reason) { controller.logLine(reason.toStdString()); });
}

JSONValue ApprovalAlerts::waitingDescription(const WaitingQuestion& question,
                                             const QString& since) {
    JSONObject description{{"event", "question-waiting"},
                           {"threadId", question.threadID},
                           {"cwd", question.cwd},
                           {"waitingSince", since.toStdString()}};
    if (question.command) {
        description.set("command", *question.command);
    } else if (question.method == "item/fileChange/requestApproval") {
        JSONArray files;
        for (const std::string& file : question.files) {
            files.emplace_back(file);
        }
        description.set("files", std::move(files));
    }
    return description;
}

} // namespace tarnwick
