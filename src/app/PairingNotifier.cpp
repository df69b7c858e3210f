#include "app/PairingNotifier.h"

#include "app/AppLog.h"
#include "ui/DisplayText.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QVariantMap>

#include <algorithm>

namespace tarnwick {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
// Notifications this bridge keeps track of; older ones can still be clicked but are forgotten.
constexpr std::size_t maxTracked = 64;

} // namespace

PairingNotifier::PairingNotifier(QDBusConnection bus, bool offersWindow, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), offersWindow_(offersWindow) {
    if (!bus_.isConnected()) {
        return;
    }
    bus_.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                 SLOT(handleAction(uint, QString)));
    bus_.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                 SLOT(handleClosed(uint, uint)));
}

QDBusConnection PairingNotifier::sessionBusIfAny() {
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!address.isEmpty() ||
        (!runtime.isEmpty() && QFileInfo(QString::fromLocal8Bit(runtime + "/bus")).exists())) {
        return QDBusConnection::sessionBus();
    }
    return QDBusConnection(QStringLiteral("tarnwick-no-session-bus"));
}

QString PairingNotifier::shownName(const QString& displayName) {
    // Already cut, spelled out and marked by the rule of every screen: a second cut here could
    // drop the look-alike marker.
    return visibleText(displayName);
}

void PairingNotifier::notify(int number, const QString& displayName, const QString& code) {
    if (!bus_.isConnected()) {
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    const QString body =
        offersWindow_
            ? QStringLiteral("Code %1. Compare it with the code on the device, then pair in "
                             "Tarnwick Bridge.")
                  .arg(code)
            : QStringLiteral("Code %1. Compare it with the code on the device, then run "
                             "\"tarnwick-bridge pair %2\".")
                  .arg(code)
                  .arg(number);
    QStringList actions;
    if (offersWindow_) {
        actions << QStringLiteral("default") << QStringLiteral("Show Tarnwick Bridge");
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("tarnwick-bridge"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(2));
    // The summary is plain text by the notification protocol, where the device's name belongs;
    // the body, which servers may read as markup, holds none of the device's words.
    call << QStringLiteral("Tarnwick Bridge") << uint(0) << QStringLiteral("tarnwick-bridge")
         << QStringLiteral("Pairing request from %1").arg(shownName(displayName)) << body << actions
         << hints << int(-1);
    // Asynchronous: a slow or missing server never holds up the bridge.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, number](QDBusPendingCallWatcher* finished) {
                QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (reply.isError()) {
                    qCDebug(appLog) << "No notification shown:" << reply.error().message();
                    return;
                }
                if (shown_.size() >= maxTracked) {
                    shown_.erase(shown_.begin());
                }
                shown_[number] = reply.value();
            });
}

void PairingNotifier::withdraw(int number) {
    const auto found = shown_.find(number);
    if (found == shown_.end()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call << found->second;
    bus_.asyncCall(call);
    shown_.erase(found);
}

bool PairingNotifier::isOurs(uint id) const {
    return std::any_of(shown_.begin(), shown_.end(),
                       [id](const auto& entry) { return entry.second == id; });
}

void PairingNotifier::handleAction(uint id, const QString& action) {
    if (isOurs(id) && action == u"default" && offersWindow_) {
        qCInfo(appLog) << "A pairing notification was clicked; the window comes forward.";
        emit activated();
    }
}

void PairingNotifier::handleClosed(uint id, uint /*reason*/) {
    std::erase_if(shown_, [id](const auto& entry) { return entry.second == id; });
}

} // namespace tarnwick
