// Clients reach the files of the server's host only through the databases that
// they create, attach and detach. The engine is the wall: external access is off
// in it, only the database directory and the server's own directory are open to
// it (engine_paths.h), and its configuration is locked. What is refused here,
// before the engine sees it, is a second layer: statements and functions that
// read or write files, and the engine's logs, secrets and catalogs, which are
// one for all sessions.
#pragma once

#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// Throws SqlError 42501 when the statement (or the one a PREPARE or an EXPLAIN
// carries) names a function that reads files or other statements' text, scans a
// file named in its FROM clause, or reads the engine's shared logs, secrets or
// catalogs.
void RefuseFileAccess(const Statement& statement);

// Throws SqlError 42501 for engine statements that reach files or extensions
// (COPY to or from files, EXPORT and IMPORT, LOAD and INSTALL, ATTACH and DETACH
// written for the engine, PRAGMA).
void RefuseFileStatementType(duckdb_statement_type type);
// The same for a prepared engine text of `type`; an EXPLAIN is judged by the
// statement it carries.
void RefuseFileStatement(duckdb_connection connection, const std::string& text, duckdb_statement_type type);

// Run once at start-up, before any client: the engine spills to
// `spillDirectory`, reaches no files but in `allowedDirectories` and
// `allowedFiles`, installs and loads no extension on demand, keeps no
// persistent secret, and its settings can no longer be changed by clients.
void LockEngineDown(duckdb_connection connection, const std::string& spillDirectory,
                    const std::vector<std::string>& allowedDirectories, const std::vector<std::string>& allowedFiles);

}  // namespace kelvod
