#include "ui/BridgeWindow.h"

#include "bridge/BridgeController.h"
#include "ui/UiLog.h"

#include <QGuiApplication>

namespace tarnwick {

BridgeWindow::BridgeWindow(BridgeController& controller, QObject* parent)
    : QObject(parent), controller_(controller), pairingRequests_(controller),
      trustedDevices_(controller), activityLog_(controller, shownLogLines),
      phonePairing_(controller),
      frameless_(platformSuitsFrameless(QGuiApplication::platformName())) {
    engine_.addImportPath(QStringLiteral("qrc:/"));
    // Written to the window's log category instead of straight to standard error, and kept
    // for the caller (and the tests) to see; a window that runs for days keeps the first.
    engine_.setOutputWarningsToStandardError(false);
    connect(&engine_, &QQmlApplicationEngine::warnings, this, [this](const auto& warnings) {
        for (const auto& warning : warnings) {
            qCWarning(uiLog).noquote() << warning.toString();
            if (errors_.size() < maxKeptErrors) {
                errors_.append(warning.toString());
            }
        }
    });
}

bool BridgeWindow::load() {
    engine_.setInitialProperties({
        {QStringLiteral("controller"), QVariant::fromValue(&controller_)},
        {QStringLiteral("pairingRequests"), QVariant::fromValue(&pairingRequests_)},
        {QStringLiteral("trustedDevices"), QVariant::fromValue(&trustedDevices_)},
        {QStringLiteral("activityLog"), QVariant::fromValue(&activityLog_)},
        {QStringLiteral("phonePairing"), QVariant::fromValue(&phonePairing_)},
        {QStringLiteral("frameless"), frameless_},
        {QStringLiteral("approvalSettings"), QVariant::fromValue(approvalSettings_.data())},
    });
    engine_.load(QUrl(QStringLiteral("qrc:/TarnwickBridge/Main.qml")));
    const auto roots = engine_.rootObjects();
    window_ = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.first());
    if (!window_) {
        if (errors_.isEmpty()) {
            errors_.append(QStringLiteral("The window could not be built."));
        }
        return false;
    }
    // The bridge starts when the content is first on screen, and only then: the controller
    // itself ignores any later start.
    connect(window_, &QQuickWindow::frameSwapped, &controller_, &BridgeController::start,
            static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
    return true;
}

bool BridgeWindow::platformSuitsFrameless(const QString& platformName) {
    return platformName == u"xcb" || platformName.startsWith(u"wayland");
}

void BridgeWindow::show() {
    if (window_) {
        window_->show();
    }
}

void BridgeWindow::bringToFront() {
    if (!window_) {
        return;
    }
    if (window_->visibility() == QWindow::Minimized) {
        window_->showNormal();
    } else {
        window_->show();
    }
    window_->raise();
    window_->requestActivate();
}

} // namespace tarnwick
