#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// A fixed number of byte buffers that one thread fills and another empties. Taking a buffer
// waits while all of them are out, which holds the filling side back to the pace of the
// emptying side and bounds the memory in between; a returned buffer keeps its capacity, so a
// steady stream needs no allocation per buffer. Waiting can be cancelled for good.
class BufferPool {
public:
    explicit BufferPool(std::size_t buffers) : available_(buffers) {}

    // An empty buffer, once one is free. Nothing once the pool is cancelled.
    std::optional<std::string> acquire();
    // Gives a buffer back (emptied; its capacity is kept).
    void release(std::string buffer);
    // Releases every waiting and later acquire with nothing.
    void cancel();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::size_t available_;
    std::vector<std::string> spare_;
    bool cancelled_ = false;
};

} // namespace tarnwick
