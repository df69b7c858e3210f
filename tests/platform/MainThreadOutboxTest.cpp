#include "platform/MainThreadOutbox.h"

#include "platform/MainQueue.h"
#include "support/QtTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using tarnwick::onMainThread;
using tarnwick::testing::waitUntil;

namespace {

using Task = std::function<void()>;
using TaskOutbox = tarnwick::MainThreadOutbox<Task>;

std::shared_ptr<TaskOutbox> makeOutbox(std::size_t capacity) {
    return TaskOutbox::create(capacity, [](Task& task) { task(); });
}

} // namespace

TEST(MainThreadOutbox, RunsEveryTaskOnTheMainThreadInTheOrderSent) {
    auto outbox = makeOutbox(64);
    std::vector<int> order;
    bool allOnMain = true;
    const int count = 20000;
    std::thread sender([&] {
        // One at a time and in batches of various sizes.
        std::vector<Task> batch;
        for (int i = 0; i < count; ++i) {
            Task task = [&, i] {
                allOnMain = allOnMain && onMainThread();
                order.push_back(i);
            };
            if (i % 3 == 0) {
                outbox->send(batch);
                outbox->send(std::move(task));
                continue;
            }
            batch.push_back(std::move(task));
            if (batch.size() == static_cast<std::size_t>(i % 7 + 1)) {
                outbox->send(batch);
                EXPECT_TRUE(batch.empty());
            }
        }
        outbox->send(batch);
    });
    ASSERT_TRUE(waitUntil([&] { return order.size() == static_cast<std::size_t>(count); }));
    sender.join();
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(order[i], i);
    }
    EXPECT_TRUE(allOnMain);
}

TEST(MainThreadOutbox, HoldsTheSenderBackWhileTheOutboxIsFull) {
    const std::size_t capacity = 8;
    auto outbox = makeOutbox(capacity);
    std::atomic<long> sent{0};
    long ran = 0;
    long mostAhead = 0;
    std::thread sender([&] {
        for (int i = 0; i < 2000; ++i) {
            outbox->send([&] {
                ++ran;
                mostAhead = std::max(mostAhead, sent.load() - ran);
            });
            ++sent;
        }
    });
    ASSERT_TRUE(waitUntil([&] { return ran == 2000; }));
    sender.join();
    // At most a full outbox waits behind the batch being run, which came from a full outbox.
    EXPECT_LE(mostAhead, 2 * static_cast<long>(capacity) + 1);
}

TEST(MainThreadOutbox, CloseDropsWaitingTasksAndReleasesABlockedSender) {
    auto outbox = makeOutbox(4);
    std::atomic<int> sent{0};
    int ran = 0;
    std::thread sender([&] {
        for (int i = 0; i < 10; ++i) {
            outbox->send([&] { ++ran; });
            ++sent;
        }
    });
    // The main thread runs no events here, so the sender stops at the capacity.
    while (sent.load() < 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    outbox->close();
    sender.join();
    EXPECT_EQ(sent.load(), 10);
    ASSERT_TRUE(tarnwick::testing::flushMainQueue());
    EXPECT_EQ(ran, 0);
}

TEST(MainThreadOutbox, ATaskThatRunsTheEventLoopKeepsTheOrder) {
    auto outbox = makeOutbox(1000);
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) {
        outbox->send([&, i] {
            order.push_back(i);
            if (i == 10) {
                // A nested event loop runs later tasks first; they still come in order.
                waitUntil([&] { return order.size() >= 50; });
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(order[i], i);
    }
}
