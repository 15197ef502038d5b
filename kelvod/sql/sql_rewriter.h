// Recognises the statements the server runs itself (database files and their
// aliases, schemas, tables whose declared types it must remember, settings,
// COPY TO STDOUT, and the loading statements: COPY FROM STDIN, external
// streams and INSERT BULK) and leaves everything else to the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// A column type as declared in CREATE TABLE: what the catalog reports and what the engine stores.
struct DeclaredType {
    uint32_t oid;
    int32_t modifier;        // -1: none
    std::string engineType;  // the engine's spelling
};

struct ColumnDefinition {
    std::string name;
    DeclaredType type;
    bool notNull = false;
    std::string collation;  // empty: the default
};

struct CreateDatabaseCommand {
    std::string path;
    bool ifNotExists = false;
};
struct DropDatabaseCommand {
    std::string path;
    bool ifExists = false;
};
struct AttachDatabaseCommand {
    std::string path;
    std::string alias;
};
struct DetachDatabaseCommand {
    std::string alias;
    bool all = false;
};
struct CreateSchemaCommand {
    std::string database;
    std::string schema;
    bool ifNotExists = false;
};
struct CreateTableCommand {
    bool temporary = false;
    bool ifNotExists = false;
    std::vector<std::string> name;  // one to three parts
    std::vector<ColumnDefinition> columns;
};
struct ShowCommand {
    std::string name;
};
struct SetCommand {
    std::string name;
    std::string value;
};
struct CopyToStdoutCommand {
    Statement query;
    bool binary = false;
};
// COPY name [(columns)] FROM STDIN WITH (FORMAT KELVOBINARY[, SANITIZE]): into a table or an external stream.
struct CopyFromStdinCommand {
    std::vector<std::string> target;   // one to three parts
    std::vector<std::string> columns;  // empty: all, in table order
};
struct CreateStreamCommand {
    bool ifNotExists = false;
    std::vector<std::string> name;
    std::vector<ColumnDefinition> columns;
};
struct CloseStreamCommand {
    std::vector<std::string> name;
};
struct DropStreamCommand {
    std::vector<std::string> name;
    bool ifExists = false;
};
// INSERT BULK INTO table [(columns)] (SELECT list [FROM EXTERNAL STREAM name]).
struct InsertBulkCommand {
    std::vector<std::string> target;
    std::vector<std::string> columns;
    Statement selectList;             // the tokens between SELECT and FROM (or the closing parenthesis)
    std::vector<std::string> stream;  // empty: computed expressions only
};
struct RefusedCommand {
    std::string sqlstate;
    std::string message;
};
struct EngineStatement {};

using Command = std::variant<EngineStatement, CreateDatabaseCommand, DropDatabaseCommand, AttachDatabaseCommand,
                             DetachDatabaseCommand, CreateSchemaCommand, CreateTableCommand, ShowCommand, SetCommand,
                             CopyToStdoutCommand, CopyFromStdinCommand, CreateStreamCommand, CloseStreamCommand,
                             DropStreamCommand, InsertBulkCommand, RefusedCommand>;

// Throws SqlError for a recognised statement with bad arguments.
Command ClassifyStatement(const Statement& statement);

// The COPY FROM, external stream and INSERT BULK statements; empty for any other statement.
// Throws SqlError for one of them written wrongly.
std::optional<Command> ClassifyLoadStatement(const Statement& statement);

// Parses a type name as the library writes it (e.g. "VARCHAR(100)", "NUMERIC(18,3)").
// Throws SqlError for an unknown type or an invalid modifier.
DeclaredType ParseDeclaredType(const std::vector<const Token*>& tokens, size_t& pos);

// Reads the NOT NULL, NULL and COLLATE clauses that may follow a column's type
// into `column`, stopping at the first token that is none of them.
void ParseColumnConstraints(const std::vector<const Token*>& tokens, size_t& pos, ColumnDefinition& column);

// NUMERIC and DECIMAL without precision, on every road: the engine's own default
// (18,3) would round where the tables the server creates keep ten decimals.
inline constexpr const char* kUnconstrainedNumeric = "DECIMAL(38,10)";
// The engine's spelling of the statement's type names that it reads otherwise
// than PostgreSQL (per token; null: as written): NUMERIC or DECIMAL without
// precision, and FLOAT without precision, which is double precision. Types
// stand after "::", after AS inside CAST, and as a column's type in CREATE
// TABLE and ALTER TABLE.
std::vector<const char*> EngineTypeSpellings(const Statement& statement);

// SAVEPOINT, RELEASE [SAVEPOINT] and ROLLBACK [WORK | TRANSACTION] TO: the
// engine has no savepoints, so these are refused and the block fails as a whole.
bool IsSavepointStatement(const Statement& statement);

// The statement with each chr(n) refusing n = 0 (54000), as PostgreSQL does:
// text holds no NUL character, which the engine's chr(0) would make.
Statement WithNulCharactersRefused(const Statement& statement);

// A command tag for a statement the engine ran, from its first words.
std::string CommandTagFor(const Statement& statement);

}  // namespace kelvod
