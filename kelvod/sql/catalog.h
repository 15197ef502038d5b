// The catalog the library reads: pg_namespace, pg_tables, pg_class,
// pg_attribute and pg_collation of one attached database, with PostgreSQL type
// OIDs and modifiers, and the three name-resolving functions. The engine has no
// such tables and forgets declared types (VARCHAR lengths, OID, CHAR), so the
// server keeps each table's declared columns in the database's own schema
// "pellory" and serves the catalog from the engine's metadata joined with them.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/sql/sql_lexer.h"
#include "kelvod/sql/sql_rewriter.h"

namespace kelvod {

constexpr const char* kServerSchema = "pellory";
constexpr const char* kTempSchema = "pg_temp";

// What the catalog needs to know of one session.
struct SessionNames {
    std::vector<std::string> databases;  // attached aliases, first one first
    const std::map<std::string, std::vector<ColumnDefinition>>* tempTables = nullptr;  // declared temp columns
    std::vector<std::string> searchPath{"public", "main"};  // schemas of the first database, in order
    // The engine's attachments are shared by all sessions; this tells the
    // aliases of other sessions, which this session must not reach.
    std::function<bool(const std::string&)> isOtherSessionsAlias;
    // The (schema, name) of the external streams of a database alias: pg_class lists them with relkind 'x'.
    std::function<std::vector<std::pair<std::string, std::string>>(const std::string&)> streams;
};

using Row = std::vector<std::optional<std::string>>;
// Runs a query and returns its values as text; throws SqlError.
std::vector<Row> QueryText(duckdb_connection connection, const std::string& sql);

// Replaces catalog table references and the resolving functions by what they
// stand for, and returns the text for the engine. Throws SqlError (3F000 for a
// database prefix that the session has not attached).
std::string RewriteForEngine(const Statement& statement, duckdb_connection connection, const SessionNames& names);
// Whether the rewrite of the statement depends on more than the session's names:
// on the catalog (its tables and the resolving functions) or on the databases
// other sessions attach. Such a statement is rewritten again before every run.
bool RewriteReadsCatalog(const Statement& statement);

// Makes the server's schema and its column table in a database.
void PrepareServerSchema(duckdb_connection connection, const std::string& database);
// Remembers the declared columns of a table that was just created.
void RecordDeclaredColumns(duckdb_connection connection, const std::string& database, const std::string& schema,
                           const std::string& table, const std::vector<ColumnDefinition>& columns);

// Where an unqualified table or schema name resolves; empty when nowhere.
std::optional<std::pair<std::string, std::string>> ResolveTable(duckdb_connection connection, const SessionNames& names,
                                                                const std::string& table);
std::optional<std::string> ResolveSchema(duckdb_connection connection, const SessionNames& names,
                                         const std::string& schema);

}  // namespace kelvod
