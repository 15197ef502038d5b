// The engine's appender with one owner: a COPY asks it which columns it would
// fill and of which engine types, and its failures come out as SqlError with
// the nearest SQLSTATE.
#pragma once

#include <string>

#include "duckdb.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

class EngineAppender {
public:
    // Throws SqlError when the table cannot be appended to.
    EngineAppender(duckdb_connection connection, const std::string& catalog, const std::string& schema,
                   const std::string& table);
    ~EngineAppender();
    EngineAppender(const EngineAppender&) = delete;
    EngineAppender& operator=(const EngineAppender&) = delete;

    // Limits the appended columns to the named ones, in this order; the rest take their defaults.
    void AddColumn(const std::string& name);
    idx_t ColumnCount() const;
    // A new logical type, which the caller destroys.
    duckdb_logical_type ColumnType(idx_t column) const;

private:
    [[noreturn]] void ThrowError(const char* fallback);
    duckdb_appender m_appender = nullptr;
};

}  // namespace kelvod
