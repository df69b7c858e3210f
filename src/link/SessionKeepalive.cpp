#include "link/SessionKeepalive.h"

namespace tarnwick {

SessionKeepalive::SessionKeepalive(std::chrono::milliseconds pingInterval,
                                   std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), timeout_(timeout) {
    pingTimer_.setInterval(pingInterval);
    deadline_.setSingleShot(true);
    connect(&pingTimer_, &QTimer::timeout, this, &SessionKeepalive::pingDue);
    connect(&deadline_, &QTimer::timeout, this, &SessionKeepalive::checkDeadline);
}

void SessionKeepalive::start() {
    lastHeard_.start();
    pingTimer_.start();
    deadline_.start(timeout_);
}

void SessionKeepalive::stop() {
    pingTimer_.stop();
    deadline_.stop();
}

// The deadline timer is not moved on every arrival (that would cost a timer change per
// block); it fires at the earliest possible expiry and looks how long the peer has been quiet.
void SessionKeepalive::checkDeadline() {
    const auto quiet = std::chrono::milliseconds(lastHeard_.elapsed());
    if (quiet >= timeout_) {
        stop();
        emit expired();
        return;
    }
    deadline_.start(timeout_ - quiet);
}

} // namespace tarnwick
