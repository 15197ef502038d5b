// The statement runner: classifies a statement, rewrites it for the engine,
// runs it and encodes its result in one pass (DataRows, or COPY data for COPY
// TO STDOUT), or hands it to the database commands and the loader. The protocol
// session runs simple queries and portals through it; it borrows the session's
// context, and the extended protocol's statements, whose names SQL PREPARE and
// DEALLOCATE share.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "duckdb.h"
#include "kelvod/loading/loader.h"
#include "kelvod/protocol/prepared_statement.h"
#include "kelvod/protocol/session_context.h"
#include "kelvod/sql/database_commands.h"
#include "kelvod/values/value_encoding.h"

namespace kelvod {

class StatementRunner {
public:
    StatementRunner(SessionContext& context, DatabaseCommands& commands, Loader& loader,
                    PreparedStatements& protocolStatements)
        : m_context(context), m_commands(commands), m_loader(loader), m_protocolStatements(protocolStatements) {}

    // One statement of a simple query: RowDescription, rows and CommandComplete.
    void RunSimple(const Statement& statement);
    // A portal's statement: rows in `formats` and CommandComplete, no RowDescription.
    void RunPortal(PreparedStatement& prepared, const std::vector<int16_t>& formats,
                   const std::vector<std::optional<std::string>>& params);
    // Statements of one batch share one implicit transaction, as in PostgreSQL:
    // the first that runs outside a block opens it, an error rolls it back
    // (AbandonBatch), the end of the batch commits it (EndBatch, which throws
    // SqlError when the commit fails).
    void BeginBatch() { m_batch = true; }
    void EndBatch();
    void AbandonBatch();
    // The engine's plan of a statement, rewritten against the session's names as they are now.
    EnginePlan Plan(const Statement& statement, const std::vector<uint32_t>& declaredTypes = {});
    // The plan of a prepared statement as it stands now: made again only when
    // the session's names changed or the statement reads the catalog and its
    // rewrite came out different.
    EnginePlan& CurrentPlan(PreparedStatement& prepared);

private:
    // A statement with what Run reads of it, worked out once: a prepared
    // statement keeps it from Parse, a simple query's statement is classified here.
    struct Classified {
        const Statement& statement;
        const Command& command;
        const std::string& tag;  // CommandTagFor
        bool savepoint;          // IsSavepointStatement
    };
    void Run(const Classified& classified, const std::vector<int16_t>& formats, bool sendDescription,
             const std::vector<std::optional<std::string>>& params, PreparedStatement* prepared, bool simpleQuery);
    // In a failed block only COMMIT and ROLLBACK run, and both roll back.
    void EndFailedBlock(const std::string& tag);
    // Opens the batch's implicit transaction for `command` if it needs one; false
    // when the statement was BEGIN and has made the open one explicit.
    bool JoinBatch(const std::string& tag, const Command& command);
    void CommitImplicit();
    // The statements the server runs itself: database commands and loads.
    void RunServerCommand(const Command& command, const std::vector<int16_t>& formats, bool sendDescription,
                          bool simpleQuery);
    void RunEngineStatement(const Statement& statement, const std::string& tag, EnginePlan& plan,
                            const std::vector<int16_t>& formats, bool sendDescription,
                            const std::vector<std::optional<std::string>>& params);
    // Streams the rows of a query result as DataRows (or COPY data) and returns how many were sent.
    uint64_t SendRows(duckdb_result& result, const std::vector<int16_t>& formats, bool sendDescription);
    // SQL PREPARE and DEALLOCATE: the engine forgets unknown names silently and
    // knows no DEALLOCATE ALL, so the names are kept here too; SET and RESET of a
    // setting the engine does not have. False: left to the engine.
    bool InterceptEngineStatement(const Statement& statement, const std::string& tag,
                                  const std::vector<int16_t>& formats, bool sendDescription,
                                  const std::vector<std::optional<std::string>>& params);
    // INSERT BULK without a stream is the INSERT ... SELECT it spells.
    void InsertSelect(const InsertBulkCommand& command);
    // The plan of a simple query's statement, kept by its text (as a prepared
    // statement's is, and made again under the same rules) for the reads and
    // writes a client sends again and again; other statements' plans are made
    // into `once`.
    EnginePlan& KeptPlan(const Statement& statement, std::optional<EnginePlan>& once);
    void CopyToStdout(const Statement& query, bool binary);
    struct CopyTarget {
        bool binary;
    };
    void CopyRow(const std::vector<ColumnEncoder>& encoders, const std::vector<duckdb_vector>& vectors,
                 const std::vector<int16_t>& formats, const std::vector<ColumnDescription>& columns, idx_t row);

    SessionContext& m_context;
    DatabaseCommands& m_commands;
    Loader& m_loader;
    PreparedStatements& m_protocolStatements;
    std::unordered_map<std::string, PreparedStatement> m_keptPlans;
    std::set<std::string> m_sqlPrepared;  // names of SQL PREPARE, lower-cased as the engine folds them
    CopyTarget* m_copy = nullptr;         // set while a COPY TO STDOUT runs its query
    bool m_batch = false;                 // statements run now belong to a batch
};

}  // namespace kelvod
