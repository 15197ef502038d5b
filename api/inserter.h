// An inserter streams rows in the copy format into one table. It starts with
// one plain COPY on the caller's connection, kept open across all chunks; the
// first full chunk of an inserter buffer (or the caller) switches it, once,
// to bulk mode: a cloned stream connection carries each chunk as a COPY of
// its own into a server-side external stream, while a background task runs
// the INSERT BULK that reads the stream into the table on the caller's
// connection. The connection stays busy for the inserter's whole life.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "api/chunk_sink.h"
#include "api/connection.h"
#include "api/handles.h"
#include "api/table_definition.h"
#include "postgres/libpq/libpq_types.h"

namespace kelvoapi {

class Inserter final : public ChunkSink {
public:
    // Keeps a copy of the definition. Throws kelvoapi::Error (55006 when the
    // connection is busy).
    Inserter(Connection& connection, const TableDefinition* tableDefinition);
    Inserter(const Inserter&) = delete;
    Inserter& operator=(const Inserter&) = delete;
    // Ends the inserter's life if Release has not.
    ~Inserter() override;

    // Logs "inserter-end", closes the stream connection, ends a bulk task
    // that still runs (waiting a bounded time), and only then makes the
    // connection ready again. Afterwards every operation is refused (55000)
    // and the connection is never touched again: a buffer may keep this
    // object alive after its connection is gone. Idempotent, never throws.
    void Release() noexcept;

    void InitBulkInsert(const TableDefinition* streamDefinition, const std::string& selectList) override;
    void InsertComputedExpressions(const std::string& selectList);
    void SendChunk(const uint8_t* data, size_t size) override;
    bool TakesPlainChunks(const TableDefinition& definition, const std::string& selectList) const override;
    // Ends the insertion; without insert_data a bulk load is cancelled first
    // (a plain COPY is always ended normally).
    void FinalizeInsert(bool insertData);

    // A COPY that a caller opened on `connection` with SQL of its own.
    static void CopyDataOnConnection(Connection& connection, const uint8_t* data, int size);
    static void CopyEndOnConnection(Connection& connection);

private:
    // Whether the table's columns of the definition's names share its
    // nullability, with which the server reads a plain COPY (a question to
    // the server).
    bool PlainCopyReadsAsSent();

    enum class CopyDataState { SUCCESS = 0, CANCEL = 1 };
    // How long the server may answer 53400 to one chunk before the load gives
    // up and reports it.
    static constexpr std::chrono::minutes kThrottleLimit{5};

    void CreateBulkInsertStream(const TableDefinition* streamDefinition);
    void CopyStart();
    void CopyData(const uint8_t* data, size_t size);
    void CopyEnd();
    void SendPlainChunk(const uint8_t* data, size_t size);
    void SendBulkChunk(const uint8_t* data, size_t size);
    void FinalizePlain();
    void FinalizeBulk(bool insertData);
    void RunBulkInsert(const std::string& statement);
    // Cancels the INSERT BULK every 100 ms until it has ended; a failed cancel
    // request is raised when asked. A task that outlasts the bound has its
    // connection's socket shut down, which ends its statement.
    void CancelBulkInsert(bool reportCancelFailure);
    // The INSERT BULK has ended (with or without an error).
    bool BulkInsertEnded() const;
    // Refuses every operation once Release has run.
    void ThrowIfReleased() const;
    // Takes the outcome of a cancelled task: its error is the cancellation.
    void TakeCancelledBulkInsert();
    void Throttle();
    // The "inserter-end" event: what was sent, how fast, and how.
    void LogEnd() const;
    // No chunk can reach the table any more: the task failed or has ended.
    bool BulkInsertFailed() const { return m_bulk_insert_failed.load() || BulkInsertEnded(); }

    template <typename Cancel>
    static CopyDataState copy_data(Connection& connection, const uint8_t* data, size_t size, Cancel cancel);
    static void PutCopyEnd(Connection& connection, const char* message);

    Connection& m_connection;
    std::unique_ptr<Connection> m_stream_connection;
    Connection* m_transport_connection;
    std::string m_database_name;
    std::string m_schema_name;
    std::string m_table_name;
    std::string m_qualified_quoted_table_name;
    const TableDefinition m_table_definition;
    std::string m_qualified_quoted_stream_name;
    std::future<void> m_bulk_insert;
    std::atomic<bool> m_bulk_insert_failed{false};
    std::string m_copy_stmt;
    bool m_ongoing_query = false;
    std::chrono::steady_clock::time_point m_startTime{};
    uint32_t m_totalChunks = 0;
    // 64 bits: a load of several GiB must not wrap the figure it reports.
    uint64_t m_totalBytes = 0;
    uint32_t m_throttled = 0;
    // A second descriptor of the main connection's socket, taken before the
    // task starts: shutting it down ends a task that no cancel reaches,
    // without racing the task's own use of the connection.
    int m_main_socket = -1;
    bool m_released = false;
    // The main connection stays busy from the constructor to the release.
    std::optional<BusyLease> m_busy;
};

}  // namespace kelvoapi

struct kelvo_inserter_t : kelvo_connection_dependent_ptr<kelvoapi::Inserter> {
    using kelvo_connection_dependent_ptr<kelvoapi::Inserter>::kelvo_connection_dependent_ptr;
};
