// Serving the catalog tables and name resolution from the engine's metadata.
#include "kelvod/sql/catalog.h"

#include "kelvod/sql/database_reach.h"
#include "kelvod/sql/file_access.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>

#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_errors.h"
#include "kelvod/engine/engine_handles.h"

namespace kelvod {

namespace {

constexpr uint32_t kCatalogNamespaceOid = 11;
constexpr uint32_t kTempNamespaceOid = 4000000000u;
constexpr uint32_t kDefaultCollationOid = 100;
constexpr uint32_t kFirstCollationOid = 100000;
// External streams have no engine oid; theirs lie above every table oid the engine hands out.
constexpr uint32_t kFirstStreamOid = 3000000000u;

std::string Lit(const std::optional<std::string>& v) { return v ? QuoteLiteral(*v) : "NULL"; }

// The engine's own schemas; "main" is listed only when it holds tables (a file
// the server did not create keeps its tables there).
bool IsEngineSchema(const std::string& s) { return s == "information_schema" || s == "pg_catalog"; }

// The OID and modifier of a column the server did not see created.
std::pair<uint32_t, int32_t> TypeOfEngineColumn(const std::string& t) {
    if (t == "BOOLEAN")
        return {16, -1};
    if (t == "TINYINT" || t == "SMALLINT" || t == "UTINYINT")
        return {21, -1};
    if (t == "INTEGER" || t == "USMALLINT")
        return {23, -1};
    if (t == "BIGINT")
        return {20, -1};
    if (t == "UINTEGER")
        return {26, -1};
    if (t == "FLOAT" || t == "DOUBLE")
        return {701, -1};
    if (t == "BLOB")
        return {17, -1};
    if (t == "DATE")
        return {1082, -1};
    if (t == "TIME")
        return {1083, -1};
    if (t.rfind("TIMESTAMP WITH TIME ZONE", 0) == 0)
        return {1184, -1};
    if (t.rfind("TIMESTAMP", 0) == 0)
        return {1114, -1};
    if (t == "INTERVAL")
        return {1186, -1};
    if (t == "JSON")
        return {114, -1};
    if (t == "HUGEINT")
        return {1700, ((38 << 16) | 0) + 4};
    if (t.rfind("DECIMAL(", 0) == 0) {
        unsigned p = 0, s = 0;
        if (std::sscanf(t.c_str(), "DECIMAL(%u,%u)", &p, &s) == 2)
            return {1700, static_cast<int32_t>(((p << 16) | s) + 4)};
    }
    return {25, -1};
}

struct CatalogColumns {
    const char* names;
    const char* types;  // engine types of the columns, for the empty case
};

// A derived table from rows of SQL literals; an empty one still has typed columns.
std::string Derived(const std::vector<std::string>& rows,
                    const std::vector<std::pair<const char*, const char*>>& cols) {
    std::string out = "(SELECT ";
    if (rows.empty()) {
        for (size_t i = 0; i < cols.size(); ++i)
            out += (i ? ", " : "") + std::string("NULL::") + cols[i].second + " AS " + cols[i].first;
        return out + " WHERE false)";
    }
    for (size_t i = 0; i < cols.size(); ++i) {
        out += (i ? ", " : "") + std::string("CAST(col") + std::to_string(i) + " AS " + cols[i].second + ") AS " +
               cols[i].first;
    }
    out += " FROM (VALUES ";
    for (size_t i = 0; i < rows.size(); ++i)
        out += (i ? ", (" : "(") + rows[i] + ")";
    out += ") AS v(";
    for (size_t i = 0; i < cols.size(); ++i)
        out += (i ? ", col" : "col") + std::to_string(i);
    return out + "))";
}

struct DatabaseCatalog {
    std::vector<std::string> namespaces, tables, classes, attributes, collations;
};

DatabaseCatalog BuildCatalog(duckdb_connection connection, const SessionNames& names, const std::string& database) {
    DatabaseCatalog c;
    bool first = !names.databases.empty() && names.databases.front() == database;
    std::string db = QuoteLiteral(database);
    std::map<std::string, uint32_t> schemaOids;
    for (const auto& r :
         QueryText(connection, "SELECT schema_name, oid FROM duckdb_schemas() s WHERE database_name = " + db +
                                   " AND (schema_name <> 'main' OR EXISTS (SELECT 1 FROM "
                                   "duckdb_tables() t WHERE t.database_name = s.database_name AND "
                                   "t.schema_name = 'main')) ORDER BY oid")) {
        if (!r[0] || IsEngineSchema(*r[0]))
            continue;
        schemaOids[*r[0]] = static_cast<uint32_t>(std::stoul(r[1].value_or("0")));
        c.namespaces.push_back(*r[1] + ", " + Lit(r[0]));
    }
    c.namespaces.push_back(std::to_string(kCatalogNamespaceOid) + ", 'pg_catalog'");
    if (first)
        c.namespaces.push_back(std::to_string(kTempNamespaceOid) + ", 'pg_temp'");

    // Declared columns, by schema, table and column name.
    std::map<std::tuple<std::string, std::string, std::string>, Row> declared;
    if (schemaOids.count(kServerSchema)) {
        for (auto& r : QueryText(connection,
                                 "SELECT schema_name, table_name, column_name, engine_type, type_oid, "
                                 "type_modifier, collation_name FROM " +
                                     QuoteIdentifier(database) + ".pellory.columns"))
            declared[{r[0].value_or(""), r[1].value_or(""), r[2].value_or("")}] = r;
    }
    std::map<std::string, uint32_t> collationOids;
    auto collationOid = [&](const std::string& name) {
        if (name.empty() || name == "default")
            return kDefaultCollationOid;
        auto [it, added] =
            collationOids.emplace(name, kFirstCollationOid + static_cast<uint32_t>(collationOids.size()));
        if (added)
            c.collations.push_back(std::to_string(it->second) + ", " + QuoteLiteral(name));
        return it->second;
    };
    c.collations.push_back(std::to_string(kDefaultCollationOid) + ", 'default'");

    std::string tempFilter = first ? " OR database_name = 'temp'" : "";
    for (const auto& r : QueryText(connection,
                                   "SELECT database_name, schema_name, table_name, table_oid FROM "
                                   "duckdb_tables() WHERE database_name = " +
                                       db + tempFilter)) {
        bool temp = r[0] == std::string("temp");
        std::string schema = temp ? kTempSchema : r[1].value_or("");
        if (!temp && (IsEngineSchema(schema) || !schemaOids.count(schema)))
            continue;
        uint32_t nsOid = temp ? kTempNamespaceOid : schemaOids[schema];
        c.tables.push_back(QuoteLiteral(schema) + ", " + Lit(r[2]));
        c.classes.push_back(*r[3] + ", " + Lit(r[2]) + ", " + std::to_string(nsOid) + ", " + (temp ? "'t'" : "'p'") +
                            ", 'r'");
    }
    if (names.streams) {
        uint32_t streamOid = kFirstStreamOid;
        for (const auto& [schema, name] : names.streams(database)) {
            auto ns = schemaOids.find(schema);
            c.classes.push_back(std::to_string(streamOid++) + ", " + QuoteLiteral(name) + ", " +
                                std::to_string(ns == schemaOids.end() ? 0 : ns->second) + ", 'p', 'x'");
        }
    }
    for (const auto& r :
         QueryText(connection,
                   "SELECT c.database_name, c.schema_name, c.table_name, c.column_name, "
                   "c.column_index, c.data_type, c.is_nullable, c.table_oid FROM "
                   "duckdb_columns() c JOIN duckdb_tables() t ON c.table_oid = t.table_oid "
                   "WHERE c.database_name = " +
                       db + (first ? " OR c.database_name = 'temp'" : "") + " ORDER BY c.table_oid, c.column_index")) {
        bool temp = r[0] == std::string("temp");
        std::string schema = temp ? kTempSchema : r[1].value_or("");
        if (!temp && (IsEngineSchema(schema) || !schemaOids.count(schema)))
            continue;
        const std::string table = r[2].value_or(""), column = r[3].value_or(""), engineType = r[5].value_or("");
        auto [oid, modifier] = TypeOfEngineColumn(engineType);
        std::string collation;
        if (temp) {
            if (names.tempTables) {
                auto it = names.tempTables->find(table);
                if (it != names.tempTables->end()) {
                    for (const auto& col : it->second) {
                        if (col.name == column)
                            oid = col.type.oid, modifier = col.type.modifier, collation = col.collation;
                    }
                }
            }
        } else {
            auto it = declared.find({schema, table, column});
            if (it != declared.end() && it->second[3] == engineType) {
                oid = static_cast<uint32_t>(std::stoul(it->second[4].value_or("25")));
                modifier = std::stoi(it->second[5].value_or("-1"));
                collation = it->second[6].value_or("");
            }
        }
        c.attributes.push_back(*r[7] + ", " + QuoteLiteral(column) + ", " + std::to_string(oid) + ", " +
                               std::to_string(modifier) + ", " + (r[6] == std::string("false") ? "true" : "false") +
                               ", " + std::to_string(collationOid(collation)) + ", " + *r[4] + ", false");
    }
    return c;
}

}  // namespace

std::vector<Row> QueryText(duckdb_connection connection, const std::string& sql) {
    ResultHandle owner;
    duckdb_result* result = owner.Out();
    if (duckdb_query(connection, sql.c_str(), result) == DuckDBError)
        throw ResultError(*result);
    std::vector<Row> rows;
    idx_t n = duckdb_row_count(result), cols = duckdb_column_count(result);
    for (idx_t r = 0; r < n; ++r) {
        Row row;
        for (idx_t c = 0; c < cols; ++c) {
            if (duckdb_value_is_null(result, c, r)) {
                row.emplace_back(std::nullopt);
                continue;
            }
            char* v = duckdb_value_varchar(result, c, r);
            std::string value(v ? v : "");
            duckdb_free(v);
            row.emplace_back(std::move(value));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<std::pair<std::string, std::string>> ResolveTable(duckdb_connection connection, const SessionNames& names,
                                                                const std::string& table) {
    if (names.databases.empty())
        return std::nullopt;
    const std::string& first = names.databases.front();
    if (!QueryText(connection,
                   "SELECT 1 FROM duckdb_tables() WHERE database_name = 'temp' AND table_name = " + QuoteLiteral(table))
             .empty())
        return std::make_pair(first, std::string(kTempSchema));
    // Unqualified names resolve along the search path, as the engine resolves them.
    for (const auto& schema : names.searchPath) {
        if (!QueryText(connection, "SELECT 1 FROM duckdb_tables() WHERE database_name = " + QuoteLiteral(first) +
                                       " AND schema_name = " + QuoteLiteral(schema) +
                                       " AND table_name = " + QuoteLiteral(table))
                 .empty())
            return std::make_pair(first, schema);
    }
    return std::nullopt;
}

std::optional<std::string> ResolveSchema(duckdb_connection connection, const SessionNames& names,
                                         const std::string& schema) {
    if (names.databases.empty())
        return std::nullopt;
    if (schema == kTempSchema || schema == "pg_catalog")
        return names.databases.front();
    for (const auto& db : names.databases) {
        if (!QueryText(connection, "SELECT 1 FROM duckdb_schemas() WHERE database_name = " + QuoteLiteral(db) +
                                       " AND schema_name = " + QuoteLiteral(schema))
                 .empty())
            return db;
    }
    return std::nullopt;
}

void PrepareServerSchema(duckdb_connection connection, const std::string& database) {
    std::string db = QuoteIdentifier(database);
    RunEngine(connection, "CREATE SCHEMA IF NOT EXISTS " + db + ".pellory");
    RunEngine(connection, "CREATE TABLE IF NOT EXISTS " + db +
                              ".pellory.columns (schema_name VARCHAR, table_name VARCHAR, column_name VARCHAR, "
                              "engine_type VARCHAR, type_oid UINTEGER, type_modifier INTEGER, collation_name VARCHAR)");
}

void RecordDeclaredColumns(duckdb_connection connection, const std::string& database, const std::string& schema,
                           const std::string& table, const std::vector<ColumnDefinition>& columns) {
    PrepareServerSchema(connection, database);
    std::string db = QuoteIdentifier(database);
    RunEngine(connection, "DELETE FROM " + db + ".pellory.columns WHERE schema_name = " + QuoteLiteral(schema) +
                              " AND table_name = " + QuoteLiteral(table));
    // The engine's own spelling of each column type, so that a table later
    // replaced behind the server's back does not inherit these declarations.
    auto types = QueryText(connection, "SELECT column_name, data_type FROM duckdb_columns() WHERE database_name = " +
                                           QuoteLiteral(database) + " AND schema_name = " + QuoteLiteral(schema) +
                                           " AND table_name = " + QuoteLiteral(table));
    std::map<std::string, std::string> engineTypes;
    for (const auto& r : types)
        engineTypes[r[0].value_or("")] = r[1].value_or("");
    if (columns.empty())
        return;
    std::string sql = "INSERT INTO " + db + ".pellory.columns VALUES ";
    for (size_t i = 0; i < columns.size(); ++i) {
        const auto& c = columns[i];
        sql += (i ? ", (" : "(") + QuoteLiteral(schema) + ", " + QuoteLiteral(table) + ", " + QuoteLiteral(c.name) +
               ", " + QuoteLiteral(engineTypes[c.name]) + ", " + std::to_string(c.type.oid) + ", " +
               std::to_string(c.type.modifier) + ", " + QuoteLiteral(c.collation) + ")";
    }
    RunEngine(connection, sql);
}

bool RewriteReadsCatalog(const Statement& statement) {
    // Significant tokens: the engine reads "db . schema . name" as one name.
    auto t = statement.Significant();
    auto symbol = [&](size_t i, const char* s) {
        return i < t.size() && t[i]->kind == Token::Kind::Symbol && t[i]->text == s;
    };
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i]->kind != Token::Kind::Word && t[i]->kind != Token::Kind::Identifier)
            continue;
        const std::string& v = t[i]->value;
        if (v == "pg_catalog" || v == "use" || v == "kelvo_database_of_table" || v == "kelvo_schema_of_table" ||
            v == "kelvo_database_of_schema")
            return true;
        if (symbol(i + 1, ".") && symbol(i + 3, "."))
            return true;  // db.schema.name
    }
    return false;
}

namespace {

// Rewriters read all tokens, spaces and comments included: the engine reads
// "db . pg_temp . t" apart from "db.pg_temp.t".
bool IsSym(const std::vector<Token>& t, size_t i, const char* s) {
    return i < t.size() && t[i].kind == Token::Kind::Symbol && t[i].text == s;
}
bool IsW(const std::vector<Token>& t, size_t i, const char* w) {
    return i < t.size() && t[i].kind == Token::Kind::Word && t[i].value == w;
}
bool IsAnyName(const std::vector<Token>& t, size_t i) {
    return i < t.size() && (t[i].kind == Token::Kind::Word || t[i].kind == Token::Kind::Identifier);
}
bool IsNamed(const std::vector<Token>& t, size_t i, const char* name) { return IsAnyName(t, i) && t[i].value == name; }
size_t SkipSpace(const std::vector<Token>& t, size_t i) {
    while (i < t.size() && t[i].kind == Token::Kind::Space)
        ++i;
    return i;
}

// What the rewriters of one statement share: its tokens, the session's names,
// the catalogs built so far (each database's at most once) and the text made.
struct Rewrite {
    const std::vector<Token>& t;
    duckdb_connection connection;
    const SessionNames& names;
    std::vector<const char*> typeSpellings;  // per token, as EngineTypeSpellings tells
    std::map<std::string, DatabaseCatalog> built;
    std::string out;
    bool apart = false;  // as AppendEngineToken carries it
};

// A rewriter looks at token `i`. When what begins there is its to rewrite, it
// appends the engine's text for it, moves `i` to the last token it took and
// returns true.
using Rewriter = bool (*)(Rewrite& r, size_t& i);

// kelvo_database_of_table('x') and its kind become the literal they resolve to.
bool ResolvingFunction(Rewrite& r, size_t& i) {
    const auto& t = r.t;
    if (!IsW(t, i, "kelvo_database_of_table") && !IsW(t, i, "kelvo_schema_of_table") &&
        !IsW(t, i, "kelvo_database_of_schema"))
        return false;
    size_t open = SkipSpace(t, i + 1), arg = SkipSpace(t, open + 1), close = SkipSpace(t, arg + 1);
    if (!IsSym(t, open, "(") || arg >= t.size() || t[arg].kind != Token::Kind::String || !IsSym(t, close, ")"))
        throw SqlError("0A000", "The function " + t[i].value + " takes one string literal.");
    std::optional<std::string> value;
    if (t[i].value == "kelvo_database_of_schema") {
        value = ResolveSchema(r.connection, r.names, t[arg].value);
    } else if (auto found = ResolveTable(r.connection, r.names, t[arg].value)) {
        value = t[i].value == "kelvo_database_of_table" ? found->first : found->second;
    }
    r.out += value ? QuoteLiteral(*value) : "NULL::VARCHAR";
    i = close;
    return true;
}

// "db".pg_temp.name and pg_temp.name: the session's temporary tables live in the engine's temp catalog.
bool TempSchema(Rewrite& r, size_t& i) {
    const auto& t = r.t;
    size_t last;
    if (IsAnyName(t, i) && IsSym(t, i + 1, ".") && IsNamed(t, i + 2, kTempSchema) && IsSym(t, i + 3, ".")) {
        last = i + 3;
    } else if (IsNamed(t, i, kTempSchema) && IsSym(t, i + 1, ".") && !(i > 0 && IsSym(t, i - 1, "."))) {
        last = i + 1;
    } else {
        return false;
    }
    r.out += "\"temp\".\"main\".";
    i = last;
    return true;
}

struct ServedTable {
    const char* name;
    std::vector<std::string> DatabaseCatalog::*rows;
    std::vector<std::pair<const char*, const char*>> columns;  // name and engine type
};

// The catalog tables served from a database's catalog, with their columns.
const std::vector<ServedTable>& ServedTables() {
    static const std::vector<ServedTable> tables = {
        {"pg_namespace", &DatabaseCatalog::namespaces, {{"oid", "UINTEGER"}, {"nspname", "VARCHAR"}}},
        {"pg_tables", &DatabaseCatalog::tables, {{"schemaname", "VARCHAR"}, {"tablename", "VARCHAR"}}},
        {"pg_class",
         &DatabaseCatalog::classes,
         {{"oid", "UINTEGER"},
          {"relname", "VARCHAR"},
          {"relnamespace", "UINTEGER"},
          {"relpersistence", "VARCHAR"},
          {"relkind", "VARCHAR"}}},
        {"pg_attribute",
         &DatabaseCatalog::attributes,
         {{"attrelid", "UINTEGER"},
          {"attname", "VARCHAR"},
          {"atttypid", "UINTEGER"},
          {"atttypmod", "INTEGER"},
          {"attnotnull", "BOOLEAN"},
          {"attcollation", "UINTEGER"},
          {"attnum", "SMALLINT"},
          {"attisdropped", "BOOLEAN"}}},
        {"pg_collation", &DatabaseCatalog::collations, {{"oid", "UINTEGER"}, {"collname", "VARCHAR"}}},
    };
    return tables;
}

// The attached database a catalog reference names; the session's first one
// when it names none. Empty when the session has none.
std::string CatalogDatabase(const SessionNames& names, const std::optional<std::string>& named) {
    if (!named)
        return names.databases.empty() ? std::string() : names.databases.front();
    // Aliases compare as the engine compares them, without regard to case.
    for (const auto& d : names.databases) {
        if (EqualsFolded(d, *named))
            return d;
    }
    throw SqlError("3F000", "The database \"" + *named + "\" is not attached to this session.",
                   "Attach it with ATTACH DATABASE first.");
}

// ["db".] pg_catalog.pg_xxx, of the tables served: a derived table of the database's catalog.
bool CatalogTable(Rewrite& r, size_t& i) {
    const auto& t = r.t;
    std::optional<std::string> named;
    size_t at = i;
    if (IsAnyName(t, i) && IsSym(t, i + 1, ".")) {
        size_t next = SkipSpace(t, i + 2);
        if (IsW(t, next, "pg_catalog") && IsSym(t, next + 1, ".")) {
            named = t[i].value;
            at = next;
        }
    }
    if (!IsW(t, at, "pg_catalog") || !IsSym(t, at + 1, ".") || at + 2 >= t.size() ||
        t[at + 2].kind != Token::Kind::Word)
        return false;
    const auto& served = ServedTables();
    auto table =
        std::find_if(served.begin(), served.end(), [&](const ServedTable& s) { return t[at + 2].value == s.name; });
    if (table == served.end())
        return false;
    std::string db = CatalogDatabase(r.names, named);
    DatabaseCatalog empty;
    const DatabaseCatalog* c = &empty;
    if (!db.empty()) {
        auto it = r.built.find(db);
        if (it == r.built.end())
            it = r.built.emplace(db, BuildCatalog(r.connection, r.names, db)).first;
        c = &it->second;
    }
    r.out += Derived(c->*(table->rows), table->columns) + " ";
    i = at + 2;
    return true;
}

// NUMERIC and FLOAT where a type stands, in the engine's spelling.
bool TypeSpelling(Rewrite& r, size_t& i) {
    if (!r.typeSpellings[i])
        return false;
    AppendEngineToken(r.out, Token{Token::Kind::Other, r.typeSpellings[i], {}}, r.apart);
    return true;
}

// Applied in this order at each token; a token none rewrites goes as it is.
constexpr Rewriter kRewriters[] = {ResolvingFunction, TempSchema, CatalogTable, TypeSpelling};

}  // namespace

std::string RewriteForEngine(const Statement& statement, duckdb_connection connection, const SessionNames& names) {
    RefuseFileAccess(statement);
    if (names.isOtherSessionsAlias)
        RefuseOtherSessionsDatabases(statement, names.isOtherSessionsAlias);
    Rewrite r{statement.tokens, connection, names, EngineTypeSpellings(statement), {}, {}, false};
    for (size_t i = 0; i < r.t.size(); ++i) {
        if (std::none_of(std::begin(kRewriters), std::end(kRewriters), [&](Rewriter rewrite) { return rewrite(r, i); }))
            AppendEngineToken(r.out, r.t[i], r.apart);
    }
    return r.out;
}

}  // namespace kelvod
