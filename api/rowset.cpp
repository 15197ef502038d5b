// Reading a statement's results chunk by chunk, with the prefetch thread.
#include "api/rowset.h"

#include <exception>
#include <string>

#include "api/logging.h"
#include "api/result_error.h"
#include "api/statement.h"
#include "error/sqlstate.h"
#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"

namespace kelvoapi {

namespace {

constexpr ContextId kChunkFailed{0xfa6b0e2f};
constexpr ContextId kCopyDataFailed{0xaff5ca61};
constexpr ContextId kChunkedModeRefused{0x458e8ce1};
constexpr ContextId kRowsetInErrorState{0xe79f27b8};
constexpr ContextId kRowsetInErrorStateCause{0xf628980b};
constexpr ContextId kNoCopyData{0x6c2d0b57};

constexpr unsigned chunk_row_count = 256;

// Stops a rowset's prefetch thread on every way out of a drain.
struct ReadAheadStop {
    std::unique_ptr<ReadAhead>& readAhead;
    ~ReadAheadStop() { readAhead.reset(); }
};

}  // namespace

Rowset::Rowset(Connection& connection) : m_conn(connection) {
    if (m_conn.GetStatus() != KELVO_CONNECTION_OK) {
        Error error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "The connection is in an error state.", kRowsetInErrorState);
        error.SetCause(MakeError(m_conn.GetPGconn(), kRowsetInErrorStateCause));
        throw error;
    }
    beginResultFetching();
    m_busy.emplace(m_conn);
}

Rowset::~Rowset() { Close(); }

void Rowset::TakeChunk(ScopedPGresult result) { m_chunk = std::make_unique<RowsetChunk>(std::move(result)); }

void Rowset::beginResultFetching() {
    PGconn* conn = m_conn.GetPGconn();
    if (m_conn.GetChunkedMode()) {
        Log(KELVO_LOG_LEVEL_TRACE, "rowset-chunked-mode", "Setting query result rowset chunked mode.");
        if (PQsetChunkedMode(conn, chunk_row_count) == 0) {
            Log(KELVO_LOG_LEVEL_TRACE, "rowset-chunked-mode", MakeError(conn, kChunkedModeRefused).GetMessage());
        }
    }
    try {
        ScopedPGresult first = GetResult(m_conn);
        // The chunk owns the result from here on.
        PGresult* result = first.get();
        TakeChunk(std::move(first));
        TableDefinition schema("", "", "", KELVO_PERMANENT, false);
        const int status = m_chunk->GetStatus();
        m_statementEnded = status != PGRES_TUPLES_CHUNK;
        if (status == PGRES_TUPLES_OK || status == PGRES_TUPLES_CHUNK) {
            const int fields = PQnfields(result);
            for (int i = 0; i < fields; ++i) {
                Type type = ConvertLibpqType(PQftype(result, i), static_cast<uint32_t>(PQfmod(result, i)));
                type.m_collation.clear();
                type.m_nullable = false;
                schema.AddColumn(PQfname(result, i), std::move(type));
            }
        }
        m_schema.emplace(std::move(schema));
        m_affectedRowCount = getAffectedRowCount(result);
        m_copyOut = status == PGRES_COPY_OUT;
        if (m_conn.GetPrefetchThreshold() != 0 && status == PGRES_TUPLES_CHUNK && conn->sock >= 0) {
            try {
                m_readAhead = std::make_unique<ReadAhead>(conn, m_conn.GetPrefetchThreshold());
            } catch (const std::exception& e) {
                // Prefetching only hides the network's delays: read without it.
                Log(KELVO_LOG_LEVEL_TRACE, "rowset-prefetch", std::string("Reading without prefetch: ") + e.what());
            }
        }
    } catch (...) {
        if (m_chunk && m_chunk->GetStatus() != KELVO_RESULT_TUPLES_OK &&
            m_chunk->GetStatus() != KELVO_RESULT_TUPLES_CHUNK) {
            m_chunk.reset();
        }
        Close();
        throw;
    }
}

ScopedPGresult Rowset::NextResult() {
    ScopedPGresult next;
    if (!m_parsed.empty()) {
        next = std::move(m_parsed.front());
        m_parsed.pop_front();
        return next;
    }
    next.reset(PQgetResult(m_conn.GetPGconn()));
    if (!next || PQresultStatus(next.get()) != PGRES_TUPLES_CHUNK) {
        m_statementEnded = true;
    }
    return next;
}

