// Reading a statement's results chunk by chunk, with the prefetch thread.
#include "api/rowset.h"

#include <chrono>
#include <string>
#include <thread>

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

void Rowset::TakeChunk(ScopedPGresult result) {
    m_chunk = std::make_unique<RowsetChunk>(std::move(result));
    m_pendingBytes += m_chunk->GetByteSize();
}

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
        if (m_conn.GetPrefetchThreshold() != 0 && status == PGRES_TUPLES_CHUNK) {
            m_prefetcher = std::make_unique<AsyncResultPrefetcher>(m_conn, m_conn.GetPrefetchThreshold(),
                                                                   m_pendingBytes, m_cancel);
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

std::unique_ptr<RowsetChunk> Rowset::GetNextChunk() {
    if (m_prefetchError) {
        std::rethrow_exception(std::exchange(m_prefetchError, nullptr));
    }
    while (m_chunk) {
        std::unique_ptr<RowsetChunk> taken = std::move(m_chunk);
        m_pendingBytes -= taken->GetByteSize();
        if (m_prefetcher) {
            m_prefetcher->Released();
        }
        if (IsErrorStatus(taken->GetStatus())) {
            throw MakeError(taken->GetResult(), kChunkFailed);
        }
        if (m_prefetcher) {
            try {
                m_chunk = m_prefetcher->Pop();
            } catch (...) {
                // The rows in hand go out first; the failure comes next call.
                m_prefetchError = std::current_exception();
                if (taken->GetRowCount() > 0) {
                    return taken;
                }
                std::rethrow_exception(std::exchange(m_prefetchError, nullptr));
            }
        } else if (taken->GetStatus() == KELVO_RESULT_TUPLES_CHUNK) {
            if (ScopedPGresult next{PQgetResult(m_conn.GetPGconn())}) {
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
    // The thread has pushed its end marker and stops reading: from here on
    // the connection is this thread's again.
    m_prefetcher.reset();
    m_finished = true;
    if (PGconn* conn = m_conn.GetPGconn()) {
        CleanupResultsReportingErrors(m_conn, ScopedPGresult(PQgetResult(conn)), kChunkFailed);
    }
}

std::pair<char*, size_t> Rowset::GetCopyData() {
    // Only a COPY OUT reads the connection here; for any other statement the
    // prefetch thread may be reading it at this very moment.
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
    // Only a statement that still runs is cancelled: a cancel request for one
    // that has ended could reach the server while the connection's next
    // statement runs, and cancel that one instead.
    const bool copyUnread = m_copyOut && !m_copyDone;
    const bool rowsPending = m_chunk && m_chunk->GetStatus() == KELVO_RESULT_TUPLES_CHUNK && !StatementEnded();
    if (rowsPending || copyUnread) {
        try {
            m_conn.Cancel();
        } catch (...) {
            // Without the cancel the drain below reads the rest of the rows.
        }
    }
    if (m_chunk) {
        m_cancel = true;
        m_chunk.reset();
    }
    if (m_prefetcher) {
        m_prefetcher->Released();
    }
    m_prefetcher.reset();
    if (PGconn* conn = m_conn.GetPGconn()) {
        if (copyUnread && !DiscardCopyData(conn)) {
            return;
        }
        CleanupResults(m_conn, ScopedPGresult(PQgetResult(conn)));
    }
}

Rowset::AsyncResultPrefetcher::AsyncResultPrefetcher(Connection& connection, size_t prefetchThreshold,
                                                     std::atomic<size_t>& pendingBytes, std::atomic<bool>& cancel)
    : m_conn(connection),
      m_prefetch_threshold(prefetchThreshold),
      m_cancel(cancel),
      m_chunks(MAX_CHUNK_PREFETCH_COUNT, [&cancel] { return cancel.load(); }),
      m_pendingBytes(pendingBytes) {
    m_reader = std::async(std::launch::async, [this] { ReadChunks(); });
}

Rowset::AsyncResultPrefetcher::~AsyncResultPrefetcher() {
    if (m_reader.valid()) {
        m_reader.wait();
    }
    ScopedPGresult left;
    while (m_chunks.TryPop(left)) {
        left.reset();
    }
    m_giveBack->Close();
}

void Rowset::AsyncResultPrefetcher::WaitWhileThrottled() {
    if (m_cancel || m_pendingBytes < m_prefetch_threshold) {
        return;
    }
    m_chunks.WakeConsumer();
    std::unique_lock<std::mutex> lock(m_throttleMutex);
    // Set before the test of the bytes and read by Released after its
    // change of them (both sequentially consistent): either the test here
    // sees the bytes released, or Released sees the flag and signals, which
    // its lock holds back until this thread waits.
    m_throttleWaiting = true;
    while (!m_cancel && m_pendingBytes >= m_prefetch_threshold) {
        // Released() wakes the wait; the bound only covers a missed signal.
        m_throttled.wait_for(lock, std::chrono::milliseconds(100));
    }
    m_throttleWaiting = false;
}

void Rowset::AsyncResultPrefetcher::Released() {
    // Called for every chunk handed out: the mutex and the signal only when
    // the thread waits.
    if (!m_throttleWaiting) {
        return;
    }
    { std::lock_guard<std::mutex> lock(m_throttleMutex); }
    m_throttled.notify_one();
}

void Rowset::AsyncResultPrefetcher::ReadChunks() {
    try {
        ReadUntilEnd();
    } catch (...) {
        // The end marker keeps the caller from waiting for chunks that will
        // never come; Pop then reports the failure kept in the future.
        m_giveBack->Close();
        m_chunks.Push(nullptr);
        throw;
    }
    // Results handed back from now on are freed where they are let go.
    m_giveBack->Close();
}

void Rowset::AsyncResultPrefetcher::ReadUntilEnd() {
    if (m_cancel) {
        return;
    }
    WaitWhileThrottled();
    PGconn* conn = m_conn.GetPGconn();
    for (;;) {
        // The blocks of the results the caller is done with are the ones the
        // next result is built in.
        m_giveBack->FreeGiven();
        // Chunks go over quietly while whole ones are in the input buffer;
        // the caller is woken once for the lot before a read of the socket,
        // which may wait for the server, instead of once per chunk.
        if (m_chunks.Size() >= wake_batch || PQisBusy(conn) != 0) {
            m_chunks.WakeConsumer();
        }
        ScopedPGresult result(PQgetResult(conn));
        if (!result) {
            m_statementEnded = true;
            m_chunks.Push(nullptr);
            return;
        }
        // The last part of this statement's result (or its error): what
        // follows belongs to the next statement of the text, with its own
        // columns, and is the caller's thread's to drain.
        const bool last = PQresultStatus(result.get()) != PGRES_TUPLES_CHUNK;
        m_pendingBytes += RowsetChunk::ByteSizeOf(result.get());
        m_chunks.PushQuietly(std::move(result));
        if (last) {
            m_statementEnded = true;
            m_chunks.Push(nullptr);
            return;
        }
        if (m_cancel) {
            m_chunks.WakeConsumer();
            return;
        }
        WaitWhileThrottled();
    }
}

std::unique_ptr<RowsetChunk> Rowset::AsyncResultPrefetcher::Pop() {
    ScopedPGresult result;
    m_chunks.Pop(result);
    // The thread ends right after its end marker; a failure that ended it
    // early is rethrown here. After a cancel the thread may still be reading,
    // and the close waits for it instead.
    if (!result) {
        if (!m_cancel && m_reader.valid()) {
            m_reader.get();
        }
        return nullptr;
    }
    return std::make_unique<RowsetChunk>(std::move(result), m_giveBack);
}

}  // namespace kelvoapi
