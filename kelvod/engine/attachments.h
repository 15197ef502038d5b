// The engine's attached databases are process-wide, but sessions attach and
// detach their own aliases. This registry counts, per alias, the sessions that
// use it, attaches a file on first use and detaches it when the last one goes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "duckdb.h"

namespace kelvod {

// How long an ATTACH waits for the engine to close a file that another
// session detached while a third one's transaction still held it.
constexpr std::chrono::milliseconds kFileReleaseWait{10000};

class AttachmentRegistry {
public:
    // `engine` lends fresh connections for detaching an invalidated database: a
    // connection whose transaction has touched it cannot let go of it.
    // `enginePath` gives the path under which the engine opens a database file.
    explicit AttachmentRegistry(duckdb_database engine = nullptr,
                                std::function<std::string(const std::string&)> enginePath = {})
        : m_engine(engine), m_enginePath(std::move(enginePath)) {}

    // Attaches `path` under `alias` for one session, through that session's engine
    // connection. Throws SqlError when the alias names another file, the file is
    // missing, or the engine refuses. Returns the alias as the engine knows it
    // (the spelling of the session that attached it first).
    std::string Acquire(duckdb_connection connection, const std::string& alias, const std::string& path);
    // Gives back one session's use; the last user detaches the file.
    void Release(duckdb_connection connection, const std::string& alias);
    // The engine invalidates a database whose checkpoint failed (a full disk); it
    // serves again once detached and attached anew, which this does.
    void Reattach(duckdb_connection connection, const std::string& alias);
    bool IsPathAttached(const std::string& path) const;
    // Whether some session has attached a database under this alias.
    bool IsAlias(const std::string& alias) const;

private:
    std::string AcquireOnce(duckdb_connection connection, const std::string& alias, const std::string& path);
    struct Entry {
        std::string path;
        std::string alias;
        int users = 0;
    };
    // Detaches through a fresh connection when there is an engine to lend one.
    void DetachFresh(duckdb_connection fallback, const std::string& alias);
    std::string AttachStatement(const std::string& path, const std::string& alias) const;
    duckdb_database m_engine;
    std::function<std::string(const std::string&)> m_enginePath;
    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;  // by alias, case-folded as the engine compares
};

// The alias of the database that an engine error says is invalidated, or "".
std::string InvalidatedDatabase(const std::string& error);

// Whether `path` is a regular file that begins as the engine's database files do.
bool IsDatabaseFile(const std::string& path);

// Names the engine keeps for itself; no database may be attached under them.
bool IsReservedAlias(const std::string& alias);

// Rolls back the connection's transaction; none being open is no failure.
// Throws EngineError when the engine could not roll back.
void RollbackEngine(duckdb_connection connection);

// Rolls back whatever transaction the connection is in, if any: a session that
// has opened no block must never find its statements refused as in a failed one.
// False when a transaction remains that the engine could not roll back.
bool EndStrayTransaction(duckdb_connection connection);

// Runs one statement on the engine; throws EngineError.
void RunEngine(duckdb_connection connection, const std::string& sql);

}  // namespace kelvod
