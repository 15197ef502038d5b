// The test watchdog (see test_watchdog.h): a gtest listener arms a deadline at each test's start; a thread of its own
// prints every thread's stack through gdb when the deadline passes, then aborts.
#include "support/test_watchdog.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace kelvotest {

namespace {

using Clock = std::chrono::steady_clock;

// Never freed: the watching thread outlives the listener, which gtest deletes at exit.
struct WatchState {
    std::mutex mutex;
    std::condition_variable changed;
    std::string name;
    Clock::time_point deadline = Clock::time_point::max();

    void Set(Clock::time_point to) {
        std::lock_guard<std::mutex> lock(mutex);
        deadline = to;
        changed.notify_all();
    }

    [[noreturn]] void Watch() {
        std::unique_lock<std::mutex> lock(mutex);
        while (Clock::now() < deadline)
            changed.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::hours(1)));
        std::fprintf(stderr, "watchdog: %s ran past its time limit; the stacks of all threads:\n", name.c_str());
        std::fflush(stderr);
        // A kernel that lets only ancestors trace would refuse gdb, our child.
        prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        const std::string gdb = "timeout 30 gdb -batch -nx -p " + std::to_string(getpid()) +
                                " -ex 'thread apply all bt' 1>&2 || echo 'watchdog: no stacks (gdb)' 1>&2";
        (void)!std::system(gdb.c_str());
        std::abort();
    }
};

WatchState* const gState = new WatchState;

std::chrono::seconds Limit() {
    const char* seconds = std::getenv("KELVO_TEST_WATCHDOG_SECONDS");
    return std::chrono::seconds(seconds != nullptr && std::atol(seconds) > 0 ? std::atol(seconds) : 60);
}

class Watchdog : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        static const bool started = (std::thread([] { gState->Watch(); }).detach(), true);
        (void)started;
        {
            std::lock_guard<std::mutex> lock(gState->mutex);
            gState->name = std::string(test.test_suite_name()) + "." + test.name();
        }
        gState->Set(Clock::now() + Limit());
    }
    void OnTestEnd(const ::testing::TestInfo&) override { gState->Set(Clock::time_point::max()); }
};

[[maybe_unused]] const bool gRegistered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace

void AllowTestTime(std::chrono::seconds limit) { gState->Set(Clock::now() + limit); }

}  // namespace kelvotest
