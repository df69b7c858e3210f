#pragma once

#include "app/SingleInstance.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

class ApprovalSettings;
class BridgeController;

// The running bridge's side of `tarnwick-bridge status`, `requests`, `pair N`, `reject N`,
// `devices`, `forget N`, `restart` and `phone`, whatever front end it runs behind. Pairing requests
// are numbered as the terminal front end numbers them: in the order they arrive, from 1, a number
// staying with its request while it waits. A decision acts only on a request as the last
// listing showed it; a request that went away or came back with another code is left alone.
class BridgeControl : public QObject {
    Q_OBJECT

public:
    explicit BridgeControl(BridgeController& controller, QObject* parent = nullptr);

    SingleInstance::ControlAnswer handle(const QStringList& words);
    // Takes approval-wait and notify-command to these settings.
    void setApprovalSettings(ApprovalSettings* settings) { approvalSettings_ = settings; }

signals:
    // A pairing request arrived and was given its number. `displayName` is the device's name
    // as shown (cut, spelled out or marked where needed).
    void requestArrived(int number, const QString& displayName, const QString& code);
    // The request with that number is no longer waiting: decided, gone, or replaced.
    void requestEnded(int number);

private:
    struct ShownRequest {
        int number;
        std::string id;
        std::string code;
        std::string displayName;
    };
    struct ListedDevice {
        std::string deviceID;
        std::string displayName;
    };

    void refreshRequests();
    // A device's name as shown beside the names on show now (BridgeController::shownName).
    QString shown(const std::string& name) const;
    QString statusText() const;
    QString requestsText();
    QString devicesText();
    SingleInstance::ControlAnswer decide(const QString& argument, bool accept);
    SingleInstance::ControlAnswer forget(const QString& argument);
    // Runs `action` and gives the activity lines it logged, oldest first, or `otherwise`.
    template <typename Action>
    QString logged(Action action, const QString& otherwise);

    BridgeController& controller_;
    ApprovalSettings* approvalSettings_ = nullptr;
    std::vector<ShownRequest> requests_;
    int nextRequestNumber_ = 1;
    std::optional<std::vector<ShownRequest>> listedRequests_;
    std::optional<std::vector<ListedDevice>> listedDevices_;
};

} // namespace tarnwick
