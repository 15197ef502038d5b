// The database commands: database files and their aliases, schemas, tables
// whose declared types the catalog must remember, the settings search_path and
// external_client_context, and the recovery of an invalidated database.
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "kelvod/engine/attachments.h"
#include "kelvod/sql/database_commands.h"
#include "kelvod/sql/file_access.h"
#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

void DatabaseCommands::UseFirstDatabase() {
    if (m_context.Databases().empty()) {
        RunEngine(m_context.Connection(), "USE " + QuoteIdentifier(m_context.PrivateDatabase()));
        return;
    }
    const std::string db = QuoteIdentifier(m_context.Databases().front());
    try {
        RunEngine(m_context.Connection(), "USE " + db + ".public");
    } catch (const SqlError&) {
        RunEngine(m_context.Connection(), "USE " + db);
    }
    auto it = m_context.Settings().find("search_path");
    if (it != m_context.Settings().end())
        Set("search_path", it->second);
}

namespace {

// The paths this server is creating. A creation that fails removes what it
// made, and so must know that no other session made the file meanwhile.
std::mutex g_creatingMutex;
std::set<std::string> g_creating;

class CreationClaim {
public:
    explicit CreationClaim(const std::string& path) : m_path(path) {
        std::lock_guard<std::mutex> lock(g_creatingMutex);
        m_claimed = g_creating.insert(path).second;
    }
    ~CreationClaim() {
        if (!m_claimed)
            return;
        std::lock_guard<std::mutex> lock(g_creatingMutex);
        g_creating.erase(m_path);
    }
    CreationClaim(const CreationClaim&) = delete;
    CreationClaim& operator=(const CreationClaim&) = delete;
    bool Claimed() const { return m_claimed; }

private:
    std::string m_path;
    bool m_claimed = false;
};

}  // namespace

void DatabaseCommands::CreateDatabase(const std::string& rawPath, bool ifNotExists) {
    std::string path = m_context.Server().ResolvePath(rawPath);
    // Before anything is looked at: where the engine may not reach, nothing is told of the file.
    const std::string enginePath = m_context.Server().EnginePath(path);
    CreationClaim claim(path);
    std::error_code ec;
    if (!claim.Claimed() || std::filesystem::exists(path, ec)) {
        if (ifNotExists) {
            m_context.Notice("42P04", "The database \"" + rawPath + "\" already exists, skipping.");
            return;
        }
        throw SqlError("42P04", "The database \"" + rawPath + "\" already exists.");
    }
    static std::atomic<unsigned> counter{0};
    std::string alias = "kelvod_new_" + std::to_string(counter++);
    // A file the engine could not finish (a full disk) would be refused by every
    // later ATTACH and CREATE DATABASE: a failed creation leaves none behind.
    auto removeUnfinished = [&] {
        try {
            RunEngine(m_context.Connection(), "DETACH IF EXISTS " + QuoteIdentifier(alias));
        } catch (const SqlError&) {
        }
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        std::filesystem::remove(path + ".wal", ignored);
    };
    try {
        RunEngine(m_context.Connection(), "ATTACH " + QuoteLiteral(enginePath) + " AS " + QuoteIdentifier(alias));
        RunEngine(m_context.Connection(), "CREATE SCHEMA " + QuoteIdentifier(alias) + ".public");
        PrepareServerSchema(m_context.Connection(), alias);
        RunEngine(m_context.Connection(), "DETACH " + QuoteIdentifier(alias));
    } catch (...) {
        removeUnfinished();
        throw;
    }
}

void DatabaseCommands::DropDatabase(const std::string& rawPath, bool ifExists) {
    std::string path = m_context.Server().ResolvePath(rawPath);
    m_context.Server().EnginePath(path);  // clients drop only databases they could attach
    if (m_context.Server().Attachments().IsPathAttached(path)) {
        throw SqlError("55006", "The database \"" + rawPath + "\" is attached and cannot be dropped.",
                       "Detach it in every session first.");
    }
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        if (ifExists) {
            m_context.Notice("00000", "The database \"" + rawPath + "\" does not exist, skipping.");
            return;
        }
        throw SqlError("3D000", "The database \"" + rawPath + "\" does not exist.");
    }
    // Only database files are dropped: a path naming any other file is refused.
    if (!IsDatabaseFile(path))
        throw SqlError("42809", "The file \"" + rawPath + "\" is not a database and is not dropped.");
    if (!std::filesystem::remove(path, ec) || ec)
        throw SqlError("58030", "The database \"" + rawPath + "\" could not be removed: " + ec.message() + ".");
    std::filesystem::remove(path + ".wal", ec);
}

void DatabaseCommands::Attach(const std::string& rawPath, const std::string& alias) {
    for (const auto& d : m_context.Databases()) {
        if (EqualsFolded(d, alias))
            throw SqlError("42710", "The alias \"" + alias + "\" is already attached in this session.");
    }
    std::string path = m_context.Server().ResolvePath(rawPath);
    m_context.Server().EnginePath(path);  // where the engine may not reach, nothing is told of the file
    m_context.AddDatabase(m_context.Server().Attachments().Acquire(m_context.Connection(), alias, path));
    if (m_context.Databases().size() == 1)
        UseFirstDatabase();
}

