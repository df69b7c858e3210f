#pragma once

#include "platform/MainQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tarnwick {

// Carries items from worker threads to a handler on the main thread, which gets them in the
// order they were sent. Items travel in batches: one posted main-queue event runs every item
// that is waiting (up to a limit per turn, so other events are not starved), and a sender is
// held back while `capacity` items wait behind the batch being run, so memory stays bounded
// (about twice the capacity) when the main thread falls behind. A handler that runs a nested
// event loop still sees the items in order.
template <typename Item>
class MainThreadOutbox : public std::enable_shared_from_this<MainThreadOutbox<Item>> {
public:
    using Handler = std::function<void(Item& item)>;

    // `drained`, if given, runs on the main thread whenever the outbox has been emptied.
    static std::shared_ptr<MainThreadOutbox> create(std::size_t capacity, Handler handler,
                                                    std::function<void()> drained = {}) {
        return std::make_shared<MainThreadOutbox>(capacity, std::move(handler), std::move(drained));
    }

    // Use create; the outbox must be owned by a shared_ptr.
    MainThreadOutbox(std::size_t capacity, Handler handler, std::function<void()> drained = {})
        : capacity_(capacity > 0 ? capacity : 1), handler_(std::move(handler)),
          drained_(std::move(drained)) {}
    MainThreadOutbox(const MainThreadOutbox&) = delete;
    MainThreadOutbox& operator=(const MainThreadOutbox&) = delete;

    // Queues one item.
    void send(Item item) {
        std::vector<Item> one;
        one.push_back(std::move(item));
        send(one);
    }

    // Queues every item of `items`, in order, and leaves `items` empty. Waits while the outbox
    // is full, except on the main thread itself and once the outbox is closed. Items sent after
    // close are dropped.
    void send(std::vector<Item>& items) {
        if (items.empty()) {
            return;
        }
        {
            std::unique_lock lock(mutex_);
            if (incoming_.size() >= capacity_ && !onMainThread()) {
                ++waitingSenders_;
                roomMade_.wait(lock, [this] { return closed_ || incoming_.size() < capacity_; });
                --waitingSenders_;
            }
            if (!closed_) {
                incoming_.insert(incoming_.end(), std::make_move_iterator(items.begin()),
                                 std::make_move_iterator(items.end()));
            }
        }
        items.clear();
        postDrain();
    }

    // Drops the waiting items and every later one, and releases senders that wait.
    void close() {
        std::vector<Item> dropped;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            dropped.swap(incoming_);
        }
        closedFlag_.store(true);
        roomMade_.notify_all();
    }

private:
    // At most this many items are handled in one main-queue turn.
    static constexpr std::size_t batchLimit = 4096;

    void postDrain() {
        if (!drainQueued_.exchange(true)) {
            postToMain([self = this->shared_from_this()] { self->drain(); });
        }
    }

    // Main thread.
    void drain() {
        // This event has left the main queue; a sender that comes now posts a new one.
        drainQueued_.store(false);
        for (std::size_t budget = batchLimit; budget > 0; --budget) {
            if (closedFlag_.load()) {
                ready_.clear();
                next_ = 0;
                return;
            }
            if (next_ == ready_.size()) {
                // The two vectors trade places, so after the first batches no item needs an
                // allocation of its own.
                ready_.clear();
                next_ = 0;
                std::unique_lock lock(mutex_);
                if (incoming_.empty()) {
                    lock.unlock();
                    if (drained_) {
                        drained_();
                    }
                    return;
                }
                ready_.swap(incoming_);
                if (waitingSenders_ > 0) {
                    roomMade_.notify_all();
                }
            }
            Item item = std::move(ready_[next_++]);
            // While items remain, keep a drain queued: it goes on after this turn, or inside a
            // nested event loop that the handler may run.
            if (next_ < ready_.size() && !drainQueued_.load(std::memory_order_relaxed)) {
                postDrain();
            }
            handler_(item);
        }
        postDrain();
    }

    const std::size_t capacity_;
    const Handler handler_;
    const std::function<void()> drained_;

    std::mutex mutex_;
    std::condition_variable roomMade_;
    std::vector<Item> incoming_;
    bool closed_ = false;
    std::size_t waitingSenders_ = 0;

    std::atomic<bool> drainQueued_{false};
    std::atomic<bool> closedFlag_{false};
    // Main thread only: the batch being handled, and the index of its next item.
    std::vector<Item> ready_;
    std::size_t next_ = 0;
};

} // namespace tarnwick
