#include "platform/SerialQueue.h"

#include <pthread.h>

#include <chrono>
#include <utility>

namespace tarnwick {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
    // Thread names are limited to 15 bytes; the tail of a reverse-DNS label says the most.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void SerialQueue::submit(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        queued_.store(tasks_.size(), std::memory_order_release);
    }
    wake_.notify_one();
}

void SerialQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // A task often brings the next one soon after (a request to the app-server, then its
        // answer from the pipe reader): a short spin before sleeping saves the wake-up, which on
        // a busy machine is what makes round trips slow at the tail.
        if (tasks_.empty() && !stopping_) {
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + spinBeforeSleeping;
            while (queued_.load(std::memory_order_acquire) == 0 &&
                   std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            lock.lock();
        }
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return;
        }
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        queued_.store(tasks_.size(), std::memory_order_release);
        lock.unlock();
        task();
        // The task's captures are released before the lock is taken again.
        task = nullptr;
        lock.lock();
    }
}

} // namespace tarnwick
