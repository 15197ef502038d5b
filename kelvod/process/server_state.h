// What every session of one server shares: the engine, the attachments, the
// main database's path, the settings from the command line and the cancel keys.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "duckdb.h"
#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_paths.h"
#include "kelvod/loading/external_stream.h"

namespace kelvod {

class Session;

// A database path as given, read against `directory` (--database-directory) when relative.
std::string ResolveDatabasePath(const std::string& path, const std::string& directory);

// What all sessions together may hold of messages not yet received whole.
constexpr uint64_t kMaxPendingInput = 256u << 20;

class ServerState {
public:
    // `paths` may be null (unit tests): the engine then opens database files as they are named.
    explicit ServerState(duckdb_database engine, std::string mainDatabase, std::string databaseDirectory,
                         uint64_t maxPendingInput = kMaxPendingInput, EnginePaths* paths = nullptr)
        : m_engine(engine),
          m_paths(paths),
          m_attachments(engine, [paths](const std::string& p) { return paths ? paths->ForEngine(p) : p; }),
          m_mainDatabase(std::move(mainDatabase)),
          m_databaseDirectory(std::move(databaseDirectory)),
          m_maxPendingInput(maxPendingInput) {}

    duckdb_database Engine() const { return m_engine; }
    AttachmentRegistry& Attachments() { return m_attachments; }
    StreamRegistry& Streams() { return m_streams; }
    const std::string& MainDatabase() const { return m_mainDatabase; }
    // Relative database paths are read against --database-directory when one was given.
    std::string ResolvePath(const std::string& path) const { return ResolveDatabasePath(path, m_databaseDirectory); }
    // The path under which the engine opens a resolved database path (EnginePaths::ForEngine): 42501 where it may not.
    std::string EnginePath(const std::string& resolved) { return m_paths ? m_paths->ForEngine(resolved) : resolved; }

    // Cancel keys: a CancelRequest finds its session here.
    void Register(int32_t pid, int32_t key, Session* session);
    void Unregister(int32_t pid);
    void Cancel(int32_t pid, int32_t key);
    int32_t NextSessionId() { return ++m_lastSessionId; }
    // Moves a session's share of pending input from `from` to `to` bytes; false
    // (and nothing moved) when growing it would pass the bound for all sessions.
    bool ChangePendingInput(uint64_t from, uint64_t to);

private:
    duckdb_database m_engine;
    EnginePaths* m_paths;
    AttachmentRegistry m_attachments;
    StreamRegistry m_streams;
    std::string m_mainDatabase;
    std::string m_databaseDirectory;
    std::mutex m_sessionsMutex;
    std::map<int32_t, std::pair<int32_t, Session*>> m_sessions;
    std::atomic<int32_t> m_lastSessionId{0};
    const uint64_t m_maxPendingInput;
    std::atomic<uint64_t> m_pendingInput{0};
};

}  // namespace kelvod
