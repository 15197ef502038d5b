// What a client's SET and RESET of memory_limit may do. Below a floor the
// engine's COMMIT can run out of memory half-way and leave a database file
// torn; and the engine's own RESET shows the default again but leaves its
// buffer pool at the last limit set. The statement runner asks here before
// either reaches the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "duckdb.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// In the engine's own unit: its "MB" is 1000 * 1000 bytes. With 16 sessions
// loading and 2 sorting, commits ran out of memory and damaged the file in
// every run at 256MB, and in none at 384MB or 512MB.
constexpr uint64_t kMemoryLimitFloor = 512ull * 1000 * 1000;

// The bytes a memory size names as the engine reads it ("2GB", "512 MiB"), or
// nullopt when it names no limit ("-1", "none"); throws 22023 when it is no size.
std::optional<uint64_t> ParseMemorySize(const std::string& text);

// Throws 22023 for a SET of memory_limit below the floor, or one whose value
// is not a literal the server can read before the engine applies it.
void RefuseUnsafeMemoryLimit(const Statement& statement);

// Notes how the engine shows its default limit; once, before any session.
void NoteDefaultMemoryLimit(duckdb_connection connection);

// For RESET memory_limit (or SET it TO DEFAULT): sets the default again as a
// value, which the engine's buffer pool follows. False for any other statement.
bool ResetMemoryLimit(duckdb_connection connection, const Statement& statement);

}  // namespace kelvod
