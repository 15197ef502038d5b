// The extended protocol: Parse does the work a statement needs before it runs
// (split, classify, rewrite, prepare) once, and Bind, Describe and Execute use
// what Parse kept. Its portals are its own; its prepared statements belong to
// the protocol session, which lends them to the statement runner too, since
// SQL PREPARE and DEALLOCATE share their names.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "kelvod/protocol/prepared_statement.h"
#include "kelvod/protocol/protocol_reader.h"
#include "kelvod/protocol/session_context.h"
#include "kelvod/sql/statement_runner.h"

namespace kelvod {

class ExtendedProtocol {
public:
    ExtendedProtocol(SessionContext& context, StatementRunner& runner, PreparedStatements& statements)
        : m_context(context), m_runner(runner), m_prepared(statements) {}

    // Parse, Bind, Describe, Execute or Close; throws SqlError for the session to report.
    void Handle(const Request& request);
    // Sync: the unnamed portal ends, and ReadyForQuery goes out.
    void Sync();

private:
    void Parse(const ParseMessage& message);
    // A Parse of the unnamed statement's text again keeps what the last one made; false when it cannot.
    bool ReuseUnnamed(const ParseMessage& message);
    void Bind(const BindMessage& message);
    void Describe(const DescribeMessage& message);
    void Execute(const ExecuteMessage& message);
    void Close(const CloseMessage& message);
    // Answers Describe from what Parse prepared: ParameterDescription (for a
    // statement), then RowDescription or NoData.
    void DescribePrepared(PreparedStatement& prepared, const std::vector<int16_t>& formats, bool withParameters);
    // In a failed block only COMMIT and ROLLBACK (by their command tags) are accepted.
    void RefuseInFailedBlock(const std::string& tag) const;

    SessionContext& m_context;
    StatementRunner& m_runner;
    PreparedStatements& m_prepared;
    std::map<std::string, Portal> m_portals;
};

}  // namespace kelvod
