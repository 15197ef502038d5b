// The log hook, the level filter and the default hook's line format.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/logging.h"
#include "kelvo/log.h"

namespace {

std::mutex eventsMutex;
std::vector<std::string> events;  // "<level> <topic> <value>"

void Record(kelvo_log_level_t level, const char* topic, const char* value, void* context) {
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.push_back(std::to_string(level) + " " + topic + " " + value + (context ? " *" : ""));
}

// Each test starts without a hook at the initial level and leaves it so.
class Logging : public ::testing::Test {
protected:
    void SetUp() override { events.clear(); }
    void TearDown() override {
        kelvo_log_set_log_function(nullptr, nullptr);
        kelvo_log_set_log_level(KELVO_LOG_LEVEL_INFO);
    }
};

// Standard error while `body` runs.
std::string CapturedStderr(const std::function<void()>& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

void ReentrantHook(kelvo_log_level_t level, const char* topic, const char* value, void* context) {
    Record(level, topic, value, context);
    if (std::string(topic) == "outer") {
        // Logging, changing the level and replacing the hook from inside a hook must not dead-lock.
        kelvo_log_event(KELVO_LOG_LEVEL_INFO, "inner", value);
        kelvo_log_set_log_level(KELVO_LOG_LEVEL_INFO);
        kelvo_log_set_log_function(Record, context);
    }
}

void ThrowingHook(kelvo_log_level_t, const char*, const char*, void*) { throw std::runtime_error("hook failed"); }

TEST_F(Logging, HooksMayLogAndReplaceThemselvesAndThrowingOnesAreContained) {
    kelvo_log_set_log_function(ReentrantHook, nullptr);
    kelvo_log_event(KELVO_LOG_LEVEL_INFO, "outer", "v");
    kelvo_log_event(KELVO_LOG_LEVEL_INFO, "after", "v");
    EXPECT_EQ(events, (std::vector<std::string>{"1 outer v", "1 inner v", "1 after v"}));
    kelvo_log_set_log_function(ThrowingHook, nullptr);
    kelvo_log_event(KELVO_LOG_LEVEL_ERROR, "thrown", "v");
}

TEST_F(Logging, TheDefaultHookPrintsOneLinePerEvent) {
    const std::pair<int, const char*> cases[] = {{KELVO_LOG_LEVEL_TRACE, "[Trace]"},
                                                 {KELVO_LOG_LEVEL_ERROR, "[Error]"},
                                                 {KELVO_LOG_LEVEL_FATAL, "[Fatal]"},
                                                 {7, ""}};
    for (const auto& [level, name] : cases) {
        const auto log = [level = level] {
            kelvo_default_log_function(static_cast<kelvo_log_level_t>(level), "topic", "value", nullptr);
        };
        EXPECT_EQ(CapturedStderr(log), std::string(name) + " topic\tvalue\n");
    }
}

TEST_F(Logging, ConcurrentLinesOfTheDefaultHookNeverInterleave) {
    kelvo_log_set_log_function(kelvo_default_log_function, nullptr);
    const std::string value(3000, 'v');
    const std::string text = CapturedStderr([&] {
        std::vector<std::thread> threads;
        for (const char* topic : {"t0", "t1", "t2", "t3"})
            threads.emplace_back([&value, topic] {
                for (int i = 0; i < 200; ++i)
                    kelvo_log_event(KELVO_LOG_LEVEL_WARNING, topic, value.c_str());
            });
        for (std::thread& thread : threads)
            thread.join();
    });
    size_t lines = 0;
    for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1, ++lines)
        ASSERT_EQ(text.substr(begin, end - begin).replace(11, 1, "x"), "[Warning] tx\t" + value) << lines;
    EXPECT_EQ(lines, 800u);
    EXPECT_EQ(text.size(), 800u * 3014) << "nothing but whole lines";
}

}  // namespace
