#pragma once

#include "app/NotifyCommand.h"
#include "app/PairingNotifier.h"

#include <QObject>

namespace tarnwick {

class ApprovalSettings;
class BridgeController;
struct WaitingQuestion;

// Tells the person when Codex waits for them and no paired device is connected: a desktop
// notification while a question waits (withdrawn when it stops waiting), and the notify command
// they chose, when a question starts waiting and when a turn ends with nobody connected. The
// command's failure goes into the activity log once.
class ApprovalAlerts : public QObject {
    Q_OBJECT

public:
    // `notifier` may be null (no desktop notifications, as for a terminal without a desktop).
    ApprovalAlerts(BridgeController& controller, const ApprovalSettings& settings,
                   PairingNotifier* notifier, QObject* parent = nullptr);

    // The description the notify command gets on its input for a waiting question.
    static JSONValue waitingDescription(const WaitingQuestion& question, const QString& since);

    NotifyCommand& command() { return command_; }

private:
    const ApprovalSettings& settings_;
    NotifyCommand command_;
};

} // namespace tarnwick
