// Records the library's log events while it lives, at every level, for tests
// that check what a load reports. One at a time: it owns the process's hook.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/log.h"

namespace kelvotest {

class LogEvents {
public:
    LogEvents();
    ~LogEvents();
    LogEvents(const LogEvents&) = delete;
    LogEvents& operator=(const LogEvents&) = delete;

    // The values logged under `topic`, in order.
    std::vector<std::string> Values(const std::string& topic) const;

private:
    static void Hook(kelvo_log_level_t level, const char* topic, const char* value, void* context);

    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_events;
    kelvo_log_level_t m_level;
};

}  // namespace kelvotest
