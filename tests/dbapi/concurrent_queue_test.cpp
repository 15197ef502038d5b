// The bounded queue between a rowset's prefetch thread and its caller.
#include "infra/concurrent_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using kelvoapi::ConcurrentQueue;

TEST(ConcurrentQueueTest, RefusesSizesThatAreNotPowersOfTwoAboveOne) {
    struct Case {
        size_t size;
        const char* message;
    };
    const Case cases[] = {
        {0, "size must be greater than 1 and a power of 2"},
        {1, "size must be greater than 1 and a power of 2"},
        {3, "size must be greater than 1 and a power of 2"},
        {96, "size must be greater than 1 and a power of 2"},
        {size_t{1} << 61, "size too large"},
    };
    for (const Case& c : cases) {
        try {
            ConcurrentQueue<int> queue(c.size);
            ADD_FAILURE() << "size " << c.size << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(c.message, e.what()) << "size " << c.size;
        }
    }
}

TEST(ConcurrentQueueTest, KeepsOneSlotFreeAndHandsOutInOrder) {
    std::atomic<bool> cancel{false};
    ConcurrentQueue<std::unique_ptr<int>> queue(4, [&] { return cancel.load(); });
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.Push(std::make_unique<int>(i)));
    }
    // Full at three elements: a fourth push waits until the cancel.
    cancel = true;
    auto fourth = std::make_unique<int>(3);
    EXPECT_FALSE(queue.Push(std::move(fourth)));
    ASSERT_NE(nullptr, fourth) << "a refused item stays with the caller";
    std::unique_ptr<int> out;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.TryPop(out));
        EXPECT_EQ(i, *out);
    }
    EXPECT_FALSE(queue.TryPop(out));
    // Cancelled, an empty queue stores nothing either.
    EXPECT_FALSE(queue.Push(std::make_unique<int>(4)));
    EXPECT_FALSE(queue.TryPop(out));
}

TEST(ConcurrentQueueTest, SizeTwoHoldsOneElementAndAPushWaitsForThePop) {
    ConcurrentQueue<int> queue(2);
    ASSERT_TRUE(queue.Push(1));
    std::atomic<bool> secondStored{false};
    std::thread producer([&] {
        queue.Push(2);
        secondStored = true;
    });
    int out = 0;
    ASSERT_TRUE(queue.Pop(out));
    EXPECT_EQ(1, out);
    ASSERT_TRUE(queue.Pop(out));
    EXPECT_EQ(2, out);
    producer.join();
    EXPECT_TRUE(secondStored);
}

TEST(ConcurrentQueueTest, ACancelEndsAWaitingPop) {
    std::atomic<bool> cancel{false};
    ConcurrentQueue<int> queue(8, [&] { return cancel.load(); });
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        cancel = true;
    });
    int out = 0;
    EXPECT_FALSE(queue.Pop(out));
    canceller.join();
}

// One producer and one consumer through a small queue: every element arrives
// once and in order, across many wraps of the slot array.
TEST(ConcurrentQueueTest, AProducerAndAConsumerLoseNothing) {
    constexpr int count = 20000;
    ConcurrentQueue<std::unique_ptr<int>> queue(4);
    std::thread producer([&] {
        for (int i = 0; i < count; ++i) {
            queue.Push(std::make_unique<int>(i));
        }
        queue.Push(nullptr);
    });
    std::vector<int> seen;
    std::unique_ptr<int> out;
    while (queue.Pop(out) && out) {
        seen.push_back(*out);
    }
    producer.join();
    ASSERT_EQ(static_cast<size_t>(count), seen.size());
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(i, seen[i]);
    }
}

}  // namespace
