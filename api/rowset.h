// The result of one statement on a connection, read chunk by chunk, with an
// optional prefetch thread that reads chunks ahead into a bounded queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "api/connection.h"
#include "api/handles.h"
#include "api/result_return.h"
#include "api/rowset_chunk.h"
#include "api/table_definition.h"
#include "infra/concurrent_queue.h"
#include "postgres/libpq/libpq_types.h"
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
    // may still hold chunks of it).
    bool StatementEnded() const {
        return m_prefetcher ? m_prefetcher->StatementEnded()
                            : !m_chunk || m_chunk->GetStatus() != KELVO_RESULT_TUPLES_CHUNK;
    }
    std::optional<size_t> GetAffectedRowCount() const { return m_affectedRowCount; }
    // Cancels what is unread, stops the prefetch thread and drains the
    // connection's results.
    void Close();

    // Reads the chunks after the first on a thread of its own.
    class AsyncResultPrefetcher {
    public:
        static constexpr size_t MAX_CHUNK_PREFETCH_COUNT = 256;
        // Chunks queued quietly before the caller is woken all the same, so
        // that it works on a long burst while the rest is parsed.
        static constexpr size_t wake_batch = 16;

        AsyncResultPrefetcher(Connection& connection, size_t prefetchThreshold, std::atomic<size_t>& pendingBytes,
                              std::atomic<bool>& cancel);
        AsyncResultPrefetcher(const AsyncResultPrefetcher&) = delete;
        AsyncResultPrefetcher& operator=(const AsyncResultPrefetcher&) = delete;
        // Waits for the thread and frees what is still queued.
        ~AsyncResultPrefetcher();

        // Null at the end of the statement's result or after a cancel;
        // rethrows what ended the reading thread early. The chunk is made on
        // the caller's thread, and its result goes back to the reading
        // thread to be freed there.
        std::unique_ptr<RowsetChunk> Pop();
        // The caller handed bytes out or cancelled: a thread held back by
        // the threshold looks again at once.
        void Released();
        // The thread has read the statement's last result: the server is
        // done with it, whatever the queue still holds.
        bool StatementEnded() const { return m_statementEnded; }

    private:
        void ReadChunks();
        void ReadUntilEnd();
        void WaitWhileThrottled();

        Connection& m_conn;
        size_t m_prefetch_threshold;
        std::atomic<bool>& m_cancel;
        std::future<void> m_reader;
        std::shared_ptr<ResultReturn> m_giveBack = std::make_shared<ResultReturn>();
        ConcurrentQueue<ScopedPGresult> m_chunks;
        std::atomic<size_t>& m_pendingBytes;
        std::atomic<bool> m_statementEnded{false};
        std::mutex m_throttleMutex;
        std::condition_variable m_throttled;
        std::atomic<bool> m_throttleWaiting{false};
    };

private:
    void beginResultFetching();
    void TakeChunk(ScopedPGresult result);
    // Once the statement's own results are all handed out: drains what the
    // rest of the text produced and throws its first error.
    void FinishStatement();

    std::atomic<bool> m_cancel{false};
    Connection& m_conn;
    // Taken once the first result is in; returned after the close.
    std::optional<BusyLease> m_busy;
    std::unique_ptr<RowsetChunk> m_chunk;
    std::atomic<size_t> m_pendingBytes{0};
    std::unique_ptr<AsyncResultPrefetcher> m_prefetcher;
    std::optional<TableDefinition> m_schema;
    std::optional<size_t> m_affectedRowCount;
    // A failure of the prefetch thread, reported after the rows before it.
    std::exception_ptr m_prefetchError;
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
