#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

namespace tarnwick {

// Keeps watch over one session: asks for a ping every `pingInterval` and reports the peer lost
// when nothing at all has been heard from it for `timeout`.
class SessionKeepalive : public QObject {
    Q_OBJECT
public:
    SessionKeepalive(std::chrono::milliseconds pingInterval, std::chrono::milliseconds timeout,
                     QObject* parent = nullptr);

    // Starts watching; the peer counts as heard just now.
    void start();
    void stop();
    // Something arrived from the peer.
    void heard() { lastHeard_.start(); }

signals:
    void pingDue();
    void expired();

private:
    void checkDeadline();

    std::chrono::milliseconds timeout_;
    QTimer pingTimer_;
    QTimer deadline_;
    QElapsedTimer lastHeard_;
};

} // namespace tarnwick
