// A statement the engine has prepared, with the answer to Describe worked out
// once: the simple protocol makes one per statement, the extended protocol
// keeps one per prepared statement and reuses it at every Bind and Execute.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/protocol/protocol_writer.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

struct EnginePlan {
    std::string rewritten;  // the rewrite's text, before columns without an encoding are cast to text
    PreparedStatementHandle prepared;
    uint64_t namesGeneration = 0;  // the session's names the rewrite saw
    duckdb_statement_type type = DUCKDB_STATEMENT_TYPE_INVALID;
    idx_t parameterCount = 0;
    std::vector<duckdb_type> parameterTypes;  // as the engine inferred them; INVALID where it could not
    std::vector<uint32_t> parameterOids;      // what Describe tells: text where the engine could not tell
    bool returnsRows = false;
    std::vector<ColumnDescription> columns;  // in the text format
};

// Prepares the rewritten text of `statement`; a query's columns of types
// without an encoding are cast to text. A parameter type declared at Parse
// (`declared`, 0 where none) types its parameter. Throws SqlError.
EnginePlan PrepareEnginePlan(duckdb_connection connection, const Statement& statement, std::string rewritten,
                             uint64_t namesGeneration, const std::vector<uint32_t>& declared = {});

// Binds the parameters (all in the text format; a NULL as itself). Throws SqlError 08P01 or 22P02.
// A text that is plainly a value of the type the engine inferred is bound as
// that value: the engine binds a statement again when a value's type differs
// from its parameter's, which would undo preparing it once.
void BindTextParameters(EnginePlan& plan, const std::vector<std::optional<std::string>>& params);

// Whether the engine fixes, when it plans the statement, a value that may
// change before a later run (current_setting('...') reads a setting then).
bool FoldsSettings(const Statement& statement);

// The engine's name of a result column.
std::string PreparedColumnName(duckdb_prepared_statement prepared, idx_t column);

}  // namespace kelvod
