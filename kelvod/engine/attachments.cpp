// Reference-counted attachments of database files.
#include "kelvod/engine/attachments.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

namespace {
std::string Fold(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
}  // namespace

bool IsDatabaseFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    std::ifstream in(path, std::ios::binary);
    char header[12] = {};
    in.read(header, sizeof header);
    return in.gcount() == sizeof header && std::memcmp(header + 8, "DUCK", 4) == 0;
}

bool IsReservedAlias(const std::string& alias) {
    std::string key = Fold(alias);
    // The server names its own databases kelvod_... (each session's in-memory one, those being created).
    return key.empty() || key == "memory" || key == "system" || key == "temp" || key == "main" ||
           key.rfind("kelvod_", 0) == 0;
}

void RunEngine(duckdb_connection connection, const std::string& sql) {
    ResultHandle result;
    if (duckdb_query(connection, sql.c_str(), result.Out()) == DuckDBError)
        throw ResultError(result.Get());
}

void RollbackEngine(duckdb_connection connection) {
    try {
        RunEngine(connection, "ROLLBACK");
    } catch (const EngineError& e) {
        if (!NoTransactionWasActive(e))
            throw;
    }
}

bool EndStrayTransaction(duckdb_connection connection) {
    try {
        RollbackEngine(connection);
        return true;
    } catch (const SqlError&) {
        return false;
    }
}

namespace {

bool EngineHas(duckdb_connection connection, const std::string& alias) {
    ResultHandle result;
    std::string sql = "SELECT 1 FROM duckdb_databases() WHERE database_name = " + QuoteLiteral(alias);
    if (duckdb_query(connection, sql.c_str(), result.Out()) == DuckDBError)
        return true;  // unknown: assume it is there
    return duckdb_row_count(&result.Get()) > 0;
}

}  // namespace

std::string InvalidatedDatabase(const std::string& error) {
    if (error.find("has been invalidated") == std::string::npos)
        return "";
    size_t at = error.find("atabase \"");
    if (at == std::string::npos)
        return "";
    at += 9;
    size_t end = error.find('"', at);
    return end == std::string::npos ? "" : error.substr(at, end - at);
}

std::string AttachmentRegistry::Acquire(duckdb_connection connection, const std::string& alias,
                                        const std::string& path) {
    // A detached file stays open in the engine until the last transaction that
    // touched it ends, and any session's catalog query touches every attached
    // database: a new ATTACH of the file waits for that, within a bound.
    const auto deadline = std::chrono::steady_clock::now() + kFileReleaseWait;
    for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
        try {
            return AcquireOnce(connection, alias, path);
        } catch (const EngineError& e) {
            if (e.type != DUCKDB_ERROR_BINDER ||
                std::string_view(e.what()).find("Unique file handle conflict") == std::string_view::npos)
                throw;
            if (std::chrono::steady_clock::now() + pause > deadline) {
                throw SqlError("55006",
                               "The database \"" + path + "\" is still held by a transaction of another session.",
                               "Try again once that transaction has ended.");
            }
        }
        std::this_thread::sleep_for(pause);
    }
}

std::string AttachmentRegistry::AcquireOnce(duckdb_connection connection, const std::string& alias,
                                            const std::string& path) {
    std::string key = Fold(alias);
    if (IsReservedAlias(alias))
        throw SqlError("42710", "The alias \"" + alias + "\" is reserved; choose another alias.");
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        if (it->second.path != path) {
            throw SqlError(
                "42710", "The alias \"" + alias + "\" is already in use for the database \"" + it->second.path + "\".",
                "Attach \"" + path + "\" under another alias.");
        }
        // A detach that failed half-way may have left the entry behind the engine's back.
        if (!EngineHas(connection, it->second.alias))
            RunEngine(connection, AttachStatement(path, it->second.alias));
        ++it->second.users;
        return it->second.alias;
    }
    for (const auto& [other, entry] : m_entries) {
        if (entry.path == path) {
            throw SqlError("42710",
                           "The database \"" + path + "\" is already attached under the alias \"" + other + "\".",
                           "Attach it under that alias.");
        }
    }
    // A missing file and one that is not a database read alike, so that ATTACH
    // tells nothing of the other files of the host.
    if (!IsDatabaseFile(path)) {
        throw SqlError("3D000", "The database \"" + path + "\" does not exist.",
                       "Create it with CREATE DATABASE first.");
    }
    RunEngine(connection, AttachStatement(path, alias));
    m_entries[key] = Entry{path, alias, 1};
    return alias;
}

std::string AttachmentRegistry::AttachStatement(const std::string& path, const std::string& alias) const {
    return "ATTACH " + QuoteLiteral(m_enginePath ? m_enginePath(path) : path) + " AS " + QuoteIdentifier(alias);
}

void AttachmentRegistry::Release(duckdb_connection connection, const std::string& alias) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(Fold(alias));
    if (it == m_entries.end())
        return;
    if (--it->second.users > 0)
        return;
    // The entry goes only once the engine has let go of the file; an entry left
    // with no users still describes what the engine holds, and can be shared again.
    try {
        RunEngine(connection, "DETACH " + QuoteIdentifier(it->second.alias));
    } catch (const SqlError& e) {
        try {
            if (!InvalidatedDatabase(e.what()).empty())
                DetachFresh(connection, it->second.alias);
        } catch (const SqlError&) {
        }
        // The engine may detach and then fail its checkpoint (a full disk): the entry
        // must follow what the engine holds, or the alias would name nothing.
        if (!EngineHas(connection, it->second.alias))
            m_entries.erase(it);
        throw;
    }
    m_entries.erase(it);
}

void AttachmentRegistry::DetachFresh(duckdb_connection fallback, const std::string& alias) {
    ConnectionHandle fresh;
    if (!m_engine || duckdb_connect(m_engine, fresh.Out()) == DuckDBError) {
        RunEngine(fallback, "DETACH " + QuoteIdentifier(alias));
        return;
    }
    RunEngine(fresh.Get(), "DETACH " + QuoteIdentifier(alias));
}

void AttachmentRegistry::Reattach(duckdb_connection connection, const std::string& alias) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(Fold(alias));
    if (it == m_entries.end())
        return;
    if (EngineHas(connection, it->second.alias))
        DetachFresh(connection, it->second.alias);
    RunEngine(connection, AttachStatement(it->second.path, it->second.alias));
}

bool AttachmentRegistry::IsAlias(const std::string& alias) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.count(Fold(alias)) > 0;
}

bool AttachmentRegistry::IsPathAttached(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [alias, entry] : m_entries) {
        if (entry.path == path)
            return true;
    }
    return false;
}

}  // namespace kelvod
