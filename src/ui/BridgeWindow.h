#pragma once

#include "ui/ActivityLogModel.h"
#include "ui/PairingRequestModel.h"
#include "ui/PhonePairingPanel.h"
#include "ui/TrustedDeviceModel.h"

#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QStringList>

namespace tarnwick {

class BridgeController;

// The bridge's window: loads the QML scene for one controller and starts the bridge when the
// window's content is first shown.
class BridgeWindow : public QObject {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 780;
    static constexpr int minimumHeight = 620;
    static constexpr qsizetype maxKeptErrors = 100;
    // The activity box shows the newest ten lines of the log.
    static constexpr qsizetype shownLogLines = 10;

    explicit BridgeWindow(BridgeController& controller, QObject* parent = nullptr);

    // Whether the window draws its own title strip instead of the system's title bar; by
    // default where the platform's window manager moves and resizes frameless windows on request
    // (X11 and Wayland). Takes effect at load().
    void setFrameless(bool frameless) { frameless_ = frameless; }
    bool frameless() const { return frameless_; }
    static bool platformSuitsFrameless(const QString& platformName);
    // The approval settings the window shows (ApprovalSettings); none hides them. Takes effect at
    // load().
    void setApprovalSettings(QObject* settings) { approvalSettings_ = settings; }

    // Builds the window, hidden until show(); false when the scene could not be built, with
    // the reasons in errors().
    bool load();
    void show();
    // Shows the window and asks the window manager to bring it to the front.
    void bringToFront();

    QQuickWindow* window() const { return window_; }
    QQmlApplicationEngine& engine() { return engine_; }
    // What went wrong building the window, and the QML warnings since (the first hundred).
    const QStringList& errors() const { return errors_; }

private:
    BridgeController& controller_;
    // The lists the scene shows; made before the engine so that they outlive it.
    PairingRequestModel pairingRequests_;
    TrustedDeviceModel trustedDevices_;
    ActivityLogModel activityLog_;
    PhonePairingPanel phonePairing_;
    QQmlApplicationEngine engine_;
    QPointer<QQuickWindow> window_;
    QStringList errors_;
    bool frameless_;
    QPointer<QObject> approvalSettings_;
};

} // namespace tarnwick
