#pragma once

#include "platform/MainQueue.h"

#include <algorithm>
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
// (about twice the capacity) when the main thread falls behind. The capacity counts items and,
// when the items can be weighed (their bytes, say), their total weight as well: large items
// then hold the sender back sooner. A handler that runs a nested event loop still sees the
// items in order.
template <typename Item>
class MainThreadOutbox : public std::enable_shared_from_this<MainThreadOutbox<Item>> {
public:
    using Handler = std::function<void(Item& item)>;

    struct Capacity {
        std::size_t items = 1;
        // The weight that may wait besides the batch being run; one item heavier than this
        // still goes through, alone.
        std::size_t weight = static_cast<std::size_t>(-1);
        std::function<std::size_t(const Item& item)> weigh;
    };

    // `drained`, if given, runs on the main thread whenever the outbox has been emptied.
    static std::shared_ptr<MainThreadOutbox> create(std::size_t capacity, Handler handler,
                                                    std::function<void()> drained = {}) {
        return std::make_shared<MainThreadOutbox>(
            Capacity{capacity, static_cast<std::size_t>(-1), {}}, std::move(handler),
            std::move(drained));
    }
    static std::shared_ptr<MainThreadOutbox> create(Capacity capacity, Handler handler,
                                                    std::function<void()> drained = {}) {
        return std::make_shared<MainThreadOutbox>(std::move(capacity), std::move(handler),
                                                  std::move(drained));
    }

    // Use create; the outbox must be owned by a shared_ptr.
    MainThreadOutbox(Capacity capacity, Handler handler, std::function<void()> drained = {})
        : capacity_(std::move(capacity)), handler_(std::move(handler)),
          drained_(std::move(drained)) {
        capacity_.items = std::max<std::size_t>(capacity_.items, 1);
    }
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
        std::size_t weight = 0;
        if (capacity_.weigh) {
            for (const Item& item : items) {
                weight += capacity_.weigh(item);
            }
        }
        {
            std::unique_lock lock(mutex_);
            if (!hasRoom() && !onMainThread()) {
                ++waitingSenders_;
                roomMade_.wait(lock, [this] { return closed_ || hasRoom(); });
                --waitingSenders_;
            }
            if (!closed_) {
                incoming_.insert(incoming_.end(), std::make_move_iterator(items.begin()),
                                 std::make_move_iterator(items.end()));
                incomingWeight_ += weight;
            }
        }
        items.clear();
        postDrain();
    }

    // Main thread: while held, no item is handled; they wait, and senders wait once the outbox
    // is full. Handling goes on, in order, when the hold ends.
    void setHeld(bool held) {
        held_ = held;
        if (!held) {
            postDrain();
        }
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

    // Under mutex_.
    bool hasRoom() const {
        return incoming_.size() < capacity_.items &&
               (incoming_.empty() || incomingWeight_ < capacity_.weight);
    }

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
            if (held_) {
                return; // setHeld(false) posts the next drain
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
                incomingWeight_ = 0;
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

    Capacity capacity_;
    const Handler handler_;
    const std::function<void()> drained_;

    std::mutex mutex_;
    std::condition_variable roomMade_;
    std::vector<Item> incoming_;
    std::size_t incomingWeight_ = 0;
    bool closed_ = false;
    std::size_t waitingSenders_ = 0;

    std::atomic<bool> drainQueued_{false};
    std::atomic<bool> closedFlag_{false};
    // Main thread only: the batch being handled, and the index of its next item.
    std::vector<Item> ready_;
    std::size_t next_ = 0;
    bool held_ = false;
};

} // namespace tarnwick
