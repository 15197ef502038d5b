// The log functions of the C interface and the default hook that prints to
// standard error.
#include "api/logging.h"

#include <unistd.h>

#include <cerrno>

namespace kelvoapi {

kelvo_log_function_hooks log_function_hook{nullptr, nullptr};
int log_level = KELVO_LOG_LEVEL_INFO;
std::mutex loggerMutex;

void Log(kelvo_log_level_t level, const char* topic, const char* value) noexcept {
    kelvo_log_event(level, topic, value);
}

void Log(kelvo_log_level_t level, const char* topic, const std::string& value) noexcept {
    kelvo_log_event(level, topic, value.c_str());
}

bool IsLogLevelEnabled(kelvo_log_level_t level) noexcept {
    std::lock_guard<std::mutex> lock(loggerMutex);
    return static_cast<int>(level) >= log_level && log_function_hook.log_function != nullptr;
}

namespace {

// Separate from loggerMutex: it serialises whole lines of the default hook,
// which runs outside loggerMutex.
std::mutex defaultLogFunctionMutex;

const char* LevelLabel(int level) noexcept {
    switch (level) {
        case KELVO_LOG_LEVEL_TRACE:
            return "[Trace]";
        case KELVO_LOG_LEVEL_INFO:
            return "[Info]";
        case KELVO_LOG_LEVEL_WARNING:
            return "[Warning]";
        case KELVO_LOG_LEVEL_ERROR:
            return "[Error]";
        case KELVO_LOG_LEVEL_FATAL:
            return "[Fatal]";
        default:
            return "";
    }
}

// One write for the whole line; the loop only finishes a write that a signal
// or a full pipe cut short.
void WriteAll(int fd, const char* data, size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

}  // namespace

}  // namespace kelvoapi

using kelvoapi::loggerMutex;

kelvo_log_function_t kelvo_log_set_log_function(kelvo_log_function_t log_function, void* context) {
    std::lock_guard<std::mutex> lock(loggerMutex);
    const kelvo_log_function_t previous = kelvoapi::log_function_hook.log_function;
    kelvoapi::log_function_hook = {log_function, context};
    return previous;
}

kelvo_log_level_t kelvo_log_set_log_level(kelvo_log_level_t level) {
    std::lock_guard<std::mutex> lock(loggerMutex);
    const int previous = kelvoapi::log_level;
    kelvoapi::log_level = static_cast<int>(level);
    return static_cast<kelvo_log_level_t>(previous);
}

void kelvo_log_event(kelvo_log_level_t level, const char* topic, const char* value) {
    kelvoapi::kelvo_log_function_hooks hook;
    {
        std::lock_guard<std::mutex> lock(loggerMutex);
        if (static_cast<int>(level) < kelvoapi::log_level)
            return;
        hook = kelvoapi::log_function_hook;
    }
    if (!hook.log_function)
        return;
    // The hook runs outside the lock so that it may log or replace itself.
    // A hook that throws anyway must not unwind into C callers.
    try {
        hook.log_function(level, topic, value, hook.context);
    } catch (...) {
    }
}

void kelvo_default_log_function(kelvo_log_level_t level, const char* topic, const char* value, void*) {
    try {
        std::lock_guard<std::mutex> lock(kelvoapi::defaultLogFunctionMutex);
        std::string line = kelvoapi::LevelLabel(static_cast<int>(level));
        line += ' ';
        line += topic ? topic : "";
        line += '\t';
        line += value ? value : "";
        line += '\n';
        kelvoapi::WriteAll(STDERR_FILENO, line.data(), line.size());
    } catch (...) {
        // Without memory for the line the event is dropped; logging never fails its caller.
    }
}
