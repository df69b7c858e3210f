#include "platform/BufferPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

using tarnwick::BufferPool;

TEST(BufferPool, HandsOutAtMostItsBuffersAndReusesThem) {
    BufferPool pool(2);
    auto first = pool.acquire();
    auto second = pool.acquire();
    ASSERT_TRUE(first && second);
    first->assign(4096, 'x');
    const char* storage = first->data();

    std::atomic<bool> gotThird{false};
    std::optional<std::string> third;
    std::thread taker([&] {
        third = pool.acquire();
        gotThird = true;
    });
    // The taker cannot have a buffer before one comes back.
    EXPECT_FALSE(gotThird.load());
    pool.release(std::move(*first));
    taker.join();
    ASSERT_TRUE(third.has_value());
    EXPECT_TRUE(third->empty());
    EXPECT_EQ(third->data(), storage) << "the returned buffer, with its capacity";
}

TEST(BufferPool, CancelReleasesAWaitingTakerAndEveryLaterOne) {
    BufferPool pool(1);
    auto only = pool.acquire();
    ASSERT_TRUE(only);
    std::optional<std::string> waited = std::string("unset");
    std::thread taker([&] { waited = pool.acquire(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pool.cancel();
    taker.join();
    EXPECT_FALSE(waited.has_value());
    pool.release(std::move(*only));
    EXPECT_FALSE(pool.acquire().has_value());
}
