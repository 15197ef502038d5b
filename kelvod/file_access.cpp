// Refusing SQL access to files.
#include "kelvod/file_access.h"

#include <algorithm>
#include <string>

#include "kelvod/attachments.h"
#include "kelvod/statement_tokens.h"

namespace kelvod {

namespace {

[[noreturn]] void Refuse(const std::string& what) {
    throw SqlError("42501", what + " is not allowed: clients reach files only as databases.",
                   "Load data with COPY FROM STDIN and read it with queries or COPY TO STDOUT.");
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Functions that read files, or run SQL text past this check.
bool ReachesFiles(const std::string& name) {
    static const char* const kNames[] = {
        "glob",         "sniff_csv",  "query",        "query_table",      "json_execute_serialized_sql", "st_read",
        "st_read_meta", "delta_scan", "iceberg_scan", "iceberg_metadata", "iceberg_snapshots",           "parquet_scan",
        "read_text",    "read_blob"};
    for (const char* n : kNames)
        if (name == n)
            return true;
    return StartsWith(name, "read_") || StartsWith(name, "parquet_") || StartsWith(name, "iceberg_");
}

// The names the engine scans as files when no table has them.
bool LooksLikeFile(std::string name) {
    if (name.find('/') != std::string::npos || name.find(':') != std::string::npos)
        return true;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* ext : {".csv", ".tsv", ".txt", ".parquet", ".json", ".jsonl", ".ndjson", ".gz", ".zst", ".xlsx",
                            ".arrow", ".db", ".duckdb", ".kelvo"})
        if (name.size() >= std::char_traits<char>::length(ext) && name.find(ext) != std::string::npos)
            return true;
    return false;
}

}  // namespace

void RefuseFileAccess(const Statement& statement) {
    Tokens t = statement.Significant();
    // A prepared statement runs later as EXECUTE, so its body is judged now.
    size_t body = 0;
    if (IsWord(t, 0, "prepare"))
        while (body < t.size() && !IsWord(t, body, "as"))
            ++body;
    if (body > 0)
        ++body;
    for (const char* first : {"import", "export", "install", "load", "pragma", "attach", "detach", "copy"})
        if (IsWord(t, body, first) && (body > 0 || std::string(first) != "copy"))
            Refuse("The statement " + t[body]->text);
    bool inFrom = false;  // between FROM and the clause after it, where "," starts another scan
    for (size_t i = 0; i < t.size(); ++i) {
        if (IsWord(t, i, "from") || IsWord(t, i, "join"))
            inFrom = true;
        for (const char* w : {"where", "group", "order", "having", "limit", "select", "on", "using", "union", "except",
                              "intersect", "window", "qualify", "returning", "set", "values"})
            if (IsWord(t, i, w))
                inFrom = false;
        bool call = IsSymbol(t, i + 1, "(");
        if (call && (t[i]->kind == Token::Kind::Word || t[i]->kind == Token::Kind::Identifier)) {
            std::string name = t[i]->value;
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            if (ReachesFiles(name))
                Refuse("The function " + t[i]->value);
        }
        // FROM 'file.csv' and FROM "data.parquet": the engine would scan the file.
        bool scans = i > 0 && (IsWord(t, i - 1, "from") || IsWord(t, i - 1, "join") || IsWord(t, i - 1, "summarize") ||
                               IsWord(t, i - 1, "describe") || IsWord(t, i - 1, "show"));
        bool fromItem = scans || (inFrom && i > 0 && IsSymbol(t, i - 1, ","));
        if (fromItem && t[i]->kind == Token::Kind::String)
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

// A load lifts preserve_insertion_order for its own statement; a client may set
// memory_limit, though not below its floor (memory_limit_setting.h).
void LockEngineDown(duckdb_connection connection) {
    for (const char* sql :
         {"SET autoinstall_known_extensions = false", "SET autoload_known_extensions = false",
          "SET allow_community_extensions = false",
          "SET allowed_configs = ['search_path', 'schema', 'preserve_insertion_order', 'memory_limit']",
          "SET lock_configuration = true"})
        RunEngine(connection, sql);
}

}  // namespace kelvod
