#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using tarnwick::SerialQueue;

TEST(SerialQueue, RunsTasksOneAtATimeInOrderOnOneOtherThread) {
    std::vector<int> order;
    std::set<std::thread::id> threads;
    std::atomic<int> running{0};
    bool overlapped = false;
    {
        SerialQueue queue("org.tarnwick.test.serial");
        for (int i = 0; i < 1000; ++i) {
            queue.submit([&, i] {
                overlapped = overlapped || running.fetch_add(1) != 0;
                order.push_back(i);
                threads.insert(std::this_thread::get_id());
                running.fetch_sub(1);
            });
        }
    }
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(order[i], i);
    }
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(SerialQueue, SubmissionsFromManyThreadsAndFromTasksAllRunBeforeDestructionEnds) {
    std::atomic<int> ran{0};
    bool sawCurrent = false;
    {
        SerialQueue queue("org.tarnwick.test.serial");
        EXPECT_FALSE(queue.isCurrent());
        std::vector<std::thread> senders;
        for (int t = 0; t < 4; ++t) {
            senders.emplace_back([&] {
                for (int i = 0; i < 250; ++i) {
                    queue.submit([&] { ++ran; });
                }
            });
        }
        for (auto& sender : senders) {
            sender.join();
        }
        queue.submit([&] {
            sawCurrent = queue.isCurrent();
            queue.submit([&] { ++ran; });
        });
    }
    EXPECT_EQ(ran.load(), 1001);
    EXPECT_TRUE(sawCurrent);
}
