// The bounded queue between a producer thread and its consumer.
#include "infra/concurrent_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using kelvoapi::ConcurrentQueue;

TEST(ConcurrentQueueTest, RefusesSizesThatAreNotPowersOfTwoAboveOne) {
    const std::pair<size_t, const char*> cases[] = {
        {0, "size must be greater than 1 and a power of 2"},
        {1, "size must be greater than 1 and a power of 2"},
        {96, "size must be greater than 1 and a power of 2"},
        {size_t{1} << 61, "size too large"},
    };
    for (const auto& [size, message] : cases) {
        try {
            ConcurrentQueue<int> queue(size);
            ADD_FAILURE() << "size " << size << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(message, e.what()) << "size " << size;
        }
    }
}

TEST(ConcurrentQueueTest, KeepsOneSlotFreeAndACancelEndsWaits) {
    std::atomic<bool> cancel{false};
    ConcurrentQueue<std::unique_ptr<int>> queue(4, [&] { return cancel.load(); });
    const auto cancelSoon = [&] {
        cancel = false;
        return std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            cancel = true;
        });
    };
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(queue.Push(std::make_unique<int>(i)));
    // Full at three elements: a fourth push waits until the cancel.
    std::thread canceller = cancelSoon();
    auto fourth = std::make_unique<int>(3);
    EXPECT_FALSE(queue.Push(std::move(fourth)));
    canceller.join();
    ASSERT_NE(nullptr, fourth) << "a refused item stays with the caller";
    std::unique_ptr<int> out;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.TryPop(out));
        EXPECT_EQ(i, *out);
    }
    EXPECT_FALSE(queue.TryPop(out));
    // Empty: a pop waits until the cancel.
    canceller = cancelSoon();
    EXPECT_FALSE(queue.Pop(out));
    canceller.join();
    // Cancelled, the queue stores nothing and a pop does not wait.
    EXPECT_FALSE(queue.Push(std::make_unique<int>(4)));
    EXPECT_FALSE(queue.Pop(out));
}

// One producer and one consumer: every element arrives once and in order,
// across many wraps of the slot array, with each side waiting for the other;
// also when the producer pushes quietly and wakes the consumer once per
// batch (a missed wake would cost the 100 ms recheck, thousands of times).
TEST(ConcurrentQueueTest, AProducerAndAConsumerLoseNothing) {
    constexpr int count = 20000;
    for (const size_t size : {size_t{2}, size_t{4}, size_t{64}}) {
        for (const bool quiet : {false, true}) {
            ConcurrentQueue<std::unique_ptr<int>> queue(size);
            const auto start = std::chrono::steady_clock::now();
            std::thread producer([&] {
                for (int i = 0; i < count; ++i) {
                    if (!quiet) {
                        queue.Push(std::make_unique<int>(i));
                        continue;
                    }
                    queue.PushQuietly(std::make_unique<int>(i));
                    if (i % 7 == 6)
                        queue.WakeConsumer();
                }
                queue.Push(nullptr);
            });
            int next = 0, misplaced = 0;
            std::unique_ptr<int> out;
            while (queue.Pop(out) && out)
                misplaced += *out != next++;
            producer.join();
            EXPECT_EQ(count, next) << "size " << size << (quiet ? " quiet" : "");
            EXPECT_EQ(0, misplaced) << "size " << size;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        }
    }
}

}  // namespace
