// The process-wide log hook and level behind the log functions of the C
// interface, and the entry point through which the library's own parts emit
// their events.
#pragma once

#include <mutex>
#include <string>

#include "kelvo/log.h"

namespace kelvoapi {

struct kelvo_log_function_hooks {
    kelvo_log_function_t log_function;
    void* context;
};

// All three are constant-initialised, so logging works during static
// initialisation and destruction of other objects. The level is kept as the
// caller's integer: levels are set and compared without a range check.
extern kelvo_log_function_hooks log_function_hook;
extern int log_level;
// Guards log_function_hook and log_level; never held while a hook runs.
extern std::mutex loggerMutex;

// Emits one event through kelvo_log_event. Never throws.
void Log(kelvo_log_level_t level, const char* topic, const char* value) noexcept;
void Log(kelvo_log_level_t level, const char* topic, const std::string& value) noexcept;

// Whether an event of this level would reach a hook; lets a caller skip
// building an expensive value text.
bool IsLogLevelEnabled(kelvo_log_level_t level) noexcept;

}  // namespace kelvoapi
