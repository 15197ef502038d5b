// What the parts of one session share: the client's socket and the buffers that
// read and write it, the engine connection, the transaction status, the
// attached databases and settings that name resolution depends on, and whether
// a statement runs (so that a cancel request can reach it). The protocol
// session owns it; the statement runner, the loader and the database commands
// borrow it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/process/server_state.h"
#include "kelvod/protocol/protocol_reader.h"
#include "kelvod/protocol/protocol_writer.h"
#include "kelvod/protocol/transaction_status.h"
#include "kelvod/sql/catalog.h"

namespace kelvod {

// The client went away (or the server stops) in the middle of a request.
struct ConnectionLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The format a statement's result sends column `column` in, from Bind's list
// (none: text; one: all columns).
int16_t FormatFor(const std::vector<int16_t>& formats, size_t column);

class SessionContext {
public:
    SessionContext(ServerState& server, int fd, int32_t pid) : m_server(server), m_fd(fd), m_pid(pid) {}
    ~SessionContext();
    SessionContext(const SessionContext&) = delete;
    SessionContext& operator=(const SessionContext&) = delete;

    // A statement counts as running while this lives: cancel requests reach it,
    // and one that came before it is forgotten.
    class RunningStatement {
    public:
        explicit RunningStatement(SessionContext& context) : m_context(context) { m_context.SetRunning(true); }
        ~RunningStatement() { End(); }
        RunningStatement(const RunningStatement&) = delete;
        RunningStatement& operator=(const RunningStatement&) = delete;
        // From here on no cancel request interrupts the engine, so that the
        // statement's clean-up (its ROLLBACK) runs whole.
        void End() { m_context.SetRunning(false); }

    private:
        SessionContext& m_context;
    };
    // Ends the running statement with 57014 once a cancel request has reached it.
    void ThrowIfCancelled() const;
    // From another thread: interrupt the running statement, if any.
    void Cancel();
    // From another thread: stop reading (server shut-down) and interrupt the running statement.
    void Stop();
    bool Stopping() const { return m_stopping; }

    // Sends what the writer holds; throws ConnectionLost.
    void Flush();
    // Reads what the client sent; false when it hung up, the session stops or the deadline passes.
    bool ReadMore(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    // ReadMore for COPY data: large reads straight into the reader, a poll only
    // when the socket is empty. True also when a short wait brought nothing, so
    // that the caller looks for a cancel request; false when the client left.
    bool ReadBulk();
    // Gives back this session's share of the server's bound on pending input.
    void ReleasePendingInput();
    // Whether the client has hung up; checked while a statement waits for a stream.
    bool ClientGone() const;
    // From any thread: bytes sent to the client so far, so that a stopping server can tell a session that
    // still sends to a reading client from one stuck on a client that does not read.
    uint64_t BytesSent() const { return m_bytesSent.load(std::memory_order_relaxed); }

    void SendError(const ErrorFields& error) { m_writer.Error(error); }
    void Notice(const std::string& sqlstate, const std::string& message);

    // The names a rewrite resolves against: databases, temporary tables, search
    // path. Kept between statements (each would lex search_path again) and made
    // anew only after the attached databases or a setting changed.
    const SessionNames& Names() const;
    // The in-memory database that is this session's default when it has attached
    // none: the engine's own "memory" database would be shared by all sessions.
    std::string PrivateDatabase() const { return "kelvod_session_" + std::to_string(m_pid); }
    int ExtraFloatDigits() const;
    int16_t DefaultFormat() const { return m_binaryResults ? 2 : 0; }
    void UseBinaryResults(bool binary) { m_binaryResults = binary; }

    ServerState& Server() const { return m_server; }
    int Fd() const { return m_fd; }
    // The session's id: its cancel key's first half, and the owner of its streams.
    int32_t Pid() const { return m_pid; }
    ProtocolReader& Reader() { return m_reader; }
    ProtocolWriter& Writer() { return m_writer; }

    // The session's own engine connection; throws 53000 when the engine refuses one.
    void Connect();
    duckdb_connection Connection() const { return m_connection.Get(); }
    // For a connection whose transaction could not be rolled back: the engine
    // rolls back again as it disconnects, where a failure would end the server.
    void LeaveConnectionToEngine() { m_connection.Release(); }

    TransactionStatus Transaction() const { return m_transaction; }
    // Whether the open block is the implicit one of a batch of statements (a simple
    // query of several, or extended-protocol messages up to Sync), not one of BEGIN.
    bool InImplicitBlock() const { return m_implicitBlock; }
    // BEGIN ran in the engine.
    void BeginBlock() { m_transaction = TransactionStatus::InBlock; }
    // A batch opened a block of its own in the engine.
    void BeginImplicitBlock() {
        m_transaction = TransactionStatus::InBlock;
        m_implicitBlock = true;
    }
    // BEGIN inside a batch: its block becomes the client's, with what it holds.
    void MakeBlockExplicit() { m_implicitBlock = false; }
    // A statement failed: a block, if any, takes no more statements until it ends.
    void FailBlock() {
        if (m_transaction == TransactionStatus::InBlock)
            m_transaction = TransactionStatus::FailedBlock;
    }
    // The engine's transaction ended (committed or rolled back).
    void EndBlock() {
        m_transaction = TransactionStatus::Idle;
        m_implicitBlock = false;
    }

    // Counts the changes of what a rewrite depends on (attached databases,
    // settings, declared temporary tables), so that prepared statements notice.
    uint64_t NamesGeneration() const { return m_namesGeneration; }
    void NamesChanged() { ++m_namesGeneration; }

    // Attached aliases in order of attachment.
    const std::vector<std::string>& Databases() const { return m_databases; }
    void AddDatabase(std::string alias);
    void RemoveDatabase(const std::string& alias);
    // Forgets every alias and returns them, for the caller to give back.
    std::vector<std::string> TakeDatabases();

    const std::map<std::string, std::vector<ColumnDefinition>>& TempTables() const { return m_tempTables; }
    // The columns of the first declaration stay: a repeated IF NOT EXISTS changes nothing.
    void DeclareTempTable(const std::string& table, const std::vector<ColumnDefinition>& columns) {
        m_tempTables.emplace(table, columns);
    }

    // Start-up options and SET values.
    const std::map<std::string, std::string>& Settings() const { return m_settings; }
    void RecordSetting(const std::string& name, std::string value);

private:
    void SetRunning(bool running);
    // Counts `pending` bytes against the bound for all sessions; throws 53200 past it.
    void ChargePendingInput(uint64_t pending);

    ServerState& m_server;
    const int m_fd;
    const int32_t m_pid;
    ConnectionHandle m_connection;
    ProtocolReader m_reader;
    ProtocolWriter m_writer;
    TransactionStatus m_transaction = TransactionStatus::Idle;
    bool m_implicitBlock = false;
    bool m_binaryResults = false;
    uint64_t m_namesGeneration = 0;
    std::vector<std::string> m_databases;
    std::map<std::string, std::vector<ColumnDefinition>> m_tempTables;
    std::map<std::string, std::string> m_settings;
    // Names() as last made; empty after a change of what it is made from.
    mutable std::optional<SessionNames> m_names;

    uint64_t m_pendingInput = 0;  // this session's share of the server's bound on pending input
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_bytesSent{0};
    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_stopping{false};
    // Held while the running flag changes and while another thread interrupts the engine.
    std::mutex m_interruptMutex;
};

}  // namespace kelvod
