#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tarnwick {

// Runs submitted tasks one at a time, in submission order, on one worker thread of its own
// (never the main thread). Destruction runs the tasks already submitted, then joins the worker;
// it must not happen on the worker itself.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Safe from any thread, the worker included.
    void submit(std::function<void()> task);

    // Whether the calling thread is this queue's worker.
    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

    const std::string& label() const { return label_; }

    // How long an idle worker looks for a new task before it sleeps.
    static constexpr std::chrono::microseconds spinBeforeSleeping{100};

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::atomic<std::size_t> queued_{0}; // tasks_.size(), for the spin to read without the lock
    std::thread worker_;
};

} // namespace tarnwick
