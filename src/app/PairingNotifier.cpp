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
    const QString body =
        offersWindow_
            ? QStringLiteral("Code %1. Compare it with the code on the device, then pair in "
                             "Tarnwick Bridge.")
                  .arg(code)
            : QStringLiteral("Code %1. Compare it with the code on the device, then run "
                             "\"tarnwick-bridge pair %2\".")
                  .arg(code)
                  .arg(number);
    // The summary is plain text by the notification protocol, where the device's name belongs;
    // the body, which servers may read as markup, holds none of the device's words.
    send(QStringLiteral("Pairing request from %1").arg(shownName(displayName)), body,
         [this, number](uint id) {
             if (shown_.size() >= maxTracked) {
                 shown_.erase(shown_.begin());
             }
             shown_[number] = id;
         });
}

void PairingNotifier::send(const QString& summary, const QString& body,
                           std::function<void(uint)> shown) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    QStringList actions;
    if (offersWindow_) {
        actions << QStringLiteral("default") << QStringLiteral("Show Tarnwick Bridge");
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("tarnwick-bridge"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(2));
    call << QStringLiteral("Tarnwick Bridge") << uint(0) << QStringLiteral("tarnwick-bridge")
         << summary << body << actions << hints << int(-1);
    // Asynchronous: a slow or missing server never holds up the bridge.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [shown = std::move(shown)](QDBusPendingCallWatcher* finished) {
                QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (reply.isError()) {
                    qCDebug(appLog) << "No notification shown:" << reply.error().message();
                    return;
                }
                shown(reply.value());
            });
}

void PairingNotifier::close(uint id) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call << id;
    bus_.asyncCall(call);
}

void PairingNotifier::withdraw(int number) {
    const auto found = shown_.find(number);
    if (found == shown_.end()) {
        return;
    }
    close(found->second);
    shown_.erase(found);
}

void PairingNotifier::notifyWaiting(const QString& questionID, const QString& what) {
    if (!bus_.isConnected()) {
        return;
    }
    withdrawnEarly_.erase(questionID);
    // Codex's words are escaped: the body may be read as markup.
    send(QStringLiteral("Codex is waiting for your approval"), what.toHtmlEscaped(),
         [this, questionID](uint id) {
             if (withdrawnEarly_.erase(questionID) > 0) {
                 close(id);
                 return;
             }
             if (waiting_.size() >= maxTracked) {
                 waiting_.erase(waiting_.begin());
             }
             waiting_[questionID] = id;
         });
}

void PairingNotifier::withdrawWaiting(const QString& questionID) {
    const auto found = waiting_.find(questionID);
    if (found == waiting_.end()) {
        if (bus_.isConnected() && withdrawnEarly_.size() < maxTracked) {
            withdrawnEarly_.insert(questionID);
        }
        return;
    }
    close(found->second);
    waiting_.erase(found);
}

bool PairingNotifier::isOurs(uint id) const {
    const auto hasID = [id](const auto& entry) { return entry.second == id; };
    return std::any_of(shown_.begin(), shown_.end(), hasID) ||
           std::any_of(waiting_.begin(), waiting_.end(), hasID);
}

void PairingNotifier::handleAction(uint id, const QString& action) {
    if (isOurs(id) && action == u"default" && offersWindow_) {
        qCInfo(appLog) << "A pairing notification was clicked; the window comes forward.";
        emit activated();
    }
}

void PairingNotifier::handleClosed(uint id, uint /*reason*/) {
    std::erase_if(shown_, [id](const auto& entry) { return entry.second == id; });
    std::erase_if(waiting_, [id](const auto& entry) { return entry.second == id; });
}

} // namespace tarnwick
