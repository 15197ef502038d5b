// The process-wide client lock: replaceable, and the default one reports
// misuse instead of aborting the process.
#include "postgres/libpq/thread_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

int g_calls = 0;
void countingLock(int) { ++g_calls; }

TEST(ThreadLock, ReplaceableRestorableAndReportsMisuseWithoutAborting) {
    EXPECT_EQ(pg_g_threadlock, default_threadlock);
    EXPECT_EQ(PQregisterThreadLock(countingLock), default_threadlock);
    pg_g_threadlock(1);
    pg_g_threadlock(0);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(PQregisterThreadLock(nullptr), countingLock);
    EXPECT_EQ(pg_g_threadlock, default_threadlock);

    // The default lock excludes, and reports misuse without aborting.
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

    // An unlock without a lock is reported; the process goes on.
    testing::internal::CaptureStderr();
    default_threadlock(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "failed to unlock mutex\n");
}

}  // namespace
