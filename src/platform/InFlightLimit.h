#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace tarnwick {

// Counts the amount of work handed from one thread to another and not yet done, and holds the
// sender back while too much is outstanding. Waiting can be cancelled for good.
class InFlightLimit {
public:
    explicit InFlightLimit(std::size_t limit) : limit_(limit) {}

    // Waits while the outstanding amount has reached the limit, then adds `amount` (which may
    // exceed the limit on its own). Returns false, adding nothing, once cancelled.
    bool acquire(std::size_t amount);
    // Marks `amount` as done.
    void release(std::size_t amount);
    // Releases every waiting and later acquire with false.
    void cancel();

private:
    const std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t outstanding_ = 0;
    bool cancelled_ = false;
};

} // namespace tarnwick
