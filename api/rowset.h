// The result of one statement on a connection, read chunk by chunk, with an
// optional prefetch thread that receives the rows ahead of the caller.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "api/connection.h"
#include "api/handles.h"
#include "api/rowset_chunk.h"
#include "api/table_definition.h"
#include "postgres/libpq/libpq_types.h"
#include "postgres/libpq/read_ahead.h"
#include "postgres/libpq/scoped_result.h"

namespace kelvoapi {

class Rowset {
public:
    // Reads the first result of the statement just sent on `connection`,
    // then marks the connection busy until destruction.
    explicit Rowset(Connection& connection);
    Rowset(const Rowset&) = delete;
    Rowset& operator=(const Rowset&) = delete;
    ~Rowset();

    // The next chunk with rows, or null at the end; a chunk with an error
    // status throws the server's error. At the end, the results of the
    // statements that followed in the same text are drained, and the first
    // error among them is thrown.
    std::unique_ptr<RowsetChunk> GetNextChunk();
    // The next block of COPY data (owned by the caller, freed with
    // PQfreemem), or {null, 0} at the end and after it. Refused (55000) for
    // a statement that is not a COPY OUT.
    std::pair<char*, size_t> GetCopyData();
    // A COPY OUT whose data has not been read to its end.
    bool HasCopyData() const { return m_copyOut && !m_copyDone; }
    const TableDefinition& GetSchema() const { return *m_schema; }
    // Whether the server has sent the statement's last result (the rowset
    // may still hold chunks of it). While prefetching, what has arrived is
    // parsed first, without waiting, and its chunks are kept.
    bool StatementEnded() { return ParseArrived(true); }
    std::optional<size_t> GetAffectedRowCount() const { return m_affectedRowCount; }
    // Cancels what is unread, drains the connection's results and stops the
    // prefetch thread.
    void Close();

private:
    void beginResultFetching();
    void TakeChunk(ScopedPGresult result);
    // The statement's next result: one parsed ahead, else the connection's
    // next. Notes the statement's end.
    ScopedPGresult NextResult();
    // Parses what the prefetch thread has received, without waiting, up to
    // the statement's last result; keeps the results when `keep`. Whether
    // that last result has been parsed.
    bool ParseArrived(bool keep);
    // Once the statement's own results are all handed out: drains what the
    // rest of the text produced and throws its first error.
    void FinishStatement();

    Connection& m_conn;
    // Taken once the first result is in; returned after the close.
    std::optional<BusyLease> m_busy;
    std::unique_ptr<RowsetChunk> m_chunk;
    // Receives the statement's rows on a thread of its own while prefetching;
    // the parsing stays on the caller's thread.
    std::unique_ptr<ReadAhead> m_readAhead;
    // Results parsed ahead by StatementEnded, oldest first.
    std::deque<ScopedPGresult> m_parsed;
    std::optional<TableDefinition> m_schema;
    std::optional<size_t> m_affectedRowCount;
    // The statement's last result has been parsed (or none is coming).
    bool m_statementEnded = true;
    // The statement answered with COPY OUT data, and that data has been
    // read to its end.
    bool m_copyOut = false;
    bool m_copyDone = false;
    // Every result of the statement text has been read.
    bool m_finished = false;
};

}  // namespace kelvoapi

struct kelvo_rowset_t : kelvo_connection_dependent_ptr<kelvoapi::Rowset> {
    using kelvo_connection_dependent_ptr<kelvoapi::Rowset>::kelvo_connection_dependent_ptr;
};
