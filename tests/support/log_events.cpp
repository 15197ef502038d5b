#include "support/log_events.h"

namespace kelvotest {

LogEvents::LogEvents() {
    kelvo_log_set_log_function(&LogEvents::Hook, this);
    m_level = kelvo_log_set_log_level(KELVO_LOG_LEVEL_TRACE);
}

LogEvents::~LogEvents() {
    kelvo_log_set_log_function(nullptr, nullptr);
    kelvo_log_set_log_level(m_level);
}

std::vector<std::string> LogEvents::Values(const std::string& topic) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> values;
    for (const auto& [t, v] : m_events) {
        if (t == topic)
            values.push_back(v);
    }
    return values;
}

void LogEvents::Hook(kelvo_log_level_t, const char* topic, const char* value, void* context) {
    auto* self = static_cast<LogEvents*>(context);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_events.emplace_back(topic, value);
}

}  // namespace kelvotest
