// The loader: COPY ... FROM STDIN WITH (FORMAT KELVOBINARY) into a table or an
// external stream, the external streams' CREATE, CLOSE and DROP, and INSERT
// BULK from a stream. The statement runner hands it these statements; it
// borrows the session's context and its database commands.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kelvod/loading/external_stream.h"
#include "kelvod/loading/klvcpy_decoder.h"
#include "kelvod/protocol/session_context.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/database_commands.h"
#include "kelvod/sql/sql_rewriter.h"

namespace kelvod {

class Loader {
public:
    Loader(SessionContext& context, DatabaseCommands& commands) : m_context(context), m_commands(commands) {}

    void CopyFromStdin(const CopyFromStdinCommand& command);
    void CreateStream(const CreateStreamCommand& command);
    void CloseStream(const CloseStreamCommand& command);
    void DropStream(const DropStreamCommand& command);
    // INSERT BULK ... FROM EXTERNAL STREAM: reads the stream's batches until it is closed.
    void InsertFromStream(const InsertBulkCommand& command);

private:
    struct LoadTarget {
        std::string catalog, schema, table;  // as the engine's appender names them
    };
    // The table a COPY or INSERT BULK names; throws 3F000 or 42P01.
    LoadTarget ResolveLoadTarget(const std::vector<std::string>& name);
    void CopyIntoTable(const CopyFromStdinCommand& command);
    // Receives the rows and has the engine insert them as they come; returns how many.
    uint64_t LoadIntoTable(const LoadTarget& target, const CopyFromStdinCommand& command,
                           const std::vector<Row>& columnRows);
    void CopyIntoStream(ExternalStream& stream, const CopyFromStdinCommand& command);
    // Reads CopyData into the cutter until CopyDone; throws SqlError on CopyFail,
    // a bad message or a cancel request.
    void ReceiveCopyData(KlvcpyRowCutter& cutter, uint64_t maxBytes);
    // The cell layout of the columns a COPY names (all of them when none), in their order.
    std::vector<CopyColumn> DescribeLoadColumns(const LoadTarget& target, const std::vector<std::string>& named,
                                                const std::vector<Row>& columnRows);
    // COMMIT of the load's own transaction. A commit that is durable although the
    // checkpoint after it failed counts as done: the client is warned, not told
    // that rows it must not send again were lost.
    void CommitOwnTransaction();
    // A load failed: roll back its own transaction, or abort the caller's block.
    void AbandonWrites(bool ownTransaction);
    // Runs a load under the statement's cancel lease, then commits its own
    // transaction with the lease ended; on failure, abandons what it wrote.
    template <typename Load>
    uint64_t RunLoad(SessionContext::RunningStatement& running, bool ownTransaction, Load&& load);
    StreamRegistry::Key StreamKey(const std::vector<std::string>& name) const;
    std::shared_ptr<ExternalStream> FindStream(const std::vector<std::string>& name) const;
    // The stream a statement names; throws 42P01 when there is none.
    std::shared_ptr<ExternalStream> ExistingStream(const std::vector<std::string>& name) const;
    static SqlError StreamMissing(const std::vector<std::string>& name);

    SessionContext& m_context;
    DatabaseCommands& m_commands;
};

}  // namespace kelvod
