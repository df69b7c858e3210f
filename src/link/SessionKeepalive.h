#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

namespace tarnwick {

// Keeps watch over one session: asks for a ping every `pingInterval` and reports the peer lost
// when it has not been heard from for `timeout`. What counts as heard is the owner's call: the
// host counts only pongs to its own pings, so that a peer which sends but never reads is lost.
class SessionKeepalive : public QObject {
    Q_OBJECT
public:
    SessionKeepalive(std::chrono::milliseconds pingInterval, std::chrono::milliseconds timeout,
                     QObject* parent = nullptr);

    // Starts watching; the peer counts as heard just now.
    void start();
    void stop();
    // The peer showed it is there.
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
