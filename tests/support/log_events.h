// Records the library's log events while it lives, at every level, for tests that check what a load reports. One at a
// time: it owns the process's hook.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/log.h"

namespace kelvotest {

class LogEvents {
public:
    LogEvents() : m_level(kelvo_log_set_log_level(KELVO_LOG_LEVEL_TRACE)) { kelvo_log_set_log_function(&Hook, this); }
    ~LogEvents() {
        kelvo_log_set_log_function(nullptr, nullptr);
        kelvo_log_set_log_level(m_level);
    }
    LogEvents(const LogEvents&) = delete;
    LogEvents& operator=(const LogEvents&) = delete;

    // The values logged under `topic`, in order.
    std::vector<std::string> Values(const std::string& topic) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> values;
        for (const auto& [t, v] : m_events)
            if (t == topic)
                values.push_back(v);
        return values;
    }

private:
    static void Hook(kelvo_log_level_t, const char* topic, const char* value, void* context) {
        auto* self = static_cast<LogEvents*>(context);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_events.emplace_back(topic, value);
    }

    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_events;
    kelvo_log_level_t m_level;
};

}  // namespace kelvotest
