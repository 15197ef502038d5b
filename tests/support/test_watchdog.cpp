// The test watchdog (see test_watchdog.h): a gtest listener arms a deadline
// at each test's start; a thread of its own prints every thread's stack
// through gdb when the deadline passes, then aborts.
#include "support/test_watchdog.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace kelvotest {

namespace {

using Clock = std::chrono::steady_clock;

// Attaches gdb to this process for the stacks of all threads, for 30 s at most.
void PrintAllStacks() {
    const std::string pid = std::to_string(getpid());
    const char* argv[] = {"gdb", "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt", nullptr};
    // A kernel that lets only ancestors trace would refuse the child.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    for (int i = 0; child > 0 && i < 300 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        std::fprintf(stderr, "watchdog: no gdb on the path, no stacks\n");
}

// Never freed: the watching thread outlives the listener, which gtest
// deletes at exit.
struct WatchState {
    std::chrono::seconds limit{60};
    std::mutex mutex;
    std::condition_variable changed;
    std::string name;
    Clock::time_point deadline = Clock::time_point::max();
    bool started = false;

    void Set(Clock::time_point to) {
        std::lock_guard<std::mutex> lock(mutex);
        deadline = to;
        changed.notify_all();
    }

    [[noreturn]] void Watch() {
        std::unique_lock<std::mutex> lock(mutex);
        while (deadline == Clock::time_point::max() || Clock::now() < deadline)
            changed.wait_until(lock,
                               deadline == Clock::time_point::max() ? Clock::now() + std::chrono::hours(1) : deadline);
        std::fprintf(stderr, "watchdog: %s ran past its time limit; the stacks of all threads:\n", name.c_str());
        std::fflush(stderr);
        PrintAllStacks();
        std::fprintf(stderr, "watchdog: aborting %s\n", name.c_str());
        std::abort();
    }
};

WatchState* const gState = new WatchState;

class Watchdog : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        {
            std::lock_guard<std::mutex> lock(gState->mutex);
            gState->name = std::string(test.test_suite_name()) + "." + test.name();
            if (!gState->started) {
                gState->started = true;
                const char* seconds = std::getenv("KELVO_TEST_WATCHDOG_SECONDS");
                if (seconds != nullptr && std::atol(seconds) > 0)
                    gState->limit = std::chrono::seconds(std::atol(seconds));
                std::thread([] { gState->Watch(); }).detach();
            }
        }
        gState->Set(Clock::now() + gState->limit);
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
