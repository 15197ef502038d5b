// The engine opened in this process on a database file, with one connection:
// the anchor the load and read programs measure the server against.
#pragma once

#include <duckdb.h>

#include <string>

#include "side_by_side.h"

namespace sidebyside {

class EngineDatabase {
public:
    explicit EngineDatabase(const std::string& path) {
        if (duckdb_open(path.c_str(), &m_db) == DuckDBError || duckdb_connect(m_db, &m_conn) == DuckDBError)
            Fail("open the engine");
    }
    ~EngineDatabase() {
        duckdb_disconnect(&m_conn);
        duckdb_close(&m_db);
    }
    EngineDatabase(const EngineDatabase&) = delete;
    EngineDatabase& operator=(const EngineDatabase&) = delete;

    duckdb_connection Connection() { return m_conn; }
    void Execute(const std::string& sql) {
        duckdb_result r;
        if (duckdb_query(m_conn, sql.c_str(), &r) == DuckDBError)
            Fail(sql + ": " + duckdb_result_error(&r));
        duckdb_destroy_result(&r);
    }
    duckdb_appender Appender(const char* table) {
        duckdb_appender a = nullptr;
        if (duckdb_appender_create(m_conn, nullptr, table, &a) == DuckDBError)
            Fail("appender");
        return a;
    }
    // Flushes (the rows become visible) and destroys the appender.
    void Close(duckdb_appender& a) {
        if (duckdb_appender_destroy(&a) == DuckDBError)
            Fail("appender flush");
    }

private:
    duckdb_database m_db = nullptr;
    duckdb_connection m_conn = nullptr;
};

}  // namespace sidebyside
