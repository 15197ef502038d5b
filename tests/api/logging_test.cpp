// The log hook, the level filter and the default hook's line format.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/logging.h"
#include "kelvo/log.h"

namespace {

struct Event {
    int level;
    std::string topic;
    std::string value;
    void* context;
    bool operator==(const Event& o) const {
        return level == o.level && topic == o.topic && value == o.value && context == o.context;
    }
};

std::mutex eventsMutex;
std::vector<Event> events;

void Record(kelvo_log_level_t level, const char* topic, const char* value, void* context) {
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.push_back({level, topic, value, context});
}

void OtherHook(kelvo_log_level_t, const char*, const char*, void*) {}

// Each test starts without a hook at the initial level and leaves it so.
class Logging : public ::testing::Test {
protected:
    void SetUp() override { events.clear(); }
    void TearDown() override {
        kelvo_log_set_log_function(nullptr, nullptr);
        kelvo_log_set_log_level(KELVO_LOG_LEVEL_INFO);
    }
};

// Standard error redirected into a temporary file for the object's lifetime.
class CapturedStderr {
public:
    CapturedStderr() : m_file(std::tmpfile()), m_saved(dup(STDERR_FILENO)) {
        dup2(fileno(m_file), STDERR_FILENO);
    }
    ~CapturedStderr() {
        Restore();
        std::fclose(m_file);
    }
    std::string Text() {
        Restore();
        std::string text;
        std::rewind(m_file);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) text.append(buffer, n);
        return text;
    }

private:
    void Restore() {
        if (m_saved < 0) return;
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    FILE* m_file;
    int m_saved;
};

TEST_F(Logging, TheLevelFiltersEventsBelowIt) {
    kelvo_log_set_log_function(Record, this);
    struct Case {
        int minimum;
        std::vector<bool> delivered;  // for TRACE, INFO, WARNING, ERROR, FATAL
    };
    const Case cases[] = {
        {KELVO_LOG_LEVEL_INFO, {false, true, true, true, true}},
        {KELVO_LOG_LEVEL_ERROR, {false, false, false, true, true}},
        {7, {false, false, false, false, false}},
        {-3, {true, true, true, true, true}},
    };
    int previous = KELVO_LOG_LEVEL_INFO;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.minimum);
        EXPECT_EQ(kelvo_log_set_log_level(static_cast<kelvo_log_level_t>(c.minimum)), previous);
        previous = c.minimum;
        events.clear();
        std::vector<Event> expected;
        for (int level = KELVO_LOG_LEVEL_TRACE; level <= KELVO_LOG_LEVEL_FATAL; ++level) {
            const std::string topic = "topic-" + std::to_string(level);
            kelvo_log_event(static_cast<kelvo_log_level_t>(level), topic.c_str(), "{\"a\":1}");
            if (c.delivered[static_cast<size_t>(level)]) expected.push_back({level, topic, "{\"a\":1}", this});
            EXPECT_EQ(kelvoapi::IsLogLevelEnabled(static_cast<kelvo_log_level_t>(level)),
                      c.delivered[static_cast<size_t>(level)]);
        }
        EXPECT_EQ(events, expected);
    }
}

TEST_F(Logging, SettingTheHookReturnsThePreviousOneAndNullStopsDelivery) {
    EXPECT_EQ(kelvo_log_set_log_function(Record, nullptr), nullptr);
    EXPECT_EQ(kelvo_log_set_log_function(OtherHook, nullptr), Record);
    int context = 0;
    EXPECT_EQ(kelvo_log_set_log_function(Record, &context), OtherHook);
    kelvoapi::Log(KELVO_LOG_LEVEL_WARNING, "inserter-error", std::string("text"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{KELVO_LOG_LEVEL_WARNING, "inserter-error", "text", &context}));
    EXPECT_EQ(kelvo_log_set_log_function(nullptr, nullptr), Record);
    kelvo_log_event(KELVO_LOG_LEVEL_FATAL, "dropped", "x");
    EXPECT_EQ(events.size(), 1u);
    EXPECT_FALSE(kelvoapi::IsLogLevelEnabled(KELVO_LOG_LEVEL_FATAL));
}

void ReentrantHook(kelvo_log_level_t level, const char* topic, const char* value, void* context) {
    Record(level, topic, value, context);
    if (std::string(topic) == "outer") {
        // Logging, changing the level and replacing the hook from inside a
        // hook must not dead-lock.
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
    std::vector<std::string> topics;
    for (const Event& e : events) topics.push_back(e.topic);
    EXPECT_EQ(topics, (std::vector<std::string>{"outer", "inner", "after"}));

    kelvo_log_set_log_function(ThrowingHook, nullptr);
    kelvo_log_event(KELVO_LOG_LEVEL_ERROR, "thrown", "v");
}

TEST_F(Logging, TheDefaultHookPrintsOneLinePerEvent) {
    struct Case {
        int level;
        const char* line;
    };
    const Case cases[] = {
        {KELVO_LOG_LEVEL_TRACE, "[Trace] topic\tvalue\n"},
        {KELVO_LOG_LEVEL_ERROR, "[Error] topic\tvalue\n"},
        {KELVO_LOG_LEVEL_FATAL, "[Fatal] topic\tvalue\n"},
        {7, " topic\tvalue\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        CapturedStderr captured;
        kelvo_default_log_function(static_cast<kelvo_log_level_t>(c.level), "topic", "value", nullptr);
        EXPECT_EQ(captured.Text(), c.line);
    }

    kelvo_log_set_log_function(kelvo_default_log_function, nullptr);
    CapturedStderr captured;
    kelvo_log_event(KELVO_LOG_LEVEL_TRACE, "dropped", "{}");
    kelvo_log_event(KELVO_LOG_LEVEL_INFO, "connection-parameters", "{\"user\":\"u\"}");
    EXPECT_EQ(captured.Text(), "[Info] connection-parameters\t{\"user\":\"u\"}\n");
}

TEST_F(Logging, ConcurrentLinesOfTheDefaultHookNeverInterleave) {
    kelvo_log_set_log_function(kelvo_default_log_function, nullptr);
    const std::string value(3000, 'v');
    constexpr int kThreads = 4;
    constexpr int kEvents = 200;
    CapturedStderr captured;
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                const std::string topic = "thread-" + std::to_string(t);
                for (int i = 0; i < kEvents; ++i) kelvo_log_event(KELVO_LOG_LEVEL_WARNING, topic.c_str(), value.c_str());
            });
        for (std::thread& thread : threads) thread.join();
    }
    const std::string text = captured.Text();
    size_t lines = 0;
    for (size_t begin = 0; begin < text.size(); ++lines) {
        const size_t end = text.find('\n', begin);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(begin, end - begin);
        ASSERT_EQ(line.rfind("[Warning] thread-", 0), 0u) << line.substr(0, 40);
        ASSERT_EQ(line.size(), std::string("[Warning] thread-0\t").size() + value.size());
        EXPECT_EQ(line.substr(line.size() - value.size()), value);
        begin = end + 1;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kEvents));
}

}  // namespace
