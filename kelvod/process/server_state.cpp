// Shared server state: paths and cancel keys.
#include "kelvod/process/server_state.h"

#include <filesystem>

#include "kelvod/protocol/session.h"

namespace kelvod {

std::string ResolveDatabasePath(const std::string& path, const std::string& directory) {
    std::filesystem::path p(path);
    if (p.is_relative() && !directory.empty())
        p = std::filesystem::path(directory) / p;
    // Absolute, so that a path resolved once reads the same when resolved again
    // (a relative --database-directory would otherwise be prefixed twice).
    std::error_code ec;
    if (p.is_relative())
        p = std::filesystem::absolute(p, ec);
    // Symbolic links are followed: the engine compares paths as text, and one
    // file must be one database whatever the spelling.
    std::filesystem::path resolved = std::filesystem::weakly_canonical(p, ec);
    return (ec ? p : resolved).lexically_normal().string();
}

bool ServerState::ChangePendingInput(uint64_t from, uint64_t to) {
    if (to <= from) {
        m_pendingInput -= from - to;
        return true;
    }
    uint64_t current = m_pendingInput.load();
    do {
        if (current + (to - from) > m_maxPendingInput)
            return false;
    } while (!m_pendingInput.compare_exchange_weak(current, current + (to - from)));
    return true;
}

void ServerState::Register(int32_t pid, int32_t key, Session* session) {
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    m_sessions[pid] = {key, session};
}

void ServerState::Unregister(int32_t pid) {
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    m_sessions.erase(pid);
}

void ServerState::Cancel(int32_t pid, int32_t key) {
    // The lock keeps the session alive while it is told: it unregisters before it goes.
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    auto it = m_sessions.find(pid);
    if (it != m_sessions.end() && it->second.first == key)
        it->second.second->Cancel();
}

}  // namespace kelvod