bool Rowset::ParseArrived(bool keep) {
    if (m_statementEnded || !m_readAhead) {
        return m_statementEnded;
    }
    PGconn* conn = m_conn.GetPGconn();
    int ignored = 0;
    do {
        // Failures and the end of the stream are left for the reads that
        // wait, which report them.
        while (!m_statementEnded && PQisBusy(conn) == 0) {
            ScopedPGresult result(PQgetResult(conn));
            m_statementEnded = !result || PQresultStatus(result.get()) != PGRES_TUPLES_CHUNK;
            if (keep && result) {
                m_parsed.push_back(std::move(result));
            }
        }
    } while (!m_statementEnded && m_readAhead->Take(false, &ignored) > 0);
    return m_statementEnded;
}

std::unique_ptr<RowsetChunk> Rowset::GetNextChunk() {
    while (m_chunk) {
        std::unique_ptr<RowsetChunk> taken = std::move(m_chunk);
        if (IsErrorStatus(taken->GetStatus())) {
            throw MakeError(taken->GetResult(), kChunkFailed);
        }
        if (taken->GetStatus() == KELVO_RESULT_TUPLES_CHUNK) {
            if (ScopedPGresult next = NextResult()) {
                TakeChunk(std::move(next));
            }
        }
        if (taken->GetRowCount() > 0) {
            return taken;
        }
    }
    FinishStatement();
    return nullptr;
}

void Rowset::FinishStatement() {
    // COPY OUT data not read yet stays for GetCopyData; the close drops it.
    if (m_finished || (m_copyOut && !m_copyDone)) {
        return;
    }
    m_finished = true;
    if (PGconn* conn = m_conn.GetPGconn()) {
        // Drained through the prefetch thread, which stops after it: what it
        // received beyond goes back to the connection.
        ReadAheadStop stop{m_readAhead};
        CleanupResultsReportingErrors(m_conn, ScopedPGresult(PQgetResult(conn)), kChunkFailed);
    }
    m_readAhead.reset();
}

std::pair<char*, size_t> Rowset::GetCopyData() {
    // Only a COPY OUT reads the connection here; other statements' data may
    // be on its way to the prefetch thread.
    if (!m_copyOut) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::ObjectNotInPrerequisiteState),
                    "The result set holds no COPY data: its statement is not a COPY TO STDOUT.", kNoCopyData);
    }
    if (m_copyDone) {
        return {nullptr, 0};
    }
    char* buffer = nullptr;
    const int n = PQgetCopyData(m_conn.GetPGconn(), &buffer, 0);
    if (n == -1) {
        m_copyDone = true;
        // The COPY's own outcome, and the statements after it, come next.
        FinishStatement();
        return {nullptr, 0};
    }
    if (n < 0) {
        m_copyDone = true;
        throw MakeError(m_conn.GetPGconn(), kCopyDataFailed);
    }
    return {buffer, static_cast<size_t>(n)};
}

void Rowset::Close() {
    // Nothing more is read ahead: the drain below reads only what it needs,
    // and a server that stalls cannot hold it for good.
    if (m_readAhead) {
        m_readAhead->StopReceiving();
    }
    const Connection::StalledServerLimit limit(m_conn);
    // Only a statement that still runs is cancelled: a cancel request for one
    // that has ended could reach the server while the connection's next
    // statement runs, and cancel that one instead. What has arrived is
    // looked at first, and dropped.
    const bool copyUnread = m_copyOut && !m_copyDone;
    const bool rowsPending = !m_finished && !ParseArrived(false);
    m_parsed.clear();
    if (rowsPending || copyUnread) {
        try {
            m_conn.Cancel();
        } catch (...) {
            // Without the cancel the drain below reads the rest of the rows.
        }
    }
    m_chunk.reset();
    ReadAheadStop stop{m_readAhead};
    if (PGconn* conn = m_conn.GetPGconn()) {
        if (copyUnread && !DiscardCopyData(conn)) {
            return;
        }
        CleanupResults(m_conn, ScopedPGresult(PQgetResult(conn)));
    }
}

}  // namespace kelvoapi
