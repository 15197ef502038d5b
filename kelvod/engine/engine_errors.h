// Turns the engine's failures into the fields of an ErrorResponse with the
// nearest PostgreSQL SQLSTATE. The engine's error type chooses the code; its
// text ("Table with name t does not exist!\nDid you mean ...") only tells apart
// cases of one type and gives the message, hint and detail.
#pragma once

#include <string_view>

#include "duckdb.h"
#include "kelvod/protocol/protocol_writer.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// `text` may lead with the engine's "<Kind> Error: ", or be the JSON form in
// which the engine passes some errors on from its threads; a type named there
// is the original failure's and stands before `type`.
ErrorFields EngineErrorFields(duckdb_error_type type, std::string_view text);

// A failure the engine reported, as the client sees it; the engine's type stays
// with it for the server's own checks.
struct EngineError : SqlError {
    duckdb_error_type type;
    std::string detail;
    EngineError(duckdb_error_type engineType, const ErrorFields& fields)
        : SqlError(fields.sqlstate, fields.message, fields.hint), type(engineType), detail(fields.detail) {}
    ErrorFields Fields() const;
};

// The failure of a result whose query or fetch the engine refused.
EngineError ResultError(duckdb_result& result);
// The failure behind an appender's error data; `fallback` when it holds none.
EngineError ErrorDataError(duckdb_error_data error, const char* fallback);
// A failure that the engine reports as text only (a prepare, a pending result):
// its type is the one that its "<Kind> Error: " lead names.
EngineError TextError(const char* text, const char* fallback);

// Whether the engine's error of a COMMIT says that the commit itself succeeded
// (it is durable; only the checkpoint after it failed).
bool CommittedDespite(const EngineError& error);

// Whether a ROLLBACK failed only because the connection had no transaction open.
bool NoTransactionWasActive(const EngineError& error);

}  // namespace kelvod