void DatabaseCommands::Detach(const std::string& alias) {
    for (auto it = m_context.Databases().begin(); it != m_context.Databases().end(); ++it) {
        if (!EqualsFolded(*it, alias))
            continue;
        // A copy, as RemoveDatabase erases the entry that *it names.
        std::string name = *it;  // NOLINT(performance-unnecessary-copy-initialization)
        RunEngine(m_context.Connection(), "USE " + QuoteIdentifier(m_context.PrivateDatabase()));
        m_context.RemoveDatabase(name);
        try {
            m_context.Server().Attachments().Release(m_context.Connection(), name);
        } catch (...) {
            UseFirstDatabase();
            throw;
        }
        UseFirstDatabase();
        return;
    }
    throw SqlError("3D000", "The database \"" + alias + "\" is not attached to this session.");
}

void DatabaseCommands::DetachAll() {
    if (m_context.Databases().empty())
        return;
    try {
        RunEngine(m_context.Connection(), "USE " + QuoteIdentifier(m_context.PrivateDatabase()));
    } catch (const SqlError&) {
        // an invalidated default database refuses even this; the uses are given back all the same
    }
    std::vector<std::string> all = m_context.TakeDatabases();
    // Every alias is given back even when one of them fails, so that no use is counted forever.
    std::optional<SqlError> first;
    for (const auto& alias : all) {
        try {
            m_context.Server().Attachments().Release(m_context.Connection(), alias);
        } catch (const SqlError& e) {
            if (!first)
                first = e;
        }
    }
    if (first)
        throw std::move(*first);
}

void DatabaseCommands::CreateSchema(const std::string& database, const std::string& schema, bool ifNotExists) {
    std::string db = database;
    if (db.empty()) {
        if (m_context.Databases().empty())
            throw SqlError("3D000", "No database is attached to this session.", "Attach a database first.");
        db = m_context.Databases().front();
    } else {
        bool attached = false;
        for (auto& d : m_context.Databases()) {
            if (EqualsFolded(d, db))
                attached = true, db = d;
        }
        if (!attached)
            throw SqlError("3D000", "The database \"" + database + "\" is not attached to this session.");
    }
    RunEngine(m_context.Connection(), std::string("CREATE SCHEMA ") + (ifNotExists ? "IF NOT EXISTS " : "") +
                                          QuoteIdentifier(db) + "." + QuoteIdentifier(schema));
}

void DatabaseCommands::CreateTable(const CreateTableCommand& c) {
    std::string columns;
    for (size_t i = 0; i < c.columns.size(); ++i) {
        const auto& col = c.columns[i];
        columns +=
            (i ? ", " : "") + QuoteIdentifier(col.name) + " " + col.type.engineType + (col.notNull ? " NOT NULL" : "");
    }
    const std::string& table = c.name.back();
    if (c.temporary) {
        RunEngine(m_context.Connection(), std::string("CREATE TEMPORARY TABLE ") +
                                              (c.ifNotExists ? "IF NOT EXISTS " : "") + QuoteIdentifier(table) + " (" +
                                              columns + ")");
        m_context.DeclareTempTable(table, c.columns);
        return;
    }
    if (m_context.Databases().empty())
        throw SqlError("3D000", "No database is attached to this session.", "Attach a database first.");
    std::string db = m_context.Databases().front(), schema = "public";
    auto hasSchema = [&](const std::string& d, const std::string& s) {
        return !QueryText(m_context.Connection(), "SELECT 1 FROM duckdb_schemas() WHERE database_name = " +
                                                      QuoteLiteral(d) + " AND schema_name = " + QuoteLiteral(s))
                    .empty();
    };
    if (c.name.size() == 3) {
        db = c.name[0];
        schema = c.name[1];
    } else if (c.name.size() == 2) {
        bool isAlias = false;
        for (const auto& d : m_context.Databases())
            isAlias |= EqualsFolded(d, c.name[0]);
        if (isAlias && !hasSchema(db, c.name[0])) {
            db = c.name[0];
        } else {
            schema = c.name[0];
        }
    } else if (!hasSchema(db, schema)) {
        schema = "main";
    }
    bool attached = false;
    for (const auto& d : m_context.Databases())
        attached |= EqualsFolded(d, db);
    if (!attached)
        throw SqlError("3F000", "The database \"" + db + "\" is not attached to this session.");
    if (!hasSchema(db, schema))
        throw SqlError("3F000", "The schema \"" + schema + "\" does not exist.");
    bool exists =
        !QueryText(m_context.Connection(), "SELECT 1 FROM duckdb_tables() WHERE database_name = " + QuoteLiteral(db) +
                                               " AND schema_name = " + QuoteLiteral(schema) +
                                               " AND table_name = " + QuoteLiteral(table))
             .empty();
    if (exists) {
        if (c.ifNotExists) {
            m_context.Notice("42P07", "The table \"" + table + "\" already exists, skipping.");
            return;
        }
        throw SqlError("42P07", "The table \"" + table + "\" already exists.");
    }
    RunEngine(m_context.Connection(), "CREATE TABLE " + QuoteIdentifier(db) + "." + QuoteIdentifier(schema) + "." +
                                          QuoteIdentifier(table) + " (" + columns + ")");
    RecordDeclaredColumns(m_context.Connection(), db, schema, table, c.columns);
}

