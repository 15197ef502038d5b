// The process-wide client lock: replaceable, and the default one excludes and
// reports misuse instead of aborting the process.
#include "postgres/libpq/thread_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void countingLock(int) {}

TEST(ThreadLock, ReplaceableRestorableAndReportsMisuseWithoutAborting) {
    EXPECT_EQ(PQregisterThreadLock(countingLock), default_threadlock);
    EXPECT_EQ(pg_g_threadlock, countingLock);
    EXPECT_EQ(PQregisterThreadLock(nullptr), countingLock);
    EXPECT_EQ(pg_g_threadlock, default_threadlock);

    default_threadlock(1);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        default_threadlock(1);
        entered = true;
        default_threadlock(0);
    });
    EXPECT_FALSE(entered);
    default_threadlock(0);
    other.join();
    EXPECT_TRUE(entered);

    testing::internal::CaptureStderr();
    default_threadlock(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "failed to unlock mutex\n");
}

}  // namespace
