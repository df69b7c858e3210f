#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <set>

namespace tarnwick {

// Tells the desktop that a device asks to pair, through the session's notification server
// (org.freedesktop.Notifications): the device's name and the code to compare. Clicking the
// notification asks for the window; nothing is decided from a notification. Without a session
// bus, or without a notification server on it, nothing is shown and nothing else changes.
class PairingNotifier : public QObject {
    Q_OBJECT

public:
    // `offersWindow`: whether clicking brings a window forward (otherwise the notification
    // points at the control command).
    PairingNotifier(QDBusConnection bus, bool offersWindow, QObject* parent = nullptr);

    // The session bus when this session has one: DBUS_SESSION_BUS_ADDRESS, or the bus socket
    // in the runtime directory. Otherwise a connection that is not connected; the bus is
    // never started on the bridge's behalf.
    static QDBusConnection sessionBusIfAny();

    // The device name as a notification shows it. `displayName` is the name as the bridge
    // shows it everywhere (BridgeController::shownName: at most 63 bytes of the name, hidden
    // characters spelled out, the look-alike marker), which stays whole; control and layout
    // characters are made visible.
    static QString shownName(const QString& displayName);

public slots:
    void notify(int number, const QString& displayName, const QString& code);
    // Takes back the notification of a request that no longer waits, so that no old code
    // stays on screen.
    void withdraw(int number);
    // "Codex is waiting for your approval", with what it is about (already made visible and
    // bounded); withdrawn when the question no longer waits.
    void notifyWaiting(const QString& questionID, const QString& what);
    void withdrawWaiting(const QString& questionID);

signals:
    // The user clicked one of this bridge's notifications.
    void activated();

private slots:
    void handleAction(uint id, const QString& action);
    void handleClosed(uint id, uint reason);

private:
    bool isOurs(uint id) const;
    // Sends one notification; `shown` gets the server's id for it.
    void send(const QString& summary, const QString& body, std::function<void(uint)> shown);
    void close(uint id);

    QDBusConnection bus_;
    bool offersWindow_;
    // The server's notification id for each request number shown.
    std::map<int, uint> shown_;
    // The same for each approval question shown; an id arrives after its question may have
    // stopped waiting, which `withdrawnEarly` remembers.
    std::map<QString, uint> waiting_;
    std::set<QString> withdrawnEarly_;
};

} // namespace tarnwick
