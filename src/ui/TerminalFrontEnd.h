#pragma once

#include "ui/TerminalWriter.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

class ApprovalSettings;
class BridgeController;

// The bridge without a window: prints the status values and every activity line as they
// change, shows each pairing request with its serial and its code, and takes the user's
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
    // A pairing request as the user was shown it: its serial (the number to type) and its
    // code, which pair and reject act on.
    struct ShownRequest {
        std::uint64_t serial;
        std::string code;
        std::string displayName;
    };
    struct ListedDevice {
        std::string deviceID;
        std::string displayName;
    };

    void printStatus(bool always);
    void printRequest(const ShownRequest& request);
    void printDevices();
    void ceiling(const QStringList& words);
    void printHelp();
    void printLaunchAtLogin();
    void printPhone();
    void refreshRequests();
    void logged(const QString& line);

    void pair(const QString& argument, bool accept);
    void forget(const QString& argument);
    void login(const QString& argument);

    std::optional<int> number(const QString& argument) const;
    std::optional<std::uint64_t> serial(const QString& argument) const;
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
    // The request the user is deciding here; its end is said by the activity line that follows.
    std::optional<std::uint64_t> deciding_;
    std::optional<std::vector<ListedDevice>> listedDevices_;
    bool stopping_ = false;
    bool statusPending_ = false;
};

} // namespace tarnwick
