// The engine's way into a load: the table function kelvod_load_feed(id), whose
// scan threads take pieces of KLVCPY rows from a source and decode them
// straight into their output vectors. A loading statement registers its feed
// for its own duration and runs INSERT INTO ... SELECT ... FROM kelvod_load_feed(id),
// so that the engine decodes and writes row groups on several threads.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/loading/klvcpy_decoder.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// Where the scan threads take their pieces from; called from several threads at once.
class RowSource {
public:
    virtual ~RowSource() = default;
    // Waits for a piece; false at the end. Throws to end the statement with an error.
    virtual bool Next(RowPiece& piece) = 0;
    // A scan thread failed: the others must not wait for pieces that may come late.
    virtual void Abandon() {}
};

class LoadFeed {
public:
    // `valuesChecked`: the cutter checked the values already, the scan only decodes them.
    LoadFeed(std::vector<CopyColumn> columns, RowSource& source, bool valuesChecked)
        : m_columns(std::move(columns)), m_source(source), m_valuesChecked(valuesChecked) {}
    const std::vector<CopyColumn>& Columns() const { return m_columns; }
    bool ValuesChecked() const { return m_valuesChecked; }
    RowSource& Source() { return m_source; }
    // A scan thread's failure, kept whole (SQLSTATE and all) for the statement
    // to throw instead of the engine's text of it. The first one counts.
    void Fail(std::exception_ptr error);
    std::exception_ptr Failure() const;

private:
    const std::vector<CopyColumn> m_columns;
    RowSource& m_source;
    const bool m_valuesChecked;
    mutable std::mutex m_mutex;
    std::exception_ptr m_failure;
};

// A feed known to the table function while this lives, to statements of the
// loading session's own engine connection only: another session cannot read
// it even when it learns the id, which is random besides.
class LoadFeedRegistration {
public:
    LoadFeedRegistration(std::shared_ptr<LoadFeed> feed, duckdb_connection owner);
    ~LoadFeedRegistration();
    LoadFeedRegistration(const LoadFeedRegistration&) = delete;
    LoadFeedRegistration& operator=(const LoadFeedRegistration&) = delete;
    // The FROM item that reads the feed.
    std::string Call() const;

private:
    int64_t m_id;
};

// Runs the INSERT that reads a feed; returns the rows it inserted. Throws the
// feed's own failure when there was one, else the engine's error as SqlError.
uint64_t RunFeedingInsert(duckdb_connection connection, const std::string& text, const LoadFeed& feed);

// While this lives, the connection's statements may store rows in any order,
// which lets the engine write row groups on several threads. Only a load that
// is its own transaction asks for it: the setting outlives a ROLLBACK, and in
// a failed transaction block it could not be put back before one.
class InsertionOrderFree {
public:
    InsertionOrderFree(duckdb_connection connection, bool wanted);
    ~InsertionOrderFree();
    InsertionOrderFree(const InsertionOrderFree&) = delete;
    InsertionOrderFree& operator=(const InsertionOrderFree&) = delete;

private:
    duckdb_connection m_connection;
    bool m_changed = false;
};

// Makes kelvod_load_feed known to the engine, for every connection; once per
// engine, before any session.
void RegisterLoadFeedFunction(duckdb_connection connection);

}  // namespace kelvod
