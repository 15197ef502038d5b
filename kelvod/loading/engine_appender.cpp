// The engine's appender behind one owner.
#include "kelvod/loading/engine_appender.h"

#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_handles.h"

namespace kelvod {

EngineAppender::EngineAppender(duckdb_connection connection, const std::string& catalog, const std::string& schema,
                               const std::string& table) {
    if (duckdb_appender_create_ext(connection, catalog.c_str(), schema.c_str(), table.c_str(), &m_appender) ==
        DuckDBError) {
        // The handle may hold the reason; it is still destroyed by its owner.
        try {
            ThrowError("The table cannot be appended to.");
        } catch (...) {
            duckdb_appender_destroy(&m_appender);
            throw;
        }
    }
}

EngineAppender::~EngineAppender() {
    if (m_appender)
        duckdb_appender_destroy(&m_appender);
}

void EngineAppender::ThrowError(const char* fallback) {
    ErrorDataHandle error(m_appender ? duckdb_appender_error_data(m_appender) : nullptr);
    throw ErrorDataError(error.Get(), fallback);
}

void EngineAppender::AddColumn(const std::string& name) {
    if (duckdb_appender_add_column(m_appender, name.c_str()) == DuckDBError)
        ThrowError("The column cannot be appended to.");
}

idx_t EngineAppender::ColumnCount() const { return duckdb_appender_column_count(m_appender); }

duckdb_logical_type EngineAppender::ColumnType(idx_t column) const {
    return duckdb_appender_column_type(m_appender, column);
}

}  // namespace kelvod
