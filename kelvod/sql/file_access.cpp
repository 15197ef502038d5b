// Refusing SQL access to files, to the engine's logs, secrets and catalogs, and
// locking the engine down.
#include "kelvod/sql/file_access.h"

#include <algorithm>
#include <string>
#include <vector>

#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

namespace {

[[noreturn]] void Refuse(const std::string& what) {
    throw SqlError("42501", what + " is not allowed: clients reach files only as databases.",
                   "Load data with COPY FROM STDIN and read it with queries or COPY TO STDOUT.");
}

[[noreturn]] void RefuseShared(const std::string& what) {
    throw SqlError("42501", what + " is not allowed: it is shared by every session of the server.",
                   "Read this session's catalog through pg_catalog.");
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool OneOf(const std::string& s, std::initializer_list<const char*> words) {
    for (const char* w : words) {
        if (s == w)
            return true;
    }
    return false;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Whether `name` is one of the space-separated `names`.
bool Listed(const char* names, const std::string& name) {
    return (std::string(" ") + names + " ").find(" " + name + " ") != std::string::npos;
}

// Functions that read or write files, or run SQL text past this check;
// arrow_scan reads the memory its arguments point at; the parser switches are
// the engine's.
bool ReachesFiles(const std::string& name) {
    return Listed(
               "glob sniff_csv query query_table json_execute_serialized_sql st_read st_read_meta delta_scan "
               "sql_auto_complete enable_profiling disable_profiling enable_profile disable_profile arrow_scan "
               "arrow_scan_dumb enable_peg_parser disable_peg_parser copy_database import_database",
               name) ||
           StartsWith(name, "read_") || StartsWith(name, "parquet_") || StartsWith(name, "iceberg_");
}

// The engine's logs, secrets and catalogs are one for all sessions: they show
// other sessions' statements, secrets, database paths and private tables; the
// server's own functions (kelvod_load_feed) carry other sessions' loads.
bool IsSharedCatalog(const std::string& name) {
    return Listed(
               "enable_logging disable_logging truncate_duckdb_logs write_log duckdb_logs duckdb_logs_parsed "
               "duckdb_log_contexts duckdb_secrets which_secret duckdb_databases duckdb_schemas duckdb_tables "
               "duckdb_columns duckdb_views duckdb_indexes duckdb_constraints duckdb_sequences duckdb_types "
               "duckdb_functions duckdb_dependencies duckdb_temporary_files duckdb_prepared_statements "
               "duckdb_external_file_cache duckdb_table_sample database_list database_size show_databases "
               "information_schema pg_tables pg_class pg_namespace pg_attribute pg_database pg_views pg_indexes "
               "pg_index pg_proc pg_type pg_sequence pg_sequences pg_constraint pg_settings "
               "pg_prepared_statements pg_description pg_attrdef pg_enum pg_collation pg_tablespace pg_am "
               "pg_get_viewdef pg_get_constraintdef pg_get_expr obj_description col_description "
               "shobj_description kelvod_load_feed",
               name) ||
           StartsWith(name, "pragma_");
}

// The catalog tables the server serves itself (catalog.h) for the session alone.
bool IsServedCatalog(const std::string& name) {
    return Listed("pg_namespace pg_tables pg_class pg_attribute pg_collation", name);
}

// The names the engine scans as files when no table has them.
bool LooksLikeFile(std::string name) {
    if (name.find('/') != std::string::npos || name.find(':') != std::string::npos)
        return true;
    name = Lower(name);
    for (const char* ext : {".csv", ".tsv", ".txt", ".parquet", ".json", ".jsonl", ".ndjson", ".gz", ".zst", ".xlsx",
                            ".arrow", ".db", ".duckdb", ".kelvo"}) {
        if (name.find(ext) != std::string::npos)
            return true;
    }
    return false;
}

// A quoted string, also $$dollar-quoted$$ (the lexer keeps those as they stand).
bool IsText(const Tokens& t, size_t i) {
    if (i >= t.size())
        return false;
    const Token& k = *t[i];
    return k.kind == Token::Kind::String ||
           (k.kind == Token::Kind::Other && k.text.size() >= 2 && k.text.front() == '$' && k.text.back() == '$');
}

// Where the statement a PREPARE or an EXPLAIN carries begins; 0 for any other.
size_t InnerStatement(const Tokens& t) {
    size_t i = 0;
    for (;;) {
        if (IsWord(t, i, "prepare")) {
            while (i < t.size() && !IsWord(t, i, "as"))
                ++i;
            ++i;
        } else if (IsWord(t, i, "explain")) {
            ++i;
            while (IsWord(t, i, "analyze") || IsWord(t, i, "analyse") || IsWord(t, i, "verbose"))
                ++i;
            if (IsSymbol(t, i, "(")) {
                int depth = 0;
                do {
                    depth += IsSymbol(t, i, "(") ? 1 : IsSymbol(t, i, ")") ? -1 : 0;
                    ++i;
                } while (depth > 0 && i < t.size());
            }
        } else {
            return i;
        }
    }
}

// Words before "(" that open an expression or a query, not a function's arguments.
bool OpensQuery(const Tokens& t, size_t open) {
    if (open == 0 || !IsName(t, open - 1))
        return true;
    return t[open - 1]->kind == Token::Kind::Word &&
           OneOf(t[open - 1]->value,
                 {"from", "join",  "in",     "exists",  "any",   "all",    "some",      "array",        "lateral",
                  "as",   "on",    "using",  "select",  "where", "and",    "or",        "not",          "when",
                  "then", "else",  "values", "by",      "with",  "union",  "except",    "intersect",    "set",
                  "into", "table", "having", "qualify", "limit", "offset", "returning", "materialized", "is"});
}

// Per parenthesis level: whether "," there starts another FROM item, and
// whether a FROM there would begin a clause (not EXTRACT(x FROM y)).
struct Level {
    bool inFrom = false;
    bool query = true;
};

void RefuseFileStatementWords(const Tokens& t, size_t body) {
    for (const char* first : {"import", "export", "install", "load", "pragma", "attach", "detach", "copy"}) {
        if (IsWord(t, body, first) && (body > 0 || std::string(first) != "copy"))
            Refuse("The statement " + t[body]->text);
    }
    if (IsWord(t, body, "force") && IsWord(t, body + 1, "install"))
        Refuse("The statement FORCE INSTALL");
    if (IsWord(t, body, "show") && (IsWord(t, body + 1, "databases") || IsWord(t, body + 1, "all")))
        RefuseShared("SHOW " + t[body + 1]->text);
    if (IsWord(t, body, "update") && IsWord(t, body + 1, "extensions"))
        Refuse("UPDATE EXTENSIONS");
    // CREATE [OR REPLACE] [PERSISTENT | TEMPORARY] SECRET, DROP [...] SECRET
    if (IsWord(t, body, "create") || IsWord(t, body, "drop")) {
        for (size_t i = body + 1; i < t.size() && i <= body + 4; ++i) {
            if (IsWord(t, i, "secret"))
                RefuseShared("A secret");
        }
    }
}

}  // namespace

void RefuseFileAccess(const Statement& statement) {
    Tokens t = statement.Significant();
    RefuseFileStatementWords(t, InnerStatement(t));
    std::vector<Level> levels(1);
    for (size_t i = 0; i < t.size(); ++i) {
        Level& level = levels.back();
        if (IsSymbol(t, i, "(")) {
            Level inner;
            inner.query = OpensQuery(t, i);
            levels.push_back(inner);
            continue;
        }
        if (IsSymbol(t, i, ")")) {
            if (levels.size() > 1)
                levels.pop_back();
            continue;
        }
        // FROM in IS [NOT] DISTINCT FROM, EXTRACT(x FROM y) and TRIM(x FROM y) begins no clause.
        bool distinctFrom = IsWord(t, i, "from") && i >= 2 && IsWord(t, i - 1, "distinct") &&
                            (IsWord(t, i - 2, "is") || IsWord(t, i - 2, "not"));
        bool clauseFrom = IsWord(t, i, "from") && !distinctFrom && level.query;
        if (IsWord(t, i, "select"))
            level.query = true;
        if (clauseFrom || IsWord(t, i, "join"))
            level.inFrom = true;
        if (t[i]->kind == Token::Kind::Word &&
            OneOf(t[i]->value, {"where", "group", "order", "having", "limit", "select", "union", "except", "intersect",
                                "window", "qualify", "returning", "set", "values", "offset"}))
            level.inFrom = false;
        if (IsName(t, i)) {
            std::string name = Lower(t[i]->value);
            bool call = IsSymbol(t, i + 1, "(");
            if (call && ReachesFiles(name))
                Refuse("The function " + t[i]->value);
            bool afterDot = i > 0 && IsSymbol(t, i - 1, ".");
            bool served = afterDot && i >= 2 && IsName(t, i - 2) && Lower(t[i - 2]->value) == "pg_catalog" &&
                          IsServedCatalog(name);
            if (IsSharedCatalog(name) && !served)
                RefuseShared("The engine's catalog " + t[i]->value);
        }
        // FROM 'file.csv', FROM "data.parquet", FROM $$f$$: the engine would scan the file.
        bool scans = i > 0 && ((IsWord(t, i - 1, "from") && levels.back().inFrom) ||
                               (t[i - 1]->kind == Token::Kind::Word &&
                                OneOf(t[i - 1]->value, {"join", "summarize", "describe", "show", "pivot", "unpivot",
                                                        "pivot_wider", "pivot_longer"})));
        bool fromItem = scans || (levels.back().inFrom && i > 0 && IsSymbol(t, i - 1, ","));
        if (fromItem && IsText(t, i))
            Refuse("Reading a file in FROM");
        if (fromItem && t[i]->kind == Token::Kind::Identifier && !IsSymbol(t, i + 1, ".") && LooksLikeFile(t[i]->value))
            Refuse("Reading a file in FROM");
    }
}

void RefuseFileStatementType(duckdb_statement_type type) {
    switch (type) {
        case DUCKDB_STATEMENT_TYPE_COPY:
            Refuse("COPY to or from a file");
        case DUCKDB_STATEMENT_TYPE_EXPORT:
            Refuse("EXPORT DATABASE");
        case DUCKDB_STATEMENT_TYPE_LOAD:
        case DUCKDB_STATEMENT_TYPE_EXTENSION:
            Refuse("Loading an extension");
        case DUCKDB_STATEMENT_TYPE_ATTACH:
        case DUCKDB_STATEMENT_TYPE_DETACH:
            Refuse("This form of ATTACH or DETACH");
        case DUCKDB_STATEMENT_TYPE_PRAGMA:
            Refuse("PRAGMA");
        default:
            return;
    }
}

void RefuseFileStatement(duckdb_connection connection, const std::string& text, duckdb_statement_type type) {
    RefuseFileStatementType(type);
    if (type != DUCKDB_STATEMENT_TYPE_EXPLAIN)
        return;
    // The engine calls every EXPLAIN [ANALYZE] an EXPLAIN, whatever it runs:
    // the statement it carries is prepared alone (which runs nothing) and judged.
    auto statements = SplitStatements(text);
    Tokens t = statements.front().Significant();
    size_t inner = InnerStatement(t);
    std::string innerText;
    for (size_t i = inner; i < t.size(); ++i)
        innerText += t[i]->text + " ";
    PreparedStatementHandle ps;
    if (duckdb_prepare(connection, innerText.c_str(), ps.Out()) == DuckDBError) {
        throw TextError(duckdb_prepare_error(ps.Get()), "Prepare failed");
    }
    RefuseFileStatement(connection, innerText, duckdb_prepared_statement_type(ps.Get()));
}

// A load lifts preserve_insertion_order for its own statement; a client may set
// memory_limit, though not below its floor (memory_limit_setting.h).
void LockEngineDown(duckdb_connection connection, const std::string& spillDirectory,
                    const std::vector<std::string>& allowedDirectories, const std::vector<std::string>& allowedFiles) {
    auto list = [](const std::vector<std::string>& items) {
        std::string out;
        for (const auto& i : items)
            out += (out.empty() ? "" : ", ") + QuoteLiteral(i);
        return "[" + out + "]";
    };
    for (const std::string& sql :
         {"SET temp_directory = " + QuoteLiteral(spillDirectory),
          "SET allowed_directories = " + list(allowedDirectories), "SET allowed_paths = " + list(allowedFiles),
          std::string("SET autoinstall_known_extensions = false"), std::string("SET autoload_known_extensions = false"),
          std::string("SET allow_community_extensions = false"), std::string("SET allow_persistent_secrets = false"),
          std::string("SET enable_external_access = false"),
          std::string("SET allowed_configs = ['search_path', 'schema', 'preserve_insertion_order', 'memory_limit']"),
          std::string("SET lock_configuration = true")})
        RunEngine(connection, sql);
}

}  // namespace kelvod
