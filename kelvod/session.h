// One client connection: start-up, then simple and extended queries run on its
// own engine connection. The protocol reader turns bytes into requests; this
// class runs them and writes the answers. Its parts live in one file each: the
// protocol session (session.cpp, session_startup.cpp), the extended protocol
// (extended_protocol.cpp), the statement runner (statement_runner.cpp), the
// database commands (database_commands.cpp) and the loader (copy_from_stdin.cpp,
// bulk_insert.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/catalog.h"
#include "kelvod/prepared_statement.h"
#include "kelvod/protocol_reader.h"
#include "kelvod/protocol_writer.h"
#include "kelvod/server_state.h"
#include "kelvod/transaction_status.h"
#include "kelvod/value_encoding.h"

namespace kelvod {

// The client went away (or the server stops) in the middle of a request.
struct ConnectionLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class KlvcpyRowCutter;

class Session {
public:
    // A client that has not completed its start-up within `startupTimeout` is let go.
    Session(ServerState& server, int fd, std::chrono::milliseconds startupTimeout = std::chrono::seconds(60));
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the connection until the client leaves or the server stops.
    void Run();
    // From another thread: interrupt the running statement, if any.
    void Cancel();
    // From another thread: end the session (server shut-down); the client is told
    // with 57P01 unless the session is stuck sending, which Abort ends.
    void Stop();
    void Abort();

private:
    // A statement counts as running while this lives: cancel requests reach it,
    // and one that came before it is forgotten.
    struct RunningStatement {
        explicit RunningStatement(Session& s) : session(s) { s.SetRunning(true); }
        ~RunningStatement() { End(); }
        // From here on no cancel request interrupts the engine, so that the
        // statement's clean-up (its ROLLBACK) runs whole.
        void End() { session.SetRunning(false); }
        Session& session;
    };
    void SetRunning(bool running);
    // Ends the running statement with 57014 once a cancel request has reached it.
    void ThrowIfCancelled() const;

    // The protocol session (session.cpp; start-up in session_startup.cpp): one message after another.
    void RunProtocol();
    void SayGoodbyeIfStopping();
    bool Startup();
    void ApplyOptions(const std::string& options);
    void ApplyDbname(const std::string& dbname);
    void Serve();
    void HandleRequest(const Request& request);
    void SimpleQuery(const std::string& sql);
    // A failed statement or extended-protocol message: tell the client, abort the block.
    void ReportFailure(const SqlError& error);

    // The extended protocol (extended_protocol.cpp): one function per message.
    void Parse(const ParseMessage& message);
    // A Parse of the unnamed statement's text again keeps what the last one made; false when it cannot.
    bool ReuseUnnamed(const ParseMessage& message);
    void Bind(const BindMessage& message);
    void Describe(const DescribeMessage& message);
    void Execute(const ExecuteMessage& message);
    void Close(const CloseMessage& message);
    void Sync();
    // Answers Describe from what Parse prepared: ParameterDescription (for a
    // statement), then RowDescription or NoData.
    void DescribePrepared(PreparedStatement& prepared, const std::vector<int16_t>& formats, bool withParameters);
    // The plan of a prepared statement as it stands now: made again only when
    // the session's names changed or the statement reads the catalog and its
    // rewrite came out different.
    EnginePlan& CurrentPlan(PreparedStatement& prepared);

    // The statement runner (statement_runner.cpp): classify, rewrite, run, encode.
    // Runs one statement; writes RowDescription (unless suppressed), rows and CommandComplete.
    void RunStatement(const Statement& statement, const std::vector<int16_t>& formats, bool sendDescription,
                      const std::vector<std::optional<std::string>>& params = {},
                      PreparedStatement* prepared = nullptr);
    void RunEngineStatement(const Statement& statement, EnginePlan& plan, const std::vector<int16_t>& formats,
                            bool sendDescription, const std::vector<std::optional<std::string>>& params);
    // The same for a text already rewritten (the loader's statements).
    void RunEngineStatement(const Statement& statement, const std::string& text, const std::vector<int16_t>& formats,
                            bool sendDescription, const std::vector<std::optional<std::string>>& params);
    // Streams the rows of a query result as DataRows (or COPY data) and returns how many were sent.
    uint64_t SendRows(duckdb_result& result, const std::vector<int16_t>& formats, bool sendDescription);
    // SQL PREPARE and DEALLOCATE: the engine forgets unknown names silently and
    // knows no DEALLOCATE ALL, so the names are kept here too; SET and RESET of a
    // setting the engine does not have. False: left to the engine.
    bool InterceptEngineStatement(const Statement& statement, const std::vector<int16_t>& formats, bool sendDescription,
                                  const std::vector<std::optional<std::string>>& params);
    EnginePlan PlanFor(const Statement& statement);
    void CopyToStdout(const Statement& query, bool binary);
    struct CopyTarget {
        bool binary;
    };
    void CopyRow(const std::vector<ColumnEncoder>& encoders, const std::vector<duckdb_vector>& vectors,
                 const std::vector<int16_t>& formats, const std::vector<ColumnDescription>& columns, idx_t row);

