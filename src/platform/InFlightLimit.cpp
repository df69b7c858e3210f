#include "platform/InFlightLimit.h"

namespace tarnwick {

bool InFlightLimit::acquire(std::size_t amount) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return cancelled_ || outstanding_ < limit_; });
    if (cancelled_) {
        return false;
    }
    outstanding_ += amount;
    return true;
}

void InFlightLimit::release(std::size_t amount) {
    {
        std::lock_guard lock(mutex_);
        outstanding_ -= amount < outstanding_ ? amount : outstanding_;
    }
    changed_.notify_all();
}

void InFlightLimit::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
}

} // namespace tarnwick
