#pragma once

#include "app/SingleInstance.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

class ApprovalSettings;
class BridgeController;

// The running bridge's side of `tarnwick-bridge status`, `requests`, `pair N`, `reject N`,
// `devices`, `forget N`, `ceiling ...`, `restart` and `phone`, whatever front end it runs behind.
// Pairing requests go by their serial, as in the terminal and the window: given in the order
// they arrive, from 1, never reused. A decision acts only on a request as the last listing
// showed it (its serial and its code); a request that went away is left alone, and one that
// arrived since has a serial the listing did not show.
class BridgeControl : public QObject {
    Q_OBJECT

public:
    explicit BridgeControl(BridgeController& controller, QObject* parent = nullptr);

    SingleInstance::ControlAnswer handle(const QStringList& words);
    // Takes approval-wait and notify-command to these settings.
    void setApprovalSettings(ApprovalSettings* settings) { approvalSettings_ = settings; }

signals:
    // A pairing request arrived; `number` is its serial. `displayName` is the device's name
    // as shown (cut, spelled out or marked where needed).
    void requestArrived(int number, const QString& displayName, const QString& code);
    // The request with that serial is no longer waiting: decided, gone, or replaced.
    void requestEnded(int number);

private:
    struct ShownRequest {
        std::uint64_t serial;
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
    SingleInstance::ControlAnswer ceiling(const QStringList& words);
    // Runs `action` and gives the activity lines it logged, oldest first, or `otherwise`.
    template <typename Action>
    QString logged(Action action, const QString& otherwise);

    BridgeController& controller_;
    ApprovalSettings* approvalSettings_ = nullptr;
    std::vector<ShownRequest> requests_;
    std::optional<std::vector<ShownRequest>> listedRequests_;
    std::optional<std::vector<ListedDevice>> listedDevices_;
};

} // namespace tarnwick
