#include "platform/BufferPool.h"

#include <utility>

namespace tarnwick {

std::optional<std::string> BufferPool::acquire() {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [this] { return cancelled_ || available_ > 0; });
    if (cancelled_) {
        return std::nullopt;
    }
    --available_;
    if (spare_.empty()) {
        return std::string();
    }
    std::string buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

void BufferPool::release(std::string buffer) {
    buffer.clear();
    {
        std::lock_guard lock(mutex_);
        ++available_;
        spare_.push_back(std::move(buffer));
    }
    released_.notify_one();
}

void BufferPool::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    released_.notify_all();
}

} // namespace tarnwick
