#pragma once

#include "ui/TerminalWriter.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

class ApprovalSettings;
class BridgeController;

// The bridge without a window: prints the status values and every activity line as they
// change, shows each pairing request with a number and its code, and takes the user's
// commands one line at a time ("pair 1", "devices", "phone", "quit", ...).
class TerminalFrontEnd : public QObject {
    Q_OBJECT

public:
    TerminalFrontEnd(BridgeController& controller, TerminalWriter& out, QObject* parent = nullptr);

    // Prints a greeting and the current state; from then on changes are printed as they come.
    void begin();
    // Takes "approval-wait" and "notify-command" to these settings.
    void setApprovalSettings(ApprovalSettings* settings) { approvalSettings_ = settings; }

public slots:
    void handleLine(const QString& line);
    void handleEndOfInput();
    // A later launch found this bridge running.
    void handleSecondLaunch();

signals:
    // The user asked the bridge to stop.
    void quitRequested();

private:
    // A pairing request as the user sees it: a number that stays with it while it waits.
    struct ShownRequest {
        int number;
        std::string id;
        std::string code;
        std::string displayName;
        // The request's key (PairingRequest::key): what pair and reject act on.
        std::string key;
    };
    struct ListedDevice {
        std::string deviceID;
        std::string displayName;
    };

    void printStatus(bool always);
    void printRequest(const ShownRequest& request);
    void printDevices();
    void printHelp();
    void printLaunchAtLogin();
    void printPhone();
    void refreshRequests();
    void logged(const QString& line);

    void pair(const QString& argument, bool accept);
    void forget(const QString& argument);
    void login(const QString& argument);

    std::optional<int> number(const QString& argument) const;
    // A device's name as shown beside the names on show now (BridgeController::shownName).
    QString shown(const std::string& name) const;
    QString engineLine() const;
    QString linkLine() const;
    QString devicesLine() const;

    BridgeController& controller_;
    TerminalWriter& out_;
    ApprovalSettings* approvalSettings_ = nullptr;
    QString shownEngine_;
    QString shownLink_;
    QString shownDevices_;
    std::vector<ShownRequest> requests_;
    // Requests the user decided here; their end is said by the activity line that follows.
    std::vector<std::string> decided_;
    int nextRequestNumber_ = 1;
    std::optional<std::vector<ListedDevice>> listedDevices_;
    bool stopping_ = false;
    bool statusPending_ = false;
};

} // namespace tarnwick