    // Loading rows: COPY FROM STDIN into a table or an external stream, the
    // streams' CREATE, CLOSE and DROP, and INSERT BULK (bulk_insert.cpp, copy_from_stdin.cpp).
    struct LoadTarget {
        std::string catalog, schema, table;  // as the engine's appender names them
    };
    // The table a COPY or INSERT BULK names; throws 3F000 or 42P01.
    LoadTarget ResolveLoadTarget(const std::vector<std::string>& name);
    void CopyFromStdin(const CopyFromStdinCommand& command);
    void CopyIntoStream(ExternalStream& stream, const CopyFromStdinCommand& command);
    // Reads CopyData into the cutter until CopyDone; throws SqlError on CopyFail or a bad message.
    void ReceiveCopyData(KlvcpyRowCutter& cutter, uint64_t maxBytes);
    // ReadMore for COPY data: large reads straight into the reader, a poll only when the socket is empty.
    bool ReceiveCopyBytes();
    // The cell layout of the columns a COPY names (all of them when none), in their order.
    std::vector<CopyColumn> DescribeLoadColumns(const LoadTarget& target, const std::vector<std::string>& named,
                                                const std::vector<Row>& columnRows);
    // A load failed: roll back its own transaction, or abort the caller's block.
    void AbandonWrites(bool ownTransaction);
    void CreateStream(const CreateStreamCommand& command);
    void CloseStream(const CloseStreamCommand& command);
    void DropStream(const DropStreamCommand& command);
    void InsertBulk(const InsertBulkCommand& command);
    void InsertFromStream(const InsertBulkCommand& command);
    StreamRegistry::Key StreamKey(const std::vector<std::string>& name) const;
    std::shared_ptr<ExternalStream> FindStream(const std::vector<std::string>& name) const;
    // Whether the client has hung up; checked while a statement waits for a stream.
    bool ClientGone() const;

    // The database commands (database_commands.cpp).
    void CreateDatabase(const std::string& path, bool ifNotExists);
    void DropDatabase(const std::string& path, bool ifExists);
    void Attach(const std::string& path, const std::string& alias);
    void Detach(const std::string& alias);
    void DetachAll();
    void CreateSchema(const std::string& database, const std::string& schema, bool ifNotExists);
    void CreateTable(const CreateTableCommand& command);
    void Show(const std::string& name);
    void Set(const std::string& name, const std::string& value);
    void UseFirstDatabase();
    SessionNames Names() const;

    // COMMIT of the load's own transaction. A commit that is durable although the
    // checkpoint after it failed counts as done: the client is warned, not told
    // that rows it must not send again were lost.
    void CommitOwnTransaction();
    // Whether the engine's error says that the commit itself succeeded.
    static bool CommittedDespite(const SqlError& error);
    // After an error that says a database of this session is invalidated: attach it anew.
    void RecoverInvalidated(const SqlError& error);
    void SendError(const ErrorFields& error);
    void Notice(const std::string& sqlstate, const std::string& message);
    void Flush();
    // Reads what the client sent; false when it hung up, the session stops or the deadline passes.
    bool ReadMore(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    int16_t FormatFor(const std::vector<int16_t>& formats, size_t column) const;
    int ExtraFloatDigits() const;
    int16_t DefaultFormat() const { return m_binaryResults ? 2 : 0; }

    ServerState& m_server;
    int m_fd;
    duckdb_connection m_connection = nullptr;
    ProtocolReader m_reader;
    uint64_t m_pendingInput = 0;  // this session's share of the server's bound on pending input
    ProtocolWriter m_writer;
    int32_t m_pid = 0;
    int32_t m_key = 0;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_stopping{false};
    // Held while the running flag changes and while another thread interrupts the engine.
    std::mutex m_interruptMutex;
    std::chrono::milliseconds m_startupTimeout;
    TransactionStatus m_transaction = kIdle;
    bool m_skipUntilSync = false;
    bool m_binaryResults = false;
    bool m_inSimpleQuery = false;  // COPY FROM STDIN needs the simple protocol
    CopyTarget* m_copy = nullptr;  // set while a COPY TO STDOUT runs its query
    // Counts the changes of what a rewrite depends on (attached databases,
    // settings, declared temporary tables), so that prepared statements notice.
    uint64_t m_namesGeneration = 0;

    std::vector<std::string> m_databases;  // attached aliases in order of attachment
    std::map<std::string, std::vector<ColumnDefinition>> m_tempTables;
    std::map<std::string, std::string> m_settings;  // start-up options and SET values
    std::map<std::string, std::shared_ptr<PreparedStatement>> m_prepared;
    std::set<std::string> m_sqlPrepared;  // names of SQL PREPARE, lower-cased as the engine folds them
    std::map<std::string, Portal> m_portals;
};

}  // namespace kelvod
