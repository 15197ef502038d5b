// Clients reach the files of the server's host only through the databases that
// they create, attach and detach. The engine's own lock-down cannot be used: it
// would also refuse the database files, which live wherever clients put them. So
// the statements and functions that read or write other files are refused here,
// before the engine sees them, and the engine's settings are locked.
#pragma once

#include "duckdb.h"
#include "kelvod/sql_lexer.h"

namespace kelvod {

// Throws SqlError 42501 when the statement names a function that reads files or
// other statements' text, or scans a file named in its FROM clause.
void RefuseFileAccess(const Statement& statement);

// Throws SqlError 42501 for engine statements that reach files or extensions
// (COPY to or from files, EXPORT and IMPORT, LOAD and INSTALL, ATTACH and DETACH
// written for the engine, PRAGMA).
void RefuseFileStatementType(duckdb_statement_type type);

// Run once at start-up, before any client: no extension is installed or loaded on
// demand, and the engine's settings can no longer be changed by clients.
void LockEngineDown(duckdb_connection connection);

}  // namespace kelvod