void DatabaseCommands::Show(const std::string& name) {
    std::string value;
    if (name == "search_path" || name == "schema_search_path") {
        auto it = m_context.Settings().find("search_path");
        value = it == m_context.Settings().end() ? "public" : it->second;
    } else if (name == "external_client_context") {
        auto it = m_context.Settings().find(name);
        value = it == m_context.Settings().end() ? "" : it->second;
    } else {
        auto it = m_context.Settings().end();
        for (auto i = m_context.Settings().begin(); i != m_context.Settings().end(); ++i) {
            if (EqualsFolded(i->first, name))
                it = i;
        }
        if (name == "server_version") {
            value = "15.0";
        } else if (EqualsFolded(name, "TimeZone")) {
            value = "UTC";
        } else if (EqualsFolded(name, "DateStyle")) {
            value = "ISO, MDY";
        } else if (it != m_context.Settings().end()) {
            value = it->second;
        } else {
            throw SqlError("42704", "unrecognized configuration parameter \"" + name + "\"");
        }
    }
    m_context.Writer().BeginDataRow(1);
    m_context.Writer().Field(value.data(), value.size());
    m_context.Writer().EndDataRow();
    m_context.Writer().CommandComplete("SHOW");
}

void DatabaseCommands::Set(const std::string& name, const std::string& value) {
    if (name == "external_client_context") {
        m_context.RecordSetting(name, value);
        return;
    }
    // search_path and its alias: a list of schema names of the first database.
    std::vector<std::string> schemas;
    auto statements = SplitStatements("SELECT " + value);
    for (const Token* t : statements.front().Significant()) {
        if (t->kind == Token::Kind::Word && t->value == "select")
            continue;
        if (t->kind == Token::Kind::Symbol && t->text == ",")
            continue;
        if (t->kind == Token::Kind::Word || t->kind == Token::Kind::Identifier || t->kind == Token::Kind::String) {
            schemas.push_back(t->value);
        } else {
            throw SqlError("22023", "Invalid value for search_path: \"" + value + "\".");
        }
    }
    if (!m_context.Databases().empty() && !schemas.empty()) {
        std::string path;
        // As in PostgreSQL, schemas that do not exist (yet) are skipped, not refused.
        for (const auto& s : schemas) {
            if (QueryText(m_context.Connection(), "SELECT 1 FROM duckdb_schemas() WHERE database_name = " +
                                                      QuoteLiteral(m_context.Databases().front()) +
                                                      " AND schema_name = " + QuoteLiteral(s))
                    .empty())
                continue;
            path +=
                (path.empty() ? "" : ",") + QuoteIdentifier(m_context.Databases().front()) + "." + QuoteIdentifier(s);
        }
        if (!path.empty())
            RunEngine(m_context.Connection(), "SET search_path = " + QuoteLiteral(path));
    }
    std::string normalized;
    for (const auto& s : schemas) {
        // Shown the way SET reads it back: names that are not plain lower-case words stay quoted.
        bool plain = !s.empty() && !std::isdigit(static_cast<unsigned char>(s[0]));
        for (char ch : s)
            plain &= (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_';
        normalized += (normalized.empty() ? "" : ", ") + (plain ? s : QuoteIdentifier(s));
    }
    m_context.RecordSetting("search_path", normalized);
}

void DatabaseCommands::RecoverInvalidated(const SqlError& error) {
    std::string alias = InvalidatedDatabase(error.what());
    if (alias.empty() || m_context.Transaction() != TransactionStatus::Idle)
        return;  // an open block still holds the database
    bool ours = false;
    for (const auto& d : m_context.Databases())
        ours |= EqualsFolded(d, alias);
    if (!ours)
        return;
    try {
        // This connection may not even leave the invalidated database; the registry
        // detaches it through a connection of its own.
        RunEngine(m_context.Connection(), "USE " + QuoteIdentifier(m_context.PrivateDatabase()));
    } catch (const SqlError&) {
    }
    try {
        m_context.Server().Attachments().Reattach(m_context.Connection(), alias);
    } catch (const SqlError& e) {
        // Still refused (the disk may still be full): the next statement tries again.
        m_context.Notice(e.sqlstate,
                         std::string("The database \"") + alias + "\" could not be attached again: " + e.what());
    }
    try {
        UseFirstDatabase();
    } catch (const SqlError&) {
    }
}

}  // namespace kelvod
