#pragma once

// Helpers for tests of code that runs on the Qt main queue. The test program needs a
// QCoreApplication on its main thread (tarnwick_add_test with QT gives it one).

#include "platform/MainQueue.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace tarnwick::testing {

// Generous, because the tests run under sanitizers on a loaded machine; a wait only lasts this
// long when something is wrong.
inline constexpr std::chrono::milliseconds defaultWait{60000};

// Runs the event loop of the calling (main) thread until `predicate` holds or the time is up.
// Returns whether it holds.
inline bool waitUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds timeout = defaultWait) {
    QElapsedTimer clock;
    clock.start();
    while (!predicate()) {
        if (clock.elapsed() >= timeout.count()) {
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Runs every task that was posted to the main queue before this call (and whatever those post
// in front of the marker this posts).
inline bool flushMainQueue(std::chrono::milliseconds timeout = defaultWait) {
    auto done = std::make_shared<bool>(false);
    postToMain([done] { *done = true; });
    return waitUntil([done] { return *done; }, timeout);
}

} // namespace tarnwick::testing
